// The line format uidriver speaks on its stdin and stdout, shared by the
// driver (Windows) and the clients that drive it (the native end-to-end tests).
//
// A line is a list of words separated by blanks. A word is `key=value` or a bare
// value. Values are one of
//   plain      a run of characters without blanks or quotes: 0x1A2B, 17, -1, #32770
//   quoted     "text" in UTF-8, with the escapes \" \\ \r \n \t and \xHH; blanks allowed
//   hex text   x:<hex digits>, two a byte: the exact bytes of a text in the desktop's
//              ANSI code page (x: alone is the empty text)
// Texts of the driven program are answered in both forms: hex, the bytes the
// program sees, and quoted, a readable rendering of the same text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace uidriver {

// A command or an answer line may not be longer than this.
inline constexpr size_t kMaxLineBytes = 1 << 20;

struct Word {
  std::string key;   // empty for a bare value
  std::string value; // raw, as written: quotes and x: still in place
};

// Splits a line into words. Fails on an unterminated quote.
bool splitWords(std::string_view line, std::vector<Word>& words, std::string& error);

// "x:" followed by the bytes in upper-case hex.
std::string hexText(std::string_view bytes);
// The text in quotes, escaped so that the word stays on one line.
std::string quoteText(std::string_view utf8);

enum class TextForm { Plain, Quoted, Hex };

// A value decoded: the bytes of a quoted or plain text as written (UTF-8),
// or the bytes a hex text names (ANSI code page).
struct DecodedText {
  TextForm form = TextForm::Plain;
  std::string bytes;
};
bool decodeText(std::string_view raw, DecodedText& text, std::string& error);

// Whole numbers as they appear in words: decimal with an optional minus sign,
// or 0x hex. Fail on anything else or on overflow.
bool parseInteger(std::string_view raw, int64_t& value);
bool parseUnsigned(std::string_view raw, uint64_t& value);

// Formats a number as 0x hex (upper case, no padding).
std::string hexNumber(uint64_t value);

} // namespace uidriver
