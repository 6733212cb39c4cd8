// Device files and folders.
#include "call_replies.h"
#include "device_call.h"
#include "rapi.h"

using namespace rapiwire;

namespace {

// A BOOL call whose reply is the last error and a result.
template <typename Request> BOOL resultCall(const Request& request) {
  ResultReply reply;
  if (rapi::deviceCall(request, reply) != rapi::CallStatus::Replied) return FALSE;
  rapi::recordDeviceReply(reply.lastError);
  return reply.result != 0 ? TRUE : FALSE;
}

} // namespace

extern "C" {

HANDLE WINAPI CeCreateFile(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                           DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  return rapi::guarded(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
    CreateFileRequest request;
    if (!lpFileName || !rapi::wireText(lpFileName, request.path)) {
      rapi::recordInvalidParameter();
      return INVALID_HANDLE_VALUE;
    }
    request.access = dwDesiredAccess;
    request.share = dwShareMode;
    request.disposition = dwCreationDisposition;
    request.flagsAndAttributes = dwFlagsAndAttributes;
    request.templateFile = hTemplateFile ? rapi::deviceHandle(hTemplateFile) : 0;
    ResultReply reply;
    if (rapi::deviceCall(request, reply) != rapi::CallStatus::Replied) return INVALID_HANDLE_VALUE;
    rapi::recordDeviceReply(reply.lastError);
    return rapi::hostHandle(reply.result);
  });
}

DWORD WINAPI CeGetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  return rapi::guarded(DWORD(0xFFFFFFFF), [&]() -> DWORD {
    GetFileSizeRequest request;
    request.handle = rapi::deviceHandle(hFile);
    request.wantHigh = lpFileSizeHigh != nullptr;
    GetFileSizeReply reply;
    if (rapi::deviceCall(request, reply) != rapi::CallStatus::Replied) return 0xFFFFFFFF;
    rapi::recordDeviceReply(reply.lastError);
    if (lpFileSizeHigh) *lpFileSizeHigh = reply.high.value_or(0);
    return reply.size;
  });
}

BOOL WINAPI CeReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                       LPOVERLAPPED) {
  return rapi::guarded(BOOL(FALSE), [&]() -> BOOL {
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    // One call is one packet on the link; a larger read is the caller's to split.
    if (nNumberOfBytesToRead > kMaxDataBytes || (!lpBuffer && nNumberOfBytesToRead > 0)) {
      rapi::recordInvalidParameter();
      return FALSE;
    }
    // No buffer (a read of nothing) travels as an absent parameter, a single
    // 0 word, as the RAPI clients that devices know send it.
    ReadFileRequest request;
    request.handle = rapi::deviceHandle(hFile);
    request.hasBuffer = lpBuffer != nullptr;
    request.count = nNumberOfBytesToRead;
    ReadFileReply reply;
    reply.hasBuffer = request.hasBuffer;
    if (rapi::deviceCall(request, reply, nNumberOfBytesToRead) != rapi::CallStatus::Replied) return FALSE;
    rapi::recordDeviceReply(reply.lastError);
    const DWORD read = rapi::copyReadData(reply, lpBuffer);
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = read;
    return reply.result != 0 ? TRUE : FALSE;
  });
}

BOOL WINAPI CeWriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                        LPOVERLAPPED) {
  return rapi::guarded(BOOL(FALSE), [&]() -> BOOL {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    if (nNumberOfBytesToWrite > kMaxDataBytes || (!lpBuffer && nNumberOfBytesToWrite > 0)) {
      rapi::recordInvalidParameter();
      return FALSE;
    }
    WriteFileRequest request;
    request.handle = rapi::deviceHandle(hFile);
    request.hasBuffer = lpBuffer != nullptr;
    const auto* bytes = static_cast<const uint8_t*>(lpBuffer);
    if (nNumberOfBytesToWrite > 0) request.data.assign(bytes, bytes + nNumberOfBytesToWrite);
    WriteFileReply reply;
    if (rapi::deviceCall(request, reply) != rapi::CallStatus::Replied) return FALSE;
    rapi::recordDeviceReply(reply.lastError);
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = rapi::writtenCount(reply, nNumberOfBytesToWrite);
    return reply.result != 0 ? TRUE : FALSE;
  });
}

BOOL WINAPI CeCloseHandle(HANDLE hObject) {
  return rapi::guarded(BOOL(FALSE), [&] {
    CloseHandleRequest request;
    request.handle = rapi::deviceHandle(hObject);
    return resultCall(request);
  });
}

BOOL WINAPI CeDeleteFile(LPCWSTR lpFileName) {
  return rapi::guarded(BOOL(FALSE), [&]() -> BOOL {
    DeleteFileRequest request;
    if (!lpFileName || !rapi::wireText(lpFileName, request.path)) {
      rapi::recordInvalidParameter();
      return FALSE;
    }
    return resultCall(request);
  });
}

BOOL WINAPI CeMoveFile(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
  return rapi::guarded(BOOL(FALSE), [&]() -> BOOL {
    MoveFileRequest request;
    if (!lpExistingFileName || !lpNewFileName || !rapi::wireText(lpExistingFileName, request.from) ||
        !rapi::wireText(lpNewFileName, request.to)) {
      rapi::recordInvalidParameter();
      return FALSE;
    }
    return resultCall(request);
  });
}

BOOL WINAPI CeCreateDirectory(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
  return rapi::guarded(BOOL(FALSE), [&]() -> BOOL {
    CreateDirectoryRequest request;
    if (!lpPathName || !rapi::wireText(lpPathName, request.path)) {
      rapi::recordInvalidParameter();
      return FALSE;
    }
    return resultCall(request);
  });
}

// The array handed back comes from LocalAlloc; CeRapiFreeBuffer releases it.
BOOL WINAPI CeFindAllFiles(LPCWSTR szPath, DWORD dwFlags, LPDWORD lpdwFoundCount, LPLPCE_FIND_DATA ppFindDataArray) {
  return rapi::guarded(BOOL(FALSE), [&]() -> BOOL {
    if (lpdwFoundCount) *lpdwFoundCount = 0;
    if (ppFindDataArray) *ppFindDataArray = nullptr;
    FindAllFilesRequest request;
    if (!szPath || !lpdwFoundCount || !ppFindDataArray || !rapi::wireText(szPath, request.pattern)) {
      rapi::recordInvalidParameter();
      return FALSE;
    }
    request.flags = dwFlags;
    FindAllFilesReply reply;
    reply.flags = dwFlags;
    if (rapi::deviceCall(request, reply) != rapi::CallStatus::Replied) return FALSE;
    rapi::recordDeviceReply(ERROR_SUCCESS);
    if (reply.entries.empty()) return TRUE;
    // The entry count is held to kMaxFindEntries by the decoder, so this
    // product cannot overflow.
    auto* array = static_cast<CE_FIND_DATA*>(LocalAlloc(LPTR, reply.entries.size() * sizeof(CE_FIND_DATA)));
    if (!array) {
      rapi::recordCallError(E_OUTOFMEMORY, ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    for (size_t i = 0; i < reply.entries.size(); ++i) rapi::fillFindData(reply.entries[i], array[i]);
    *lpdwFoundCount = DWORD(reply.entries.size());
    *ppFindDataArray = array;
    return TRUE;
  });
}

} // extern "C"
