// The emulator's console is a Unix-domain socket in the device image
// folder (console.sock), open to the user the emulator runs as and to no one
// else: the socket's mode is 0600 and every peer's uid is checked as well.
// Whoever may unplug, fault or stop a device is then whoever may write its
// image anyway.
//
// A socket address holds at most 107 bytes of path, and image folders may
// have longer ones: both ends open the folder and name the socket through
// that descriptor (/proc/self/fd/N/console.sock), whatever the folder's path.
#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>

namespace pspc {

// The listening end, held by the emulator that serves the image.
class ConsoleSocket {
public:
  ConsoleSocket() = default;
  ~ConsoleSocket() { close(); }
  ConsoleSocket(const ConsoleSocket&) = delete;
  ConsoleSocket& operator=(const ConsoleSocket&) = delete;

  // Listens on the image's console socket. The image folder stays locked
  // while the socket is open, so a second emulator on the same image is
  // refused rather than taking the first one's socket; a socket left behind
  // by an emulator that was killed is replaced. Throws std::runtime_error
  // with a readable reason.
  void open(const std::filesystem::path& imageDir);
  // Stops listening and removes the socket; then the image may be served again.
  void close();
  int fd() const { return listenFd_; }

  // Takes one waiting connection: its descriptor, or -1 when none is
  // waiting. `allowed` says whether the peer runs as this process's user.
  int accept(bool& allowed, uid_t& peerUid) const;

private:
  int folderFd_ = -1; // the image folder, read-only: holds the lock and names the socket
  int listenFd_ = -1;
  bool bound_ = false; // the socket file is this process's to remove
};

// Connects to the console socket of the emulator serving `imageDir`: a
// descriptor, or -1 with `error` one readable line that names the image
// (no emulator serving it, a socket left by one that stopped, another
// user's device).
int connectConsoleSocket(const std::filesystem::path& imageDir, std::string& error);

} // namespace pspc
