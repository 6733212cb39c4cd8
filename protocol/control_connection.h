// The control connection of a Windows CE 2.x device: once its cable link is
// up, the device calls the desktop on TCP 5679, introduces itself, may demand
// a password, and answers the desktop's pings for as long as it is attached.
// RAPI connections to the device's port 990 are opened only while it stands.
//
// What the device sends are little-endian 32-bit words: 0 is an empty header
// (passed over); a value from 0x24 to 511 is the length of the introduction
// that follows; 512 or more is a password challenge whose low byte is the key.
// The desktop answers a challenge with a 16-bit length and the password as
// UTF-16LE with its terminator, every byte XORed with the key; the device
// answers a 16-bit word, non-zero when it accepted. A RAPI connection to a
// locked device begins with the same encoded password, answered by one byte.
//
// Header-only, shared by the desktop's connection manager, rapi.dll and the
// emulator. Every length and offset read from the peer is checked against the
// bytes that are there before it is used.
#pragma once

#include "wire_primitives.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace controlwire {

constexpr uint16_t kControlPort = 5679;
constexpr uint16_t kRapiPort = 990;
// The desktop's ping, echoed by the device.
constexpr uint32_t kPing = 0x12345678u;
constexpr unsigned kPingIntervalSeconds = 5;
// Pings without an answer after which the device is taken to be gone.
constexpr unsigned kMissedPingsForGone = 3;
// Introduction lengths: at least its fixed fields, below the challenge range.
constexpr uint32_t kMinIntroductionBytes = 0x24;
constexpr uint32_t kChallengeFrom = 512;
// A password the 16-bit length can carry with its terminator, with room to
// spare: the device's own password field is far shorter.
constexpr size_t kMaxPasswordUnits = 255;

// ---------------------------------------------------------------- words

inline uint16_t loadLe16(const uint8_t* bytes) { return uint16_t(bytes[0] | bytes[1] << 8); }
inline void storeLe16(uint16_t value, uint8_t* bytes) {
  bytes[0] = uint8_t(value);
  bytes[1] = uint8_t(value >> 8);
}

enum class WordKind {
  Empty,              // 0: an empty header, passed over
  TooShort,           // 1 to 0x23: no introduction is that short; malformed
  IntroductionLength, // 0x24 to 511: that many bytes of introduction follow
  Challenge,          // 512 and above: a password is demanded; the low byte is the key
};

struct DeviceWord {
  WordKind kind = WordKind::Empty;
  uint32_t value = 0;
  uint8_t key() const { return uint8_t(value & 0xFF); }
};

inline DeviceWord classifyDeviceWord(uint32_t value) {
  DeviceWord word;
  word.value = value;
  if (value == 0)
    word.kind = WordKind::Empty;
  else if (value < kMinIntroductionBytes)
    word.kind = WordKind::TooShort;
  else if (value < kChallengeFrom)
    word.kind = WordKind::IntroductionLength;
  else
    word.kind = WordKind::Challenge;
  return word;
}

inline std::vector<uint8_t> wordBytes(uint32_t value) {
  std::vector<uint8_t> bytes(4);
  rapiwire::storeLe32(value, bytes.data());
  return bytes;
}

// A challenge word with the given key: the key in the low byte, a value well
// inside the challenge range.
inline uint32_t challengeWord(uint8_t key) { return 0x00001000u | key; }

// ---------------------------------------------------------------- introduction

// What the device says of itself. Offsets within the introduction: 4 OS major,
// 5 OS minor, 6 build, 8 CPU type, 16 current partnership id, 20 second
// partnership id, and at 24, 28 and 32 the offsets (from the start of the
// introduction) of the device, platform and model names, UTF-16LE with a
// terminator. The words at 0, 10 and 12 carry nothing the desktop uses.
struct Introduction {
  uint8_t osMajor = 0;
  uint8_t osMinor = 0;
  uint16_t build = 0;
  uint16_t cpuType = 0;
  uint32_t currentPartnerId = 0;
  uint32_t secondPartnerId = 0;
  std::u16string deviceName, platformName, modelName;

  bool operator==(const Introduction&) const = default;
};

namespace detail {

inline void putUnits(std::vector<uint8_t>& out, const std::u16string& text) {
  for (char16_t unit : text) {
    out.push_back(uint8_t(unit));
    out.push_back(uint8_t(unit >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

// The UTF-16LE text that starts at `offset`, up to its terminator, which must
// lie within the introduction. False, with the reason, otherwise.
inline bool textAt(const std::vector<uint8_t>& body, uint32_t offset, const char* what, std::u16string& text,
                   std::string& reason) {
  if (offset >= body.size()) {
    reason = std::string("the ") + what + " starts at " + std::to_string(offset) + ", past the end of an introduction of " +
             std::to_string(body.size()) + " bytes";
    return false;
  }
  text.clear();
  for (size_t at = offset; at + 1 < body.size(); at += 2) {
    char16_t unit = char16_t(loadLe16(&body[at]));
    if (unit == 0) return true;
    text.push_back(unit);
  }
  reason = std::string("the ") + what + " has no terminator within the introduction";
  return false;
}

} // namespace detail

// The introduction without its length word: the fixed fields, then the three
// names. Names longer than fit below the challenge range are refused (false).
inline bool encodeIntroduction(const Introduction& intro, std::vector<uint8_t>& body) {
  body.assign(kMinIntroductionBytes, 0);
  body[4] = intro.osMajor;
  body[5] = intro.osMinor;
  storeLe16(intro.build, &body[6]);
  storeLe16(intro.cpuType, &body[8]);
  rapiwire::storeLe32(intro.currentPartnerId, &body[16]);
  rapiwire::storeLe32(intro.secondPartnerId, &body[20]);
  size_t field = 24;
  for (const std::u16string* name : {&intro.deviceName, &intro.platformName, &intro.modelName}) {
    rapiwire::storeLe32(uint32_t(body.size()), &body[field]);
    detail::putUnits(body, *name);
    field += 4;
  }
  return body.size() < kChallengeFrom;
}

// The introduction as the device sends it: its length word, then the body.
inline bool encodeIntroductionMessage(const Introduction& intro, std::vector<uint8_t>& message) {
  std::vector<uint8_t> body;
  if (!encodeIntroduction(intro, body)) return false;
  message = wordBytes(uint32_t(body.size()));
  message.insert(message.end(), body.begin(), body.end());
  return true;
}

// Reads an introduction body of the length its word announced. False, with
// the reason, for one shorter than its fixed fields or longer than the
// introduction range, and for a name outside it or without a terminator.
inline bool decodeIntroduction(const std::vector<uint8_t>& body, Introduction& intro, std::string& reason) {
  if (body.size() < kMinIntroductionBytes || body.size() >= kChallengeFrom) {
    reason = "an introduction of " + std::to_string(body.size()) + " bytes (" + std::to_string(kMinIntroductionBytes) +
             " to " + std::to_string(kChallengeFrom - 1) + " expected)";
    return false;
  }
  Introduction read;
  read.osMajor = body[4];
  read.osMinor = body[5];
  read.build = loadLe16(&body[6]);
  read.cpuType = loadLe16(&body[8]);
  read.currentPartnerId = rapiwire::loadLe32(&body[16]);
  read.secondPartnerId = rapiwire::loadLe32(&body[20]);
  if (!detail::textAt(body, rapiwire::loadLe32(&body[24]), "device name", read.deviceName, reason) ||
      !detail::textAt(body, rapiwire::loadLe32(&body[28]), "platform name", read.platformName, reason) ||
      !detail::textAt(body, rapiwire::loadLe32(&body[32]), "model name", read.modelName, reason))
    return false;
  intro = std::move(read);
  return true;
}

// ---------------------------------------------------------------- password

// The password as the desktop sends it: a 16-bit byte count, then the
// UTF-16LE units with their terminator, every byte XORed with the key. Empty
// when the password is too long to be sent.
inline std::vector<uint8_t> encodePassword(const std::u16string& password, uint8_t key) {
  if (password.size() > kMaxPasswordUnits) return {};
  std::vector<uint8_t> units;
  detail::putUnits(units, password);
  std::vector<uint8_t> message(2);
  storeLe16(uint16_t(units.size()), message.data());
  for (uint8_t byte : units) message.push_back(uint8_t(byte ^ key));
  return message;
}

// The byte count a password message announces in its first two bytes,
// checked before anything that size is read: even, at least a terminator,
// at most the longest password.
inline bool passwordLengthAcceptable(uint16_t bytes) {
  return bytes >= 2 && bytes % 2 == 0 && bytes <= (kMaxPasswordUnits + 1) * 2;
}

// Whether `message` is a password as the desktop sends it: its byte count,
// then that many bytes, a count a password can have.
inline bool isEncodedPassword(const std::vector<uint8_t>& message) {
  return message.size() >= 2 && message.size() - 2 == loadLe16(message.data()) &&
         passwordLengthAcceptable(loadLe16(message.data()));
}

// The password in the `bytes` that followed the length: XORed back with the
// key, up to the terminator, which must be the last unit.
inline bool decodePassword(const std::vector<uint8_t>& bytes, uint8_t key, std::u16string& password,
                           std::string& reason) {
  if (bytes.size() > 0xFFFF || !passwordLengthAcceptable(uint16_t(bytes.size()))) {
    reason = "a password of " + std::to_string(bytes.size()) + " bytes";
    return false;
  }
  std::u16string read;
  for (size_t at = 0; at < bytes.size(); at += 2) {
    uint8_t pair[2] = {uint8_t(bytes[at] ^ key), uint8_t(bytes[at + 1] ^ key)};
    char16_t unit = char16_t(loadLe16(pair));
    if (unit == 0) {
      if (at + 2 != bytes.size()) {
        reason = "the password's terminator is not its last unit";
        return false;
      }
      password = std::move(read);
      return true;
    }
    read.push_back(unit);
  }
  reason = "the password has no terminator";
  return false;
}

// The device's answer to a password on the control connection (two bytes)
// and on a RAPI connection (one byte): non-zero means accepted.
inline std::vector<uint8_t> controlPasswordAnswer(bool accepted) { return {uint8_t(accepted ? 1 : 0), 0}; }
inline std::vector<uint8_t> rapiPasswordAnswer(bool accepted) { return {uint8_t(accepted ? 1 : 0)}; }

} // namespace controlwire
