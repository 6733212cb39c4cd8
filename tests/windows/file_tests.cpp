// Device files as the setup program uses them: the four CeCreateFile
// combinations and their failure values, 4096-byte and empty writes, the
// 2600-byte read, size, delete, move, folders, listing and free storage.
#include "device_fixture.h"

#include <algorithm>
#include <map>

namespace {

using rapitest::DeviceFile;
using rapitest::patternBytes;
using rapitest::readDeviceFile;
using rapitest::writeDeviceFile;

class Files : public rapitest::DeviceTest {};

HANDLE openForReading(const wchar_t* path, DWORD attributes) {
  return CeCreateFile(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, attributes, nullptr);
}

TEST_F(Files, TheFourCreateFileCombinationsAndTheirFailures) {
  const wchar_t* path = L"\\Windows\\combo.dll";
  // Existence check on a file that is not there.
  EXPECT_EQ(openForReading(path, FILE_ATTRIBUTE_NORMAL), INVALID_HANDLE_VALUE);
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(CeRapiGetError(), S_OK);

  // New destination.
  {
    DeviceFile created(CeCreateFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(created.valid()) << CeGetLastError();
    DWORD written = 0;
    ASSERT_TRUE(CeWriteFile(created.get(), "first", 5, &written, nullptr));
  }
  // CREATE_NEW refuses a file that exists.
  EXPECT_EQ(CeCreateFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_FILE_EXISTS));

  // Existence check and the data-file form (attributes 0) both open it.
  {
    DeviceFile check(openForReading(path, FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(check.valid());
  }
  {
    DeviceFile data(openForReading(path, 0));
    ASSERT_TRUE(data.valid());
    EXPECT_EQ(CeGetFileSize(data.get(), nullptr), 5u);
  }

  // Replacement empties it.
  {
    DeviceFile replaced(CeCreateFile(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(replaced.valid());
  }
  DeviceFile reopened(openForReading(path, 0));
  ASSERT_TRUE(reopened.valid());
  DWORD high = 7;
  EXPECT_EQ(CeGetFileSize(reopened.get(), &high), 0u);
  EXPECT_EQ(high, 0u);
}

TEST_F(Files, ChunkedWritesReadBackExactly) {
  // Three full chunks and a short one, then an empty write, as a copy ends.
  const std::vector<BYTE> content = patternBytes(3 * 4096 + 1000, 1);
  {
    DeviceFile file(CeCreateFile(L"\\Windows\\chunks.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid());
    for (size_t offset = 0; offset < content.size(); offset += 4096) {
      DWORD chunk = DWORD(std::min<size_t>(4096, content.size() - offset));
      DWORD written = 0;
      ASSERT_TRUE(CeWriteFile(file.get(), content.data() + offset, chunk, &written, nullptr));
      EXPECT_EQ(written, chunk);
    }
    DWORD written = 123;
    EXPECT_TRUE(CeWriteFile(file.get(), content.data(), 0, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(CeGetFileSize(file.get(), nullptr), DWORD(content.size()));
  }
  EXPECT_EQ(readDeviceFile(L"\\Windows\\chunks.bin"), content);
}

TEST_F(Files, OneCallCarriesUpToTheLinkLimitAndNoMore) {
  const std::vector<BYTE> big = patternBytes(1u << 20, 3);
  DeviceFile file(CeCreateFile(L"\\Temp\\big.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file.valid());
  DWORD written = 0;
  ASSERT_TRUE(CeWriteFile(file.get(), big.data(), DWORD(big.size()), &written, nullptr));
  EXPECT_EQ(written, big.size());

  std::vector<BYTE> tooBig(big.size() + 1);
  EXPECT_FALSE(CeWriteFile(file.get(), tooBig.data(), DWORD(tooBig.size()), &written, nullptr));
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(CeReadFile(file.get(), tooBig.data(), DWORD(tooBig.size()), &written, nullptr));
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  // Nothing was sent, so the connection is as good as before.
  EXPECT_EQ(CeGetFileSize(file.get(), nullptr), DWORD(big.size()));
  EXPECT_EQ(CeRapiGetError(), S_OK);
}

TEST_F(Files, MoveAndDelete) {
  writeDeviceFile(L"\\Windows\\old.dll", patternBytes(100, 4));
  writeDeviceFile(L"\\Temp\\old.dll", patternBytes(10, 5));
  // A move onto an existing file fails and leaves both in place.
  EXPECT_FALSE(CeMoveFile(L"\\Windows\\old.dll", L"\\Temp\\old.dll"));
  EXPECT_NE(CeGetLastError(), DWORD(ERROR_SUCCESS));
  EXPECT_FALSE(CeMoveFile(L"\\Windows\\old.dll", L"\\NoSuchFolder\\old.dll"));

  EXPECT_TRUE(CeDeleteFile(L"\\Temp\\old.dll"));
  EXPECT_TRUE(CeMoveFile(L"\\Windows\\old.dll", L"\\Temp\\old.dll"));
  EXPECT_EQ(readDeviceFile(L"\\Temp\\old.dll"), patternBytes(100, 4));
  EXPECT_EQ(openForReading(L"\\Windows\\old.dll", FILE_ATTRIBUTE_NORMAL), INVALID_HANDLE_VALUE);

  EXPECT_TRUE(CeDeleteFile(L"\\Temp\\old.dll"));
  EXPECT_FALSE(CeDeleteFile(L"\\Temp\\old.dll"));
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(Files, FoldersAreMadeAndListed) {
  ASSERT_TRUE(CeCreateDirectory(L"\\Temp\\Listed", nullptr));
  EXPECT_FALSE(CeCreateDirectory(L"\\Temp\\Listed", nullptr));
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  ASSERT_TRUE(CeCreateDirectory(L"\\Temp\\Listed\\Inner", nullptr));
  writeDeviceFile(L"\\Temp\\Listed\\a.txt", patternBytes(10, 6));
  writeDeviceFile(L"\\Temp\\Listed\\Bee.txt", patternBytes(5000, 7));

  DWORD count = 0;
  CE_FIND_DATA* entries = nullptr;
  ASSERT_TRUE(CeFindAllFiles(L"\\Temp\\Listed\\*", FAF_NAME | FAF_ATTRIBUTES | FAF_SIZE_LOW, &count, &entries));
  ASSERT_EQ(count, 3u);
  ASSERT_NE(entries, nullptr);
  std::map<std::wstring, const CE_FIND_DATA*> byName;
  for (DWORD i = 0; i < count; ++i) byName[entries[i].cFileName] = &entries[i];
  ASSERT_EQ(byName.count(L"a.txt"), 1u);
  ASSERT_EQ(byName.count(L"Bee.txt"), 1u); // case preserved
  ASSERT_EQ(byName.count(L"Inner"), 1u);
  EXPECT_EQ(byName[L"a.txt"]->nFileSizeLow, 10u);
  EXPECT_EQ(byName[L"Bee.txt"]->nFileSizeLow, 5000u);
  EXPECT_TRUE(byName[L"Inner"]->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(byName[L"a.txt"]->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(CeRapiFreeBuffer(entries), S_OK);

  // An empty folder: success, nothing to free.
  ASSERT_TRUE(CeFindAllFiles(L"\\Temp\\Listed\\Inner\\*", FAF_NAME, &count, &entries));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(CeRapiFreeBuffer(entries), S_OK);
}

TEST_F(Files, FreeStorageFallsAsFilesAreWritten) {
  STORE_INFORMATION before{};
  ASSERT_TRUE(CeGetStoreInformation(&before));
  EXPECT_GT(before.dwStoreSize, 0u);
  EXPECT_GT(before.dwFreeSize, 0u);
  EXPECT_LE(before.dwFreeSize, before.dwStoreSize);
  writeDeviceFile(L"\\Temp\\space.bin", patternBytes(64 * 1024, 8));
  STORE_INFORMATION after{};
  ASSERT_TRUE(CeGetStoreInformation(&after));
  EXPECT_EQ(after.dwStoreSize, before.dwStoreSize);
  EXPECT_LE(after.dwFreeSize + 64 * 1024, before.dwFreeSize);
}

TEST_F(Files, ArgumentsThatCannotBeSentAreRefusedLocally) {
  EXPECT_EQ(CeCreateFile(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(CeGetStoreInformation(nullptr));
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  DWORD count = 5;
  EXPECT_FALSE(CeFindAllFiles(L"\\Temp\\*", FAF_NAME, &count, nullptr));
  EXPECT_EQ(count, 0u);
  // A path far longer than the link carries.
  std::wstring huge(40000, L'a');
  EXPECT_FALSE(CeDeleteFile(huge.c_str()));
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  // None of it touched the connection.
  STORE_INFORMATION info{};
  EXPECT_TRUE(CeGetStoreInformation(&info));
}

} // namespace
