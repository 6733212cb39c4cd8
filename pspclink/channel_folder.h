// The channel folder: where a running manager leaves the channel file
// (its local channel's port and token), the port it takes device calls on
// and its log; their names and where the folder is are link_channel.h's.
// The folder is the user's alone (mode 0700) and one manager holds it at a
// time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace pspclink {

// Where the variables of link_channel.h put it; empty, with the reason, when
// none of them is set.
std::filesystem::path channelFolderPath(std::string& error);

class ChannelFolder {
public:
  ChannelFolder() = default;
  ~ChannelFolder();
  ChannelFolder(const ChannelFolder&) = delete;
  ChannelFolder& operator=(const ChannelFolder&) = delete;

  // Makes the folder when it is missing; refuses one that is not a folder,
  // belongs to another user or is open to others, and one that another
  // manager holds. Files a manager that was killed left behind are replaced
  // by publish().
  bool open(const std::filesystem::path& folder, std::string& error);
  // Writes call.port, then the channel file (each written aside, mode
  // 0600, and renamed into place: a reader never sees half of one).
  bool publish(uint16_t channelPort, const std::string& tokenHex, uint16_t devicePort, std::string& error);
  // Removes what publish() wrote.
  void withdraw();
  // The log, opened for appending (mode 0600); -1 with the reason.
  int openLog(std::string& error) const;

  const std::filesystem::path& path() const { return folder_; }

private:
  bool writeFile(const char* name, const std::string& content, std::string& error) const;

  std::filesystem::path folder_;
  int fd_ = -1;
  bool published_ = false;
};

// Checks that a file or folder is this user's alone; false with the reason.
bool ownedAlone(int fd, const std::string& shown, const char* what, std::string& error);

} // namespace pspclink
