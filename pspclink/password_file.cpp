#include "password_file.h"

#include "text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pspclink {

namespace {

// Far more than the longest password a device takes, in UTF-8.
constexpr size_t kMaxFileBytes = 4096;

PasswordSource problem(std::string text) { return {std::nullopt, std::move(text)}; }

} // namespace

PasswordSource readPasswordFile(const std::string& path) {
  const std::string named = "the password file " + path;
  // O_NONBLOCK: a FIFO in its place must not hold the manager up.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP) return problem(named + " is a symbolic link: name the file itself");
    return problem("cannot open " + named + ": " + std::strerror(errno));
  }
  struct stat info {};
  std::string text;
  std::string trouble;
  if (::fstat(fd, &info) != 0) {
    trouble = "cannot read " + named + ": " + std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    trouble = named + " is not a regular file";
  } else if ((info.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(info.st_mode & 07777));
    trouble = named + " is open to its group or to others (mode " + mode +
              "): it must be its owner's alone (chmod 600 " + path + ")";
  } else if (info.st_size > off_t(kMaxFileBytes)) {
    trouble = named + " is too large to hold a password";
  } else {
    char buffer[kMaxFileBytes + 1];
    size_t length = 0;
    for (ssize_t n; length < sizeof buffer && (n = ::read(fd, buffer + length, sizeof buffer - length)) != 0;) {
      if (n < 0) {
        if (errno == EINTR) continue;
        trouble = "cannot read " + named + ": " + std::strerror(errno);
        break;
      }
      length += size_t(n);
    }
    text.assign(buffer, length);
    std::memset(buffer, 0, sizeof buffer);
    if (length > kMaxFileBytes) trouble = named + " is too large to hold a password";
  }
  ::close(fd);
  if (!trouble.empty()) return problem(trouble);

  // The first line, without its end; nothing but an empty line may follow.
  const size_t end = text.find('\n');
  std::string line = text.substr(0, end);
  const std::string rest = end == std::string::npos ? "" : text.substr(end + 1);
  std::fill(text.begin(), text.end(), '\0');
  if (!line.empty() && line.back() == '\r') line.pop_back();
  PasswordSource source;
  std::u16string password;
  if (line.empty())
    source = problem(named + " is empty: put the device's password alone on its first line");
  else if (rest.find_first_not_of("\r\n") != std::string::npos)
    source = problem(named + " holds more than one line: put the device's password alone on its first line");
  else if (!utf8ToUtf16(line, password))
    source = problem(named + " is not UTF-8 text");
  else if (password.find(u'\0') != std::u16string::npos)
    source = problem(named + " holds a NUL character");
  else if (password.size() > controlwire::kMaxPasswordUnits)
    source = problem("the password in " + path + " is longer than " + std::to_string(controlwire::kMaxPasswordUnits) +
                     " characters");
  else
    source.password = std::move(password);
  std::fill(line.begin(), line.end(), '\0');
  return source;
}

} // namespace pspclink
