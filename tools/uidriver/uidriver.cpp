// uidriver: drives one Windows program through its windows as a person would,
// for the end-to-end tests and the headless demo.
//
//   uidriver <program.exe> [working folder]
//
// Starts the program (in the working folder, with the driver's environment)
// inside a job object that ends it when the driver ends, answers
//   process pid=<n> running=1
//   ok
// (or "error <reason>" and exits 1), then reads requests from stdin, one a
// line, and answers each on stdout (the requests and answers are in
// commands.h, the line format in line_format.h). Blank lines are passed
// over; end of input acts as quit.
// The driver keeps nothing about the windows: every answer is a fresh look.
#include "commands.h"
#include "line_format.h"
#include "target_process.h"

#include <windows.h>

#include <string>

namespace {

void writeOut(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    DWORD written = 0;
    if (!WriteFile(out, data, DWORD(left), &written, nullptr) || written == 0) return;
    data += written;
    left -= written;
  }
}

void complain(const std::string& text) {
  DWORD written = 0;
  std::string line = "uidriver: " + text + "\n";
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), DWORD(line.size()), &written, nullptr);
}

// Reads request lines from stdin; a line that grows past the limit is
// answered with an error and skipped to its end.
class LineReader {
public:
  enum class Result { Line, TooLong, End };

  Result next(std::string& line) {
    for (;;) {
      size_t newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (skipping_) {
          skipping_ = false;
          continue;
        }
        return Result::Line;
      }
      if (buffer_.size() > uidriver::kMaxLineBytes) {
        buffer_.clear();
        if (!skipping_) {
          skipping_ = true;
          return Result::TooLong;
        }
      }
      char chunk[4096];
      DWORD got = 0;
      if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), chunk, sizeof(chunk), &got, nullptr) || got == 0) {
        if (buffer_.empty() || skipping_) return Result::End;
        line.swap(buffer_); // a last line without its line break
        buffer_.clear();
        return Result::Line;
      }
      buffer_.append(chunk, got);
    }
  }

private:
  std::string buffer_;
  bool skipping_ = false;
};

} // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argc > 3) {
    writeOut("error usage: uidriver <program.exe> [working folder]\n");
    complain("usage: uidriver <program.exe> [working folder]");
    return 2;
  }
  uidriver::TargetProcess target;
  std::string error;
  if (!target.start(argv[1], argc == 3 ? argv[2] : L"", error)) {
    writeOut("error " + error + "\n");
    complain(error);
    return 1;
  }
  writeOut("process pid=" + std::to_string(target.id()) + " running=1\nok\n");

  uidriver::CommandSession session(target);
  LineReader reader;
  std::string line;
  for (;;) {
    auto result = reader.next(line);
    if (result == LineReader::Result::End) break;
    if (result == LineReader::Result::TooLong) {
      writeOut("error the request is longer than " + std::to_string(uidriver::kMaxLineBytes) + " bytes\n");
      continue;
    }
    if (line.find_first_not_of(" \t") == std::string::npos) continue; // blank lines are not requests
    writeOut(session.run(line));
    if (session.quitRequested()) return 0;
  }
  target.end();
  return 0;
}
