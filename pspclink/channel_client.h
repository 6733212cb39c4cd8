// A client of the manager's local channel (link_channel.h), as `pspclink
// status` uses it: the channel file read, the token said, one request
// answered at a time.
#pragma once

#include <filesystem>
#include <string>

namespace pspclink {

class ChannelClient {
public:
  ChannelClient() = default;
  ~ChannelClient();
  ChannelClient(const ChannelClient&) = delete;
  ChannelClient& operator=(const ChannelClient&) = delete;

  // Reads the channel file in `folder`, connects and says hello. False with
  // one readable line: no manager running (no channel file, or one left by a
  // manager that stopped), a file that is not the user's alone, a token the
  // manager does not take.
  bool connect(const std::filesystem::path& folder, std::string& error);
  // Sends one request line and reads the answer line (without its end).
  // False with the reason when the manager does not answer in time.
  bool ask(const std::string& request, std::string& answer, std::string& error, int timeoutMs = 10000);

private:
  bool readLine(std::string& line, int timeoutMs);

  int fd_ = -1;
  std::string buffer_;
};

} // namespace pspclink
