// A scripted connection manager for the device's calls: a TCP listener on a
// loopback port of its own, read and written byte by byte as the test says,
// with the desktop's messages written out by hand.
#pragma once

#include "hex_bytes.h"
#include "tcp_peer.h"

#include <cstdint>
#include <optional>
#include <string>

namespace pspc::testing {

// UTF-16LE units of ASCII text with the terminator.
inline Bytes utf16z(const std::string& ascii) {
  Bytes out;
  for (char c : ascii) out.insert(out.end(), {uint8_t(c), 0});
  out.insert(out.end(), {0, 0});
  return out;
}

// The password as a desktop sends it: a 16-bit byte count, then the UTF-16LE
// units with the terminator, every byte XORed with the key.
inline Bytes encodedPassword(const std::string& ascii, uint8_t key) {
  Bytes units = utf16z(ascii);
  Bytes out = {uint8_t(units.size()), uint8_t(units.size() >> 8)};
  for (uint8_t b : units) out.push_back(uint8_t(b ^ key));
  return out;
}

inline const Bytes kPing = {0x78, 0x56, 0x34, 0x12};

// One connection the device made to the scripted manager, and the manager's
// end: bound but not listening, it refuses calls as an absent manager does.
using Call = testsupport::TcpPeer;
using ScriptedManager = testsupport::TcpListener;

// The introduction after its length word: the body.
inline std::optional<Bytes> introduction(Call& call) {
  const auto length = call.word();
  if (!length || *length >= 512) return std::nullopt;
  return call.receive(*length);
}

} // namespace pspc::testing
