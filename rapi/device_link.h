// One TCP connection to the device: connect, then one request packet out and
// one reply packet in at a time. Knows frames, not commands.
#pragma once

#include "endpoint.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <vector>

namespace rapi {

// Starts Winsock once for the process. Not done while the DLL loads: Winsock
// may not be started under the loader lock.
bool startWinsock(int& error);

enum class LinkError {
  None,
  Closed,      // the device closed the connection, or it failed
  TimedOut,    // no reply within the reply time-out
  BadFrame,    // a reply length beyond the frame cap: the stream cannot be trusted
  OutOfMemory, // a reply could not be stored; the rest of it is unread
};

class DeviceLink {
public:
  // A device that has not answered within this time is taken as gone, so no
  // call hangs for ever.
  static constexpr DWORD kDefaultReplyTimeoutMs = 20000;

  DeviceLink() = default;
  ~DeviceLink() { close(); }
  DeviceLink(DeviceLink&& other) noexcept
      : socket_(other.socket_), inbox_(std::move(other.inbox_)), inboxStart_(other.inboxStart_),
        inboxEnd_(other.inboxEnd_) {
    other.socket_ = INVALID_SOCKET;
    other.inbox_.clear();
    other.inboxStart_ = other.inboxEnd_ = 0;
  }
  DeviceLink& operator=(DeviceLink&& other) noexcept;
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // One attempt to reach the device. Gives up after `waitMs`, or as soon as
  // `stop` is signalled. Each reply must then begin within `replyTimeoutMs`.
  bool connect(const Endpoint& endpoint, HANDLE stop, DWORD waitMs, DWORD replyTimeoutMs);

  // Sends one framed request and reads the one reply packet that answers it.
  LinkError exchange(const std::vector<uint8_t>& framedRequest, std::vector<uint8_t>& reply);

  bool isOpen() const { return socket_ != INVALID_SOCKET; }
  void close();

private:
  LinkError sendAll(const uint8_t* data, size_t size);
  // Receives until the inbox holds at least `wanted` unread bytes.
  LinkError receiveAtLeast(size_t wanted);

  SOCKET socket_ = INVALID_SOCKET;
  // Received bytes not yet handed out are inbox_[inboxStart_, inboxEnd_).
  // Each receive asks for all the room there is, so a reply's length word
  // and its body come in one call: under Wine every socket call is a round
  // trip to the Wine server, and a second one per reply cost a third of a
  // call's time.
  std::vector<uint8_t> inbox_;
  size_t inboxStart_ = 0, inboxEnd_ = 0;
};

} // namespace rapi
