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
// Fields of a device record: name, platform, model (texts), os (major.minor),
// build, cpu, address (dotted IPv4), rapi-port, since (seconds since the
// epoch), attach (a number that changes with every attach), locked (0 or 1:
// the device demanded a password), state (unlocked | locked: no password, or
// a refused one), password (what became of it, for a person: none | checking
// | accepted | refused | unavailable, the manager having none to give |
// withheld, the caller not being on the device's cable), and,
// for wait-device of a device locked with a password that it accepted,
// prelude: the hex bytes to send first on every RAPI connection (the encoded
// password).
#pragma once

#include "control_connection.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace linkchannel {

constexpr const char* kChannelFileName = "channel";
// Where the channel file lives: $PSPCLINK_DIR when set, else
// $XDG_RUNTIME_DIR/pspclink, else $HOME/.pspclink.
constexpr const char* kDirVariable = "PSPCLINK_DIR";
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
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      if (!isPlain(static_cast<unsigned char>(text[i]))) return std::nullopt;
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int high = hex(text[i + 1]), low = hex(text[i + 2]);
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
    auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      return -1;
    };
    int high = hex(text[i]), low = hex(text[i + 1]);
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
  size_t blank = text.find(' ');
  if (blank == std::string_view::npos || blank == 0 || blank > 5) return std::nullopt;
  uint32_t port = 0;
  for (char c : text.substr(0, blank)) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + uint32_t(c - '0');
  }
  std::string_view token = text.substr(blank + 1);
  if (port == 0 || port > 0xFFFF || token.size() != kTokenBytes * 2 || !bytesOfHex(token)) return std::nullopt;
  return ChannelFile{uint16_t(port), std::string(token)};
}

} // namespace linkchannel
