#include "selection_dialog.h"

#include "device_probe.h"
#include "resource.h"
#include "setup_state.h"
#include "shell.h"

static BOOL OnSelectionInit(HWND hwnd) {
  SetWindowTextA(hwnd, UiTextOf(SetupOptionsTitle));
  SetDlgItemTextA(hwnd, IDC_COMPONENTS_GROUP, UiTextOf(SelectComponentsLabel));
  SetDlgItemTextA(hwnd, IDC_MEMORY_NEEDED_LABEL, UiTextOf(MemoryNeededLabel));
  SetDlgItemTextA(hwnd, IDC_MFC_COMPONENT, UiTextOf(MfcComponentLabel));
  SetDlgItemTextA(hwnd, IDC_VB_COMPONENT, UiTextOf(VbComponentLabel));
  SetDlgItemTextA(hwnd, IDC_ADO_NOTE, UiTextOf(AdoNoteLabel));
  SetDlgItemTextA(hwnd, IDC_MEMORY_AVAILABLE_LABEL, UiTextOf(MemoryAvailableLabel));
  SetDlgItemTextA(hwnd, IDC_INVERT_SELECTIONS, UiTextOf(InvertSelectionsLabel));
  SetDlgItemTextA(hwnd, IDOK, UiTextOf(OkLabel));
  SetDlgItemTextA(hwnd, IDCANCEL, UiTextOf(CancelLabel));
  SendDlgItemMessageA(hwnd, IDC_MFC_COMPONENT, BM_SETCHECK, BST_UNCHECKED, 0);
  SendDlgItemMessageA(hwnd, IDC_VB_COMPONENT, BM_SETCHECK, BST_UNCHECKED, 0);
  CenterOnScreen(hwnd);
  StartDeviceProbe(hwnd);
  return TRUE;
}

static void OnSelectionOk(HWND hwnd) {
  setupState.installMfc = SendDlgItemMessageA(hwnd, IDC_MFC_COMPONENT, BM_GETCHECK, 0, 0) != 0 ? 1 : 0;
  setupState.installVb = SendDlgItemMessageA(hwnd, IDC_VB_COMPONENT, BM_GETCHECK, 0, 0) != 0 ? 1 : 0;
  EndDialog(hwnd, 0);
}

INT_PTR CALLBACK SelectionDialog(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (message) {
  case WM_INITDIALOG:
    return OnSelectionInit(hwnd);
  case WM_COMMAND:
    switch (LOWORD(wParam)) {
    case IDOK:
      OnSelectionOk(hwnd);
      break;
    case IDCANCEL:
      EndDialog(hwnd, 1);
      break;
    }
    return TRUE;
  default:
    return FALSE;
  }
}
