// The device's control connection, checked against bytes written out by hand
// from the layout: the words, the introduction, the password.
#include "control_connection.h"
#include "hex_bytes.h"

namespace {

using namespace controlwire;

// A device "PsPC" of a "Palm PC" platform, model "P1", OS 2.11 build 163,
// a MIPS R4000 (cpu 4000 = 0x0FA0), partnerships 0x11223344 and 0x55667788.
const char kIntroductionHex[] =
    "00000000"         // 0: nothing the desktop uses
    "02 0b a300"       // 4: OS 2.11, 6: build 163
    "a00f 0000"        // 8: cpu type, 10: unused
    "00000000"         // 12: unused
    "44332211"         // 16: current partnership
    "88776655"         // 20: second partnership
    "24000000"         // 24: device name at 36
    "2e000000"         // 28: platform name at 46
    "3e000000"         // 32: model name at 62
    "5000 7300 5000 4300 0000"             // 36: "PsPC"
    "5000 6100 6c00 6d00 2000 5000 4300 0000" // 46: "Palm PC"
    "5000 3100 0000";                      // 62: "P1"

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
  ASSERT_TRUE(decodeIntroduction(hexBytes(kIntroductionHex), intro, reason)) << reason;
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
  Bytes expected = hexBytes("44000000"); // 68 bytes
  const Bytes body = hexBytes(kIntroductionHex);
  expected.insert(expected.end(), body.begin(), body.end());
  EXPECT_EQ(message, expected);
}

TEST(ControlConnection, MalformedIntroductionsAreRefusedWithAReason) {
  const Bytes good = hexBytes(kIntroductionHex);
  auto refused = [](const Bytes& body) {
    Introduction intro;
    std::string reason;
    const bool ok = decodeIntroduction(body, intro, reason);
    return ok ? std::string() : reason;
  };
  EXPECT_NE(refused(Bytes(good.begin(), good.begin() + 0x23)), "") << "shorter than its fixed fields";
  EXPECT_NE(refused(Bytes(512, 0)), "") << "as long as a challenge";

  Bytes pastEnd = good;
  pastEnd[28] = uint8_t(good.size()); // platform name at the very end
  EXPECT_NE(refused(pastEnd).find("platform name"), std::string::npos) << refused(pastEnd);
  Bytes farAway = good;
  farAway[35] = 0x80; // model name at 0x8000003e
  EXPECT_NE(refused(farAway).find("model name"), std::string::npos);

  // The last name cut before its terminator: the introduction ends mid-name.
  const Bytes cut(good.begin(), good.end() - 2);
  EXPECT_NE(refused(cut).find("terminator"), std::string::npos) << refused(cut);
  Bytes oddTail = good;
  oddTail.pop_back(); // half a unit at the end
  EXPECT_NE(refused(oddTail).find("terminator"), std::string::npos);

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
