#include "manager_host.h"

#include "channel_client.h"
#include "link_channel.h"
#include "spawn_args.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// The line the manager prints once its channel file is in place.
constexpr char kReadyLine[] = "pspclink: channel file ";

std::string readWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void pauseBriefly() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }

} // namespace

ManagerHost::ManagerHost(const fs::path& program, const fs::path& workDir, std::string deviceAddress)
    : folder_(workDir / "channel"), log_(workDir / "pspclink.out"), deviceAddress_(std::move(deviceAddress)) {
  if (!fs::exists(program)) throw std::runtime_error(program.string() + " is missing: build the native-release preset");
  fs::create_directories(workDir);
  fs::remove_all(folder_); // the manager makes it, its owner's alone
  const int log = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log < 0) throw std::runtime_error("cannot open " + log_.string());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, log, 1);
  posix_spawn_file_actions_adddup2(&actions, log, 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::vector<std::string> arguments = {program.string(), "serve", "--listen", "127.0.0.1:0"};
  std::vector<char*> argv = uidriver::cStringArray(arguments);
  std::vector<std::string> environment = uidriver::environmentWith({{"PSPCLINK_DIR", folder_.string()}});
  std::vector<char*> envp = uidriver::cStringArray(environment);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(log);
  if (spawned != 0) throw std::runtime_error("cannot start " + program.string() + ": " + std::strerror(spawned));
  pid_ = pid;

  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (readWhole(log_).find(kReadyLine) == std::string::npos) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("pspclink serve did not start:\n" + readWhole(log_));
    }
    if (Clock::now() >= deadline) {
      stop();
      throw std::runtime_error("pspclink serve did not start within 30 s:\n" + readWhole(log_));
    }
    pauseBriefly();
  }
  const std::string port = readWhole(folder_ / linkchannel::kCallPortFileName);
  port_ = uint16_t(std::strtoul(port.c_str(), nullptr, 10));
  if (port_ == 0) {
    stop();
    throw std::runtime_error("pspclink serve wrote no device port in " + folder_.string());
  }
}

ManagerHost::~ManagerHost() { stop(); }

void ManagerHost::stop() {
  if (pid_ < 0) return;
  // Five seconds to close its connections and withdraw its channel file.
  ::kill(pid_, SIGTERM);
  int status = 0;
  bool ended = false;
  for (int i = 0; i < 500 && !ended; ++i) {
    ended = ::waitpid(pid_, &status, WNOHANG) == pid_;
    if (!ended) pauseBriefly();
  }
  if (!ended) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

pspc::CallOptions ManagerHost::deviceCall() const {
  pspc::CallOptions call;
  call.manager = "127.0.0.1";
  call.managerPort = port_;
  call.address = deviceAddress_;
  return call;
}

void ManagerHost::waitDevice(std::chrono::seconds guard) const {
  pspclink::ChannelClient client;
  std::string error, answer;
  const int ms = int(std::chrono::milliseconds(guard).count());
  if (!client.connect(folder_, error) ||
      !client.ask("wait-device timeout=" + std::to_string(ms), answer, error, ms + 5000))
    throw std::runtime_error("the connection manager: " + error);
  if (answer.rfind("device ", 0) != 0)
    throw std::runtime_error("no device attached to the connection manager within " + std::to_string(guard.count()) +
                             " s (" + answer + "); its log:\n" + readWhole(log_));
}

void ManagerHost::waitNoDevice(std::chrono::seconds guard) const {
  pspclink::ChannelClient client;
  std::string error, answer;
  if (!client.connect(folder_, error)) throw std::runtime_error("the connection manager: " + error);
  const auto deadline = Clock::now() + guard;
  for (;;) {
    if (!client.ask("status", answer, error)) throw std::runtime_error("the connection manager: " + error);
    if (answer == "none") return;
    if (Clock::now() >= deadline)
      throw std::runtime_error("the device stayed attached to the connection manager: " + answer);
    pauseBriefly();
  }
}

} // namespace bench
