// File calls as the device answers them: dispositions, share modes, read-only
// files, moves, deletes, folders, names and listings, handles and sessions.
#include "device_fixture.h"
#include "file_system.h"

#include <algorithm>
#include <set>

namespace pspc::testing {
namespace {

using FileRules = DeviceTest;

TEST_F(FileRules, DispositionsCreateOpenAndTruncateAsOnTheDevice) {
  uint32_t error = 0;
  uint32_t handle = createFile(u"\\Temp\\a.txt", GENERIC_WRITE, 0, CREATE_NEW, error);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, 0u);
  device_->closeHandle(session_, handle, error);
  EXPECT_EQ(createFile(u"\\Temp\\a.txt", GENERIC_WRITE, 0, CREATE_NEW, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_FILE_EXISTS);

  EXPECT_EQ(createFile(u"\\Temp\\none.txt", GENERIC_READ, 0, OPEN_EXISTING, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(createFile(u"\\NoFolder\\none.txt", GENERIC_READ, 0, OPEN_EXISTING, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(createFile(u"\\NoFolder\\new.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(createFile(u"\\Temp\\none.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(createFile(u"\\Temp\\x.txt", GENERIC_WRITE, 0, 0, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);

  // CREATE_ALWAYS and OPEN_ALWAYS over an existing file succeed and say so.
  ASSERT_TRUE(putFile(u"\\Temp\\a.txt", "old content"));
  handle = createFile(u"\\Temp\\a.txt", GENERIC_READ, 0, OPEN_ALWAYS, error);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_ALREADY_EXISTS);
  EXPECT_EQ(device_->getFileSize(session_, handle, nullptr, error), 11u);
  device_->closeHandle(session_, handle, error);
  handle = createFile(u"\\Temp\\a.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, error);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_ALREADY_EXISTS);
  EXPECT_EQ(device_->getFileSize(session_, handle, nullptr, error), 0u);
  device_->closeHandle(session_, handle, error);
  handle = createFile(u"\\Temp\\fresh.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, error);
  EXPECT_EQ(error, 0u);
  device_->closeHandle(session_, handle, error);

  ASSERT_TRUE(putFile(u"\\Temp\\a.txt", "again"));
  EXPECT_EQ(createFile(u"\\Temp\\a.txt", GENERIC_READ, 0, TRUNCATE_EXISTING, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_EQ(getFile(u"\\Temp\\a.txt"), "again");
  handle = createFile(u"\\Temp\\a.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING, error);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  device_->closeHandle(session_, handle, error);
  EXPECT_EQ(getFile(u"\\Temp\\a.txt"), "");

  // A folder is not a file.
  EXPECT_EQ(createFile(u"\\Windows", GENERIC_READ, 0, OPEN_EXISTING, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_EQ(createFile(u"\\", GENERIC_READ, 0, OPEN_EXISTING, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_EQ(createFile(u"\\Windows", GENERIC_WRITE, 0, CREATE_NEW, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_FILE_EXISTS);
}

struct ShareCase {
  uint32_t firstAccess, firstShare, secondAccess, secondShare, secondDisposition;
  bool allowed;
};

TEST_F(FileRules, ShareModesDecideWhetherASecondOpenMayCoexist) {
  ASSERT_TRUE(putFile(u"\\Temp\\s.bin", "data"));
  constexpr uint32_t R = GENERIC_READ, W = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;
  const ShareCase cases[] = {
      {R, SR, R, SR, OPEN_EXISTING, true},
      {R, SR, W, SR | SW, OPEN_EXISTING, false},     // the first does not share writing
      {W, SR, R, SR, OPEN_EXISTING, false},          // the second does not share the first's writing
      {W, SR | SW, R | W, SR | SW, OPEN_EXISTING, true},
      {R, 0, R, SR, OPEN_EXISTING, false},           // exclusive
      {R, SR, R, 0, OPEN_EXISTING, false},           // the second wants it exclusive
      {0, 0, R | W, 0, OPEN_EXISTING, true},         // an open for neither reading nor writing
      {R, SR, R, SR, CREATE_ALWAYS, false},          // truncating is writing
      {R, SR | SW, W, SR | SW, TRUNCATE_EXISTING, true},
  };
  for (const ShareCase& c : cases) {
    uint32_t error = 0;
    const uint32_t first = createFile(u"\\Temp\\s.bin", c.firstAccess, c.firstShare, OPEN_EXISTING, error);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    const uint32_t second = createFile(u"\\TEMP\\S.BIN", c.secondAccess, c.secondShare, c.secondDisposition, error);
    EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.allowed)
        << std::hex << c.firstAccess << "/" << c.firstShare << " then " << c.secondAccess << "/" << c.secondShare;
    if (second != INVALID_HANDLE_VALUE) {
      device_->closeHandle(session_, second, error);
    } else {
      EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
    }
    device_->closeHandle(session_, first, error);
  }
  // An exclusive open of another session counts the same.
  uint32_t error = 0;
  const SessionId other = device_->openSession();
  const uint32_t held = device_->createFile(other, u"\\Temp\\s.bin", R, 0, OPEN_EXISTING, 0, error);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(createFile(u"\\Temp\\s.bin", R, SR, OPEN_EXISTING, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
}

TEST_F(FileRules, OpenFilesCannotBeDeletedOrMoved) {
  uint32_t error = 0;
  ASSERT_TRUE(putFile(u"\\Temp\\busy.dll", "x"));
  ASSERT_TRUE(device_->createDirectory(u"\\Temp\\Sub", error));
  ASSERT_TRUE(putFile(u"\\Temp\\Sub\\inner.dll", "y"));
  const uint32_t busy =
      createFile(u"\\Temp\\busy.dll", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, error);
  const uint32_t inner = createFile(u"\\Temp\\Sub\\inner.dll", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, error);
  EXPECT_FALSE(device_->deleteFile(u"\\Temp\\busy.dll", error));
  EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(device_->moveFile(u"\\Temp\\busy.dll", u"\\Windows\\busy.dll", error));
  EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(device_->moveFile(u"\\Temp\\Sub", u"\\Windows\\Sub", error)); // holds an open file
  EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
  device_->closeHandle(session_, busy, error);
  device_->closeHandle(session_, inner, error);
  EXPECT_TRUE(device_->moveFile(u"\\Temp\\busy.dll", u"\\Windows\\busy.dll", error));
  EXPECT_TRUE(device_->deleteFile(u"\\Windows\\busy.dll", error));
  EXPECT_FALSE(fs::exists(hostPath("Windows/busy.dll")));
}

TEST_F(FileRules, ReadOnlyFilesRefuseWritingReplacingAndDeletingButMoveWithTheirAttributes) {
  uint32_t error = 0;
  uint32_t handle = createFile(u"\\Windows\\ro.dll", GENERIC_WRITE, 0, CREATE_NEW, error,
                               FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_NORMAL);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  uint32_t written = 0;
  // The handle that made it may still write: read-only applies to later opens.
  EXPECT_TRUE(device_->writeFile(session_, handle, reinterpret_cast<const uint8_t*>("keep"), 4, written, error));
  device_->closeHandle(session_, handle, error);

  EXPECT_EQ(createFile(u"\\Windows\\ro.dll", GENERIC_WRITE, 0, OPEN_EXISTING, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_EQ(createFile(u"\\Windows\\ro.dll", GENERIC_WRITE, 0, CREATE_ALWAYS, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_EQ(createFile(u"\\Windows\\ro.dll", GENERIC_WRITE, 0, TRUNCATE_EXISTING, error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(device_->deleteFile(u"\\Windows\\ro.dll", error));
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_EQ(getFile(u"\\Windows\\ro.dll"), "keep");

  ASSERT_TRUE(device_->moveFile(u"\\Windows\\ro.dll", u"\\Temp\\Moved.dll", error));
  const auto entries = find(u"\\Temp\\moved.dll");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].attributes, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(readFile(imageDir_ / "attributes.tsv"), "21\t\\Temp\\Moved.dll\n");

  // Survives a restart, and the attribute can be cleared while the device is off.
  reopen();
  EXPECT_FALSE(device_->deleteFile(u"\\Temp\\Moved.dll", error));
  device_.reset();
  std::string message;
  ASSERT_TRUE(setFileAttributes(imageDir_, u"\\temp\\moved.dll", FILE_ATTRIBUTE_ARCHIVE, message)) << message;
  EXPECT_EQ(readFile(imageDir_ / "attributes.tsv"), "");
  EXPECT_FALSE(setFileAttributes(imageDir_, u"\\Temp\\none.dll", FILE_ATTRIBUTE_READONLY, message));
  open();
  EXPECT_TRUE(device_->deleteFile(u"\\Temp\\Moved.dll", error));
}

TEST_F(FileRules, ReadAndWriteFollowTheHandlesPositionAndAccess) {
  uint32_t error = 0, written = 0;
  const uint32_t writer = createFile(u"\\Temp\\f.bin", GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, error);
  ASSERT_TRUE(device_->writeFile(session_, writer, reinterpret_cast<const uint8_t*>("hello "), 6, written, error));
  ASSERT_TRUE(device_->writeFile(session_, writer, reinterpret_cast<const uint8_t*>("world"), 5, written, error));
  EXPECT_EQ(written, 5u);
  std::vector<uint8_t> data;
  EXPECT_FALSE(device_->readFile(session_, writer, 10, data, error));
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);

  const uint32_t reader =
      createFile(u"\\Temp\\f.bin", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, error);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(device_->readFile(session_, reader, 4, data, error));
  EXPECT_EQ(data, bytes("hell"));
  ASSERT_TRUE(device_->readFile(session_, reader, 100, data, error));
  EXPECT_EQ(data, bytes("o world"));
  ASSERT_TRUE(device_->readFile(session_, reader, 100, data, error)); // at the end: nothing, no failure
  EXPECT_TRUE(data.empty());
  EXPECT_FALSE(device_->writeFile(session_, reader, reinterpret_cast<const uint8_t*>("x"), 1, written, error));
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  uint32_t high = 7;
  EXPECT_EQ(device_->getFileSize(session_, reader, &high, error), 11u);
  EXPECT_EQ(high, 0u);
}

TEST_F(FileRules, HandlesAreValidOnlyInTheirSessionAndUntilClosed) {
  uint32_t error = 0;
  std::set<uint32_t> seen;
  for (int i = 0; i < 50; ++i) {
    const uint32_t handle =
        createFile(u"\\Windows\\MakeZlkData.exe", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, error);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_NE(handle, 0u);
    EXPECT_TRUE(seen.insert(handle).second) << "handle reused";
    if (i % 2) device_->closeHandle(session_, handle, error);
  }
  const uint32_t handle = *seen.begin();
  const SessionId other = device_->openSession();
  std::vector<uint8_t> data;
  EXPECT_FALSE(device_->readFile(other, handle, 1, data, error));
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  EXPECT_FALSE(device_->closeHandle(other, handle, error));
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  EXPECT_EQ(device_->getFileSize(other, handle, nullptr, error), 0xFFFFFFFFu);
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);

  // Closing the session releases every handle it held, keys included.
  uint32_t key = 0, disposition = 0;
  ASSERT_EQ(device_->regCreateKey(session_, HKEY_LOCAL_MACHINE, u"Software", key, disposition), 0u);
  EXPECT_EQ(device_->openHandleCount(), 26u);
  device_->closeSession(session_);
  EXPECT_EQ(device_->openHandleCount(), 0u);
  EXPECT_FALSE(device_->closeHandle(session_, handle, error));
  EXPECT_EQ(device_->regCloseKey(session_, key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(device_->createFile(session_, u"\\Temp\\late.txt", GENERIC_WRITE, 0, CREATE_NEW, 0, error),
            INVALID_HANDLE_VALUE);
  // The released opens no longer hold the file.
  EXPECT_NE(device_->createFile(other, u"\\Windows\\MakeZlkData.exe", GENERIC_READ | GENERIC_WRITE, 0,
                                OPEN_EXISTING, 0, error),
            INVALID_HANDLE_VALUE);
}

TEST_F(FileRules, MoveDeleteAndCreateDirectoryAnswerTheDevicesErrors) {
  uint32_t error = 0;
  ASSERT_TRUE(putFile(u"\\Temp\\a.dll", "a"));
  ASSERT_TRUE(putFile(u"\\Windows\\b.dll", "b"));
  EXPECT_FALSE(device_->moveFile(u"\\Temp\\a.dll", u"\\WINDOWS\\B.DLL", error));
  EXPECT_EQ(error, ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(device_->moveFile(u"\\Temp\\a.dll", u"\\Missing\\a.dll", error));
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(device_->moveFile(u"\\Temp\\none.dll", u"\\Windows\\none.dll", error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(getFile(u"\\Windows\\b.dll"), "b");

  // Folders move with what they hold, but never into themselves.
  ASSERT_TRUE(device_->createDirectory(u"\\Temp\\Pack", error));
  ASSERT_TRUE(putFile(u"\\Temp\\Pack\\in.txt", "inside"));
  EXPECT_FALSE(device_->moveFile(u"\\Temp\\Pack", u"\\Temp\\Pack\\Deeper", error));
  EXPECT_TRUE(fs::is_directory(hostPath("Temp/Pack")));
  ASSERT_TRUE(device_->moveFile(u"\\Temp\\Pack", u"\\My Documents\\Pack2", error));
  EXPECT_EQ(getFile(u"\\My Documents\\Pack2\\in.txt"), "inside");
  EXPECT_FALSE(fs::exists(hostPath("Temp/Pack")));

  // A change of case only is a rename, not a clash with itself.
  ASSERT_TRUE(device_->moveFile(u"\\Temp\\a.dll", u"\\temp\\A.DLL", error));
  ASSERT_EQ(find(u"\\Temp\\*.dll").size(), 1u);
  EXPECT_EQ(find(u"\\Temp\\*.dll")[0].name, u"A.DLL");

  EXPECT_FALSE(device_->deleteFile(u"\\Temp", error)); // files only
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(device_->deleteFile(u"\\Temp\\none.dll", error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(device_->deleteFile(u"\\None\\none.dll", error));
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);

  EXPECT_FALSE(device_->createDirectory(u"\\temp", error));
  EXPECT_EQ(error, ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(device_->createDirectory(u"\\Windows\\b.dll", error));
  EXPECT_EQ(error, ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(device_->createDirectory(u"\\None\\Sub", error));
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
}

TEST_F(FileRules, NamesCompareWithoutCaseAndKeepTheCaseTheyWereMadeWith) {
  const std::u16string names[] = {u"MixedCase.TXT", u"\u00d6konomie.txt", u"\u03a3\u03bf\u03c6\u03af\u03b1.doc",
                                  u"\u041f\u0440\u0438\u0432\u0435\u0442.txt"};
  const std::u16string otherCase[] = {u"mixedcase.txt", u"\u00f6KONOMIE.TXT", u"\u03c3\u039f\u03a6\u038a\u0391.DOC",
                                      u"\u043f\u0420\u0418\u0412\u0415\u0422.TXT"};
  for (size_t i = 0; i < std::size(names); ++i) {
    ASSERT_TRUE(putFile(u"\\Temp\\" + names[i], "n"));
    EXPECT_EQ(getFile(u"\\TEMP\\" + otherCase[i]), "n") << toUtf8Lossy(names[i]);
    uint32_t error = 0;
    EXPECT_EQ(createFile(u"\\temp\\" + otherCase[i], GENERIC_WRITE, 0, CREATE_NEW, error), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, ERROR_FILE_EXISTS);
    std::string host;
    utf16ToUtf8(names[i], host);
    EXPECT_TRUE(fs::exists(hostPath("Temp/" + host)));
  }
  // Replacing through another case keeps the stored name.
  ASSERT_TRUE(putFile(u"\\TEMP\\MIXEDCASE.txt", "new"));
  const auto entries = find(u"\\Temp\\m*");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, u"MixedCase.TXT");
}

TEST_F(FileRules, FindListsOneFolderWithAttributesSizesAndTimes) {
  uint32_t error = 0;
  ASSERT_TRUE(putFile(u"\\Windows\\README", "12345"));
  ASSERT_TRUE(putFile(u"\\Windows\\adoce.dll", "1234567"));
  ASSERT_TRUE(device_->createDirectory(u"\\Windows\\Fonts", error));
  ASSERT_TRUE(putFile(u"\\Windows\\Fonts\\deep.dll", "not listed"));

  const auto all = find(u"\\Windows\\*.*");
  std::vector<std::u16string> names;
  for (const FindData& entry : all) names.push_back(entry.name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"adoce.dll", u"Fonts", u"MakeZlkData.exe", u"README"}));
  for (const FindData& entry : all) {
    EXPECT_NE(entry.oid, 0u);
    EXPECT_GT(entry.lastWriteTime, 125911584000000000u); // after 2000-01-01
    if (entry.name == u"Fonts") {
      EXPECT_EQ(entry.attributes, FILE_ATTRIBUTE_DIRECTORY);
      EXPECT_EQ(entry.sizeLow, 0u);
    } else {
      EXPECT_EQ(entry.attributes, FILE_ATTRIBUTE_ARCHIVE);
    }
  }
  EXPECT_EQ(all[0].sizeLow, 7u);
  EXPECT_EQ(find(u"\\Windows\\*.DLL").size(), 1u);
  EXPECT_EQ(find(u"\\Windows\\*.").size(), 2u); // README and Fonts
  EXPECT_EQ(find(u"\\Windows\\*.xyz").size(), 0u);
  EXPECT_EQ(find(u"\\*").size(), 3u);

  std::vector<FindData> entries;
  EXPECT_FALSE(device_->findAllFiles(u"\\Missing\\*.*", entries, error));
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
}

TEST_F(FileRules, TheFolderIndexSeesChangesMadeOnTheHost) {
  ASSERT_TRUE(putFile(u"\\Temp\\mine.txt", "m"));
  // A file copied into the image while the device runs; the folder's time is
  // set apart so the change cannot hide in the clock's granularity.
  writeHostFile(hostPath("Temp/Copied.TXT"), "from the host");
  fs::last_write_time(hostPath("Temp"), fs::last_write_time(hostPath("Temp")) + std::chrono::seconds(5));
  EXPECT_EQ(getFile(u"\\temp\\copied.txt"), "from the host");
  fs::remove(hostPath("Temp/Copied.TXT"));
  fs::last_write_time(hostPath("Temp"), fs::last_write_time(hostPath("Temp")) + std::chrono::seconds(5));
  EXPECT_EQ(getFile(u"\\temp\\copied.txt"), std::nullopt);

  // Two host names that differ only in case are one device name.
  device_.reset();
  writeHostFile(hostPath("Temp/twin.txt"), "lower");
  writeHostFile(hostPath("Temp/TWIN.txt"), "upper");
  open();
  EXPECT_EQ(find(u"\\Temp\\twin.*").size(), 1u);
  EXPECT_EQ(getFile(u"\\Temp\\twin.txt"), "upper"); // the first in byte order
}

} // namespace
} // namespace pspc::testing
