#include "line_speed.h"

#include <charconv>
#include <thread>

namespace pspc {

constexpr uint64_t kUsbBytesPerSecond = 1000000;
constexpr uint64_t kSerialBytesPerSecond = 115200 / 10; // start bit, 8 data bits, stop bit

std::optional<uint64_t> LineSpeed::parseRate(const std::string& name) {
  if (name == "unlimited") return 0;
  if (name == "usb" || name == "usb11") return kUsbBytesPerSecond;
  if (name == "serial" || name == "serial115200") return kSerialBytesPerSecond;
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), value);
  if (ec != std::errc() || end != name.data() + name.size() || name.empty()) return std::nullopt;
  return value;
}

std::string LineSpeed::rateName(uint64_t bytesPerSecond) {
  if (bytesPerSecond == 0) return "unlimited";
  if (bytesPerSecond == kUsbBytesPerSecond) return "usb (1000000 bytes/s)";
  if (bytesPerSecond == kSerialBytesPerSecond) return "serial 115200 baud (11520 bytes/s)";
  return std::to_string(bytesPerSecond) + " bytes/s";
}

void LineSpeed::setRate(uint64_t bytesPerSecond) {
  std::lock_guard lock(mutex_);
  bytesPerSecond_ = bytesPerSecond;
}

uint64_t LineSpeed::rate() const {
  std::lock_guard lock(mutex_);
  return bytesPerSecond_;
}

void LineSpeed::setReplyDelay(std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  replyDelay_ = delay;
}

std::chrono::milliseconds LineSpeed::replyDelay() const {
  std::lock_guard lock(mutex_);
  return replyDelay_;
}

std::chrono::steady_clock::time_point LineSpeed::book(size_t bytes, std::chrono::steady_clock::time_point now) {
  std::lock_guard lock(mutex_);
  if (bytesPerSecond_ == 0) return now;
  // A longer pause is real idleness: the packet starts now.
  if (freeAt_ + kIdleCredit < now) freeAt_ = now;
  freeAt_ += std::chrono::nanoseconds(uint64_t(bytes) * 1000000000ull / bytesPerSecond_);
  return freeAt_;
}

void LineSpeed::carry(size_t bytes) {
  const auto now = std::chrono::steady_clock::now();
  const auto until = book(bytes, now);
  if (until > now) std::this_thread::sleep_until(until);
}

} // namespace pspc
