// The end-to-end fixture's own parts that need no Wine: the package folders it
// lays out, the device it arranges, the code page 932 texts it compares with.
#include "e2e_fixture.h"
#include "tcp_peer.h"

#include <fstream>

namespace e2e {
namespace {

class HarnessTest : public E2eTest {};

TEST_F(HarnessTest, PackageTreesHoldBothLanguagesAndEveryPackageFolder) {
  makePackages({{"Japanese/MFC/mfcce211.dll", 3000}, {"Japanese/VB/vbscript.dll", 3000}, {"English/ADO/empty.dll", 0}});
  for (const char* language : {"English", "Japanese"})
    for (const char* package : {"MFC", "VB", "ADO"})
      EXPECT_TRUE(fs::is_directory(packageDir() / language / package)) << language << "/" << package;
  EXPECT_EQ(fs::file_size(packageDir() / "Japanese" / "MFC" / "mfcce211.dll"), 3000u);
  EXPECT_EQ(fs::file_size(packageDir() / "English" / "ADO" / "empty.dll"), 0u);

  std::ifstream in(packageDir() / "Japanese" / "VB" / "vbscript.dll", std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, packageFileContent("Japanese/VB/vbscript.dll", 3000));
  EXPECT_NE(content, packageFileContent("Japanese/MFC/mfcce211.dll", 3000))
      << "files of the same size differ, so a copy under the wrong name shows";
}

TEST_F(HarnessTest, DeviceSettingsShapeTheDevice) {
  DeviceSettings settings;
  settings.identity.language = "ENG";
  settings.identity.version = "1.30.00";
  settings.identity.storeBytes = 2u << 20;
  settings.deviceTool = false;
  settings.tempFolder = false;
  settings.faults = {"fail:CeDeleteFile:1"};
  settings.replyDelay = 250ms;
  settings.linkRate = "serial";
  startDevice(settings);

  EXPECT_EQ(device().identity().language, "ENG");
  EXPECT_EQ(device().identity().version, "1.30.00");
  EXPECT_FALSE(deviceFile(u"\\Windows\\MakeZlkData.exe")) << "no device tool";
  EXPECT_FALSE(fs::exists(imageDir() / "fs" / "Temp")) << "no \\Temp";
  const std::string status = controlDevice("status");
  EXPECT_NE(status.find("store=2097152"), std::string::npos) << status;
  EXPECT_NE(status.find("replyDelayMs=250"), std::string::npos) << status;
  EXPECT_NE(status.find("fail:CeDeleteFile:1"), std::string::npos) << status;
  EXPECT_EQ(status.find("link=\"unlimited\""), std::string::npos) << status;
}

TEST_F(HarnessTest, ADefaultDeviceHasItsToolAndTempFolder) {
  startDevice();
  EXPECT_EQ(device().identity().language, "JPN");
  EXPECT_TRUE(deviceFile(u"\\Windows\\MakeZlkData.exe"));
  EXPECT_TRUE(fs::is_directory(imageDir() / "fs" / "Temp"));
  EXPECT_TRUE(opRecords("connect").empty()) << "nothing has connected yet";
}

// The free bytes the device reports once its tool has run.
uint32_t freeBytesAfterTheTool(pspc::Device& device) {
  pspc::ProcessInfo process;
  uint32_t lastError = 0, storeBytes = 0, freeBytes = 0;
  EXPECT_TRUE(device.createProcess(pspc::kDeviceToolPath, u"", process, lastError));
  device.storeInformation(storeBytes, freeBytes);
  return freeBytes;
}

TEST_F(HarnessTest, TheStoreHasTheAskedFreeBytesOnceTheToolHasWritten) {
  DeviceSettings settings;
  settings.files[u"\\My Documents\\note.txt"] = std::string(5000, 'n');
  settings.freeBytesWhenProbed = 1536;
  startDevice(settings);
  EXPECT_EQ(deviceFile(u"\\My Documents\\note.txt"), std::string(5000, 'n'));
  EXPECT_EQ(freeBytesAfterTheTool(device()), 1536u);

  ASSERT_TRUE(putDeviceFile(u"\\My Documents\\note.txt", std::string(4000, 'n')));
  uint32_t storeBytes = 0, freeBytes = 0;
  device().storeInformation(storeBytes, freeBytes);
  EXPECT_EQ(freeBytes, 1536u + 1000u) << "a file changed on the running device frees its bytes";
}

TEST_F(HarnessTest, AnOldDataFileCountsAsTheToolLeavesIt) {
  // A tool that writes nothing leaves the old file as it is ...
  DeviceSettings quiet;
  quiet.identity.toolWrites = false;
  quiet.files[u"\\Windows\\zlkAssetData.dat"] = std::string(100, '1');
  quiet.freeBytesWhenProbed = 2048;
  startDevice(quiet);
  EXPECT_EQ(freeBytesAfterTheTool(device()), 2048u);
  EXPECT_EQ(deviceFile(u"\\Windows\\zlkAssetData.dat").value_or("").size(), 100u);
}

TEST_F(HarnessTest, AToolThatWritesReplacesTheOldDataFile) {
  // ... one that writes replaces it with its own 2600 bytes.
  DeviceSettings settings;
  settings.files[u"\\Windows\\zlkAssetData.dat"] = std::string(3000, '1');
  settings.freeBytesWhenProbed = 2048;
  startDevice(settings);
  EXPECT_EQ(freeBytesAfterTheTool(device()), 2048u);
  EXPECT_EQ(deviceFile(u"\\Windows\\zlkAssetData.dat").value_or("").size(), 2600u);
}

TEST_F(HarnessTest, FreeBytesThatNoCapacityGivesAreRefused) {
  DeviceSettings settings;
  settings.freeBytesWhenProbed = UINT32_MAX;
  EXPECT_THROW(startDevice(settings), std::runtime_error);
}

TEST_F(HarnessTest, AnUnpluggedDeviceHasAPortOnWhichNothingListens) {
  DeviceSettings settings;
  settings.plugged = false;
  startDevice(settings);
  const std::string status = controlDevice("status");
  ASSERT_EQ(status.rfind("ok unplugged port=", 0), 0u) << status;
  const int port = std::stoi(status.substr(std::string("ok unplugged port=").size()));
  ASSERT_GT(port, 0) << "the program must be given a real port";

  EXPECT_FALSE(testsupport::TcpPeer(uint16_t(port)).connected()) << "something answered";
}

TEST_F(HarnessTest, BadDeviceSettingsAreRefused) {
  DeviceSettings settings;
  settings.faults = {"fail:NoSuchCall:1"};
  EXPECT_THROW(startDevice(settings), std::runtime_error);
}

TEST(CodePage932, TextsBecomeTheBytesOfAJapaneseDesktop) {
  EXPECT_EQ(cp932("警告 "), "\x8C\x78\x8D\x90\x20");
  EXPECT_EQ(cp932("ｷｬﾝｾﾙ "), "\xB7\xAC\xDD\xBE\xD9\x20") << "half-width katakana are one byte each";
  EXPECT_EQ(cp932("操作を続行するためにﾊﾟｰﾑｻｲｽﾞPCのﾘｾｯﾄﾎﾞﾀﾝを押してください。").size(), 58u);
  EXPECT_THROW(cp932("\xF0\x9F\x98\x80"), std::runtime_error) << "a character code page 932 lacks";
}

} // namespace
} // namespace e2e
