#include "device_probe.h"

#include "resource.h"
#include "setup_state.h"

// Until the device is identified by its tag, the dialog becomes usable as
// soon as the connection has been requested.
void StartDeviceProbe(HWND hwndSelectionDialog) {
  setupState.hwndSelection = hwndSelectionDialog;
  ZeroMemory(&setupState.rapiInit, sizeof setupState.rapiInit);
  setupState.rapiInit.cbSize = sizeof setupState.rapiInit;
  CeRapiInitEx(&setupState.rapiInit);
  static const int controls[] = {IDOK, IDCANCEL, IDC_INVERT_SELECTIONS, IDC_MFC_COMPONENT, IDC_VB_COMPONENT};
  for (int id : controls) EnableWindow(GetDlgItem(hwndSelectionDialog, id), TRUE);
}
