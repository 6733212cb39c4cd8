// The connection manager's answers as rapi.dll reads them: the device record
// that wait-device returns, and how to open RAPI to that device. Free of
// Windows headers, so that the reply fuzzer (tests/fuzz) reads them with this
// same code natively.
#pragma once

#include "../protocol/control_connection.h"
#include "../protocol/link_channel.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rapi {

// An attached device that opens RAPI.
struct DeviceRoute {
  std::string name;             // the device's name, for messages
  std::string address;          // dotted IPv4
  uint16_t port = 0;            // its RAPI port
  uint64_t attach = 0;          // changes with every attach
  std::vector<uint8_t> prelude; // the encoded password to send first; empty when unlocked
};

enum class AnswerKind {
  Device,    // a device record, read into the route
  None,      // no device (yet)
  Refused,   // "error <reason>"
  Malformed, // anything else; `reason` says what
};

namespace detail {

inline bool wholeNumber(std::string_view text, uint64_t max, uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = uint64_t(c - '0');
    if (result > (max - digit) / 10) return false;
    result = result * 10 + digit;
  }
  value = result;
  return true;
}

// Four numbers from 0 to 255 with dots between them, and nothing else: a
// name would send rapi.dll to the name service.
inline bool dottedAddress(std::string_view text) {
  for (int part = 0; part < 4; ++part) {
    const size_t end = part < 3 ? text.find('.') : text.size();
    if (end == std::string_view::npos) return false;
    uint64_t value = 0;
    const std::string_view digits = text.substr(0, end);
    if (digits.size() > 3 || !wholeNumber(digits, 255, value)) return false;
    text.remove_prefix(part < 3 ? end + 1 : end);
  }
  return true;
}

} // namespace detail

// Reads one answer line of the channel (without its line end). For a
// device record, every field rapi.dll uses is checked: a device it cannot
// reach as described is Malformed, with the reason.
inline AnswerKind readDeviceAnswer(std::string_view text, DeviceRoute& route, std::string& reason) {
  linkchannel::Line line;
  if (!linkchannel::parseLine(text, line)) {
    reason = "an answer that is not a line of words";
    return AnswerKind::Malformed;
  }
  if (line.name == "none") return AnswerKind::None;
  if (line.name == "error") {
    reason.clear();
    for (const std::string& word : line.words) reason += (reason.empty() ? "" : " ") + word;
    return AnswerKind::Refused;
  }
  if (line.name != "device") {
    reason = "an answer \"" + line.name + "\" where a device record was expected";
    return AnswerKind::Malformed;
  }
  DeviceRoute read;
  const std::string* address = line.option("address");
  const std::string* port = line.option("rapi-port");
  const std::string* attach = line.option("attach");
  const std::string* state = line.option("state");
  uint64_t number = 0;
  if (!address || !detail::dottedAddress(*address)) {
    reason = "a device record without a dotted IPv4 address";
    return AnswerKind::Malformed;
  }
  read.address = *address;
  if (!port || !detail::wholeNumber(*port, 65535, number) || number == 0) {
    reason = "a device record without a RAPI port from 1 to 65535";
    return AnswerKind::Malformed;
  }
  read.port = uint16_t(number);
  if (!attach || !detail::wholeNumber(*attach, UINT64_MAX, read.attach)) {
    reason = "a device record without its attach number";
    return AnswerKind::Malformed;
  }
  if (!state || *state != "unlocked") {
    reason = "a device record of a device that is not unlocked";
    return AnswerKind::Malformed;
  }
  if (const std::string* prelude = line.option("prelude")) {
    auto bytes = linkchannel::bytesOfHex(*prelude);
    // The encoded password: its 16-bit byte count, then that many bytes.
    if (!bytes || bytes->size() < 2 || bytes->size() - 2 != controlwire::loadLe16(bytes->data()) ||
        !controlwire::passwordLengthAcceptable(controlwire::loadLe16(bytes->data()))) {
      reason = "a device record whose password prelude is not an encoded password";
      return AnswerKind::Malformed;
    }
    read.prelude = std::move(*bytes);
  }
  if (const std::string* name = line.option("name")) read.name = *name;
  route = std::move(read);
  return AnswerKind::Device;
}

} // namespace rapi
