// Dialog 102: shows the transfer while TransferWorker does it.
#pragma once

#include <windows.h>

// Ends with 1 however it ends.
INT_PTR CALLBACK TransferDialog(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
DWORD WINAPI TransferWorker(LPVOID parameter);
// Deletes the runtime files staged in the device's \temp\ folder; returns 1.
int DeleteStagedFiles();
// True once the user has cancelled the transfer: the worker stops at the next
// clean point (between files, or between the chunks of a file).
bool TransferCancelled();
