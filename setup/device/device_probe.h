// Device connection and identification while the selection dialog is open.
#pragma once

#include <windows.h>

// Requests the RAPI connection and starts identifying the device; returns at
// once. On acceptance the dialog's controls are enabled.
void StartDeviceProbe(HWND hwndSelectionDialog);
