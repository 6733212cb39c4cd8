// rapi.dll's route through the connection manager, against a stand-in manager
// (fake_manager/fake_pspclink.cpp) that names the wrapper's emulator as the
// attached device; the tests attach and detach it, spoil the channel file and
// lock the device with a password through the stand-in's control port.
// Run by with-emulator.sh --manager: PSPC_RAPI_ENDPOINT is not set.
#include "device_fixture.h"

#include "../../protocol/control_connection.h"
#include "../../protocol/link_channel.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace {

using rapitest::tellEmulator;
using rapitest::environment;

// Hang guard of every wait for an outcome that must come.
constexpr DWORD kGuardMs = 30000;

std::string controlManager(const std::string& command) {
  return rapitest::controlLine("PSPC_FAKE_MANAGER_CONTROL", command);
}

// What the process tells a debugger through OutputDebugString, heard as a
// debugger hears it when none is attached: through the DBWIN buffer.
class DebugMessages {
public:
  static DebugMessages& instance() {
    static DebugMessages* messages = new DebugMessages(); // kept to the end: its thread listens till then
    return *messages;
  }

  size_t mark() {
    std::lock_guard lock(mutex_);
    return texts_.size();
  }

  // Waits until a message heard after `from` holds `text`.
  bool waitFor(const std::string& text, size_t from) {
    std::unique_lock lock(mutex_);
    return heard_.wait_for(lock, std::chrono::milliseconds(kGuardMs), [&] {
      for (size_t i = from; i < texts_.size(); ++i)
        if (texts_[i].find(text) != std::string::npos) return true;
      return false;
    });
  }

  std::string since(size_t from) {
    std::lock_guard lock(mutex_);
    std::string all;
    for (size_t i = from; i < texts_.size(); ++i) all += texts_[i];
    return all;
  }

private:
  struct Buffer {
    DWORD processId;
    char text[4096 - sizeof(DWORD)];
  };

  DebugMessages()
      : ready_(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY")),
        data_(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY")),
        mapping_(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Buffer), "DBWIN_BUFFER")),
        buffer_(mapping_ ? static_cast<const Buffer*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, sizeof(Buffer)))
                         : nullptr) {
    if (!ready_ || !data_ || !buffer_) {
      ADD_FAILURE() << "the DBWIN buffer cannot be made";
      return;
    }
    std::thread([this] { listen(); }).detach();
  }

  void listen() {
    for (;;) {
      SetEvent(ready_);
      if (WaitForSingleObject(data_, INFINITE) != WAIT_OBJECT_0) return;
      if (buffer_->processId != GetCurrentProcessId()) continue;
      std::string text(buffer_->text, strnlen(buffer_->text, sizeof(buffer_->text)));
      std::lock_guard lock(mutex_);
      texts_.push_back(std::move(text));
      heard_.notify_all();
    }
  }

  HANDLE ready_, data_, mapping_;
  const Buffer* buffer_;
  std::mutex mutex_;
  std::condition_variable heard_;
  std::vector<std::string> texts_;
};

// Waits until `condition` holds.
bool eventually(const std::function<bool()>& condition) {
  for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < kGuardMs; Sleep(20))
    if (condition()) return true;
  return condition();
}

bool storeInformationWorks() {
  STORE_INFORMATION info{};
  return CeGetStoreInformation(&info) != FALSE;
}

// The stand-in's counters, by name.
unsigned stat(const std::string& name) {
  linkchannel::Line line;
  if (!linkchannel::parseLine(controlManager("stats"), line) || line.name != "ok") return 999;
  const std::string* value = line.option(name);
  return value ? unsigned(std::stoul(*value)) : 999;
}

// Records of the emulator's op log that hold `needle`.
size_t emulatorRecords(const std::string& needle) {
  std::string path = "Z:" + environment("PSPC_EMULATOR_IMAGE") + "/oplog.jsonl";
  for (char& c : path)
    if (c == '/') c = '\\';
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  std::string log;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) log.append(chunk, got);
  CloseHandle(file);
  size_t count = 0;
  for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++count;
  return count;
}

// RAPI connections the emulator has taken.
size_t emulatorConnections() { return emulatorRecords("\"op\":\"connect\""); }

// A device attaches to the stand-in; its attach number, 0 when it did not.
uint64_t attachDevice(const std::string& options = "") {
  std::string answer = controlManager(options.empty() ? "attach" : "attach " + options);
  return answer.rfind("ok attach=", 0) == 0 ? std::stoull(answer.substr(10)) : 0;
}

std::string preludeHex(const std::u16string& password, uint8_t key) {
  return linkchannel::hexOf(controlwire::encodePassword(password, key));
}

class ManagerRoute : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(environment("PSPC_RAPI_ENDPOINT").empty()) << "run through with-emulator.sh --manager";
    DebugMessages::instance();
    ASSERT_EQ(controlManager("detach"), "ok");
    ASSERT_EQ(controlManager("channel write"), "ok");
  }
  void TearDown() override {
    CeRapiUninit();
    SetEnvironmentVariableA("PSPC_RAPI_REPLY_TIMEOUT_MS", nullptr);
  }

  // Requests the connection; it must still be waiting once `text` is reported.
  void requestAndExpectWaiting(RAPIINIT& init, const std::string& text) {
    size_t mark = DebugMessages::instance().mark();
    init = RAPIINIT{};
    init.cbSize = sizeof(init);
    ASSERT_EQ(CeRapiInitEx(&init), S_OK);
    ASSERT_TRUE(DebugMessages::instance().waitFor(text, mark)) << DebugMessages::instance().since(mark);
    EXPECT_EQ(WaitForSingleObject(init.heRapiInit, 0), DWORD(WAIT_TIMEOUT));
  }

  static void expectConnected(const RAPIINIT& init) {
    ASSERT_EQ(WaitForSingleObject(init.heRapiInit, kGuardMs), WAIT_OBJECT_0);
    EXPECT_EQ(init.hrRapiInit, S_OK);
    EXPECT_TRUE(storeInformationWorks());
  }

  // Calls fail as on a dropped link, and go on failing.
  static void expectDroppedLink() {
    ASSERT_TRUE(eventually([] { return !storeInformationWorks(); }));
    EXPECT_EQ(CeRapiGetError(), HRESULT_FROM_WIN32(ERROR_CONNECTION_ABORTED));
    EXPECT_EQ(CeGetLastError(), DWORD(ERROR_CONNECTION_ABORTED));
    EXPECT_FALSE(storeInformationWorks());
    EXPECT_EQ(CeGetLastError(), DWORD(ERROR_CONNECTION_ABORTED));
  }
};

TEST_F(ManagerRoute, FindsTheAttachedDeviceAndWaitsForTheNextAttachOnceItIsGone) {
  RAPIINIT init;
  requestAndExpectWaiting(init, "waiting for a device to attach");
  ASSERT_GT(attachDevice(), 0u);
  expectConnected(init);

  ASSERT_EQ(controlManager("detach"), "ok");
  expectDroppedLink();
  // The device is back, but this connection stays broken...
  ASSERT_GT(attachDevice(), 0u);
  EXPECT_FALSE(storeInformationWorks());
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_CONNECTION_ABORTED));
  // ...and a new one waits for the next attach, and takes it.
  ASSERT_EQ(CeRapiUninit(), S_OK);
  ASSERT_EQ(controlManager("detach"), "ok");
  size_t mark = DebugMessages::instance().mark();
  requestAndExpectWaiting(init, "waiting for a device to attach");
  const uint64_t next = attachDevice();
  ASSERT_GT(next, 0u);
  expectConnected(init);
  EXPECT_TRUE(DebugMessages::instance().waitFor("(attach " + std::to_string(next) + ")", mark));
}

TEST_F(ManagerRoute, AGoneDeviceFailsTheCallInFlightAtOnce) {
  // Without the manager's word the call would wait ten minutes for its reply.
  SetEnvironmentVariableA("PSPC_RAPI_REPLY_TIMEOUT_MS", "600000");
  ASSERT_GT(attachDevice(), 0u);
  ASSERT_EQ(CeRapiInit(), S_OK);
  struct Release {
    ~Release() {
      tellEmulator("release");
      tellEmulator("clear-faults");
    }
  } release;
  ASSERT_EQ(tellEmulator("fault hold:CeDeleteFile:1").rfind("ok", 0), 0u);
  const size_t holds = emulatorRecords("\"op\":\"hold\"");

  struct Call {
    BOOL result = TRUE;
    DWORD lastError = 0;
  } call;
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* parameter) -> DWORD {
        auto* c = static_cast<Call*>(parameter);
        c->result = CeDeleteFile(L"\\Temp\\held.txt");
        c->lastError = CeGetLastError();
        return 0;
      },
      &call, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  // Once the emulator holds the call, it is in flight.
  ASSERT_TRUE(eventually([&] { return emulatorRecords("\"op\":\"hold\"") > holds; }));
  ASSERT_EQ(controlManager("detach"), "ok");
  EXPECT_EQ(WaitForSingleObject(thread, kGuardMs), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_FALSE(call.result);
  EXPECT_EQ(call.lastError, DWORD(ERROR_CONNECTION_ABORTED));
  expectDroppedLink();
}

TEST_F(ManagerRoute, ABrokenChannelDropsTheLinkAsAGoneDeviceDoes) {
  ASSERT_GT(attachDevice(), 0u);
  ASSERT_EQ(CeRapiInit(), S_OK);
  ASSERT_TRUE(storeInformationWorks());
  ASSERT_EQ(controlManager("drop-channels"), "ok");
  expectDroppedLink();
  // A new connection asks the manager again; the device is still attached.
  ASSERT_EQ(CeRapiUninit(), S_OK);
  ASSERT_EQ(CeRapiInit(), S_OK);
  EXPECT_TRUE(storeInformationWorks());
}

TEST_F(ManagerRoute, AWrongTokenIsRefusedAndTheRequestWaitsWithoutGoingElsewhere) {
  ASSERT_GT(attachDevice(), 0u);
  ASSERT_EQ(controlManager("channel stale"), "ok");
  const size_t connections = emulatorConnections();
  const unsigned hellos = stat("hello"), refused = stat("refused");
  RAPIINIT init;
  requestAndExpectWaiting(init, "refused the token");
  EXPECT_EQ(stat("refused"), refused + 1);
  EXPECT_EQ(stat("hello"), hellos);
  // The refused file is not offered again, and nothing else is dialled.
  EXPECT_EQ(emulatorConnections(), connections);
  // The file of the running manager ends the wait.
  ASSERT_EQ(controlManager("channel write"), "ok");
  expectConnected(init);
  EXPECT_EQ(stat("refused"), refused + 1);
  EXPECT_EQ(emulatorConnections(), connections + 1);
}

TEST_F(ManagerRoute, ALockedDeviceGetsThePasswordFirstAndARefusalWaitsForTheNextAttach) {
  const std::string right = preludeHex(u"secret", 0x5A);
  const unsigned unlocked = stat("unlocked"), lockedOut = stat("locked-out");
  ASSERT_GT(attachDevice("prelude=" + right + " expect=" + right), 0u);
  ASSERT_EQ(CeRapiInit(), S_OK);
  EXPECT_TRUE(storeInformationWorks());
  EXPECT_EQ(stat("unlocked"), unlocked + 1);
  ASSERT_EQ(CeRapiUninit(), S_OK);

  // The device no longer takes the password the manager holds.
  ASSERT_GT(attachDevice("prelude=" + preludeHex(u"stale", 0x5A) + " expect=" + right), 0u);
  size_t mark = DebugMessages::instance().mark();
  RAPIINIT init{};
  init.cbSize = sizeof(init);
  ASSERT_EQ(CeRapiInitEx(&init), S_OK);
  ASSERT_EQ(WaitForSingleObject(init.heRapiInit, kGuardMs), WAIT_OBJECT_0);
  EXPECT_EQ(init.hrRapiInit, HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD));
  EXPECT_TRUE(DebugMessages::instance().waitFor("refused the password", mark));
  EXPECT_EQ(stat("locked-out"), lockedOut + 1);
  EXPECT_FALSE(storeInformationWorks());
  ASSERT_EQ(CeRapiUninit(), S_OK);

  // Not tried again on the same attach...
  requestAndExpectWaiting(init, "waiting for the next attach");
  EXPECT_EQ(stat("locked-out"), lockedOut + 1);
  // ...but on the next one.
  ASSERT_GT(attachDevice("prelude=" + right + " expect=" + right), 0u);
  expectConnected(init);
  EXPECT_EQ(stat("unlocked"), unlocked + 2);
}

TEST_F(ManagerRoute, UninitEndsTheWaitForAManagerOrADevice) {
  RAPIINIT init;
  ASSERT_EQ(controlManager("channel remove"), "ok");
  requestAndExpectWaiting(init, "no channel file");
  ASSERT_EQ(CeRapiUninit(), S_OK);
  ASSERT_EQ(WaitForSingleObject(init.heRapiInit, kGuardMs), WAIT_OBJECT_0);
  EXPECT_EQ(init.hrRapiInit, E_ABORT);

  ASSERT_EQ(controlManager("channel write"), "ok");
  requestAndExpectWaiting(init, "waiting for a device to attach");
  ASSERT_EQ(CeRapiUninit(), S_OK);
  ASSERT_EQ(WaitForSingleObject(init.heRapiInit, kGuardMs), WAIT_OBJECT_0);
  EXPECT_EQ(init.hrRapiInit, E_ABORT);
  EXPECT_FALSE(storeInformationWorks());
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_NOT_CONNECTED));
}

} // namespace
