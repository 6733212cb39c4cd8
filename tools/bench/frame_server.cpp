#include "frame_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

namespace {

// The same cap the device applies to a packet, so that a stray length word
// cannot make the server allocate without bound.
constexpr uint32_t kMaxPayloadBytes = 1u << 20;

uint32_t readU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool sendAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

} // namespace

void FrameServer::start() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error(std::string("frame server: no socket: ") + std::strerror(errno));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd_, 4) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error(std::string("frame server: cannot listen: ") + std::strerror(errno));
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

void FrameServer::stop() {
  if (stopping_.exchange(true)) return;
  if (acceptThread_.joinable()) acceptThread_.join();
  std::list<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    for (int fd : connectionFds_) ::shutdown(fd, SHUT_RDWR);
    threads.swap(connections_);
  }
  for (std::thread& t : threads) t.join();
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
}

void FrameServer::acceptLoop() {
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard lock(mutex_);
    connectionFds_.push_back(fd);
    connections_.emplace_back([this, fd] { serve(fd); });
  }
}

void FrameServer::serve(int fd) {
  std::vector<uint8_t> in(4 + kMaxPayloadBytes);
  std::vector<uint8_t> out(4 + kMaxPayloadBytes);
  size_t have = 0;
  for (;;) {
    ssize_t n = ::recv(fd, in.data() + have, in.size() - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += size_t(n);
    size_t used = 0;
    bool broken = false;
    while (have - used >= 4) {
      const uint32_t length = readU32(in.data() + used);
      if (length < 4 || length > kMaxPayloadBytes) {
        broken = true;
        break;
      }
      if (have - used - 4 < length) break;
      const uint8_t* payload = in.data() + used + 4;
      const uint32_t wanted = readU32(payload);
      if (wanted > kMaxPayloadBytes) {
        broken = true;
        break;
      }
      // The reply echoes the request as far as it reaches, zeros beyond.
      out[0] = uint8_t(wanted);
      out[1] = uint8_t(wanted >> 8);
      out[2] = uint8_t(wanted >> 16);
      out[3] = uint8_t(wanted >> 24);
      const uint32_t echoed = wanted < length ? wanted : length;
      std::memcpy(out.data() + 4, payload, echoed);
      std::memset(out.data() + 4 + echoed, 0, wanted - echoed);
      if (!sendAll(fd, out.data(), 4 + size_t(wanted))) {
        broken = true;
        break;
      }
      used += 4 + size_t(length);
    }
    if (broken) break;
    std::memmove(in.data(), in.data() + used, have - used);
    have -= used;
  }
  std::lock_guard lock(mutex_);
  connectionFds_.remove(fd);
  ::close(fd);
}

} // namespace bench
