// Connection, error reporting and buffer release: the calls that do not
// carry a device operation.
#include "call_errors.h"
#include "connection.h"
#include "device_call.h"
#include "rapi.h"

#ifndef _WIN64
// The records a 32-bit caller lays out by the platform's sizes.
static_assert(sizeof(RAPIINIT) == 12, "RAPIINIT is 12 bytes in a 32-bit program");
static_assert(sizeof(STARTUPINFOW) == 68, "STARTUPINFO is 68 bytes in a 32-bit program");
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFO is 68 bytes in a 32-bit program");
#endif
static_assert(sizeof(STORE_INFORMATION) == 8);
static_assert(sizeof(CE_FIND_DATA) == 4 + 3 * 8 + 3 * 4 + MAX_PATH * 2);

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // At process exit (reserved non-null) other threads are already gone and
  // may have died holding the connection's locks: leave everything to the
  // system. On FreeLibrary, release the link and the caller's event.
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) rapi::Connection::instance().releaseAtUnload();
  return TRUE;
}

extern "C" {

HRESULT WINAPI CeRapiInitEx(RAPIINIT* pRapiInit) {
  return rapi::guarded(E_OUTOFMEMORY, [&] { return rapi::Connection::instance().initAsync(pRapiInit); });
}

HRESULT WINAPI CeRapiInit(void) {
  return rapi::guarded(E_OUTOFMEMORY, [] { return rapi::Connection::instance().initAndWait(); });
}

HRESULT WINAPI CeRapiUninit(void) {
  return rapi::guarded(E_FAIL, [] { return rapi::Connection::instance().uninit(); });
}

HRESULT WINAPI CeRapiGetError(void) { return rapi::lastRapiError(); }

DWORD WINAPI CeGetLastError(void) { return rapi::lastDeviceError(); }

// Buffers handed to callers (CeFindAllFiles) come from LocalAlloc.
HRESULT WINAPI CeRapiFreeBuffer(LPVOID Buffer) {
  if (Buffer && LocalFree(Buffer) != nullptr) return HRESULT_FROM_WIN32(GetLastError());
  return S_OK;
}

} // extern "C"
