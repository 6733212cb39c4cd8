// The device calling the desktop's connection manager: the bytes it sends
// (challenge, introduction, ping echoes, password answers), the password a
// RAPI connection of a locked device begins with, calling again after a
// hang-up or a plug, and each fault a manager must get through. The manager
// here is a small script in the test, speaking the bytes written out by hand.
#include "host_file.h"
#include "link_client.h"
#include "scripted_manager.h"
#include "served_device_fixture.h"

namespace pspc::testing {
namespace {

using namespace std::chrono_literals;

class CallInTest : public ServedDeviceTest {
protected:
  // Serves the image, calling the scripted manager; retries are quick here.
  void serveCalling(bool listening = true) {
    if (listening) manager_.listen();
    ServerOptions options;
    CallOptions call;
    call.manager = "127.0.0.1";
    call.managerPort = manager_.port();
    call.firstRetry = 20ms;
    call.longestRetry = 100ms;
    options.call = call;
    serve(options);
  }
  void setIdentity(const Identity& identity) {
    device_.reset();
    std::string error;
    ASSERT_TRUE(writeFileAtomically(image::configFile(imageDir_), identity.serialize(), error)) << error;
    device_ = std::make_unique<Device>(imageDir_);
  }
  void setPassword(const std::string& password) {
    std::string error;
    ASSERT_TRUE(image::setPassword(imageDir_, password, error)) << error;
  }
  // Waits for the op-log record that must come; the test fails if it does not.
  FlatJson waitForRecord(const std::string& op, size_t count = 1) {
    std::vector<FlatJson> found;
    if (testsupport::waitUntil([&] { return (found = recordsOf(op)).size() >= count; })) return found[count - 1];
    ADD_FAILURE() << "no " << count << ". record of " << op;
    return {};
  }
  std::string status() { return server_->console("status"); }
  void waitForStatus(const std::string& part) {
    if (!testsupport::waitUntil([&] { return status().find(part) != std::string::npos; }))
      ADD_FAILURE() << "the status never showed " << part << ": " << status();
  }
  // Takes a call and reads its opening: the challenge key (0: none) and
  // the introduction's body.
  Call attach(uint8_t* key = nullptr) {
    auto call = manager_.accept();
    if (!call) throw std::runtime_error("the device did not call");
    auto first = call->word();
    if (!first) throw std::runtime_error("the device said nothing");
    if (*first >= 512) {
      if (key) *key = uint8_t(*first & 0xFF);
      first = call->word();
    }
    if (!first || !call->receive(*first)) throw std::runtime_error("no introduction");
    return std::move(*call);
  }

  ScriptedManager manager_;
};

TEST_F(CallInTest, IntroducesItselfFromTheIdentityEchoesPingsAndCallsAgainWhenHungUp) {
  Identity identity;
  identity.deviceName = "Dev";
  identity.platform = "Palm PC";
  identity.model = "M1";
  identity.osMajor = 2;
  identity.osMinor = 11;
  identity.osBuild = 0x1234;
  identity.cpuType = 10003;
  identity.partnerId = 0x01020304;
  identity.secondPartnerId = 0xA0B0C0D0;
  setIdentity(identity);
  serveCalling();

  auto call = manager_.accept();
  ASSERT_TRUE(call);
  EXPECT_EQ(call->peerAddress(), "127.0.0.1"); // the device's own address
  // The length word, then the fixed fields and the names in UTF-16LE.
  const Bytes names = concat({utf16z("Dev"), utf16z("Palm PC"), utf16z("M1")});
  const Bytes expected = concat({
      le32(0x24 + 8 + 16 + 6),
      {0, 0, 0, 0, 2, 11, 0x34, 0x12, 0x13, 0x27, 0, 0, 0, 0, 0, 0},
      {0x04, 0x03, 0x02, 0x01, 0xD0, 0xC0, 0xB0, 0xA0},
      le32(0x24), le32(0x24 + 8), le32(0x24 + 8 + 16),
      names,
  });
  EXPECT_EQ(call->receive(expected.size()), expected);

  // Empty words are passed over; every ping is echoed.
  ASSERT_TRUE(call->send(concat({kPing, {0, 0, 0, 0}, kPing})));
  EXPECT_EQ(call->receive(8), concat({kPing, kPing}));
  EXPECT_NE(status().find("call=attached manager=127.0.0.1:" + std::to_string(manager_.port())), std::string::npos)
      << status();

  call->close();
  const FlatJson hungUp = waitForRecord("hung-up");
  EXPECT_EQ(field(hungUp, "reason"), "the manager closed the control connection");
  EXPECT_EQ(field(hungUp, "pings"), "2");
  // The cable is still up: the device calls again, and says the same.
  auto again = manager_.accept();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->receive(expected.size()), expected);

  const FlatJson introduced = waitForRecord("introduced");
  EXPECT_EQ(field(introduced, "device"), "Dev");
  EXPECT_EQ(field(introduced, "os"), "2.11");
  EXPECT_EQ(field(introduced, "cpu"), "10003");
  EXPECT_FALSE(field(introduced, "challengeKey"));
  waitForRecord("call", 2);
  EXPECT_TRUE(recordsOf("password").empty());
}

TEST_F(CallInTest, ALockedDeviceChallengesTakesOnlyItsPasswordAndAsksItOfEveryRapiConnection) {
  setPassword("pw12");
  serveCalling();
  auto call = manager_.accept();
  ASSERT_TRUE(call);
  // The challenge comes first: a word of 512 or more, its low byte the key (never 0).
  auto challenge = call->word();
  ASSERT_TRUE(challenge);
  ASSERT_GE(*challenge, 512u);
  const uint8_t key = uint8_t(*challenge & 0xFF);
  ASSERT_NE(key, 0);
  ASSERT_TRUE(introduction(*call));
  EXPECT_NE(status().find("call=locked"), std::string::npos) << status();

  // A wrong password: 00 00, and the device stays locked, waiting for another.
  ASSERT_TRUE(call->send(encodedPassword("pw13", key)));
  EXPECT_EQ(call->receive(2), (Bytes{0, 0}));
  // The right one encoded with another key is wrong too.
  ASSERT_TRUE(call->send(encodedPassword("pw12", uint8_t(key ^ 0x55))));
  EXPECT_EQ(call->receive(2), (Bytes{0, 0}));
  ASSERT_TRUE(call->send(encodedPassword("pw12", key)));
  EXPECT_EQ(call->receive(2), (Bytes{1, 0}));
  ASSERT_TRUE(call->send(kPing));
  EXPECT_EQ(call->receive(4), kPing);
  EXPECT_NE(status().find("call=attached"), std::string::npos) << status();
  auto answers = recordsOf("password");
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(field(answers[0], "accepted"), "false");
  EXPECT_EQ(field(answers[0], "reason"), "wrong password");
  EXPECT_EQ(field(answers[2], "accepted"), "true");
  EXPECT_EQ(field(waitForRecord("introduced"), "challengeKey"), std::to_string(key));

  // RAPI: the encoded password first, one byte back, then calls as ever.
  LinkClient admitted;
  ASSERT_TRUE(admitted.connect(server_->linkPort()));
  ASSERT_TRUE(admitted.sendRaw(encodedPassword("pw12", key)));
  auto reply = admitted.receiveRaw(1);
  EXPECT_EQ(reply, Bytes{1});
  EXPECT_TRUE(admitted.call(rapiwire::GetStoreInformationRequest{}));

  // Refused: one byte 0, then the device closes. The wrong password, no
  // terminator, and the right one behind a length of eight bytes where the
  // device reads two (of that, what the device reads: the count and as many
  // bytes as it says).
  const Bytes right = encodedPassword("pw12", key);
  Bytes wideLength = concat({{10, 0, 0, 0, 0, 0, 0, 0}, Bytes(right.begin() + 2, right.end())});
  wideLength.resize(2 + 10);
  const Bytes refusedOpenings[] = {
      encodedPassword("pw", key),
      {6, 0, uint8_t('p' ^ key), key, uint8_t('w' ^ key), key, uint8_t('1' ^ key), key},
      wideLength,
  };
  for (const Bytes& opening : refusedOpenings) {
    LinkClient refused;
    ASSERT_TRUE(refused.connect(server_->linkPort()));
    ASSERT_TRUE(refused.sendRaw(opening));
    EXPECT_EQ(refused.receiveRaw(1), Bytes{0});
    EXPECT_TRUE(refused.closedByPeer());
  }
  auto rapi = recordsOf("rapi-password");
  ASSERT_EQ(rapi.size(), 4u);
  EXPECT_EQ(field(rapi[0], "accepted"), "true");
  EXPECT_EQ(field(rapi[1], "reason"), "wrong password");
  for (size_t i = 1; i < rapi.size(); ++i) EXPECT_EQ(field(rapi[i], "accepted"), "false");
  EXPECT_TRUE(recordsOf("CeGetStoreInformation").size() == 1);
}

TEST_F(CallInTest, UnplugHangsUpAndDropsEveryConnectionAndPlugCallsAgain) {
  serveCalling();
  Call call = attach();
  LinkClient rapi;
  ASSERT_TRUE(rapi.connect(server_->linkPort()));
  ASSERT_TRUE(rapi.call(rapiwire::GetStoreInformationRequest{}));

  EXPECT_EQ(server_->console("unplug"), "ok unplugged");
  EXPECT_TRUE(call.closedByPeer());
  EXPECT_TRUE(rapi.closedByPeer());
  EXPECT_EQ(field(waitForRecord("hung-up"), "reason"), "the device was unplugged");
  EXPECT_NE(status().find("call=unplugged"), std::string::npos) << status();

  EXPECT_EQ(server_->console("plug").rfind("ok plugged", 0), 0u);
  Call again = attach();
  ASSERT_TRUE(again.send(kPing));
  EXPECT_EQ(again.receive(4), kPing);
  EXPECT_TRUE(rapi.connect(server_->linkPort()));
  EXPECT_TRUE(rapi.call(rapiwire::GetStoreInformationRequest{}));
  EXPECT_EQ(recordsOf("introduced").size(), 2u);
}

TEST_F(CallInTest, AnAbsentManagerIsCalledUntilItAnswersWithOneLogRecord) {
  serveCalling(false); // bound, not listening: calls are refused
  const FlatJson failed = waitForRecord("call-failed");
  EXPECT_EQ(field(failed, "reason"), "Connection refused");
  EXPECT_EQ(field(failed, "manager"), "127.0.0.1:" + std::to_string(manager_.port()));
  EXPECT_NE(status().find("call=calling"), std::string::npos) << status();
  manager_.listen();
  Call call = attach();
  waitForRecord("call");
  // However many calls were refused, the run of refusals is one record.
  EXPECT_EQ(recordsOf("call-failed").size(), 1u);
}

TEST_F(CallInTest, ASilentDeviceKeepsItsSocketsButAnswersNothingUntilTheFaultIsCleared) {
  serveCalling();
  Call call = attach();
  LinkClient rapi;
  ASSERT_TRUE(rapi.connect(server_->linkPort()));
  ASSERT_TRUE(rapi.call(rapiwire::GetStoreInformationRequest{}));

  EXPECT_EQ(server_->console("fault silent").rfind("ok", 0), 0u);
  EXPECT_NE(status().find("call=silent"), std::string::npos) << status();
  ASSERT_TRUE(call.send(kPing));
  ASSERT_TRUE(rapi.sendRaw(rapiwire::frame(rapiwire::encodeRequest(rapiwire::GetStoreInformationRequest{}))));
  waitForRecord("silent"); // the call arrived and is held unanswered
  waitForStatus("unanswered=1");
  EXPECT_EQ(server_->console("clear-faults"), "ok");
  // The held call is answered now; the ping of the silence never is.
  EXPECT_TRUE(rapi.receive());
  ASSERT_TRUE(call.send(kPing));
  EXPECT_EQ(call.receive(4), kPing);
  call.close();
  const FlatJson hungUp = waitForRecord("hung-up");
  EXPECT_EQ(field(hungUp, "pings"), "2");
  EXPECT_EQ(field(hungUp, "unanswered"), "1");
}

TEST_F(CallInTest, MalformedIntroductionsAndARefusedRightPasswordAreSentOnRequest) {
  setPassword("1234");
  serveCalling();
  std::optional<Call> current(attach());

  // Each fault is set before the manager hangs up, so that the next call has it.
  struct Case {
    const char* fault;
    const char* reasonPart;
  };
  const Case cases[] = {{"intro:short", nullptr},
                        {"intro:name-offset", "past the end"},
                        {"intro:no-terminator", "no terminator"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_EQ(server_->console("clear-faults"), "ok");
    EXPECT_EQ(server_->console(std::string("fault ") + c.fault).rfind("ok", 0), 0u);
    current.reset();
    auto call = manager_.accept();
    ASSERT_TRUE(call);
    auto challenge = call->word();
    ASSERT_TRUE(challenge && *challenge >= 512);
    auto length = call->word();
    ASSERT_TRUE(length);
    if (!c.reasonPart) {
      // A length word under the introduction's fixed fields.
      EXPECT_EQ(controlwire::classifyDeviceWord(*length).kind, controlwire::WordKind::TooShort);
    } else {
      auto body = call->receive(*length);
      ASSERT_TRUE(body);
      controlwire::Introduction intro;
      std::string reason;
      EXPECT_FALSE(controlwire::decodeIntroduction(*body, intro, reason));
      EXPECT_NE(reason.find(c.reasonPart), std::string::npos) << reason;
    }
    current.emplace(std::move(*call));
  }
  EXPECT_EQ(field(waitForRecord("introduced", 4), "malformed"), "no-terminator");

  EXPECT_EQ(server_->console("clear-faults"), "ok");
  EXPECT_EQ(server_->console("fault refuse-password").rfind("ok", 0), 0u);
  current.reset();
  uint8_t key = 0;
  Call locked = attach(&key);
  ASSERT_TRUE(locked.send(encodedPassword("1234", key)));
  EXPECT_EQ(locked.receive(2), (Bytes{0, 0}));
  auto answers = recordsOf("password");
  ASSERT_FALSE(answers.empty());
  EXPECT_EQ(field(answers.back(), "reason"), "the right password, refused by the injected fault");
}

TEST_F(CallInTest, AManagerThatSendsNeitherPasswordNorPingIsHungUpOn) {
  setPassword("1234");
  serveCalling();
  Call call = attach();
  ASSERT_TRUE(call.send({0xFF, 0xFF})); // a password length no device takes
  EXPECT_EQ(call.receive(2), (Bytes{0, 0}));
  EXPECT_TRUE(call.closedByPeer());
  EXPECT_EQ(field(waitForRecord("hung-up"), "reason"), "the manager sent a password length the device cannot take");
  // It calls again all the same.
  EXPECT_TRUE(manager_.accept());
}

} // namespace
} // namespace pspc::testing
