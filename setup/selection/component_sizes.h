// The three runtime packages on the desktop, their sizes in KB, and the
// device's free storage, as the selection dialog shows them.
#pragma once

#include <windows.h>

// Bytes of the package files in .\<LanguageFolder>\<group>\ (low 32 bits of
// each size, the sum modulo 2^32); 0 when the folder cannot be searched.
DWORD FolderSize(const char* group);
// The device's free storage in KB; 0 when the device cannot tell.
DWORD FreeStorageKb();
// Measures the packages into componentSizes and writes the sizes, a needed
// memory of 0 and the free storage into the selection dialog.
void FillComponentSizes(HWND hwndSelectionDialog);
