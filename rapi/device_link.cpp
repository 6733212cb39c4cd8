#include "device_link.h"

#include "../protocol/wire_primitives.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

namespace rapi {

namespace {

// Closes a half-made socket on every early return of connect().
class SocketGuard {
public:
  explicit SocketGuard(SOCKET s) : socket_(s) {}
  ~SocketGuard() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
  }
  SocketGuard(const SocketGuard&) = delete;
  SocketGuard& operator=(const SocketGuard&) = delete;
  SOCKET release() {
    SOCKET s = socket_;
    socket_ = INVALID_SOCKET;
    return s;
  }
  SOCKET get() const { return socket_; }

private:
  SOCKET socket_;
};

struct AddressList {
  addrinfo* head = nullptr;
  ~AddressList() {
    if (head) freeaddrinfo(head);
  }
};

// Waits for a non-blocking connect to finish, in short slices so that a stop
// request is seen promptly.
bool awaitConnected(SOCKET s, HANDLE stop, DWORD waitMs) {
  constexpr DWORD kSliceMs = 50;
  DWORD waited = 0;
  for (;;) {
    if (stop && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return false;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval slice{0, long(kSliceMs * 1000)};
    int ready = select(0, nullptr, &writable, &failed, &slice);
    if (ready == SOCKET_ERROR) return false;
    if (ready > 0) {
      if (FD_ISSET(s, &failed)) return false;
      int error = 0;
      int length = sizeof(error);
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) return false;
      return error == 0;
    }
    waited += kSliceMs;
    if (waited >= waitMs) return false;
  }
}

bool tryAddress(const addrinfo& address, HANDLE stop, DWORD waitMs, DWORD replyTimeoutMs, SOCKET& connected) {
  SocketGuard s(socket(address.ai_family, address.ai_socktype, address.ai_protocol));
  if (s.get() == INVALID_SOCKET) return false;
  u_long nonBlocking = 1;
  if (ioctlsocket(s.get(), FIONBIO, &nonBlocking) != 0) return false;
  if (::connect(s.get(), address.ai_addr, int(address.ai_addrlen)) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
    if (!awaitConnected(s.get(), stop, waitMs)) return false;
  }
  u_long blocking = 0;
  if (ioctlsocket(s.get(), FIONBIO, &blocking) != 0) return false;
  // Requests are small and answered one by one: send each at once.
  BOOL noDelay = TRUE;
  setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
  DWORD timeout = replyTimeoutMs;
  if (setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout)) != 0 ||
      setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout)) != 0)
    return false;
  connected = s.release();
  return true;
}

// Receive room for every reply but a large read's, kept from one reply to the
// next; the larger room a large read needs is given back once it is read.
constexpr size_t kReceiveRoom = 0x10000;

LinkError socketFailure() { return WSAGetLastError() == WSAETIMEDOUT ? LinkError::TimedOut : LinkError::Closed; }

} // namespace

bool startWinsock(int& error) {
  static std::once_flag once;
  static int startError = 0;
  std::call_once(once, [] {
    WSADATA data;
    startError = WSAStartup(MAKEWORD(2, 2), &data);
  });
  error = startError;
  return startError == 0;
}

DeviceLink& DeviceLink::operator=(DeviceLink&& other) noexcept {
  if (this != &other) {
    close();
    socket_ = other.socket_;
    inbox_ = std::move(other.inbox_);
    inboxStart_ = other.inboxStart_;
    inboxEnd_ = other.inboxEnd_;
    other.socket_ = INVALID_SOCKET;
    other.inbox_.clear();
    other.inboxStart_ = other.inboxEnd_ = 0;
  }
  return *this;
}

void DeviceLink::close() {
  // What a closed connection left unread is no part of the next one.
  inboxStart_ = inboxEnd_ = 0;
  if (socket_ == INVALID_SOCKET) return;
  closesocket(socket_);
  socket_ = INVALID_SOCKET;
}

bool DeviceLink::connect(const Endpoint& endpoint, HANDLE stop, DWORD waitMs, DWORD replyTimeoutMs) {
  close();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  AddressList addresses;
  const std::string port = std::to_string(endpoint.port);
  if (getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &addresses.head) != 0) return false;
  for (const addrinfo* a = addresses.head; a; a = a->ai_next) {
    SOCKET s = INVALID_SOCKET;
    if (tryAddress(*a, stop, waitMs, replyTimeoutMs, s)) {
      socket_ = s;
      return true;
    }
    if (stop && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return false;
  }
  return false;
}

LinkError DeviceLink::sendAll(const uint8_t* data, size_t size) {
  while (size > 0) {
    int chunk = size > 0x10000 ? 0x10000 : int(size);
    int sent = send(socket_, reinterpret_cast<const char*>(data), chunk, 0);
    if (sent == SOCKET_ERROR) return socketFailure();
    if (sent <= 0) return LinkError::Closed;
    data += sent;
    size -= size_t(sent);
  }
  return LinkError::None;
}

LinkError DeviceLink::receiveAtLeast(size_t wanted) {
  if (inboxEnd_ - inboxStart_ >= wanted) return LinkError::None;
  // Unread bytes to the front, so that the room behind them is whole.
  if (inboxStart_ > 0) {
    std::memmove(inbox_.data(), inbox_.data() + inboxStart_, inboxEnd_ - inboxStart_);
    inboxEnd_ -= inboxStart_;
    inboxStart_ = 0;
  }
  if (inbox_.size() < std::max(wanted, kReceiveRoom)) {
    try {
      inbox_.resize(std::max(wanted, kReceiveRoom));
    } catch (const std::bad_alloc&) {
      return LinkError::OutOfMemory;
    }
  }
  while (inboxEnd_ < wanted) {
    const size_t room = inbox_.size() - inboxEnd_;
    int got = recv(socket_, reinterpret_cast<char*>(inbox_.data() + inboxEnd_), room > 0x10000 ? 0x10000 : int(room),
                   0);
    if (got == SOCKET_ERROR) return socketFailure();
    if (got == 0) return LinkError::Closed; // the device hung up mid-reply
    inboxEnd_ += size_t(got);
  }
  return LinkError::None;
}

LinkError DeviceLink::exchange(const std::vector<uint8_t>& framedRequest, std::vector<uint8_t>& reply) {
  if (!isOpen()) return LinkError::Closed;
  if (LinkError e = sendAll(framedRequest.data(), framedRequest.size()); e != LinkError::None) return e;
  if (LinkError e = receiveAtLeast(4); e != LinkError::None) return e;
  const uint32_t length = rapiwire::loadLe32(inbox_.data() + inboxStart_);
  // Checked before anything is allocated for it.
  if (length > rapiwire::kMaxFrameBytes) return LinkError::BadFrame;
  if (LinkError e = receiveAtLeast(4 + size_t(length)); e != LinkError::None) return e;
  const uint8_t* body = inbox_.data() + inboxStart_ + 4;
  try {
    reply.assign(body, body + length);
  } catch (const std::bad_alloc&) {
    return LinkError::OutOfMemory;
  }
  inboxStart_ += 4 + size_t(length);
  if (inboxStart_ == inboxEnd_) {
    inboxStart_ = inboxEnd_ = 0;
    if (inbox_.size() > kReceiveRoom) {
      inbox_.clear();
      inbox_.shrink_to_fit();
    }
  }
  return LinkError::None;
}

} // namespace rapi
