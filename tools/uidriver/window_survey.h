// A fresh look at the driven program's windows. Nothing here is remembered
// between calls: every fact is read from the window system when asked for,
// so an answer never describes a window as it was a moment ago.
//
// Facts that only the window's own thread knows (its text, a check box's
// state) are asked for with SendMessageTimeout, so a busy or hung program
// makes a call fail with a reason instead of stopping the driver.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace uidriver {

// How long a window is given to answer a question about itself.
inline constexpr UINT kWindowAnswerMs = 5000;

// A window's text in the two forms the driver reports.
struct WindowText {
  std::string ansi;  // the bytes the program sees, in the desktop's ANSI code page
  std::wstring wide; // the same text as the window system holds it
};

struct WindowFacts {
  HWND hwnd = nullptr;
  std::wstring className;
  WindowText title;
  bool visible = false;
  bool enabled = false;
  HWND owner = nullptr;
  RECT rect{}; // screen coordinates
};

// Check state of a button that has one; kNotCheckable for every other control.
inline constexpr int kNotCheckable = -1;

struct ControlFacts {
  HWND hwnd = nullptr;
  int id = 0; // as the program numbers it: -1 for a template's "no id"
  std::wstring className;
  WindowText text;
  DWORD style = 0;
  DWORD exStyle = 0;
  bool enabled = false;        // the control itself accepts input
  bool visible = false;        // the control and every window it sits in are shown
  int checked = kNotCheckable; // BST_UNCHECKED, BST_CHECKED or BST_INDETERMINATE
  RECT screen{};
  RECT client{}; // in the client coordinates of the window it sits in
};

struct MessageBoxFacts {
  HWND hwnd = nullptr;
  HWND owner = nullptr;
  WindowText caption;
  WindowText text;
  bool enabled = false;
  std::vector<int> buttons; // ids of its shown buttons (IDOK, IDCANCEL, ...)
};

// A window handle as the driver writes it: 0x and hex digits.
std::string handleText(HWND hwnd);

// Top-level windows of the process, topmost first, shown or not.
std::vector<HWND> topLevelWindows(DWORD processId);
// True when `hwnd` is a top-level window of the process (now).
bool isTopLevelOf(HWND hwnd, DWORD processId);

bool readText(HWND hwnd, WindowText& text, std::string& error);
bool describeWindow(HWND hwnd, WindowFacts& facts, std::string& error);

// The direct children of a window, in their order (a dialog's tab order).
std::vector<HWND> childControls(HWND parent);
// The direct child with that id, or nullptr.
HWND findControl(HWND parent, int id);
bool describeControl(HWND control, ControlFacts& facts, std::string& error);
bool isButton(HWND control);

// A message box: a dialog whose text sits in a static with id 0xFFFF and whose
// other controls are its icon and its buttons. This is the platform's layout;
// an ordinary dialog with a control numbered 0xFFFF has other controls too.
bool isMessageBox(HWND hwnd);
bool describeMessageBox(HWND hwnd, MessageBoxFacts& facts, std::string& error);

} // namespace uidriver
