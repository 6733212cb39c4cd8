#include "device_path.h"

#include "win32_codes.h"


namespace pspc {

namespace {

bool isHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Decodes the code point at `i` (advancing `i`); false on an unpaired surrogate.
bool nextCodePoint(std::u16string_view text, size_t& i, char32_t& cp) {
  char32_t unit = text[i++];
  if (isLowSurrogate(unit)) return false;
  if (!isHighSurrogate(unit)) {
    cp = unit;
    return true;
  }
  if (i >= text.size() || !isLowSurrogate(text[i])) return false;
  cp = 0x10000 + ((unit - 0xD800) << 10) + (char32_t(text[i++]) - 0xDC00);
  return true;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

// How one block of the fold table maps its lower-case letters.
enum class FoldKind : uint8_t {
  Offset,  // every unit in the block moves by `delta`
  Pairs,   // upper/lower pairs starting with the upper case at `first`
  Single,  // the one unit `first` maps to `delta` (an absolute value)
};

struct FoldBlock {
  char16_t first, last;
  FoldKind kind;
  int32_t delta;
};

// Simple (one unit to one unit) uppercase mappings. Multi-unit mappings such
// as the German sharp s have none, as on the device.
constexpr FoldBlock kFoldBlocks[] = {
    {0x00B5, 0x00B5, FoldKind::Single, 0x039C}, {0x00E0, 0x00F6, FoldKind::Offset, -0x20},
    {0x00F8, 0x00FE, FoldKind::Offset, -0x20},  {0x00FF, 0x00FF, FoldKind::Single, 0x0178},
    {0x0100, 0x012F, FoldKind::Pairs, 0},       {0x0131, 0x0131, FoldKind::Single, 0x0049},
    {0x0132, 0x0137, FoldKind::Pairs, 0},       {0x0139, 0x0148, FoldKind::Pairs, 0},
    {0x014A, 0x0177, FoldKind::Pairs, 0},       {0x0179, 0x017E, FoldKind::Pairs, 0},
    {0x017F, 0x017F, FoldKind::Single, 0x0053}, {0x0180, 0x0180, FoldKind::Single, 0x0243},
    {0x0182, 0x0185, FoldKind::Pairs, 0},       {0x0187, 0x0188, FoldKind::Pairs, 0},
    {0x018B, 0x018C, FoldKind::Pairs, 0},       {0x0191, 0x0192, FoldKind::Pairs, 0},
    {0x0195, 0x0195, FoldKind::Single, 0x01F6}, {0x0198, 0x0199, FoldKind::Pairs, 0},
    {0x019A, 0x019A, FoldKind::Single, 0x023D}, {0x019E, 0x019E, FoldKind::Single, 0x0220},
    {0x01A0, 0x01A5, FoldKind::Pairs, 0},       {0x01A7, 0x01A8, FoldKind::Pairs, 0},
    {0x01AC, 0x01AD, FoldKind::Pairs, 0},       {0x01AF, 0x01B0, FoldKind::Pairs, 0},
    {0x01B3, 0x01B6, FoldKind::Pairs, 0},       {0x01B8, 0x01B9, FoldKind::Pairs, 0},
    {0x01BC, 0x01BD, FoldKind::Pairs, 0},       {0x01BF, 0x01BF, FoldKind::Single, 0x01F7},
    // The digraphs DŽ, LJ, NJ and DZ: title and small forms fold to the capital.
    {0x01C5, 0x01C5, FoldKind::Single, 0x01C4}, {0x01C6, 0x01C6, FoldKind::Single, 0x01C4},
    {0x01C8, 0x01C8, FoldKind::Single, 0x01C7}, {0x01C9, 0x01C9, FoldKind::Single, 0x01C7},
    {0x01CB, 0x01CB, FoldKind::Single, 0x01CA}, {0x01CC, 0x01CC, FoldKind::Single, 0x01CA},
    {0x01CD, 0x01DC, FoldKind::Pairs, 0},
    {0x01DD, 0x01DD, FoldKind::Single, 0x018E}, {0x01DE, 0x01EF, FoldKind::Pairs, 0},
    {0x01F2, 0x01F2, FoldKind::Single, 0x01F1}, {0x01F3, 0x01F3, FoldKind::Single, 0x01F1},
    {0x01F4, 0x01F5, FoldKind::Pairs, 0},
    {0x01F8, 0x021F, FoldKind::Pairs, 0},       {0x0222, 0x0233, FoldKind::Pairs, 0},
    {0x023B, 0x023C, FoldKind::Pairs, 0},       {0x0241, 0x0242, FoldKind::Pairs, 0},
    {0x0246, 0x024F, FoldKind::Pairs, 0},       {0x0253, 0x0253, FoldKind::Single, 0x0181},
    {0x0254, 0x0254, FoldKind::Single, 0x0186}, {0x0256, 0x0257, FoldKind::Offset, -0xCD},
    {0x0259, 0x0259, FoldKind::Single, 0x018F}, {0x025B, 0x025B, FoldKind::Single, 0x0190},
    {0x0260, 0x0260, FoldKind::Single, 0x0193}, {0x0263, 0x0263, FoldKind::Single, 0x0194},
    {0x0268, 0x0268, FoldKind::Single, 0x0197}, {0x0269, 0x0269, FoldKind::Single, 0x0196},
    {0x026F, 0x026F, FoldKind::Single, 0x019C}, {0x0272, 0x0272, FoldKind::Single, 0x019D},
    {0x0275, 0x0275, FoldKind::Single, 0x019F}, {0x0280, 0x0280, FoldKind::Single, 0x01A6},
    {0x0283, 0x0283, FoldKind::Single, 0x01A9}, {0x0288, 0x0288, FoldKind::Single, 0x01AE},
    {0x0289, 0x0289, FoldKind::Single, 0x0244}, {0x028A, 0x028B, FoldKind::Offset, -0xD9},
    {0x028C, 0x028C, FoldKind::Single, 0x0245}, {0x0292, 0x0292, FoldKind::Single, 0x01B7},
    {0x0370, 0x0373, FoldKind::Pairs, 0},       {0x0376, 0x0377, FoldKind::Pairs, 0},
    {0x03AC, 0x03AC, FoldKind::Single, 0x0386}, {0x03AD, 0x03AF, FoldKind::Offset, -0x25},
    {0x03B1, 0x03C1, FoldKind::Offset, -0x20},  {0x03C2, 0x03C2, FoldKind::Single, 0x03A3},
    {0x03C3, 0x03CB, FoldKind::Offset, -0x20},  {0x03CC, 0x03CC, FoldKind::Single, 0x038C},
    {0x03CD, 0x03CE, FoldKind::Offset, -0x3F},  {0x03D8, 0x03EF, FoldKind::Pairs, 0},
    {0x0430, 0x044F, FoldKind::Offset, -0x20},  {0x0450, 0x045F, FoldKind::Offset, -0x50},
    {0x0460, 0x0481, FoldKind::Pairs, 0},       {0x048A, 0x04BF, FoldKind::Pairs, 0},
    {0x04C1, 0x04CE, FoldKind::Pairs, 0},       {0x04CF, 0x04CF, FoldKind::Single, 0x04C0},
    {0x04D0, 0x052F, FoldKind::Pairs, 0},       {0x0561, 0x0586, FoldKind::Offset, -0x30},
    {0x1E00, 0x1E95, FoldKind::Pairs, 0},       {0x1EA0, 0x1EFF, FoldKind::Pairs, 0},
    {0x2170, 0x217F, FoldKind::Offset, -0x10},  {0x24D0, 0x24E9, FoldKind::Offset, -0x1A},
    {0xFF41, 0xFF5A, FoldKind::Offset, -0x20},
};

// foldUnit stops at the first block past the unit: the blocks must stay sorted.
constexpr bool blocksAreSorted() {
  for (size_t i = 1; i < std::size(kFoldBlocks); ++i)
    if (kFoldBlocks[i].first <= kFoldBlocks[i - 1].last || kFoldBlocks[i].first > kFoldBlocks[i].last) return false;
  return true;
}
static_assert(blocksAreSorted());

constexpr std::u16string_view kReservedNames[] = {
    u"CON",  u"PRN",  u"AUX",  u"NUL",  u"COM1", u"COM2", u"COM3", u"COM4", u"COM5", u"COM6", u"COM7",
    u"COM8", u"COM9", u"LPT1", u"LPT2", u"LPT3", u"LPT4", u"LPT5", u"LPT6", u"LPT7", u"LPT8", u"LPT9",
};

// CON, NUL, COM1 ... name devices with or without an extension ("nul.txt"),
// and trailing blanks before the extension do not change that.
bool isReservedDeviceName(std::u16string_view name) {
  std::u16string_view base = name.substr(0, name.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  const std::u16string folded = foldName(base);
  for (std::u16string_view reserved : kReservedNames)
    if (folded == reserved) return true;
  return false;
}

bool matchFolded(std::u16string_view pattern, std::u16string_view name) {
  // Iterative wildcard match with one back-tracking point: linear in practice
  // and never recursive, whatever the pattern.
  size_t p = 0, n = 0, starP = std::u16string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      starP = p++;
      starN = n;
    } else if (starP != std::u16string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

} // namespace

bool utf16ToUtf8(std::u16string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    if (!nextCodePoint(text, i, cp)) return false;
    appendUtf8(out, cp);
  }
  return true;
}

std::string toUtf8Lossy(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    if (!nextCodePoint(text, i, cp)) cp = 0xFFFD;
    appendUtf8(out, cp);
  }
  return out;
}

char16_t foldUnit(char16_t unit) {
  if (unit < 0x80) return (unit >= u'a' && unit <= u'z') ? char16_t(unit - 0x20) : unit;
  for (const FoldBlock& block : kFoldBlocks) {
    if (unit < block.first) break; // the table is sorted
    if (unit > block.last) continue;
    switch (block.kind) {
    case FoldKind::Offset:
      return char16_t(unit + block.delta);
    case FoldKind::Pairs:
      return ((unit - block.first) % 2 == 1) ? char16_t(unit - 1) : unit;
    case FoldKind::Single:
      return char16_t(block.delta);
    }
  }
  return unit;
}

std::u16string foldName(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& unit : folded) unit = foldUnit(unit);
  return folded;
}

bool sameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (foldUnit(a[i]) != foldUnit(b[i])) return false;
  return true;
}

uint32_t checkFileName(std::u16string_view name, bool allowWildcards) {
  if (name.empty()) return ERROR_INVALID_NAME;
  bool hasWildcard = false;
  for (size_t i = 0; i < name.size();) {
    const char16_t unit = name[i];
    char32_t cp = 0;
    if (!nextCodePoint(name, i, cp)) return ERROR_INVALID_NAME;
    if (unit < 0x20 || unit == 0x7F) return ERROR_INVALID_NAME;
    switch (unit) {
    case u'<': case u'>': case u':': case u'"': case u'/': case u'\\': case u'|':
      return ERROR_INVALID_NAME;
    case u'*': case u'?':
      if (!allowWildcards) return ERROR_INVALID_NAME;
      hasWildcard = true;
      break;
    default:
      break;
    }
  }
  // A pattern such as "*." is meaningful; a stored name ending in a blank or
  // a full stop is not (the device strips them, so "a." would be "a").
  if (!hasWildcard && (name.back() == u' ' || name.back() == u'.')) return ERROR_INVALID_NAME;
  if (!hasWildcard && isReservedDeviceName(name)) return ERROR_INVALID_NAME;
  std::string hostName;
  utf16ToUtf8(name, hostName);
  if (hostName.size() > kMaxHostNameBytes) return ERROR_FILENAME_EXCED_RANGE;
  return ERROR_SUCCESS;
}

std::u16string DevicePath::text() const {
  if (names.empty()) return u"\\";
  std::u16string out;
  for (const std::u16string& name : names) {
    out += u'\\';
    out += name;
  }
  return out;
}

uint32_t parseDevicePath(std::u16string_view text, DevicePath& out, bool findPattern) {
  out.names.clear();
  if (text.empty()) return ERROR_PATH_NOT_FOUND;
  if (text.size() > kMaxPathUnits) return ERROR_PATH_NOT_FOUND;
  // Only absolute paths: a drive letter, a relative name or a forward slash
  // never reaches the host.
  if (text.front() != u'\\') return ERROR_INVALID_NAME;
  if (text.size() == 1) return findPattern ? ERROR_INVALID_NAME : ERROR_SUCCESS;
  size_t start = 1;
  while (true) {
    const size_t end = text.find(u'\\', start);
    const std::u16string_view name = text.substr(start, end == std::u16string_view::npos ? end : end - start);
    const bool last = end == std::u16string_view::npos;
    if (const uint32_t error = checkFileName(name, findPattern && last); error != ERROR_SUCCESS) {
      out.names.clear();
      return error;
    }
    out.names.emplace_back(name);
    if (last) break;
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

bool matchesPattern(std::u16string_view pattern, std::u16string_view name) {
  const std::u16string foldedPattern = foldName(pattern);
  const std::u16string foldedName = foldName(name);
  if (matchFolded(foldedPattern, foldedName)) return true;
  // "*.*" and "name.*" also match names with no extension, "*." matches only
  // those: the device treats a missing extension as an empty one.
  if (foldedName.find(u'.') != std::u16string::npos) return false;
  std::u16string_view stem = foldedPattern;
  if (stem.ends_with(u".*")) stem.remove_suffix(2);
  else if (stem.ends_with(u'.')) stem.remove_suffix(1);
  else return false;
  return matchFolded(stem, foldedName);
}

} // namespace pspc
