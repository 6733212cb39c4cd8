// The cable between desktop and device. A real PsPC sits in a serial cradle;
// the model paces every packet so that a transfer takes as long as it would
// on such a link (or at the speed of USB 1.1, which later devices used, to
// try other rates), and the progress of a setup run can be watched.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace pspc {

class LineSpeed {
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

  // Books `bytes` on the cable for a packet ready at `now`: the time it has
  // crossed. A gap of less than kIdleCredit since the cable was last busy is
  // taken as no gap: the emulating host's own turnaround between a reply and
  // the next request (a Wine round trip, a late wake-up on a busy machine)
  // would otherwise add to every packet and slow a transfer well below the
  // link's rate. A packet never starts before the previous one has crossed,
  // so the cable never carries more than its rate; after a longer pause a
  // packet starts when it is ready.
  std::chrono::steady_clock::time_point book(size_t bytes, std::chrono::steady_clock::time_point now);
  static constexpr std::chrono::microseconds kIdleCredit{5000};

private:
  mutable std::mutex mutex_;
  uint64_t bytesPerSecond_ = 0;
  std::chrono::milliseconds replyDelay_{0};
  std::chrono::steady_clock::time_point freeAt_{};
};

} // namespace pspc
