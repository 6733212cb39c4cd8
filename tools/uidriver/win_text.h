// Texts between the system's forms: UTF-16 (the window system), the desktop's
// ANSI code page (what an 8-bit program sees) and UTF-8 (readable output).
#pragma once

#include <windows.h>

#include <string>

namespace uidriver {

// The system's words for a Win32 error code, as UTF-8, with the code.
std::string describeError(DWORD code);

std::string toUtf8(const std::wstring& text);
std::wstring fromUtf8(const std::string& text);
std::string toAnsi(const std::wstring& text);
std::wstring fromAnsi(const std::string& text);

} // namespace uidriver
