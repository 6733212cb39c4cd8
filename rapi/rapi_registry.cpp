// The device registry. Every call answers a Win32 registry status; when the
// device cannot be reached the status says why (ERROR_NOT_CONNECTED,
// ERROR_CONNECTION_ABORTED), never ERROR_SUCCESS.
#include "call_replies.h"
#include "device_call.h"
#include "rapi.h"

#include <algorithm>

using namespace rapiwire;

namespace {

LONG failureStatus() {
  DWORD code = rapi::lastDeviceError();
  return code != ERROR_SUCCESS ? LONG(code) : LONG(ERROR_GEN_FAILURE);
}

LONG invalidParameter() {
  rapi::recordInvalidParameter();
  return ERROR_INVALID_PARAMETER;
}

template <typename Request> LONG openOrCreate(const Request& request, PHKEY phkResult, LPDWORD lpdwDisposition) {
  RegKeyReply reply = rapi::keyReplyFor(request);
  if (rapi::deviceCall(request, reply) != rapi::CallStatus::Replied) return failureStatus();
  rapi::recordDeviceReply(reply.lastError);
  if (reply.status != ERROR_SUCCESS) return LONG(reply.status);
  *phkResult = rapi::hostKey(reply.key);
  if (lpdwDisposition) *lpdwDisposition = reply.disposition;
  return ERROR_SUCCESS;
}

} // namespace

extern "C" {

LONG WINAPI CeRegOpenKeyEx(HKEY hKey, LPCWSTR lpszSubKey, DWORD, REGSAM, PHKEY phkResult) {
  return rapi::guarded(LONG(ERROR_NOT_ENOUGH_MEMORY), [&]() -> LONG {
    RegOpenKeyRequest request;
    if (!phkResult || !rapi::wireText(lpszSubKey, request.subKey)) return invalidParameter();
    request.key = rapi::deviceKey(hKey);
    return openOrCreate(request, phkResult, nullptr);
  });
}

LONG WINAPI CeRegCreateKeyEx(HKEY hKey, LPCWSTR lpszSubKey, DWORD, LPWSTR lpszClass, DWORD, REGSAM,
                             LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  return rapi::guarded(LONG(ERROR_NOT_ENOUGH_MEMORY), [&]() -> LONG {
    RegCreateKeyRequest request;
    if (!phkResult || !lpszSubKey || !rapi::wireText(lpszSubKey, request.subKey) ||
        !rapi::wireText(lpszClass, request.className))
      return invalidParameter();
    request.key = rapi::deviceKey(hKey);
    return openOrCreate(request, phkResult, lpdwDisposition);
  });
}

LONG WINAPI CeRegCloseKey(HKEY hKey) {
  return rapi::guarded(LONG(ERROR_NOT_ENOUGH_MEMORY), [&]() -> LONG {
    RegCloseKeyRequest request;
    request.key = rapi::deviceKey(hKey);
    ResultReply reply;
    if (rapi::deviceCall(request, reply) != rapi::CallStatus::Replied) return failureStatus();
    rapi::recordDeviceReply(reply.lastError);
    return LONG(reply.result);
  });
}

LONG WINAPI CeRegSetValueEx(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, LPBYTE lpData, DWORD cbData) {
  return rapi::guarded(LONG(ERROR_NOT_ENOUGH_MEMORY), [&]() -> LONG {
    RegSetValueRequest request;
    // A null name travels as absent: the key's default value.
    if (cbData > kMaxDataBytes || (!lpData && cbData > 0) || !rapi::wireText(lpValueName, request.valueName))
      return invalidParameter();
    request.key = rapi::deviceKey(hKey);
    request.type = dwType;
    request.hasData = lpData != nullptr;
    if (lpData) request.data.assign(lpData, lpData + cbData);
    request.byteCount = cbData;
    ResultReply reply;
    if (rapi::deviceCall(request, reply) != rapi::CallStatus::Replied) return failureStatus();
    rapi::recordDeviceReply(reply.lastError);
    return LONG(reply.result);
  });
}

LONG WINAPI CeRegQueryValueEx(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                              LPDWORD lpcbData) {
  return rapi::guarded(LONG(ERROR_NOT_ENOUGH_MEMORY), [&]() -> LONG {
    RegQueryValueRequest request;
    // As in Win32, a data buffer needs its size.
    if ((lpData && !lpcbData) || !rapi::wireText(lpValueName, request.valueName)) return invalidParameter();
    const DWORD capacity = lpcbData ? *lpcbData : 0;
    request.key = rapi::deviceKey(hKey);
    request.wantType = lpType != nullptr;
    request.wantData = lpData != nullptr;
    request.hasSize = lpcbData != nullptr;
    // One packet carries at most kMaxDataBytes; a larger buffer is simply not filled further.
    request.dataCapacity = std::min<DWORD>(capacity, kMaxDataBytes);
    RegQueryValueReply reply = rapi::queryValueReplyFor(request);
    if (rapi::deviceCall(request, reply, rapi::queryValueCapacity(request)) != rapi::CallStatus::Replied)
      return failureStatus();
    rapi::recordDeviceReply(reply.lastError);
    rapi::copyQueryValue(reply, lpType, lpData, lpcbData);
    return LONG(reply.status);
  });
}

} // extern "C"
