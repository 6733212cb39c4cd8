// The device's end of the serial cable over a pseudo-terminal pair, the test
// playing the desktop on the other end.
#include "serial_cable.h"
#include "wait_until.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr auto kGuard = testsupport::kHangGuard;

struct PtyPair {
  int desktop = -1; // the master side
  int device = -1;  // the slave side, set up as the emulator sets up its port
  PtyPair() {
    termios raw{};
    ::cfmakeraw(&raw);
    if (::openpty(&desktop, &device, nullptr, &raw, nullptr) != 0) ADD_FAILURE() << "openpty failed";
    ::fcntl(device, F_SETFL, ::fcntl(device, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPair() {
    if (desktop >= 0) ::close(desktop);
    if (device >= 0) ::close(device);
  }
  // Reads what the device says until `count` calls were heard; false at the guard.
  bool hearCalls(int count) const {
    std::string heard;
    size_t found = 0;
    for (int calls = 0; calls < count;) {
      pollfd p{desktop, POLLIN, 0};
      if (::poll(&p, 1, int(std::chrono::milliseconds(kGuard).count())) <= 0) return false;
      char buffer[64];
      const ssize_t n = ::read(desktop, buffer, sizeof buffer);
      if (n <= 0) return false;
      heard.append(buffer, size_t(n));
      while ((found = heard.find(pspc::kCableCall)) != std::string::npos) {
        heard.erase(0, found + sizeof pspc::kCableCall - 1);
        ++calls;
      }
    }
    return true;
  }
  void say(const std::string& text) const {
    ASSERT_EQ(::write(desktop, text.data(), text.size()), ssize_t(text.size()));
  }
};

} // namespace

// A desktop that takes the port late hears the word said again; an answer
// after line noise, split over two writes, is still the answer.
TEST(SerialCable, RepeatsItsCallAndFindsTheAnswerAcrossReads) {
  PtyPair line;
  auto call = std::async(std::launch::async, [&] { return pspc::callDesktop(line.device, kGuard, 20ms); });
  ASSERT_TRUE(line.hearCalls(2)) << "the device said \"CLIENT\" once only";
  const std::string noise = "\x01\xff";
  line.say(noise + "CLIENTSE");
  ASSERT_TRUE(line.hearCalls(1));
  line.say("RVER");
  const pspc::CableCall result = call.get();
  EXPECT_TRUE(result.answered);
  EXPECT_TRUE(result.failure.empty()) << result.failure;
  EXPECT_EQ(result.heard, noise + "CLIENTSERVER");
  EXPECT_EQ(pspc::printableBytes(result.heard), "\\x01\\xffCLIENTSERVER");
}

// A wrong word is not the answer: the call runs out, and says what it heard.
TEST(SerialCable, AWrongAnswerIsNoAnswer) {
  PtyPair line;
  line.say("CLIENTSERVEX");
  const pspc::CableCall result = pspc::callDesktop(line.device, 200ms, 20ms);
  EXPECT_FALSE(result.answered);
  EXPECT_TRUE(result.failure.empty()) << result.failure;
  EXPECT_EQ(result.heard, "CLIENTSERVEX");
}

// Everything is counted; the last bytes are kept to show.
TEST(SerialCable, KeepsTheLastBytesOfALongTalk) {
  PtyPair line;
  const std::string talk(100, 'a');
  line.say(talk + "CLIENTSERVER");
  const pspc::CableCall result = pspc::callDesktop(line.device, kGuard, kGuard);
  EXPECT_TRUE(result.answered);
  EXPECT_EQ(result.heardBytes, 112u);
  EXPECT_EQ(result.heard, talk.substr(0, 52) + "CLIENTSERVER");
}

// The other end gone: a failure of the line, at once, not a wait to the end.
TEST(SerialCable, AHungUpLineFailsAtOnce) {
  PtyPair line;
  ::close(line.desktop);
  line.desktop = -1;
  const pspc::CableCall result = pspc::callDesktop(line.device, kGuard, kGuard);
  EXPECT_FALSE(result.answered);
  EXPECT_EQ(result.failure, "the line hung up");
}

TEST(SerialCable, RefusesASpeedNoDeviceRunsAtAndAPathThatIsNoPort) {
  std::string error;
  EXPECT_EQ(pspc::openCable("/dev/null", 12345, error), -1);
  EXPECT_NE(error.find("not 12345"), std::string::npos) << error;
  EXPECT_EQ(pspc::openCable("/dev/null", 115200, error), -1);
  EXPECT_EQ(error, "/dev/null is not a serial port");
  EXPECT_EQ(pspc::openCable("/nonexistent/ttyUSB9", 115200, error), -1);
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}
