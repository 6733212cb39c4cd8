#include "selection_dialog.h"

#include "component_sizes.h"
#include "device_probe.h"
#include "resource.h"
#include "setup_state.h"
#include "shell.h"

static bool IsTicked(HWND hwnd, int box) { return SendDlgItemMessageA(hwnd, box, BM_GETCHECK, 0, 0) != 0; }

void UpdateNeededMemory(HWND hwnd) {
  const ComponentSizes& sizes = setupState.componentSizes;
  DWORD mfc = IsTicked(hwnd, IDC_MFC_COMPONENT) ? sizes.mfcKb : 0;
  DWORD vb = IsTicked(hwnd, IDC_VB_COMPONENT) ? sizes.vbKb : 0;
  // ADO is counted once, and only with a ticked package of a size of its own.
  DWORD needed = (mfc == 0 && vb == 0) ? 0 : sizes.adoKb + mfc + vb;
  SetDlgItemInt(hwnd, IDC_MEMORY_NEEDED, needed, FALSE);
}

void UpdateOkButton(HWND hwnd) {
  BOOL ticked = IsTicked(hwnd, IDC_MFC_COMPONENT) || IsTicked(hwnd, IDC_VB_COMPONENT);
  EnableWindow(GetDlgItem(hwnd, IDOK), ticked);
}

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

static void OnInvertSelections(HWND hwnd) {
  static const int boxes[] = {IDC_MFC_COMPONENT, IDC_VB_COMPONENT};
  for (int box : boxes)
    SendDlgItemMessageA(hwnd, box, BM_SETCHECK, IsTicked(hwnd, box) ? BST_UNCHECKED : BST_CHECKED, 0);
  UpdateOkButton(hwnd);
  UpdateNeededMemory(hwnd);
}

static void OnSelectionOk(HWND hwnd) {
  // The comparison uses the device's storage as it is now.
  SetDlgItemInt(hwnd, IDC_MEMORY_AVAILABLE, FreeStorageKb(), FALSE);
  UINT available = GetDlgItemInt(hwnd, IDC_MEMORY_AVAILABLE, NULL, FALSE);
  UINT needed = GetDlgItemInt(hwnd, IDC_MEMORY_NEEDED, NULL, FALSE);
  if (needed < available) {
    setupState.installMfc = IsTicked(hwnd, IDC_MFC_COMPONENT) ? 1 : 0;
    setupState.installVb = IsTicked(hwnd, IDC_VB_COMPONENT) ? 1 : 0;
    EndDialog(hwnd, 0);
    return;
  }
  MessageBoxA(setupState.hwndSelection, UiTextOf(LowStorageText), UiTextOf(ErrorCaption), MB_OK);
}

// Commands are told apart by the control id alone.
static void OnSelectionCommand(HWND hwnd, int id) {
  switch (id) {
  case IDC_MFC_COMPONENT:
  case IDC_VB_COMPONENT:
    UpdateNeededMemory(hwnd);
    UpdateOkButton(hwnd);
    break;
  case IDC_INVERT_SELECTIONS:
    OnInvertSelections(hwnd);
    break;
  case IDOK:
    OnSelectionOk(hwnd);
    break;
  case IDCANCEL:
    EndDialog(hwnd, 1);
    break;
  }
}

INT_PTR CALLBACK SelectionDialog(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (message) {
  case WM_INITDIALOG:
    return OnSelectionInit(hwnd);
  case WM_COMMAND:
    OnSelectionCommand(hwnd, LOWORD(wParam));
    return TRUE;
  default:
    // WM_CLOSE included: the platform's default handling turns it into Cancel.
    return FALSE;
  }
}
