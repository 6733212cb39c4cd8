// What one input of the reply fuzzer means: the calls a desktop program
// makes through rapi.dll, then the bytes the device sends back.
//
//   byte 0  bit 7     the channel instead: the rest is what the connection
//                     manager answers (lines), not a device's replies
//           bits 6-0  how the link delivers the bytes: 0 one at a time, 127
//                     as much as rapi.dll asks for, else up to value * 29 + 1
//   byte 1  bits 2-0  the number of calls, less one
//           bit 3     the device is locked: its one-byte answer to the
//                     password that opens the connection comes first
//   then three bytes for each call:
//           the call (an index into kCalls, modulo 16), and two bytes of the
//           caller's arguments, p1 and p2 (see callerArguments below)
//   then    the bytes the device sends, as one stream
//
// The fuzzer and the seed-corpus generator share this file, so a seed always
// means what the generator meant by it.
#pragma once

#include "rapi_commands.h"

#include <cstdint>
#include <vector>

namespace pspc::replyfuzz {

inline constexpr size_t kHeaderBytes = 2;
inline constexpr size_t kCallBytes = 3;
inline constexpr uint8_t kChannelMode = 0x80;
inline constexpr uint8_t kWholeDeliveries = 0x7F;
inline constexpr uint8_t kLocked = 0x08;

inline constexpr const rapiwire::Command (&kCalls)[16] = rapiwire::kAllCommands;

struct Call {
  unsigned index = 0; // into kCalls
  uint8_t p1 = 0, p2 = 0;
};

// The most bytes one receive hands rapi.dll; 0: as many as it asks for.
inline size_t deliverySize(uint8_t header) {
  const unsigned value = header & 0x7F;
  if (value == kWholeDeliveries) return 0;
  return value == 0 ? 1 : value * 29u + 1;
}

// The caller's arguments each call takes from p1 and p2:
//   CeReadFile          bytes to read: p1 | p2 << 8
//   CeWriteFile         bytes sent: p1 | p2 << 8
//   CeFindAllFiles      the flags: p1
//   CeGetFileSize       the high word wanted: p1 bit 0
//   CeCreateProcess     the process information wanted: p1 bit 0
//   CeRegQueryValueEx   type wanted: p1 bit 0, data: bit 1, byte count: bit 2
//                       (always with data, as the call requires), capacity: p2 * 17
inline uint32_t byteCount(const Call& call) { return uint32_t(call.p1) | uint32_t(call.p2) << 8; }

// The header and call bytes of a session.
inline std::vector<uint8_t> sessionHeader(uint8_t delivery, const std::vector<Call>& calls, bool locked = false) {
  std::vector<uint8_t> bytes{delivery, uint8_t(((calls.size() - 1) & 7) | (locked ? kLocked : 0))};
  for (const Call& call : calls) bytes.insert(bytes.end(), {uint8_t(call.index), call.p1, call.p2});
  return bytes;
}

inline unsigned callIndex(rapiwire::Command command) {
  for (unsigned i = 0; i < 16; ++i)
    if (kCalls[i] == command) return i;
  return 0;
}

} // namespace pspc::replyfuzz
