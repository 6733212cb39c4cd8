// The shell's own routines, in a process of their own: the UI texts loaded at
// start and the centring of the dialogs.
#include "resource.h"
#include "setup_state.h"
#include "shell.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(CenteredOrigin, TruncatesTowardZero) {
  struct Case {
    int screenWidth, screenHeight, windowWidth, windowHeight, x, y;
  } cases[] = {
      {1024, 768, 300, 200, 362, 284},
      {1024, 768, 301, 200, 361, 284},
      {640, 480, 645, 200, -2, 140}, // -5 / 2 is -2, not -3
      {640, 480, 640, 481, 0, 0},    // -1 / 2 is 0
      {1024, 768, 1024, 768, 0, 0},
  };
  for (const Case& c : cases) {
    POINT origin = CenteredOrigin(c.screenWidth, c.screenHeight, c.windowWidth, c.windowHeight);
    EXPECT_EQ(origin.x, c.x) << c.windowWidth << " wide on " << c.screenWidth;
    EXPECT_EQ(origin.y, c.y) << c.windowHeight << " high on " << c.screenHeight;
  }
}

TEST(CenterOnScreen, MovesARealWindowWithoutResizingIt) {
  ASSERT_EQ(GetSystemMetrics(SM_CXSCREEN), 1024);
  ASSERT_EQ(GetSystemMetrics(SM_CYSCREEN), 768);
  HWND window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 5, 7, 300, 200, NULL, NULL, NULL, NULL);
  ASSERT_NE(window, nullptr);
  CenterOnScreen(window);
  RECT rect;
  GetWindowRect(window, &rect);
  EXPECT_EQ(rect.left, 362);
  EXPECT_EQ(rect.top, 284);
  EXPECT_EQ(rect.right - rect.left, 300);
  EXPECT_EQ(rect.bottom - rect.top, 200);
  EXPECT_FALSE(IsWindowVisible(window));
  DestroyWindow(window);
}

TEST(LoadUiTexts, FillsEveryRoleFromTheJapaneseSetInCodePage932) {
  ASSERT_EQ(GetACP(), 932u) << "the tests run with the desktop code page of the product's users";
  LoadUiTexts();
  HINSTANCE module = GetModuleHandleA(NULL);
  // Each role holds its own entry of set 16000, as LoadStringA gives it.
  const struct {
    UiRole role;
    int entry;
  } roles[] = {
      {SetupOptionsTitle, 4},  {SelectComponentsLabel, 5}, {MemoryNeededLabel, 7}, {MemoryAvailableLabel, 8},
      {InvertSelectionsLabel, 9}, {OkLabel, 10},           {CancelLabel, 11},      {TransferTitle, 12},
      {FromLabel, 13},         {ToLabel, 14},              {WarningCaption, 15},   {ResetPromptText, 16},
      {ErrorCaption, 17},      {ConnectFailedText, 18},    {WrongVersionText, 19}, {LowStorageText, 20},
      {WrongLanguageText, 21}, {VbComponentLabel, 23},     {MfcComponentLabel, 24}, {AdoNoteLabel, 25},
      {TransferFailedText, 26},
  };
  ASSERT_EQ(sizeof roles / sizeof roles[0], size_t(UiRoleCount));
  for (const auto& r : roles) {
    char expected[UiTextBytes] = {};
    LoadStringA(module, IDS_JAPANESE_BASE + r.entry, expected, UiTextBytes);
    EXPECT_STRNE(expected, "") << "entry " << r.entry;
    EXPECT_STREQ(UiTextOf(r.role), expected) << "entry " << r.entry;
  }
  EXPECT_EQ(std::strlen(UiTextOf(ResetPromptText)), 58u);
  EXPECT_EQ(std::strlen(UiTextOf(ConnectFailedText)), 70u);
  EXPECT_NE(std::strstr(UiTextOf(ConnectFailedText), "\r\n"), nullptr);
  // Entry 6 is not a UI text: no buffer holds it.
  char colors[UiTextBytes] = {};
  ASSERT_GT(LoadStringA(module, IDS_JAPANESE_BASE + IDS_COLOR_DEPTH, colors, UiTextBytes), 0);
  for (int role = 0; role < UiRoleCount; ++role) EXPECT_STRNE(UiTextOf(UiRole(role)), colors);
}

} // namespace
