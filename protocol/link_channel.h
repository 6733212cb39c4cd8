// The connection manager's local channel: how programs of the desktop user
// (rapi.dll in a Windows program under Wine, `pspclink status`) ask the
// manager which device is attached and how to open RAPI to it.
//
// Wine's Winsock has no Unix-domain sockets, so the channel is TCP on the
// loopback address, and it is the user's own through a secret: the manager
// writes its port and a random token into a channel file that only the user
// can read (the file mode 0600, in a folder of mode 0700). A client's first
// line must carry the token; a client without it is answered "error" and cut
// off, and learns nothing. The encoded password of a locked device crosses
// this channel only after that.
//
// Lines of words: a request is its name and options; an answer is one record
// line ("device ..." or "none") or "error <reason>". Option values are
// percent-encoded UTF-8 (letters, digits and -._~:/ stand as they are), so a
// line never holds a blank inside a value.
//
//   hello <token>            -> ok | error <reason>        (first line, always)
//   listening                -> listening address=<a> port=<p>   (where devices call it)
//   status                   -> device <fields> | none
//   wait-device [timeout=<ms>] -> device <fields> | none   (an attached, unlocked device)
//   watch attach=<n>         -> gone, once that attach has ended (at once when
//                               it already has); silent until then, so a client
//                               that holds this connection open learns of the
//                               device's going without asking again
//
// A device record ("device" and its fields, DeviceRecord below) is written
// by the manager and read by `pspclink status` and rapi.dll with the one
// parser here, which checks every field.
#pragma once

#include "control_connection.h"
#include "text_forms.h"

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace linkchannel {

// The channel folder, where a running manager leaves the channel file, the
// port it takes device calls on and its log: $PSPCLINK_DIR when set, else
// $XDG_RUNTIME_DIR/pspclink, else $HOME/.pspclink.
constexpr const char* kDirVariable = "PSPCLINK_DIR";
constexpr const char* kRuntimeDirVariable = "XDG_RUNTIME_DIR";
constexpr const char* kRuntimeFolderName = "pspclink";
constexpr const char* kHomeFolderName = ".pspclink";
constexpr const char* kChannelFileName = "channel";
constexpr const char* kCallPortFileName = "call.port";
constexpr const char* kLogFileName = "pspclink.log";
// A channel file is one short line; a reader takes no more than this of it.
constexpr size_t kMaxChannelFileBytes = 256;

// The channel is the loopback's, on a port of the manager's choosing.
constexpr const char* kChannelAddress = "127.0.0.1";
constexpr size_t kTokenBytes = 32;
// The longest line either side takes is the longest device record there can
// be: three names, each no longer than an introduction (under kChallengeFrom
// bytes: 255 units), every unit up to 3 bytes of UTF-8 and every byte of it
// written as %XX; the prelude (the longest password, encoded) in hex; and the
// fixed fields, numbers and words that take well under 1 KiB. A line of any
// device that introduced itself in due form thus always reads back.
constexpr size_t kMaxNameUnits = controlwire::kChallengeFrom / 2;
constexpr size_t kMaxEncodedNameBytes = kMaxNameUnits * 3 * 3;
constexpr size_t kMaxPreludeBytes = 2 + (controlwire::kMaxPasswordUnits + 1) * 2;
constexpr size_t kMaxLineBytes = 3 * kMaxEncodedNameBytes + 2 * kMaxPreludeBytes + 1024;
constexpr uint32_t kMaxWaitMs = 600000;

// The channel's words, as its two ends write and read them: the requests,
// then the answers.
constexpr const char* kHello = "hello";
constexpr const char* kListening = "listening";
constexpr const char* kStatus = "status";
constexpr const char* kWaitDevice = "wait-device";
constexpr const char* kWatch = "watch";
constexpr const char* kOk = "ok";
constexpr const char* kDevice = "device";
constexpr const char* kNone = "none";
constexpr const char* kGone = "gone";
constexpr const char* kError = "error";

inline bool isPlain(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~' || c == ':' || c == '/';
}

inline std::string encodeValue(std::string_view utf8) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : utf8) {
    if (isPlain(c)) {
      out.push_back(char(c));
    } else {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    }
  }
  return out;
}

inline std::optional<std::string> decodeValue(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      if (!isPlain(static_cast<unsigned char>(text[i]))) return std::nullopt;
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = textform::hexDigitValue(text[i + 1]), low = textform::hexDigitValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(char(high << 4 | low));
    i += 2;
  }
  return out;
}

// One line taken apart: its first word, bare words, and key=value options
// (values decoded). False for a line that is not words of that form.
struct Line {
  std::string name;
  std::vector<std::string> words;
  std::map<std::string, std::string> options;

  const std::string* option(const std::string& key) const {
    auto it = options.find(key);
    return it == options.end() ? nullptr : &it->second;
  }
};

inline bool parseLine(std::string_view text, Line& line) {
  if (text.size() > kMaxLineBytes) return false;
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  Line parsed;
  size_t at = 0;
  bool first = true;
  while (at < text.size()) {
    if (text[at] == ' ') {
      ++at;
      continue;
    }
    size_t end = text.find(' ', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view word = text.substr(at, end - at);
    at = end;
    if (first) {
      parsed.name = std::string(word);
      first = false;
      continue;
    }
    size_t equals = word.find('=');
    if (equals == std::string_view::npos) {
      parsed.words.emplace_back(word);
      continue;
    }
    auto value = decodeValue(word.substr(equals + 1));
    if (equals == 0 || !value) return false;
    if (!parsed.options.emplace(std::string(word.substr(0, equals)), *value).second) return false;
  }
  if (parsed.name.empty()) return false;
  line = std::move(parsed);
  return true;
}

// A record line: its name, then key=value options in the order given.
inline std::string formatLine(const std::string& name,
                              const std::vector<std::pair<std::string, std::string>>& options) {
  std::string out = name;
  for (const auto& [key, value] : options) out += " " + key + "=" + encodeValue(value);
  return out + "\n";
}

inline std::string helloRequest(const std::string& token) { return std::string(kHello) + " " + token; }
inline std::string waitDeviceRequest(uint64_t timeoutMs) {
  return std::string(kWaitDevice) + " timeout=" + std::to_string(timeoutMs);
}
inline std::string watchRequest(uint64_t attach) { return std::string(kWatch) + " attach=" + std::to_string(attach); }

inline std::string hexOf(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

inline std::optional<std::vector<uint8_t>> bytesOfHex(std::string_view text) {
  if (text.size() % 2) return std::nullopt;
  std::vector<uint8_t> out;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = textform::hexDigitValue(text[i]), low = textform::hexDigitValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(uint8_t(high << 4 | low));
  }
  return out;
}

// The channel file's one line: "<port> <token hex>".
struct ChannelFile {
  uint16_t port = 0;
  std::string token; // hex, kTokenBytes * 2 digits
};

inline std::string formatChannelFile(const ChannelFile& file) {
  return std::to_string(file.port) + " " + file.token + "\n";
}

inline std::optional<ChannelFile> parseChannelFile(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  const size_t blank = text.find(' ');
  uint16_t port = 0;
  if (blank == std::string_view::npos || !textform::readNumber(text.substr(0, blank), port, uint16_t(1)))
    return std::nullopt;
  const std::string_view token = text.substr(blank + 1);
  if (token.size() != kTokenBytes * 2 || !bytesOfHex(token)) return std::nullopt;
  return ChannelFile{port, std::string(token)};
}

// Four numbers from 0 to 255 with dots between them, and nothing else: a
// name would send rapi.dll to the name service.
inline bool isDottedAddress(std::string_view text) {
  for (int part = 0; part < 4; ++part) {
    const size_t end = part < 3 ? text.find('.') : text.size();
    uint8_t value = 0;
    if (end == std::string_view::npos || !textform::readNumber(text.substr(0, end), value)) return false;
    text.remove_prefix(part < 3 ? end + 1 : end);
  }
  return true;
}

// The attached device as a "device" line tells it.
struct DeviceRecord {
  std::string name, platform, model; // printable UTF-8
  unsigned osMajor = 0, osMinor = 0;  // os=<major>.<minor>
  unsigned build = 0, cpu = 0;        // cpu: the CPU type as Windows CE numbers them
  std::string address;                // dotted IPv4
  uint16_t rapiPort = 0;              // rapi-port, 1 to 65535
  int64_t since = 0;                  // seconds since the epoch
  uint64_t attach = 0;                // a number that changes with every attach
  bool locked = false;                // locked=1: the device demanded a password
  bool usable = false;                // state=unlocked: no password, or one it accepted
  // What became of the password, for a person: none (not asked), checking,
  // accepted, refused, unavailable (the manager had none to give), withheld
  // (the caller was not on the device's cable). A record without it tells
  // it by `locked` and `state`.
  std::string password = "none";
  // For wait-device of a device locked with a password that it accepted: the
  // bytes to send first on every RAPI connection (the encoded password),
  // written in hex.
  std::vector<uint8_t> prelude;
};

// The record line; the prelude only when asked for (wait-device).
inline std::string formatDeviceRecord(const DeviceRecord& record, bool withPrelude) {
  std::vector<std::pair<std::string, std::string>> fields = {
      {"name", record.name},
      {"platform", record.platform},
      {"model", record.model},
      {"os", std::to_string(record.osMajor) + "." + std::to_string(record.osMinor)},
      {"build", std::to_string(record.build)},
      {"cpu", std::to_string(record.cpu)},
      {"address", record.address},
      {"rapi-port", std::to_string(record.rapiPort)},
      {"since", std::to_string(record.since)},
      {"attach", std::to_string(record.attach)},
      {"locked", record.locked ? "1" : "0"},
      {"state", record.usable ? "unlocked" : "locked"},
      {"password", record.password},
  };
  if (withPrelude && !record.prelude.empty()) fields.emplace_back("prelude", hexOf(record.prelude));
  return formatLine(kDevice, fields);
}

namespace detail {

inline bool textField(const Line& line, const char* key, std::string& value) {
  const std::string* found = line.option(key);
  if (found) value = *found;
  return found != nullptr;
}

template <typename Number> bool numberField(const Line& line, const char* key, Number& value, Number least = 0) {
  const std::string* found = line.option(key);
  return found && textform::readNumber(*found, value, least);
}

inline bool osField(const Line& line, unsigned& major, unsigned& minor) {
  const std::string* os = line.option("os");
  const size_t dot = os ? os->find('.') : std::string::npos;
  return dot != std::string::npos && textform::readNumber(std::string_view(*os).substr(0, dot), major) &&
         textform::readNumber(std::string_view(*os).substr(dot + 1), minor);
}

inline bool oneOf(const std::string* value, const char* first, const char* second) {
  return value && (*value == first || *value == second);
}

} // namespace detail

// A "device" line read back, every field checked; false, with the reason,
// for one that lacks a field or holds a value that does not read. `record`
// is written only when the line reads.
inline bool parseDeviceRecord(const Line& line, DeviceRecord& record, std::string& reason) {
  using namespace detail;
  auto refuse = [&reason](const char* what) {
    reason = std::string("a device record ") + what;
    return false;
  };
  if (line.name != "device") return refuse("that is not one");
  DeviceRecord read;
  if (!textField(line, "name", read.name) || !textField(line, "platform", read.platform) ||
      !textField(line, "model", read.model))
    return refuse("without its names");
  if (!osField(line, read.osMajor, read.osMinor) || !numberField(line, "build", read.build) ||
      !numberField(line, "cpu", read.cpu))
    return refuse("without its OS version, build and CPU");
  if (!textField(line, "address", read.address) || !isDottedAddress(read.address))
    return refuse("without a dotted IPv4 address");
  if (!numberField(line, "rapi-port", read.rapiPort, uint16_t(1)))
    return refuse("without a RAPI port from 1 to 65535");
  if (!numberField(line, "since", read.since, std::numeric_limits<int64_t>::min()))
    return refuse("without the time of its attach");
  if (!numberField(line, "attach", read.attach)) return refuse("without its attach number");
  const std::string* locked = line.option("locked");
  const std::string* state = line.option("state");
  if (!oneOf(locked, "0", "1") || !oneOf(state, "unlocked", "locked"))
    return refuse("without its lock (locked=0|1 state=unlocked|locked)");
  read.locked = *locked == "1";
  read.usable = *state == "unlocked";
  if (!textField(line, "password", read.password))
    read.password = read.locked ? (read.usable ? "accepted" : "refused") : "none";
  if (const std::string* prelude = line.option("prelude")) {
    auto bytes = bytesOfHex(*prelude);
    if (!bytes || !controlwire::isEncodedPassword(*bytes))
      return refuse("whose password prelude is not an encoded password");
    read.prelude = std::move(*bytes);
  }
  record = std::move(read);
  return true;
}

} // namespace linkchannel
