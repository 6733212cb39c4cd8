// The requests uidriver answers, one line each, about the one program it
// started. The line format (words, quoted and hex texts) is in line_format.h.
//
// Requests (<hwnd> as answered in hwnd=, <id> a control id, <ms> milliseconds
// from 0 to 600000, default 10000; <text> quoted UTF-8 or x: ANSI hex):
//   windows                            the program's top-level windows, shown or not
//   wait-window [title=<text>] [class=<text>] [hidden] [timeout=<ms>]
//                                      the first shown window that matches (with
//                                      `hidden`, hidden ones count too)
//   wait-gone <hwnd> [timeout=<ms>]    until the window no longer exists
//   controls <hwnd>                    the window's controls, in tab order
//   control <hwnd> <id>                one control
//   click <hwnd> <id>                  click a button or check box as a person would;
//                                      refused when it, or its window, is disabled or hidden
//   command <hwnd> <id> [code=<n>]     post WM_COMMAND from that control with a notification
//                                      code (default 0): a tester's act, not a person's
//   set-check <hwnd> <id> <0|1|2>      set a check box without the notification of a click
//                                      (a tester's act, with `command`)
//   close <hwnd>                       close a window from its caption (WM_CLOSE)
//   repaint <hwnd> [timeout=<ms>]      invalidate the window and wait until it has painted
//                                      (fails while its thread takes no paint messages)
//   wait-msgbox [timeout=<ms>]         the first shown message box
//   msgbox [<hwnd>]                    the message box shown now (or that one)
//   dismiss [<hwnd>]                   press the OK button of the message box
//   wait-exit [timeout=<ms>]           until the program ends; its exit code
//   status                             the program's process id and whether it runs
//   quit                               end the program if it still runs, then the driver
//   help                               the requests, one a line (from the command table)
// A click, close or dismiss is posted and answered at once: the program may
// be about to open a modal window, and the driver must not wait inside it.
//
// Answers: zero or more records, then "ok"; or one line "error <reason>":
//   window hwnd=<h> class=<q> title=<x> title.utf8=<q> visible=<0|1> enabled=<0|1>
//          owner=<h> rect=<left>,<top>,<right>,<bottom>
//   control hwnd=<h> id=<n> class=<q> text=<x> text.utf8=<q> style=<0x> exstyle=<0x>
//           enabled=<0|1> visible=<0|1> checked=<0|1|2|-> rect=<l,t,r,b> client=<l,t,r,b>
//   msgbox hwnd=<h> owner=<h> enabled=<0|1> caption=<x> caption.utf8=<q> text=<x>
//          text.utf8=<q> buttons=<id>[,<id>...]
//   exit code=<n>
//   process pid=<n> running=<0|1> [exit=<n>]
// (<q>: quoted UTF-8, <x>: x: ANSI hex; rect in screen, client in the
// coordinates of the window the control sits in.) A window's `visible` is what
// a person can see: the window and every window it sits in are shown.
#pragma once

#include "target_process.h"

#include <string>
#include <string_view>

namespace uidriver {

class CommandSession {
public:
  explicit CommandSession(TargetProcess& target) : target_(target) {}

  // Runs one request; the answer lines, each ending in "\n".
  std::string run(std::string_view line);
  bool quitRequested() const { return quit_; }

private:
  TargetProcess& target_;
  bool quit_ = false;
};

} // namespace uidriver
