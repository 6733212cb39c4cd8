#include "uidriver_client.h"

#include "line_format.h"
#include "spawn_args.h"

#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace uidriver {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// How much of the driver's log goes into a failure message.
constexpr size_t kLogTailBytes = 4000;

std::string tail(const std::string& text) {
  return text.size() <= kLogTailBytes ? text : "..." + text.substr(text.size() - kLogTailBytes);
}

uint64_t parseNumber(const Record& record, const std::string& key) {
  uint64_t value = 0;
  if (!uidriver::parseUnsigned(record.at(key), value))
    throw UiDriverError(record.kind + " " + key + "=" + record.at(key) + " is not a number");
  return value;
}

int parseSigned(const Record& record, const std::string& key) {
  int64_t value = 0;
  if (!uidriver::parseInteger(record.at(key), value) || value < INT32_MIN || value > INT32_MAX)
    throw UiDriverError(record.kind + " " + key + "=" + record.at(key) + " is not a number");
  return int(value);
}

bool parseFlag(const Record& record, const std::string& key) {
  const std::string& value = record.at(key);
  if (value != "0" && value != "1") throw UiDriverError(record.kind + " " + key + "=" + value + " is not 0 or 1");
  return value == "1";
}

Rect parseRect(const Record& record, const std::string& key) {
  Rect r;
  std::istringstream in(record.at(key));
  char c1 = 0, c2 = 0, c3 = 0;
  if (!(in >> r.left >> c1 >> r.top >> c2 >> r.right >> c3 >> r.bottom) || c1 != ',' || c2 != ',' || c3 != ',')
    throw UiDriverError(record.kind + " " + key + "=" + record.at(key) + " is not a rectangle");
  return r;
}

std::string milliseconds(Milliseconds ms) { return std::to_string(ms.count()); }

// Writes the whole request; false when the driver has gone.
bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

} // namespace

const std::string& Record::at(const std::string& key) const {
  auto it = fields.find(key);
  if (it == fields.end()) throw UiDriverError("a " + kind + " record has no " + key + "=");
  return it->second;
}

Record parseRecord(const std::string& line) {
  std::vector<uidriver::Word> words;
  std::string error;
  if (!uidriver::splitWords(line, words, error)) throw UiDriverError("malformed answer '" + line + "': " + error);
  if (words.empty() || !words[0].key.empty()) throw UiDriverError("malformed answer '" + line + "'");
  Record record;
  record.kind = words[0].value;
  for (size_t i = 1; i < words.size(); ++i) {
    uidriver::DecodedText text;
    if (words[i].key.empty() || !uidriver::decodeText(words[i].value, text, error))
      throw UiDriverError("malformed field '" + words[i].value + "' in answer '" + line + "'");
    record.fields[words[i].key] = text.bytes;
  }
  return record;
}

WindowInfo toWindowInfo(const Record& r) {
  WindowInfo w;
  w.hwnd = parseNumber(r, "hwnd");
  w.className = r.at("class");
  w.title = r.at("title");
  w.titleUtf8 = r.at("title.utf8");
  w.visible = parseFlag(r, "visible");
  w.enabled = parseFlag(r, "enabled");
  w.owner = parseNumber(r, "owner");
  w.rect = parseRect(r, "rect");
  return w;
}

ControlInfo toControlInfo(const Record& r) {
  ControlInfo c;
  c.hwnd = parseNumber(r, "hwnd");
  c.id = parseSigned(r, "id");
  c.className = r.at("class");
  c.text = r.at("text");
  c.textUtf8 = r.at("text.utf8");
  c.style = uint32_t(parseNumber(r, "style"));
  c.exStyle = uint32_t(parseNumber(r, "exstyle"));
  c.enabled = parseFlag(r, "enabled");
  c.visible = parseFlag(r, "visible");
  if (r.at("checked") != "-") c.checked = parseSigned(r, "checked");
  c.rect = parseRect(r, "rect");
  c.client = parseRect(r, "client");
  return c;
}

MessageBoxInfo toMessageBoxInfo(const Record& r) {
  MessageBoxInfo m;
  m.hwnd = parseNumber(r, "hwnd");
  m.owner = parseNumber(r, "owner");
  m.enabled = parseFlag(r, "enabled");
  m.caption = r.at("caption");
  m.captionUtf8 = r.at("caption.utf8");
  m.text = r.at("text");
  m.textUtf8 = r.at("text.utf8");
  std::istringstream ids(r.at("buttons"));
  for (std::string id; std::getline(ids, id, ',');) {
    int64_t value = 0;
    if (!uidriver::parseInteger(id, value)) throw UiDriverError("msgbox buttons=" + r.at("buttons") + " is malformed");
    m.buttons.push_back(int(value));
  }
  return m;
}

std::string windowsPath(const fs::path& hostPath) {
  std::string path = fs::absolute(hostPath).lexically_normal().string();
  for (char& c : path)
    if (c == '/') c = '\\';
  return "Z:" + path;
}

std::string cp932(std::string_view utf8) {
  iconv_t converter = ::iconv_open("CP932", "UTF-8");
  if (converter == iconv_t(-1)) throw UiDriverError("iconv knows no CP932 on this system");
  std::string input(utf8);
  std::string output(input.size() * 2 + 4, '\0');
  char* in = input.data();
  size_t inLeft = input.size();
  char* out = output.data();
  size_t outLeft = output.size();
  const size_t converted = ::iconv(converter, &in, &inLeft, &out, &outLeft);
  ::iconv_close(converter);
  if (converted == size_t(-1)) throw UiDriverError("code page 932 cannot hold the text '" + input + "'");
  output.resize(output.size() - outLeft);
  return output;
}

std::string hexArgument(const std::string& ansiBytes) { return uidriver::hexText(ansiBytes); }
std::string handleArgument(WindowHandle hwnd) { return uidriver::hexNumber(hwnd); }

UiDriver::UiDriver(const Launch& launch) : logFile_(launch.logFile) {
  // A driver that has gone must fail the write, not end the test program.
  ::signal(SIGPIPE, SIG_IGN);

  int in[2] = {-1, -1}, out[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
    throw UiDriverError(std::string("cannot make pipes: ") + std::strerror(errno));
  int log = ::open(launch.logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log < 0) throw UiDriverError("cannot open " + launch.logFile.string() + ": " + std::strerror(errno));

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  // stderr goes to a file, never to the test's own: Wine services started by
  // this driver would keep that open, and CTest would wait for them.
  posix_spawn_file_actions_adddup2(&actions, log, 2);
  // Nothing else of this process (the device's sockets) reaches Wine.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  std::vector<std::string> arguments = {launch.runner.string(), launch.driver.string(), windowsPath(launch.program),
                                        windowsPath(launch.workingFolder)};
  std::vector<char*> argv = cStringArray(arguments);
  std::vector<std::string> environment = environmentWith(launch.environment);
  std::vector<char*> envp = cStringArray(environment);

  int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(log);
  toDriver_ = in[1];
  fromDriver_ = out[0];
  if (spawned != 0) {
    pid_ = -1;
    throw UiDriverError("cannot start " + launch.runner.string() + ": " + std::strerror(spawned));
  }

  // The greeting: the program has started, or why not. No destructor runs
  // for a constructor that throws, so the driver is ended here then.
  try {
    std::string line = readLine(Clock::now() + launch.startGuard, "the driver's greeting");
    if (line.rfind("error", 0) == 0) throw UiDriverError("uidriver could not start the program: " + line.substr(6));
    if (parseRecord(line).kind != "process") throw UiDriverError("unexpected greeting from uidriver: " + line);
    line = readLine(Clock::now() + launch.startGuard, "the driver's greeting");
    if (line != "ok") throw UiDriverError("unexpected greeting from uidriver: " + line);
  } catch (...) {
    shutdown();
    throw;
  }
}

UiDriver::~UiDriver() { shutdown(); }

void UiDriver::shutdown() {
  if (pid_ > 0) {
    // End of input is the driver's quit; it ends the program through its job.
    ::close(toDriver_);
    toDriver_ = -1;
    if (!reap(10s)) kill();
  }
  if (toDriver_ >= 0) ::close(toDriver_);
  if (fromDriver_ >= 0) ::close(fromDriver_);
  toDriver_ = fromDriver_ = -1;
}

bool UiDriver::reap(Milliseconds within) {
  const auto deadline = Clock::now() + within;
  for (;;) {
    if (!driverRunning()) return true;
    if (Clock::now() >= deadline) return false;
    ::usleep(20000);
  }
}

bool UiDriver::driverRunning() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done == pid_ || (done < 0 && errno == ECHILD)) {
    pid_ = -1;
    return false;
  }
  return true;
}

void UiDriver::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

std::string UiDriver::log() const {
  std::ifstream in(logFile_, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string UiDriver::readLine(Clock::time_point deadline, const std::string& what) {
  for (;;) {
    size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (pending_.size() > uidriver::kMaxLineBytes)
      throw UiDriverError("uidriver sent a line longer than " + std::to_string(uidriver::kMaxLineBytes) + " bytes");
    const auto now = Clock::now();
    if (now >= deadline)
      throw UiDriverError("uidriver gave no answer for " + what + " in time (hang guard); its log:\n" + tail(log()));
    // Short slices: Wine processes the driver started may hold the pipe open
    // after the driver itself has gone, so its end shows only in waitpid.
    auto slice = std::min<Milliseconds>(std::chrono::duration_cast<Milliseconds>(deadline - now) + 1ms, 100ms);
    pollfd p{fromDriver_, POLLIN, 0};
    int ready = ::poll(&p, 1, int(slice.count()));
    if (ready < 0 && errno != EINTR) throw UiDriverError(std::string("poll: ") + std::strerror(errno));
    if (ready > 0) {
      char chunk[65536];
      ssize_t n = ::read(fromDriver_, chunk, sizeof(chunk));
      if (n > 0) {
        pending_.append(chunk, size_t(n));
        continue;
      }
      if (n == 0) {
        driverRunning();
        throw UiDriverError("uidriver ended while " + what + " was awaited; its log:\n" + tail(log()));
      }
    }
    if (ready == 0 && !driverRunning()) {
      // Whatever it wrote before it went is still in the pipe.
      pollfd q{fromDriver_, POLLIN, 0};
      if (::poll(&q, 1, 0) > 0) continue;
      throw UiDriverError("uidriver ended while " + what + " was awaited; its log:\n" + tail(log()));
    }
  }
}

Answer UiDriver::request(const std::string& line, Milliseconds guard) {
  if (pid_ <= 0) throw UiDriverError("uidriver is not running (request '" + line + "')");
  if (!writeAll(toDriver_, line + "\n")) throw UiDriverError("uidriver is gone (request '" + line + "')");
  const auto deadline = Clock::now() + guard;
  Answer answer;
  for (;;) {
    std::string reply = readLine(deadline, "'" + line + "'");
    if (reply == "ok") {
      answer.ok = true;
      return answer;
    }
    if (reply.rfind("error", 0) == 0) {
      answer.error = reply.size() > 6 ? reply.substr(6) : "";
      return answer;
    }
    answer.records.push_back(parseRecord(reply));
  }
}

Answer UiDriver::require(const std::string& line, Milliseconds guard) {
  Answer answer = request(line, guard);
  if (!answer.ok) throw UiDriverError("'" + line + "' failed: " + answer.error);
  return answer;
}

namespace {

// The hang guard of a request that waits: its own time-out and a margin.
Milliseconds guardFor(Milliseconds timeout) { return timeout + 30s; }

const Record& onlyRecord(const Answer& answer, const std::string& kind, const std::string& request) {
  if (answer.records.size() != 1 || answer.records[0].kind != kind)
    throw UiDriverError("'" + request + "' answered " + std::to_string(answer.records.size()) + " records, not one " +
                        kind);
  return answer.records[0];
}

} // namespace

std::vector<WindowInfo> UiDriver::windows() {
  std::vector<WindowInfo> list;
  for (auto& r : require("windows").records) list.push_back(toWindowInfo(r));
  return list;
}

WindowInfo UiDriver::waitWindow(const WindowQuery& query, Milliseconds timeout) {
  std::string line = "wait-window timeout=" + milliseconds(timeout);
  if (query.title) line += " title=" + hexArgument(*query.title);
  if (query.className) line += " class=" + uidriver::quoteText(*query.className);
  if (query.hiddenToo) line += " hidden";
  return toWindowInfo(onlyRecord(require(line, guardFor(timeout)), "window", line));
}

WindowInfo UiDriver::waitDialog(const std::string& title, Milliseconds timeout) {
  return waitWindow(WindowQuery{title, "#32770", false}, timeout);
}

void UiDriver::waitGone(WindowHandle hwnd, Milliseconds timeout) {
  require("wait-gone " + handleArgument(hwnd) + " timeout=" + milliseconds(timeout), guardFor(timeout));
}

std::vector<ControlInfo> UiDriver::controls(WindowHandle hwnd) {
  std::vector<ControlInfo> list;
  for (auto& r : require("controls " + handleArgument(hwnd)).records) list.push_back(toControlInfo(r));
  return list;
}

ControlInfo UiDriver::control(WindowHandle hwnd, int id) {
  std::string line = "control " + handleArgument(hwnd) + " " + std::to_string(id);
  return toControlInfo(onlyRecord(require(line), "control", line));
}

void UiDriver::click(WindowHandle hwnd, int id) { require("click " + handleArgument(hwnd) + " " + std::to_string(id)); }

Answer UiDriver::tryClick(WindowHandle hwnd, int id) {
  return request("click " + handleArgument(hwnd) + " " + std::to_string(id));
}

void UiDriver::close(WindowHandle hwnd) { require("close " + handleArgument(hwnd)); }

Answer UiDriver::repaint(WindowHandle hwnd, Milliseconds timeout) {
  return request("repaint " + handleArgument(hwnd) + " timeout=" + milliseconds(timeout), guardFor(timeout));
}

void UiDriver::command(WindowHandle hwnd, int id, uint16_t code) {
  require("command " + handleArgument(hwnd) + " " + std::to_string(id) + " code=" + std::to_string(code));
}

void UiDriver::setCheck(WindowHandle hwnd, int id, int state) {
  require("set-check " + handleArgument(hwnd) + " " + std::to_string(id) + " " + std::to_string(state));
}

MessageBoxInfo UiDriver::waitMessageBox(Milliseconds timeout) {
  std::string line = "wait-msgbox timeout=" + milliseconds(timeout);
  return toMessageBoxInfo(onlyRecord(require(line, guardFor(timeout)), "msgbox", line));
}

MessageBoxInfo UiDriver::messageBox() { return toMessageBoxInfo(onlyRecord(require("msgbox"), "msgbox", "msgbox")); }

void UiDriver::dismiss(WindowHandle hwnd) { require(hwnd ? "dismiss " + handleArgument(hwnd) : "dismiss"); }

uint32_t UiDriver::waitExit(Milliseconds timeout) {
  std::string line = "wait-exit timeout=" + milliseconds(timeout);
  return uint32_t(parseNumber(onlyRecord(require(line, guardFor(timeout)), "exit", line), "code"));
}

bool UiDriver::programRunning() { return parseFlag(onlyRecord(require("status"), "process", "status"), "running"); }

void UiDriver::quit() {
  require("quit");
  if (!reap(10s)) throw UiDriverError("uidriver did not end within 10 s of quit");
}

} // namespace uidriver
