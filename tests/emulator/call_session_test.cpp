// The device's side of a call without sockets: what the manager sends, in
// any pieces, against the bytes and records the device answers with; the
// lengths it refuses before it waits for them; and a silence that holds a
// password's answer while what follows waits unread.
#include "call_session.h"
#include "hex_bytes.h"

#include <gtest/gtest.h>

namespace pspc {
namespace {

constexpr uint8_t kKey = 0x5A;
const Bytes kIntroduction = {4, 0, 0, 0, 1, 2, 3, 4};
const Bytes kPing = controlwire::wordBytes(controlwire::kPing);
const Bytes kYes = {1, 0}, kNo = {0, 0};
const CallSession::Conduct kSpeaks{}, kSilent{true, false};

Bytes password(const std::u16string& text, uint8_t key = kKey) { return controlwire::encodePassword(text, key); }

// Each record as "op {fields}", in order.
std::vector<std::string> texts(const std::vector<CallSession::Record>& records) {
  std::vector<std::string> out;
  out.reserve(records.size());
  for (const auto& record : records) out.push_back(record.op + " " + record.fields.str());
  return out;
}

CallSession locked() {
  CallSession session(u"pw", kKey, kIntroduction);
  EXPECT_EQ(session.takeOutput(), concat({controlwire::wordBytes(controlwire::challengeWord(kKey)), kIntroduction}));
  return session;
}

TEST(CallSession, ReadsTheManagersUnitsInAnyPiecesAndAnswersEachOnce) {
  const Bytes stream =
      concat({password(u"px"), password(u"pw", kKey ^ 1), kPing, password(u"pw"), controlwire::wordBytes(0), kPing,
            controlwire::wordBytes(7), controlwire::wordBytes(8), kPing});
  for (size_t piece : {stream.size(), size_t(1), size_t(3), size_t(5)}) {
    SCOPED_TRACE(piece);
    CallSession session = locked();
    Bytes output;
    std::vector<CallSession::Record> records;
    for (size_t at = 0; at < stream.size(); at += piece) {
      const size_t n = std::min(piece, stream.size() - at);
      ASSERT_EQ(session.received(stream.data() + at, n, kSpeaks), n);
      ASSERT_LE(session.wanted(), CallSession::kLongestUnit);
      const Bytes out = session.takeOutput();
      output.insert(output.end(), out.begin(), out.end());
      for (auto& record : session.takeRecords()) records.push_back(std::move(record));
    }
    // A ping while locked is echoed, not taken for a password; the device
    // is attached at the first echo after it took the password.
    EXPECT_EQ(output, concat({kNo, kNo, kPing, kYes, kPing, kPing}));
    EXPECT_EQ(texts(records), (std::vector<std::string>{
                                  R"(password {"accepted":false,"reason":"wrong password"})",
                                  R"(password {"accepted":false,"reason":"the password has no terminator"})",
                                  R"(password {"accepted":true})",
                                  R"(control-word {"word":7,"note":"neither a ping nor empty: passed over"})",
                              }));
    EXPECT_EQ(session.phase(), CallSession::Phase::Unlocked);
    EXPECT_TRUE(session.attached());
    EXPECT_EQ(session.pings(), 3u);
  }
}

TEST(CallSession, ALengthOrWordNoPasswordHasIsRefusedAtOnceAndEndsTheCall) {
  struct Case {
    Bytes bytes;
    std::string reason, end;
  };
  const std::string badLength = "the manager sent a password length the device cannot take";
  const Case cases[] = {
      {{0, 0}, "a password length of 0 bytes", badLength},
      {{7, 0}, "a password length of 7 bytes", badLength},
      {{0x02, 0x02}, "a password length of 514 bytes", badLength},
      {{0xFF, 0xFF}, "a password length of 65535 bytes", badLength},
      {{0x78, 0x56, 0, 0}, "not a password", "the manager sent neither a password nor a ping"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    CallSession session = locked();
    // Refused without waiting for the bytes announced, even while silent.
    const Bytes more = concat({c.bytes, kPing});
    EXPECT_EQ(session.received(more.data(), more.size(), kSilent), c.bytes.size());
    EXPECT_EQ(session.takeOutput(), kNo);
    EXPECT_EQ(texts(session.takeRecords()),
              std::vector<std::string>{R"(password {"accepted":false,"reason":")" + c.reason + R"("})"});
    EXPECT_EQ(session.phase(), CallSession::Phase::Ended);
    EXPECT_EQ(session.endReason(), c.end);
    EXPECT_EQ(session.wanted(), 0u);
  }
  // The longest password's length is taken, and that many bytes awaited.
  CallSession session = locked();
  const Bytes longest = {0x00, 0x02};
  EXPECT_EQ(session.received(longest.data(), longest.size(), kSpeaks), 2u);
  EXPECT_EQ(session.wanted(), CallSession::kLongestUnit);
}

TEST(CallSession, SilenceHoldsThePasswordsAnswerAndWhatFollowsAndEchoesNoPing) {
  CallSession session = locked();
  const Bytes stream = concat({password(u"pw"), kPing, kPing});
  // The password is taken; its answer and the pings behind it wait.
  const size_t taken = session.received(stream.data(), stream.size(), kSilent);
  EXPECT_EQ(taken, password(u"pw").size());
  EXPECT_EQ(session.phase(), CallSession::Phase::Holding);
  EXPECT_EQ(session.wanted(), 0u);
  EXPECT_TRUE(session.takeOutput().empty());
  EXPECT_TRUE(session.takeRecords().empty());

  session.silenceEnded();
  EXPECT_EQ(session.takeOutput(), kYes);
  EXPECT_EQ(texts(session.takeRecords()), std::vector<std::string>{R"(password {"accepted":true})"});
  // A ping in silence is counted and not echoed; the next one is.
  EXPECT_EQ(session.received(stream.data() + taken, 4, kSilent), 4u);
  EXPECT_TRUE(session.takeOutput().empty());
  EXPECT_FALSE(session.attached());
  EXPECT_EQ(session.received(stream.data() + taken + 4, 4, kSpeaks), 4u);
  EXPECT_EQ(session.takeOutput(), kPing);
  EXPECT_TRUE(session.attached());
  EXPECT_EQ(session.pings(), 2u);
  EXPECT_EQ(session.unansweredPings(), 1u);

  // The fault refuses even the right password; a closed call takes nothing.
  CallSession refusing = locked();
  const Bytes right = password(u"pw");
  refusing.received(right.data(), right.size(), {false, true});
  EXPECT_EQ(refusing.takeOutput(), kNo);
  EXPECT_EQ(texts(refusing.takeRecords()),
            std::vector<std::string>{
                R"(password {"accepted":false,"reason":"the right password, refused by the injected fault"})"});
  refusing.closed();
  EXPECT_EQ(refusing.endReason(), "the manager closed the control connection");
  EXPECT_EQ(refusing.received(right.data(), right.size(), kSpeaks), 0u);
}

} // namespace
} // namespace pspc
