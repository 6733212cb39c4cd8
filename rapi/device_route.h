// The connection manager's answer to wait-device as rapi.dll reads it: the
// device record (link_channel.h, whose parser checks every field) of a
// device that opens RAPI. Free of Windows headers, so that the reply fuzzer
// (tests/fuzz) reads it with this same code natively.
#pragma once

#include "../protocol/link_channel.h"

#include <string>
#include <string_view>
#include <utility>

namespace rapi {

enum class AnswerKind {
  Device,    // a device record of an unlocked device, read into `device`
  None,      // no device (yet)
  Refused,   // "error <reason>"
  Malformed, // anything else; `reason` says what
};

// Reads one answer line of the channel (without its line end). `device` is
// written only for a Device answer.
inline AnswerKind readDeviceAnswer(std::string_view text, linkchannel::DeviceRecord& device, std::string& reason) {
  linkchannel::Line line;
  if (!linkchannel::parseLine(text, line)) {
    reason = "an answer that is not a line of words";
    return AnswerKind::Malformed;
  }
  if (line.name == linkchannel::kNone) return AnswerKind::None;
  if (line.name == linkchannel::kError) {
    reason.clear();
    for (const std::string& word : line.words) reason += (reason.empty() ? "" : " ") + word;
    return AnswerKind::Refused;
  }
  if (line.name != linkchannel::kDevice) {
    reason = "an answer \"" + line.name + "\" where a device record was expected";
    return AnswerKind::Malformed;
  }
  linkchannel::DeviceRecord read;
  if (!linkchannel::parseDeviceRecord(line, read, reason)) return AnswerKind::Malformed;
  if (!read.usable) {
    reason = "a device record of a device that is not unlocked";
    return AnswerKind::Malformed;
  }
  device = std::move(read);
  return AnswerKind::Device;
}

} // namespace rapi
