#include "copy_to_device.h"

#include "resource.h"
#include "setup_state.h"
#include "transfer_dialog.h"

#include <string.h>

// Every chunk passes through here on its way to the device.
static BYTE copyBuffer[CopyChunkBytes];

static const char displacementFolder[] = "\\Temp\\";
// The progress text is this followed by the device path.
static const char progressPrefix[] = "WCE:\\";

// What a copy may have left on the device when it could not be put right at
// once: its undo could not reach the device, or the link broke under a step
// so that whether the device did it is not known. It is put right once the
// device answers again, before anything more is written, and in any case
// before the clean-up of \temp\, which would otherwise delete a displaced
// runtime file for good.
enum CopyLeftover {
  NothingLeft,
  PartOfNewFile,     // a destination that had no previous file, written in part
  MaybeEmptyNewFile, // the creation of a new destination went unanswered
  PreviousAside,     // the previous file is in \Temp\; the destination may hold a part
  MaybePreviousAside // the move into \Temp\ went unanswered
};

static struct {
  CopyLeftover left;
  WCHAR destination[PathBytes];
  WCHAR displacement[PathBytes];
} interruptedCopy;

// The call failed in the link, not on the device: the device may or may not
// have done it.
static bool AnswerLost() { return FAILED(CeRapiGetError()); }

static bool NotFoundOnDevice() {
  DWORD error = CeGetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

enum Presence { Absent, Present, PresenceUnknown };

static Presence FilePresence(const WCHAR* path) {
  HANDLE file = CeCreateFile(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    CeCloseHandle(file);
    return Present;
  }
  if (AnswerLost()) return PresenceUnknown;
  // Held open by a program on the device, or not readable: still there.
  return NotFoundOnDevice() ? Absent : Present;
}

static int DeleteOrAbsent(const WCHAR* path) {
  if (CeDeleteFile(path)) return 1;
  return !AnswerLost() && NotFoundOnDevice() ? 1 : 0;
}

// Puts the device back as the copy found it; 1 when it is.
static int UndoCopy(const WCHAR* destination, const WCHAR* displacement, bool created, bool displaced) {
  BOOL removed = created ? CeDeleteFile(destination) : TRUE;
  // With a displaced file, its return is what counts.
  if (displaced) return CeMoveFile(displacement, destination) ? 1 : 0;
  return removed ? 1 : 0;
}

static void KeepForLater(CopyLeftover left, const WCHAR* destination, const WCHAR* displacement) {
  interruptedCopy.left = left;
  lstrcpynW(interruptedCopy.destination, destination, PathBytes);
  lstrcpynW(interruptedCopy.displacement, displacement, PathBytes);
}

static void UndoOrKeepForLater(const WCHAR* destination, const WCHAR* displacement, bool created, bool displaced) {
  if (UndoCopy(destination, displacement, created, displaced)) return;
  KeepForLater(displaced ? PreviousAside : PartOfNewFile, destination, displacement);
}

// Each case looks at what the device holds before it changes anything: an
// earlier attempt may have been done by the device with its answer lost.
static int PutRight(const WCHAR* destination, const WCHAR* displacement, CopyLeftover left) {
  switch (left) {
  case NothingLeft:
    return 1;
  case PartOfNewFile:
    return DeleteOrAbsent(destination);
  case MaybeEmptyNewFile: {
    // An empty file there is the one the unanswered creation made; a file
    // with content was there before and is left alone.
    HANDLE file =
        CeCreateFile(destination, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return AnswerLost() ? 0 : 1;
    DWORD high = 0;
    DWORD low = CeGetFileSize(file, &high);
    bool sizeRead = !(low == 0xFFFFFFFF && AnswerLost());
    CeCloseHandle(file);
    if (!sizeRead) return 0;
    if (low != 0 || high != 0) return 1;
    return DeleteOrAbsent(destination);
  }
  case PreviousAside: {
    // Nothing left in \Temp\: the previous file is back already.
    Presence aside = FilePresence(displacement);
    if (aside != Present) return aside == Absent ? 1 : 0;
    // Whatever stands at the destination is this copy's: a part, or an
    // empty file from a creation whose answer was lost.
    CeDeleteFile(destination);
    return CeMoveFile(displacement, destination) ? 1 : 0;
  }
  case MaybePreviousAside: {
    // Still in place: the move was never done. Gone: it is in \Temp\.
    Presence inPlace = FilePresence(destination);
    if (inPlace != Absent) return inPlace == Present ? 1 : 0;
    if (CeMoveFile(displacement, destination)) return 1;
    return !AnswerLost() && NotFoundOnDevice() ? 1 : 0;
  }
  }
  return 0;
}

int FinishInterruptedCopy() {
  if (!PutRight(interruptedCopy.destination, interruptedCopy.displacement, interruptedCopy.left)) return 0;
  interruptedCopy.left = NothingLeft;
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

bool FitsPathBuffer(const char* head, const char* tail) { return lstrlenA(head) + lstrlenA(tail) < PathBytes; }

// Moves the file that stands at the destination into \Temp\ under its bare
// name (an older file there is deleted first); 1 when it is there now.
static int MoveAside(const WCHAR* destinationPath, const char* fileName, WCHAR* displacementPath) {
  char displacement[PathBytes];
  ZeroMemory(displacement, sizeof displacement);
  lstrcpyA(displacement, displacementFolder);
  lstrcatA(displacement, fileName);
  ToDevicePath(displacement, displacementPath);
  CeDeleteFile(displacementPath);
  if (CeMoveFile(destinationPath, displacementPath)) return 1;
  // Refused, the file stays in place; unanswered, it may be in \Temp\.
  if (AnswerLost()) KeepForLater(MaybePreviousAside, destinationPath, displacementPath);
  return 0;
}

// Opens the destination for writing: made new, or made afresh after the file
// that stood there was moved aside (`displaced`). INVALID_HANDLE_VALUE when
// it cannot be, with the device as it was, or what to put right kept for later.
static HANDLE OpenDestination(const WCHAR* destinationPath, const char* fileName, WCHAR* displacementPath,
                              bool& displaced) {
  displaced = false;
  HANDLE destination = CeCreateFile(destinationPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, NULL);
  if (destination != INVALID_HANDLE_VALUE) return destination;
  if (AnswerLost()) {
    // The device may have made the file before the link broke.
    KeepForLater(MaybeEmptyNewFile, destinationPath, L"");
    return INVALID_HANDLE_VALUE;
  }
  // Something stands there: it must at least open for reading before it is
  // moved aside.
  HANDLE existing =
      CeCreateFile(destinationPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (existing == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  CeCloseHandle(existing);
  if (!MoveAside(destinationPath, fileName, displacementPath)) return INVALID_HANDLE_VALUE;
  displaced = true;
  destination = CeCreateFile(destinationPath, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, NULL);
  // The displaced file goes back where it was.
  if (destination == INVALID_HANDLE_VALUE) UndoOrKeepForLater(destinationPath, displacementPath, false, true);
  return destination;
}

int CopyToDevice(const char* sourcePath, const char* devicePath, const char* fileName) {
  // Names that would not fit the displacement path or the progress text are
  // not copied: no buffer may be overrun.
  if (!FitsPathBuffer(devicePath, "") || !FitsPathBuffer(displacementFolder, fileName) ||
      !FitsPathBuffer(progressPrefix, devicePath))
    return 0;

  // Nothing more is written while the device still holds a copy that could
  // not be undone: a later copy of the same name would be undone in its place.
  if (!FinishInterruptedCopy()) return 0;

  HANDLE source = CreateFileA(sourcePath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              NULL);
  if (source == INVALID_HANDLE_VALUE) return 0;

  WCHAR destinationPath[PathBytes];
  WCHAR displacementPath[PathBytes];
  ZeroMemory(displacementPath, sizeof displacementPath);
  ToDevicePath(devicePath, destinationPath);
  bool displaced = false;
  HANDLE destination = OpenDestination(destinationPath, fileName, displacementPath, displaced);
  if (destination == INVALID_HANDLE_VALUE) {
    CloseHandle(source);
    return 0;
  }

  char progress[PathBytes];
  SetDlgItemTextA(setupState.hwndTransfer, IDC_SOURCE_PATH, sourcePath);
  wsprintfA(progress, "%s%s", progressPrefix, devicePath);
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
