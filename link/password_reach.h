// Which callers may be given the device's password. A device calls over its
// cable, a point-to-point link (PPP), or over the loopback when it is
// emulated on this machine. A call that came in any other way (a network
// the desktop is on) could be any host's, and answering its challenge would
// hand the password to whoever asked: such a caller gets it only when its
// address was named with --device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pspclink {

// One IPv4 address of this machine and what kind of link it is on.
struct LocalInterface {
  std::string name;
  uint32_t address = 0; // host order
  bool loopback = false;
  bool pointToPoint = false;
  uint32_t farEnd = 0; // of a point-to-point link: the one host at its other end
};

// Empty when the caller at `peer`, whose call came in on this machine's
// address `local`, may be given the password; otherwise why not, with how
// to allow it, for the log.
std::string whyPasswordWithheld(uint32_t peer, uint32_t local, const std::vector<LocalInterface>& interfaces,
                                const std::vector<uint32_t>& devices);

// This machine's IPv4 addresses as they are now (links come and go).
std::vector<LocalInterface> localInterfaces();

} // namespace pspclink
