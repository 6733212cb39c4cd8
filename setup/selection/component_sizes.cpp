#include "component_sizes.h"

#include "resource.h"
#include "setup_state.h"

bool ForEachPackageFile(const char* group, PackageFileVisitor visit, void* context) {
  char pattern[100];
  ZeroMemory(pattern, sizeof pattern);
  // "Japanese" and "MFC", the longest that occurs, make 18 characters.
  wsprintfA(pattern, ".\\%s\\%s\\*.*", setupState.languageFolder, group);
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(pattern, &entry);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    // Equality, not a bit test.
    if (entry.dwFileAttributes == FILE_ATTRIBUTE_DIRECTORY) continue;
    if (!visit(entry, context)) break;
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return true;
}

static bool AddFileSize(const WIN32_FIND_DATAA& entry, void* context) {
  // The low 32 bits of each size, the sum modulo 2^32.
  *static_cast<DWORD*>(context) += entry.nFileSizeLow;
  return true;
}

DWORD FolderSize(const char* group) {
  DWORD sum = 0;
  ForEachPackageFile(group, AddFileSize, &sum);
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
