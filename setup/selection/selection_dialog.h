// Dialog 101: the user chooses the packages to install.
#pragma once

#include <windows.h>

// Ends with 0 when a selection is confirmed (installMfc and installVb hold
// it) and with 1 when it is cancelled.
INT_PTR CALLBACK SelectionDialog(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Writes the memory the ticked packages need into "Memory Needed".
void UpdateNeededMemory(HWND hwnd);
// Enables OK while at least one package is ticked.
void UpdateOkButton(HWND hwnd);
