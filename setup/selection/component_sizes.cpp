#include "component_sizes.h"

#include "resource.h"
#include "setup_state.h"

DWORD FolderSize(const char* group) {
  char pattern[100];
  ZeroMemory(pattern, sizeof pattern);
  // "Japanese" and "MFC", the longest that occurs, make 18 characters.
  wsprintfA(pattern, ".\\%s\\%s\\*.*", setupState.languageFolder, group);
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(pattern, &entry);
  if (search == INVALID_HANDLE_VALUE) return 0;
  DWORD sum = 0;
  do {
    // Equality, not a bit test: "." and ".." and plain folders are passed
    // over, but a folder with more attribute bits counts like a file.
    if (entry.dwFileAttributes != FILE_ATTRIBUTE_DIRECTORY) sum += entry.nFileSizeLow;
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return sum;
}

DWORD FreeStorageKb() {
  STORE_INFORMATION store;
  ZeroMemory(&store, sizeof store);
  // A device that cannot tell has no storage to offer: 0 KB refuses every
  // selection rather than comparing against an undefined figure.
  if (!CeGetStoreInformation(&store)) return 0;
  return store.dwFreeSize >> 10;
}

void FillComponentSizes(HWND hwndSelectionDialog) {
  ComponentSizes& sizes = setupState.componentSizes;
  sizes.adoKb = FolderSize("ADO") >> 10;
  sizes.mfcKb = FolderSize("MFC") >> 10;
  SetDlgItemInt(hwndSelectionDialog, IDC_MFC_SIZE, sizes.adoKb + sizes.mfcKb, FALSE);
  sizes.vbKb = FolderSize("VB") >> 10;
  SetDlgItemInt(hwndSelectionDialog, IDC_VB_SIZE, sizes.adoKb + sizes.vbKb, FALSE);
  SetDlgItemInt(hwndSelectionDialog, IDC_MEMORY_NEEDED, 0, FALSE);
  SetDlgItemInt(hwndSelectionDialog, IDC_MEMORY_AVAILABLE, FreeStorageKb(), FALSE);
}
