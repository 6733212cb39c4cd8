#include "password_file.h"

#include "text_forms.h"

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

// The whole of the open file into `text`; empty when it reads, else what is
// wrong with it.
std::string readOwnFile(int fd, const std::string& named, const std::string& path, std::string& text) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return "cannot read " + named + ": " + std::strerror(errno);
  if (!S_ISREG(info.st_mode)) return named + " is not a regular file";
  if ((info.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(info.st_mode & 07777));
    return named + " is open to its group or to others (mode " + mode + "): it must be its owner's alone (chmod 600 " +
           path + ")";
  }
  if (info.st_size > off_t(kMaxFileBytes)) return named + " is too large to hold a password";
  char buffer[kMaxFileBytes + 1];
  size_t length = 0;
  std::string trouble;
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
  return trouble;
}

// The password of the file's text: its first line, without its end, with
// nothing but an empty line after it.
PasswordSource passwordOfText(const std::string& text, const std::string& named, const std::string& path) {
  const size_t end = text.find('\n');
  std::string line = text.substr(0, end);
  const bool oneLine = end == std::string::npos || text.find_first_not_of("\r\n", end + 1) == std::string::npos;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  PasswordSource source;
  std::u16string password;
  if (line.empty())
    source = problem(named + " is empty: put the device's password alone on its first line");
  else if (!oneLine)
    source = problem(named + " holds more than one line: put the device's password alone on its first line");
  else if (!textform::utf8ToUtf16(line, password))
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

} // namespace

PasswordSource readPasswordFile(const std::string& path) {
  const std::string named = "the password file " + path;
  // O_NONBLOCK: a FIFO in its place must not hold the manager up.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP) return problem(named + " is a symbolic link: name the file itself");
    return problem("cannot open " + named + ": " + std::strerror(errno));
  }
  std::string text;
  const std::string trouble = readOwnFile(fd, named, path, text);
  ::close(fd);
  PasswordSource source = trouble.empty() ? passwordOfText(text, named, path) : problem(trouble);
  std::fill(text.begin(), text.end(), '\0');
  return source;
}

} // namespace pspclink
