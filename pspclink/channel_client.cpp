#include "channel_client.h"

#include "channel_folder.h"
#include "link_channel.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pspclink {

ChannelClient::~ChannelClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool ChannelClient::connect(const std::filesystem::path& folder, std::string& error) {
  const std::filesystem::path file = folder / linkchannel::kChannelFileName;
  const int fileFd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fileFd < 0) {
    error = errno == ENOENT ? "no connection manager is running (no channel file at " + file.string() + ")"
                            : "cannot read the channel file " + file.string() + ": " + std::strerror(errno);
    return false;
  }
  char text[linkchannel::kMaxChannelFileBytes];
  const ssize_t length = ::read(fileFd, text, sizeof text);
  const bool mine = ownedAlone(fileFd, file.string(), "channel file", error);
  ::close(fileFd);
  if (!mine) return false;
  const auto channel =
      length > 0 ? linkchannel::parseChannelFile(std::string_view(text, size_t(length))) : std::nullopt;
  if (!channel) {
    error = "the channel file " + file.string() + " does not read as one: delete it and start the manager again";
    return false;
  }
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(channel->port);
  ::inet_pton(AF_INET, linkchannel::kChannelAddress, &address.sin_addr);
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = errno == ECONNREFUSED ? "no connection manager is running (the channel file " + file.string() +
                                        " was left by one that stopped)"
                                  : "cannot reach the connection manager on port " + std::to_string(channel->port) +
                                        ": " + std::strerror(errno);
    return false;
  }
  std::string answer;
  if (!ask(linkchannel::helloRequest(channel->token), answer, error)) return false;
  if (answer != linkchannel::kOk) {
    error = "the program on port " + std::to_string(channel->port) + " does not take the token of the channel file " +
            file.string() + " (" + answer + "): the file is stale, left by a connection manager that stopped";
    return false;
  }
  return true;
}

bool ChannelClient::ask(const std::string& request, std::string& answer, std::string& error, int timeoutMs) {
  const std::string line = request + "\n";
  if (::send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size())) {
    error = "the connection manager closed the channel";
    return false;
  }
  if (!readLine(answer, timeoutMs)) {
    error = "no answer from the connection manager";
    return false;
  }
  return true;
}

bool ChannelClient::readLine(std::string& line, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t end = buffer_.find('\n');
    if (end != std::string::npos) {
      line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return true;
    }
    if (buffer_.size() > linkchannel::kMaxLineBytes) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd p{fd_, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, int(left)) <= 0) return false;
    char chunk[4096];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, size_t(n));
  }
}

} // namespace pspclink
