// The emulator killed outright while a desktop writes registry values and
// files: the real `pspcemu serve` process, SIGKILL at a point drawn from a
// seeded schedule, again and again on the same image. After every kill the
// device must open (registry.dat and attributes.tsv parse), each registry
// entry must hold its last acknowledged value or the one on its way, and no
// file but the ones being written may have changed.
//
// PSPC_CRASH_SEED and PSPC_CRASH_RUNS choose another schedule; a failure
// names the seed and the run, so it can be replayed.
#include "device_fixture.h"
#include "link_client.h"
#include "op_log.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <atomic>
#include <map>
#include <random>
#include <set>
#include <thread>

extern char** environ;

namespace pspc::testing {
namespace {

using namespace rapiwire;
using namespace std::chrono_literals;

constexpr size_t kEntries = 8;
constexpr char16_t kKeyPath[] = u"Software\\CrashSafety";
constexpr size_t kBallastBytes = 192 * 1024; // makes every registry save take a while
constexpr uint32_t kChunk = 16 * 1024;

uint32_t envNumber(const char* name, uint32_t fallback) {
  const char* text = std::getenv(name);
  return text && *text ? uint32_t(std::strtoul(text, nullptr, 10)) : fallback;
}

std::u16string entryName(size_t entry) { return u"Entry" + std::u16string(1, char16_t(u'0' + entry)); }

// Generation `generation` of an entry's value: its own length and bytes, so
// a value read back names the write it came from, and a torn one names none.
std::vector<uint8_t> entryValue(size_t entry, uint32_t generation) {
  const size_t size = 512 + (generation * 7919u + entry * 104729u) % 6000u;
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = uint8_t(generation * 31u + entry * 17u + i);
  for (size_t b = 0; b < 4; ++b) {
    data[b] = uint8_t(entry >> (8 * b));
    data[4 + b] = uint8_t(generation >> (8 * b));
  }
  return data;
}

std::optional<uint32_t> generationOf(size_t entry, const std::vector<uint8_t>& data) {
  if (data.size() < 8) return std::nullopt;
  const uint32_t generation = uint32_t(data[4]) | uint32_t(data[5]) << 8 | uint32_t(data[6]) << 16 |
                              uint32_t(data[7]) << 24;
  if (data != entryValue(entry, generation)) return std::nullopt;
  return generation;
}

std::vector<uint8_t> ballast() {
  std::vector<uint8_t> data(kBallastBytes);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + (i >> 9));
  return data;
}

// What the desktop has done to each entry: the last value the device
// acknowledged, and the one sent but not yet answered (0: none).
struct Entries {
  std::array<uint32_t, kEntries> acknowledged{}, inFlight{}, lastGeneration{};
};

// The desktop: registry values and files, written until the link goes.
void writeUntilTheLinkDrops(const fs::path& imageDir, const std::atomic<bool>& stop, std::atomic<bool>& writing,
                            Entries& entries, size_t& calls, uint32_t seed) {
  uint16_t port = 0;
  while (!stop && port == 0) {
    std::ifstream in(imageDir / "link.port");
    if (!(in >> port)) std::this_thread::sleep_for(2ms);
  }
  LinkClient link;
  if (stop || !link.connect(port)) return;
  RegCreateKeyRequest create;
  create.key = HKEY_LOCAL_MACHINE;
  create.subKey = kKeyPath;
  RegKeyReply key;
  key.withDisposition = true;
  uint32_t hresult = 0;
  auto payload = link.call(create);
  if (!payload || decodeReply(*payload, key, hresult) != ReplyStatus::Ok || key.status != 0) return;
  writing = true;

  std::mt19937 pick(seed);
  for (uint32_t step = 0; !stop; ++step) {
    if (step % 4 == 3) {
      // A file rewritten from the start, its attributes changing each time.
      CreateFileRequest open;
      open.path = u"\\Temp\\being-written-" + std::u16string(1, char16_t(u'0' + step / 4 % 3)) + u".bin";
      open.access = GENERIC_WRITE;
      open.disposition = CREATE_ALWAYS;
      open.flagsAndAttributes = step / 4 % 2 ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL;
      ResultReply opened;
      payload = link.call(open);
      if (!payload || decodeReply(*payload, opened, hresult) != ReplyStatus::Ok) return;
      if (opened.result == INVALID_HANDLE_VALUE) continue;
      WriteFileRequest write;
      write.handle = opened.result;
      write.data.assign(kChunk, uint8_t(step));
      for (int i = 0; i < 4; ++i)
        if (!link.call(write)) return;
      if (!link.call(CloseHandleRequest{opened.result})) return;
      ++calls;
      continue;
    }
    const size_t entry = pick() % kEntries;
    const uint32_t generation = ++entries.lastGeneration[entry];
    RegSetValueRequest set;
    set.key = key.key;
    set.valueName = entryName(entry);
    set.type = REG_BINARY;
    set.data = entryValue(entry, generation);
    set.byteCount = uint32_t(set.data.size());
    entries.inFlight[entry] = generation;
    ResultReply stored;
    payload = link.call(set);
    if (!payload || decodeReply(*payload, stored, hresult) != ReplyStatus::Ok) return; // the link went mid-call
    if (stored.result == ERROR_SUCCESS) entries.acknowledged[entry] = generation;
    entries.inFlight[entry] = 0;
    ++calls;
  }
}

class CrashSafety : public DeviceTest {
protected:
  void SetUp() override {
    DeviceTest::SetUp();
    // What must survive every kill unchanged: device files, a value that is
    // never rewritten (the ballast), and a folder beside the image.
    ASSERT_TRUE(putFile(u"\\Windows\\keep.dll", std::string(5000, 'k')));
    ASSERT_TRUE(putFile(u"\\My Documents\\notes.txt", "notes"));
    fs::create_directories(scratch_ / "sentinel");
    writeHostFile(scratch_ / "sentinel" / "secret.txt", "secret");
    uint32_t key = 0, disposition = 0;
    ASSERT_EQ(device_->regCreateKey(session_, HKEY_LOCAL_MACHINE, kKeyPath, key, disposition), ERROR_SUCCESS);
    ASSERT_EQ(device_->regSetValue(session_, key, u"Ballast", REG_BINARY, ballast()), ERROR_SUCCESS);
    device_.reset();
    unchanging_ = unchangingFiles();
  }

  // Whether a path under the scratch folder is one the run may change.
  bool mayChange(const fs::path& path) const {
    const std::string name = path.filename().string();
    if (path.parent_path() == imageDir_)
      return name == "registry.dat" || name == "registry.dat.tmp" || name == "attributes.tsv" ||
             name == "attributes.tsv.tmp" || name == "oplog.jsonl" || name.starts_with("link.port") ||
             name == "console.sock";
    if (path.parent_path() == image::fsRoot(imageDir_) / "Temp") return name.starts_with("being-written-");
    return path == scratch_ / "serve.log";
  }

  // Every other file with its content and modification time; folders by name.
  std::map<std::string, std::string> unchangingFiles() const {
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(scratch_); it != fs::recursive_directory_iterator(); ++it) {
      if (mayChange(it->path())) continue;
      struct stat info {};
      if (::lstat(it->path().c_str(), &info) != 0) continue;
      files[it->path().string()] = S_ISDIR(info.st_mode)
                                       ? std::string("folder")
                                       : std::to_string(info.st_mtim.tv_sec) + "." +
                                             std::to_string(info.st_mtim.tv_nsec) + " " + readFile(it->path());
    }
    return files;
  }

  pid_t startServing() {
    // The console socket the killed emulator left stays: the next one must
    // replace it.
    fs::remove(imageDir_ / "link.port");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = (scratch_ / "serve.log").string();
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const std::string image = imageDir_.string();
    const char* argv[] = {PSPCEMU_PATH, "serve", image.c_str(), "--port", "0", nullptr};
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, PSPCEMU_PATH, &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
  }

  std::map<std::string, std::string> unchanging_;
};

TEST_F(CrashSafety, KilledWhileWritingTheDeviceLosesNothingItAcknowledged) {
  const uint32_t seed = envNumber("PSPC_CRASH_SEED", 20260608);
  const uint32_t runs = envNumber("PSPC_CRASH_RUNS", 50);
  // Most kills fall while the desktop writes: a point in its first 400 ms.
  // Every tenth falls at a point of the emulator's start instead.
  std::mt19937 schedule(seed);
  std::uniform_int_distribution<int> whileWritingMs(0, 400), whileStartingMs(0, 150);
  Entries entries;
  size_t killedWhileWriting = 0, inFlightKept = 0, inFlightLost = 0;
  size_t completedCalls = 0;
  std::set<size_t> cutByKills; // op-log lines a kill ended mid-record

  for (uint32_t run = 0; run < runs; ++run) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", run " + std::to_string(run));
    const bool duringStart = run % 10 == 9;
    const auto killAfter = std::chrono::milliseconds(duringStart ? whileStartingMs(schedule) : whileWritingMs(schedule));
    const uint32_t pickSeed = schedule();
    const pid_t server = startServing();
    ASSERT_GT(server, 0) << "cannot start " << PSPCEMU_PATH;
    std::atomic<bool> stop{false}, writing{false};
    size_t calls = 0;
    std::thread desktop(writeUntilTheLinkDrops, imageDir_, std::cref(stop), std::ref(writing), std::ref(entries),
                        std::ref(calls), pickSeed);
    if (!duringStart) testsupport::waitUntil([&] { return writing.load(); });
    std::this_thread::sleep_for(killAfter);
    ::kill(server, SIGKILL);
    int status = 0;
    ::waitpid(server, &status, 0);
    stop = true;
    desktop.join();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the emulator ended on its own before the kill (status " << status << "): see "
        << (scratch_ / "serve.log");
    killedWhileWriting += writing;
    completedCalls += calls;

    // The device opens: its registry and attributes parse.
    try {
      open();
    } catch (const std::exception& failure) {
      FAIL() << "the device does not open after the kill: " << failure.what();
    }
    uint32_t key = 0;
    const uint32_t opened = device_->regOpenKey(session_, HKEY_LOCAL_MACHINE, kKeyPath, key);
    ASSERT_EQ(opened, ERROR_SUCCESS);
    for (size_t entry = 0; entry < kEntries; ++entry) {
      SCOPED_TRACE(toUtf8Lossy(entryName(entry)));
      uint32_t type = 0, size = 0;
      std::vector<uint8_t> data;
      const uint32_t found = device_->regQueryValue(session_, key, entryName(entry), type, data, 1 << 20, size);
      const uint32_t acknowledged = entries.acknowledged[entry], inFlight = entries.inFlight[entry];
      if (found == ERROR_FILE_NOT_FOUND) {
        EXPECT_EQ(acknowledged, 0u) << "an acknowledged value was lost";
        continue;
      }
      ASSERT_EQ(found, ERROR_SUCCESS);
      const std::optional<uint32_t> generation = generationOf(entry, data);
      ASSERT_TRUE(generation) << "the value is none that was written (" << data.size() << " bytes)";
      EXPECT_TRUE(*generation == acknowledged || (inFlight != 0 && *generation == inFlight))
          << "holds write " << *generation << "; acknowledged " << acknowledged << ", in flight " << inFlight;
      if (inFlight != 0) (*generation == inFlight ? inFlightKept : inFlightLost) += 1;
      entries.acknowledged[entry] = *generation;
      entries.inFlight[entry] = 0;
    }
    uint32_t type = 0, size = 0;
    std::vector<uint8_t> kept;
    EXPECT_EQ(device_->regQueryValue(session_, key, u"Ballast", type, kept, 1 << 20, size), ERROR_SUCCESS);
    EXPECT_TRUE(kept == ballast()) << "the value never rewritten changed";
    device_.reset();

    EXPECT_EQ(unchangingFiles(), unchanging_) << "a file that was not being written changed";
    // Every record the emulator finished writing reads back. Only the last
    // line may be cut short by this run's kill (a record over a page is
    // written in several steps); it stays, ended by the next serving, and is
    // no fault in the runs after.
    std::ifstream log(image::opLogFile(imageDir_));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    size_t unreadable = 0;
    for (size_t i = 0; i + 1 < lines.size(); ++i) unreadable += !parseFlatJson(lines[i]) && !cutByKills.count(i);
    if (!lines.empty() && !parseFlatJson(lines.back())) cutByKills.insert(lines.size() - 1);
    EXPECT_EQ(unreadable, 0u) << "op-log records were run together or cut";
    if (HasFatalFailure() || HasNonfatalFailure()) break;
  }
  std::printf("crash safety: seed %u, %u kills, %zu while the desktop was writing (%zu calls answered in all); "
              "the value in flight was kept %zu times and not kept %zu times\n",
              seed, runs, killedWhileWriting, completedCalls, inFlightKept, inFlightLost);
}

} // namespace
} // namespace pspc::testing
