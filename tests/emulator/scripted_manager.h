// A scripted connection manager for the device's calls: a TCP listener on a
// loopback port of its own, read and written byte by byte as the test says,
// with the desktop's messages written out by hand.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace pspc::testing {

// Hang guard for every wait on the device: long enough for a loaded machine,
// never a measure of speed.
constexpr int kGuardMs = 20000;

using Bytes = std::vector<uint8_t>;

inline Bytes le32(uint32_t value) {
  return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// UTF-16LE units of ASCII text with the terminator.
inline Bytes utf16z(const std::string& ascii) {
  Bytes out;
  for (char c : ascii) out.insert(out.end(), {uint8_t(c), 0});
  out.insert(out.end(), {0, 0});
  return out;
}

// The password as a desktop sends it: a 16-bit byte count, then the UTF-16LE
// units with the terminator, every byte XORed with the key.
inline Bytes encodedPassword(const std::string& ascii, uint8_t key) {
  Bytes units = utf16z(ascii);
  Bytes out = {uint8_t(units.size()), uint8_t(units.size() >> 8)};
  for (uint8_t b : units) out.push_back(uint8_t(b ^ key));
  return out;
}

inline const Bytes kPing = {0x78, 0x56, 0x34, 0x12};

// One connection the device made to the scripted manager.
class Call {
public:
  explicit Call(int fd) : fd_(fd) {}
  Call(Call&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  ~Call() { hangUp(); }

  void hangUp() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool send(const Bytes& bytes) { return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size()); }
  // Exactly `count` bytes, or nothing when the device closed or the guard ran out.
  std::optional<Bytes> read(size_t count) {
    Bytes out(count);
    size_t got = 0;
    while (got < count) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, kGuardMs) <= 0) return std::nullopt;
      const ssize_t n = ::recv(fd_, out.data() + got, count - got, 0);
      if (n <= 0) return std::nullopt;
      got += size_t(n);
    }
    return out;
  }
  std::optional<uint32_t> word() {
    auto bytes = read(4);
    if (!bytes) return std::nullopt;
    return uint32_t((*bytes)[0] | (*bytes)[1] << 8 | (*bytes)[2] << 16 | uint32_t((*bytes)[3]) << 24);
  }
  // The introduction after its length word: the body.
  std::optional<Bytes> introduction() {
    auto length = word();
    if (!length || *length >= 512) return std::nullopt;
    return read(*length);
  }
  // True once the device has closed its end (within the guard).
  bool closedByDevice() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, kGuardMs) <= 0) return false;
    uint8_t byte;
    return ::recv(fd_, &byte, 1, 0) <= 0;
  }
  std::string peerAddress() const {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    ::getpeername(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return text;
  }

private:
  int fd_ = -1;
};

// The manager's end: a socket on a loopback port of its own. Bound but not
// listening, it refuses calls as an absent manager does.
class ScriptedManager {
public:
  ScriptedManager() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("bind failed");
    socklen_t length = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
  }
  ~ScriptedManager() { ::close(fd_); }
  ScriptedManager(const ScriptedManager&) = delete;
  ScriptedManager& operator=(const ScriptedManager&) = delete;

  void listen() { ::listen(fd_, 4); }
  uint16_t port() const { return port_; }
  // The device's next call, or nothing within the guard.
  std::optional<Call> accept() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, kGuardMs) <= 0) return std::nullopt;
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return std::nullopt;
    return Call(fd);
  }

private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

} // namespace pspc::testing
