// One device's control connection, fed bytes written out by hand and a clock
// that the test moves: the introduction, the password, the pings and every
// way a call can go wrong.
#include "control_session.h"
#include "device_bytes.h"

#include <gtest/gtest.h>

namespace pspclink::testing {
namespace {

constexpr uint64_t kInterval = 1000;

ControlSession session(std::optional<std::u16string> password = std::nullopt) {
  const std::string problem = password ? "" : "no password file";
  return ControlSession(Timing{kInterval}, PasswordSource{std::move(password), problem}, 0);
}

void feed(ControlSession& s, const Bytes& bytes, uint64_t now = 0) { s.received(bytes.data(), bytes.size(), now); }

TEST(ControlSession, AnIntroductionInAnyPiecesAttachesTheDevice) {
  const Bytes call = concat({hexBytes("00000000 00000000"), introduction()});
  for (size_t piece : {size_t(1), size_t(3), call.size()}) {
    ControlSession s = session();
    for (size_t at = 0; at < call.size(); at += piece)
      s.received(call.data() + at, std::min(piece, call.size() - at), 0);
    ASSERT_EQ(s.phase(), ControlSession::Phase::Unlocked) << "pieces of " << piece;
    EXPECT_EQ(s.introduction().deviceName, u"PsPC");
    EXPECT_EQ(s.introduction().platformName, u"Palm PC");
    EXPECT_EQ(s.introduction().cpuType, 4000);
    EXPECT_FALSE(s.challenged());
    EXPECT_TRUE(s.takeOutput().empty()) << "nothing is sent to a device that asked for no password";
    EXPECT_TRUE(s.prelude().empty());
  }
}

TEST(ControlSession, PingsEveryIntervalAndTheDeviceIsGoneAfterThreeUnanswered) {
  ControlSession s = session();
  feed(s, introduction(), 0);
  s.tick(kInterval - 1);
  EXPECT_TRUE(s.takeOutput().empty()) << "no ping before the interval";
  s.tick(kInterval);
  EXPECT_EQ(s.takeOutput(), hexBytes(kPingHex));
  feed(s, hexBytes(kPingHex), kInterval + 10);            // echoed
  feed(s, hexBytes("00000000 01020304"), kInterval + 20); // passed over

  // Three pings go unanswered, each given a whole interval.
  for (uint64_t n = 2; n <= 4; ++n) {
    s.tick(n * kInterval);
    EXPECT_EQ(s.takeOutput(), hexBytes(kPingHex)) << "ping " << n;
    EXPECT_EQ(s.phase(), ControlSession::Phase::Unlocked);
  }
  s.tick(5 * kInterval);
  EXPECT_EQ(s.phase(), ControlSession::Phase::Ended);
  EXPECT_EQ(s.end(), ControlSession::End::NoPingAnswers);
  EXPECT_EQ(s.endReason(), "no answer to 3 pings");
  EXPECT_TRUE(s.takeOutput().empty());
}

TEST(ControlSession, ThePasswordGoesOutAsASixteenBitCountAndTheEncodedText) {
  ControlSession s = session(u"ab");
  feed(s, concat({challenge(), introduction()}));
  ASSERT_EQ(s.phase(), ControlSession::Phase::CheckingPassword);
  // Two bytes of count, never eight.
  EXPECT_EQ(s.takeOutput(), hexBytes(kPasswordAbHex));
  s.tick(3 * kInterval - 1);
  EXPECT_TRUE(s.takeOutput().empty()) << "no ping while the answer is awaited";
  feed(s, hexBytes("01"), 10);
  EXPECT_EQ(s.phase(), ControlSession::Phase::CheckingPassword) << "the answer is two bytes";
  feed(s, hexBytes("00"), 10);
  EXPECT_EQ(s.phase(), ControlSession::Phase::Unlocked);
  EXPECT_EQ(s.lock(), ControlSession::Lock::Accepted);
  EXPECT_EQ(s.prelude(), hexBytes(kPasswordAbHex)) << "what each RAPI connection sends first";
  s.tick(10 + kInterval);
  EXPECT_EQ(s.takeOutput(), hexBytes(kPingHex));
}

TEST(ControlSession, ARefusedOrMissingPasswordLeavesTheDeviceLockedAndUnpinged) {
  ControlSession refused = session(u"ab");
  feed(refused, concat({challenge(), introduction(), hexBytes("0000")}));
  EXPECT_EQ(refused.phase(), ControlSession::Phase::Locked);
  EXPECT_EQ(refused.lock(), ControlSession::Lock::Refused);
  EXPECT_TRUE(refused.prelude().empty());

  ControlSession missing = session();
  feed(missing, concat({challenge(), introduction()}));
  EXPECT_EQ(missing.phase(), ControlSession::Phase::Locked);
  EXPECT_EQ(missing.lock(), ControlSession::Lock::Unavailable);
  EXPECT_EQ(missing.lockProblem(), "no password file");

  // A device waiting for a password would read a ping as one: none is sent,
  // whatever time passes; a locked device ends only with its connection.
  for (ControlSession* s : {&refused, &missing}) {
    s->takeOutput();
    s->tick(100 * kInterval);
    feed(*s, hexBytes("78563412 5a100000"), 100 * kInterval);
    EXPECT_TRUE(s->takeOutput().empty());
    EXPECT_EQ(s->phase(), ControlSession::Phase::Locked);
    s->peerClosed();
    EXPECT_EQ(s->endReason(), "the device closed the connection");
  }
}

TEST(ControlSession, WaitsThatRunOutEndTheCall) {
  ControlSession silent = session();
  feed(silent, hexBytes("00000000 4400"), 0); // half a length word
  silent.tick(3 * kInterval - 1);
  EXPECT_EQ(silent.phase(), ControlSession::Phase::Introducing);
  silent.tick(3 * kInterval);
  EXPECT_EQ(silent.end(), ControlSession::End::IntroductionTimeout);
  EXPECT_EQ(silent.endReason(), "no introduction within 3 s");

  ControlSession unanswered = session(u"ab");
  feed(unanswered, concat({challenge(), introduction()}), 500);
  unanswered.tick(500 + 3 * kInterval);
  EXPECT_EQ(unanswered.end(), ControlSession::End::NoPasswordAnswer);
  EXPECT_EQ(unanswered.endReason(), "no answer to the password within 3 s");
  EXPECT_FALSE(unanswered.prelude().size()) << "a password never answered is not handed out";
}

// The codec tells why an introduction is malformed; the session passes the
// reason on, adds its own for a length word under the fixed fields, and
// reads nothing after the end.
TEST(ControlSession, MalformedIntroductionsAreRefusedWithTheirReason) {
  const Bytes good = introduction();
  Bytes unterminated = good;
  unterminated[unterminated.size() - 2] = 'x'; // the model name's terminator
  const struct {
    Bytes bytes;
    const char* reason;
  } cases[] = {
      {hexBytes("23000000"), "a malformed introduction: a length of 35 bytes (36 to 511 expected)"},
      {unterminated, "a malformed introduction: the model name has no terminator"},
  };
  for (const auto& c : cases) {
    ControlSession s = session();
    feed(s, c.bytes);
    EXPECT_EQ(s.end(), ControlSession::End::Malformed) << c.reason;
    EXPECT_EQ(s.endReason().rfind(c.reason, 0), 0u) << s.endReason();
    feed(s, good);
    EXPECT_FALSE(s.introduced()) << c.reason << ": nothing is read after the end";
  }

  // A length in the challenge range is a challenge, never a size to read.
  ControlSession huge = session();
  feed(huge, hexBytes("f0ffffff"));
  EXPECT_TRUE(huge.challenged());
  EXPECT_EQ(huge.phase(), ControlSession::Phase::Introducing);

  // Cut off halfway through the introduction.
  ControlSession cut = session();
  feed(cut, Bytes(good.begin(), good.begin() + 40));
  cut.peerClosed();
  EXPECT_EQ(cut.end(), ControlSession::End::Closed);
  EXPECT_FALSE(cut.introduced());
}

} // namespace
} // namespace pspclink::testing
