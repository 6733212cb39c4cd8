// What a device sends, written out by hand from the layout of its control
// connection: little-endian words, and an introduction of "PsPC" on a
// "Palm PC" platform, model "P1", OS 2.11 build 163, CPU 4000 (MIPS).
#pragma once

#include "hex_bytes.h"

namespace pspclink::testing {

inline const char kIntroductionHex[] = "44000000"                                // the length word: 68 bytes follow
                                       "00000000"                                // 0: nothing the desktop uses
                                       "02 0b a300"                              // 4: OS 2.11, 6: build 163
                                       "a00f 0000"                               // 8: cpu type 4000, 10: unused
                                       "00000000"                                // 12: unused
                                       "44332211 88776655"                       // 16, 20: partnerships
                                       "24000000 2e000000 3e000000"              // 24, 28, 32: the names at 36, 46, 62
                                       "5000 7300 5000 4300 0000"                // 36: "PsPC"
                                       "5000 6100 6c00 6d00 2000 5000 4300 0000" // 46: "Palm PC"
                                       "5000 3100 0000";                         // 62: "P1"

inline Bytes introduction() { return hexBytes(kIntroductionHex); }

// The longest names a legal introduction can carry: a body of 511 bytes, the
// largest below the challenge range, whose three name offsets all point at
// 36, the first byte after the fixed fields, where 236 units of U+3042 (3
// bytes of UTF-8 each) and the terminator fill the rest.
inline Bytes longestNamesIntroduction() {
  Bytes message = {0xFF, 0x01, 0x00, 0x00}; // the length word: 511 bytes follow
  Bytes body(511, 0);
  for (size_t field : {24, 28, 32}) body[field] = 36;
  for (size_t at = 36; at + 2 < 510; at += 2) {
    body[at] = 0x42;
    body[at + 1] = 0x30;
  }
  message.insert(message.end(), body.begin(), body.end());
  return message;
}

// A challenge whose key is 0x5A.
inline Bytes challenge() { return hexBytes("5a100000"); }

inline const char kPingHex[] = "78563412";

// "ab" as the desktop answers a challenge keyed 0x5A: the byte count 6 as a
// 16-bit word, then 'a' 00 'b' 00 00 00, each byte XORed with 0x5A.
inline const char kPasswordAbHex[] = "0600 3b5a 385a 5a5a";

} // namespace pspclink::testing
