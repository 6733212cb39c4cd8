// One connection serves every thread: calls from several threads at once
// each get their own reply, and each thread keeps its own last error.
#include "device_fixture.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using rapitest::DeviceFile;
using rapitest::patternBytes;

class Threads : public rapitest::DeviceTest {};

constexpr int kThreads = 4;
constexpr int kRounds = 15;

// Writes, reads back and checks a file and a registry value of its own,
// round after round. Returns the number of mismatches.
int workOwnFiles(int worker) {
  int mismatches = 0;
  const std::wstring path = L"\\Temp\\thread" + std::to_wstring(worker) + L".bin";
  const std::wstring valueName = L"Worker" + std::to_wstring(worker);
  for (int round = 0; round < kRounds; ++round) {
    const std::vector<BYTE> content = patternBytes(4096 + 100 * size_t(worker) + size_t(round), unsigned(worker * 100 + round));
    {
      DeviceFile file(CeCreateFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file.valid()) return mismatches + 1;
      DWORD written = 0;
      if (!CeWriteFile(file.get(), content.data(), DWORD(content.size()), &written, nullptr) ||
          written != content.size())
        ++mismatches;
      if (CeGetFileSize(file.get(), nullptr) != content.size()) ++mismatches;
    }
    {
      DeviceFile file(CeCreateFile(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      std::vector<BYTE> back(content.size() + 16);
      DWORD got = 0;
      if (!file.valid() || !CeReadFile(file.get(), back.data(), DWORD(back.size()), &got, nullptr) ||
          got != content.size() || !std::equal(content.begin(), content.end(), back.begin()))
        ++mismatches;
    }
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (CeRegCreateKeyEx(HKEY_LOCAL_MACHINE, L"Software\\Threads", 0, nullptr, 0, 0, nullptr, &key, &disposition) !=
        ERROR_SUCCESS)
      return mismatches + 1;
    std::wstring text = valueName + L" round " + std::to_wstring(round);
    DWORD bytes = DWORD((text.size() + 1) * sizeof(wchar_t));
    if (CeRegSetValueEx(key, valueName.c_str(), 0, REG_SZ, reinterpret_cast<BYTE*>(text.data()), bytes) !=
        ERROR_SUCCESS)
      ++mismatches;
    wchar_t back[128] = {};
    DWORD size = sizeof(back);
    DWORD type = 0;
    if (CeRegQueryValueEx(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(back), &size) !=
            ERROR_SUCCESS ||
        size != bytes || text != back)
      ++mismatches;
    CeRegCloseKey(key);
  }
  return mismatches;
}

TEST_F(Threads, ConcurrentCallsGetTheirOwnReplies) {
  std::atomic<int> mismatches{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kThreads; ++w) workers.emplace_back([w, &mismatches] { mismatches += workOwnFiles(w); });
  for (std::thread& t : workers) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(Threads, EachThreadKeepsItsOwnLastError) {
  // One thread fails a call; another succeeds meanwhile; each reads its own outcome.
  HANDLE failedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE succeededEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD failingThreadError = 0;
  std::thread failing([&] {
    CeDeleteFile(L"\\Temp\\does-not-exist");
    SetEvent(failedEvent);
    WaitForSingleObject(succeededEvent, rapitest::kHangGuardMs);
    failingThreadError = CeGetLastError();
  });
  WaitForSingleObject(failedEvent, rapitest::kHangGuardMs);
  STORE_INFORMATION info{};
  EXPECT_TRUE(CeGetStoreInformation(&info));
  SetEvent(succeededEvent);
  failing.join();
  EXPECT_EQ(failingThreadError, DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_SUCCESS));
  CloseHandle(failedEvent);
  CloseHandle(succeededEvent);
}

} // namespace
