#include "setup_state.h"
#include "shell.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR commandLine, int showState) {
  (void)hPrevInstance;
  (void)commandLine;
  RegisterSetupClass(hInstance);
  LoadUiTexts();
  if (!RunSetupSequence(hInstance, showState)) return 0;
  // SetupWindow is gone by now and the quit request posted: the loop only
  // drains what is still queued.
  MSG message = {};
  while (GetMessageA(&message, NULL, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return (int)message.wParam;
}
