// What the live tests share: the emulator's console, a connected
// device for each test, and small owners for device handles.
#pragma once

#include "rapi.h"
#include "wait_until.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rapitest {

// The hang guard, for Win32 waits.
constexpr DWORD kHangGuardMs = DWORD(std::chrono::milliseconds(testsupport::kHangGuard).count());

// Sends one command line to the emulator's console, through the test
// wrapper's TCP relay to it (PSPC_EMULATOR_CONSOLE), and returns its one-line
// answer, or "" when the channel cannot be reached.
std::string tellEmulator(const std::string& command);

// PSPC_EMULATOR_* as the test wrapper set them ("" when unset).
std::string environment(const char* name);

// Requests the connection and waits for it; S_OK when connected.
HRESULT connectDevice();

// Milliseconds since `start` (GetTickCount64).
ULONGLONG elapsedSince(ULONGLONG start);

// A connected device for each test; the connection ends after it.
class DeviceTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
};

class DeviceFile {
public:
  explicit DeviceFile(HANDLE h) : handle_(h) {}
  ~DeviceFile() {
    if (handle_ != INVALID_HANDLE_VALUE) CeCloseHandle(handle_);
  }
  DeviceFile(const DeviceFile&) = delete;
  DeviceFile& operator=(const DeviceFile&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
  HANDLE handle_;
};

// Writes a whole device file in 4096-byte chunks, as the setup program does.
void writeDeviceFile(const wchar_t* path, const std::vector<BYTE>& content);
// Reads a whole device file back.
std::vector<BYTE> readDeviceFile(const wchar_t* path);

std::vector<BYTE> patternBytes(size_t size, unsigned seed);

} // namespace rapitest
