#include "console_socket.h"

#include "identity.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace pspc {

namespace {

sockaddr_un addressIn(int folderFd) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/%s", folderFd, image::kConsoleSocketName);
  return address;
}

std::string systemError(int error) { return std::strerror(error); }

} // namespace

void ConsoleSocket::open(const std::filesystem::path& imageDir) {
  close();
  const std::string shown = imageDir.string();
  const std::string where = image::consoleSocketFile(imageDir).string();
  folderFd_ = ::open(imageDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd_ < 0) throw std::runtime_error("cannot open the image folder " + shown + ": " + systemError(errno));
  if (::flock(folderFd_, LOCK_EX | LOCK_NB) != 0) {
    const int saved = errno;
    close();
    if (saved == EWOULDBLOCK)
      throw std::runtime_error("the image " + shown +
                               " is already being served by another emulator; stop it first (pspcemu console " + shown +
                               " quit)");
    throw std::runtime_error("cannot lock the image folder " + shown + ": " + systemError(saved));
  }
  // With the lock held, a socket still there is one an emulator left when it
  // was killed.
  struct stat info {};
  if (::fstatat(folderFd_, image::kConsoleSocketName, &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      close();
      throw std::runtime_error(where + " is in the way: it is not a console socket");
    }
    if (::unlinkat(folderFd_, image::kConsoleSocketName, 0) != 0) {
      const int saved = errno;
      close();
      throw std::runtime_error("cannot remove the console socket left by an earlier emulator, " + where + ": " +
                               systemError(saved));
    }
  }
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = addressIn(folderFd_);
  bool opened = listenFd_ >= 0 && ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  bound_ = opened;
  // The mode is set before the socket listens: until then no one can connect.
  opened = opened && ::fchmodat(folderFd_, image::kConsoleSocketName, S_IRUSR | S_IWUSR, 0) == 0 &&
           ::listen(listenFd_, 16) == 0;
  if (!opened) {
    const int saved = errno;
    close();
    throw std::runtime_error("cannot open the console socket " + where + ": " + systemError(saved));
  }
}

void ConsoleSocket::close() {
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
  // Removed while the folder is still locked, so that it is never another
  // emulator's socket that goes.
  if (bound_) ::unlinkat(folderFd_, image::kConsoleSocketName, 0);
  bound_ = false;
  if (folderFd_ >= 0) ::close(folderFd_);
  folderFd_ = -1;
}

int ConsoleSocket::accept(bool& allowed, uid_t& peerUid) const {
  const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return -1;
  ucred peer{};
  socklen_t length = sizeof peer;
  const bool known = ::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0;
  peerUid = peer.uid;
  allowed = known && peer.uid == ::geteuid();
  return client;
}

int connectConsoleSocket(const std::filesystem::path& imageDir, std::string& error) {
  const std::string shown = imageDir.string();
  const int folder = ::open(imageDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    error = "cannot open the image folder " + shown + ": " + systemError(errno);
    return -1;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int saved = fd < 0 ? errno : 0;
  if (fd >= 0) {
    const sockaddr_un address = addressIn(folder);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) saved = errno;
  }
  ::close(folder);
  if (saved == 0) return fd;
  if (fd >= 0) ::close(fd);
  switch (saved) {
  case ENOENT:
    error = "no emulator is serving the image " + shown + " (start one with: pspcemu serve " + shown + ")";
    break;
  case ECONNREFUSED:
    error = "no emulator is serving the image " + shown + ": its console socket was left by one that stopped";
    break;
  case EACCES:
  case EPERM:
    error = "the image " + shown + " is served by another user: its console socket is open to that user only";
    break;
  default:
    error = "cannot reach the emulator serving the image " + shown + ": " + systemError(saved);
  }
  return -1;
}

} // namespace pspc
