#include "wine_program.h"

#include "spawn_args.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bench {

namespace {

constexpr size_t kMaxOutputBytes = 1u << 20; // the programs print a few lines

std::string logTail(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  constexpr size_t kTail = 2000;
  return text.size() > kTail ? "..." + text.substr(text.size() - kTail) : text;
}

} // namespace

double FigureLine::number(const std::string& key) const {
  auto it = fields.find(key);
  if (it == fields.end()) throw std::runtime_error("'" + kind + "' line has no " + key);
  char* end = nullptr;
  const double value = std::strtod(it->second.c_str(), &end);
  if (it->second.empty() || *end != '\0') throw std::runtime_error("'" + kind + "' " + key + " is not a number");
  return value;
}

std::optional<FigureLine> parseFigureLine(const std::string& line) {
  std::istringstream words(line);
  FigureLine figure;
  if (!(words >> figure.kind)) return std::nullopt;
  std::string word;
  while (words >> word) {
    const size_t equals = word.find('=');
    if (equals == std::string::npos) continue;
    figure.fields[word.substr(0, equals)] = word.substr(equals + 1);
  }
  return figure;
}

WindowsProcess::WindowsProcess(WindowsRun run) : run_(std::move(run)) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error(std::string("no pipe: ") + std::strerror(errno));
  int log = ::open(run_.logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log < 0) {
    ::close(out[0]);
    ::close(out[1]);
    throw std::runtime_error("cannot open " + run_.logFile.string());
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, log, 2);
  // The emulator's sockets stay in this process.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  std::vector<std::string> arguments = {run_.runner.string(), run_.program.string()};
  arguments.insert(arguments.end(), run_.arguments.begin(), run_.arguments.end());
  std::vector<char*> argv = uidriver::cStringArray(arguments);
  std::vector<std::string> environment = uidriver::environmentWith(run_.environment);
  std::vector<char*> envp = uidriver::cStringArray(environment);

  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(log);
  if (spawned != 0) {
    ::close(out[0]);
    throw std::runtime_error("cannot start " + run_.runner.string() + ": " + std::strerror(spawned));
  }
  pid_ = pid;
  out_ = out[0];
  ::fcntl(out_, F_SETFL, O_NONBLOCK);
  deadline_ = std::chrono::steady_clock::now() + run_.guard;
}

WindowsProcess::~WindowsProcess() {
  kill();
  if (out_ >= 0) ::close(out_);
}

void WindowsProcess::kill() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

void WindowsProcess::fail(const std::string& why) {
  kill();
  throw std::runtime_error(run_.program.filename().string() + " " + why + "\n" + logTail(run_.logFile));
}

void WindowsProcess::readMore(int waitMs) {
  if (out_ < 0) {
    ::usleep(useconds_t(waitMs) * 1000);
    return;
  }
  pollfd p{out_, POLLIN, 0};
  if (::poll(&p, 1, waitMs) <= 0) return;
  // The moment the output was seen, before anything else is done with it.
  const auto arrived = std::chrono::steady_clock::now();
  char chunk[4096];
  ssize_t n;
  while ((n = ::read(out_, chunk, sizeof chunk)) > 0) {
    outputBytes_ += size_t(n);
    if (outputBytes_ > kMaxOutputBytes) fail("printed more than its output cap");
    partial_.append(chunk, size_t(n));
    for (size_t end; (end = partial_.find('\n')) != std::string::npos; partial_.erase(0, end + 1)) {
      std::string text = partial_.substr(0, end);
      if (!text.empty() && text.back() == '\r') text.pop_back();
      lines_.push_back({std::move(text), arrived});
    }
  }
  if (n == 0) {
    ::close(out_);
    out_ = -1;
  }
}

std::optional<WindowsProcess::Line> WindowsProcess::nextLine() {
  // Read until the program itself has ended, not until the pipe closes: a
  // Wine service it started may hold the pipe open long after.
  while (lines_.empty() && !drained_) {
    if (std::chrono::steady_clock::now() >= deadline_) fail("overran its guard");
    // Looked at before the read: whatever it printed is in the pipe by then.
    const bool ended = ::waitpid(pid_, &status_, WNOHANG) == pid_;
    readMore(ended ? 0 : 50);
    if (ended) {
      pid_ = -1;
      drained_ = true;
      if (!partial_.empty()) lines_.push_back({std::move(partial_), std::chrono::steady_clock::now()});
    }
  }
  if (lines_.empty()) return std::nullopt;
  Line line = std::move(lines_.front());
  lines_.pop_front();
  return line;
}

void WindowsProcess::finish() {
  while (nextLine()) {
  }
  if (!WIFEXITED(status_) || WEXITSTATUS(status_) != 0)
    throw std::runtime_error(run_.program.filename().string() + " failed (status " + std::to_string(status_) +
                             "):\n" + logTail(run_.logFile));
}

std::vector<FigureLine> runWindowsProgram(const WindowsRun& run) {
  WindowsProcess process(run);
  std::vector<FigureLine> lines;
  while (auto line = process.nextLine())
    if (auto figure = parseFigureLine(line->text)) lines.push_back(std::move(*figure));
  process.finish();
  return lines;
}

const FigureLine& findFigure(const std::vector<FigureLine>& lines, const std::string& kind) {
  for (const FigureLine& line : lines)
    if (line.kind == kind) return line;
  throw std::runtime_error("no '" + kind + "' figures were printed");
}

} // namespace bench
