#include "host_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pspc {

namespace {

std::string describe(const std::filesystem::path& path, const char* what, int err) {
  return path.string() + ": " + what + ": " + std::strerror(err);
}

bool writeAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t done = ::write(fd, content.data(), content.size());
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    content.remove_prefix(size_t(done));
  }
  return true;
}

} // namespace

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool readWholeFile(const std::filesystem::path& path, size_t cap, std::string& content, std::string& error) {
  content.clear();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) {
    error = describe(path, "cannot open", errno);
    return false;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    error = path.string() + ": not a regular file";
    return false;
  }
  if (uint64_t(info.st_size) > cap) {
    error = path.string() + ": larger than " + std::to_string(cap) + " bytes";
    return false;
  }
  char buffer[16384];
  while (true) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      error = describe(path, "cannot read", errno);
      return false;
    }
    if (got == 0) break;
    // The file may have grown since fstat: the cap holds for what is read.
    if (content.size() + size_t(got) > cap) {
      error = path.string() + ": larger than " + std::to_string(cap) + " bytes";
      return false;
    }
    content.append(buffer, size_t(got));
  }
  return true;
}

bool writeFileAtomically(const std::filesystem::path& path, std::string_view content, std::string& error,
                         mode_t mode) {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  {
    // A temporary file left by a crash keeps its mode through O_CREAT: it
    // loses what `mode` does not allow before anything is written.
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 ||
        ((info.st_mode & 07777 & ~mode) && ::fchmod(fd.get(), info.st_mode & mode) != 0)) {
      error = describe(temporary, "cannot create", errno);
      return false;
    }
    if (!writeAll(fd.get(), content) || ::fsync(fd.get()) != 0) {
      error = describe(temporary, "cannot write", errno);
      ::unlink(temporary.c_str());
      return false;
    }
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    error = describe(path, "cannot replace", errno);
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename itself must reach the disk, or a crash could bring back the
  // old file after the caller was told the new one is in place.
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
  return true;
}

} // namespace pspc
