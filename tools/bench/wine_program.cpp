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

std::vector<FigureLine> runWindowsProgram(const WindowsRun& run) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error(std::string("no pipe: ") + std::strerror(errno));
  int log = ::open(run.logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log < 0) {
    ::close(out[0]);
    ::close(out[1]);
    throw std::runtime_error("cannot open " + run.logFile.string());
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, log, 2);
  // The emulator's sockets stay in this process.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  std::vector<std::string> arguments = {run.runner.string(), run.program.string()};
  arguments.insert(arguments.end(), run.arguments.begin(), run.arguments.end());
  std::vector<char*> argv = uidriver::cStringArray(arguments);
  std::vector<std::string> environment = uidriver::environmentWith(run.environment);
  std::vector<char*> envp = uidriver::cStringArray(environment);

  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(log);
  if (spawned != 0) {
    ::close(out[0]);
    throw std::runtime_error("cannot start " + run.runner.string() + ": " + std::strerror(spawned));
  }

  // Read until the program itself has ended, not until the pipe closes: a
  // Wine service it started may hold the pipe open long after.
  ::fcntl(out[0], F_SETFL, O_NONBLOCK);
  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + run.guard;
  bool overran = false, ended = false;
  int status = 0;
  auto drain = [&] {
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(out[0], chunk, sizeof chunk)) > 0) {
      if (output.size() + size_t(n) > kMaxOutputBytes) return false;
      output.append(chunk, size_t(n));
    }
    return true;
  };
  while (!ended) {
    if (std::chrono::steady_clock::now() >= deadline) {
      overran = true;
      break;
    }
    pollfd p{out[0], POLLIN, 0};
    ::poll(&p, 1, 50);
    if (!drain()) {
      overran = true;
      break;
    }
    ended = ::waitpid(pid, &status, WNOHANG) == pid;
  }
  if (ended && !drain()) overran = true;
  ::close(out[0]);
  if (!ended) {
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  const std::string name = run.program.filename().string();
  if (overran) throw std::runtime_error(name + " overran its guard or its output cap\n" + logTail(run.logFile));
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(name + " failed (status " + std::to_string(status) + "):\n" + logTail(run.logFile));

  std::vector<FigureLine> lines;
  std::istringstream text(output);
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (auto figure = parseFigureLine(line)) lines.push_back(std::move(*figure));
  }
  return lines;
}

const FigureLine& findFigure(const std::vector<FigureLine>& lines, const std::string& kind) {
  for (const FigureLine& line : lines)
    if (line.kind == kind) return line;
  throw std::runtime_error("no '" + kind + "' figures were printed");
}

} // namespace bench
