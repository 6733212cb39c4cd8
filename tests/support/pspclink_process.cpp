#include "pspclink_process.h"

#include "channel_folder.h"
#include "link_channel.h"
#include "files.h"
#include "wait_until.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {

namespace fs = std::filesystem;

namespace {

// What the serve prints once its files are in place.
constexpr char kReadyLine[] = "pspclink: channel file ";

// Waits for a child to end, killing it when it will not; its exit status,
// 128 + the signal that ended it.
int reap(pid_t pid) {
  int status = 0;
  if (!waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

PspclinkProcess::PspclinkProcess(fs::path program, fs::path folder, fs::path work)
    : program_(std::move(program)), folder_(std::move(folder)), work_(std::move(work)) {}

PspclinkProcess::~PspclinkProcess() { stop(); }

pid_t PspclinkProcess::spawn(const std::vector<std::string>& args, const std::vector<std::string>& environment,
                             const fs::path& out, const fs::path& err) const {
  std::vector<std::string> variables{std::string(linkchannel::kDirVariable) + "=" + folder_.string()};
  for (char** entry = environ; *entry; ++entry)
    if (std::string(*entry).rfind("PSPCLINK_", 0) != 0) variables.emplace_back(*entry);
  variables.insert(variables.end(), environment.begin(), environment.end());
  std::vector<std::string> argv{program_.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> argp, envp;
  for (auto& arg : argv) argp.push_back(arg.data());
  for (auto& entry : variables) envp.push_back(entry.data());
  argp.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + program_.string() + ": " + std::strerror(error));
  return pid;
}

void PspclinkProcess::start(std::vector<std::string> args, std::vector<std::string> environment) {
  if (pid_ > 0) throw std::runtime_error("the connection manager runs already");
  args_ = std::move(args);
  environment_ = std::move(environment);
  std::vector<std::string> serve{"serve", "--listen", "127.0.0.1:" + std::to_string(devicePort_)};
  serve.insert(serve.end(), args_.begin(), args_.end());
  pid_ = spawn(serve, environment_, work_ / "serve.out", work_ / "serve.err");
  bool ended = false;
  const bool started = waitUntil([&] {
    ended = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
    return ended || readFile(work_ / "serve.out").find(kReadyLine) != std::string::npos;
  });
  if (ended || !started) {
    if (!ended) stop(SIGKILL);
    pid_ = -1;
    throw std::runtime_error("pspclink serve did not start: " + output());
  }
  const auto channel = linkchannel::parseChannelFile(readFile(folder_ / linkchannel::kChannelFileName));
  devicePort_ = uint16_t(std::strtoul(readFile(folder_ / linkchannel::kCallPortFileName).c_str(), nullptr, 10));
  if (!channel || devicePort_ == 0) {
    stop(SIGKILL);
    throw std::runtime_error("pspclink serve left no channel file or device port in " + folder_.string());
  }
  channel_ = *channel;
}

int PspclinkProcess::stop(int signal) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  const int status = reap(pid_);
  pid_ = -1;
  return status;
}

PspclinkProcess::Run PspclinkProcess::run(const std::vector<std::string>& args) const {
  const fs::path out = work_ / "run.out", err = work_ / "run.err";
  Run ran;
  ran.status = reap(spawn(args, {}, out, err));
  ran.out = readFile(out);
  ran.err = readFile(err);
  return ran;
}

std::string PspclinkProcess::log() const { return readFile(folder_ / linkchannel::kLogFileName); }

std::string PspclinkProcess::output() const { return readFile(work_ / "serve.out") + readFile(work_ / "serve.err"); }

bool PspclinkProcess::logs(const std::string& text, size_t count) const {
  return waitUntil([&] {
    size_t found = 0;
    std::istringstream lines(log());
    for (std::string line; std::getline(lines, line);) found += line.find(text) != std::string::npos;
    return found >= count;
  });
}

} // namespace testsupport
