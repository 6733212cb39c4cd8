// The route to the device through the desktop's connection manager
// (`pspclink serve`): a device calls the manager in when its cable link comes
// up, and the manager tells the desktop's programs, on its local channel,
// which device is attached and how to open RAPI to it.
//
// The channel is TCP on the loopback address; its port and the token that
// opens it are in the channel file, which only the desktop user can read.
// rapi.dll reads that file, says hello with the token, asks wait-device,
// connects to the device's RAPI port (sending the encoded password first
// when the device is locked with one), and keeps the channel connection
// open, watching the attach, for as long as the link is in use.
#pragma once

#include "device_socket.h"
#include "device_route.h"

#include <windows.h>
#include <winsock2.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace rapi {

// Where the channel file is, as a Windows path this process can open: in
// the channel folder where link_channel.h puts it. Wine passes the Unix
// environment through but for HOME, which it gives as WINEHOMEDIR, the home
// folder as an NT path ("\??\Z:\home\user"). `unixToDos` maps a Unix path
// to a Windows one. Empty when none of the three is set.
using VariableReader = std::function<std::wstring(const wchar_t* name)>;
using UnixToDos = std::function<std::wstring(const std::wstring& unixPath)>;
std::wstring channelFilePath(const VariableReader& variable, const UnixToDos& unixToDos);

// This process's environment, and Wine's mapping of Unix paths (kernel32's
// wine_get_dos_file_name when there is one, else the Z: drive that Wine maps
// to the root folder).
std::wstring processVariable(const wchar_t* name);
std::wstring dosPathOf(const std::wstring& unixPath);

// The attach whose device refused the password on a RAPI connection: it is
// not tried again, only the next attach is. Kept from one connection attempt
// to the next; a token names the manager that numbered the attach.
struct RefusedAttach {
  std::string token;
  uint64_t attach = 0;
};

class ManagerRoute {
public:
  enum class Outcome {
    Connected,       // `link` is open to the device
    Stopped,         // `stop` was signalled
    PasswordRefused, // the device refused the manager's password; `refused` names the attach
  };

  ManagerRoute(HANDLE stop, DWORD replyTimeoutMs, RefusedAttach& refused);
  ~ManagerRoute();
  ManagerRoute(const ManagerRoute&) = delete;
  ManagerRoute& operator=(const ManagerRoute&) = delete;

  // Waits for an attached, unlocked device and opens RAPI to it. Meanwhile
  // nothing but the manager is asked, and why it waits is told to a
  // debugger (OutputDebugString), once for each change.
  Outcome open(DeviceSocket& link);

  // After open(): waits until the attach ends or the channel connection
  // breaks (true), or until `stop` (false). Costs nothing while it waits.
  bool watch();

  const linkchannel::DeviceRecord& device() const { return device_; }

private:
  class Channel;
  enum class Step { Again, Stopped, Done };
  enum class Watch { Gone, Broken, Stopped };

  // One try: the channel file, hello, wait-device until a device is usable,
  // then its RAPI port. Again when something went wrong, after telling it.
  Step askManager(DeviceSocket& link, Outcome& outcome);
  // The channel file read and checked; false when there is none to use yet.
  bool readChannelFile(linkchannel::ChannelFile& file, std::string& shownPath);
  // Opens the channel and says hello with the file's token; nothing when
  // the manager took it.
  std::optional<Step> greet(const linkchannel::ChannelFile& file, const std::string& shownPath,
                            const std::string& manager);
  // Asks wait-device until the manager names a device to open; nothing then.
  // An attach whose device refused the password is waited out.
  std::optional<Step> awaitUsableDevice(const std::string& manager);
  // Connects to the device's RAPI port, sending the encoded password first
  // when it has one, and watches the attach from then on.
  Step openRapi(DeviceSocket& link, const std::string& manager, Outcome& outcome);
  // Reads the manager's next answer into `line`: nothing when there is one;
  // else the step to take (Stopped, or Again once `whenClosed` is told).
  std::optional<Step> readAnswer(Channel& channel, std::string& line, const std::string& whenClosed);
  // Waits on the channel, after "watch attach=<n>", until the attach ends.
  Watch awaitGone();
  bool pause();
  void report(const std::string& text);

  HANDLE stop_;
  DWORD replyTimeoutMs_;
  RefusedAttach& refused_;
  std::unique_ptr<Channel> channel_;
  linkchannel::DeviceRecord device_; // the one wait-device gave
  std::string token_;
  std::string lastReport_;
  // A channel file whose token the manager refused: not offered again
  // until the file changes.
  std::string refusedChannel_;
};

} // namespace rapi
