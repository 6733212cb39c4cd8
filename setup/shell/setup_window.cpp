#include "resource.h"
#include "selection_dialog.h"
#include "setup_state.h"
#include "shell.h"
#include "transfer_dialog.h"

static const char setupClassName[] = "SETUP";

void RegisterSetupClass(HINSTANCE hInstance) {
  WNDCLASSEXA windowClass;
  ZeroMemory(&windowClass, sizeof windowClass);
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = SetupWindowProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 0;
  windowClass.hInstance = hInstance;
  windowClass.hIcon = NULL;
  windowClass.hIconSm = NULL;
  windowClass.hCursor = LoadCursorA(NULL, MAKEINTRESOURCEA(32512)); // IDC_ARROW
  windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
  windowClass.lpszMenuName = NULL;
  windowClass.lpszClassName = setupClassName;
  // A failed registration shows up as a failed window creation.
  RegisterClassExA(&windowClass);
}

static void ShowTransferFailure() {
  // The format is the program's own text; the number is at most ten digits.
  char text[UiTextBytes + 16];
  wsprintfA(text, UiTextOf(TransferFailedText), (int)setupState.failedItems);
  MessageBoxA(setupState.hwndSetup, text, UiTextOf(ErrorCaption), MB_OK);
}

int RunSetupSequence(HINSTANCE hInstance, int showState) {
  (void)showState;
  setupState.hInstance = hInstance;
  // CreateWindowExA returns only after WM_CREATE, inside which the whole
  // selection dialog runs.
  HWND hwnd = CreateWindowExA(0, setupClassName, "SETUP", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL, hInstance, NULL);
  // Cancelled, or closed by the probe: the window was destroyed during its
  // own creation. No transfer after that.
  if (hwnd == NULL || !IsWindow(hwnd)) return 0;

  DialogBoxParamA(setupState.hInstance, MAKEINTRESOURCEA(IDD_TRANSFER), NULL, TransferDialog, 0);
  // Whatever the dialog returned (it cannot even have been created), only a
  // transfer that ran to its end earns the reset notice; one that could not
  // install everything says so first.
  if (setupState.transferDone) {
    if (setupState.failedItems > 0) ShowTransferFailure();
    MessageBoxA(setupState.hwndSetup, UiTextOf(ResetPromptText), UiTextOf(WarningCaption), MB_OK);
  }
  SendMessageA(setupState.hwndSetup, WM_CLOSE, 0, 0);
  return 1;
}

static LRESULT OnSetupCreate(HWND hwnd) {
  setupState.hwndSetup = hwnd;
  INT_PTR result =
      DialogBoxParamA(setupState.hInstance, MAKEINTRESOURCEA(IDD_SELECTION), NULL, SelectionDialog, 0);
  // Only an accepted selection goes on to the transfer. Cancel (1), and a
  // dialog that could not be created (-1), close the window, and so the
  // program: left open, nothing could ever close it.
  if (result != 0) SendMessageA(hwnd, WM_CLOSE, 0, 0);
  return 0;
}

static LRESULT OnSetupDestroy() {
  CeRapiUninit();
  PostQuitMessage(0);
  return 0;
}

LRESULT CALLBACK SetupWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
  case WM_CREATE:
    return OnSetupCreate(hwnd);
  case WM_DESTROY:
    return OnSetupDestroy();
  default:
    return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}
