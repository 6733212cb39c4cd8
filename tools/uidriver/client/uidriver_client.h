// The driving side of uidriver, for native programs (the end-to-end tests,
// the headless main job): starts it (through the Wine runner) on a program,
// sends it requests and reads its answers, with typed helpers for what is
// asked most. Every wait has a hang guard, so a caller whose program stops
// answering gets a reason instead of hanging.
//
// Texts come in two forms, as uidriver gives them: the bytes in the desktop's
// ANSI code page (compare them with code page 932 bytes) and a UTF-8 rendering
// for messages.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace uidriver {

using namespace std::chrono_literals;
using Milliseconds = std::chrono::milliseconds;

// A request that failed, or a driver that stopped answering.
class UiDriverError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// One answer line: its kind ("window", "control", ...) and its fields, texts
// decoded (quoted ones to UTF-8, x: ones to their bytes), the rest as written.
struct Record {
  std::string kind;
  std::map<std::string, std::string> fields;

  const std::string& at(const std::string& key) const; // throws UiDriverError when missing
  bool has(const std::string& key) const { return fields.count(key) != 0; }
};
// Parses one answer line; throws UiDriverError on a malformed one.
Record parseRecord(const std::string& line);

struct Answer {
  std::vector<Record> records;
  bool ok = false;
  std::string error; // the reason, when not ok
};

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int width() const { return right - left; }
  int height() const { return bottom - top; }
};

using WindowHandle = uint64_t;

struct WindowInfo {
  WindowHandle hwnd = 0;
  std::string className;
  std::string title;     // ANSI code page bytes
  std::string titleUtf8; // readable
  bool visible = false;
  bool enabled = false;
  WindowHandle owner = 0;
  Rect rect;
};

struct ControlInfo {
  WindowHandle hwnd = 0;
  int id = 0;
  std::string className;
  std::string text; // ANSI code page bytes
  std::string textUtf8;
  uint32_t style = 0;
  uint32_t exStyle = 0;
  bool enabled = false;
  bool visible = false;
  std::optional<int> checked; // only for check boxes and radio buttons
  Rect rect;                  // screen
  Rect client;                // in the window the control sits in
};

struct MessageBoxInfo {
  WindowHandle hwnd = 0;
  WindowHandle owner = 0;
  bool enabled = false;
  std::string caption, captionUtf8; // ANSI bytes, readable
  std::string text, textUtf8;
  std::vector<int> buttons;
};

WindowInfo toWindowInfo(const Record& record);
ControlInfo toControlInfo(const Record& record);
MessageBoxInfo toMessageBoxInfo(const Record& record);

// What to search for among the program's windows.
struct WindowQuery {
  std::optional<std::string> title;     // ANSI code page bytes
  std::optional<std::string> className; // as registered, e.g. "#32770"
  bool hiddenToo = false;
};

class UiDriver {
public:
  struct Launch {
    std::filesystem::path runner;                                 // scripts/wine-run.sh
    std::filesystem::path driver;                                 // uidriver.exe
    std::filesystem::path program;                                // the program it starts
    std::filesystem::path workingFolder;                          // the program's current folder
    std::vector<std::pair<std::string, std::string>> environment; // added to this process's
    std::filesystem::path logFile;                                // the driver's and Wine's stderr
    Milliseconds startGuard = 120s;                               // Wine's first start in a fresh prefix is slow
  };

  // Starts the driver and waits for it to report the program started.
  // Throws UiDriverError with the driver's reason (and log) when it cannot.
  explicit UiDriver(const Launch& launch);
  // Ends the driver, and with it the program, however the test went.
  ~UiDriver();
  UiDriver(const UiDriver&) = delete;
  UiDriver& operator=(const UiDriver&) = delete;

  // Sends one request line and reads its answer, giving up after `guard`.
  Answer request(const std::string& line, Milliseconds guard = 30s);
  // The same, throwing UiDriverError when the answer is an error.
  Answer require(const std::string& line, Milliseconds guard = 30s);

  std::vector<WindowInfo> windows();
  WindowInfo waitWindow(const WindowQuery& query, Milliseconds timeout = 10s);
  // The shown dialog (class #32770) with that title (ANSI bytes).
  WindowInfo waitDialog(const std::string& title, Milliseconds timeout = 10s);
  void waitGone(WindowHandle hwnd, Milliseconds timeout = 10s);
  std::vector<ControlInfo> controls(WindowHandle hwnd);
  ControlInfo control(WindowHandle hwnd, int id);
  // Clicks as a person would; throws when the driver refuses (hidden, disabled).
  void click(WindowHandle hwnd, int id);
  // The driver's answer to a click, for tests of its refusals.
  Answer tryClick(WindowHandle hwnd, int id);
  void close(WindowHandle hwnd);
  // Invalidates the window and waits until it has painted; the driver's
  // answer, an error while the window's thread takes no paint messages.
  Answer repaint(WindowHandle hwnd, Milliseconds timeout = 10s);
  // A tester's acts: a command from a control with any notification code, and
  // a check box set without the notification of a click.
  void command(WindowHandle hwnd, int id, uint16_t code);
  void setCheck(WindowHandle hwnd, int id, int state);
  MessageBoxInfo waitMessageBox(Milliseconds timeout = 10s);
  MessageBoxInfo messageBox();
  // Presses OK on the message box shown now (or on `hwnd`).
  void dismiss(WindowHandle hwnd = 0);
  uint32_t waitExit(Milliseconds timeout = 10s);
  bool programRunning();
  // Ends the program and the driver, and waits for the driver to be gone.
  void quit();
  // Ends the driver at once, as a crash would (the job object must then end the program).
  void kill();

  pid_t pid() const { return pid_; }
  bool driverRunning();
  // What the driver and Wine wrote on stderr so far.
  std::string log() const;

private:
  std::string readLine(std::chrono::steady_clock::time_point deadline, const std::string& what);
  bool reap(Milliseconds within);
  void shutdown();

  pid_t pid_ = -1;
  int toDriver_ = -1;
  int fromDriver_ = -1;
  std::string pending_; // bytes read past the last whole line
  std::filesystem::path logFile_;
};

// The Windows form of a host path, as the prefix's Z: drive shows it.
std::string windowsPath(const std::filesystem::path& hostPath);

// The code page 932 bytes of a UTF-8 text: what an 8-bit program on a
// Japanese desktop holds, to compare with the ANSI bytes of an answer. Throws
// UiDriverError on a text that code page 932 cannot hold.
std::string cp932(std::string_view utf8);

// The words of a request: a text as hex of its ANSI bytes, a handle in hex.
std::string hexArgument(const std::string& ansiBytes);
std::string handleArgument(WindowHandle hwnd);

} // namespace uidriver
