// What one input of the manager fuzzer means: the life of up to four calls
// to the connection manager, as a list of steps. The fuzzer and its seed
// generator share this file, so a seed always means what the generator
// meant by it.
//
//   byte 0         bit 0: the manager has a password to answer challenges with
//   then steps, each one byte of kind (bits 7-6) and call (bits 1-0):
//     0 Bytes      a length byte N, then N bytes the call's device sends
//     1 Time       the clock moves on by (bits 5-0) + 1 quarters of a ping interval
//     2 Arrive     a new call in that slot, from 127.0.0.(2 + bits 3-2); a call
//                  still in the slot closes first
//     3 Close      the device closes the call
#pragma once

#include "fuzz_kit.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pspclink::fuzz {

inline constexpr size_t kCalls = 4;
inline constexpr uint64_t kPingIntervalMs = 1000;
// The password the fuzzed manager answers with, when it has one.
inline const std::u16string kPassword = u"pw";

enum class Step : uint8_t { Bytes = 0, Time = 1, Arrive = 2, Close = 3 };

inline uint8_t stepByte(Step step, unsigned call, unsigned parameter = 0) {
  return uint8_t(unsigned(step) << 6 | (parameter & 0x0F) << 2 | (call & 3));
}

// Builds an input step by step.
class Script : public fuzzkit::StepScript<Script> {
public:
  explicit Script(bool withPassword) : StepScript({uint8_t(withPassword ? 1 : 0)}) {}
  Script& arrive(unsigned call, unsigned address = 0) { return put(stepByte(Step::Arrive, call, address)); }
  Script& send(unsigned call, const fuzzkit::Bytes& data) {
    return putData(stepByte(Step::Bytes, call), data);
  }
  // Quarters of a ping interval, 1 to 64 a step.
  Script& wait(unsigned quarters) {
    for (; quarters > 0; quarters -= std::min(quarters, 64u))
      put(uint8_t(unsigned(Step::Time) << 6 | (std::min(quarters, 64u) - 1)));
    return *this;
  }
  Script& close(unsigned call) { return put(stepByte(Step::Close, call)); }
};

} // namespace pspclink::fuzz
