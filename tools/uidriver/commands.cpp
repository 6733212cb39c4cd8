#include "commands.h"

#include "line_format.h"
#include "win_text.h"
#include "window_survey.h"

#include <cwctype>
#include <functional>
#include <map>
#include <set>
#include <vector>

namespace uidriver {

namespace {

constexpr DWORD kDefaultTimeoutMs = 10000;
constexpr DWORD kMaxTimeoutMs = 600000;
// How often a wait takes a fresh look.
constexpr DWORD kLookIntervalMs = 20;

std::string flag(bool value) { return value ? "1" : "0"; }

std::string rectText(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
         std::to_string(r.bottom);
}

void addText(std::string& line, const char* key, const WindowText& text) {
  line += std::string(" ") + key + "=" + hexText(text.ansi);
  line += std::string(" ") + key + ".utf8=" + quoteText(toUtf8(text.wide));
}

std::string windowRecord(const WindowFacts& w) {
  std::string line = "window hwnd=" + handleText(w.hwnd) + " class=" + quoteText(toUtf8(w.className));
  addText(line, "title", w.title);
  line += " visible=" + flag(w.visible) + " enabled=" + flag(w.enabled) + " owner=" + handleText(w.owner) +
          " rect=" + rectText(w.rect);
  return line;
}

std::string controlRecord(const ControlFacts& c) {
  std::string line =
      "control hwnd=" + handleText(c.hwnd) + " id=" + std::to_string(c.id) + " class=" + quoteText(toUtf8(c.className));
  addText(line, "text", c.text);
  line += " style=" + hexNumber(c.style) + " exstyle=" + hexNumber(c.exStyle) + " enabled=" + flag(c.enabled) +
          " visible=" + flag(c.visible) +
          " checked=" + (c.checked == kNotCheckable ? std::string("-") : std::to_string(c.checked)) +
          " rect=" + rectText(c.screen) + " client=" + rectText(c.client);
  return line;
}

std::string messageBoxRecord(const MessageBoxFacts& m) {
  std::string line =
      "msgbox hwnd=" + handleText(m.hwnd) + " owner=" + handleText(m.owner) + " enabled=" + flag(m.enabled);
  addText(line, "caption", m.caption);
  addText(line, "text", m.text);
  std::string buttons;
  for (int id : m.buttons) buttons += (buttons.empty() ? "" : ",") + std::to_string(id);
  line += " buttons=" + buttons;
  return line;
}

// One request taken apart: its name, bare values and key=value options.
class Request {
public:
  bool parse(std::string_view line, std::string& error) {
    std::vector<Word> words;
    if (!splitWords(line, words, error)) return false;
    if (words.empty() || !words[0].key.empty()) {
      error = "a request starts with its name (try help)";
      return false;
    }
    name_ = words[0].value;
    for (size_t i = 1; i < words.size(); ++i) {
      if (words[i].key.empty()) {
        positional_.push_back(words[i].value);
      } else if (!options_.emplace(words[i].key, words[i].value).second) {
        error = words[i].key + "= is given twice";
        return false;
      }
    }
    return true;
  }

  const std::string& name() const { return name_; }

  // Checks the request's shape: between `least` and `most` values besides the
  // allowed bare `flags`, and no option outside `keys`.
  bool expect(size_t least, size_t most, const std::set<std::string>& keys, const std::set<std::string>& flags, std::string& error) {
    std::vector<std::string> values;
    for (auto& value : positional_) {
      if (flags.count(value))
        flags_.insert(value);
      else
        values.push_back(value);
    }
    positional_ = values;
    for (auto& [key, value] : options_)
      if (!keys.count(key)) {
        error = name_ + " takes no " + key + "=";
        return false;
      }
    if (positional_.size() < least || positional_.size() > most) {
      error = name_ +
              (least == most ? " needs " + std::to_string(least)
                             : " takes " + std::to_string(least) + " to " + std::to_string(most)) +
              " value(s) (try help)";
      return false;
    }
    return true;
  }

  bool has(size_t index) const { return index < positional_.size(); }
  const std::string& value(size_t index) const { return positional_[index]; }
  bool hasFlag(const std::string& name) const { return flags_.count(name) != 0; }

  bool window(size_t index, HWND& hwnd, std::string& error) const {
    uint64_t value = 0;
    if (!parseUnsigned(positional_[index], value) || value == 0 || value > UINTPTR_MAX) {
      error = "'" + positional_[index] + "' is not a window handle";
      return false;
    }
    hwnd = reinterpret_cast<HWND>(uintptr_t(value));
    return true;
  }

  bool controlId(size_t index, int& id, std::string& error) const {
    int64_t value = 0;
    if (!parseInteger(positional_[index], value) || value < INT32_MIN || value > UINT32_MAX) {
      error = "'" + positional_[index] + "' is not a control id";
      return false;
    }
    id = int(int32_t(uint32_t(value)));
    return true;
  }

  // A 16-bit number option (default 0).
  bool word(const std::string& key, WORD& value, std::string& error) const {
    value = 0;
    auto it = options_.find(key);
    if (it == options_.end()) return true;
    uint64_t number = 0;
    if (!parseUnsigned(it->second, number) || number > 0xFFFF) {
      error = key + "= takes a number from 0 to 0xFFFF";
      return false;
    }
    value = WORD(number);
    return true;
  }

  bool timeout(DWORD& milliseconds, std::string& error) const {
    milliseconds = kDefaultTimeoutMs;
    auto it = options_.find("timeout");
    if (it == options_.end()) return true;
    uint64_t value = 0;
    if (!parseUnsigned(it->second, value) || value > kMaxTimeoutMs) {
      error = "timeout= takes milliseconds from 0 to " + std::to_string(kMaxTimeoutMs);
      return false;
    }
    milliseconds = DWORD(value);
    return true;
  }

  // The text of an option, when given.
  bool text(const std::string& key, bool& given, DecodedText& text, std::string& error) const {
    auto it = options_.find(key);
    given = it != options_.end();
    if (!given) return true;
    if (!decodeText(it->second, text, error)) {
      error = key + "=: " + error;
      return false;
    }
    return true;
  }

private:
  std::string name_;
  std::vector<std::string> positional_;
  std::map<std::string, std::string> options_;
  std::set<std::string> flags_;
};

std::wstring wideOf(const DecodedText& text) {
  return text.form == TextForm::Hex ? fromAnsi(text.bytes) : fromUtf8(text.bytes);
}

bool sameIgnoringCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  return true;
}

class Handler {
public:
  explicit Handler(TargetProcess& target) : target_(target) {}

  std::string run(std::string_view line, bool& quit) {
    Request request;
    std::string error;
    if (!request.parse(line, error)) return fail(error);
    if (request.name() == "quit") {
      if (!request.expect(0, 0, {}, {}, error)) return fail(error);
      target_.end();
      quit = true;
      return records_ + "ok\n";
    }
    const Command* command = findCommand(request.name());
    if (!command) return fail("unknown request '" + request.name() + "' (try help)");
    if (!(this->*command->run)(request, error)) return fail(error);
    return records_ + "ok\n";
  }

private:
  // One request the driver answers: its name, how it is written (for help)
  // and what runs it. "quit" ends the session and is answered in run().
  struct Command {
    const char* name;
    const char* usage;
    bool (Handler::*run)(Request&, std::string&);
  };
  static const Command commands_[];
  static const Command* findCommand(const std::string& name);

  std::string fail(const std::string& reason) {
    // An error answer carries no records: a half-read list would mislead.
    // The reason stays on one line, whatever the system's message held.
    std::string oneLine;
    for (char c : reason) oneLine.push_back(c == '\r' || c == '\n' ? ' ' : c);
    return "error " + oneLine + "\n";
  }
  void record(const std::string& line) { records_ += line + "\n"; }

  DWORD pid() const { return target_.id(); }

  // Why a wait cannot succeed any more, once the program has ended.
  bool programEnded(std::string& error) const {
    DWORD code = 0;
    if (!target_.exitCode(code)) return false;
    error = "the program has ended (exit code " + std::to_string(code) + ")";
    return true;
  }

  bool ownWindow(HWND hwnd, std::string& error) const {
    if (isTopLevelOf(hwnd, pid())) return true;
    error = "window " + handleText(hwnd) + " is not a window of the program (now)";
    return false;
  }

  // What a person sees now, for the reason of a failed wait.
  std::string shownNow() const {
    std::string summary;
    for (HWND hwnd : topLevelWindows(pid())) {
      if (!IsWindowVisible(hwnd)) continue;
      WindowFacts facts;
      std::string ignored;
      if (!describeWindow(hwnd, facts, ignored)) continue;
      summary += (summary.empty() ? "" : "; ") + handleText(hwnd) + " " + quoteText(toUtf8(facts.className)) + " " +
                 quoteText(toUtf8(facts.title.wide));
    }
    return summary.empty() ? "no window is shown" : "shown now: " + summary;
  }

  // Looks again and again until `found` says yes, the time is up or the
  // program has ended. `found` may fail the wait by setting `error`.
  bool waitFor(DWORD milliseconds, const std::string& what, const std::function<bool(std::string&)>& found,
               std::string& error) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
      // Did the program end before this look? Then nothing can appear any more.
      bool endedBefore = !target_.running();
      if (found(error)) return true;
      if (!error.empty()) return false;
      if (endedBefore && programEnded(error)) {
        error = "no " + what + ": " + error;
        return false;
      }
      if (GetTickCount64() >= deadline) {
        error = "no " + what + " within " + std::to_string(milliseconds) + " ms; " + shownNow();
        return false;
      }
      Sleep(kLookIntervalMs);
    }
  }

  bool windows(Request& request, std::string& error) {
    if (!request.expect(0, 0, {}, {}, error)) return false;
    for (HWND hwnd : topLevelWindows(pid())) {
      WindowFacts facts;
      if (!describeWindow(hwnd, facts, error)) {
        if (!IsWindow(hwnd)) { // gone since the list was taken
          error.clear();
          continue;
        }
        return false;
      }
      record(windowRecord(facts));
    }
    return true;
  }

  bool waitWindow(Request& request, std::string& error) {
    DWORD milliseconds = 0;
    bool titleGiven = false, classGiven = false;
    DecodedText title, className;
    if (!request.expect(0, 0, {"title", "class", "timeout"}, {"hidden"}, error) ||
        !request.timeout(milliseconds, error) || !request.text("title", titleGiven, title, error) ||
        !request.text("class", classGiven, className, error))
      return false;
    const bool hiddenToo = request.hasFlag("hidden");
    const std::wstring wantedClass = classGiven ? wideOf(className) : std::wstring();
    WindowFacts match;
    auto found = [&](std::string&) {
      for (HWND hwnd : topLevelWindows(pid())) {
        if (!hiddenToo && !IsWindowVisible(hwnd)) continue;
        WindowFacts facts;
        std::string describeError;
        if (!describeWindow(hwnd, facts, describeError)) continue; // gone, or busy: look again
        if (classGiven && !sameIgnoringCase(facts.className, wantedClass)) continue;
        if (titleGiven) {
          bool same =
              title.form == TextForm::Hex ? facts.title.ansi == title.bytes : facts.title.wide == fromUtf8(title.bytes);
          if (!same) continue;
        }
        match = facts;
        return true;
      }
      return false;
    };
    if (!waitFor(milliseconds, "such window", found, error)) return false;
    record(windowRecord(match));
    return true;
  }

  bool waitGone(Request& request, std::string& error) {
    DWORD milliseconds = 0;
    HWND hwnd = nullptr;
    if (!request.expect(1, 1, {"timeout"}, {}, error) || !request.window(0, hwnd, error) ||
        !request.timeout(milliseconds, error))
      return false;
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    while (isTopLevelOf(hwnd, pid())) {
      if (GetTickCount64() >= deadline) {
        error =
            "window " + handleText(hwnd) + " still exists after " + std::to_string(milliseconds) + " ms; " + shownNow();
        return false;
      }
      Sleep(kLookIntervalMs);
    }
    return true;
  }

  bool controls(Request& request, std::string& error) {
    HWND hwnd = nullptr;
    if (!request.expect(1, 1, {}, {}, error) || !request.window(0, hwnd, error) || !ownWindow(hwnd, error))
      return false;
    for (HWND child : childControls(hwnd)) {
      ControlFacts facts;
      if (!describeControl(child, facts, error)) return false;
      record(controlRecord(facts));
    }
    return true;
  }

  bool findOwnControl(Request& request, HWND& window, HWND& control, int& id, std::string& error) {
    if (!request.expect(2, 2, {}, {}, error) || !request.window(0, window, error) || !request.controlId(1, id, error) ||
        !ownWindow(window, error))
      return false;
    control = findControl(window, id);
    if (!control) {
      error = "window " + handleText(window) + " has no control " + std::to_string(id);
      return false;
    }
    return true;
  }

  bool control(Request& request, std::string& error) {
    HWND window = nullptr, child = nullptr;
    int id = 0;
    if (!findOwnControl(request, window, child, id, error)) return false;
    ControlFacts facts;
    if (!describeControl(child, facts, error)) return false;
    record(controlRecord(facts));
    return true;
  }

  // A person clicks only what is shown and accepts input, in a window that
  // accepts input (not one a modal window is open over).
  bool clickAsPerson(HWND window, HWND button, int id, std::string& error) {
    const std::string what = "control " + std::to_string(id) + " of window " + handleText(window);
    if (!isButton(button)) {
      error = what + " is not a button";
      return false;
    }
    if ((GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX) {
      error = what + " is a group box: there is nothing to click";
      return false;
    }
    if (!IsWindowVisible(button)) {
      error = what + " is hidden: a person cannot click it";
      return false;
    }
    if (!IsWindowEnabled(button)) {
      error = what + " is disabled: a person cannot click it";
      return false;
    }
    if (!IsWindowEnabled(window)) {
      error = "window " + handleText(window) +
              " is disabled (a modal window is open over it): a person cannot "
              "click in it";
      return false;
    }
    // Posted, not sent: the click may open a modal window, and the answer
    // must not wait for the person who closes it.
    if (!PostMessageW(button, BM_CLICK, 0, 0)) {
      error = "cannot post the click: " + describeError(GetLastError());
      return false;
    }
    return true;
  }

  bool click(Request& request, std::string& error) {
    HWND window = nullptr, button = nullptr;
    int id = 0;
    return findOwnControl(request, window, button, id, error) && clickAsPerson(window, button, id, error);
  }

  // What a control tells its dialog, sent on the control's behalf with any
  // notification code: for tests of how a dialog reads its commands. Not a
  // person's act, so the control's state is not asked.
  bool command(Request& request, std::string& error) {
    HWND window = nullptr, child = nullptr;
    int id = 0;
    WORD code = 0;
    if (!request.expect(2, 2, {"code"}, {}, error) || !request.word("code", code, error) ||
        !request.window(0, window, error) || !request.controlId(1, id, error) || !ownWindow(window, error))
      return false;
    child = findControl(window, id);
    if (!PostMessageW(window, WM_COMMAND, MAKEWPARAM(WORD(id), code), reinterpret_cast<LPARAM>(child))) {
      error = "cannot post WM_COMMAND: " + describeError(GetLastError());
      return false;
    }
    return true;
  }

  // Sets a check box's state without the notification a click sends: with
  // `command`, for tests of what a dialog does on a command alone.
  bool setCheck(Request& request, std::string& error) {
    HWND window = nullptr;
    int id = 0;
    if (!request.expect(3, 3, {}, {}, error) || !request.window(0, window, error) || !request.controlId(1, id, error) ||
        !ownWindow(window, error))
      return false;
    HWND box = findControl(window, id);
    int64_t state = 0;
    if (!box) {
      error = "window " + handleText(window) + " has no control " + std::to_string(id);
      return false;
    }
    if (!parseInteger(request.value(2), state) || state < 0 || state > 2) {
      error = "set-check takes a state of 0, 1 or 2";
      return false;
    }
    DWORD_PTR ignored = 0;
    if (!SendMessageTimeoutW(box, BM_SETCHECK, WPARAM(state), 0, SMTO_ABORTIFHUNG, 5000, &ignored)) {
      error = "the program did not take BM_SETCHECK";
      return false;
    }
    return true;
  }

  bool close(Request& request, std::string& error) {
    HWND hwnd = nullptr;
    if (!request.expect(1, 1, {}, {}, error) || !request.window(0, hwnd, error) || !ownWindow(hwnd, error))
      return false;
    const std::string what = "window " + handleText(hwnd);
    const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
    if (!IsWindowVisible(hwnd)) {
      error = what + " is hidden: a person cannot close it";
      return false;
    }
    if ((style & WS_CAPTION) != WS_CAPTION || !(style & WS_SYSMENU) ||
        (GetClassLongPtrW(hwnd, GCL_STYLE) & CS_NOCLOSE)) {
      error = what + " has no close button on its caption";
      return false;
    }
    if (!IsWindowEnabled(hwnd)) {
      error = what + " is disabled (a modal window is open over it): a person cannot close it";
      return false;
    }
    if (!PostMessageW(hwnd, WM_CLOSE, 0, 0)) {
      error = "cannot post WM_CLOSE: " + describeError(GetLastError());
      return false;
    }
    return true;
  }

  // Asks the window to paint itself afresh and waits until it has: a window
  // whose thread takes only sent messages (busy, or waiting for something)
  // keeps its invalid region and fails the wait.
  bool repaint(Request& request, std::string& error) {
    DWORD milliseconds = 0;
    HWND hwnd = nullptr;
    if (!request.expect(1, 1, {"timeout"}, {}, error) || !request.window(0, hwnd, error) ||
        !request.timeout(milliseconds, error) || !ownWindow(hwnd, error))
      return false;
    if (!IsWindowVisible(hwnd)) {
      error = "window " + handleText(hwnd) + " is hidden: it paints nothing";
      return false;
    }
    if (!InvalidateRect(hwnd, nullptr, TRUE)) {
      error = "cannot invalidate the window: " + describeError(GetLastError());
      return false;
    }
    auto painted = [&](std::string& why) {
      if (!IsWindow(hwnd)) {
        why = "window " + handleText(hwnd) + " was destroyed before it painted";
        return false;
      }
      return !GetUpdateRect(hwnd, nullptr, FALSE);
    };
    return waitFor(milliseconds, "paint of window " + handleText(hwnd), painted, error);
  }

  // The message boxes a person sees now, the one that takes input first.
  std::vector<HWND> shownMessageBoxes() const {
    std::vector<HWND> enabled, disabled;
    for (HWND hwnd : topLevelWindows(pid())) {
      if (!IsWindowVisible(hwnd) || !isMessageBox(hwnd)) continue;
      (IsWindowEnabled(hwnd) ? enabled : disabled).push_back(hwnd);
    }
    enabled.insert(enabled.end(), disabled.begin(), disabled.end());
    return enabled;
  }

  // The message box named by the request, or the one shown now.
  bool chosenMessageBox(Request& request, HWND& box, std::string& error) {
    if (!request.expect(0, 1, {}, {}, error)) return false;
    if (request.has(0)) {
      if (!request.window(0, box, error) || !ownWindow(box, error)) return false;
      if (!isMessageBox(box)) {
        error = "window " + handleText(box) + " is not a message box";
        return false;
      }
      return true;
    }
    auto boxes = shownMessageBoxes();
    if (boxes.empty()) {
      error = "no message box is shown; " + shownNow();
      return false;
    }
    box = boxes.front();
    return true;
  }

  bool waitMessageBox(Request& request, std::string& error) {
    DWORD milliseconds = 0;
    if (!request.expect(0, 0, {"timeout"}, {}, error) || !request.timeout(milliseconds, error)) return false;
    MessageBoxFacts facts;
    auto found = [&](std::string&) {
      for (HWND box : shownMessageBoxes()) {
        std::string describeError;
        if (describeMessageBox(box, facts, describeError)) return true;
      }
      return false;
    };
    if (!waitFor(milliseconds, "message box", found, error)) return false;
    record(messageBoxRecord(facts));
    return true;
  }

  bool messageBox(Request& request, std::string& error) {
    HWND box = nullptr;
    MessageBoxFacts facts;
    if (!chosenMessageBox(request, box, error) || !describeMessageBox(box, facts, error)) return false;
    record(messageBoxRecord(facts));
    return true;
  }

  bool dismiss(Request& request, std::string& error) {
    HWND box = nullptr;
    if (!chosenMessageBox(request, box, error)) return false;
    HWND ok = findControl(box, IDOK);
    if (!ok) {
      error = "message box " + handleText(box) + " has no OK button";
      return false;
    }
    return clickAsPerson(box, ok, IDOK, error);
  }

  bool waitExit(Request& request, std::string& error) {
    DWORD milliseconds = 0;
    if (!request.expect(0, 0, {"timeout"}, {}, error) || !request.timeout(milliseconds, error)) return false;
    DWORD code = 0;
    if (!target_.waitForExit(milliseconds) || !target_.exitCode(code)) {
      error = "the program still runs after " + std::to_string(milliseconds) + " ms; " + shownNow();
      return false;
    }
    record("exit code=" + std::to_string(code));
    return true;
  }

  bool status(Request& request, std::string& error) {
    if (!request.expect(0, 0, {}, {}, error)) return false;
    std::string line = "process pid=" + std::to_string(pid());
    DWORD code = 0;
    if (target_.exitCode(code))
      line += " running=0 exit=" + std::to_string(code);
    else
      line += " running=1";
    record(line);
    return true;
  }

  // The usage of every request, from the command table.
  bool help(Request& request, std::string& error);

  TargetProcess& target_;
  std::string records_;
};

const Handler::Command Handler::commands_[] = {
    {"windows", "windows", &Handler::windows},
    {"wait-window", "wait-window [title=<text>] [class=<text>] [hidden] [timeout=<ms>]", &Handler::waitWindow},
    {"wait-gone", "wait-gone <hwnd> [timeout=<ms>]", &Handler::waitGone},
    {"controls", "controls <hwnd>", &Handler::controls},
    {"control", "control <hwnd> <id>", &Handler::control},
    {"click", "click <hwnd> <id>", &Handler::click},
    {"command", "command <hwnd> <id> [code=<n>]", &Handler::command},
    {"set-check", "set-check <hwnd> <id> <0|1|2>", &Handler::setCheck},
    {"close", "close <hwnd>", &Handler::close},
    {"repaint", "repaint <hwnd> [timeout=<ms>]", &Handler::repaint},
    {"wait-msgbox", "wait-msgbox [timeout=<ms>]", &Handler::waitMessageBox},
    {"msgbox", "msgbox [<hwnd>]", &Handler::messageBox},
    {"dismiss", "dismiss [<hwnd>]", &Handler::dismiss},
    {"wait-exit", "wait-exit [timeout=<ms>]", &Handler::waitExit},
    {"status", "status", &Handler::status},
    {"help", "help", &Handler::help},
};

bool Handler::help(Request& request, std::string& error) {
  if (!request.expect(0, 0, {}, {}, error)) return false;
  for (const Command& command : commands_) record(std::string("help ") + command.usage);
  record("help quit");
  record("help <text>: \"UTF-8 text\" or x:<hex bytes in the ANSI code page>");
  return true;
}

const Handler::Command* Handler::findCommand(const std::string& name) {
  for (const Command& command : commands_)
    if (name == command.name) return &command;
  return nullptr;
}

} // namespace

std::string CommandSession::run(std::string_view line) {
  if (line.size() > kMaxLineBytes)
    return "error the request is longer than " + std::to_string(kMaxLineBytes) + " bytes\n";
  Handler handler(target_);
  return handler.run(line, quit_);
}

} // namespace uidriver
