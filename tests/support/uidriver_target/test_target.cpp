// The driver's test subject. Laid out like the setup program: a hidden main
// window (class "TARGETMAIN", never shown, created at 0, 0 with size 0 x 0)
// and a modal dialog without an owner, centred on the screen, whose title and
// message box are Japanese so that the driver's code page 932 bytes can be
// checked. The program's exit code is the dialog's result: 2 for Cancel (or
// closing from the caption), 7 for "Exit 7".
#include "test_target_res.h"

#include <windows.h>

namespace {

const wchar_t kTitle[] = L"テスト ﾀｰｹﾞｯﾄ ";
const wchar_t kMessageCaption[] = L"確認 ";
const wchar_t kMessageText[] = L"続行するにはOKを押してください。\r\n2行目";

void centre(HWND dialog) {
  RECT r{};
  GetWindowRect(dialog, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  MoveWindow(dialog, (GetSystemMetrics(SM_CXSCREEN) - width) / 2, (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width,
             height, FALSE);
}

INT_PTR CALLBACK targetDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
  case WM_INITDIALOG:
    SetWindowTextW(dialog, kTitle);
    SetDlgItemTextW(dialog, IDC_STATUS, L"ready");
    centre(dialog);
    return TRUE;
  case WM_COMMAND:
    switch (LOWORD(wParam)) {
    case IDC_SHOW_MESSAGE:
      SetDlgItemTextW(dialog, IDC_STATUS, L"message shown");
      MessageBoxW(dialog, kMessageText, kMessageCaption, MB_OK);
      SetDlgItemTextW(dialog, IDC_STATUS, L"message dismissed");
      return TRUE;
    case IDC_ENABLE:
      EnableWindow(GetDlgItem(dialog, IDC_DISABLED), TRUE);
      return TRUE;
    case IDC_DISABLED:
      SetDlgItemTextW(dialog, IDC_STATUS, L"disabled button clicked");
      return TRUE;
    case IDC_EXIT_SEVEN:
      EndDialog(dialog, 7);
      return TRUE;
    case IDCANCEL:
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    }
    break;
  }
  return FALSE;
}

LRESULT CALLBACK mainWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = mainWindow;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"TARGETMAIN";
  RegisterClassExW(&windowClass);
  HWND main = CreateWindowExW(0, L"TARGETMAIN", L"TARGETMAIN", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr, nullptr,
                              instance, nullptr);
  INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_TARGET), nullptr, targetDialog, 0);
  if (main) DestroyWindow(main);
  return int(result);
}
