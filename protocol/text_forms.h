// The forms texts take in this system's lines, files and settings: decimal
// numbers, hex digits and UTF-8. Header-only, and free of any platform's
// headers: the connection manager, rapi.dll (built with MinGW) and the
// emulator read them with this same code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace textform {

namespace detail {

constexpr size_t decimalDigits(uint64_t value) {
  size_t digits = 1;
  for (; value >= 10; value /= 10) ++digits;
  return digits;
}

// Decimal digits alone, no more of them than `max` has, of a value up to `max`.
inline bool readDigits(std::string_view text, uint64_t max, uint64_t& value) {
  if (text.empty() || text.size() > decimalDigits(max)) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = uint64_t(c - '0');
    if (result > (max - digit) / 10) return false;
    result = result * 10 + digit;
  }
  value = result;
  return true;
}

} // namespace detail

// A whole decimal number from `least` to `most`: digits alone (a minus sign
// first only where `least` is below zero; no plus sign, no blank), and no
// more digits than the largest value has, so that a field never reads longer
// than the number it may hold. `value` is written only when the text reads.
template <typename Number>
bool readNumber(std::string_view text, Number& value, Number least = std::numeric_limits<Number>::min(),
                Number most = std::numeric_limits<Number>::max()) {
  static_assert(std::is_integral_v<Number> && !std::is_same_v<Number, bool>, "a whole number");
  uint64_t magnitude = 0;
  if constexpr (std::is_signed_v<Number>) {
    if (!text.empty() && text.front() == '-') {
      if (least >= 0) return false;
      const uint64_t largest = uint64_t(-(int64_t(least) + 1)) + 1;
      if (!detail::readDigits(text.substr(1), largest, magnitude)) return false;
      const int64_t read = magnitude == 0 ? 0 : -int64_t(magnitude - 1) - 1;
      if (read > int64_t(most)) return false;
      value = Number(read);
      return true;
    }
    if (most < 0) return false;
  }
  if (!detail::readDigits(text, uint64_t(most), magnitude) || Number(magnitude) < least) return false;
  value = Number(magnitude);
  return true;
}

// The value of one hex digit, in either case; -1 for any other character.
// Bytes are written in lower case (hexOf, link_channel.h), percent escapes in
// upper case, as URIs have them: a reader takes both.
constexpr int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Strict UTF-8 to UTF-16: false for bytes that are not UTF-8 (a lead byte
// out of place, a cut sequence, an overlong form, a surrogate, a value past
// U+10FFFF), and `text` is then left as it was.
inline bool utf8ToUtf16(std::string_view utf8, std::u16string& text) {
  std::u16string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    size_t length = 1;
    char32_t c = lead, least = 0;
    if (lead >= 0xC0 && lead <= 0xDF) {
      length = 2, c = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, c = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF7) {
      length = 4, c = lead & 0x07, least = 0x10000;
    } else if (lead >= 0x80) {
      return false;
    }
    if (utf8.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(utf8[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = c << 6 | (next & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (c >= 0x10000) {
      out.push_back(char16_t(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(char16_t(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(char16_t(c));
    }
    i += length;
  }
  text = std::move(out);
  return true;
}

} // namespace textform
