// The setup program's spine, end to end: the two dialogs in their order, the
// reset notice, the ways out (Cancel, closing from the caption), the hidden
// main window, and what the device saw of it all.
#include "setup_scenario.h"

#include <algorithm>
#include <map>

namespace e2e {
namespace {

std::vector<PackageFile> samplePackages() {
  return {{"Japanese/MFC/mfcce211.dll", 3000},
          {"Japanese/VB/vbscript.dll", 5000},
          {"Japanese/ADO/adoce.dll", 2000},
          {"English/MFC/mfcce211.dll", 3000}};
}

class ShellScenario : public E2eTest {
protected:
  // A device that answers at once, packages in place, and the program started.
  void start(const DeviceSettings& settings = {}) {
    startDevice(settings);
    makePackages(samplePackages());
    startSetup();
  }

  WindowInfo selectionDialog() { return waitSelection(driver()); }

  // The program connects as dialog 101 opens; a person who acts on the dialog
  // does so once it took its connection.
  void waitForConnection() {
    if (!waitForOpLog([](auto& log) { return countOf(log, "connect") >= 1; }))
      throw std::runtime_error("the program never connected to the device");
  }

  // Lets the device go on with the call it holds, once it holds it.
  void releaseHeldCall() {
    ASSERT_TRUE(waitForOpLog([](auto& log) { return !log.empty() && pspc::field(log.back(), "op") == "hold"; }))
        << "the device never held the call";
    ASSERT_EQ(controlDevice("release").rfind("ok", 0), 0u);
  }

  // Ticks the MFC package and confirms the selection.
  void chooseMfcAndConfirm(const WindowInfo& dialog) {
    waitForAcceptance(driver(), dialog.hwnd);
    driver().click(dialog.hwnd, IDC_MFC_COMPONENT);
    if (!waitUntil([&] { return driver().control(dialog.hwnd, kOk).enabled; }))
      throw std::runtime_error("OK of the selection dialog never became usable");
    driver().click(dialog.hwnd, kOk);
  }

  // The connections the device saw end, once all `expected` have ended.
  std::vector<pspc::FlatJson> endedConnections(size_t expected) {
    EXPECT_TRUE(waitForOpLog([&](auto& log) { return countOf(log, "disconnect") >= expected; }))
        << "the device saw fewer than " << expected << " connections end";
    return opRecords("disconnect");
  }

  static void expectCentred(const WindowInfo& dialog) {
    // Wine's headless screen is 1024 x 768.
    EXPECT_EQ(dialog.rect.left, (1024 - dialog.rect.width()) / 2) << dialog.titleUtf8;
    EXPECT_EQ(dialog.rect.top, (768 - dialog.rect.height()) / 2) << dialog.titleUtf8;
  }
};

TEST_F(ShellScenario, CancelInTheSelectionEndsTheProgramAndItsConnectionOnce) {
  start();
  const WindowInfo selection = selectionDialog();
  waitForAcceptance(driver(), selection.hwnd);
  driver().click(selection.hwnd, kCancel);
  EXPECT_EQ(driver().waitExit(), 0u);

  const auto ended = endedConnections(1);
  ASSERT_EQ(ended.size(), 1u) << "the connection ends once";
  EXPECT_EQ(pspc::field(ended[0], "reason"), kLinkClosedByDesktop);
  const auto connects = opRecords("connect");
  ASSERT_EQ(connects.size(), 1u) << "no renewed connection: the transfer never began";
  EXPECT_EQ(pspc::field(ended[0], "conn"), pspc::field(connects[0], "conn"));
  EXPECT_TRUE(opRecords("CeDeleteFile").empty()) << "the transfer dialog's worker never ran";
}

TEST_F(ShellScenario, ClosingTheSelectionFromItsCaptionActsAsCancel) {
  start();
  const WindowInfo selection = selectionDialog();
  waitForConnection();
  driver().close(selection.hwnd);
  EXPECT_EQ(driver().waitExit(), 0u);

  const auto ended = endedConnections(1);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(pspc::field(ended[0], "reason"), kLinkClosedByDesktop);
  EXPECT_EQ(opRecords("connect").size(), 1u);
  EXPECT_TRUE(opRecords("CeDeleteFile").empty());
}

TEST_F(ShellScenario, ACompletedRunEndsWithTheResetNotice) {
  start();
  const WindowInfo selection = selectionDialog();
  waitForAcceptance(driver(), selection.hwnd);
  // The first file's creation is held: the transfer dialog stays up to be seen.
  ASSERT_EQ(controlDevice("fault hold:CeCreateFile:1").rfind("ok", 0), 0u);
  chooseMfcAndConfirm(selection);

  const WindowInfo transfer = waitTransfer(driver());
  EXPECT_EQ(transfer.owner, 0u) << "the transfer dialog is a top-level window of its own";
  expectCentred(transfer);
  releaseHeldCall();
  driver().waitGone(transfer.hwnd, 30s); // it closes by itself once its worker is done

  const MessageBoxInfo notice = driver().waitMessageBox();
  EXPECT_EQ(notice.caption, warningCaption());
  EXPECT_EQ(notice.text, resetPromptText());
  EXPECT_EQ(notice.text.size(), 58u);
  EXPECT_EQ(notice.buttons, (std::vector<int>{kOk})) << "MB_OK: the OK button only";
  const auto windows = driver().windows();
  auto setupWindow = std::find_if(windows.begin(), windows.end(), [](auto& w) { return w.className == "SETUP"; });
  ASSERT_NE(setupWindow, windows.end()) << "the hidden main window still exists while the notice is shown";
  EXPECT_EQ(notice.owner, setupWindow->hwnd) << "the notice belongs to the hidden main window";
  EXPECT_FALSE(setupWindow->visible);
  for (const auto& w : windows) {
    if (w.visible) {
      EXPECT_EQ(w.hwnd, notice.hwnd) << "shown besides the notice: " << w.className << " " << w.titleUtf8;
    }
  }

  driver().dismiss();
  EXPECT_EQ(driver().waitExit(), 0u);

  // What the device saw: the renewed connection deleted twelve staged files.
  const auto deletes = opRecords("CeDeleteFile");
  EXPECT_EQ(deletes.size(), 12u);
  for (const auto& record : deletes) EXPECT_EQ(pspc::field(record, "path").value_or("").rfind("\\temp\\", 0), 0u);
  EXPECT_EQ(opRecords("connect").size(), 2u) << "the worker renews the connection once";
  for (const auto& record : endedConnections(2)) EXPECT_EQ(pspc::field(record, "reason"), kLinkClosedByDesktop);
}

TEST_F(ShellScenario, CancelDuringTheTransferEndsWithoutTheNotice) {
  start();
  const WindowInfo selection = selectionDialog();
  waitForConnection();
  // The worker's calls take seconds now: time to cancel while it runs.
  ASSERT_EQ(controlDevice("delay 500").rfind("ok", 0), 0u);
  chooseMfcAndConfirm(selection);
  const WindowInfo transfer = waitTransfer(driver());
  driver().click(transfer.hwnd, kCancel);
  // A reset notice would be modal and wait for a person: the program could not end.
  EXPECT_EQ(driver().waitExit(), 0u);
}

TEST_F(ShellScenario, TheMainWindowIsNeverShown) {
  start();
  const WindowInfo selection = selectionDialog();
  const auto windows = driver().windows();
  auto setupWindow = std::find_if(windows.begin(), windows.end(), [](auto& w) { return w.className == "SETUP"; });
  ASSERT_NE(setupWindow, windows.end()) << "a window of class SETUP exists while dialog 101 is open";
  EXPECT_FALSE(setupWindow->visible);
  EXPECT_EQ(setupWindow->titleUtf8, "SETUP");
  // Created at (0, 0) with size 0 x 0; the platform gives an overlapped window
  // at least its minimum tracking size, so only the position is the program's.
  EXPECT_EQ(setupWindow->rect.left, 0);
  EXPECT_EQ(setupWindow->rect.top, 0);
  for (const auto& w : windows) {
    if (w.visible) {
      EXPECT_EQ(w.hwnd, selection.hwnd) << "shown besides dialog 101: " << w.className << " " << w.titleUtf8;
    }
  }
}

TEST_F(ShellScenario, TheSelectionDialogHasNoOwnerAndIsCentred) {
  start();
  const WindowInfo selection = selectionDialog();
  EXPECT_EQ(selection.owner, 0u);
  EXPECT_EQ(selection.title, setupOptionsTitle());
  expectCentred(selection);
}

// Every text of a dialog by control id, as code page 932 bytes.
std::map<int, std::string> textsById(UiDriver& driver, WindowHandle dialog) {
  std::map<int, std::string> texts;
  std::vector<std::string> kbLabels;
  for (const ControlInfo& c : driver.controls(dialog)) {
    if (c.id == -1 || c.id == 0xFFFF) kbLabels.push_back(c.text);
    else texts[c.id] = c.text;
  }
  // Dialog 101 has four "KB" labels, dialog 102 none; theirs stay as the template has them.
  for (const std::string& label : kbLabels) EXPECT_EQ(label, "KB");
  EXPECT_TRUE(kbLabels.empty() || kbLabels.size() == 4u) << kbLabels.size();
  return texts;
}

TEST_F(ShellScenario, BothDialogsShowTheLoadedJapaneseTextsNotTheTemplateTexts) {
  // The device holds the probe's start of its tool: the sizes are not filled
  // in while the texts are read.
  DeviceSettings held;
  held.faults = {"hold:CeCreateProcess:1"};
  start(held);
  const WindowInfo selection = selectionDialog();
  const auto selectionTexts = textsById(driver(), selection.hwnd);
  const std::map<int, std::string> expected = {
      {IDC_VB_COMPONENT, uiText(IDS_VB_COMPONENT_LABEL)},
      {IDC_MFC_COMPONENT, uiText(IDS_MFC_COMPONENT_LABEL)},
      {IDC_INVERT_SELECTIONS, uiText(IDS_INVERT_SELECTIONS_LABEL)},
      {kOk, uiText(IDS_OK_LABEL)},
      {kCancel, uiText(IDS_CANCEL_LABEL)},
      {IDC_COMPONENTS_GROUP, uiText(IDS_SELECT_COMPONENTS_LABEL)},
      {IDC_MEMORY_AVAILABLE_LABEL, uiText(IDS_MEMORY_AVAILABLE_LABEL)},
      {IDC_MEMORY_NEEDED_LABEL, uiText(IDS_MEMORY_NEEDED_LABEL)},
      {IDC_ADO_NOTE, uiText(IDS_ADO_NOTE_LABEL)},
      // The number fields keep the template's "0" until the device is measured.
      {IDC_MEMORY_NEEDED, "0"},
      {IDC_MEMORY_AVAILABLE, "0"},
      {IDC_MFC_SIZE, "0"},
      {IDC_VB_SIZE, "0"},
  };
  for (const auto& [id, text] : expected) EXPECT_EQ(selectionTexts.at(id), text) << "control " << id;
  EXPECT_EQ(selectionTexts.size(), expected.size());

  releaseHeldCall();
  waitForAcceptance(driver(), selection.hwnd);
  // The first file's creation is held: no file is on its way yet.
  ASSERT_EQ(controlDevice("fault hold:CeCreateFile:1").rfind("ok", 0), 0u);
  chooseMfcAndConfirm(selection);
  const WindowInfo transfer = waitTransfer(driver());
  const auto transferTexts = textsById(driver(), transfer.hwnd);
  EXPECT_EQ(transferTexts.at(IDC_FROM_LABEL), uiText(IDS_FROM_LABEL));
  EXPECT_EQ(transferTexts.at(IDC_TO_LABEL), uiText(IDS_TO_LABEL));
  EXPECT_EQ(transferTexts.at(kCancel), uiText(IDS_CANCEL_LABEL));
  // Source and destination stay empty until a file is on its way.
  EXPECT_EQ(transferTexts.at(IDC_SOURCE_PATH), "");
  EXPECT_EQ(transferTexts.at(IDC_DESTINATION_PATH), "");
}

TEST_F(ShellScenario, ADialogThatCannotBeCreatedEndsTheProgramCleanly) {
  // A build whose resources lack the dialog templates: DialogBoxParamA fails.
  startDevice();
  makePackages(samplePackages());
  startProgram(Binaries::win64Bin() / "setup_without_dialogs.exe", packageDir());
  EXPECT_EQ(driver().waitExit(), 0u);
  EXPECT_TRUE(opRecords("connect").empty()) << "no dialog, no probe: the device was never asked";
  EXPECT_TRUE(opRecords("CeDeleteFile").empty()) << "no transfer";
}

} // namespace
} // namespace e2e
