// Why the calling thread's last RAPI call failed. Kept per thread, as Win32
// keeps its last error: one connection serves every thread, and one thread's
// failure must not overwrite what another is about to read.
#pragma once

#include <winsock2.h> // before windows.h, which the link code needs
#include <windows.h>

namespace rapi {

// Records the outcome of a call for CeRapiGetError and CeGetLastError.
void recordCallError(HRESULT rapiError, DWORD lastError);

// The device answered: the link is fine, the last error is the device's.
inline void recordDeviceReply(DWORD deviceLastError) { recordCallError(S_OK, deviceLastError); }

// Arguments that cannot be sent; nothing went to the device.
inline void recordInvalidParameter() { recordCallError(S_OK, ERROR_INVALID_PARAMETER); }

HRESULT lastRapiError();
DWORD lastDeviceError();

// The Win32 code a device-side refusal stands for.
DWORD win32CodeOf(HRESULT hresult);

} // namespace rapi
