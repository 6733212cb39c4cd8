// The three runtime packages on the desktop, their sizes in KB, and the
// device's free storage, as the selection dialog shows them.
#pragma once

#include <windows.h>

// Calls `visit` for every package file of .\<LanguageFolder>\<group>\ in the
// order the directory search returns them, until it answers false. Package
// files are the entries whose attribute word is not exactly
// FILE_ATTRIBUTE_DIRECTORY: "." and ".." and plain folders are passed over,
// there is no descent, and a folder with more attribute bits (a read-only
// folder: 17) is visited too. Its size is 0, so the sums do not change; the
// copy passes over every entry with the directory bit. False when the folder
// cannot be searched.
typedef bool (*PackageFileVisitor)(const WIN32_FIND_DATAA& entry, void* context);
bool ForEachPackageFile(const char* group, PackageFileVisitor visit, void* context);

// Bytes of the package files in .\<LanguageFolder>\<group>\ (low 32 bits of
// each size, the sum modulo 2^32); 0 when the folder cannot be searched.
DWORD FolderSize(const char* group);
// The device's free storage in KB; 0 when the device cannot tell.
DWORD FreeStorageKb();
// Measures the packages into componentSizes and writes the sizes, a needed
// memory of 0 and the free storage into the selection dialog.
void FillComponentSizes(HWND hwndSelectionDialog);
