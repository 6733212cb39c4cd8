// Expected packets are written in the tests as hex text, one group per field,
// so each can be read against the documented layout. Blanks only separate.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes hexBytes(std::string_view text) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\n') continue;
    int d = digit(c);
    if (d < 0) {
      ADD_FAILURE() << "not a hex digit in expected bytes: '" << c << "'";
      return {};
    }
    if (high < 0) {
      high = d;
    } else {
      out.push_back(uint8_t(high << 4 | d));
      high = -1;
    }
  }
  if (high >= 0) ADD_FAILURE() << "odd number of hex digits in expected bytes";
  return out;
}

// A u32 little-endian word, for packets the tests must build at sizes too
// large to write out (cap boundaries).
inline void appendU32(Bytes& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(uint8_t(value >> shift));
}

inline Bytes le32(uint32_t value) {
  Bytes out;
  appendU32(out, value);
  return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
