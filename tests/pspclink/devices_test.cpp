// The manager's devices as one whole: one attached at a time, refusals, the
// device calling again, and what the log and the record say of them.
#include "device_bytes.h"
#include "devices.h"
#include "link_channel.h"

#include <gtest/gtest.h>

namespace pspclink::testing {
namespace {

constexpr uint32_t kAddressA = 0x7F000002; // 127.0.0.2
constexpr uint32_t kAddressB = 0x7F000003;
constexpr uint64_t kInterval = 1000;

class DevicesTest : public ::testing::Test {
protected:
  DevicesTest()
      : devices_(Timing{kInterval},
                 {[this](const std::string& line) { log_.push_back(line); }, [this] { return password_; },
                  [] { return int64_t(1700000000); }},
                 41) {}

  void call(CallId id, uint32_t address, const Bytes& bytes) {
    ASSERT_TRUE(devices_.arrived(id, address, 0));
    devices_.received(id, bytes.data(), bytes.size(), 0);
  }
  bool logged(const std::string& line) const { return std::find(log_.begin(), log_.end(), line) != log_.end(); }
  std::string logText() const {
    std::string all;
    for (const std::string& line : log_) all += line + "\n";
    return all;
  }

  std::vector<std::string> log_;
  PasswordSource password_{std::nullopt, "pspclink serve was given no --password-file"};
  Devices devices_;
};

// An emulated device run by an ordinary user serves RAPI above port 1023;
// the record tells rapi.dll where.
TEST(Devices, AnotherRapiPortIsTheOneRecorded) {
  Devices devices(Timing{kInterval},
                  {[](const std::string&) {}, [] { return PasswordSource{std::nullopt, "none"}; },
                   [] { return int64_t(0); }},
                  1, 10990);
  ASSERT_TRUE(devices.arrived(1, kAddressA, 0));
  const Bytes intro = introduction();
  devices.received(1, intro.data(), intro.size(), 0);
  ASSERT_TRUE(devices.attached());
  EXPECT_EQ(devices.attached()->rapiPort, 10990);
}

TEST_F(DevicesTest, TheAttachedDeviceIsRecordedAndASecondOneRefused) {
  call(1, kAddressA, introduction());
  EXPECT_TRUE(
      logged("attached: PsPC at 127.0.0.2: platform Palm PC, model P1, OS 2.11 (build 163), CPU MIPS type 4000"))
      << logText();
  auto record = devices_.attached();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->address, "127.0.0.2");
  EXPECT_EQ(record->rapiPort, controlwire::kRapiPort);
  EXPECT_EQ(record->since, 1700000000);
  EXPECT_EQ(record->attach, 41u);
  EXPECT_TRUE(record->usable);
  EXPECT_EQ(record->password, "none");

  EXPECT_FALSE(devices_.arrived(2, kAddressB, 0));
  EXPECT_TRUE(logged("refused: a device is already attached (PsPC at 127.0.0.2); closed the call from 127.0.0.3"))
      << logText();
  EXPECT_EQ(devices_.attached()->attach, 41u);

  // The same device calling again (its link came back) takes the place of
  // its old connection once it has introduced itself.
  call(3, kAddressA, introduction());
  EXPECT_TRUE(logged("detached: PsPC at 127.0.0.2 (the device called again)")) << logText();
  EXPECT_EQ(devices_.takeClosing(), std::vector<CallId>{1});
  EXPECT_EQ(devices_.currentAttach(), 42u);

  devices_.closed(3);
  EXPECT_TRUE(logged("detached: PsPC at 127.0.0.2 (the device closed the connection)")) << logText();
  EXPECT_FALSE(devices_.attached());
  EXPECT_EQ(devices_.currentAttach(), 0u);
}

TEST_F(DevicesTest, TwoCallsIntroducingAtOnceTheLaterOneIsRefusedUnanswered) {
  password_ = {u"sesame", ""};
  ASSERT_TRUE(devices_.arrived(1, kAddressA, 0));
  ASSERT_TRUE(devices_.arrived(2, kAddressB, 0));
  const Bytes intro = introduction();
  devices_.received(2, intro.data(), intro.size(), 0);
  const Bytes challenged = [&] {
    Bytes bytes = challenge();
    bytes.insert(bytes.end(), intro.begin(), intro.end());
    return bytes;
  }();
  devices_.received(1, challenged.data(), challenged.size(), 0);
  EXPECT_EQ(devices_.attached()->address, "127.0.0.3");
  EXPECT_TRUE(logged("refused: a device is already attached (PsPC at 127.0.0.3); closed the call from 127.0.0.2"))
      << logText();
  EXPECT_EQ(devices_.takeClosing(), std::vector<CallId>{1});
  EXPECT_TRUE(devices_.takeOutput().empty()) << "the refused device's challenge is not answered";
}

TEST_F(DevicesTest, ThePasswordsFateIsLoggedAndRecordedButNeverThePassword) {
  password_ = {u"sesame", ""};
  const Bytes challenged = [] {
    Bytes bytes = challenge();
    const Bytes intro = introduction();
    bytes.insert(bytes.end(), intro.begin(), intro.end());
    return bytes;
  }();
  call(1, kAddressA, challenged);
  auto record = devices_.attached();
  ASSERT_TRUE(record);
  EXPECT_TRUE(record->locked);
  EXPECT_FALSE(record->usable);
  EXPECT_EQ(record->password, "checking");
  const Bytes accepted = hexBytes("0100");
  devices_.received(1, accepted.data(), accepted.size(), 0);
  record = devices_.attached();
  EXPECT_TRUE(record->usable);
  EXPECT_EQ(record->password, "accepted");
  EXPECT_EQ(record->prelude.size(), 2u + 7 * 2);
  EXPECT_TRUE(logged("unlocked: PsPC at 127.0.0.2 accepted the password")) << logText();
  EXPECT_EQ(formatDeviceRecord(*record, false).find("prelude"), std::string::npos) << "status tells no prelude";
  EXPECT_NE(formatDeviceRecord(*record, true).find(" prelude=" + linkchannel::hexOf(record->prelude)),
            std::string::npos);
  devices_.closed(1);

  call(2, kAddressA, challenged);
  const Bytes refused = hexBytes("0000");
  devices_.received(2, refused.data(), refused.size(), 0);
  EXPECT_EQ(devices_.attached()->password, "refused");
  EXPECT_TRUE(devices_.attached()->prelude.empty());
  EXPECT_NE(logText().find("locked: PsPC at 127.0.0.2 refused the password; it stays locked"), std::string::npos)
      << logText();
  devices_.closed(2);

  password_ = {std::nullopt, "pspclink serve was given no --password-file"};
  call(3, kAddressA, challenged);
  EXPECT_EQ(devices_.attached()->password, "unavailable");
  EXPECT_TRUE(logged("locked: PsPC at 127.0.0.2 asks for a password, and there is none to give: pspclink serve was "
                     "given no --password-file"))
      << logText();
  devices_.stop();
  EXPECT_TRUE(logged("detached: PsPC at 127.0.0.2 (the connection manager stopped)")) << logText();
  EXPECT_EQ(logText().find("sesame"), std::string::npos) << logText();
}

TEST_F(DevicesTest, ACallerThePasswordIsWithheldFromStaysLockedUnanswered) {
  password_ = {u"sesame", ""};
  Bytes challenged = challenge();
  const Bytes intro = introduction();
  challenged.insert(challenged.end(), intro.begin(), intro.end());
  ASSERT_TRUE(devices_.arrived(1, kAddressA, 0, "it came in on eth0"));
  devices_.received(1, challenged.data(), challenged.size(), 0);
  EXPECT_TRUE(devices_.takeOutput().empty()) << "the challenge is not answered";
  ASSERT_TRUE(devices_.attached());
  EXPECT_EQ(devices_.attached()->password, "withheld");
  EXPECT_FALSE(devices_.attached()->usable);
  EXPECT_TRUE(logged("locked: PsPC at 127.0.0.2 asks for a password, and it is withheld: it came in on eth0"))
      << logText();
}

TEST_F(DevicesTest, NamesThatWouldForgeALogLineArePrintedHarmlessly) {
  Bytes intro = introduction();
  intro[4 + 36 + 2] = '\n'; // "P\nPC"
  call(1, kAddressA, intro);
  ASSERT_TRUE(devices_.attached());
  EXPECT_EQ(devices_.attached()->name, "P\xEF\xBF\xBDPC");
  for (const std::string& line : log_) EXPECT_EQ(line.find('\n'), std::string::npos) << line;
}

} // namespace
} // namespace pspclink::testing
