// Handles and registry keys are 32-bit values on the device. A 64-bit caller
// holds them in pointer-sized HANDLE and HKEY values, and passes the
// predefined registry roots sign-extended (HKEY_CLASSES_ROOT is
// 0xFFFFFFFF80000000), so the mapping is not a plain cast either way.
#pragma once

#include <cstdint>

namespace rapi {

constexpr uint32_t kDeviceInvalidHandle = 0xFFFFFFFFu;
constexpr uint32_t kFirstPredefinedRoot = 0x80000000u; // HKEY_CLASSES_ROOT
constexpr uint32_t kLastPredefinedRoot = 0x80000005u;  // HKEY_CURRENT_CONFIG

// The device sees the low 32 bits: a sign-extended root and
// INVALID_HANDLE_VALUE both arrive as the device's own values.
constexpr uint32_t toDeviceHandle(uintptr_t host) { return uint32_t(host); }

// INVALID_HANDLE_VALUE and the predefined roots come back sign-extended, as
// the caller's headers define them; every other value zero-extended.
constexpr uintptr_t toHostHandle(uint32_t device) {
  if (device == kDeviceInvalidHandle || (device >= kFirstPredefinedRoot && device <= kLastPredefinedRoot))
    return uintptr_t(intptr_t(int32_t(device)));
  return uintptr_t(device);
}

} // namespace rapi
