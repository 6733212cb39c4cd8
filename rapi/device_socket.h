// One TCP connection to the device: connect, then one request packet out and
// one reply packet in at a time. Knows frames, not commands.
#pragma once

#include "endpoint.h"
#include "reply_inbox.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <vector>

namespace rapi {

// Starts Winsock once for the process. Not done while the DLL loads: Winsock
// may not be started under the loader lock.
bool startWinsock(int& error);

// The time one connect may take, to the device or to the connection manager.
constexpr DWORD kConnectWaitMs = 1000;
// The pause before the next try while the device, or the manager, is not
// there yet: short beside a person's wait, long beside a connect on the
// same machine.
constexpr DWORD kRetryPauseMs = 200;

// Opens a TCP connection to `endpoint`: gives up after `waitMs`, or as soon
// as `stop` is signalled. The socket comes back in blocking mode.
bool openTcp(const Endpoint& endpoint, HANDLE stop, DWORD waitMs, SOCKET& connected);

class DeviceSocket {
public:
  // A device that has not answered within this time is taken as gone, so no
  // call hangs for ever.
  static constexpr DWORD kDefaultReplyTimeoutMs = 20000;

  DeviceSocket() = default;
  ~DeviceSocket() { close(); }
  DeviceSocket(DeviceSocket&& other) noexcept : socket_(other.socket_), inbox_(std::move(other.inbox_)) {
    other.socket_ = INVALID_SOCKET;
    other.inbox_.clear();
  }
  DeviceSocket& operator=(DeviceSocket&& other) noexcept;
  DeviceSocket(const DeviceSocket&) = delete;
  DeviceSocket& operator=(const DeviceSocket&) = delete;

  // One attempt to reach the device. Gives up after `waitMs`, or as soon as
  // `stop` is signalled. Each reply must then begin within `replyTimeoutMs`.
  bool connect(const Endpoint& endpoint, HANDLE stop, DWORD waitMs, DWORD replyTimeoutMs);

  // Sends one framed request and reads the one reply packet that answers it.
  LinkError exchange(const std::vector<uint8_t>& framedRequest, std::vector<uint8_t>& reply);

  // Opens a new connection to a device locked with a password: sends the
  // encoded password and reads the device's one-byte answer (0: refused).
  LinkError unlock(const std::vector<uint8_t>& prelude, uint8_t& answer);

  bool isOpen() const { return socket_ != INVALID_SOCKET; }
  // The socket, for shutting it down from another thread; the Connection
  // keeps it from being closed meanwhile.
  SOCKET socket() const { return socket_; }
  void close();

private:
  LinkError sendAll(const uint8_t* data, size_t size);
  LinkError receive(uint8_t* into, size_t room, size_t& got);

  SOCKET socket_ = INVALID_SOCKET;
  ReplyInbox inbox_;
};

} // namespace rapi
