#include "console_client.h"

#include "console_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pspc {

bool sendToConsole(const std::filesystem::path& imageDir, const std::string& line, std::string& answer,
                 std::string& error) {
  const int fd = connectConsoleSocket(imageDir, error);
  if (fd < 0) return false;
  std::string out = line + "\n";
  if (::send(fd, out.data(), out.size(), MSG_NOSIGNAL) != ssize_t(out.size())) {
    error = "the emulator closed the console";
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
