// Device path syntax: what a Windows CE file name may be, how names compare
// (case-insensitively, case preserved), and how device names become host
// names. Everything here is pure text work; nothing touches the host.
#pragma once

#include "text_forms.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pspc {

// MAX_PATH: 260 units with the terminator.
inline constexpr size_t kMaxPathUnits = 259;
// The host keeps a name in at most this many UTF-8 bytes (NAME_MAX).
inline constexpr size_t kMaxHostNameBytes = 255;

// UTF-16 <-> UTF-8. Both refuse what cannot round-trip: an unpaired surrogate,
// malformed or overlong UTF-8 (UTF-8 to UTF-16 is the one of text_forms.h).
bool utf16ToUtf8(std::u16string_view text, std::string& out);
using textform::utf8ToUtf16;
std::string toUtf8Lossy(std::u16string_view text); // for messages: bad units become U+FFFD

// Simple uppercase of one unit, as the device's file system and registry fold
// names: ASCII, Latin-1, Latin Extended, Greek, Cyrillic, Armenian, full-width
// Latin and a few letter-like symbols. Units outside those ranges (and
// surrogates) fold to themselves.
char16_t foldUnit(char16_t unit);
std::u16string foldName(std::u16string_view name);
bool sameName(std::u16string_view a, std::u16string_view b);

// Why a name cannot be a device file name, or ERROR_SUCCESS. Wildcards * and ?
// are allowed only where `allowWildcards` is set (a find pattern's last part).
uint32_t checkFileName(std::u16string_view name, bool allowWildcards = false);

// An absolute device path split into its names; no names means the root "\".
struct DevicePath {
  std::vector<std::u16string> names;
  bool isRoot() const { return names.empty(); }
  std::u16string text() const; // "\a\b", or "\" for the root
};

// Parses an absolute device path. With `findPattern` the last name may hold
// * and ? (and must be present). Answers ERROR_SUCCESS or the error the device
// gives for such a path (ERROR_INVALID_NAME, ERROR_PATH_NOT_FOUND,
// ERROR_FILENAME_EXCED_RANGE).
uint32_t parseDevicePath(std::u16string_view text, DevicePath& out, bool findPattern = false);

// Find-pattern match as the device's FindFirstFile does it: * any run, ? one
// unit, case-insensitive; a pattern ending in ".*" or "." also matches names
// without any full stop ("*.*" matches every name).
bool matchesPattern(std::u16string_view pattern, std::u16string_view name);

} // namespace pspc
