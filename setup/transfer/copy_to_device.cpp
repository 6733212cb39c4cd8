#include "copy_to_device.h"

#include "resource.h"
#include "setup_state.h"
#include "transfer_dialog.h"

#include <string.h>

// Every chunk passes through here on its way to the device.
static BYTE copyBuffer[CopyChunkBytes];

static const char displacementFolder[] = "\\Temp\\";
static const char progressFormat[] = "WCE:\\%s";

static void ToDevicePath(const char* text, WCHAR* out) {
  // The terminator is converted too; a text of at most 259 bytes fits in 260 units.
  MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, lstrlenA(text) + 1, out, PathBytes);
}

// Writes the source into the open destination, chunk after chunk; the write
// comes before the end test, so the end of the source costs one empty write.
static int CopyChunks(HANDLE source, HANDLE destination) {
  for (;;) {
    if (TransferCancelled()) return 0;
    DWORD bytesRead = 0;
    if (!ReadFile(source, copyBuffer, CopyChunkBytes, &bytesRead, NULL)) return 0;
    DWORD bytesWritten = 0;
    if (!CeWriteFile(destination, copyBuffer, bytesRead, &bytesWritten, NULL)) return 0;
    if (bytesRead == 0) return 1;
  }
}

int CopyToDevice(const char* sourcePath, const char* devicePath, const char* fileName) {
  // Names that would not fit the displacement path or the progress text are
  // not copied: no buffer may be overrun.
  if (lstrlenA(devicePath) >= PathBytes || lstrlenA(displacementFolder) + lstrlenA(fileName) >= PathBytes ||
      lstrlenA(progressFormat) - 2 + lstrlenA(devicePath) >= PathBytes)
    return 0;

  HANDLE source = CreateFileA(sourcePath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              NULL);
  if (source == INVALID_HANDLE_VALUE) return 0;

  WCHAR destinationPath[PathBytes];
  WCHAR displacementPath[PathBytes];
  ToDevicePath(devicePath, destinationPath);
  bool displaced = false;

  HANDLE destination = CeCreateFile(destinationPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, NULL);
  if (destination == INVALID_HANDLE_VALUE) {
    // Something stands there: it must at least open for reading before it
    // is moved aside.
    HANDLE existing =
        CeCreateFile(destinationPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (existing == INVALID_HANDLE_VALUE) {
      CloseHandle(source);
      return 0;
    }
    CeCloseHandle(existing);

    char displacement[PathBytes];
    ZeroMemory(displacement, sizeof displacement);
    lstrcpyA(displacement, displacementFolder);
    lstrcatA(displacement, fileName);
    ToDevicePath(displacement, displacementPath);
    CeDeleteFile(displacementPath);
    if (!CeMoveFile(destinationPath, displacementPath)) {
      CloseHandle(source);
      return 0;
    }
    displaced = true;
    destination = CeCreateFile(destinationPath, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    if (destination == INVALID_HANDLE_VALUE) {
      // The displaced file goes back where it was.
      CeMoveFile(displacementPath, destinationPath);
      CloseHandle(source);
      return 0;
    }
  }

  char progress[PathBytes];
  SetDlgItemTextA(setupState.hwndTransfer, IDC_SOURCE_PATH, sourcePath);
  wsprintfA(progress, progressFormat, devicePath);
  SetDlgItemTextA(setupState.hwndTransfer, IDC_DESTINATION_PATH, progress);

  int result = CopyChunks(source, destination);
  CeCloseHandle(destination);
  CloseHandle(source);
  if (!result) {
    // A partial file would pass for the runtime file it replaces: remove it,
    // and put back the file it displaced.
    CeDeleteFile(destinationPath);
    if (displaced) CeMoveFile(displacementPath, destinationPath);
  }
  return result;
}
