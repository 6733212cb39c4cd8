#include "manager_route.h"

#include <memory>

namespace rapi {

namespace {

// How long one wait-device waits in the manager before it is asked again.
constexpr uint32_t kWaitDeviceMs = 30000;

std::wstring widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring out(size_t(units > 0 ? units : 0), L'\0');
  if (units > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), out.data(), units);
  return out;
}

std::string narrow(const std::wstring& text, UINT codePage) {
  if (text.empty()) return std::string();
  int bytes = WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), out.data(), bytes, nullptr, nullptr);
  return out;
}

std::string utf8(const std::wstring& text) { return narrow(text, CP_UTF8); }

// The whole of a small file; false when it cannot be read.
bool readSmallFile(const std::wstring& path, std::string& content) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[linkchannel::kMaxChannelFileBytes];
  DWORD got = 0;
  BOOL read = ReadFile(file, buffer, sizeof(buffer), &got, nullptr);
  CloseHandle(file);
  if (!read) return false;
  content.assign(buffer, got);
  return true;
}

// What tells one channel file from another: its port and token.
std::string identityOf(const linkchannel::ChannelFile& file) { return std::to_string(file.port) + " " + file.token; }

} // namespace

std::wstring channelFilePath(const VariableReader& variable, const UnixToDos& unixToDos) {
  std::wstring folder = variable(widen(linkchannel::kDirVariable).c_str());
  if (folder.empty()) {
    std::wstring runtime = variable(widen(linkchannel::kRuntimeDirVariable).c_str());
    if (!runtime.empty()) folder = runtime + L"/" + widen(linkchannel::kRuntimeFolderName);
  }
  if (!folder.empty()) {
    while (folder.size() > 1 && folder.back() == L'/') folder.pop_back();
    return unixToDos(folder + L"/" + widen(linkchannel::kChannelFileName));
  }
  // "\??\" opens an NT path; "\\?\" is how a Windows program writes it.
  std::wstring home = variable(L"WINEHOMEDIR");
  if (home.rfind(L"\\??\\", 0) == 0) home[1] = L'\\';
  if (home.empty()) return std::wstring();
  while (home.size() > 1 && home.back() == L'\\') home.pop_back();
  return home + L"\\" + widen(linkchannel::kHomeFolderName) + L"\\" + widen(linkchannel::kChannelFileName);
}

std::wstring processVariable(const wchar_t* name) {
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return std::wstring();
  std::wstring value(size, L'\0');
  DWORD length = GetEnvironmentVariableW(name, value.data(), size);
  value.resize(length < size ? length : 0);
  return value;
}

std::wstring dosPathOf(const std::wstring& unixPath) {
  using DosFileName = WCHAR*(CDECL*)(const char*);
  static const auto wineDosFileName = reinterpret_cast<DosFileName>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (wineDosFileName) {
    // Wine read the variable from the Unix side in its Unix code page;
    // CP_UNIXCP is that code page, so this gives back the very bytes.
    constexpr UINT kWineUnixCodePage = 65010;
    const std::string bytes = narrow(unixPath, kWineUnixCodePage);
    if (WCHAR* dos = wineDosFileName(bytes.c_str())) {
      std::wstring path(dos);
      HeapFree(GetProcessHeap(), 0, dos);
      return path;
    }
  }
  std::wstring path = L"Z:" + unixPath;
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

// One connection to the manager's channel: lines out, lines in. Reads wait
// on the socket's event and `stop` together, so a wait ends at once either
// way and costs nothing meanwhile.
class ManagerRoute::Channel {
public:
  enum class Read { Line, Closed, Stopped };

  ~Channel() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    if (event_ != WSA_INVALID_EVENT) WSACloseEvent(event_);
  }

  bool open(uint16_t port, HANDLE stop) {
    if (!openTcp(Endpoint{linkchannel::kChannelAddress, port}, stop, kConnectWaitMs, socket_)) return false;
    event_ = WSACreateEvent();
    return event_ != WSA_INVALID_EVENT && WSAEventSelect(socket_, event_, FD_READ | FD_CLOSE) == 0;
  }

  // Lines are short: the socket's buffer always has room for one.
  bool send(const std::string& line) {
    const std::string text = line + "\n";
    size_t at = 0;
    while (at < text.size()) {
      int sent = ::send(socket_, text.data() + at, int(text.size() - at), 0);
      if (sent <= 0) return false;
      at += size_t(sent);
    }
    return true;
  }

  Read readLine(HANDLE stop, std::string& line) {
    for (;;) {
      size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return Read::Line;
      }
      if (pending_.size() > linkchannel::kMaxLineBytes) return Read::Closed;
      char buffer[1024];
      int got = recv(socket_, buffer, sizeof(buffer), 0);
      if (got > 0) {
        pending_.append(buffer, size_t(got));
        continue;
      }
      if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK) return Read::Closed;
      HANDLE handles[2] = {stop, event_};
      DWORD woke = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
      if (woke == WAIT_OBJECT_0) return Read::Stopped;
      if (woke != WAIT_OBJECT_0 + 1) return Read::Closed;
      WSANETWORKEVENTS events;
      if (WSAEnumNetworkEvents(socket_, event_, &events) != 0) return Read::Closed;
    }
  }

private:
  SOCKET socket_ = INVALID_SOCKET;
  WSAEVENT event_ = WSA_INVALID_EVENT;
  std::string pending_;
};

ManagerRoute::ManagerRoute(HANDLE stop, DWORD replyTimeoutMs, RefusedAttach& refused)
    : stop_(stop), replyTimeoutMs_(replyTimeoutMs), refused_(refused) {}

ManagerRoute::~ManagerRoute() = default;

void ManagerRoute::report(const std::string& text) {
  if (text == lastReport_) return;
  lastReport_ = text;
  // In the desktop's code page, as a debugger (or WINEDEBUG=+debugstr) shows it.
  OutputDebugStringA(narrow(widen("rapi: " + text + "\n"), CP_ACP).c_str());
}

bool ManagerRoute::pause() { return WaitForSingleObject(stop_, kRetryPauseMs) != WAIT_OBJECT_0; }

ManagerRoute::Outcome ManagerRoute::open(DeviceSocket& link) {
  for (;;) {
    Outcome outcome = Outcome::Stopped;
    switch (askManager(link, outcome)) {
    case Step::Done:
      return outcome;
    case Step::Stopped:
      return Outcome::Stopped;
    case Step::Again:
      break;
    }
    channel_.reset();
    if (!pause()) return Outcome::Stopped;
  }
}

ManagerRoute::Step ManagerRoute::askManager(DeviceSocket& link, Outcome& outcome) {
  linkchannel::ChannelFile file;
  std::string shownPath;
  if (!readChannelFile(file, shownPath)) return Step::Again;
  const std::string manager =
      std::string("the connection manager on ") + linkchannel::kChannelAddress + ":" + std::to_string(file.port);
  if (auto step = greet(file, shownPath, manager)) return *step;
  if (auto step = awaitUsableDevice(manager)) return *step;
  return openRapi(link, manager, outcome);
}

bool ManagerRoute::readChannelFile(linkchannel::ChannelFile& file, std::string& shownPath) {
  const std::wstring path = channelFilePath(processVariable, dosPathOf);
  if (path.empty()) {
    report(std::string("no channel folder of the connection manager: set ") + linkchannel::kDirVariable +
           " to the folder of pspclink serve");
    return false;
  }
  shownPath = utf8(path);
  std::string text;
  if (!readSmallFile(path, text)) {
    report("waiting for the connection manager: no channel file " + shownPath + " (is pspclink serve running?)");
    return false;
  }
  auto read = linkchannel::parseChannelFile(text);
  if (!read) {
    report("waiting for the connection manager: " + shownPath + " is not a channel file");
    return false;
  }
  // A file whose token was refused is waited out: asking again would only
  // be refused again, and fill the manager's log.
  if (identityOf(*read) == refusedChannel_) return false;
  file = std::move(*read);
  return true;
}

std::optional<ManagerRoute::Step> ManagerRoute::greet(const linkchannel::ChannelFile& file,
                                                      const std::string& shownPath, const std::string& manager) {
  auto channel = std::make_unique<Channel>();
  if (!channel->open(file.port, stop_)) {
    if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) return Step::Stopped;
    report(std::string("waiting for the connection manager: nothing answers on ") + linkchannel::kChannelAddress +
           ":" + std::to_string(file.port) + ", the port of " + shownPath);
    return Step::Again;
  }
  std::string line;
  if (!channel->send(linkchannel::helloRequest(file.token))) return Step::Again;
  if (auto step = readAnswer(*channel, line, manager + " closed the channel before it answered hello")) return *step;
  if (line != linkchannel::kOk) {
    refusedChannel_ = identityOf(file);
    report(manager + " refused the token of " + shownPath + " (\"" + line.substr(0, 200) +
           "\"): waiting for the channel file of a running manager");
    return Step::Again;
  }
  channel_ = std::move(channel);
  token_ = file.token;
  return std::nullopt;
}

std::optional<ManagerRoute::Step> ManagerRoute::awaitUsableDevice(const std::string& manager) {
  std::string line;
  for (;;) {
    report("waiting for a device to attach to " + manager);
    if (!channel_->send(linkchannel::waitDeviceRequest(kWaitDeviceMs))) return Step::Again;
    if (auto step = readAnswer(*channel_, line, manager + " closed the channel")) return *step;
    std::string reason;
    switch (readDeviceAnswer(line, device_, reason)) {
    case AnswerKind::None:
      continue;
    case AnswerKind::Refused:
      report(manager + " refused wait-device: " + reason);
      return Step::Again;
    case AnswerKind::Malformed:
      report(manager + " answered wait-device with " + reason);
      return Step::Again;
    case AnswerKind::Device:
      break;
    }
    if (refused_.token != token_ || refused_.attach != device_.attach) return std::nullopt;
    // Its password was refused on this attach: only the next one is tried.
    report("waiting for the next attach: device \"" + device_.name + "\" refused the password on attach " +
           std::to_string(device_.attach));
    if (!channel_->send(linkchannel::watchRequest(device_.attach))) return Step::Again;
    switch (awaitGone()) {
    case Watch::Stopped:
      return Step::Stopped;
    case Watch::Broken:
      return Step::Again;
    case Watch::Gone:
      break;
    }
  }
}

ManagerRoute::Step ManagerRoute::openRapi(DeviceSocket& link, const std::string& manager, Outcome& outcome) {
  const std::string device =
      "device \"" + device_.name + "\" at " + device_.address + ":" + std::to_string(device_.rapiPort);
  DeviceSocket candidate;
  if (!candidate.connect(Endpoint{device_.address, device_.rapiPort}, stop_, kConnectWaitMs, replyTimeoutMs_)) {
    if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) return Step::Stopped;
    report(device + " does not answer on its RAPI port");
    return Step::Again;
  }
  if (!device_.prelude.empty()) {
    uint8_t answer = 0;
    if (candidate.unlock(device_.prelude, answer) != LinkError::None) {
      report(device + " did not answer the password that opens its RAPI connection");
      return Step::Again;
    }
    if (answer == 0) {
      refused_ = RefusedAttach{token_, device_.attach};
      report(device + " refused the password on its RAPI connection; it is tried again when it attaches anew");
      outcome = Outcome::PasswordRefused;
      return Step::Done;
    }
  }
  // Watched from now on: an attach that ends meanwhile is answered "gone" at once.
  if (!channel_->send(linkchannel::watchRequest(device_.attach))) return Step::Again;
  link = std::move(candidate);
  report("connected to " + device + " (attach " + std::to_string(device_.attach) + ") through " + manager);
  outcome = Outcome::Connected;
  return Step::Done;
}

std::optional<ManagerRoute::Step> ManagerRoute::readAnswer(Channel& channel, std::string& line,
                                                         const std::string& whenClosed) {
  switch (channel.readLine(stop_, line)) {
  case Channel::Read::Stopped:
    return Step::Stopped;
  case Channel::Read::Closed:
    report(whenClosed);
    return Step::Again;
  case Channel::Read::Line:
    break;
  }
  return std::nullopt;
}

ManagerRoute::Watch ManagerRoute::awaitGone() {
  std::string line;
  for (;;) {
    switch (channel_->readLine(stop_, line)) {
    case Channel::Read::Stopped:
      return Watch::Stopped;
    case Channel::Read::Closed:
      report("the connection manager closed the channel while device \"" + device_.name + "\" was in use");
      return Watch::Broken;
    case Channel::Read::Line:
      break;
    }
    if (line == linkchannel::kGone) {
      report("device \"" + device_.name + "\" (attach " + std::to_string(device_.attach) + ") is gone");
      return Watch::Gone;
    }
    if (line.rfind(linkchannel::kError, 0) == 0) {
      report("the connection manager cannot watch device \"" + device_.name + "\": " + line.substr(0, 200));
      return Watch::Broken;
    }
  }
}

bool ManagerRoute::watch() { return awaitGone() != Watch::Stopped; }

} // namespace rapi
