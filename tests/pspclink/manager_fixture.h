// The real pspclink process in a channel folder of the test's own, devices
// played by the test over TCP from loopback addresses of their own, and
// clients of its local channel. Every wait is bounded: a test that would hang
// fails instead.
#pragma once

#include "device_bytes.h"
#include "files.h"
#include "pspclink_expect.h"
#include "tcp_peer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace pspclink::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::TcpPeer;
using testsupport::waitUntil;
using Ran = testsupport::PspclinkProcess::Run;

using testsupport::readFile;

inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ManagerTest : public ::testing::Test {
protected:
  void SetUp() override {
    scratch_ = testsupport::makeScratchFolder("pspclink-test");
    folder_ = scratch_ / "channel-folder";
    manager_ = std::make_unique<testsupport::PspclinkProcess>(PSPCLINK_PATH, folder_, scratch_);
  }
  void TearDown() override {
    manager_.reset();
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }

  // A command that ends by itself (status, or a serve that is refused).
  Ran run(const std::vector<std::string>& args) const { return manager_->run(args); }

  // `pspclink serve` on a free port of 127.0.0.1, once its channel file is there.
  void start(const std::vector<std::string>& args = {}, const std::vector<std::string>& environment = {}) {
    ASSERT_NO_THROW(manager_->start(args, environment));
    channel_ = manager_->channel();
    devicePort_ = manager_->devicePort();
  }
  // SIGTERM (or Ctrl-C's SIGINT), as a person stopping the manager does; its
  // exit status.
  int stop(int signal = SIGTERM) { return manager_->stop(signal); }

  std::string log() const { return manager_->log(); }
  // Waits until the manager's log holds `text`.
  ::testing::AssertionResult logs(const std::string& text) const { return testsupport::logHolds(*manager_, text); }

  // A client of the local channel that has said hello.
  std::unique_ptr<TcpPeer> client() const {
    auto c = std::make_unique<TcpPeer>(channel_.port);
    EXPECT_EQ(c->ask("hello " + channel_.token), "ok");
    return c;
  }
  // A device at `address` that has introduced itself.
  std::unique_ptr<TcpPeer> device(const char* address, const Bytes& before = {}) const {
    auto d = std::make_unique<TcpPeer>(devicePort_, address);
    EXPECT_TRUE(d->connected());
    Bytes call = before;
    const Bytes intro = introduction();
    call.insert(call.end(), intro.begin(), intro.end());
    EXPECT_TRUE(d->send(call));
    return d;
  }
  // The status record, once `predicate` holds for it (or the guard ran out).
  template <typename Predicate> std::string statusWhen(Predicate predicate) const {
    auto c = client();
    std::string answer;
    waitUntil([&] { return predicate(answer = c->ask("status")); });
    return answer;
  }

  fs::path scratch_, folder_;
  std::unique_ptr<testsupport::PspclinkProcess> manager_;
  uint16_t devicePort_ = 0;
  linkchannel::ChannelFile channel_;
};

} // namespace pspclink::testing
