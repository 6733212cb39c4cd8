// Runs one of the Windows benchmark programs under Wine (through the
// project's runner) and reads the figures it prints: lines of a word and
// key=value fields, e.g. "write calls=16384 bytes=67108864 seconds=1.25".
#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct FigureLine {
  std::string kind;
  std::map<std::string, std::string> fields;

  double number(const std::string& key) const; // throws std::runtime_error when missing or not a number
};

// "kind a=1 b=2" into its parts; nothing for an empty line.
std::optional<FigureLine> parseFigureLine(const std::string& line);

struct WindowsRun {
  std::filesystem::path runner;  // scripts/wine-run.sh
  std::filesystem::path program; // a .exe of the win64 build
  std::vector<std::string> arguments;
  std::vector<std::pair<std::string, std::string>> environment; // added to this process's
  std::filesystem::path logFile;                                // the program's and Wine's stderr
  std::chrono::seconds guard{600};                              // ended after this long
};

// Runs it to the end and answers its figure lines. Throws std::runtime_error,
// with the end of the log, when it fails or overruns its guard.
std::vector<FigureLine> runWindowsProgram(const WindowsRun& run);

// A Windows program followed while it runs: each line it prints comes with
// the moment this process saw it arrive, for figures timed from here to a
// point in the program (the line it prints right after that point).
class WindowsProcess {
public:
  struct Line {
    std::string text;
    std::chrono::steady_clock::time_point arrived;
  };

  // Starts it; throws std::runtime_error when it cannot.
  explicit WindowsProcess(WindowsRun run);
  ~WindowsProcess(); // kills it when it still runs
  WindowsProcess(const WindowsProcess&) = delete;
  WindowsProcess& operator=(const WindowsProcess&) = delete;

  // The next line; nothing once the program has ended and every line was
  // read. Throws when the guard is overrun.
  std::optional<Line> nextLine();
  // Reads the rest, waits for the end; throws, with the end of the log,
  // when the program failed or overran its guard.
  void finish();

private:
  // Waits up to `waitMs` for output and takes what has come.
  void readMore(int waitMs);
  void kill();
  [[noreturn]] void fail(const std::string& why);

  WindowsRun run_;
  int out_ = -1;
  int pid_ = -1;      // -1 once it has ended
  bool drained_ = false; // ended, and what it printed read
  int status_ = 0;
  size_t outputBytes_ = 0;
  std::string partial_; // a line still without its end
  std::deque<Line> lines_;
  std::chrono::steady_clock::time_point deadline_;
};

// The first line of that kind; throws when there is none.
const FigureLine& findFigure(const std::vector<FigureLine>& lines, const std::string& kind);

} // namespace bench
