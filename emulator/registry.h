// The device registry: three root keys (HKEY_CLASSES_ROOT, HKEY_CURRENT_USER,
// HKEY_LOCAL_MACHINE), keys and value names compared case-insensitively with
// their case kept, and values that keep their type and exact bytes (an empty
// REG_SZ of 2 bytes stays 2 bytes, an odd byte count stays odd).
//
// On the host it lives in registry.dat, a line-based text that round-trips any
// name and any bytes:
//
//   pspc-registry 1
//   key HKEY_CLASSES_ROOT "VBS"
//   value "" REG_SZ text "VBScript Language"
//   value "Flags" REG_DWORD dword 0x00000001
//   value "Blob" REG_BINARY hex 01 02 03
//
// Quoted names escape \ and " with a backslash, and control characters and
// unpaired surrogates as \uXXXX. `text` stands for the UTF-16LE units of the
// text plus one terminating zero; it is written only when that gives back the
// stored bytes exactly, else the bytes are written as `hex`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pspc {

// Caps that keep a damaged registry.dat or a hostile request from making the
// device allocate without bound.
inline constexpr size_t kMaxKeyNameUnits = 255;
inline constexpr size_t kMaxValueNameUnits = 16383;
inline constexpr size_t kMaxValueBytes = 1u << 20;
inline constexpr size_t kMaxKeyDepth = 512;
inline constexpr size_t kMaxRegistryFileBytes = 64u << 20;

struct RegistryValue {
  std::u16string name; // as stored; empty for the default value
  uint32_t type = 0;
  std::vector<uint8_t> data;
  bool operator==(const RegistryValue&) const = default;
};

class RegistryKey {
public:
  RegistryKey(std::u16string name, RegistryKey* parent) : name_(std::move(name)), parent_(parent) {}
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  const std::u16string& name() const { return name_; }
  RegistryKey* parent() const { return parent_; }
  size_t depth() const;

  RegistryKey* subKey(std::u16string_view name) const;
  // Adds a sub key (which must not exist yet) and answers it.
  RegistryKey& addSubKey(std::u16string_view name);
  void removeSubKey(std::u16string_view name);

  const RegistryValue* value(std::u16string_view name) const;
  // Sets or replaces a value. A replaced value keeps the name it was made
  // with (names keep their first case), and takes the new type and bytes.
  void setValue(RegistryValue value);
  void removeValue(std::u16string_view name);

  // Sorted by folded name, so saved and exported text is stable.
  const std::map<std::u16string, std::unique_ptr<RegistryKey>>& subKeys() const { return subKeys_; }
  const std::map<std::u16string, RegistryValue>& values() const { return values_; }

private:
  std::u16string name_;
  RegistryKey* parent_;
  std::map<std::u16string, std::unique_ptr<RegistryKey>> subKeys_;
  std::map<std::u16string, RegistryValue> values_;
};

class Registry {
public:
  Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // The root key for a predefined handle, or null.
  RegistryKey* root(uint32_t predefinedKey) const;
  static const char* rootName(uint32_t predefinedKey);

  // Opens `subKey` below `base` (an empty path answers `base` itself).
  // ERROR_FILE_NOT_FOUND when a level is missing, ERROR_BAD_PATHNAME or
  // ERROR_INVALID_PARAMETER for a malformed path.
  uint32_t openKey(RegistryKey& base, std::u16string_view subKey, RegistryKey*& key) const;
  // As openKey, creating missing levels; `firstCreated` is the topmost key
  // made (null when the whole path existed), so a caller can take it back.
  uint32_t createKey(RegistryKey& base, std::u16string_view subKey, RegistryKey*& key, RegistryKey*& firstCreated);
  // Drops a key made by createKey, with everything below it.
  static void removeKey(RegistryKey& key);
  // Checks a value before it is stored: name length, data size.
  static uint32_t checkValue(std::u16string_view name, size_t byteCount);

  // registry.dat text and back. parse() replaces the whole content; on failure
  // `error` names the first bad line and the registry is left empty.
  std::string serialize() const;
  bool parse(std::string_view text, std::string& error);
  bool load(const std::filesystem::path& file, std::string& error);
  // Fails, leaving the file as it was, when the text would be larger than
  // load() accepts (kMaxRegistryFileBytes).
  bool save(const std::filesystem::path& file, std::string& error) const;

  // Readable text, in the manner of a .reg file, with every value's byte count:
  //   [HKEY_CLASSES_ROOT\VBS]
  //   @=REG_SZ:"VBScript Language" (36 bytes)
  //   "Flags"=REG_DWORD:0x00000001 (4 bytes)
  //   "Blob"=REG_BINARY:hex:01,02,03 (3 bytes)
  std::string exportText() const;

private:
  std::unique_ptr<RegistryKey> roots_[3];
};

// Exports the registry of the device image in `imageDir` as readable text
// (see Registry::exportText), for the command-line tool.
bool exportRegistry(const std::filesystem::path& imageDir, std::string& text, std::string& error);

// The name of a value type as the export shows it (REG_SZ, ...), or 0x%08X.
std::string registryTypeName(uint32_t type);

} // namespace pspc
