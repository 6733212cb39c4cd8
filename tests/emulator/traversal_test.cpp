// Every path stays inside the image: hostile names are refused, and links
// planted in the image lead nowhere. Each test checks the host file system,
// not only the answers.
#include "device_fixture.h"

namespace pspc::testing {
namespace {

class Traversal : public DeviceTest {
protected:
  void SetUp() override {
    DeviceTest::SetUp();
    outside_ = scratch_ / "outside";
    fs::create_directories(outside_);
    writeHostFile(outside_ / "secret.txt", "secret");
  }
  // Everything under the scratch folder but the image's fs/: what must not change.
  std::vector<std::string> outsideListing() const {
    std::vector<std::string> listing;
    for (const auto& entry : fs::recursive_directory_iterator(scratch_)) {
      const std::string path = entry.path().string();
      if (path.rfind((imageDir_ / "fs").string(), 0) == 0) continue;
      if (entry.path().filename() == "attributes.tsv" || entry.path().filename() == "registry.dat") continue;
      listing.push_back(path + (entry.is_regular_file() ? ":" + readFile(entry.path()) : ""));
    }
    std::sort(listing.begin(), listing.end());
    return listing;
  }
  fs::path outside_;
};

TEST_F(Traversal, HostileNamesAreRefusedByEveryCall) {
  const std::u16string hostile[] = {
      u"\\..\\outside\\secret.txt",
      u"\\Temp\\..\\..\\..\\outside\\secret.txt",
      u"..\\outside\\secret.txt",
      u"\\Temp\\.\\x.txt",
      u"C:\\x.txt",
      u"\\C:\\x.txt",
      u"\\Temp\\a:stream",
      u"/etc/passwd",
      u"\\Temp/../../outside/secret.txt",
      u"\\\\host\\share\\x.txt",
      std::u16string(u"\\Temp\\a\0b.txt", 13),
      u"\\Temp\\bell\a.txt",
      u"\\CON",
      u"\\Temp\\nul.txt",
      u"\\Temp\\COM1",
      u"\\Temp\\lpt9.log",
      u"\\Temp\\trailing ",
      u"\\Temp\\trailing.",
      u"\\Temp\\a|b",
      u"\\Temp\\a*b",
      u"\\Temp\\a?b",
      u"\\Temp\\a<b>",
      u"\\Temp\\\"q\"",
      u"\\Temp\\\\x.txt",
      u"\\Temp\\",
      u"\\" + std::u16string(300, u'a'),
      u"\\Temp\\" + std::u16string(1, char16_t(0xD800)) + u".txt",
      u"",
  };
  const auto before = outsideListing();
  for (const std::u16string& path : hostile) {
    const std::string shown = toUtf8Lossy(path);
    uint32_t error = 0;
    EXPECT_EQ(createFile(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, error), INVALID_HANDLE_VALUE) << shown;
    EXPECT_TRUE(error == ERROR_INVALID_NAME || error == ERROR_PATH_NOT_FOUND) << shown << " gave " << error;
    EXPECT_EQ(createFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, error), INVALID_HANDLE_VALUE) << shown;
    EXPECT_FALSE(device_->deleteFile(path, error)) << shown;
    EXPECT_FALSE(device_->createDirectory(path, error)) << shown;
    EXPECT_FALSE(device_->moveFile(u"\\Windows\\MakeZlkData.exe", path, error)) << shown;
    EXPECT_FALSE(device_->moveFile(path, u"\\Temp\\taken.txt", error)) << shown;
    std::vector<FindData> entries;
    if (!path.empty()) {
      EXPECT_FALSE(device_->findAllFiles(path + u"\\*", entries, error)) << shown;
    }
    ProcessInfo info;
    EXPECT_FALSE(device_->createProcess(path, u"", info, error)) << shown;
  }
  EXPECT_EQ(outsideListing(), before);
  EXPECT_TRUE(fs::is_empty(hostPath("Temp")));
  EXPECT_TRUE(fs::exists(hostPath("Windows/MakeZlkData.exe")));
}

TEST_F(Traversal, PlantedLinksAreNeverFollowed) {
  fs::create_directory_symlink(outside_, hostPath("Temp/dirlink"));
  fs::create_symlink(outside_ / "secret.txt", hostPath("Temp/filelink"));
  fs::create_directory_symlink(outside_, hostPath("Evil"));
  const auto before = outsideListing();
  uint32_t error = 0;

  // Reading through a link, or the link itself, finds nothing.
  EXPECT_EQ(createFile(u"\\Temp\\dirlink\\secret.txt", GENERIC_READ, 0, OPEN_EXISTING, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(createFile(u"\\Temp\\filelink", GENERIC_READ, 0, OPEN_EXISTING, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(find(u"\\Temp\\*").empty());
  EXPECT_EQ(find(u"\\*").size(), 3u);
  std::vector<FindData> entries;
  EXPECT_FALSE(device_->findAllFiles(u"\\Evil\\*", entries, error));

  // Writing, creating, deleting and moving over a link change nothing outside.
  EXPECT_EQ(createFile(u"\\Temp\\filelink", GENERIC_WRITE, 0, CREATE_ALWAYS, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(createFile(u"\\Temp\\filelink", GENERIC_WRITE, 0, OPEN_ALWAYS, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(createFile(u"\\Temp\\dirlink\\new.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(createFile(u"\\Evil\\new.txt", GENERIC_WRITE, 0, CREATE_NEW, error), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(device_->createDirectory(u"\\Evil\\Sub", error));
  EXPECT_FALSE(device_->createDirectory(u"\\Temp\\dirlink", error));
  EXPECT_FALSE(device_->deleteFile(u"\\Temp\\filelink", error));
  EXPECT_FALSE(device_->deleteFile(u"\\Temp\\dirlink\\secret.txt", error));
  EXPECT_FALSE(device_->moveFile(u"\\Windows\\MakeZlkData.exe", u"\\Temp\\filelink", error));
  EXPECT_FALSE(device_->moveFile(u"\\Windows\\MakeZlkData.exe", u"\\Evil\\tool.exe", error));
  EXPECT_FALSE(device_->moveFile(u"\\Temp\\dirlink\\secret.txt", u"\\Temp\\stolen.txt", error));
  ProcessInfo info;
  EXPECT_FALSE(device_->createProcess(u"\\Temp\\filelink", u"", info, error));

  EXPECT_EQ(outsideListing(), before);
  EXPECT_TRUE(fs::is_symlink(hostPath("Temp/filelink")));
  EXPECT_TRUE(fs::exists(hostPath("Windows/MakeZlkData.exe")));
}

TEST_F(Traversal, LinkedFilesDoNotCountAgainstTheStore) {
  device_.reset();
  writeHostFile(outside_ / "big.bin", std::string(100000, 'x'));
  fs::create_symlink(outside_ / "big.bin", hostPath("Temp/big.bin"));
  Identity small;
  small.storeBytes = 50000;
  writeHostFile(imageDir_ / "device.conf", small.serialize());
  open();
  uint32_t total = 0, free = 0;
  device_->storeInformation(total, free);
  EXPECT_EQ(total, 50000u);
  EXPECT_EQ(free, 50000u - fs::file_size(hostPath("Windows/MakeZlkData.exe")));
}

} // namespace
} // namespace pspc::testing
