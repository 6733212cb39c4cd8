#include "copy_to_device.h"

#include "resource.h"
#include "setup_state.h"
#include "transfer_dialog.h"

#include <string.h>

// Every chunk passes through here on its way to the device.
static BYTE copyBuffer[CopyChunkBytes];

static const char displacementFolder[] = "\\Temp\\";
static const char progressFormat[] = "WCE:\\%s";

// A failed copy whose undo could not reach the device: the link broke under
// it. The undo is finished once the device answers again, and in any case
// before the clean-up of \temp\, which would otherwise delete a displaced
// runtime file for good.
static struct {
  bool pending;
  bool created;   // the partial destination is to be removed
  bool displaced; // the displaced file is to be moved back
  WCHAR destination[PathBytes];
  WCHAR displacement[PathBytes];
} interruptedCopy;

// Puts the device back as the copy found it; 1 when it is.
static int UndoCopy(const WCHAR* destination, const WCHAR* displacement, bool created, bool displaced) {
  BOOL removed = created ? CeDeleteFile(destination) : TRUE;
  // With a displaced file, its return is what counts: an earlier attempt may
  // already have removed the partial file.
  if (displaced) return CeMoveFile(displacement, destination) ? 1 : 0;
  return removed ? 1 : 0;
}

static void UndoOrKeepForLater(const WCHAR* destination, const WCHAR* displacement, bool created, bool displaced) {
  if (UndoCopy(destination, displacement, created, displaced)) return;
  interruptedCopy.pending = true;
  interruptedCopy.created = created;
  interruptedCopy.displaced = displaced;
  lstrcpynW(interruptedCopy.destination, destination, PathBytes);
  lstrcpynW(interruptedCopy.displacement, displacement, PathBytes);
}

int FinishInterruptedCopy() {
  if (!interruptedCopy.pending) return 1;
  if (!UndoCopy(interruptedCopy.destination, interruptedCopy.displacement, interruptedCopy.created,
                interruptedCopy.displaced))
    return 0;
  interruptedCopy.pending = false;
  return 1;
}

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

  // Nothing more is written while the device still holds a copy that could
  // not be undone: a later copy of the same name would be undone in its place.
  if (!FinishInterruptedCopy()) return 0;

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
      UndoOrKeepForLater(destinationPath, displacementPath, false, true);
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
    UndoOrKeepForLater(destinationPath, displacementPath, true, displaced);
  }
  return result;
}
