#include "win_text.h"

namespace uidriver {

std::string describeError(DWORD code) {
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::string result = "error " + std::to_string(code);
  if (length && text) {
    std::wstring message(text, length);
    while (!message.empty() &&
           (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ' || message.back() == L'.'))
      message.pop_back();
    result += " (" + toUtf8(message) + ")";
  }
  if (text) LocalFree(text);
  return result;
}

namespace {

std::string fromWide(UINT codePage, const std::wstring& text) {
  if (text.empty()) return {};
  int bytes = WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(size_t(bytes), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), out.data(), bytes, nullptr, nullptr);
  return out;
}

} // namespace

std::string toUtf8(const std::wstring& text) { return fromWide(CP_UTF8, text); }
std::string toAnsi(const std::wstring& text) { return fromWide(CP_ACP, text); }

namespace {

std::wstring toWide(UINT codePage, const std::string& text) {
  if (text.empty()) return {};
  int units = MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), nullptr, 0);
  if (units <= 0) return {};
  std::wstring out(size_t(units), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), out.data(), units);
  return out;
}

} // namespace

std::wstring fromUtf8(const std::string& text) { return toWide(CP_UTF8, text); }
std::wstring fromAnsi(const std::string& text) { return toWide(CP_ACP, text); }

} // namespace uidriver
