// Who is given the device's password: a device on its cable (a
// point-to-point link), an emulated one on the loopback, or an address the
// user named; never a caller that merely reached the port over a network.
#include "password_reach.h"

#include <gtest/gtest.h>

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
  struct Case {
    const char* what;
    uint32_t peer, local;
    std::vector<uint32_t> devices;
    const char* withheldSays; // nullptr: the password is given
  };
  const Case cases[] = {
      {"an emulated device on the loopback", kEmulated, kLoopback, {}, nullptr},
      {"the device at the cable's other end", kLinkDevice, kLinkDesktop, {}, nullptr},
      {"a neighbour calling the cable's address", kNeighbour, kLinkDesktop, {},
       "came in on ppp0 (192.168.131.1), but not from its other end 192.168.131.129"},
      {"a neighbour on the network", kNeighbour, kEthernet, {},
       "the call from 192.168.1.77 came in on eth0 (192.168.1.5), neither the loopback nor a point-to-point link: a "
       "device's password goes only to a device on its cable; if 192.168.1.77 is your device, start pspclink serve "
       "with --device 192.168.1.77"},
      {"the same neighbour named with --device", kNeighbour, kEthernet, {kLinkDevice, kNeighbour}, nullptr},
      {"a link that is gone", kLinkDevice, 0x0A000001, {}, "on 10.0.0.1, an address of no link of this machine now"},
  };
  for (const Case& c : cases) {
    const std::string why = whyPasswordWithheld(c.peer, c.local, interfaces, c.devices);
    if (!c.withheldSays)
      EXPECT_EQ(why, "") << c.what;
    else
      EXPECT_NE(why.find(c.withheldSays), std::string::npos) << c.what << ": " << why;
  }
}

TEST(PasswordReach, ThisMachinesLoopbackIsKnownForOne) {
  const std::vector<LocalInterface> interfaces = localInterfaces();
  EXPECT_TRUE(std::any_of(interfaces.begin(), interfaces.end(), [](const LocalInterface& interface) {
    return interface.address == kLoopback && interface.loopback && !interface.pointToPoint;
  }));
  EXPECT_EQ(whyPasswordWithheld(kEmulated, kLoopback, interfaces, {}), "");
}

} // namespace
} // namespace pspclink
