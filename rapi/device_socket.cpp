#include "device_socket.h"

#include <ws2tcpip.h>

#include <mutex>
#include <string>

namespace rapi {

namespace {

// Closes a half-made socket on every early return.
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

// One address of the endpoint: a non-blocking connect, so that `stop` is seen.
bool tryAddress(const addrinfo& address, HANDLE stop, DWORD waitMs, SOCKET& connected) {
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
  connected = s.release();
  return true;
}

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

bool openTcp(const Endpoint& endpoint, HANDLE stop, DWORD waitMs, SOCKET& connected) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  AddressList addresses;
  const std::string port = std::to_string(endpoint.port);
  if (getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &addresses.head) != 0) return false;
  for (const addrinfo* a = addresses.head; a; a = a->ai_next) {
    if (tryAddress(*a, stop, waitMs, connected)) return true;
    if (stop && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return false;
  }
  return false;
}

DeviceSocket& DeviceSocket::operator=(DeviceSocket&& other) noexcept {
  if (this != &other) {
    close();
    socket_ = other.socket_;
    inbox_ = std::move(other.inbox_);
    other.socket_ = INVALID_SOCKET;
    other.inbox_.clear();
  }
  return *this;
}

void DeviceSocket::close() {
  inbox_.clear();
  if (socket_ == INVALID_SOCKET) return;
  closesocket(socket_);
  socket_ = INVALID_SOCKET;
}

bool DeviceSocket::connect(const Endpoint& endpoint, HANDLE stop, DWORD waitMs, DWORD replyTimeoutMs) {
  close();
  SOCKET s = INVALID_SOCKET;
  if (!openTcp(endpoint, stop, waitMs, s)) return false;
  SocketGuard guard(s);
  // Requests are small and answered one by one: send each at once.
  BOOL noDelay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
  DWORD timeout = replyTimeoutMs;
  if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout)) != 0 ||
      setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout)) != 0)
    return false;
  socket_ = guard.release();
  return true;
}

LinkError DeviceSocket::sendAll(const uint8_t* data, size_t size) {
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

LinkError DeviceSocket::receive(uint8_t* into, size_t room, size_t& got) {
  int n = recv(socket_, reinterpret_cast<char*>(into), room > 0x10000 ? 0x10000 : int(room), 0);
  if (n == SOCKET_ERROR) return socketFailure();
  if (n == 0) return LinkError::Closed; // the device hung up mid-reply
  got = size_t(n);
  return LinkError::None;
}

LinkError DeviceSocket::exchange(const std::vector<uint8_t>& framedRequest, std::vector<uint8_t>& reply) {
  if (!isOpen()) return LinkError::Closed;
  if (LinkError e = sendAll(framedRequest.data(), framedRequest.size()); e != LinkError::None) return e;
  return inbox_.take([this](uint8_t* into, size_t room, size_t& got) { return receive(into, room, got); }, reply);
}

LinkError DeviceSocket::unlock(const std::vector<uint8_t>& prelude, uint8_t& answer) {
  if (!isOpen()) return LinkError::Closed;
  if (LinkError e = sendAll(prelude.data(), prelude.size()); e != LinkError::None) return e;
  return inbox_.takeByte([this](uint8_t* into, size_t room, size_t& got) { return receive(into, room, got); }, answer);
}

} // namespace rapi
