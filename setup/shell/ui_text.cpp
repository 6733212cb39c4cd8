#include "resource.h"
#include "setup_state.h"
#include "shell.h"

// The Japanese string-table entry of each role. A switch over every role,
// without a default: a role added without its entry fails the build.
static UINT UiTextEntry(UiRole role) {
  UINT n = 0;
  switch (role) {
  case SetupOptionsTitle: n = IDS_SETUP_OPTIONS_TITLE; break;
  case SelectComponentsLabel: n = IDS_SELECT_COMPONENTS_LABEL; break;
  case MemoryNeededLabel: n = IDS_MEMORY_NEEDED_LABEL; break;
  case MemoryAvailableLabel: n = IDS_MEMORY_AVAILABLE_LABEL; break;
  case InvertSelectionsLabel: n = IDS_INVERT_SELECTIONS_LABEL; break;
  case OkLabel: n = IDS_OK_LABEL; break;
  case CancelLabel: n = IDS_CANCEL_LABEL; break;
  case TransferTitle: n = IDS_TRANSFER_TITLE; break;
  case FromLabel: n = IDS_FROM_LABEL; break;
  case ToLabel: n = IDS_TO_LABEL; break;
  case WarningCaption: n = IDS_WARNING_CAPTION; break;
  case ResetPromptText: n = IDS_RESET_PROMPT_TEXT; break;
  case ErrorCaption: n = IDS_ERROR_CAPTION; break;
  case ConnectFailedText: n = IDS_CONNECT_FAILED_TEXT; break;
  case WrongVersionText: n = IDS_WRONG_VERSION_TEXT; break;
  case LowStorageText: n = IDS_LOW_STORAGE_TEXT; break;
  case WrongLanguageText: n = IDS_WRONG_LANGUAGE_TEXT; break;
  case VbComponentLabel: n = IDS_VB_COMPONENT_LABEL; break;
  case MfcComponentLabel: n = IDS_MFC_COMPONENT_LABEL; break;
  case AdoNoteLabel: n = IDS_ADO_NOTE_LABEL; break;
  case TransferFailedText: n = IDS_TRANSFER_FAILED_TEXT; break;
  case UiRoleCount: break;
  }
  return IDS_JAPANESE_BASE + n;
}

void LoadUiTexts() {
  // The module that started the process is the program's own; hInstance is
  // not recorded yet when this runs.
  HINSTANCE module = GetModuleHandleA(NULL);
  for (int role = 0; role < UiRoleCount; ++role)
    LoadStringA(module, UiTextEntry(UiRole(role)), setupState.uiText.text[role], UiTextBytes);
}
