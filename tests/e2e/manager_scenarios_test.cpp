// The install through the desktop's connection manager, end to end: setup.exe
// under Wine with the real rapi.dll and no endpoint given, a real `pspclink
// serve`, and the device calling it from an address of its own and serving
// RAPI on port 990, as a real one does once its cable link is up. Whatever
// happens on that route (the device gone mid-transfer, a password right or
// wrong, a second device, the manager restarted), the device's files stay
// whole, the user is told what is missing, and nothing waits longer than the
// route's own waits.
#include "fault_scenario.h"
#include "link_channel.h"
#include "pspclink_expect.h"
#include "setup_scenario.h"

#include <arpa/inet.h>

#include <fstream>
#include <iostream>
#include <sstream>

namespace e2e::install {
namespace {

bool ok(const std::string& answer) { return answer.rfind("ok", 0) == 0; }

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t linesHolding(const std::string& text, const std::string& part) {
  size_t count = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) count += has(line, part);
  return count;
}

// Whether a connection to port 990 of `address` has been closed by the
// desktop while the device has not closed its end yet (the kernel's
// CLOSE_WAIT): rapi.dll let go of a link on which the device answers nothing.
bool desktopLetGoOfTheLink(const std::string& address) {
  in_addr device{};
  if (::inet_pton(AF_INET, address.c_str(), &device) != 1) return false;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line); // the heading
  while (std::getline(table, line)) {
    unsigned slot = 0, localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0, state = 0;
    // The addresses stand as the kernel holds them, in network byte order.
    if (std::sscanf(line.c_str(), " %u: %8X:%4X %8X:%4X %2X", &slot, &localAddress, &localPort, &remoteAddress,
                    &remotePort, &state) == 6 &&
        localAddress == device.s_addr && localPort == controlwire::kRapiPort && state == 8)
      return true;
  }
  return false;
}

// The op log's last record is a call held by the device.
bool holding(const std::vector<pspc::FlatJson>& log) { return !log.empty() && isOp(log.back(), "hold"); }

// A second device calling the same manager, with an image of its own.
class SecondDevice {
public:
  SecondDevice(const fs::path& image, uint16_t managerPort) {
    pspc::Identity identity;
    identity.deviceName = "PsPC B";
    std::string error;
    if (!pspc::image::create(image, identity, error))
      throw std::runtime_error("cannot make the second image: " + error);
    device_ = std::make_unique<pspc::Device>(image);
    log_ = std::make_unique<pspc::OpLog>(pspc::image::opLogFile(image));
    options_.port = controlwire::kRapiPort;
    options_.call.emplace();
    options_.call->managerPort = managerPort;
    server_ = serveOnOwnAddress(*device_, *log_, faults_, lineSpeed_, options_);
  }

  const std::string& address() const { return options_.bindAddress; }
  size_t records(const std::string& op) const {
    std::ifstream in(pspc::image::opLogFile(device_->imageDir()));
    size_t count = 0;
    for (std::string line; std::getline(in, line);)
      if (const auto record = pspc::parseFlatJson(line)) count += isOp(*record, op);
    return count;
  }

private:
  std::unique_ptr<pspc::Device> device_;
  std::unique_ptr<pspc::OpLog> log_;
  pspc::Faults faults_;
  pspc::LineSpeed lineSpeed_;
  pspc::ServerOptions options_;
  std::unique_ptr<pspc::Server> server_;
};

class ThroughTheManager : public FaultMatrix {
protected:
  void TearDown() override {
    if (HasFailure() && manager_) std::cerr << "--- the connection manager's log ---\n" << manager_->log();
    manager_.reset();
    FaultMatrix::TearDown();
  }

  // The manager (with the password to give, and its ping interval), and the
  // programs started from now on pointed at its channel folder.
  void startManager(std::optional<std::string> password = {}, std::optional<Milliseconds> pingInterval = {}) {
    std::vector<std::string> args, environment;
    if (password) {
      const fs::path file = scratch() / "manager-password";
      std::ofstream(file) << *password << "\n";
      fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write); // as the manager insists
      args = {"--password-file", file.string()};
    }
    if (pingInterval) environment.push_back("PSPCLINK_PING_INTERVAL_MS=" + std::to_string(pingInterval->count()));
    manager_ = std::make_unique<testsupport::PspclinkProcess>(Binaries::pspclink(), scratch() / "link", scratch());
    manager_->start(args, environment);
    setProgramVariable(linkchannel::kDirVariable, manager_->folder().string());
  }
  ::testing::AssertionResult logs(const std::string& text, size_t count = 1) const {
    return testsupport::logHolds(*manager_, text, count);
  }
  std::string managerStatus() const { return manager_->run({"status"}).out; }

  // The device of an earlier install, calling the manager; once the manager
  // has taken it, and every package in place. The device calls once, as a
  // strict real device may: the manager must take its first call.
  void arrangeCalling(DeviceSettings settings = deviceWithPreviousVersions()) {
    settings.managerPort = manager_->devicePort();
    settings.callOnce = true;
    arrange(settings);
    ASSERT_TRUE(logs("attached: PsPC at " + deviceAddress() + ": "));
  }

  std::string attachedLine() const { return "attached: PsPC at " + deviceAddress() + ": "; }

  std::unique_ptr<testsupport::PspclinkProcess> manager_;
};

// ---------------------------------------------------------------- the whole install

TEST_F(ThroughTheManager, AWholeInstallFindsTheDeviceThatCalledIn) {
  startManager();
  arrangeCalling();
  const std::string status = managerStatus();
  EXPECT_TRUE(has(status, "address:     " + deviceAddress() + "\n")) << status;
  EXPECT_TRUE(has(status, "state:       unlocked (no password asked)\n")) << status;

  const Ending ending = installBoth();
  EXPECT_FALSE(ending.failure.has_value());
  expectWholeAndTold(ending);
  EXPECT_EQ(filesNotInstalled(contentsOf(allFiles())), 0);
  EXPECT_EQ(valuesNotRegistered(true, true), 0);
  EXPECT_EQ(opRecords("connect").size(), 2u) << "the probe's connection and the renewal's, both to port 990";
  EXPECT_EQ(linesHolding(manager_->log(), "attached: "), 1u) << "one attach, never detached";
}

// ---------------------------------------------------------------- the password

TEST_F(ThroughTheManager, WithTheRightPasswordEveryRapiConnectionBeginsWithIt) {
  startManager("kagi 2.11");
  DeviceSettings settings = deviceWithPreviousVersions();
  settings.password = "kagi 2.11";
  arrangeCalling(settings);
  ASSERT_TRUE(logs("unlocked: PsPC at " + deviceAddress() + " accepted the password"));

  const Ending ending = installBoth();
  EXPECT_FALSE(ending.failure.has_value());
  expectWholeAndTold(ending);
  EXPECT_EQ(filesNotInstalled(contentsOf(allFiles())), 0);
  const auto connections = opRecords("connect");
  const auto passwords = opRecords("rapi-password");
  EXPECT_EQ(connections.size(), 2u);
  ASSERT_EQ(passwords.size(), connections.size()) << "a RAPI connection without the password";
  for (size_t i = 0; i < passwords.size(); ++i) {
    EXPECT_EQ(text(passwords[i], "conn"), text(connections[i], "conn"));
    EXPECT_EQ(text(passwords[i], "accepted"), "true") << text(passwords[i], "reason");
  }
}

TEST_F(ThroughTheManager, AWrongPasswordLeavesTheDeviceLockedAndUntouched) {
  startManager("not the one");
  DeviceSettings settings = deviceWithPreviousVersions();
  settings.password = "kagi 2.11";
  arrangeCalling(settings);
  ASSERT_TRUE(logs("locked: PsPC at " + deviceAddress() + " refused the password"));
  EXPECT_TRUE(has(managerStatus(), "state:       locked (the device refused the password")) << managerStatus();
  ASSERT_EQ(opRecords("password").size(), 1u);
  EXPECT_EQ(text(opRecords("password")[0], "reason"), "wrong password");

  // setup.exe waits for an unlocked device as long as its probe waits, then
  // says it cannot reach the device.
  startSetup();
  const WindowInfo selection = waitSelection(driver());
  const MessageBoxInfo box = driver().waitMessageBox(30s);
  EXPECT_EQ(box.caption, errorCaption());
  EXPECT_EQ(box.text, connectFailedText()) << box.textUtf8;
  driver().dismiss(box.hwnd);
  expectEndsWithoutTransfer(driver());

  EXPECT_TRUE(opRecords("connect").empty()) << "a RAPI connection reached a locked device";
  const DeviceFiles after = deviceFiles();
  EXPECT_EQ(after.windows, before_.windows);
  EXPECT_EQ(after.temp, before_.temp);
  EXPECT_TRUE(has(controlDevice("status"), "call=locked")) << controlDevice("status");
  EXPECT_EQ(linesHolding(manager_->log(), "detached: "), 0u) << "the locked device stays attached";
}

// ---------------------------------------------------------------- the device gone mid-transfer

enum class Gone {
  Silent,    // it stops answering, pings and calls alike, its sockets left open (a cable pulled)
  Unplugged, // it hangs up and its RAPI connections close
  Stopped,   // it dies as a killed emulator does
};

void PrintTo(Gone gone, std::ostream* out) {
  *out << (gone == Gone::Silent ? "Silent" : gone == Gone::Unplugged ? "Unplugged" : "Stopped");
}

class DeviceGone : public ThroughTheManager, public ::testing::WithParamInterface<Gone> {};

TEST_P(DeviceGone, MidFileLeavesWholeFilesAndTheRunEndsOnceItIsBack) {
  // Pings every 300 ms: a silent device is gone after three of them.
  startManager({}, 300ms);
  // A previous version of every MFC file: whichever the transfer takes first
  // has been displaced into \Temp\ when the device goes in the middle of it.
  DeviceSettings settings = deviceWithPreviousVersions();
  settings.files[u"\\Windows\\olece211.dll"] = earlier("olece211.dll", 2500);
  settings.files[u"\\Windows\\MFC Helper.dll"] = earlier("MFC Helper.dll", 1500);
  arrangeCalling(settings);
  // Only the manager can tell rapi.dll that a silent device has gone: the
  // call's own wait for its answer is made longer than this test lasts.
  setProgramVariable("PSPC_RAPI_REPLY_TIMEOUT_MS", "600000");
  // The first file's second chunk: it is half there when the device goes.
  beforeConfirm_ = [&] { ASSERT_TRUE(ok(controlDevice("fault hold:CeWriteFile:2"))); };
  const std::string detached = "detached: PsPC at " + deviceAddress() + " (";

  const Ending ending = installBoth([&] {
    ASSERT_TRUE(waitForOpLog(holding)) << "the transfer never reached its second write";
    switch (GetParam()) {
    case Gone::Silent:
      ASSERT_TRUE(ok(controlDevice("fault silent")));
      ASSERT_TRUE(ok(controlDevice("release")));
      ASSERT_TRUE(logs(detached + "no answer to 3 pings)"));
      ASSERT_TRUE(waitUntil([&] { return desktopLetGoOfTheLink(deviceAddress()); }))
          << "rapi.dll kept waiting for the answer of a device the manager found gone";
      // The cable back in: the calls it held never run, and it calls again.
      ASSERT_TRUE(ok(controlDevice("unplug")));
      ASSERT_TRUE(waitForOpLog([](const auto& log) {
        return std::count_if(log.begin(), log.end(), [](auto& r) { return isOp(r, "disconnect"); }) == 1;
      }));
      ASSERT_TRUE(ok(controlDevice("clear-faults")));
      ASSERT_TRUE(ok(controlDevice("plug")));
      break;
    case Gone::Unplugged:
      ASSERT_TRUE(ok(controlDevice("unplug")));
      ASSERT_TRUE(logs(detached + "the device closed the connection)"));
      // Its held call is dropped, not run, before it is plugged in again.
      ASSERT_TRUE(waitForOpLog([](const auto& log) {
        return std::count_if(log.begin(), log.end(), [](auto& r) { return isOp(r, "disconnect"); }) == 1;
      }));
      ASSERT_TRUE(ok(controlDevice("plug")));
      break;
    case Gone::Stopped:
      stopDevice();
      ASSERT_TRUE(logs(detached + "the device closed the connection)"));
      startDeviceAgain();
      break;
    }
    ASSERT_TRUE(logs(attachedLine(), 2)) << "the device never attached again";
  });
  expectWholeAndTold(ending);
  EXPECT_TRUE(ending.failure.has_value()) << "the device went mid-file, and nothing was missing";
  EXPECT_EQ(opRecords("connect").size(), 2u) << "the renewal is the only new connection";
  const auto writes = opRecords("CeWriteFile");
  EXPECT_EQ(writes.size(), 1u) << "the held write ran after all";
}

INSTANTIATE_TEST_SUITE_P(Ways, DeviceGone, ::testing::Values(Gone::Silent, Gone::Unplugged, Gone::Stopped),
                         [](const auto& info) {
                           std::ostringstream name;
                           PrintTo(info.param, &name);
                           return name.str();
                         });

// ---------------------------------------------------------------- a second device

TEST_F(ThroughTheManager, ASecondDeviceIsRefusedAndTheFirstOnesInstallGoesOn) {
  startManager();
  arrangeCalling();
  beforeConfirm_ = [&] { ASSERT_TRUE(ok(controlDevice("fault hold:CeWriteFile:2"))); };
  std::unique_ptr<SecondDevice> second;
  const Ending ending = installBoth([&] {
    ASSERT_TRUE(waitForOpLog(holding)) << "the transfer never reached its second write";
    second = std::make_unique<SecondDevice>(scratch() / "second-image", manager_->devicePort());
    ASSERT_TRUE(logs("refused: a device is already attached (PsPC at " + deviceAddress() +
                               "); closed the call from " + second->address()));
    ASSERT_TRUE(ok(controlDevice("release")));
  });
  EXPECT_FALSE(ending.failure.has_value());
  expectWholeAndTold(ending);
  EXPECT_EQ(filesNotInstalled(contentsOf(allFiles())), 0);
  EXPECT_EQ(linesHolding(manager_->log(), "attached: "), 1u) << "the second device was attached";
  EXPECT_EQ(linesHolding(manager_->log(), "detached: "), 0u) << "the first device was let go";
  ASSERT_TRUE(second);
  EXPECT_GE(second->records("call"), 1u);
  EXPECT_EQ(second->records("connect"), 0u) << "a RAPI connection to the refused device";
}

// ---------------------------------------------------------------- the manager restarted

TEST_F(ThroughTheManager, RestartedItTakesTheDeviceAgainAndTheWaitingSetupInstalls) {
  startManager();
  // A device that calls again after the hang-up, as one whose cable stays up does.
  DeviceSettings settings = deviceWithPreviousVersions();
  settings.managerPort = manager_->devicePort();
  arrange(settings);
  ASSERT_TRUE(logs(attachedLine()));
  manager_->stop();
  ASSERT_TRUE(logs("detached: PsPC at " + deviceAddress() + " (the connection manager stopped)"));

  // setup.exe starts while no manager runs: its probe waits in CeRapiInitEx
  // for one, and for the device to call it.
  startSetup();
  const WindowInfo waiting = waitSelection(ui());
  manager_->startAgain();
  ASSERT_TRUE(logs(attachedLine(), 2)) << "the device did not call the new manager";
  const WindowInfo selection = awaitAcceptance();
  EXPECT_EQ(selection.hwnd, waiting.hwnd);
  EXPECT_TRUE(has(managerStatus(), "address:     " + deviceAddress() + "\n")) << managerStatus();
  confirm(selection, true, true);
  const Ending ending = finish();

  EXPECT_FALSE(ending.failure.has_value());
  expectWholeAndTold(ending);
  EXPECT_EQ(filesNotInstalled(contentsOf(allFiles())), 0);
  EXPECT_GE(opRecords("hung-up").size(), 1u);
}

} // namespace
} // namespace e2e::install
