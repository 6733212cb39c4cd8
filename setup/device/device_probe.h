// Device connection and identification while the selection dialog is open:
// the device tool is started on the device, the device tag read from the data
// file it writes, and the device accepted by its version and language.
#pragma once

#include <windows.h>

enum {
  DeviceDataBytes = 2600,  // read once from the start of the data file
  DeviceTagOffset = 2556,  // 11 UTF-16 units, little-endian
  DeviceTagChars = 11,
  ProbePauseMs = 500,
  ConnectTimeoutMs = 10000,
};

// Requests the RAPI connection and starts ProbeWorker; returns at once.
void StartDeviceProbe(HWND hwndSelectionDialog);
DWORD WINAPI ProbeWorker(LPVOID parameter);

// The tag from the data file's bytes: the low byte of each unit, a zero unit
// read as a full stop, a terminating zero after the eleventh character.
void BuildDeviceTag(const BYTE* deviceData, char deviceTag[DeviceTagChars + 1]);
// "1..2.00 ENG" and "1..2.00 JPN" read as version 1.12.00.
void NormaliseDeviceTag(char deviceTag[DeviceTagChars + 1]);
// The value of the longest leading decimal number of the text (white space
// skipped; optional sign, digits with at most one decimal point, optional
// exponent); 0.0 when there is none.
double VersionValue(const char* versionText);

// How ProbeWorker is started; replaced by tests that model a system that
// cannot start another thread.
typedef HANDLE(WINAPI* ThreadStarter)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
extern ThreadStarter probeThreadStarter;
