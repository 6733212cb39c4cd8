#include "channel_folder.h"

#include "link_channel.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pspclink {

using namespace linkchannel;

std::filesystem::path channelFolderPath(std::string& error) {
  if (const char* dir = std::getenv(kDirVariable); dir && *dir) return dir;
  if (const char* runtime = std::getenv(kRuntimeDirVariable); runtime && *runtime)
    return std::filesystem::path(runtime) / kRuntimeFolderName;
  if (const char* home = std::getenv("HOME"); home && *home) return std::filesystem::path(home) / kHomeFolderName;
  error = std::string("no channel folder: set ") + kDirVariable + " (or " + kRuntimeDirVariable + " or HOME)";
  return {};
}

bool ownedAlone(int fd, const std::string& shown, const char* what, std::string& error) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    error = std::string("cannot look at the ") + what + " " + shown + ": " + std::strerror(errno);
    return false;
  }
  if (info.st_uid != ::geteuid()) {
    error = std::string("the ") + what + " " + shown + " belongs to another user (uid " + std::to_string(info.st_uid) +
            "): choose a folder of your own with " + kDirVariable;
    return false;
  }
  if ((info.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(info.st_mode & 07777));
    error = std::string("the ") + what + " " + shown + " is open to others (mode " + mode +
            "): make it yours alone (chmod " + (S_ISDIR(info.st_mode) ? "700 " : "600 ") + shown + ")";
    return false;
  }
  return true;
}

ChannelFolder::~ChannelFolder() {
  withdraw();
  if (fd_ >= 0) ::close(fd_);
}

bool ChannelFolder::open(const std::filesystem::path& folder, std::string& error) {
  const std::string shown = folder.string();
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot make the channel folder " + shown + ": " + std::strerror(errno);
    return false;
  }
  fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ < 0) {
    error = errno == ENOTDIR || errno == ELOOP
                ? "the channel folder " + shown + " is not a folder (a symbolic link is not taken either)"
                : "cannot open the channel folder " + shown + ": " + std::strerror(errno);
    return false;
  }
  if (!ownedAlone(fd_, shown, "channel folder", error)) return false;
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? "a connection manager is already running with the channel folder " + shown +
                                       " (stop it first, or give another folder with " + kDirVariable + ")"
                                 : "cannot lock the channel folder " + shown + ": " + std::strerror(errno);
    return false;
  }
  folder_ = folder;
  return true;
}

bool ChannelFolder::writeFile(const char* name, const std::string& content, std::string& error) const {
  const std::string aside = std::string(name) + ".new";
  const int fd = ::openat(fd_, aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool written =
      fd >= 0 && ::fchmod(fd, 0600) == 0 && ::write(fd, content.data(), content.size()) == ssize_t(content.size());
  int saved = errno;
  if (fd >= 0 && ::close(fd) != 0 && written) {
    written = false;
    saved = errno;
  }
  if (written && ::renameat(fd_, aside.c_str(), fd_, name) == 0) return true;
  if (written) saved = errno;
  ::unlinkat(fd_, aside.c_str(), 0);
  error = "cannot write " + (folder_ / name).string() + ": " + std::strerror(saved);
  return false;
}

bool ChannelFolder::publish(uint16_t channelPort, const std::string& tokenHex, uint16_t devicePort,
                            std::string& error) {
  published_ = true;
  return writeFile(kCallPortFileName, std::to_string(devicePort) + "\n", error) &&
         writeFile(kChannelFileName, formatChannelFile({channelPort, tokenHex}), error);
}

void ChannelFolder::withdraw() {
  if (!published_) return;
  // The channel file first: a reader that finds no channel file looks no further.
  ::unlinkat(fd_, kChannelFileName, 0);
  ::unlinkat(fd_, kCallPortFileName, 0);
  published_ = false;
}

int ChannelFolder::openLog(std::string& error) const {
  const int fd = ::openat(fd_, kLogFileName, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) error = "cannot open the log " + (folder_ / kLogFileName).string() + ": " + std::strerror(errno);
  return fd;
}

} // namespace pspclink
