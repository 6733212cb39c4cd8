// The device's control connection, checked against bytes written out by hand
// from the layout: the words, the introduction, the password.
#include "control_connection.h"
#include "device_bytes.h"

namespace {

using namespace controlwire;
using devicebytes::introductionBody;

TEST(ControlConnection, WordsAreToldApartByTheirRange) {
  EXPECT_EQ(classifyDeviceWord(0).kind, WordKind::Empty);
  EXPECT_EQ(classifyDeviceWord(1).kind, WordKind::TooShort);
  EXPECT_EQ(classifyDeviceWord(0x23).kind, WordKind::TooShort);
  EXPECT_EQ(classifyDeviceWord(0x24).kind, WordKind::IntroductionLength);
  EXPECT_EQ(classifyDeviceWord(511).kind, WordKind::IntroductionLength);
  const DeviceWord challenge = classifyDeviceWord(512 + 0x5A);
  EXPECT_EQ(challenge.kind, WordKind::Challenge);
  EXPECT_EQ(challenge.key(), 0x5A);
  EXPECT_EQ(classifyDeviceWord(challengeWord(0)).kind, WordKind::Challenge) << "a key of 0 is still a challenge";
  EXPECT_EQ(classifyDeviceWord(challengeWord(0xC3)).key(), 0xC3);
  EXPECT_EQ(wordBytes(kPing), hexBytes("78563412"));
}

TEST(ControlConnection, AnIntroductionReadsItsFieldsAndNames) {
  Introduction intro;
  std::string reason;
  ASSERT_TRUE(decodeIntroduction(introductionBody(), intro, reason)) << reason;
  EXPECT_EQ(intro.osMajor, 2);
  EXPECT_EQ(intro.osMinor, 11);
  EXPECT_EQ(intro.build, 163);
  EXPECT_EQ(intro.cpuType, 4000);
  EXPECT_EQ(intro.currentPartnerId, 0x11223344u);
  EXPECT_EQ(intro.secondPartnerId, 0x55667788u);
  EXPECT_EQ(intro.deviceName, u"PsPC");
  EXPECT_EQ(intro.platformName, u"Palm PC");
  EXPECT_EQ(intro.modelName, u"P1");

  // The device's side writes the same bytes, behind their length word.
  std::vector<uint8_t> message;
  ASSERT_TRUE(encodeIntroductionMessage(intro, message));
  EXPECT_EQ(message, devicebytes::introduction());
}

// Every way an introduction is malformed, each with the reason the manager
// logs for it.
TEST(ControlConnection, MalformedIntroductionsAreRefusedWithAReason) {
  const Bytes good = introductionBody();
  auto withByte = [&](size_t at, uint8_t value) {
    Bytes body = good;
    body[at] = value;
    return body;
  };
  Bytes oddTail = good;
  oddTail.pop_back(); // half a unit at the end
  const struct {
    const char* what;
    Bytes body;
    const char* reason;
  } cases[] = {
      {"shorter than its fixed fields", Bytes(good.begin(), good.begin() + 0x23),
       "an introduction of 35 bytes (36 to 511 expected)"},
      {"as long as a challenge", Bytes(512, 0), "an introduction of 512 bytes"},
      {"a name at the very end", withByte(28, uint8_t(good.size())), "the platform name starts at 68, past the end"},
      {"a name offset far out", withByte(27, 0xFF), "the device name starts at 4278190116, past the end"},
      {"a name offset with its top bit set", withByte(35, 0x80), "the model name starts at 2147483710, past the end"},
      {"the last name cut before its terminator", Bytes(good.begin(), good.end() - 2),
       "the model name has no terminator"},
      {"half a unit at the end", oddTail, "the model name has no terminator"},
  };
  for (const auto& c : cases) {
    Introduction intro;
    std::string reason;
    EXPECT_FALSE(decodeIntroduction(c.body, intro, reason)) << c.what;
    EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << c.what << ": " << reason;
  }

  // Names may overlap or share bytes: only their bounds matter.
  Bytes shared = good;
  shared[28] = 0x24;
  Introduction intro;
  std::string reason;
  ASSERT_TRUE(decodeIntroduction(shared, intro, reason)) << reason;
  EXPECT_EQ(intro.platformName, u"PsPC");
}

TEST(ControlConnection, ThePasswordTravelsAsCountedUnitsXoredWithTheKey) {
  // "ab" as UTF-16LE with its terminator is 61 00 62 00 00 00; XOR 0x5A.
  EXPECT_EQ(encodePassword(u"ab", 0x5A), hexBytes("0600 3b5a 385a 5a5a"));
  EXPECT_EQ(encodePassword(u"", 0x5A), hexBytes("0200 5a5a"));
  EXPECT_TRUE(encodePassword(std::u16string(kMaxPasswordUnits + 1, u'x'), 1).empty()) << "too long to announce";

  std::u16string password;
  std::string reason;
  ASSERT_TRUE(decodePassword(hexBytes("3b5a 385a 5a5a"), 0x5A, password, reason)) << reason;
  EXPECT_EQ(password, u"ab");
  EXPECT_FALSE(decodePassword(hexBytes("3b5a 385a"), 0x5A, password, reason)) << "no terminator";
  EXPECT_FALSE(decodePassword(hexBytes("5a5a 385a"), 0x5A, password, reason)) << "terminator before the end";
  EXPECT_FALSE(decodePassword(hexBytes("3b5a 38"), 0x5A, password, reason)) << "half a unit";
  EXPECT_FALSE(decodePassword({}, 0x5A, password, reason));

  EXPECT_TRUE(passwordLengthAcceptable(2));
  EXPECT_FALSE(passwordLengthAcceptable(0));
  EXPECT_FALSE(passwordLengthAcceptable(7));
  EXPECT_FALSE(passwordLengthAcceptable(0xFFFE)) << "checked before that much is read";
  EXPECT_EQ(controlPasswordAnswer(true), hexBytes("0100"));
  EXPECT_EQ(rapiPasswordAnswer(false), hexBytes("00"));
}

} // namespace
