// Runs one of the Windows benchmark programs under Wine (through the
// project's runner) and reads the figures it prints: lines of a word and
// key=value fields, e.g. "write calls=16384 bytes=67108864 seconds=1.25".
#pragma once

#include <chrono>
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

// The first line of that kind; throws when there is none.
const FigureLine& findFigure(const std::vector<FigureLine>& lines, const std::string& kind);

} // namespace bench
