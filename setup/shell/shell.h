// The application shell: entry, the hidden SetupWindow, the fixed order of the
// two dialogs, the reset notice and shutdown.
#pragma once

#include <windows.h>

void RegisterSetupClass(HINSTANCE hInstance);
// Loads the UI texts of the Japanese set into setupState.uiText.
void LoadUiTexts();
// 1: run the message loop; 0: end at once.
int RunSetupSequence(HINSTANCE hInstance, int showState);
LRESULT CALLBACK SetupWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Moves a top-level window to the centre of the primary screen, its size unchanged.
void CenterOnScreen(HWND hwnd);
// The top-left corner that centres a window of the given size on a screen of
// the given size: signed 32-bit arithmetic, quotients truncated toward zero.
POINT CenteredOrigin(int screenWidth, int screenHeight, int windowWidth, int windowHeight);
