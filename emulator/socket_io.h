// What the device's sockets share: the interval at which its waits look again
// at what wakes no one (a stop, an unplug, a fault that comes and goes), a
// whole send, and an address as the op log and the console show it.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pspc {

constexpr int kPollMs = 100;

// Sends every byte; false when the peer went away first.
bool sendAll(int fd, const std::vector<uint8_t>& bytes);
// "a.b.c.d:port".
std::string addressName(const sockaddr_in& addr);

} // namespace pspc
