// The real pspclink process in a channel folder of the test's own, devices
// played by the test over TCP from loopback addresses of their own, and
// clients of its local channel. Every wait is bounded: a test that would hang
// fails instead.
#pragma once

#include "device_bytes.h"
#include "link_channel.h"
#include "spawn_pspclink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace pspclink::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kHangGuard = 30s;

inline std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Waits for `check` to come true, failing the test after the hang guard.
template <typename Check> bool eventually(Check check) {
  const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
  while (!check()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// A TCP connection with bounded reads; `from` binds the local address, so a
// test can call from 127.0.0.N as a device on its own address would.
class Connection {
public:
  Connection(uint16_t port, const char* from = "127.0.0.1") {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
                 ::connect(fd_, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0;
  }
  ~Connection() { close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool connected() const { return connected_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool send(const Bytes& bytes) const {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
  }
  bool sendText(const std::string& text) const { return send(Bytes(text.begin(), text.end())); }
  // Exactly `count` bytes; fewer when the peer closed first or the guard ran out.
  Bytes receive(size_t count, std::chrono::milliseconds guard = kHangGuard) {
    const auto deadline = std::chrono::steady_clock::now() + guard;
    while (buffer_.size() < count && fill(deadline)) {
    }
    const size_t n = std::min(count, buffer_.size());
    Bytes out(buffer_.begin(), buffer_.begin() + long(n));
    buffer_.erase(buffer_.begin(), buffer_.begin() + long(n));
    return out;
  }
  // One line without its end; "<no line>" when none came.
  std::string line(std::chrono::milliseconds guard = kHangGuard) {
    const auto deadline = std::chrono::steady_clock::now() + guard;
    for (;;) {
      auto end = std::find(buffer_.begin(), buffer_.end(), uint8_t('\n'));
      if (end != buffer_.end()) {
        std::string text(buffer_.begin(), end);
        buffer_.erase(buffer_.begin(), end + 1);
        return text;
      }
      if (!fill(deadline)) return "<no line>";
    }
  }
  std::string ask(const std::string& request) {
    sendText(request + "\n");
    return line();
  }
  // True when the peer closed the connection (the bytes before are dropped).
  bool closedByPeer(std::chrono::milliseconds guard = kHangGuard) {
    const auto deadline = std::chrono::steady_clock::now() + guard;
    while (fill(deadline)) buffer_.clear();
    return peerClosed_;
  }

private:
  bool fill(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) return false;
    uint8_t chunk[4096];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
      peerClosed_ = true;
      return false;
    }
    buffer_.insert(buffer_.end(), chunk, chunk + n);
    return true;
  }

  int fd_ = -1;
  bool connected_ = false;
  bool peerClosed_ = false;
  Bytes buffer_;
};

// Runs a program to its end; its exit status and what it printed.
struct Ran {
  int status = -1;
  std::string out, err;
};

class ManagerTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/pspclink-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    scratch_ = pattern;
    folder_ = scratch_ / "channel-folder";
  }
  void TearDown() override {
    stop();
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }

  // pspclink with `args`, PSPCLINK_DIR and `environment` set (NAME=value).
  pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& environment, const fs::path& out,
              const fs::path& err) const {
    int error = 0;
    return linktest::spawnPspclink(PSPCLINK_PATH, args, folder_, environment, out, err, error);
  }

  static int waitFor(pid_t pid) {
    int status = -1;
    const bool ended = eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ADD_FAILURE() << "pspclink did not end";
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // A command that ends by itself (status, or a serve that is refused).
  Ran run(const std::vector<std::string>& args, const std::vector<std::string>& environment = {}) const {
    const fs::path out = scratch_ / "run.out", err = scratch_ / "run.err";
    Ran ran;
    const pid_t pid = spawn(args, environment, out, err);
    if (pid < 0) return ran;
    ran.status = waitFor(pid);
    ran.out = readText(out);
    ran.err = readText(err);
    return ran;
  }

  // `pspclink serve` on a free port of 127.0.0.1, once its channel file is there.
  void start(std::vector<std::string> args = {}, const std::vector<std::string>& environment = {}) {
    args.insert(args.begin(), {"serve", "--listen", "127.0.0.1:" + std::to_string(listenPort_)});
    pid_ = spawn(args, environment, scratch_ / "serve.out", scratch_ / "serve.err");
    ASSERT_GT(pid_, 0);
    ASSERT_TRUE(eventually([&] {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
      }
      // Its last word on starting, once its files are in place.
      return has(readText(scratch_ / "serve.out"), "pspclink: channel file ");
    }));
    ASSERT_GT(pid_, 0) << "pspclink serve ended: " << readText(scratch_ / "serve.err");
    const auto channel = linkchannel::parseChannelFile(readText(folder_ / linkchannel::kChannelFileName));
    ASSERT_TRUE(channel);
    channel_ = *channel;
    devicePort_ = uint16_t(std::stoi(readText(folder_ / linkchannel::kCallPortFileName)));
  }
  // SIGTERM (or Ctrl-C's SIGINT), as a person stopping the manager does; its
  // exit status.
  int stop(int signal = SIGTERM) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    const int status = waitFor(pid_);
    pid_ = -1;
    return status;
  }

  std::string log() const { return readText(folder_ / linkchannel::kLogFileName); }
  // Waits until the manager's log holds `text`.
  ::testing::AssertionResult logs(const std::string& text) const {
    if (eventually([&] { return log().find(text) != std::string::npos; })) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the log never said \"" << text << "\"; it holds:\n" << log();
  }

  // A client of the local channel that has said hello.
  std::unique_ptr<Connection> client() const {
    auto c = std::make_unique<Connection>(channel_.port);
    EXPECT_EQ(c->ask("hello " + channel_.token), "ok");
    return c;
  }
  // A device at `address` that has introduced itself.
  std::unique_ptr<Connection> device(const char* address, const Bytes& before = {}) const {
    auto d = std::make_unique<Connection>(devicePort_, address);
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
    eventually([&] { return predicate(answer = c->ask("status")); });
    return answer;
  }

  fs::path scratch_, folder_;
  pid_t pid_ = -1;
  uint16_t listenPort_ = 0;
  uint16_t devicePort_ = 0;
  linkchannel::ChannelFile channel_;
};

} // namespace pspclink::testing
