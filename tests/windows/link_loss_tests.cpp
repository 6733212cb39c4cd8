// A device that goes away under a connection: every call fails at once with
// the failure value its caller tests, says why, and the connection stays
// broken until it is ended and requested again.
#include "device_fixture.h"

namespace {

using rapitest::tellEmulator;
using rapitest::DeviceFile;
using rapitest::elapsedSince;

class LinkLoss : public rapitest::DeviceTest {};

void expectBrokenLink() {
  EXPECT_TRUE(FAILED(CeRapiGetError())) << std::hex << CeRapiGetError();
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_CONNECTION_ABORTED));
}

TEST_F(LinkLoss, CallsAfterUnplugFailFastWithTheirFailureValues) {
  DeviceFile open(CeCreateFile(L"\\Temp\\held.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(open.valid());
  ASSERT_EQ(tellEmulator("unplug").rfind("ok", 0), 0u);

  ULONGLONG start = GetTickCount64();
  BYTE data[16] = {};
  DWORD count = 99;
  EXPECT_FALSE(CeWriteFile(open.get(), data, sizeof(data), &count, nullptr));
  EXPECT_EQ(count, 0u);
  expectBrokenLink();
  EXPECT_EQ(CeCreateFile(L"\\Temp\\new.bin", GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  expectBrokenLink();
  EXPECT_EQ(CeGetFileSize(open.get(), nullptr), 0xFFFFFFFFu);
  expectBrokenLink();
  EXPECT_FALSE(CeReadFile(open.get(), data, sizeof(data), &count, nullptr));
  EXPECT_FALSE(CeMoveFile(L"\\Temp\\held.bin", L"\\Temp\\moved.bin"));
  EXPECT_FALSE(CeDeleteFile(L"\\Temp\\held.bin"));
  STORE_INFORMATION info{};
  EXPECT_FALSE(CeGetStoreInformation(&info));
  STARTUPINFO startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  EXPECT_FALSE(CeCreateProcess(L"\\Windows\\MakeZlkData.exe", L"", nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG status = CeRegCreateKeyEx(HKEY_LOCAL_MACHINE, L"Software\\Lost", 0, nullptr, 0, 0, nullptr, &key, &disposition);
  EXPECT_EQ(status, LONG(ERROR_CONNECTION_ABORTED));
  expectBrokenLink();
  EXPECT_LT(elapsedSince(start), 5000u);

  // Plugging the device in again does not mend this connection...
  ASSERT_EQ(tellEmulator("plug").rfind("ok", 0), 0u);
  EXPECT_FALSE(CeGetStoreInformation(&info));
  expectBrokenLink();
  // ...a new one does.
  CeRapiUninit();
  ASSERT_EQ(CeRapiInit(), S_OK);
  EXPECT_TRUE(CeGetStoreInformation(&info));
  EXPECT_EQ(CeRapiGetError(), S_OK);
}

TEST_F(LinkLoss, ADeviceRefusalIsNotABrokenLink) {
  // The emulator fails the first write as a full store would.
  ASSERT_EQ(tellEmulator("fault fail:CeWriteFile:1:112").rfind("ok", 0), 0u);
  DeviceFile file(CeCreateFile(L"\\Temp\\full.bin", GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file.valid());
  BYTE data[4096] = {};
  DWORD written = 0;
  EXPECT_FALSE(CeWriteFile(file.get(), data, sizeof(data), &written, nullptr));
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_DISK_FULL));
  EXPECT_EQ(CeRapiGetError(), S_OK);
  // The next write goes through on the same connection.
  EXPECT_TRUE(CeWriteFile(file.get(), data, sizeof(data), &written, nullptr));
  EXPECT_EQ(written, sizeof(data));
  tellEmulator("clear-faults");
}

} // namespace
