#include "transfer_dialog.h"

#include "component_sizes.h"
#include "copy_to_device.h"
#include "registration_tables.h"
#include "resource.h"
#include "setup_state.h"
#include "shell.h"

// Runtime files left staged in the device's \temp\ folder, deleted in this order.
static const WCHAR* const StagedFiles[] = {
    L"\\temp\\atlce211.dll", L"\\temp\\mfcce211.dll", L"\\temp\\olece211.dll", L"\\temp\\adoce.dll",
    L"\\temp\\adocedb.dll",  L"\\temp\\adoceres.dll", L"\\temp\\adosync.dll",  L"\\temp\\pvbform2.dll",
    L"\\temp\\pvbhost2.dll", L"\\temp\\pvbload.exe",  L"\\temp\\vbscript.dll", L"\\temp\\vbsen.dll",
};

// How long a cancel waits for the worker to reach a clean point before the
// dialog ends all the same (and the program goes on to end the connection,
// which itself waits for a device call still running).
static const DWORD StopWorkerTimeoutMs = 15000;
static const UINT_PTR StopWorkerTimer = 1;

static volatile LONG cancelRequested;
// Set by the worker before it asks the dialog to close: it has stopped.
static volatile LONG workerEnded;
static bool workerStarted;

bool TransferCancelled() { return InterlockedCompareExchange(&cancelRequested, 0, 0) != 0; }

int DeleteStagedFiles() {
  for (const WCHAR* path : StagedFiles) CeDeleteFile(path);
  return 1;
}

// Every package file goes into this device folder.
static const char deviceFolder[] = "\\Windows\\";

struct PassState {
  char folderPrefix[PathBytes];
  int failed;
};

static bool CopyPackageFile(const WIN32_FIND_DATAA& entry, void* context) {
  PassState& pass = *static_cast<PassState*>(context);
  if (TransferCancelled()) return false;
  // A folder is not a package file, whatever other attribute bits it has: a
  // package folder on a read-only medium lists "." and ".." as read-only
  // folders. It is passed over without a try, and is no failure.
  if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return true;
  // A name too long for the paths is not copied, and counts as failed.
  if (!FitsPathBuffer(pass.folderPrefix, entry.cFileName) || !FitsPathBuffer(deviceFolder, entry.cFileName)) {
    ++pass.failed;
    return true;
  }
  char sourcePath[PathBytes];
  char devicePath[PathBytes];
  lstrcpyA(sourcePath, pass.folderPrefix);
  lstrcatA(sourcePath, entry.cFileName);
  lstrcpyA(devicePath, deviceFolder);
  lstrcatA(devicePath, entry.cFileName);
  if (!CopyToDevice(sourcePath, devicePath, entry.cFileName) && !TransferCancelled()) ++pass.failed;
  return true;
}

// Copies every file of one package folder; answers how many could not be copied.
static int RunPass(const char* group) {
  PassState pass;
  pass.failed = 0;
  wsprintfA(pass.folderPrefix, ".\\%s\\%s\\", setupState.languageFolder, group);
  ForEachPackageFile(group, CopyPackageFile, &pass);
  return pass.failed;
}

DWORD WINAPI TransferWorker(LPVOID parameter) {
  (void)parameter;
  int failed = 0;
  if (setupState.installMfc) failed += RunPass("MFC");
  if (setupState.installVb && !TransferCancelled()) {
    failed += VbRegistration();
    failed += RunPass("VB");
  }
  if ((setupState.installMfc || setupState.installVb) && !TransferCancelled()) {
    failed += AdoRegistration();
    failed += RunPass("ADO");
  }
  if (TransferCancelled()) {
    InterlockedExchange(&workerEnded, 1);
    SendMessageA(setupState.hwndTransfer, WM_CLOSE, 0, 0);
    ExitThread(0);
  }

  // Renew the device connection, then clean up. A file the broken link left
  // half-copied is put right first; while it cannot be, the staged files stay,
  // as what it displaced may be the only whole copy of a runtime file.
  CeRapiUninit();
  CeRapiInit();
  if (FinishInterruptedCopy()) DeleteStagedFiles();
  setupState.failedItems = failed;
  setupState.transferDone = 1;
  InterlockedExchange(&workerEnded, 1);
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
  workerStarted = worker != NULL;
  if (worker != NULL) CloseHandle(worker);
  return TRUE;
}

// Cancel, the caption's close box and the worker's own close request all
// arrive here. The dialog ends once the worker has ended, so the device
// connection is never closed under a call still running. A cancel only asks
// the worker to stop at its next clean point: meanwhile the dialog goes on
// painting, its Cancel button disabled to show that the cancel is under way,
// and further input changes nothing. The wait is bounded by a timer.
static void OnTransferCancel(HWND hwnd) {
  if (!workerStarted || InterlockedCompareExchange(&workerEnded, 0, 0) != 0) {
    KillTimer(hwnd, StopWorkerTimer);
    EndDialog(hwnd, 1);
    return;
  }
  if (TransferCancelled()) return;
  InterlockedExchange(&cancelRequested, 1);
  EnableWindow(GetDlgItem(hwnd, IDCANCEL), FALSE);
  SetTimer(hwnd, StopWorkerTimer, StopWorkerTimeoutMs, NULL);
}

INT_PTR CALLBACK TransferDialog(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (message) {
  case WM_INITDIALOG:
    return OnTransferInit(hwnd);
  case WM_COMMAND:
    if (LOWORD(wParam) == IDCANCEL) OnTransferCancel(hwnd);
    return TRUE;
  case WM_CLOSE:
    // Handled here rather than by the dialog manager, which on Windows
    // ignores WM_CLOSE while the Cancel button is disabled: the worker's
    // close request must end the dialog during a cancel too.
    OnTransferCancel(hwnd);
    return TRUE;
  case WM_TIMER:
    // The worker is still inside a device call: the dialog ends all the same.
    if (wParam != StopWorkerTimer) return FALSE;
    KillTimer(hwnd, StopWorkerTimer);
    EndDialog(hwnd, 1);
    return TRUE;
  default:
    return FALSE;
  }
}
