// The cable's schedule, booked with made-up clock times: how long packets
// take at a modelled rate, without waiting for any of it.
#include "line_speed.h"

#include <gtest/gtest.h>

namespace pspc {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr uint64_t kUsb = 1000000; // bytes per second: 1 byte a microsecond

TEST(LineSpeed, UnlimitedBooksNoTime) {
  LineSpeed link;
  const Clock::time_point now{milliseconds(5)};
  EXPECT_EQ(link.book(1 << 20, now), now);
}

TEST(LineSpeed, PacketsTakeTheirBytesOverTheRate) {
  LineSpeed link;
  link.setRate(LineSpeed::parseRate("serial").value());
  const Clock::time_point start{milliseconds(1000)};
  // 11,520 bytes at 115200 baud (10 bits a byte) take one second.
  EXPECT_EQ(link.book(11520, start), start + milliseconds(1000));
}

TEST(LineSpeed, ShortHostTurnaroundsDoNotSlowTheCable) {
  LineSpeed link;
  link.setRate(kUsb);
  const Clock::time_point start{milliseconds(1000)};
  Clock::time_point ready = start, crossed{};
  // Request and reply, again and again, each packet ready a little after the
  // last one crossed, as the host takes its time to answer.
  for (int i = 0; i < 100; ++i) {
    crossed = link.book(4124, ready);
    ready = crossed + microseconds(300);
    crossed = link.book(20, ready);
    ready = crossed + microseconds(300);
  }
  EXPECT_EQ(crossed, start + microseconds(100 * (4124 + 20)));
}

TEST(LineSpeed, APauseIsNotCreditedToTheNextPacket) {
  LineSpeed link;
  link.setRate(kUsb);
  const Clock::time_point start{milliseconds(1000)};
  link.book(1000, start);
  const Clock::time_point later = start + milliseconds(50);
  EXPECT_EQ(link.book(500, later), later + microseconds(500));
}

TEST(LineSpeed, PacketsQueueBehindEachOther) {
  LineSpeed link;
  link.setRate(kUsb);
  const Clock::time_point now{milliseconds(1000)};
  // Two connections with a packet each at the same moment: the cable is shared.
  EXPECT_EQ(link.book(2000, now), now + microseconds(2000));
  EXPECT_EQ(link.book(3000, now), now + microseconds(5000));
}

TEST(LineSpeed, RatesByName) {
  EXPECT_EQ(LineSpeed::parseRate("unlimited"), 0u);
  EXPECT_EQ(LineSpeed::parseRate("usb"), kUsb);
  EXPECT_EQ(LineSpeed::parseRate("serial"), 11520u);
  EXPECT_EQ(LineSpeed::parseRate("250000"), 250000u);
  EXPECT_FALSE(LineSpeed::parseRate("fast").has_value());
  EXPECT_FALSE(LineSpeed::parseRate("").has_value());
}

} // namespace
} // namespace pspc
