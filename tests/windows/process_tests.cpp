// Starting the device tool and reading the data file it writes, as the
// identity probe does.
#include "device_fixture.h"

#include <string>

namespace {

class Process : public rapitest::DeviceTest {};

// The startup record the probe passes: size 68 (in a 32-bit program), flags 1, show 5.
STARTUPINFO probeStartupInfo() {
  STARTUPINFO startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  return startup;
}

TEST_F(Process, DeviceToolWritesTheTagTheProbeReads) {
  STARTUPINFO startup = probeStartupInfo();
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CeCreateProcess(L"\\Windows\\MakeZlkData.exe", L"", nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &process))
      << "last error " << CeGetLastError();
  EXPECT_NE(process.hProcess, nullptr);
  EXPECT_NE(process.hProcess, INVALID_HANDLE_VALUE);

  rapitest::DeviceFile file(CeCreateFile(L"\\Windows\\zlkAssetData.dat", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file.valid()) << "last error " << CeGetLastError();
  EXPECT_EQ(CeGetFileSize(file.get(), nullptr), 2600u);
  BYTE buffer[2600];
  DWORD got = 0;
  ASSERT_TRUE(CeReadFile(file.get(), buffer, 2600, &got, nullptr));
  ASSERT_EQ(got, 2600u);

  std::string tag;
  for (int i = 0; i < 11; ++i) {
    unsigned unit = buffer[2556 + 2 * i] | buffer[2557 + 2 * i] << 8;
    EXPECT_LT(unit, 0x80u) << "unit " << i;
    tag.push_back(char(unit));
  }
  std::string version = rapitest::environment("PSPC_EMULATOR_VERSION");
  std::string language = rapitest::environment("PSPC_EMULATOR_LANGUAGE");
  ASSERT_FALSE(version.empty());
  EXPECT_EQ(tag, version + " " + language);
}

TEST_F(Process, NoCommandLineGoesAsAnEmptyOne) {
  PROCESS_INFORMATION process{};
  EXPECT_TRUE(CeCreateProcess(L"\\Windows\\MakeZlkData.exe", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              nullptr, &process));
  // Without a process record, too.
  EXPECT_TRUE(CeCreateProcess(L"\\Windows\\MakeZlkData.exe", L"", nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              nullptr, nullptr));
}

TEST_F(Process, AMissingProgramDoesNotStart) {
  STARTUPINFO startup = probeStartupInfo();
  PROCESS_INFORMATION process{};
  EXPECT_FALSE(CeCreateProcess(L"\\Windows\\NoSuchTool.exe", L"", nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
  EXPECT_NE(CeGetLastError(), DWORD(ERROR_SUCCESS));
  EXPECT_EQ(CeRapiGetError(), S_OK);
}

} // namespace
