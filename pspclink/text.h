// Texts from the device's UTF-16 to the lines a person reads.
#pragma once

#include <cstdint>
#include <string>

namespace pspclink {

// UTF-8 of a text a device sent, safe to print and to log: control
// characters (which could forge a log line or steer a terminal) and unpaired
// surrogates become U+FFFD.
std::string printable(const std::u16string& text);

// An IPv4 address, given in host order, as a.b.c.d.
std::string dottedAddress(uint32_t address);

// A time in seconds since the epoch as the local "YYYY-MM-DD hh:mm:ss".
std::string localTime(int64_t secondsSinceEpoch);

} // namespace pspclink
