#include "device_probe.h"

#include "component_sizes.h"
#include "resource.h"
#include "selection_dialog.h"
#include "setup_state.h"

#include <stdlib.h>
#include <string.h>

static const WCHAR deviceToolPath[] = L"\\Windows\\MakeZlkData.exe";
static const WCHAR deviceDataPath[] = L"\\Windows\\zlkAssetData.dat";
static const double RefusedVersion = 1.3;

ThreadStarter probeThreadStarter = CreateThread;

#ifndef _WIN64
static_assert(sizeof(STARTUPINFOA) == 68, "the device tool's startup record is 68 bytes");
static_assert(sizeof(RAPIINIT) == 12, "the connection request record is 12 bytes");
#endif

void StartDeviceProbe(HWND hwndSelectionDialog) {
  setupState.hwndSelection = hwndSelectionDialog;
  ZeroMemory(&setupState.rapiInit, sizeof setupState.rapiInit);
  setupState.rapiInit.cbSize = sizeof setupState.rapiInit;
  CeRapiInitEx(&setupState.rapiInit);
  HANDLE worker = probeThreadStarter(NULL, 0, ProbeWorker, NULL, 0, NULL);
  if (worker == NULL) {
    // Left like this, the dialog would sit with every control disabled,
    // Cancel included: end the program as a silent failure does.
    CeRapiUninit();
    SendMessageA(setupState.hwndSetup, WM_CLOSE, 0, 0);
    return;
  }
  CloseHandle(worker);
}

void BuildDeviceTag(const BYTE* deviceData, char deviceTag[DeviceTagChars + 1]) {
  for (int i = 0; i < DeviceTagChars; ++i) {
    const BYTE* unit = deviceData + DeviceTagOffset + 2 * i;
    WORD value = (WORD)(unit[0] | unit[1] << 8);
    // The high byte is dropped without any code-page conversion.
    deviceTag[i] = value == 0 ? '.' : (char)unit[0];
  }
  deviceTag[DeviceTagChars] = '\0';
}

void NormaliseDeviceTag(char deviceTag[DeviceTagChars + 1]) {
  if (strcmp(deviceTag, "1..2.00 ENG") == 0 || strcmp(deviceTag, "1..2.00 JPN") == 0) deviceTag[2] = '1';
}

static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

double VersionValue(const char* versionText) {
  const char* p = versionText;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  const char* start = p;
  if (*p == '+' || *p == '-') ++p;
  int digits = 0;
  while (IsDigit(*p)) ++p, ++digits;
  if (*p == '.') {
    ++p;
    while (IsDigit(*p)) ++p, ++digits;
  }
  if (digits == 0) return 0.0;
  const char* end = p;
  if (*p == 'e' || *p == 'E') {
    const char* q = p + 1;
    if (*q == '+' || *q == '-') ++q;
    if (IsDigit(*q)) {
      while (IsDigit(*q)) ++q;
      end = q;
    }
  }
  // Only a plain decimal number reaches strtod, so neither its hexadecimal
  // forms nor "inf" and "nan" can change what a device tag means.
  char number[32];
  size_t length = (size_t)(end - start);
  if (length >= sizeof number) length = sizeof number - 1;
  memcpy(number, start, length);
  number[length] = '\0';
  return strtod(number, NULL);
}

// ---- the outcomes that end the program

static void EndWithTimeOut() {
  CeRapiUninit();
  MessageBoxA(setupState.hwndSelection, UiTextOf(ConnectFailedText), UiTextOf(ErrorCaption), MB_OK);
  SendMessageA(setupState.hwndSelection, WM_CLOSE, 0, 0);
  SendMessageA(setupState.hwndSetup, WM_CLOSE, 0, 0);
}

static void EndSilently() {
  CeRapiUninit();
  SendMessageA(setupState.hwndSetup, WM_CLOSE, 0, 0);
}

static void RefuseDevice(UiRole message, HANDLE dataFile) {
  MessageBoxA(setupState.hwndSelection, UiTextOf(message), UiTextOf(ErrorCaption), MB_OK);
  CeCloseHandle(dataFile);
  CeRapiUninit();
  SendMessageA(setupState.hwndSetup, WM_CLOSE, 0, 0);
}

static void EnableSelectionControls(HWND hwnd) {
  UpdateOkButton(hwnd);
  EnableWindow(GetDlgItem(hwnd, IDCANCEL), TRUE);
  EnableWindow(GetDlgItem(hwnd, IDC_INVERT_SELECTIONS), TRUE);
  EnableWindow(GetDlgItem(hwnd, IDC_MFC_COMPONENT), TRUE);
  EnableWindow(GetDlgItem(hwnd, IDC_VB_COMPONENT), TRUE);
}

// Starts the device tool, which writes the data file; it is not waited for.
static bool StartDeviceTool() {
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process;
  ZeroMemory(&process, sizeof process);
  return CeCreateProcess(deviceToolPath, L"", NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process) != FALSE;
}

// The data file, open and of a size that can be read; INVALID_HANDLE_VALUE
// (and closed) otherwise.
static HANDLE OpenDeviceData() {
  HANDLE dataFile = CeCreateFile(deviceDataPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (dataFile == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  if (CeGetFileSize(dataFile, NULL) == 0xFFFFFFFF) {
    CeCloseHandle(dataFile);
    return INVALID_HANDLE_VALUE;
  }
  return dataFile;
}

static void ReadDeviceTag(HANDLE dataFile, char deviceTag[DeviceTagChars + 1]) {
  // Cleared first: a short file or a failed read leaves zero units, read as
  // full stops, never bytes of some earlier use of the memory.
  BYTE deviceData[DeviceDataBytes];
  ZeroMemory(deviceData, sizeof deviceData);
  DWORD bytesRead = 0;
  CeReadFile(dataFile, deviceData, DeviceDataBytes, &bytesRead, NULL);
  BuildDeviceTag(deviceData, deviceTag);
  NormaliseDeviceTag(deviceTag);
}

// The device accepted by its tag's version and language, whose folder is
// then the one the files come from; refused, and the program ended, otherwise.
static bool AcceptDevice(const char deviceTag[DeviceTagChars + 1], HANDLE dataFile) {
  char versionText[5];
  memcpy(versionText, deviceTag, 4);
  versionText[4] = '\0';
  if (VersionValue(versionText) >= RefusedVersion) {
    RefuseDevice(WrongVersionText, dataFile);
    return false;
  }
  const char* languageCode = deviceTag + 7;
  if (strcmp(languageCode, " ENG") == 0) {
    lstrcpyA(setupState.languageFolder, "English");
  } else if (strcmp(languageCode, " JPN") == 0) {
    lstrcpyA(setupState.languageFolder, "Japanese");
  } else {
    RefuseDevice(WrongLanguageText, dataFile);
    return false;
  }
  return true;
}

DWORD WINAPI ProbeWorker(LPVOID parameter) {
  (void)parameter;
  Sleep(ProbePauseMs);
  // Any end of the wait but the time-out goes on: a failed attempt shows up
  // at the first device call.
  if (WaitForSingleObject(setupState.rapiInit.heRapiInit, ConnectTimeoutMs) == WAIT_TIMEOUT) {
    EndWithTimeOut();
    return 0;
  }
  // The tool is not waited for: its data file is read in whatever state it is.
  HANDLE dataFile = StartDeviceTool() ? OpenDeviceData() : INVALID_HANDLE_VALUE;
  if (dataFile == INVALID_HANDLE_VALUE) {
    EndSilently();
    return 0;
  }
  char deviceTag[DeviceTagChars + 1];
  ReadDeviceTag(dataFile, deviceTag);
  if (!AcceptDevice(deviceTag, dataFile)) return 0;

  FillComponentSizes(setupState.hwndSelection);
  CeCloseHandle(dataFile);
  EnableSelectionControls(setupState.hwndSelection);
  // The connection stays up for the selection and the transfer.
  return 0;
}
