#include "setup_driver.h"

#include <charconv>
#include <stdexcept>
#include <string>
#include <thread>

namespace setupdriver {

bool pollUntil(const std::function<bool()>& holds, Milliseconds timeout, Milliseconds interval) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (holds()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(interval);
  }
}

std::optional<ControlInfo> shownControl(UiDriver& ui, WindowHandle dialog, int id) {
  const uidriver::Answer answer = ui.request("control " + uidriver::handleArgument(dialog) + " " + std::to_string(id));
  if (!answer.ok || answer.records.size() != 1) return std::nullopt;
  return uidriver::toControlInfo(answer.records[0]);
}

std::optional<MessageBoxInfo> shownMessageBox(UiDriver& ui) {
  const uidriver::Answer answer = ui.request("msgbox");
  if (!answer.ok || answer.records.size() != 1) return std::nullopt;
  return uidriver::toMessageBoxInfo(answer.records[0]);
}

std::optional<WindowInfo> shownTransfer(UiDriver& ui) {
  const std::string title = transferTitle();
  for (const WindowInfo& window : ui.windows())
    if (window.visible && window.className == "#32770" && window.title == title) return window;
  return std::nullopt;
}

WindowInfo waitSelection(UiDriver& ui, Milliseconds guard) { return ui.waitDialog(setupOptionsTitle(), guard); }

bool accepted(UiDriver& ui, WindowHandle selection) {
  const auto box = shownControl(ui, selection, IDC_VB_COMPONENT);
  return box && box->enabled;
}

void waitForAcceptance(UiDriver& ui, WindowHandle selection, Milliseconds guard, Milliseconds interval) {
  if (!pollUntil([&] { return accepted(ui, selection); }, guard, interval))
    throw std::runtime_error("the selection dialog never became usable: the device was not identified");
}

unsigned shownNumber(UiDriver& ui, WindowHandle dialog, int id) {
  const std::string text = ui.control(dialog, id).text;
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size())
    throw std::runtime_error("control " + std::to_string(id) + " shows '" + text + "', not a number");
  return value;
}

void tick(UiDriver& ui, WindowHandle selection, bool mfc, bool vb, Milliseconds guard) {
  if (vb) ui.click(selection, IDC_VB_COMPONENT);
  if (mfc) ui.click(selection, IDC_MFC_COMPONENT);
  // A box shows its tick once its click has been handled, OK's state with it.
  auto ticked = [&](int id) {
    const auto box = shownControl(ui, selection, id);
    return box && box->checked == 1;
  };
  auto okUsable = [&] {
    const auto ok = shownControl(ui, selection, kOk);
    return ok && ok->enabled;
  };
  if (!pollUntil([&] { return (!vb || ticked(IDC_VB_COMPONENT)) && (!mfc || ticked(IDC_MFC_COMPONENT)) && okUsable(); },
                 guard))
    throw std::runtime_error("the package ticks never took, or OK of the selection dialog never became usable");
}

WindowInfo waitTransfer(UiDriver& ui, Milliseconds guard) { return ui.waitDialog(transferTitle(), guard); }

void answer(UiDriver& ui, const MessageBoxInfo& box, Milliseconds guard) {
  ui.dismiss(box.hwnd);
  ui.waitGone(box.hwnd, guard);
}

} // namespace setupdriver
