// uidriver against its own test subject under Wine: what it reports, what it
// clicks and refuses to click, message boxes, the program's end, and that the
// program never outlives the driver.
#include "e2e_fixture.h"

#include <algorithm>
#include <fstream>

namespace e2e {
namespace {

constexpr int kOption = 1001, kDisabled = 1002, kHidden = 1003, kShowMessage = 1004, kStatus = 1005, kExitSeven = 1006,
              kGroup = 1007, kEnable = 1008, kCancel = 2;
// Button styles as the platform numbers them.
constexpr uint32_t kAutoCheckBox = 0x3, kGroupBox = 0x7, kTypeMask = 0xF;

class UiDriverTest : public E2eTest {
protected:
  UiDriver& startTarget() { return startProgram(Binaries::testTarget(), scratch()); }
  WindowInfo targetDialog() { return driver().waitDialog(cp932("テスト ﾀｰｹﾞｯﾄ ")); }
  std::string statusText(const WindowInfo& dialog) { return driver().control(dialog.hwnd, kStatus).textUtf8; }
};

TEST_F(UiDriverTest, ListsTheProgramsWindowsShownOrNot) {
  startTarget();
  const WindowInfo dialog = targetDialog();
  EXPECT_EQ(dialog.className, "#32770");
  EXPECT_EQ(dialog.title, "\x83\x65\x83\x58\x83\x67\x20\xC0\xB0\xB9\xDE\xAF\xC4\x20")
      << "the title as code page 932 bytes, trailing blank included";
  EXPECT_EQ(dialog.titleUtf8, "テスト ﾀｰｹﾞｯﾄ ");
  EXPECT_TRUE(dialog.visible);
  EXPECT_TRUE(dialog.enabled);
  EXPECT_EQ(dialog.owner, 0u);
  // Centred by the program itself on Wine's 1024 x 768 screen.
  EXPECT_EQ(dialog.rect.left, (1024 - dialog.rect.width()) / 2);
  EXPECT_EQ(dialog.rect.top, (768 - dialog.rect.height()) / 2);

  const auto windows = driver().windows();
  auto main = std::find_if(windows.begin(), windows.end(), [](auto& w) { return w.className == "TARGETMAIN"; });
  ASSERT_NE(main, windows.end()) << "the hidden main window is listed too";
  EXPECT_FALSE(main->visible);
  EXPECT_EQ(main->rect.left, 0);
  EXPECT_EQ(main->rect.top, 0);
  for (const auto& w : windows) {
    if (w.visible) {
      EXPECT_EQ(w.hwnd, dialog.hwnd) << "only the dialog is shown, not " << w.className;
    }
  }

  // A hidden window is found only when asked for.
  WindowQuery hiddenMain{std::nullopt, "TARGETMAIN", true};
  EXPECT_EQ(driver().waitWindow(hiddenMain, 2s).hwnd, main->hwnd);
  Answer shownOnly = driver().request("wait-window class=\"TARGETMAIN\" timeout=200");
  EXPECT_FALSE(shownOnly.ok);
  EXPECT_NE(shownOnly.error.find("within 200 ms"), std::string::npos) << shownOnly.error;
  EXPECT_NE(shownOnly.error.find("テスト"), std::string::npos) << "the reason names what is shown: " << shownOnly.error;
}

TEST_F(UiDriverTest, ListsControlsInTabOrderWithTheirStyleAndState) {
  startTarget();
  const WindowInfo dialog = targetDialog();
  const auto controls = driver().controls(dialog.hwnd);
  std::vector<int> ids;
  for (const auto& c : controls) ids.push_back(c.id);
  EXPECT_EQ(ids, (std::vector<int>{kOption, kDisabled, kHidden, kShowMessage, kEnable, kStatus, -1, kGroup, kExitSeven,
                                   kCancel}));

  const ControlInfo option = driver().control(dialog.hwnd, kOption);
  EXPECT_EQ(option.className, "Button");
  EXPECT_EQ(option.style & kTypeMask, kAutoCheckBox);
  ASSERT_TRUE(option.checked);
  EXPECT_EQ(*option.checked, 0);
  EXPECT_EQ(option.textUtf8, "Option");
  // Client coordinates are inside the dialog, screen ones are not.
  EXPECT_EQ(option.client.width(), option.rect.width());
  EXPECT_LT(option.client.left, option.rect.left);
  EXPECT_GT(option.rect.left, dialog.rect.left);

  EXPECT_FALSE(driver().control(dialog.hwnd, kDisabled).enabled);
  EXPECT_FALSE(driver().control(dialog.hwnd, kHidden).visible);
  EXPECT_FALSE(driver().control(dialog.hwnd, kShowMessage).checked) << "a push button has no check state";
  EXPECT_EQ(driver().control(dialog.hwnd, kGroup).style & kTypeMask, kGroupBox);
  EXPECT_EQ(driver().control(dialog.hwnd, -1).text, "KB");
  EXPECT_EQ(statusText(dialog), "ready");
}

TEST_F(UiDriverTest, ClicksACheckBoxAsAPersonWould) {
  startTarget();
  const WindowInfo dialog = targetDialog();
  auto checked = [&] { return driver().control(dialog.hwnd, kOption).checked.value_or(-1); };
  driver().click(dialog.hwnd, kOption);
  EXPECT_TRUE(waitUntil([&] { return checked() == 1; })) << "an automatic check box ticks itself when clicked";
  driver().click(dialog.hwnd, kOption);
  EXPECT_TRUE(waitUntil([&] { return checked() == 0; }));
}

TEST_F(UiDriverTest, RefusesWhatAPersonCannotClick) {
  startTarget();
  const WindowInfo dialog = targetDialog();
  auto refusal = [&](int id) {
    Answer answer = driver().tryClick(dialog.hwnd, id);
    EXPECT_FALSE(answer.ok) << "control " << id;
    return answer.error;
  };
  EXPECT_NE(refusal(kDisabled).find("is disabled"), std::string::npos);
  EXPECT_NE(refusal(kHidden).find("is hidden"), std::string::npos);
  EXPECT_NE(refusal(kStatus).find("not a button"), std::string::npos);
  EXPECT_NE(refusal(kGroup).find("group box"), std::string::npos);
  EXPECT_NE(refusal(4242).find("has no control 4242"), std::string::npos);
  EXPECT_EQ(statusText(dialog), "ready") << "a refused click reaches nothing";

  // Once the program enables it, the same button is clicked.
  driver().click(dialog.hwnd, kEnable);
  ASSERT_TRUE(waitUntil([&] { return driver().control(dialog.hwnd, kDisabled).enabled; }));
  driver().click(dialog.hwnd, kDisabled);
  EXPECT_TRUE(waitUntil([&] { return statusText(dialog) == "disabled button clicked"; }));
}

TEST_F(UiDriverTest, AClickThatOpensAMessageBoxReturnsAtOnce) {
  startTarget();
  const WindowInfo dialog = targetDialog();
  driver().click(dialog.hwnd, kShowMessage); // would hang here if the click were sent, not posted
  const MessageBoxInfo box = driver().waitMessageBox();
  EXPECT_EQ(box.caption, cp932("確認 "));
  EXPECT_EQ(box.text, cp932("続行するにはOKを押してください。\r\n2行目"));
  EXPECT_EQ(box.textUtf8, "続行するにはOKを押してください。\r\n2行目");
  EXPECT_EQ(box.owner, dialog.hwnd);
  EXPECT_EQ(box.buttons, (std::vector<int>{1})) << "MB_OK: one button, IDOK";
  EXPECT_EQ(driver().messageBox().hwnd, box.hwnd);

  // The box is modal: its owner takes no clicks and cannot be closed meanwhile.
  Answer blocked = driver().tryClick(dialog.hwnd, kOption);
  EXPECT_FALSE(blocked.ok);
  EXPECT_NE(blocked.error.find("modal"), std::string::npos) << blocked.error;
  EXPECT_FALSE(driver().request("close " + handleArgument(dialog.hwnd)).ok);
  EXPECT_FALSE(driver().request("msgbox " + handleArgument(dialog.hwnd)).ok) << "a dialog is not a message box";

  driver().dismiss();
  driver().waitGone(box.hwnd);
  EXPECT_TRUE(waitUntil([&] { return statusText(dialog) == "message dismissed"; }));
  Answer none = driver().request("msgbox");
  EXPECT_FALSE(none.ok);
  EXPECT_NE(none.error.find("no message box"), std::string::npos);
}

TEST_F(UiDriverTest, ClosingFromTheCaptionEndsTheDialogAndTheExitCodeIsReported) {
  startTarget();
  const WindowInfo dialog = targetDialog();
  driver().close(dialog.hwnd);
  EXPECT_EQ(driver().waitExit(), 2u) << "a dialog closed from its caption gets IDCANCEL";
  EXPECT_TRUE(driver().windows().empty());
  EXPECT_FALSE(driver().programRunning());
  // A wait for a window of an ended program fails at once, with the reason.
  const auto asked = std::chrono::steady_clock::now();
  Answer late = driver().request("wait-window timeout=20000");
  EXPECT_FALSE(late.ok);
  EXPECT_NE(late.error.find("has ended (exit code 2)"), std::string::npos) << late.error;
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 10s);
}

TEST_F(UiDriverTest, ReportsTheProgramsOwnExitCode) {
  startTarget();
  driver().click(targetDialog().hwnd, kExitSeven);
  EXPECT_EQ(driver().waitExit(), 7u);
}

TEST_F(UiDriverTest, WaitingForAnExitThatDoesNotComeTimesOut) {
  startTarget();
  targetDialog();
  Answer answer = driver().request("wait-exit timeout=300");
  EXPECT_FALSE(answer.ok);
  EXPECT_NE(answer.error.find("still runs after 300 ms"), std::string::npos) << answer.error;
  EXPECT_TRUE(driver().programRunning());
}

TEST_F(UiDriverTest, QuitEndsTheProgramWithTheDriver) {
  startTarget();
  targetDialog();
  EXPECT_EQ(startedProgramsRunning().size(), 2u) << "the driver and its program run";
  driver().quit();
  EXPECT_FALSE(driver().driverRunning());
  EXPECT_TRUE(waitUntil([&] { return startedProgramsRunning().empty(); }));
}

TEST_F(UiDriverTest, TheProgramDoesNotOutliveAKilledDriver) {
  startTarget();
  targetDialog();
  ASSERT_EQ(startedProgramsRunning().size(), 2u);
  driver().kill(); // as a crash would: no quit, no end of input first
  EXPECT_TRUE(waitUntil([&] { return startedProgramsRunning().empty(); }))
      << "the job object ends the program when the driver is gone";
}

TEST_F(UiDriverTest, BadRequestsAreAnsweredAndTheDriverGoesOn) {
  startTarget();
  const WindowInfo dialog = targetDialog();
  const std::string bad[] = {
      "frobnicate",
      "controls",
      "controls 0xZZ",
      "controls 0x1 extra",
      "control " + handleArgument(dialog.hwnd) + " one",
      "wait-window timeout=600001",
      "wait-window colour=red",
      "wait-window title=\"unterminated",
      "wait-window title=x:123",
      "click 0x1 1",
      "status now",
      "timeout=5",
  };
  for (const auto& request : bad) {
    Answer answer = driver().request(request);
    EXPECT_FALSE(answer.ok) << request;
    EXPECT_FALSE(answer.error.empty()) << request << " is refused with a reason";
  }
  EXPECT_EQ(driver().windows().size() >= 2, true) << "the driver still answers";
}

TEST_F(UiDriverTest, AProgramThatCannotStartIsReported) {
  const fs::path notAProgram = scratch() / "not-a-program.exe";
  { std::ofstream(notAProgram) << "this is text, not a program"; }
  try {
    startProgram(notAProgram, scratch());
    FAIL() << "the driver started a text file";
  } catch (const UiDriverError& error) {
    EXPECT_NE(std::string(error.what()).find("cannot start"), std::string::npos) << error.what();
  }
}

} // namespace
} // namespace e2e
