#include "manager_process.h"

#include "link_channel.h"
#include "spawn_pspclink.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace e2e {

namespace {

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t linesHolding(const std::string& text, const std::string& part) {
  size_t count = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) count += line.find(part) != std::string::npos;
  return count;
}

// Waits for a child to end, killing it when it will not; whether it ended by itself.
bool reap(pid_t pid, Milliseconds guard) {
  int status = 0;
  if (waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, guard)) return true;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return false;
}

} // namespace

ManagerProcess::ManagerProcess(Options options) : options_(std::move(options)) {}

ManagerProcess::~ManagerProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    reap(pid_, 10s);
  }
}

pid_t ManagerProcess::spawn(const std::vector<std::string>& args, const fs::path& output) const {
  std::vector<std::string> variables;
  if (options_.pingInterval)
    variables.push_back("PSPCLINK_PING_INTERVAL_MS=" + std::to_string(options_.pingInterval->count()));
  int error = 0;
  const pid_t pid = linktest::spawnPspclink(PSPC_E2E_PSPCLINK, args, options_.folder, variables, output, {}, error);
  if (pid < 0) throw std::runtime_error(std::string("cannot start ") + PSPC_E2E_PSPCLINK + ": " + std::strerror(error));
  return pid;
}

void ManagerProcess::start() {
  if (pid_ > 0) throw std::runtime_error("the connection manager runs already");
  std::vector<std::string> args{"serve", "--listen", "127.0.0.1:" + std::to_string(port_)};
  if (options_.password) {
    // Owner-only, as the manager insists.
    const fs::path file = options_.folder.parent_path() / "manager-password";
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const std::string line = *options_.password + "\n";
    const bool written = fd >= 0 && ::write(fd, line.data(), line.size()) == ssize_t(line.size());
    if (fd >= 0) ::close(fd);
    if (!written) throw std::runtime_error("cannot write the manager's password file " + file.string());
    args.insert(args.end(), {"--password-file", file.string()});
  }
  const fs::path output = options_.folder.parent_path() / "pspclink-serve.out";
  pid_ = spawn(args, output);
  // Its last word on starting comes once its files are in place.
  bool ended = false;
  const bool started = waitUntil(
      [&] {
        int status = 0;
        ended = ::waitpid(pid_, &status, WNOHANG) == pid_;
        return ended || readText(output).find("pspclink: channel file ") != std::string::npos;
      },
      30s);
  if (ended || !started) {
    if (!ended) reap(pid_, 0ms);
    pid_ = -1;
    throw std::runtime_error("pspclink serve did not start: " + readText(output));
  }
  port_ = uint16_t(std::stoul(readText(options_.folder / "call.port")));
}

void ManagerProcess::stop() {
  if (pid_ <= 0) throw std::runtime_error("the connection manager does not run");
  ::kill(pid_, SIGTERM);
  const bool ended = reap(pid_, 30s);
  pid_ = -1;
  if (!ended) throw std::runtime_error("pspclink serve did not end on SIGTERM");
}

std::string ManagerProcess::log() const { return readText(options_.folder / "pspclink.log"); }

::testing::AssertionResult ManagerProcess::logs(const std::string& text, size_t count, Milliseconds timeout) const {
  if (waitUntil([&] { return linesHolding(log(), text) >= count; }, timeout)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the manager's log never held " << count << " lines with \"" << text
                                       << "\"; it holds:\n"
                                       << log();
}

std::string ManagerProcess::status() const {
  const fs::path output = options_.folder.parent_path() / "pspclink-status.out";
  const pid_t pid = spawn({"status"}, output);
  if (!reap(pid, 30s)) throw std::runtime_error("pspclink status did not end");
  return readText(output);
}

} // namespace e2e
