#include "control_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pspc {

bool sendControl(uint16_t port, const std::string& line, std::string& answer, std::string& error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    error = "cannot reach the emulator's control port " + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  std::string out = line + "\n";
  if (::send(fd, out.data(), out.size(), MSG_NOSIGNAL) != ssize_t(out.size())) {
    error = "the emulator closed the control channel";
    ::close(fd);
    return false;
  }
  answer.clear();
  char c = 0;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) {
      error = "the emulator did not answer within 10 s";
      ::close(fd);
      return false;
    }
    ssize_t n = ::recv(fd, &c, 1, 0);
    if (n <= 0 || c == '\n') break;
    answer.push_back(c);
  }
  ::close(fd);
  if (answer.empty()) {
    error = "the emulator gave no answer";
    return false;
  }
  return true;
}

} // namespace pspc
