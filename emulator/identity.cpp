#include "identity.h"

#include "device_path.h"

#include <charconv>
#include <cstdio>
#include <set>
#include <sstream>
#include <string_view>
#include <vector>

namespace pspc {

namespace {

constexpr size_t kTagVersionChars = 7;
constexpr size_t kTagLanguageChars = 3;
constexpr size_t kMaxModelBytes = 64;

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

bool isPrintableAscii(std::string_view text) {
  for (char c : text)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

bool parseDecimal(std::string_view text, uint32_t& value) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool parseNumberUpTo(std::string_view text, uint32_t limit, uint32_t& value) {
  return parseDecimal(text, value) && value <= limit;
}

// "major.minor", each a number from 0 to 255.
bool parseOsVersion(std::string_view text, uint8_t& major, uint8_t& minor) {
  const size_t dot = text.find('.');
  uint32_t high = 0, low = 0;
  if (dot == std::string_view::npos || !parseNumberUpTo(text.substr(0, dot), 255, high) ||
      !parseNumberUpTo(text.substr(dot + 1), 255, low))
    return false;
  major = uint8_t(high);
  minor = uint8_t(low);
  return true;
}

// A name the device gives of itself: UTF-8 of 1 to kMaxModelBytes bytes, no
// control characters. The reason, or empty when it is one.
std::string nameProblem(const std::string& key, std::string_view value) {
  std::u16string units;
  if (value.empty() || value.size() > kMaxModelBytes || !utf8ToUtf16(value, units))
    return key + " must be UTF-8 text of 1 to " + std::to_string(kMaxModelBytes) + " bytes";
  for (char16_t unit : units)
    if (unit < 0x20) return key + " must not hold control characters";
  return "";
}

bool parseTagUnits(std::string_view text, std::array<uint16_t, 11>& units) {
  std::istringstream words{std::string(text)};
  std::string word;
  size_t count = 0;
  while (words >> word) {
    if (count == units.size() || word.size() > 4) return false;
    uint16_t unit = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), unit, 16);
    if (ec != std::errc() || end != word.data() + word.size()) return false;
    units[count++] = unit;
  }
  return count == units.size();
}

// The tag holds each character of the text as one unit, cut or padded with
// blanks to the width the device tool gives it.
void putTagField(std::array<uint16_t, 11>& tag, size_t offset, std::string_view text, size_t width) {
  for (size_t i = 0; i < width; ++i) tag[offset + i] = i < text.size() ? uint8_t(text[i]) : u' ';
}

} // namespace

std::array<uint16_t, 11> Identity::tag() const {
  if (tagUnits) return *tagUnits;
  std::array<uint16_t, 11> tag{};
  putTagField(tag, 0, version, kTagVersionChars);
  tag[kTagVersionChars] = u' ';
  putTagField(tag, kTagVersionChars + 1, language, kTagLanguageChars);
  return tag;
}

std::string Identity::serialize() const {
  std::ostringstream out;
  out << "# PsPC device identity and behaviour, one \"key = value\" a line.\n";
  out << "version = " << version << "\n";
  out << "language = " << language << "\n";
  out << "model = " << model << "\n";
  out << "device_name = " << deviceName << "\n";
  out << "platform = " << platform << "\n";
  out << "os_version = " << unsigned(osMajor) << "." << unsigned(osMinor) << "\n";
  out << "os_build = " << osBuild << "\n";
  out << "cpu_type = " << cpuType << "\n";
  out << "partner_id = " << partnerId << "\n";
  out << "second_partner_id = " << secondPartnerId << "\n";
  out << "store_bytes = " << storeBytes << "\n";
  if (tagUnits) {
    out << "tag_units =";
    for (uint16_t unit : *tagUnits) {
      char hex[8];
      std::snprintf(hex, sizeof hex, " %04x", unsigned(unit));
      out << hex;
    }
    out << "\n";
  }
  out << "tool_delay_ms = " << toolDelayMs << "\n";
  out << "tool_writes = " << (toolWrites ? "true" : "false") << "\n";
  return out.str();
}

std::optional<Identity> Identity::parse(const std::string& text, std::string& error) {
  Identity identity;
  std::set<std::string, std::less<>> seen;
  size_t lineNumber = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = trim(std::string_view(text).substr(start, end - start));
    start = end + 1;
    ++lineNumber;
    if (line.empty() || line.front() == '#') continue;

    auto fail = [&](const std::string& why) {
      error = "line " + std::to_string(lineNumber) + ": " + why;
      return std::nullopt;
    };
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return fail("expected \"key = value\"");
    const std::string key(trim(line.substr(0, equals)));
    const std::string_view value = trim(line.substr(equals + 1));
    if (!seen.insert(key).second) return fail("\"" + key + "\" is given twice");

    if (key == "version" || key == "language") {
      if (value.empty() || !isPrintableAscii(value)) return fail(key + " must be printable ASCII text");
      (key == "version" ? identity.version : identity.language) = std::string(value);
    } else if (key == "model" || key == "device_name" || key == "platform") {
      if (std::string problem = nameProblem(key, value); !problem.empty()) return fail(problem);
      (key == "model" ? identity.model : key == "device_name" ? identity.deviceName : identity.platform) =
          std::string(value);
    } else if (key == "os_version") {
      if (!parseOsVersion(value, identity.osMajor, identity.osMinor))
        return fail("os_version must be major.minor, each from 0 to 255, such as 2.11");
    } else if (key == "os_build" || key == "cpu_type") {
      uint32_t number = 0;
      if (!parseNumberUpTo(value, 0xFFFF, number)) return fail(key + " must be a number from 0 to 65535");
      (key == "os_build" ? identity.osBuild : identity.cpuType) = uint16_t(number);
    } else if (key == "partner_id" || key == "second_partner_id") {
      if (!parseDecimal(value, key == "partner_id" ? identity.partnerId : identity.secondPartnerId))
        return fail(key + " must be a number from 0 to 4294967295");
    } else if (key == "store_bytes") {
      if (!parseDecimal(value, identity.storeBytes)) return fail("store_bytes must be a number from 0 to 4294967295");
    } else if (key == "tag_units") {
      std::array<uint16_t, 11> units{};
      if (!parseTagUnits(value, units)) return fail("tag_units must be 11 hexadecimal units separated by blanks");
      identity.tagUnits = units;
    } else if (key == "tool_delay_ms") {
      if (!parseDecimal(value, identity.toolDelayMs))
        return fail("tool_delay_ms must be a number of milliseconds from 0 to 4294967295");
    } else if (key == "tool_writes") {
      if (value == "true") identity.toolWrites = true;
      else if (value == "false") identity.toolWrites = false;
      else return fail("tool_writes must be true or false");
    } else {
      return fail("unknown key \"" + key + "\"");
    }
  }
  return identity;
}

} // namespace pspc
