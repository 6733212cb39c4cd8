#include "resource.h"
#include "setup_state.h"
#include "shell.h"

// The string-table entry of each role, in the order of UiRole.
static const UINT uiTextEntries[UiRoleCount] = {
    IDS_JAPANESE_BASE + IDS_SETUP_OPTIONS_TITLE,     IDS_JAPANESE_BASE + IDS_SELECT_COMPONENTS_LABEL,
    IDS_JAPANESE_BASE + IDS_MEMORY_NEEDED_LABEL,     IDS_JAPANESE_BASE + IDS_MEMORY_AVAILABLE_LABEL,
    IDS_JAPANESE_BASE + IDS_INVERT_SELECTIONS_LABEL, IDS_JAPANESE_BASE + IDS_OK_LABEL,
    IDS_JAPANESE_BASE + IDS_CANCEL_LABEL,            IDS_JAPANESE_BASE + IDS_TRANSFER_TITLE,
    IDS_JAPANESE_BASE + IDS_FROM_LABEL,              IDS_JAPANESE_BASE + IDS_TO_LABEL,
    IDS_JAPANESE_BASE + IDS_WARNING_CAPTION,         IDS_JAPANESE_BASE + IDS_RESET_PROMPT_TEXT,
    IDS_JAPANESE_BASE + IDS_ERROR_CAPTION,           IDS_JAPANESE_BASE + IDS_CONNECT_FAILED_TEXT,
    IDS_JAPANESE_BASE + IDS_WRONG_VERSION_TEXT,      IDS_JAPANESE_BASE + IDS_LOW_STORAGE_TEXT,
    IDS_JAPANESE_BASE + IDS_WRONG_LANGUAGE_TEXT,     IDS_JAPANESE_BASE + IDS_VB_COMPONENT_LABEL,
    IDS_JAPANESE_BASE + IDS_MFC_COMPONENT_LABEL,     IDS_JAPANESE_BASE + IDS_ADO_NOTE_LABEL,
    IDS_JAPANESE_BASE + IDS_TRANSFER_FAILED_TEXT,
};

void LoadUiTexts() {
  // The module that started the process is the program's own; hInstance is
  // not recorded yet when this runs.
  HINSTANCE module = GetModuleHandleA(NULL);
  for (int role = 0; role < UiRoleCount; ++role)
    LoadStringA(module, uiTextEntries[role], setupState.uiText.text[role], UiTextBytes);
}
