// rapi.dll's route through the connection manager. First against the real
// pspclink (run by with-emulator.sh --manager), which the wrapper's emulator
// calls with its password from an address of its own: the tests plug and
// unplug the device and silence it through its console, and move the
// channel file away. Then against a manager scripted inside the test
// program, for what a real one never does on request: name a device that
// refuses the password it hands out, close its channel while the device
// stays, or leave a channel file with a token not its own.
// Winsock (fake_device.h) before rapi.h, which brings in windows.h.
#include "fake_device.h"

#include "device_fixture.h"

#include "../../protocol/control_connection.h"
#include "../../protocol/link_channel.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using rapitest::environment;
using rapitest::FakeDevice;
using rapitest::storeReply;
using rapitest::tellEmulator;
using testsupport::waitUntil;

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
    return heard_.wait_for(lock, testsupport::kHangGuard, [&] {
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

bool storeInformationWorks() {
  STORE_INFORMATION info{};
  return CeGetStoreInformation(&info) != FALSE;
}

// A file of the Linux side, through Wine's drive Z:.
std::string onLinux(const std::string& path) {
  std::string dos = "Z:" + path;
  for (char& c : dos)
    if (c == '/') c = '\\';
  return dos;
}

std::string readLinuxFile(const std::string& path) {
  HANDLE file = CreateFileA(onLinux(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  std::string text;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) text.append(chunk, got);
  CloseHandle(file);
  return text;
}

size_t occurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// Records of the emulator's op log that hold `needle`.
size_t emulatorRecords(const std::string& needle) {
  return occurrences(readLinuxFile(environment("PSPC_EMULATOR_IMAGE") + "/oplog.jsonl"), needle);
}

// The manager's log lines of one kind: "attached", "unlocked", "detached".
size_t managerSaid(const std::string& kind) {
  return occurrences(readLinuxFile(environment("PSPCLINK_DIR") + "/pspclink.log"), " " + kind + ": ");
}

class RouteTest : public ::testing::Test {
protected:
  void SetUp() override { DebugMessages::instance(); }
  void TearDown() override {
    CeRapiUninit();
    SetEnvironmentVariableA("PSPC_RAPI_REPLY_TIMEOUT_MS", nullptr);
  }

  // Requests the connection; it must still be waiting once `text` is reported.
  static void requestAndExpectWaiting(RAPIINIT& init, const std::string& text) {
    size_t mark = DebugMessages::instance().mark();
    init = RAPIINIT{};
    init.cbSize = sizeof(init);
    ASSERT_EQ(CeRapiInitEx(&init), S_OK);
    ASSERT_TRUE(DebugMessages::instance().waitFor(text, mark)) << DebugMessages::instance().since(mark);
    EXPECT_EQ(WaitForSingleObject(init.heRapiInit, 0), DWORD(WAIT_TIMEOUT));
  }

  static void expectConnected(const RAPIINIT& init) {
    ASSERT_EQ(WaitForSingleObject(init.heRapiInit, rapitest::kHangGuardMs), WAIT_OBJECT_0);
    EXPECT_EQ(init.hrRapiInit, S_OK);
    EXPECT_TRUE(storeInformationWorks());
  }

  // Calls fail as on a dropped link, and go on failing.
  static void expectDroppedLink() {
    ASSERT_TRUE(waitUntil([] { return !storeInformationWorks(); }));
    EXPECT_EQ(CeRapiGetError(), HRESULT_FROM_WIN32(ERROR_CONNECTION_ABORTED));
    EXPECT_EQ(CeGetLastError(), DWORD(ERROR_CONNECTION_ABORTED));
    EXPECT_FALSE(storeInformationWorks());
    EXPECT_EQ(CeGetLastError(), DWORD(ERROR_CONNECTION_ABORTED));
  }
};

// ---------------------------------------------------------------- the real manager

class ManagerRoute : public RouteTest {
protected:
  void SetUp() override {
    ASSERT_TRUE(environment("PSPC_RAPI_ENDPOINT").empty()) << "run through with-emulator.sh --manager";
    RouteTest::SetUp();
    unplug();
  }
  void TearDown() override {
    RouteTest::TearDown();
    tellEmulator("release");
    tellEmulator("clear-faults");
  }

  // The device in its cradle calls the manager; once the manager has it unlocked.
  static void plug() {
    const size_t unlocked = managerSaid("unlocked");
    ASSERT_EQ(tellEmulator("plug").rfind("ok", 0), 0u);
    ASSERT_TRUE(waitUntil([&] { return managerSaid("unlocked") > unlocked; })) << "the device did not attach";
  }
  // Out of its cradle it hangs up; once the manager has let it go.
  static void unplug() {
    ASSERT_EQ(tellEmulator("unplug").rfind("ok", 0), 0u);
    ASSERT_TRUE(waitUntil([] { return managerSaid("detached") == managerSaid("attached"); }));
  }

  // The attach a connection was made to, as rapi.dll reported it after `mark`.
  static std::string connectedAttach(size_t mark) {
    EXPECT_TRUE(DebugMessages::instance().waitFor("connected to ", mark));
    const std::string said = DebugMessages::instance().since(mark);
    const size_t at = said.find("(attach ", said.find("connected to "));
    return at == std::string::npos ? "none" : said.substr(at, said.find(')', at) - at);
  }
};

TEST_F(ManagerRoute, FindsTheAttachedDeviceAndWaitsForTheNextAttachOnceItIsGone) {
  RAPIINIT init;
  size_t mark = DebugMessages::instance().mark();
  requestAndExpectWaiting(init, "waiting for a device to attach");
  plug();
  expectConnected(init);
  const std::string first = connectedAttach(mark);

  unplug();
  expectDroppedLink();
  // The device is back, but this connection stays broken...
  plug();
  EXPECT_FALSE(storeInformationWorks());
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_CONNECTION_ABORTED));
  // ...and a new one waits for the next attach, and takes it.
  ASSERT_EQ(CeRapiUninit(), S_OK);
  unplug();
  mark = DebugMessages::instance().mark();
  requestAndExpectWaiting(init, "waiting for a device to attach");
  plug();
  expectConnected(init);
  EXPECT_NE(connectedAttach(mark), first);
  // Each RAPI connection to the locked device began with its password.
  EXPECT_EQ(emulatorRecords("\"op\":\"rapi-password\",\"accepted\":true"), 2u);
  EXPECT_EQ(emulatorRecords("\"op\":\"connect\""), 2u);
}

TEST_F(ManagerRoute, AGoneDeviceFailsTheCallInFlightAtOnce) {
  // Without the manager's word the call would wait ten minutes for its reply.
  SetEnvironmentVariableA("PSPC_RAPI_REPLY_TIMEOUT_MS", "600000");
  plug();
  ASSERT_EQ(CeRapiInit(), S_OK);
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
  // Once the emulator holds the call, it is in flight. The device then falls
  // silent with its sockets open, as when its cable is pulled: only the
  // manager, its pings unanswered, can tell rapi.dll that it is gone.
  ASSERT_TRUE(waitUntil([&] { return emulatorRecords("\"op\":\"hold\"") > holds; }));
  ASSERT_EQ(tellEmulator("fault silent").rfind("ok", 0), 0u);
  EXPECT_EQ(WaitForSingleObject(thread, rapitest::kHangGuardMs), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_FALSE(call.result);
  EXPECT_EQ(call.lastError, DWORD(ERROR_CONNECTION_ABORTED));
  expectDroppedLink();
}

TEST_F(ManagerRoute, UninitEndsTheWaitForAManagerOrADevice) {
  const std::string channel = onLinux(environment("PSPCLINK_DIR") + "/channel");
  struct PutBack {
    std::string file;
    ~PutBack() { MoveFileA((file + ".away").c_str(), file.c_str()); }
  } away{channel};
  RAPIINIT init;
  ASSERT_TRUE(MoveFileA(channel.c_str(), (channel + ".away").c_str()));
  requestAndExpectWaiting(init, "no channel file");
  ASSERT_EQ(CeRapiUninit(), S_OK);
  ASSERT_EQ(WaitForSingleObject(init.heRapiInit, rapitest::kHangGuardMs), WAIT_OBJECT_0);
  EXPECT_EQ(init.hrRapiInit, E_ABORT);

  ASSERT_TRUE(MoveFileA((channel + ".away").c_str(), channel.c_str()));
  requestAndExpectWaiting(init, "waiting for a device to attach");
  ASSERT_EQ(CeRapiUninit(), S_OK);
  ASSERT_EQ(WaitForSingleObject(init.heRapiInit, rapitest::kHangGuardMs), WAIT_OBJECT_0);
  EXPECT_EQ(init.hrRapiInit, E_ABORT);
  EXPECT_FALSE(storeInformationWorks());
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_NOT_CONNECTED));
}

// ---------------------------------------------------------------- a manager that answers as told

// Its channel file in a folder of its own beside the real manager's, named
// by PSPCLINK_DIR while it lives; a token of its own; the devices the test
// attaches, scripted ones on loopback ports of their own.
class ScriptedManager {
public:
  ScriptedManager()
      : realFolder_(environment("PSPCLINK_DIR")), folder_(realFolder_ + "-scripted"), token_(newToken()) {
    listener_ = rapitest::listenOnLoopback(port_);
    CreateDirectoryA(onLinux(folder_).c_str(), nullptr);
    SetEnvironmentVariableA("PSPCLINK_DIR", folder_.c_str());
    publish(token_);
    acceptor_ = std::thread([this] {
      for (SOCKET s; (s = accept(listener_, nullptr, nullptr)) != INVALID_SOCKET;) {
        std::lock_guard lock(mutex_);
        clients_.push_back(s);
        answering_.emplace_back([this, s] { answer(s); });
      }
    });
  }
  ~ScriptedManager() {
    SetEnvironmentVariableA("PSPCLINK_DIR", realFolder_.c_str());
    dropChannels();
    closesocket(listener_);
    acceptor_.join();
    for (std::thread& thread : answering_) thread.join();
    for (SOCKET s : clients_) closesocket(s);
  }

  const std::string& token() const { return token_; }
  // The channel file, naming this manager's port and `token`.
  void publish(const std::string& token) const {
    HANDLE file = CreateFileA(onLinux(folder_ + "/channel").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    const std::string line = std::to_string(port_) + " " + token + "\n";
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, line.data(), DWORD(line.size()), &written, nullptr));
    CloseHandle(file);
  }
  // A device attaches, serving RAPI on `port` of 127.0.0.1; its record
  // hands out `prelude` (hex), the password to send first.
  void attach(uint16_t port, const std::string& prelude = "") {
    std::lock_guard lock(mutex_);
    ++attach_;
    port_of_device_ = port;
    prelude_ = prelude;
    changed_.notify_all();
  }
  // The same attach, serving anew on another port.
  void moveDevice(uint16_t port) {
    std::lock_guard lock(mutex_);
    port_of_device_ = port;
  }
  // Every channel connection is closed, as a manager that stopped closes
  // them; the device stays attached.
  void dropChannels() {
    std::lock_guard lock(mutex_);
    ++drops_;
    for (SOCKET s : clients_) shutdown(s, SD_BOTH);
    changed_.notify_all();
  }
  unsigned hellos() {
    std::lock_guard lock(mutex_);
    return hellos_;
  }
  unsigned refusedHellos() {
    std::lock_guard lock(mutex_);
    return refusedHellos_;
  }

private:
  static bool readLine(SOCKET s, std::string& pending, std::string& line) {
    for (size_t end; (end = pending.find('\n')) == std::string::npos;) {
      char buffer[512];
      const int got = recv(s, buffer, sizeof(buffer), 0);
      if (got <= 0) return false;
      pending.append(buffer, size_t(got));
    }
    line = pending.substr(0, pending.find('\n'));
    pending.erase(0, line.size() + 1);
    return true;
  }
  static void sendLine(SOCKET s, const std::string& line) { send(s, (line + "\n").c_str(), int(line.size() + 1), 0); }

  std::string record() const {
    linkchannel::DeviceRecord device;
    device.name = "Scripted";
    device.address = "127.0.0.1";
    device.rapiPort = port_of_device_;
    device.attach = attach_;
    device.usable = true;
    device.locked = !prelude_.empty();
    device.password = device.locked ? "accepted" : "none";
    device.prelude = linkchannel::bytesOfHex(prelude_).value_or(std::vector<uint8_t>{});
    std::string line = linkchannel::formatDeviceRecord(device, true);
    line.pop_back();
    return line;
  }

  // One channel client, as the real manager answers it, until the test
  // drops the channel: hello, wait-device (until a device is attached),
  // watch (until the attach changes).
  void answer(SOCKET s) {
    std::unique_lock lock(mutex_);
    const unsigned drops = drops_;
    auto dropped = [&] { return drops_ != drops; };
    bool greeted = false;
    std::string pending, line;
    for (;;) {
      lock.unlock();
      const bool got = readLine(s, pending, line);
      lock.lock();
      if (!got || dropped()) return;
      if (!greeted) {
        greeted = line == linkchannel::helloRequest(token_);
        ++(greeted ? hellos_ : refusedHellos_);
        sendLine(s, greeted ? linkchannel::kOk : "error the first line must be hello with the token of the channel file");
        if (!greeted) return (void)shutdown(s, SD_BOTH);
      } else if (line.rfind(linkchannel::kWaitDevice, 0) == 0) {
        changed_.wait(lock, [&] { return attach_ != 0 || dropped(); });
        if (!dropped()) sendLine(s, record());
      } else if (line.rfind(linkchannel::kWatch, 0) == 0) {
        changed_.wait(lock, [&] { return linkchannel::watchRequest(attach_) != line || dropped(); });
        if (!dropped()) sendLine(s, linkchannel::kGone);
      } else {
        sendLine(s, "error unknown request");
      }
    }
  }

  // A token of the channel's length, another for each manager.
  static std::string newToken() {
    static unsigned made = 0;
    return std::string(56, 'a') + linkchannel::hexOf({uint8_t(++made), 0, 0, 0});
  }

  std::string realFolder_, folder_, token_;
  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SOCKET> clients_;
  std::vector<std::thread> answering_;
  unsigned drops_ = 0, hellos_ = 0, refusedHellos_ = 0;
  uint64_t attach_ = 0;
  uint16_t port_of_device_ = 0;
  std::string prelude_;
};

using ScriptedRoute = RouteTest;

TEST_F(ScriptedRoute, ADeviceThatRefusesThePasswordIsTriedAgainOnlyOnItsNextAttach) {
  ScriptedManager manager;
  const std::string prelude = linkchannel::hexOf(controlwire::encodePassword(u"secret", 0x5A));
  FakeDevice refusing({}, FakeDevice::AfterScript::Close, false);
  manager.attach(refusing.port(), prelude);
  size_t mark = DebugMessages::instance().mark();
  RAPIINIT init{};
  init.cbSize = sizeof(init);
  ASSERT_EQ(CeRapiInitEx(&init), S_OK);
  ASSERT_EQ(WaitForSingleObject(init.heRapiInit, rapitest::kHangGuardMs), WAIT_OBJECT_0);
  EXPECT_EQ(init.hrRapiInit, HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD));
  EXPECT_TRUE(DebugMessages::instance().waitFor("refused the password", mark));
  EXPECT_EQ(linkchannel::hexOf(refusing.password()), prelude) << "the password first, as the manager handed it out";
  EXPECT_FALSE(storeInformationWorks());
  ASSERT_EQ(CeRapiUninit(), S_OK);

  // Not tried again on the same attach (the device would take no second
  // call)...
  requestAndExpectWaiting(init, "waiting for the next attach");
  // ...but on the next one.
  FakeDevice accepting({storeReply(1000, 600)}, FakeDevice::AfterScript::HoldOpen, true);
  manager.attach(accepting.port(), prelude);
  expectConnected(init);
  EXPECT_EQ(linkchannel::hexOf(accepting.password()), prelude);
}

TEST_F(ScriptedRoute, ABrokenChannelDropsTheLinkAsAGoneDeviceDoes) {
  ScriptedManager manager;
  // The device answers once, then holds the link open and says nothing.
  FakeDevice device({storeReply(1000, 600)}, FakeDevice::AfterScript::HoldOpen);
  manager.attach(device.port());
  ASSERT_EQ(CeRapiInit(), S_OK);
  ASSERT_TRUE(storeInformationWorks());
  manager.dropChannels();
  expectDroppedLink();
  // A new connection asks the manager again; the device is still attached.
  ASSERT_EQ(CeRapiUninit(), S_OK);
  FakeDevice again({storeReply(1000, 600)}, FakeDevice::AfterScript::HoldOpen);
  manager.moveDevice(again.port());
  ASSERT_EQ(CeRapiInit(), S_OK);
  EXPECT_TRUE(storeInformationWorks());
}

TEST_F(ScriptedRoute, AWrongTokenIsRefusedAndTheRequestWaitsWithoutGoingElsewhere) {
  ScriptedManager manager;
  FakeDevice device({storeReply(1000, 600)}, FakeDevice::AfterScript::HoldOpen);
  manager.attach(device.port());
  manager.publish(std::string(64, 'b'));
  RAPIINIT init;
  requestAndExpectWaiting(init, "refused the token");
  EXPECT_EQ(manager.refusedHellos(), 1u);
  EXPECT_EQ(manager.hellos(), 0u);
  EXPECT_FALSE(device.connected()) << "dialled a device no manager named";
  // The file of the running manager ends the wait; the refused one was not
  // offered again.
  manager.publish(manager.token());
  expectConnected(init);
  EXPECT_EQ(manager.refusedHellos(), 1u);
  EXPECT_EQ(manager.hellos(), 1u);
}

} // namespace
