// The cable between desktop and device. A real PsPC sits on a serial or USB
// link; the model paces every packet so that a transfer takes as long as it
// would on that link, and the progress of a setup run can be watched.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace pspc {

class LinkModel {
public:
  // "unlimited", "usb" (USB 1.1 full speed, 1,000,000 bytes/s of payload) or
  // "serial" (115200 baud, 8N1: 11,520 bytes/s), or a number of bytes/s.
  static std::optional<uint64_t> parseRate(const std::string& name);
  static std::string rateName(uint64_t bytesPerSecond);

  void setRate(uint64_t bytesPerSecond); // 0: unlimited
  uint64_t rate() const;
  void setReplyDelay(std::chrono::milliseconds delay);
  std::chrono::milliseconds replyDelay() const;

  // Waits until `bytes` have crossed the cable. The cable is half duplex and
  // shared by every connection: packets queue behind each other.
  void carry(size_t bytes);

private:
  mutable std::mutex mutex_;
  uint64_t bytesPerSecond_ = 0;
  std::chrono::milliseconds replyDelay_{0};
  std::chrono::steady_clock::time_point freeAt_{};
};

} // namespace pspc
