// What one input of the requests fuzzer means: two bytes that choose the faults a
// tester could inject into the emulator, then the bytes a desktop sends on
// the link (length-prefixed packets, or anything else).
//
//   byte 0  bits 7-6  fault kind: none, fail the Nth call, fail the Nth call
//                     and every later one, drop the link when the Nth call arrives
//           bit 5     also drop the link after a number of request bytes
//           bit 4     a failed call reports ERROR_DISK_FULL (else ERROR_GEN_FAILURE)
//           bits 3-0  which call (kCalls below)
//   byte 1  bits 2-0  N - 1
//           bits 7-3  the byte count of the drop: value * 61 + 1
//
// The fuzzer and the seed-corpus generator share this file, so a seed always
// means what the generator meant by it.
#pragma once

#include "rapi_commands.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pspc::fuzz {

inline constexpr size_t kHeaderBytes = 2;

enum class FaultKind : uint8_t { None = 0, FailNth = 1, FailOnward = 2, DropAtNth = 3 };

// Four bits choose one of the sixteen calls; the checked-in seeds rely on
// this order.
inline constexpr const rapiwire::Command (&kCalls)[16] = rapiwire::kAllCommands;

struct FaultChoice {
  FaultKind kind = FaultKind::None;
  unsigned call = 0; // index into kCalls
  unsigned nth = 1;  // 1 to 8
  bool diskFull = false;
  unsigned dropAfterBytes = 0; // 0: no byte-count drop; else 1 to 1892
};

inline FaultChoice readFaultChoice(uint8_t selector, uint8_t parameter) {
  FaultChoice choice;
  choice.kind = FaultKind(selector >> 6);
  choice.call = selector & 0x0F;
  choice.diskFull = selector & 0x10;
  choice.nth = (parameter & 0x07) + 1u;
  if (selector & 0x20) choice.dropAfterBytes = (parameter >> 3) * 61u + 1u;
  return choice;
}

// The two header bytes for `choice`; a drop byte count is rounded down to a
// value the header can carry.
inline std::vector<uint8_t> header(const FaultChoice& choice) {
  uint8_t selector = uint8_t(uint8_t(choice.kind) << 6 | (choice.call & 0x0F));
  if (choice.diskFull) selector |= 0x10;
  uint8_t parameter = uint8_t((choice.nth - 1) & 0x07);
  if (choice.dropAfterBytes > 0) {
    selector |= 0x20;
    parameter |= uint8_t(((choice.dropAfterBytes - 1) / 61 & 0x1F) << 3);
  }
  return {selector, parameter};
}

// The choice in the emulator's own fault language (what `pspcemu serve
// --fault` and the console take).
inline std::vector<std::string> faultSpecs(const FaultChoice& choice) {
  std::vector<std::string> specs;
  const std::string call = rapiwire::commandName(kCalls[choice.call]);
  const std::string nth = std::to_string(choice.nth);
  const std::string error = choice.diskFull ? ":112" : ":31";
  switch (choice.kind) {
  case FaultKind::None: break;
  case FaultKind::FailNth: specs.push_back("fail:" + call + ":" + nth + error); break;
  case FaultKind::FailOnward: specs.push_back("fail:" + call + ":" + nth + "+" + error); break;
  case FaultKind::DropAtNth: specs.push_back("drop:" + call + ":" + nth); break;
  }
  if (choice.dropAfterBytes > 0) specs.push_back("drop-after-bytes:" + std::to_string(choice.dropAfterBytes));
  return specs;
}

} // namespace pspc::fuzz
