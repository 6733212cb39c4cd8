// A minimal desktop end of the RAPI link for native tests: sends encoded
// requests to a serving emulator and hands back the reply packets.
#pragma once

#include "rapi_commands.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>

namespace pspc::testing {

class LinkClient {
public:
  LinkClient() = default;
  LinkClient(const LinkClient&) = delete;
  LinkClient& operator=(const LinkClient&) = delete;
  ~LinkClient() { close(); }

  bool connect(uint16_t port) {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close();
      return false;
    }
    return true;
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool sendRaw(const std::vector<uint8_t>& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
  }

  // The next reply packet, or nothing when the link closed or stayed silent.
  std::optional<std::vector<uint8_t>> receive(int timeoutMs = 5000) {
    std::vector<uint8_t> payload;
    for (;;) {
      if (decoder_.next(payload) == rapiwire::FrameDecoder::Status::Frame) return payload;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
      uint8_t buf[65536];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return std::nullopt;
      decoder_.feed(buf, size_t(n));
    }
  }

  // Exactly `count` bytes as they come, before any packet (a connection's
  // opening), or nothing when the link closed or stayed silent.
  std::optional<std::vector<uint8_t>> receiveRaw(size_t count, int timeoutMs = 5000) {
    std::vector<uint8_t> bytes(count);
    for (size_t got = 0; got < count;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
      ssize_t n = ::recv(fd_, bytes.data() + got, count - got, 0);
      if (n <= 0) return std::nullopt;
      got += size_t(n);
    }
    return bytes;
  }

  template <typename Request> std::optional<std::vector<uint8_t>> call(const Request& request) {
    if (!sendRaw(rapiwire::frame(rapiwire::encodeRequest(request)))) return std::nullopt;
    return receive();
  }

  // True when the peer has closed the link within the time.
  bool closedByPeer(int timeoutMs = 5000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    uint8_t buf[256];
    return ::recv(fd_, buf, sizeof buf, 0) <= 0;
  }

private:
  int fd_ = -1;
  rapiwire::FrameDecoder decoder_;
};

} // namespace pspc::testing
