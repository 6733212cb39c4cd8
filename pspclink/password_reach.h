// Which callers may be given the device's password. A device calls over its
// cable, a point-to-point link (PPP), or over the loopback when it is
// emulated on this machine by the user. A call that came in any other way (a
// network the desktop is on) could be any host's, and one over the loopback
// from another user's program is not the user's device: answering its
// challenge would hand the password to whoever asked. A network caller gets
// it only when its address was named with --device.
#pragma once

#include <cstdint>
#include <optional>
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

// A call as the manager took it: addresses and ports in host order, and, for
// a call over the loopback, the user whose program made it (when known).
struct CallEnds {
  uint32_t peer = 0, local = 0;
  uint16_t peerPort = 0, localPort = 0;
  std::optional<unsigned> callerUser;
};

// Empty when the caller may be given the password, the manager running as
// `ownUser`; otherwise why not, with how to allow it, for the log.
std::string whyPasswordWithheld(const CallEnds& call, unsigned ownUser, const std::vector<LocalInterface>& interfaces,
                                const std::vector<uint32_t>& devices);

// The user whose socket on this machine has the address `from` and is
// connected to `to` (the kernel's TCP table), or nothing.
std::optional<unsigned> localCaller(uint32_t from, uint16_t fromPort, uint32_t to, uint16_t toPort);

// This machine's IPv4 addresses as they are now (links come and go).
std::vector<LocalInterface> localInterfaces();

} // namespace pspclink
