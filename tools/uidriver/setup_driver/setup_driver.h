// The steps of a run of the setup program, taken through uidriver as a person
// takes them: wait for the selection dialog and for the device to be
// identified, read its figures, tick packages, follow the transfer dialog,
// answer a message box. The end-to-end tests, the headless main job and the
// benchmark drive the program with these.
//
// A step that waits has a guard: when what it waits for does not come about,
// it throws std::runtime_error saying what (uidriver's own failures arrive as
// uidriver::UiDriverError).
#pragma once

#include "setup_ui.h"
#include "uidriver_client.h"

#include <functional>
#include <optional>

namespace setupdriver {

using uidriver::ControlInfo;
using uidriver::MessageBoxInfo;
using uidriver::Milliseconds;
using uidriver::UiDriver;
using uidriver::WindowHandle;
using uidriver::WindowInfo;
using namespace std::chrono_literals;

// Asks `holds` every `interval` until it says yes or `timeout` has passed;
// whether it did.
bool pollUntil(const std::function<bool()>& holds, Milliseconds timeout, Milliseconds interval = 50ms);

// Looks that find nothing when the window has gone meanwhile (or, for the
// message box, none is shown).
std::optional<ControlInfo> shownControl(UiDriver& ui, WindowHandle dialog, int id);
std::optional<MessageBoxInfo> shownMessageBox(UiDriver& ui);
std::optional<WindowInfo> shownTransfer(UiDriver& ui);

// Dialog 101 once it is shown; it identifies the device meanwhile.
WindowInfo waitSelection(UiDriver& ui, Milliseconds guard = 10s);
// Whether dialog 101 has identified the device and takes input: the VB box is
// the last control the probe enables, so once it is, all are.
bool accepted(UiDriver& ui, WindowHandle selection);
// Looks every `interval` (0: as fast as uidriver answers, for a timing).
void waitForAcceptance(UiDriver& ui, WindowHandle selection, Milliseconds guard = 10s, Milliseconds interval = 50ms);

// The number a field shows (sizes and storage, in KB). Throws when the field
// shows anything but a plain unsigned number.
unsigned shownNumber(UiDriver& ui, WindowHandle dialog, int id);

// Clicks the chosen package boxes (VB, then MFC, as they stand in the dialog)
// and waits until each shows its tick and OK is usable.
void tick(UiDriver& ui, WindowHandle selection, bool mfc, bool vb, Milliseconds guard = 10s);

// Dialog 102 once it is shown.
WindowInfo waitTransfer(UiDriver& ui, Milliseconds guard = 10s);

// Presses OK on a message box as a person would, and waits until it has gone.
void answer(UiDriver& ui, const MessageBoxInfo& box, Milliseconds guard = 10s);

} // namespace setupdriver
