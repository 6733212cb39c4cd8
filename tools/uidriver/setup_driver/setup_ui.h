// The setup program's dialogs as a person at a Japanese desktop meets them,
// for the programs that drive it from outside: the ids of their controls
// (IDC_... of the program's resource.h) and the texts it shows, from its
// Japanese string set (japanese_texts.h) as the code page 932 bytes that
// uidriver reads.
#pragma once

#include "resource.h"

#include <string>

namespace setupdriver {

// OK and Cancel of both dialogs and of the message boxes: the platform's IDOK and IDCANCEL.
constexpr int kOk = 1, kCancel = 2;

// Entry n (IDS_... of resource.h) of the Japanese set. Throws std::out_of_range
// for an n the set lacks.
std::string uiText(int entry);

// The texts the drivers wait for, answer and compare with.
inline std::string setupOptionsTitle() { return uiText(IDS_SETUP_OPTIONS_TITLE); } // dialog 101
inline std::string transferTitle() { return uiText(IDS_TRANSFER_TITLE); }          // dialog 102
inline std::string warningCaption() { return uiText(IDS_WARNING_CAPTION); }
inline std::string resetPromptText() { return uiText(IDS_RESET_PROMPT_TEXT); }
inline std::string errorCaption() { return uiText(IDS_ERROR_CAPTION); }
inline std::string connectFailedText() { return uiText(IDS_CONNECT_FAILED_TEXT); }
inline std::string wrongVersionText() { return uiText(IDS_WRONG_VERSION_TEXT); }
inline std::string wrongLanguageText() { return uiText(IDS_WRONG_LANGUAGE_TEXT); }
inline std::string lowStorageText() { return uiText(IDS_LOW_STORAGE_TEXT); }
// The message of a transfer that could not install everything, its count in
// place of the entry's %d, as the program writes it.
std::string transferFailedText(long items);

} // namespace setupdriver
