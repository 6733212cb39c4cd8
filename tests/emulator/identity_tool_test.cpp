// The device's identity (device.conf), image creation, and the built-in
// device tool with the data file it writes.
#include "device_fixture.h"
#include "device_tool.h"
#include "wait_until.h"

#include <chrono>
#include <thread>

namespace pspc::testing {
namespace {

std::u16string tagText(const Identity& identity) {
  const auto tag = identity.tag();
  return std::u16string(tag.begin(), tag.end());
}

TEST(IdentityTag, IsVersionBlankLanguageCutOrPaddedToWidth) {
  Identity identity;
  EXPECT_EQ(tagText(identity), u"1.12.00 JPN");
  identity.version = "1.2";
  identity.language = "EN";
  EXPECT_EQ(tagText(identity), u"1.2     EN ");
  identity.version = "1.30.00.99";
  identity.language = "ENGLISH";
  EXPECT_EQ(tagText(identity), u"1.30.00 ENG");
  identity.tagUnits = std::array<uint16_t, 11>{0x31, 0x2e, 0, 0x32, 0x2e, 0x30, 0x30, 0x20, 0x0145, 0x4e00, 0x47};
  EXPECT_EQ(identity.tag(), *identity.tagUnits);
}

TEST(IdentityConfig, RoundTripsAndNamesTheBadLine) {
  Identity identity;
  identity.version = "1.29.00";
  identity.language = "ENG";
  identity.model = "Palm-size PC \xc3\xa9";
  identity.storeBytes = 4294967295u;
  identity.tagUnits = std::array<uint16_t, 11>{0xffff, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0};
  identity.toolDelayMs = 1500;
  identity.toolWrites = false;
  std::string error;
  const auto back = Identity::parse(identity.serialize(), error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->version, identity.version);
  EXPECT_EQ(back->language, identity.language);
  EXPECT_EQ(back->model, identity.model);
  EXPECT_EQ(back->storeBytes, identity.storeBytes);
  EXPECT_EQ(back->tagUnits, identity.tagUnits);
  EXPECT_EQ(back->toolDelayMs, identity.toolDelayMs);
  EXPECT_EQ(back->toolWrites, identity.toolWrites);

  const auto defaults = Identity::parse("# nothing set\n\n", error);
  ASSERT_TRUE(defaults);
  EXPECT_EQ(tagText(*defaults), u"1.12.00 JPN");
  EXPECT_FALSE(defaults->tagUnits);

  const std::pair<const char*, const char*> bad[] = {
      {"version = 1.12.00\ncolour = blue\n", "line 2"},
      {"store_bytes = 4294967296\n", "line 1"},
      {"store_bytes = -1\n", "line 1"},
      {"\nstore_bytes = 12kb\n", "line 2"},
      {"tool_writes = yes\n", "line 1"},
      {"tool_delay_ms = soon\n", "line 1"},
      {"tag_units = 0031 002e\n", "line 1"},
      {"tag_units = 0 1 2 3 4 5 6 7 8 9 10000\n", "line 1"},
      {"language = ENG\nlanguage = JPN\n", "line 2"},
      {"just words\n", "line 1"},
      {"version =\n", "line 1"},
  };
  for (const auto& [text, line] : bad) {
    EXPECT_FALSE(Identity::parse(text, error)) << text;
    EXPECT_NE(error.find(line), std::string::npos) << text << " -> " << error;
  }
}

TEST(IdentityConfig, TheCallingIdentityRoundTripsAndAnOlderImageGetsAPalmSizePcs) {
  Identity identity;
  identity.deviceName = "My \xe3\x83\x87\xe3\x83\x90\xe3\x82\xa4\xe3\x82\xb9"; // Japanese text
  identity.platform = "Palm PC2";
  identity.osMajor = 2;
  identity.osMinor = 1;
  identity.osBuild = 65535;
  identity.cpuType = 10003;
  identity.partnerId = 4294967295u;
  identity.secondPartnerId = 17;
  std::string error;
  const auto back = Identity::parse(identity.serialize(), error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->deviceName, identity.deviceName);
  EXPECT_EQ(back->platform, identity.platform);
  EXPECT_EQ(back->osMajor, 2);
  EXPECT_EQ(back->osMinor, 1);
  EXPECT_EQ(back->osBuild, 65535);
  EXPECT_EQ(back->cpuType, 10003);
  EXPECT_EQ(back->partnerId, 4294967295u);
  EXPECT_EQ(back->secondPartnerId, 17u);

  // device.conf as images made before these keys existed have it.
  const auto older = Identity::parse("version = 1.12.00\nlanguage = JPN\nmodel = PsPC\nstore_bytes = 8388608\n"
                                     "tool_delay_ms = 0\ntool_writes = true\n",
                                     error);
  ASSERT_TRUE(older) << error;
  EXPECT_EQ(older->osMajor, 2);
  EXPECT_EQ(older->osMinor, 11);
  EXPECT_EQ(older->cpuType, 4000); // PROCESSOR_MIPS_R4000
  EXPECT_EQ(older->platform, "Palm PC");
  EXPECT_EQ(older->deviceName, "PsPC");
  EXPECT_EQ(older->partnerId, 0u);

  for (const char* text : {"os_version = 2\n", "os_version = 2.256\n", "os_version = .11\n", "os_build = 65536\n",
                           "cpu_type = -1\n", "device_name =\n", "platform = a\tb\n", "partner_id = 0x10\n",
                           "second_partner_id = 4294967296\n"}) {
    EXPECT_FALSE(Identity::parse(text, error)) << text;
    EXPECT_NE(error.find("line 1"), std::string::npos) << text << " -> " << error;
  }
}

TEST(DevicePassword, IsKeptForItsOwnerOnlyAndReadBackAsUtf16) {
  const fs::path scratch = makeTemporaryFolder();
  const fs::path dir = scratch / "image";
  std::string error;
  ASSERT_TRUE(image::create(dir, Identity{}, error)) << error;
  std::optional<std::u16string> password;
  ASSERT_TRUE(image::readPassword(dir, password, error)) << error;
  EXPECT_FALSE(password); // an image without a password

  ASSERT_TRUE(image::setPassword(dir, "p\xc3\xa4ss 1", error)) << error;
  EXPECT_EQ(fs::status(image::passwordFile(dir)).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(image::readPassword(dir, password, error)) << error;
  EXPECT_EQ(password, u"p\u00e4ss 1");

  // Made readable by others: not used, and the message says what to do.
  fs::permissions(image::passwordFile(dir), fs::perms::group_read, fs::perm_options::add);
  EXPECT_FALSE(image::readPassword(dir, password, error));
  EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
  fs::permissions(image::passwordFile(dir), fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
  writeHostFile(image::passwordFile(dir), "\n");
  EXPECT_FALSE(image::readPassword(dir, password, error));

  for (const std::string& bad : {std::string("tab\there"), std::string(256, 'x'), std::string("\xff")})
    EXPECT_FALSE(image::setPassword(dir, bad, error)) << bad;
  EXPECT_TRUE(image::setPassword(dir, std::string(255, 'x'), error)) << error;
  ASSERT_TRUE(image::setPassword(dir, "", error)) << error;
  EXPECT_FALSE(fs::exists(image::passwordFile(dir)));
  fs::remove_all(scratch);
}

TEST(DeviceImage, IsMadeOnlyInANewOrEmptyFolder) {
  const fs::path scratch = makeTemporaryFolder();
  std::string error;
  ASSERT_TRUE(image::create(scratch / "new", Identity{}, error)) << error;
  EXPECT_TRUE(image::isImage(scratch / "new"));
  for (const char* folder : {"Windows", "Temp", "My Documents"}) {
    EXPECT_TRUE(fs::is_directory(scratch / "new/fs" / folder)) << folder;
  }
  EXPECT_NE(readFile(scratch / "new/fs/Windows/MakeZlkData.exe").find("device tool"), std::string::npos);
  EXPECT_FALSE(image::create(scratch / "new", Identity{}, error));
  EXPECT_NE(error.find("not empty"), std::string::npos);

  fs::create_directory(scratch / "empty");
  EXPECT_TRUE(image::create(scratch / "empty", Identity{}, error)) << error;
  Identity unstorable;
  unstorable.model = "two\nlines";
  EXPECT_FALSE(image::create(scratch / "other", unstorable, error));

  EXPECT_THROW(Device{scratch}, std::runtime_error); // not an image
  writeHostFile(scratch / "new/device.conf", "version = 1.12.00\nspeed = fast\n");
  try {
    Device device(scratch / "new");
    ADD_FAILURE() << "opened an image with a bad device.conf";
  } catch (const std::runtime_error& failure) {
    EXPECT_NE(std::string(failure.what()).find("line 2"), std::string::npos) << failure.what();
  }
  fs::remove_all(scratch);
}

class DeviceTool : public DeviceTest {
protected:
  bool startTool(const std::u16string& path = kDeviceToolPath) {
    uint32_t error = 0;
    ProcessInfo info;
    const bool started = device_->createProcess(path, u"", info, error);
    if (started) {
      EXPECT_NE(info.process, 0u);
      EXPECT_NE(info.thread, 0u);
      EXPECT_NE(info.process, info.thread);
      EXPECT_NE(info.processId, 0u);
      EXPECT_NE(info.threadId, 0u);
      EXPECT_NE(info.processId, info.threadId);
    } else {
      lastError_ = error;
    }
    return started;
  }
  fs::path dataFile() const { return hostPath("Windows/zlkAssetData.dat"); }
  uint32_t lastError_ = 0;
};

TEST_F(DeviceTool, WritesTheDataFileWithTheTagAt2556) {
  ASSERT_TRUE(startTool(u"\\WINDOWS\\makezlkdata.EXE"));
  const auto content = getFile(kDeviceDataPath);
  ASSERT_TRUE(content);
  ASSERT_EQ(content->size(), 2600u);
  const std::string expectedTag("1\0.\0" "1\0" "2\0.\0" "0\0" "0\0 \0J\0P\0N\0", 22);
  EXPECT_EQ(content->substr(2556, 22), expectedTag);
  EXPECT_EQ(content->substr(2578), std::string(22, '\0'));
  const std::vector<uint8_t> layout = deviceDataFile(device_->identity());
  EXPECT_EQ(*content, std::string(layout.begin(), layout.end()));
  EXPECT_EQ(content->substr(0, 8), std::string("P\0s\0P\0C\0", 8));

  // Run again over an older file: replaced, not appended to.
  writeHostFile(dataFile(), "stale");
  ASSERT_TRUE(startTool());
  EXPECT_EQ(fs::file_size(dataFile()), 2600u);

  // Other programs start and do nothing; missing ones do not start.
  fs::remove(dataFile());
  ASSERT_TRUE(putFile(u"\\Windows\\other.exe", "program"));
  EXPECT_TRUE(startTool(u"\\Windows\\other.exe"));
  EXPECT_FALSE(fs::exists(dataFile()));
  EXPECT_FALSE(startTool(u"\\Windows\\absent.exe"));
  EXPECT_EQ(lastError_, ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(startTool(u"\\Windows"));
  EXPECT_EQ(lastError_, ERROR_FILE_NOT_FOUND);
}

TEST_F(DeviceTool, ADeviceWithoutTheToolStartsNothing) {
  uint32_t error = 0;
  ASSERT_TRUE(device_->deleteFile(kDeviceToolPath, error));
  EXPECT_FALSE(startTool());
  EXPECT_EQ(lastError_, ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(dataFile()));
}

TEST_F(DeviceTool, CannotReplaceADataFileHeldOpenWithoutWriteSharing) {
  writeHostFile(dataFile(), "old");
  uint32_t error = 0;
  const uint32_t reader = createFile(kDeviceDataPath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, error);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(startTool());
  EXPECT_EQ(readFile(dataFile()), "old");
}

class QuietTool : public DeviceTool {
protected:
  Identity identity() const override {
    Identity quiet;
    quiet.toolWrites = false;
    return quiet;
  }
};

TEST_F(QuietTool, StartsButNeverWrites) {
  ASSERT_TRUE(startTool());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(fs::exists(dataFile()));
}

class SlowTool : public DeviceTool {
protected:
  Identity identity() const override {
    Identity slow;
    slow.toolDelayMs = 300;
    return slow;
  }
};

TEST_F(SlowTool, WritesAfterItsDelayWhileTheDeviceKeepsAnswering) {
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(startTool());
  EXPECT_FALSE(fs::exists(dataFile()));
  // The device answers while the tool waits.
  EXPECT_EQ(find(u"\\Windows\\*").size(), 1u);
  uint32_t total = 0, free = 0;
  device_->storeInformation(total, free);
  ASSERT_TRUE(testsupport::waitUntil([&] { return fs::exists(dataFile()) && fs::file_size(dataFile()) == 2600; }))
      << "the delayed tool never wrote";
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));
  uint32_t freeAfter = 0;
  device_->storeInformation(total, freeAfter);
  EXPECT_EQ(freeAfter, free - 2600); // the tool's file counts against the store
}

class PendingTool : public DeviceTool {
protected:
  Identity identity() const override {
    Identity pending;
    pending.toolDelayMs = 3600 * 1000;
    return pending;
  }
};

TEST_F(PendingTool, ClosingTheDeviceStopsAWaitingTool) {
  ASSERT_TRUE(startTool());
  device_.reset(); // must not wait for the hour
  EXPECT_FALSE(fs::exists(dataFile()));
}

} // namespace
} // namespace pspc::testing
