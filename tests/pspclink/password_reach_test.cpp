// Who is given the device's password: a device on its cable (a
// point-to-point link), an emulated one on the loopback, or an address the
// user named; never a caller that merely reached the port over a network.
#include "password_reach.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace pspclink {
namespace {

constexpr uint32_t kLoopback = 0x7F000001;    // 127.0.0.1
constexpr uint32_t kEmulated = 0x7F000002;    // 127.0.0.2
constexpr uint32_t kEthernet = 0xC0A80105;    // 192.168.1.5, this desktop on its network
constexpr uint32_t kNeighbour = 0xC0A8014D;   // 192.168.1.77, another host there
constexpr uint32_t kLinkDesktop = 0xC0A88301; // 192.168.131.1, the desktop's end of the cable
constexpr uint32_t kLinkDevice = 0xC0A88381;  // 192.168.131.129, the device's end

TEST(PasswordReach, OnlyACallOverTheCableTheLoopbackOrFromANamedAddressGetsThePassword) {
  const std::vector<LocalInterface> interfaces = {
      {"lo", kLoopback, true, false, 0},
      {"eth0", kEthernet, false, false, 0},
      {"ppp0", kLinkDesktop, false, true, kLinkDevice},
  };
  constexpr unsigned kUser = 1000, kOtherUser = 1001;
  struct Case {
    const char* what;
    CallEnds call;
    std::vector<uint32_t> devices;
    const char* withheldSays; // nullptr: the password is given
  };
  const Case cases[] = {
      {"the user's emulated device on the loopback", {kEmulated, kLoopback, 0, 0, kUser}, {}, nullptr},
      {"another user's program on the loopback", {kEmulated, kLoopback, 0, 0, kOtherUser}, {},
       "came in on the loopback from a program of another user (uid 1001)"},
      {"a loopback caller of no known user", {kEmulated, kLoopback, 0, 0, std::nullopt}, {}, "a user not known"},
      {"the device at the cable's other end", {kLinkDevice, kLinkDesktop, 0, 0, std::nullopt}, {}, nullptr},
      {"a neighbour calling the cable's address", {kNeighbour, kLinkDesktop, 0, 0, std::nullopt}, {},
       "came in on ppp0 (192.168.131.1), but not from its other end 192.168.131.129"},
      {"a neighbour on the network", {kNeighbour, kEthernet, 0, 0, std::nullopt}, {},
       "the call from 192.168.1.77 came in on eth0 (192.168.1.5), neither the loopback nor a point-to-point link: a "
       "device's password goes only to a device on its cable; if 192.168.1.77 is your device, start pspclink serve "
       "with --device 192.168.1.77"},
      {"the same neighbour named with --device", {kNeighbour, kEthernet, 0, 0, std::nullopt}, {kLinkDevice, kNeighbour}, nullptr},
      {"a link that is gone", {kLinkDevice, 0x0A000001, 0, 0, std::nullopt}, {}, "on 10.0.0.1, an address of no link of this machine now"},
  };
  for (const Case& c : cases) {
    const std::string why = whyPasswordWithheld(c.call, kUser, interfaces, c.devices);
    if (!c.withheldSays)
      EXPECT_EQ(why, "") << c.what;
    else
      EXPECT_NE(why.find(c.withheldSays), std::string::npos) << c.what << ": " << why;
  }
}

// This machine as it is: its loopback, and the user of a call made on it.
TEST(PasswordReach, AUsersOwnCallOnThisMachinesLoopbackIsKnownForOne) {
  const std::vector<LocalInterface> interfaces = localInterfaces();
  EXPECT_TRUE(std::any_of(interfaces.begin(), interfaces.end(), [](const LocalInterface& interface) {
    return interface.address == kLoopback && interface.loopback && !interface.pointToPoint;
  }));
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0), caller = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(kLoopback);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ASSERT_EQ(::connect(caller, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const int taken = ::accept(listener, nullptr, nullptr);
  sockaddr_in from{};
  length = sizeof from;
  ASSERT_EQ(::getpeername(taken, reinterpret_cast<sockaddr*>(&from), &length), 0);
  CallEnds call{ntohl(from.sin_addr.s_addr), kLoopback, ntohs(from.sin_port), ntohs(address.sin_port), std::nullopt};
  call.callerUser = localCaller(call.peer, call.peerPort, call.local, call.localPort);
  EXPECT_EQ(call.callerUser, ::getuid());
  EXPECT_EQ(whyPasswordWithheld(call, ::getuid(), interfaces, {}), "");
  for (int fd : {taken, caller, listener}) ::close(fd);
}

} // namespace
} // namespace pspclink
