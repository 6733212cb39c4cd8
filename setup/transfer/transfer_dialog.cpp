#include "transfer_dialog.h"

#include "resource.h"
#include "setup_state.h"
#include "shell.h"

// Runtime files left staged in the device's \temp\ folder, deleted in this order.
static const WCHAR* const StagedFiles[] = {
    L"\\temp\\atlce211.dll",  L"\\temp\\mfcce211.dll", L"\\temp\\olece211.dll", L"\\temp\\adoce.dll",
    L"\\temp\\adocedb.dll",   L"\\temp\\adoceres.dll", L"\\temp\\adosync.dll",  L"\\temp\\pvbform2.dll",
    L"\\temp\\pvbhost2.dll",  L"\\temp\\pvbload.exe",  L"\\temp\\vbscript.dll", L"\\temp\\vbsen.dll",
};

int DeleteStagedFiles() {
  for (const WCHAR* path : StagedFiles) CeDeleteFile(path);
  return 1;
}

DWORD WINAPI TransferWorker(LPVOID parameter) {
  (void)parameter;
  // Renew the device connection, then clean up.
  CeRapiUninit();
  CeRapiInit();
  DeleteStagedFiles();
  setupState.transferDone = 1;
  SendMessageA(setupState.hwndTransfer, WM_CLOSE, 0, 0);
  ExitThread(0);
}

static BOOL OnTransferInit(HWND hwnd) {
  SetWindowTextA(hwnd, UiTextOf(TransferTitle));
  SetDlgItemTextA(hwnd, IDC_FROM_LABEL, UiTextOf(FromLabel));
  SetDlgItemTextA(hwnd, IDC_TO_LABEL, UiTextOf(ToLabel));
  SetDlgItemTextA(hwnd, IDCANCEL, UiTextOf(CancelLabel));
  setupState.hwndTransfer = hwnd;
  CenterOnScreen(hwnd);
  HANDLE worker = CreateThread(NULL, 0, TransferWorker, NULL, 0, NULL);
  if (worker != NULL) CloseHandle(worker);
  return TRUE;
}

INT_PTR CALLBACK TransferDialog(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (message) {
  case WM_INITDIALOG:
    return OnTransferInit(hwnd);
  case WM_COMMAND:
    if (LOWORD(wParam) == IDCANCEL) EndDialog(hwnd, 1);
    return TRUE;
  default:
    return FALSE;
  }
}
