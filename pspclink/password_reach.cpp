#include "password_reach.h"

#include "text.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace pspclink {

std::string whyPasswordWithheld(const CallEnds& call, unsigned ownUser, const std::vector<LocalInterface>& interfaces,
                                const std::vector<uint32_t>& devices) {
  const uint32_t peer = call.peer, local = call.local;
  if (std::find(devices.begin(), devices.end(), peer) != devices.end()) return "";
  const auto on = std::find_if(interfaces.begin(), interfaces.end(),
                               [local](const LocalInterface& interface) { return interface.address == local; });
  // A packet for a loopback address never comes from outside this machine;
  // on it, the user's own programs are told from other users'.
  if (on != interfaces.end() && on->loopback) {
    if (call.callerUser == ownUser) return "";
    return "the call from " + dottedAddress(peer) + " came in on the loopback from a program of " +
           (call.callerUser ? "another user (uid " + std::to_string(*call.callerUser) + ")" : "a user not known") +
           ": a device's password goes only to your own emulated device or a device on its cable";
  }
  // Only the host at the far end of a point-to-point link can complete a
  // call from its address: the answers to any other go back over the link.
  if (on != interfaces.end() && on->pointToPoint && on->farEnd == peer) return "";
  const std::string from = dottedAddress(peer);
  std::string where;
  if (on == interfaces.end())
    where = "on " + dottedAddress(local) + ", an address of no link of this machine now";
  else if (on->pointToPoint)
    where = "on " + on->name + " (" + dottedAddress(local) + "), but not from its other end " +
            dottedAddress(on->farEnd);
  else
    where = "on " + on->name + " (" + dottedAddress(local) + "), neither the loopback nor a point-to-point link";
  return "the call from " + from + " came in " + where +
         ": a device's password goes only to a device on its cable; if " + from +
         " is your device, start pspclink serve with --device " + from;
}

std::optional<unsigned> localCaller(uint32_t from, uint16_t fromPort, uint32_t to, uint16_t toPort) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line); // the heading
  while (std::getline(table, line)) {
    // sl local rem st queues timer retransmits uid: addresses as the kernel
    // holds them (network order read as a host number), ports in host order.
    unsigned slot = 0, localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0, user = 0;
    if (std::sscanf(line.c_str(), " %u: %8X:%4X %8X:%4X %*X %*X:%*X %*X:%*X %*X %u", &slot, &localAddress, &localPort,
                    &remoteAddress, &remotePort, &user) == 6 &&
        ntohl(localAddress) == from && localPort == fromPort && ntohl(remoteAddress) == to && remotePort == toPort)
      return user;
  }
  return std::nullopt;
}

std::vector<LocalInterface> localInterfaces() {
  std::vector<LocalInterface> found;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return found;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    LocalInterface interface;
    interface.name = entry->ifa_name ? entry->ifa_name : "";
    interface.address = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
    interface.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    interface.pointToPoint = (entry->ifa_flags & IFF_POINTOPOINT) != 0;
    if (interface.pointToPoint && entry->ifa_dstaddr && entry->ifa_dstaddr->sa_family == AF_INET)
      interface.farEnd = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_dstaddr)->sin_addr.s_addr);
    found.push_back(std::move(interface));
  }
  ::freeifaddrs(list);
  return found;
}

} // namespace pspclink
