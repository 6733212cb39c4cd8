// What a device sends on its control connection, written out by hand from the
// layout: little-endian words, and an introduction of "PsPC" on a "Palm PC"
// platform, model "P1", OS 2.11 build 163, CPU 4000 (a MIPS R4000),
// partnerships 0x11223344 and 0x55667788.
#pragma once

#include "hex_bytes.h"

namespace devicebytes {

inline const char kIntroductionBodyHex[] = "00000000"                                // 0: nothing the desktop uses
                                           "02 0b a300"                              // 4: OS 2.11, 6: build 163
                                           "a00f 0000"                               // 8: cpu type 4000, 10: unused
                                           "00000000"                                // 12: unused
                                           "44332211 88776655"                       // 16, 20: partnerships
                                           "24000000 2e000000 3e000000"              // 24, 28, 32: the names at 36, 46, 62
                                           "5000 7300 5000 4300 0000"                // 36: "PsPC"
                                           "5000 6100 6c00 6d00 2000 5000 4300 0000" // 46: "Palm PC"
                                           "5000 3100 0000";                         // 62: "P1"

// The introduction's body, and the whole message: its length word (68) first.
inline Bytes introductionBody() { return hexBytes(kIntroductionBodyHex); }
inline Bytes introduction() { return hexBytes(std::string("44000000") + kIntroductionBodyHex); }

// A challenge whose key is 0x5A.
inline Bytes challenge() { return hexBytes("5a100000"); }

inline const char kPingHex[] = "78563412";

// "ab" as the desktop answers a challenge keyed 0x5A: the byte count 6 as a
// 16-bit word, then 'a' 00 'b' 00 00 00, each byte XORed with 0x5A.
inline const char kPasswordAbHex[] = "0600 3b5a 385a 5a5a";

} // namespace devicebytes

// The manager's tests name them plainly.
namespace pspclink::testing {
using namespace devicebytes;
} // namespace pspclink::testing
