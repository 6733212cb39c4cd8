// cetool: small device chores from the desktop, through rapi.dll only.
//
//   cetool put <desktop file> <device path>    copy a file onto the device
//   cetool regset <HKCR|HKLM|HKCU> <key path> <value name or -> <text>
//                                              write a REG_SZ value
//   cetool ls <device folder>                  list a device folder
//
// Waits up to PSPC_CETOOL_WAIT seconds (default 10) for the device.
#include "rapi.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace {

constexpr DWORD kChunkBytes = 4096;
constexpr DWORD kDefaultWaitSeconds = 10;

// Console output in the console's own way, or UTF-8 into a pipe or file.
void writeText(DWORD stream, const std::wstring& text) {
  HANDLE out = GetStdHandle(stream);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0, written = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, text.data(), DWORD(text.size()), &written, nullptr);
    return;
  }
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::string utf8(size_t(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), utf8.data(), bytes, nullptr, nullptr);
  WriteFile(out, utf8.data(), DWORD(utf8.size()), &written, nullptr);
}

void say(const std::wstring& text) { writeText(STD_OUTPUT_HANDLE, text + L"\n"); }
void complain(const std::wstring& text) { writeText(STD_ERROR_HANDLE, L"cetool: " + text + L"\n"); }

std::wstring hex(DWORD value) {
  wchar_t buffer[16];
  swprintf(buffer, 16, L"0x%08lX", static_cast<unsigned long>(value));
  return buffer;
}

// The system's text for a Win32 code, without its line break.
std::wstring describe(DWORD code) {
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::wstring result = L"error " + std::to_wstring(code);
  if (length && text) {
    std::wstring message(text, length);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
      message.pop_back();
    result += L" (" + message + L")";
  }
  if (text) LocalFree(text);
  return result;
}

// Why the last device call failed, from the device's own error code.
std::wstring deviceError() {
  HRESULT link = CeRapiGetError();
  std::wstring text = describe(CeGetLastError());
  if (FAILED(link)) text += L", link " + hex(DWORD(link));
  return text;
}

void usage() {
  complain(L"usage:\n"
           L"  cetool put <desktop file> <device path>\n"
           L"  cetool regset <HKCR|HKLM|HKCU> <key path> <value name or -> <text>\n"
           L"  cetool ls <device folder>");
}

DWORD waitSeconds() {
  wchar_t buffer[16];
  DWORD length = GetEnvironmentVariableW(L"PSPC_CETOOL_WAIT", buffer, 16);
  if (length == 0 || length >= 16) return kDefaultWaitSeconds;
  wchar_t* end = nullptr;
  unsigned long value = wcstoul(buffer, &end, 10);
  if (end == buffer || *end != L'\0' || value == 0 || value > 3600) return kDefaultWaitSeconds;
  return DWORD(value);
}

// Ends the connection on every way out of a command.
class DeviceSession {
public:
  DeviceSession() = default;
  ~DeviceSession() {
    if (started_) CeRapiUninit();
  }
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  bool connect() {
    RAPIINIT init{};
    init.cbSize = sizeof(init);
    HRESULT hr = CeRapiInitEx(&init);
    if (FAILED(hr)) {
      complain(L"cannot start the device connection: " + hex(DWORD(hr)));
      return false;
    }
    started_ = true;
    DWORD seconds = waitSeconds();
    if (WaitForSingleObject(init.heRapiInit, seconds * 1000) != WAIT_OBJECT_0) {
      complain(L"no device answered within " + std::to_wstring(seconds) +
               L" s; is it connected? (PSPC_RAPI_ENDPOINT names where to look)");
      return false;
    }
    if (FAILED(init.hrRapiInit)) {
      complain(L"cannot connect to the device: " + hex(DWORD(init.hrRapiInit)));
      return false;
    }
    return true;
  }

private:
  bool started_ = false;
};

class DesktopFile {
public:
  explicit DesktopFile(const std::wstring& path)
      : handle_(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~DesktopFile() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  DesktopFile(const DesktopFile&) = delete;
  DesktopFile& operator=(const DesktopFile&) = delete;
  HANDLE get() const { return handle_; }

private:
  HANDLE handle_;
};

class DeviceFile {
public:
  explicit DeviceFile(HANDLE handle) : handle_(handle) {}
  ~DeviceFile() { close(); }
  DeviceFile(const DeviceFile&) = delete;
  DeviceFile& operator=(const DeviceFile&) = delete;
  HANDLE get() const { return handle_; }
  bool close() {
    if (handle_ == INVALID_HANDLE_VALUE) return true;
    BOOL closed = CeCloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return closed != FALSE;
  }

private:
  HANDLE handle_;
};

int put(const std::wstring& source, const std::wstring& destination) {
  DesktopFile input(source);
  if (input.get() == INVALID_HANDLE_VALUE) {
    complain(L"cannot open " + source + L": " + describe(GetLastError()));
    return 1;
  }
  DeviceSession session;
  if (!session.connect()) return 1;
  DeviceFile output(CeCreateFile(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (output.get() == INVALID_HANDLE_VALUE) {
    complain(L"cannot create " + destination + L" on the device: " + deviceError());
    return 1;
  }
  std::vector<BYTE> chunk(kChunkBytes);
  unsigned long long total = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(input.get(), chunk.data(), kChunkBytes, &got, nullptr)) {
      complain(L"cannot read " + source + L": " + describe(GetLastError()));
      return 1;
    }
    if (got == 0) break;
    DWORD written = 0;
    if (!CeWriteFile(output.get(), chunk.data(), got, &written, nullptr) || written != got) {
      complain(L"writing " + destination + L" on the device failed after " + std::to_wstring(total) +
               L" bytes: " + deviceError());
      return 1;
    }
    total += got;
  }
  if (!output.close()) {
    complain(L"cannot close " + destination + L" on the device: " + deviceError());
    return 1;
  }
  say(L"copied " + std::to_wstring(total) + L" bytes to " + destination);
  return 0;
}

bool parseRoot(const std::wstring& name, HKEY& root) {
  std::wstring upper = name;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](wchar_t c) { return wchar_t(towupper(c)); });
  if (upper == L"HKCR" || upper == L"HKEY_CLASSES_ROOT") root = HKEY_CLASSES_ROOT;
  else if (upper == L"HKLM" || upper == L"HKEY_LOCAL_MACHINE") root = HKEY_LOCAL_MACHINE;
  else if (upper == L"HKCU" || upper == L"HKEY_CURRENT_USER") root = HKEY_CURRENT_USER;
  else return false;
  return true;
}

int regset(const std::wstring& rootName, const std::wstring& keyPath, const std::wstring& valueName,
           const std::wstring& text) {
  HKEY root = nullptr;
  if (!parseRoot(rootName, root)) {
    complain(L"unknown registry root " + rootName + L"; use HKCR, HKLM or HKCU");
    return 2;
  }
  DeviceSession session;
  if (!session.connect()) return 1;
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG status = CeRegCreateKeyEx(root, keyPath.c_str(), 0, nullptr, 0, 0, nullptr, &key, &disposition);
  if (status != ERROR_SUCCESS) {
    complain(L"cannot open or create " + rootName + L"\\" + keyPath + L": " + describe(DWORD(status)));
    return 1;
  }
  // "-" names the key's default value.
  const wchar_t* name = valueName == L"-" ? nullptr : valueName.c_str();
  // REG_SZ data carries its terminating NUL.
  const DWORD bytes = DWORD((text.size() + 1) * sizeof(wchar_t));
  status = CeRegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<BYTE*>(const_cast<wchar_t*>(text.c_str())), bytes);
  LONG closed = CeRegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    complain(L"cannot set " + (name ? L"\"" + valueName + L"\"" : std::wstring(L"the default value")) + L" of " +
             rootName + L"\\" + keyPath + L": " + describe(DWORD(status)));
    return 1;
  }
  if (closed != ERROR_SUCCESS) {
    complain(L"cannot close " + rootName + L"\\" + keyPath + L": " + describe(DWORD(closed)));
    return 1;
  }
  say(L"set " + rootName + L"\\" + keyPath + L" " + (name ? valueName : std::wstring(L"(default)")) + L" = \"" +
      text + L"\"");
  return 0;
}

int ls(std::wstring folder) {
  while (folder.size() > 1 && folder.back() == L'\\') folder.pop_back();
  std::wstring pattern = folder == L"\\" ? L"\\*" : folder + L"\\*";
  DeviceSession session;
  if (!session.connect()) return 1;
  // An empty listing cannot tell a missing folder from an empty one: look
  // the folder itself up first.
  if (folder != L"\\") {
    DWORD found = 0;
    CE_FIND_DATA* self = nullptr;
    if (!CeFindAllFiles(folder.c_str(), FAF_ATTRIBUTES | FAF_NAME, &found, &self)) {
      complain(L"cannot look up " + folder + L" on the device: " + deviceError());
      return 1;
    }
    bool isFolder = found == 1 && (self[0].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CeRapiFreeBuffer(self);
    if (found == 0) {
      complain(L"there is no " + folder + L" on the device");
      return 1;
    }
    if (!isFolder) {
      complain(folder + L" on the device is not a folder");
      return 1;
    }
  }
  DWORD count = 0;
  CE_FIND_DATA* entries = nullptr;
  if (!CeFindAllFiles(pattern.c_str(), FAF_ATTRIBUTES | FAF_SIZE_LOW | FAF_SIZE_HIGH | FAF_NAME, &count, &entries)) {
    complain(L"cannot list " + folder + L" on the device: " + deviceError());
    return 1;
  }
  std::vector<const CE_FIND_DATA*> sorted;
  for (DWORD i = 0; i < count; ++i) sorted.push_back(&entries[i]);
  std::sort(sorted.begin(), sorted.end(),
            [](const CE_FIND_DATA* a, const CE_FIND_DATA* b) { return _wcsicmp(a->cFileName, b->cFileName) < 0; });
  for (const CE_FIND_DATA* e : sorted) {
    wchar_t size[32];
    if (e->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      swprintf(size, 32, L"%12ls", L"<DIR>");
    } else {
      unsigned long long bytes = (static_cast<unsigned long long>(e->nFileSizeHigh) << 32) | e->nFileSizeLow;
      swprintf(size, 32, L"%12llu", bytes);
    }
    say(std::wstring(size) + L"  " + e->cFileName);
  }
  CeRapiFreeBuffer(entries);
  say(std::to_wstring(count) + (count == 1 ? L" entry" : L" entries"));
  return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == L"put") return put(args[1], args[2]);
  if (args.size() == 5 && args[0] == L"regset") return regset(args[1], args[2], args[3], args[4]);
  if (args.size() == 2 && args[0] == L"ls") return ls(args[1]);
  usage();
  return 2;
}
