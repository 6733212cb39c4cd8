#include "window_survey.h"

#include "line_format.h"
#include "win_text.h"

#include <algorithm>
#include <cwctype>

namespace uidriver {

namespace {

// Dialog texts are short; a longer one is read only this far.
constexpr LRESULT kMaxTextUnits = 32768;

// Ids of the parts of a platform message box.
constexpr int kMessageBoxTextId = 0xFFFF;
constexpr int kMessageBoxIconId = 0x0440;
constexpr int kLastMessageBoxButtonId = 11; // IDCONTINUE

bool ask(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, bool wide, DWORD_PTR& result, std::string& error) {
  SetLastError(0);
  LRESULT answered =
      wide ? SendMessageTimeoutW(hwnd, message, wParam, lParam, SMTO_ABORTIFHUNG, kWindowAnswerMs, &result)
           : SendMessageTimeoutA(hwnd, message, wParam, lParam, SMTO_ABORTIFHUNG, kWindowAnswerMs, &result);
  if (answered) return true;
  DWORD code = GetLastError();
  if (!IsWindow(hwnd))
    error = "window " + handleText(hwnd) + " is gone";
  else if (code == ERROR_TIMEOUT || code == 0)
    error = "window " + handleText(hwnd) + " did not answer within " + std::to_string(kWindowAnswerMs) +
            " ms (the program is busy or hung)";
  else
    error = "window " + handleText(hwnd) + " did not answer: " + describeError(code);
  return false;
}

bool equalsIgnoringCase(const std::wstring& a, const wchar_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  return i == a.size() && b[i] == 0;
}

std::wstring classOf(HWND hwnd) {
  wchar_t name[256] = {};
  int length = GetClassNameW(hwnd, name, 256);
  return std::wstring(name, length > 0 ? size_t(length) : 0);
}

int idOf(HWND control) { return int(int32_t(uint32_t(GetWindowLongPtrW(control, GWLP_ID)))); }

bool hasCheckState(DWORD style) {
  switch (style & BS_TYPEMASK) {
  case BS_CHECKBOX:
  case BS_AUTOCHECKBOX:
  case BS_RADIOBUTTON:
  case BS_3STATE:
  case BS_AUTO3STATE:
  case BS_AUTORADIOBUTTON:
    return true;
  default:
    return false;
  }
}

struct TopLevelSearch {
  DWORD processId;
  std::vector<HWND> found;
};

BOOL CALLBACK collectTopLevel(HWND hwnd, LPARAM context) {
  auto* search = reinterpret_cast<TopLevelSearch*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(hwnd, &owner);
  if (owner == search->processId) search->found.push_back(hwnd);
  return TRUE;
}

} // namespace

std::string handleText(HWND hwnd) { return hexNumber(uint64_t(reinterpret_cast<uintptr_t>(hwnd))); }

std::vector<HWND> topLevelWindows(DWORD processId) {
  TopLevelSearch search{processId, {}};
  EnumWindows(collectTopLevel, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool isTopLevelOf(HWND hwnd, DWORD processId) {
  if (!hwnd || !IsWindow(hwnd) || GetAncestor(hwnd, GA_ROOT) != hwnd) return false;
  DWORD owner = 0;
  GetWindowThreadProcessId(hwnd, &owner);
  return owner == processId;
}

bool readText(HWND hwnd, WindowText& text, std::string& error) {
  text = WindowText{};
  DWORD_PTR length = 0;
  if (!ask(hwnd, WM_GETTEXTLENGTH, 0, 0, true, length, error)) return false;
  if (length > 0) {
    std::wstring buffer(size_t(std::min<DWORD_PTR>(length, kMaxTextUnits)) + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!ask(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()), true, copied, error))
      return false;
    buffer.resize(std::min<size_t>(size_t(copied), buffer.size() - 1));
    text.wide = std::move(buffer);
  }
  // The 8-bit form is asked for too, not derived: it is what an 8-bit program
  // gets back, and what it set.
  DWORD_PTR bytes = 0;
  if (!ask(hwnd, WM_GETTEXTLENGTH, 0, 0, false, bytes, error)) return false;
  if (bytes > 0) {
    std::string buffer(size_t(std::min<DWORD_PTR>(bytes, kMaxTextUnits * 2)) + 1, '\0');
    DWORD_PTR copied = 0;
    if (!ask(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()), false, copied, error))
      return false;
    buffer.resize(std::min<size_t>(size_t(copied), buffer.size() - 1));
    text.ansi = std::move(buffer);
  }
  return true;
}

bool describeWindow(HWND hwnd, WindowFacts& facts, std::string& error) {
  facts = WindowFacts{};
  facts.hwnd = hwnd;
  facts.className = classOf(hwnd);
  if (!readText(hwnd, facts.title, error)) return false;
  facts.visible = IsWindowVisible(hwnd) != FALSE;
  facts.enabled = IsWindowEnabled(hwnd) != FALSE;
  facts.owner = GetWindow(hwnd, GW_OWNER);
  if (!GetWindowRect(hwnd, &facts.rect)) {
    error = "window " + handleText(hwnd) + " is gone";
    return false;
  }
  return true;
}

std::vector<HWND> childControls(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child && children.size() < 4096; child = GetWindow(child, GW_HWNDNEXT))
    children.push_back(child);
  return children;
}

HWND findControl(HWND parent, int id) {
  for (HWND child : childControls(parent))
    if (idOf(child) == id) return child;
  return nullptr;
}

bool isButton(HWND control) { return equalsIgnoringCase(classOf(control), L"Button"); }

bool describeControl(HWND control, ControlFacts& facts, std::string& error) {
  facts = ControlFacts{};
  facts.hwnd = control;
  facts.id = idOf(control);
  facts.className = classOf(control);
  if (!readText(control, facts.text, error)) return false;
  facts.style = DWORD(GetWindowLongW(control, GWL_STYLE));
  facts.exStyle = DWORD(GetWindowLongW(control, GWL_EXSTYLE));
  facts.enabled = IsWindowEnabled(control) != FALSE;
  facts.visible = IsWindowVisible(control) != FALSE;
  if (equalsIgnoringCase(facts.className, L"Button") && hasCheckState(facts.style)) {
    DWORD_PTR state = 0;
    if (!ask(control, BM_GETCHECK, 0, 0, true, state, error)) return false;
    facts.checked = int(state);
  }
  if (!GetWindowRect(control, &facts.screen)) {
    error = "control " + handleText(control) + " is gone";
    return false;
  }
  facts.client = facts.screen;
  MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&facts.client), 2);
  return true;
}

bool isMessageBox(HWND hwnd) {
  if (!equalsIgnoringCase(classOf(hwnd), L"#32770")) return false;
  bool hasText = false;
  for (HWND child : childControls(hwnd)) {
    int id = idOf(child);
    std::wstring cls = classOf(child);
    if (equalsIgnoringCase(cls, L"Static") && id == kMessageBoxTextId) {
      hasText = true;
    } else if (equalsIgnoringCase(cls, L"Static") && id == kMessageBoxIconId) {
      // the icon
    } else if (!(equalsIgnoringCase(cls, L"Button") && id >= IDOK && id <= kLastMessageBoxButtonId)) {
      return false;
    }
  }
  return hasText;
}

bool describeMessageBox(HWND hwnd, MessageBoxFacts& facts, std::string& error) {
  facts = MessageBoxFacts{};
  facts.hwnd = hwnd;
  facts.owner = GetWindow(hwnd, GW_OWNER);
  facts.enabled = IsWindowEnabled(hwnd) != FALSE;
  if (!readText(hwnd, facts.caption, error)) return false;
  for (HWND child : childControls(hwnd)) {
    int id = idOf(child);
    if (isButton(child)) {
      if (IsWindowVisible(child)) facts.buttons.push_back(id);
    } else if (id == kMessageBoxTextId) {
      if (!readText(child, facts.text, error)) return false;
    }
  }
  return true;
}

} // namespace uidriver
