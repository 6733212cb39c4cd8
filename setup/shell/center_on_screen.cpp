#include "shell.h"

POINT CenteredOrigin(int screenWidth, int screenHeight, int windowWidth, int windowHeight) {
  // C++ division truncates toward zero: a window wider than the screen gets
  // a negative left edge rounded toward zero, not floored.
  POINT origin;
  origin.x = (screenWidth - windowWidth) / 2;
  origin.y = (screenHeight - windowHeight) / 2;
  return origin;
}

void CenterOnScreen(HWND hwnd) {
  int screenWidth = GetSystemMetrics(SM_CXSCREEN);
  int screenHeight = GetSystemMetrics(SM_CYSCREEN);
  RECT rect = {0, 0, 0, 0};
  GetWindowRect(hwnd, &rect);
  int width = rect.right - rect.left;
  int height = rect.bottom - rect.top;
  POINT origin = CenteredOrigin(screenWidth, screenHeight, width, height);
  MoveWindow(hwnd, origin.x, origin.y, width, height, FALSE);
}
