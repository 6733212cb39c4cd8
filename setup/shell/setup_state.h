// The one program-wide record of the setup program, and the loaded UI texts.
//
// Every field is written by one side before the other side reads it; the order
// is carried by thread creation or by a message sent with SendMessageA, which
// the platform delivers to the main thread while the sender waits. No lock.
#pragma once

#include "rapi.h"

#include <windows.h>

// The UI text roles, in the order of their entries in the string table.
enum UiRole {
  SetupOptionsTitle,
  SelectComponentsLabel,
  MemoryNeededLabel,
  MemoryAvailableLabel,
  InvertSelectionsLabel,
  OkLabel,
  CancelLabel,
  TransferTitle,
  FromLabel,
  ToLabel,
  WarningCaption,
  ResetPromptText,
  ErrorCaption,
  ConnectFailedText,
  WrongVersionText,
  LowStorageText,
  WrongLanguageText,
  VbComponentLabel,
  MfcComponentLabel,
  AdoNoteLabel,
  TransferFailedText,
  UiRoleCount
};

enum { UiTextBytes = 100, LanguageFolderBytes = 32 };

// One zero-terminated 8-bit text in the desktop's ANSI code page per role.
struct UiText {
  char text[UiRoleCount][UiTextBytes];
};

// Package sizes in KB (bytes shifted right by 10).
struct ComponentSizes {
  DWORD adoKb;
  DWORD mfcKb;
  DWORD vbKb;
};

struct SetupState {
  HINSTANCE hInstance;
  HWND hwndSetup;
  HWND hwndSelection;
  HWND hwndTransfer;
  RAPIINIT rapiInit;
  char languageFolder[LanguageFolderBytes];
  ComponentSizes componentSizes;
  LONG installMfc;
  LONG installVb;
  LONG transferDone;
  LONG failedItems; // package files and registry values the transfer could not install
  UiText uiText;
};

extern SetupState setupState;

// The loaded text of a role.
inline const char* UiTextOf(UiRole role) { return setupState.uiText.text[role]; }
