// Device processes and the object store.
#include "device_call.h"
#include "rapi.h"

using namespace rapiwire;

extern "C" {

// The startup record, environment and folder do not travel: the device
// takes the program and its command line only.
BOOL WINAPI CeCreateProcess(LPCWSTR lpApplicationName, LPCWSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                            LPSECURITY_ATTRIBUTES, BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID, LPWSTR,
                            LPSTARTUPINFO, LPPROCESS_INFORMATION lpProcessInformation) {
  return rapi::guarded(BOOL(FALSE), [&]() -> BOOL {
    CreateProcessRequest request;
    if (!lpApplicationName || !rapi::wireText(lpApplicationName, request.application) ||
        !rapi::wireText(lpCommandLine, request.commandLine)) {
      rapi::recordInvalidParameter();
      return FALSE;
    }
    // No command line travels as an absent string (a single 0 word).
    request.inheritHandles = bInheritHandles ? 1 : 0;
    request.creationFlags = dwCreationFlags;
    request.wantProcessInformation = lpProcessInformation != nullptr;
    CreateProcessReply reply;
    reply.wantInformation = request.wantProcessInformation;
    if (rapi::deviceCall(request, reply) != rapi::CallStatus::Replied) return FALSE;
    rapi::recordDeviceReply(reply.lastError);
    if (reply.result == 0) return FALSE;
    if (lpProcessInformation) {
      lpProcessInformation->hProcess = rapi::hostHandle(reply.information.process);
      lpProcessInformation->hThread = rapi::hostHandle(reply.information.thread);
      lpProcessInformation->dwProcessId = reply.information.processId;
      lpProcessInformation->dwThreadId = reply.information.threadId;
    }
    return TRUE;
  });
}

BOOL WINAPI CeGetStoreInformation(LPSTORE_INFORMATION lpsi) {
  return rapi::guarded(BOOL(FALSE), [&]() -> BOOL {
    if (!lpsi) {
      rapi::recordInvalidParameter();
      return FALSE;
    }
    GetStoreInformationRequest request;
    StoreInformationReply reply;
    if (rapi::deviceCall(request, reply) != rapi::CallStatus::Replied) return FALSE;
    rapi::recordDeviceReply(reply.lastError);
    if (reply.result == 0) return FALSE;
    if (!reply.hasInfo) {
      // Success without the record would leave the caller reading garbage.
      rapi::recordCallError(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), ERROR_INVALID_DATA);
      return FALSE;
    }
    lpsi->dwStoreSize = reply.storeSize;
    lpsi->dwFreeSize = reply.freeSize;
    return TRUE;
  });
}

} // extern "C"
