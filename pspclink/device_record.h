// The attached device as the local channel tells it ("device ..." lines, see
// link_channel.h) and as `pspclink status` shows it to a person.
#pragma once

#include "link_channel.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pspclink {

struct DeviceRecord {
  std::string name, platform, model; // printable UTF-8
  unsigned osMajor = 0, osMinor = 0, build = 0, cpu = 0;
  std::string address; // dotted IPv4
  unsigned rapiPort = 0;
  int64_t since = 0; // seconds since the epoch
  uint64_t attach = 0;
  bool locked = false; // the device demanded a password
  bool usable = false; // unlocked: no password, or one it accepted
  // What became of the password: none (not asked), checking, accepted,
  // refused, unavailable (the manager had none to give), withheld (the
  // caller was not on the device's cable, see password_reach.h).
  std::string password = "none";
  std::vector<uint8_t> prelude; // the encoded password, for RAPI connections
};

// The record line; the prelude only when asked for (wait-device).
std::string formatDeviceRecord(const DeviceRecord& record, bool withPrelude);

// A "device" line read back; false, with the reason, for one that lacks a
// field or holds a value that does not read.
bool parseDeviceRecord(const linkchannel::Line& line, DeviceRecord& record, std::string& error);

// The device for a person: one "label: value" line each.
std::vector<std::string> readableLines(const DeviceRecord& record);

// The processor family of a CPU type as Windows CE numbers them, or "".
std::string cpuFamily(unsigned cpuType);

} // namespace pspclink
