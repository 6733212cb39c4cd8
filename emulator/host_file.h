// Small host-side file helpers shared by the device model: an owning file
// descriptor, a size-capped whole-file read, and the atomic replace that the
// image's own files (registry, attributes, identity) are written with.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace pspc {

class UniqueFd {
public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

private:
  int fd_ = -1;
};

// Reads a whole file of at most `cap` bytes. False with `error` set when it
// cannot be read or is larger.
bool readWholeFile(const std::filesystem::path& path, size_t cap, std::string& content, std::string& error);

// Replaces `path` so that a crash at any moment leaves either the old or the
// new content: write beside it, flush to disk, rename over, flush the folder.
// The file gets `mode` (before the umask).
bool writeFileAtomically(const std::filesystem::path& path, std::string_view content, std::string& error,
                         mode_t mode = 0644);

} // namespace pspc
