#include "line_format.h"

#include <limits>

namespace uidriver {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Reads a quoted text starting at line[pos] == '"'. On success pos is just past
// the closing quote and `text` holds the unescaped bytes.
bool readQuoted(std::string_view line, size_t& pos, std::string* text, std::string& error) {
  ++pos;
  while (pos < line.size()) {
    char c = line[pos++];
    if (c == '"') return true;
    if (c != '\\') {
      if (text) text->push_back(c);
      continue;
    }
    if (pos >= line.size()) break;
    char e = line[pos++];
    char decoded = 0;
    switch (e) {
    case '"':
      decoded = '"';
      break;
    case '\\':
      decoded = '\\';
      break;
    case 'r':
      decoded = '\r';
      break;
    case 'n':
      decoded = '\n';
      break;
    case 't':
      decoded = '\t';
      break;
    case 'x': {
      int high = pos < line.size() ? hexDigitValue(line[pos]) : -1;
      int low = pos + 1 < line.size() ? hexDigitValue(line[pos + 1]) : -1;
      if (high < 0 || low < 0) {
        error = "\\x in a quoted text needs two hex digits";
        return false;
      }
      decoded = char(high * 16 + low);
      pos += 2;
      break;
    }
    default:
      error = std::string("unknown escape \\") + e + " in a quoted text";
      return false;
    }
    if (text) text->push_back(decoded);
  }
  error = "a quoted text has no closing quote";
  return false;
}

} // namespace

bool splitWords(std::string_view line, std::vector<Word>& words, std::string& error) {
  words.clear();
  size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && isBlank(line[pos])) ++pos;
    if (pos >= line.size()) break;
    size_t start = pos;
    size_t equals = std::string_view::npos;
    while (pos < line.size() && !isBlank(line[pos])) {
      if (line[pos] == '"') {
        if (!readQuoted(line, pos, nullptr, error)) return false;
        continue;
      }
      if (line[pos] == '=' && equals == std::string_view::npos) equals = pos;
      ++pos;
    }
    std::string_view whole = line.substr(start, pos - start);
    Word word;
    // A key is a plain name before the first '='; an '=' inside a quoted
    // value (which starts the word) makes no key.
    if (equals != std::string_view::npos && whole.front() != '"') {
      word.key = std::string(whole.substr(0, equals - start));
      word.value = std::string(whole.substr(equals - start + 1));
    } else {
      word.value = std::string(whole);
    }
    words.push_back(std::move(word));
  }
  return true;
}

std::string hexText(std::string_view bytes) {
  std::string out = "x:";
  out.reserve(2 + bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kHexDigits[c >> 4]);
    out.push_back(kHexDigits[c & 15]);
  }
  return out;
}

std::string quoteText(std::string_view utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (c < 0x20 || c == 0x7F) {
        out += "\\x";
        out.push_back(kHexDigits[c >> 4]);
        out.push_back(kHexDigits[c & 15]);
      } else {
        out.push_back(char(c));
      }
    }
  }
  out.push_back('"');
  return out;
}

bool decodeText(std::string_view raw, DecodedText& text, std::string& error) {
  text = DecodedText{};
  if (!raw.empty() && raw.front() == '"') {
    text.form = TextForm::Quoted;
    size_t pos = 0;
    if (!readQuoted(raw, pos, &text.bytes, error)) return false;
    if (pos != raw.size()) {
      error = "nothing may follow the closing quote of a text";
      return false;
    }
    return true;
  }
  if (raw.substr(0, 2) == "x:") {
    text.form = TextForm::Hex;
    std::string_view digits = raw.substr(2);
    if (digits.size() % 2 != 0) {
      error = "a hex text needs two digits a byte";
      return false;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
      int high = hexDigitValue(digits[i]), low = hexDigitValue(digits[i + 1]);
      if (high < 0 || low < 0) {
        error = "a hex text holds only the digits 0-9 and A-F";
        return false;
      }
      text.bytes.push_back(char(high * 16 + low));
    }
    return true;
  }
  text.form = TextForm::Plain;
  text.bytes = std::string(raw);
  return true;
}

bool parseUnsigned(std::string_view raw, uint64_t& value) {
  if (raw.empty()) return false;
  uint64_t base = 10;
  if (raw.size() > 2 && raw[0] == '0' && (raw[1] == 'x' || raw[1] == 'X')) {
    base = 16;
    raw.remove_prefix(2);
  }
  if (raw.empty() || raw.size() > 20) return false;
  uint64_t result = 0;
  for (char c : raw) {
    int digit = base == 16 ? hexDigitValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (digit < 0) return false;
    if (result > (std::numeric_limits<uint64_t>::max() - uint64_t(digit)) / base) return false;
    result = result * base + uint64_t(digit);
  }
  value = result;
  return true;
}

bool parseInteger(std::string_view raw, int64_t& value) {
  bool negative = !raw.empty() && raw.front() == '-';
  if (negative) raw.remove_prefix(1);
  uint64_t magnitude = 0;
  if (!parseUnsigned(raw, magnitude)) return false;
  constexpr uint64_t kMaxPositive = uint64_t(std::numeric_limits<int64_t>::max());
  if (negative) {
    if (magnitude > kMaxPositive + 1) return false;
    value = magnitude == kMaxPositive + 1 ? std::numeric_limits<int64_t>::min() : -int64_t(magnitude);
  } else {
    if (magnitude > kMaxPositive) return false;
    value = int64_t(magnitude);
  }
  return true;
}

std::string hexNumber(uint64_t value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), kHexDigits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return "0x" + digits;
}

} // namespace uidriver
