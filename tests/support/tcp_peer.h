// One end of a TCP connection on the loopback, played by a test: a desktop on
// the RAPI link, a device calling the connection manager, a client of the
// manager's local channel, or the manager a device calls (TcpListener). Reads
// wait for what must come, within the hang guard, or for as long as the test
// says when it checks that nothing comes.
#pragma once

#include "wait_until.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class TcpPeer {
public:
  using Bytes = std::vector<uint8_t>;

  TcpPeer() = default;
  explicit TcpPeer(uint16_t port, const char* from = nullptr) { connect(port, from); }
  // A connection a listener accepted.
  static TcpPeer adopt(int fd) {
    TcpPeer peer;
    peer.fd_ = fd;
    return peer;
  }
  TcpPeer(TcpPeer&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), peerClosed_(other.peerClosed_), buffer_(std::move(other.buffer_)) {}
  ~TcpPeer() { close(); }
  TcpPeer(const TcpPeer&) = delete;
  TcpPeer& operator=(const TcpPeer&) = delete;

  // Connects to `port` of 127.0.0.1; `from` binds the local address, so a
  // test can call from 127.0.0.N as a device on its own address does.
  bool connect(uint16_t port, const char* from = nullptr) {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool bound = !from || (::inet_pton(AF_INET, from, &local.sin_addr) == 1 &&
                                 ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0);
    if (fd_ < 0 || !bound || ::connect(fd_, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) close();
    return connected();
  }
  bool connected() const { return fd_ >= 0; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    peerClosed_ = false;
    buffer_.clear();
  }
  // Ends the connection with a reset instead of an orderly close, as a peer
  // that crashed or lost its cable.
  void vanish() {
    if (fd_ < 0) return;
    linger reset{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close();
  }

  bool send(const Bytes& bytes) const {
    return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
  }
  bool sendText(const std::string& text) const { return send(Bytes(text.begin(), text.end())); }

  // Exactly `count` bytes; nothing when the peer closed first or the wait ran out.
  std::optional<Bytes> receive(size_t count, std::chrono::milliseconds wait = kHangGuard) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (buffer_.size() < count)
      if (!fill(deadline)) return std::nullopt;
    Bytes out(buffer_.begin(), buffer_.begin() + long(count));
    buffer_.erase(buffer_.begin(), buffer_.begin() + long(count));
    return out;
  }
  // A little-endian 32-bit word.
  std::optional<uint32_t> word() {
    const auto bytes = receive(4);
    if (!bytes) return std::nullopt;
    return uint32_t((*bytes)[0] | (*bytes)[1] << 8 | (*bytes)[2] << 16 | uint32_t((*bytes)[3]) << 24);
  }
  std::string peerAddress() const {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    ::getpeername(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return text;
  }
  // One line without its end; "<no line>" when none came.
  std::string line(std::chrono::milliseconds wait = kHangGuard) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
      const auto end = std::find(buffer_.begin(), buffer_.end(), uint8_t('\n'));
      if (end != buffer_.end()) {
        std::string text(buffer_.begin(), end);
        buffer_.erase(buffer_.begin(), end + 1);
        return text;
      }
      if (!fill(deadline)) return "<no line>";
    }
  }
  std::string ask(const std::string& request) {
    sendText(request + "\n");
    return line();
  }
  // True once the peer has closed the connection (what came before is dropped).
  bool closedByPeer(std::chrono::milliseconds wait = kHangGuard) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (fill(deadline)) buffer_.clear();
    return peerClosed_;
  }

private:
  bool fill(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || peerClosed_ || left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) return false;
    uint8_t chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
      peerClosed_ = true;
      return false;
    }
    buffer_.insert(buffer_.end(), chunk, chunk + n);
    return true;
  }

  int fd_ = -1;
  bool peerClosed_ = false;
  Bytes buffer_;
};

// A TCP port of its own on the loopback. Bound but not listening, it refuses
// connections as an absent server does.
class TcpListener {
public:
  TcpListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
      throw std::runtime_error("no loopback port to listen on");
    port_ = ntohs(addr.sin_port);
  }
  ~TcpListener() { ::close(fd_); }
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  void listen() { ::listen(fd_, 4); }
  uint16_t port() const { return port_; }
  // The next connection, or nothing within the hang guard.
  std::optional<TcpPeer> accept() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, int(std::chrono::milliseconds(kHangGuard).count())) <= 0) return std::nullopt;
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return std::nullopt;
    return TcpPeer::adopt(fd);
  }

private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

} // namespace testsupport
