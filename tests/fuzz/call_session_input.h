// What one input of the call session fuzzer means: one call as the device
// holds it, as a list of steps. The fuzzer and its seed generator share this
// file, so a seed always means what the generator meant by it.
//
//   byte 0    bit 0: the device has a password (kPassword); bit 1: it refuses
//             even the right one (the injected fault)
//   byte 1    its challenge's key (0 is taken as 1: no device challenges with 0)
//   then steps, each one byte of kind (bits 7-6):
//     0 Bytes    a length byte N, then N bytes the manager sends, offered to the
//                device in pieces of (bits 5-0) bytes (0: all at once)
//     1 Silence  bit 0: the device falls silent (1) or speaks again (0)
//     2 Poll     the device looks at its silence again, as CallIn does every
//                poll interval: a held answer goes out once it speaks
//     3 Close    the connection ends
#pragma once

#include "fuzz_kit.h"

#include <cstdint>
#include <string>

namespace pspc::fuzz {

inline const std::u16string kPassword = u"pw";

enum class Step : uint8_t { Bytes = 0, Silence = 1, Poll = 2, Close = 3 };

// Builds an input step by step.
class Script : public fuzzkit::StepScript<Script> {
public:
  Script(bool withPassword, uint8_t key, bool refusesPassword = false)
      : StepScript({uint8_t((withPassword ? 1 : 0) | (refusesPassword ? 2 : 0)), key}) {}
  // Offered to the device in pieces of `piece` bytes (0: all at once).
  Script& send(const fuzzkit::Bytes& data, unsigned piece = 0) {
    return putData(uint8_t(unsigned(Step::Bytes) << 6 | (piece & 0x3F)), data);
  }
  Script& silent(bool on) { return put(uint8_t(unsigned(Step::Silence) << 6 | (on ? 1 : 0))); }
  Script& poll() { return put(uint8_t(unsigned(Step::Poll) << 6)); }
  Script& close() { return put(uint8_t(unsigned(Step::Close) << 6)); }
};

} // namespace pspc::fuzz
