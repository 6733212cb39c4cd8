#include "serial_cable.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace pspc {

namespace {

bool baudConstant(uint32_t speed, speed_t& constant) {
  static const std::pair<uint32_t, speed_t> speeds[] = {
      {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
  for (const auto& [baud, value] : speeds) {
    if (baud == speed) {
      constant = value;
      return true;
    }
  }
  return false;
}

// How often the device says its word while it waits.
constexpr std::chrono::milliseconds kCallRepeat{2000};

} // namespace

int openCable(const std::string& path, uint32_t speed, std::string& error) {
  speed_t baud = 0;
  if (!baudConstant(speed, baud)) {
    error =
        "a palm-size PC's serial port runs at 115200, 57600, 38400, 19200 or 9600 baud, not " + std::to_string(speed);
    return -1;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    error = "cannot open " + path + ": " + std::strerror(code);
    if (code == EACCES)
      error += "; serial ports belong to the dialout group: sudo adduser $USER dialout, then log in again";
    return -1;
  }
  termios settings{};
  if (::tcgetattr(fd, &settings) != 0) {
    error = path + " is not a serial port";
    ::close(fd);
    return -1;
  }
  ::cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  ::cfsetispeed(&settings, baud);
  ::cfsetospeed(&settings, baud);
  if (::tcsetattr(fd, TCSANOW, &settings) != 0 || ::tcflush(fd, TCIOFLUSH) != 0) {
    error = "cannot set up " + path + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

CableCall callDesktop(int fd, std::chrono::milliseconds timeout, std::chrono::milliseconds repeat) {
  using Clock = std::chrono::steady_clock;
  const std::string answer = kCableAnswer;
  const std::string word = kCableCall;
  CableCall call;
  std::string recent; // the latest bytes, enough to find the answer split across reads
  const auto deadline = Clock::now() + timeout;
  auto nextCall = Clock::now();
  for (;;) {
    const auto now = Clock::now();
    if (now >= nextCall) {
      // A line that takes nothing now (a full buffer) gets the word at the next turn.
      if (::write(fd, word.data(), word.size()) < 0 && errno != EAGAIN && errno != EINTR) {
        call.failure = errno == EIO ? "the line hung up" : std::string("cannot write: ") + std::strerror(errno);
        return call;
      }
      nextCall = now + repeat;
    }
    if (now >= deadline) return call;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::min(deadline, nextCall) - now);
    pollfd ready{fd, POLLIN, 0};
    const int events = ::poll(&ready, 1, int(wait.count()));
    if (events < 0 && errno != EINTR) {
      call.failure = std::string("cannot wait for the line: ") + std::strerror(errno);
      return call;
    }
    if (events <= 0) continue;
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      call.failure = n == 0 || errno == EIO ? "the line hung up" : std::string("cannot read: ") + std::strerror(errno);
      return call;
    }
    call.heardBytes += size_t(n);
    call.heard.append(buffer, size_t(n));
    recent.append(buffer, size_t(n));
    if (recent.find(answer) != std::string::npos) call.answered = true;
    if (call.heard.size() > kCableHeardKept) call.heard.erase(0, call.heard.size() - kCableHeardKept);
    if (recent.size() >= answer.size()) recent.erase(0, recent.size() - (answer.size() - 1));
    if (call.answered) return call;
  }
}

std::string printableBytes(const std::string& bytes) {
  std::string text;
  for (const unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
      text.push_back(char(c));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      text += escaped;
    }
  }
  return text;
}

int runCable(const std::string& path, uint32_t speed, uint32_t timeoutSeconds) {
  std::string error;
  const int fd = openCable(path, speed, error);
  if (fd < 0) {
    std::cerr << "pspcemu: " << error << "\n";
    return 1;
  }
  std::cout << "pspcemu: calling the desktop on " << path << " at " << speed << " baud: \"" << kCableCall
            << "\", waiting up to " << timeoutSeconds << " s for \"" << kCableAnswer << "\"" << std::endl;
  const CableCall call = callDesktop(fd, std::chrono::seconds(timeoutSeconds), kCallRepeat);
  ::close(fd);
  std::string heard = "heard nothing";
  if (call.heardBytes > 0) {
    heard = "heard " + std::to_string(call.heardBytes) + " bytes";
    if (call.heardBytes > call.heard.size()) heard += ", the last " + std::to_string(call.heard.size());
    heard += ": \"" + printableBytes(call.heard) + "\"";
  }
  if (call.answered) {
    std::cout << "pspcemu: the desktop answered on " << path << " (" << heard
              << "); a real device starts PPP now, where the emulator stops: its RAPI link runs over TCP" << std::endl;
    return 0;
  }
  if (!call.failure.empty())
    std::cerr << "pspcemu: " << call.failure << " on " << path << " before the desktop answered (" << heard << ")\n";
  else
    std::cerr << "pspcemu: no \"" << kCableAnswer << "\" from the desktop on " << path << " within " << timeoutSeconds
              << " s (" << heard << ")\n";
  return 1;
}

} // namespace pspc
