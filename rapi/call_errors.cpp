#include "call_errors.h"

namespace rapi {

namespace {

struct CallError {
  HRESULT rapiError = S_OK;
  DWORD lastError = ERROR_SUCCESS;
};

thread_local CallError t_callError;

} // namespace

void recordCallError(HRESULT rapiError, DWORD lastError) {
  t_callError.rapiError = rapiError;
  t_callError.lastError = lastError;
}

HRESULT lastRapiError() { return t_callError.rapiError; }
DWORD lastDeviceError() { return t_callError.lastError; }

DWORD win32CodeOf(HRESULT hresult) {
  if (HRESULT_FACILITY(hresult) == FACILITY_WIN32) return DWORD(HRESULT_CODE(hresult));
  if (hresult == E_NOTIMPL) return ERROR_CALL_NOT_IMPLEMENTED;
  if (hresult == E_OUTOFMEMORY) return ERROR_NOT_ENOUGH_MEMORY;
  return ERROR_GEN_FAILURE;
}

} // namespace rapi
