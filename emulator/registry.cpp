#include "registry.h"

#include "device_path.h"
#include "host_file.h"
#include "identity.h"
#include "win32_codes.h"

#include <charconv>
#include <cstdio>

namespace pspc {

namespace {

constexpr uint32_t kRootKeys[3] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};
constexpr const char* kRootNames[3] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"};
constexpr std::string_view kFileHeader = "pspc-registry 1";

struct TypeName {
  uint32_t type;
  const char* name;
};
constexpr TypeName kTypeNames[] = {
    {REG_NONE, "REG_NONE"},     {REG_SZ, "REG_SZ"}, {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"}, {REG_DWORD, "REG_DWORD"}, {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},     {REG_MULTI_SZ, "REG_MULTI_SZ"},
};

std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", unsigned(value));
  return text;
}

bool isSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

// Writes `text` with \uXXXX for what a line of text cannot carry (control
// characters, unpaired surrogates) and, when `quoteEscapes`, \\ and \" too.
std::string escapeText(std::u16string_view text, bool quoteEscapes) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (quoteEscapes && (unit == u'\\' || unit == u'"')) {
      out += '\\';
      out += char(unit);
      continue;
    }
    size_t length = 1;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
      length = 2;
    if (unit < 0x20 || unit == 0x7F || (length == 1 && isSurrogate(unit))) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", unsigned(unit));
      out += escape;
      continue;
    }
    std::string utf8;
    utf16ToUtf8(text.substr(i, length), utf8);
    out += utf8;
    i += length - 1;
  }
  return out;
}

std::string quoteText(std::u16string_view text) { return "\"" + escapeText(text, true) + "\""; }

// The text a string value holds when its bytes are exactly that text's
// UTF-16LE units plus one terminating zero; nothing otherwise.
std::optional<std::u16string> exactText(const RegistryValue& value) {
  if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return std::nullopt;
  const std::vector<uint8_t>& data = value.data;
  if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
  if (data[data.size() - 2] != 0 || data.back() != 0) return std::nullopt;
  std::u16string text;
  for (size_t i = 0; i + 2 < data.size(); i += 2) text += char16_t(data[i] | data[i + 1] << 8);
  if (text.find(char16_t(0)) != std::u16string::npos) return std::nullopt;
  return text;
}

uint32_t dwordOf(const std::vector<uint8_t>& data) {
  return uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
}

uint32_t checkKeyName(std::u16string_view name) {
  if (name.empty()) return ERROR_BAD_PATHNAME;
  if (name.size() > kMaxKeyNameUnits) return ERROR_INVALID_PARAMETER;
  if (name.find(char16_t(0)) != std::u16string_view::npos) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

// Splits a sub-key path at its backslashes; every level must be a valid name.
uint32_t splitKeyPath(std::u16string_view path, std::vector<std::u16string_view>& names) {
  names.clear();
  if (path.empty()) return ERROR_SUCCESS;
  size_t start = 0;
  while (true) {
    const size_t end = path.find(u'\\', start);
    const std::u16string_view name = path.substr(start, end == std::u16string_view::npos ? end : end - start);
    if (const uint32_t error = checkKeyName(name); error != ERROR_SUCCESS) return error;
    names.push_back(name);
    if (names.size() > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
    if (end == std::u16string_view::npos) return ERROR_SUCCESS;
    start = end + 1;
  }
}

std::string keyPathText(const RegistryKey& key, const char* rootName) {
  std::vector<const RegistryKey*> chain;
  for (const RegistryKey* k = &key; k->parent(); k = k->parent()) chain.push_back(k);
  std::string path = rootName;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += "\\" + escapeText((*it)->name(), false);
  return path;
}

// ---- registry.dat reading

class LineReader {
public:
  explicit LineReader(std::string_view line) : line_(line) {}

  bool atEnd() {
    skipBlanks();
    return pos_ == line_.size();
  }
  bool word(std::string_view& out) {
    skipBlanks();
    const size_t start = pos_;
    while (pos_ < line_.size() && line_[pos_] != ' ' && line_[pos_] != '\t' && line_[pos_] != '"') ++pos_;
    out = line_.substr(start, pos_ - start);
    return !out.empty();
  }
  // A quoted string with \\, \" and \uXXXX escapes.
  bool quotedText(std::u16string& out, std::string& error) {
    skipBlanks();
    out.clear();
    if (pos_ >= line_.size() || line_[pos_] != '"') return fail(error, "expected a quoted name or text");
    ++pos_;
    std::string pending;
    auto flush = [&] {
      std::u16string units;
      if (!utf8ToUtf16(pending, units)) return false;
      out += units;
      pending.clear();
      return true;
    };
    while (pos_ < line_.size()) {
      const char c = line_[pos_++];
      if (c == '"') {
        if (!flush()) return fail(error, "text is not valid UTF-8");
        return true;
      }
      if (c != '\\') {
        pending += c;
        continue;
      }
      if (!flush()) return fail(error, "text is not valid UTF-8");
      if (pos_ >= line_.size()) break;
      const char escaped = line_[pos_++];
      if (escaped == '\\' || escaped == '"') {
        out += char16_t(escaped);
      } else if (escaped == 'u' && line_.size() - pos_ >= 4) {
        uint16_t unit = 0;
        const char* begin = line_.data() + pos_;
        const auto [end, ec] = std::from_chars(begin, begin + 4, unit, 16);
        if (ec != std::errc() || end != begin + 4) return fail(error, "bad \\u escape");
        out += char16_t(unit);
        pos_ += 4;
      } else {
        return fail(error, "bad escape in quoted text");
      }
    }
    return fail(error, "quoted text does not end");
  }

private:
  static bool fail(std::string& error, const char* why) {
    error = why;
    return false;
  }
  void skipBlanks() {
    while (pos_ < line_.size() && (line_[pos_] == ' ' || line_[pos_] == '\t')) ++pos_;
  }
  std::string_view line_;
  size_t pos_ = 0;
};

bool parseHex32(std::string_view text, uint32_t& value) {
  if (!text.starts_with("0x") || text.size() < 3 || text.size() > 10) return false;
  const char* begin = text.data() + 2;
  const auto [end, ec] = std::from_chars(begin, text.data() + text.size(), value, 16);
  return ec == std::errc() && end == text.data() + text.size();
}

bool parseTypeName(std::string_view text, uint32_t& type) {
  for (const TypeName& known : kTypeNames)
    if (text == known.name) {
      type = known.type;
      return true;
    }
  return parseHex32(text, type);
}

// The rest of a line "key ROOT "name" "name"...": `current` becomes that
// key, made as need be. False, with the reason, for a bad line.
bool readKeyLine(LineReader& reader, const std::unique_ptr<RegistryKey> (&roots)[3], RegistryKey*& current,
                 std::string& why) {
  std::string_view rootWord;
  reader.word(rootWord);
  current = nullptr;
  for (size_t i = 0; i < 3; ++i)
    if (rootWord == kRootNames[i]) current = roots[i].get();
  if (!current) {
    why = "unknown root key \"" + std::string(rootWord) + "\"";
    return false;
  }
  size_t depth = 0;
  while (!reader.atEnd()) {
    std::u16string name;
    if (!reader.quotedText(name, why)) return false;
    if (checkKeyName(name) != ERROR_SUCCESS || name.find(u'\\') != std::u16string::npos) {
      why = "bad key name";
      return false;
    }
    if (++depth > kMaxKeyDepth) {
      why = "keys nest too deeply";
      return false;
    }
    RegistryKey* next = current->subKey(name);
    current = next ? next : &current->addSubKey(name);
  }
  return true;
}

// A value's data in the form the line gives it: text, dword or hex bytes.
bool readValueData(LineReader& reader, std::string_view form, std::vector<uint8_t>& data, std::string& why) {
  if (form == "text") {
    std::u16string content;
    if (!reader.quotedText(content, why)) return false;
    if ((content.size() + 1) * 2 > kMaxValueBytes) {
      why = "value data too large";
      return false;
    }
    content += char16_t(0);
    for (char16_t unit : content) {
      data.push_back(uint8_t(unit));
      data.push_back(uint8_t(unit >> 8));
    }
    return true;
  }
  if (form == "dword") {
    std::string_view word;
    uint32_t number = 0;
    if (!reader.word(word) || !parseHex32(word, number)) {
      why = "bad dword";
      return false;
    }
    data = {uint8_t(number), uint8_t(number >> 8), uint8_t(number >> 16), uint8_t(number >> 24)};
    return true;
  }
  if (form != "hex") {
    why = "expected text, dword or hex";
    return false;
  }
  std::string_view word;
  while (reader.word(word)) {
    uint8_t byte = 0;
    const auto [ptr, ec] = std::from_chars(word.data(), word.data() + word.size(), byte, 16);
    if (word.size() != 2 || ec != std::errc() || ptr != word.data() + 2) {
      why = "bad hex byte";
      return false;
    }
    if (data.size() == kMaxValueBytes) {
      why = "value data too large";
      return false;
    }
    data.push_back(byte);
  }
  return true;
}

// The rest of a line "value "name" TYPE FORM DATA", stored in `current`.
bool readValueLine(LineReader& reader, RegistryKey* current, std::string& why) {
  if (!current) {
    why = "value before any key";
    return false;
  }
  RegistryValue value;
  std::string_view typeWord, form;
  if (!reader.quotedText(value.name, why)) return false;
  if (!reader.word(typeWord) || !parseTypeName(typeWord, value.type)) {
    why = "bad value type";
    return false;
  }
  if (!reader.word(form)) {
    why = "expected text, dword or hex";
    return false;
  }
  if (!readValueData(reader, form, value.data, why)) return false;
  if (!reader.atEnd())
    why = "unexpected text after the value";
  else if (Registry::checkValue(value.name, value.data.size()) != ERROR_SUCCESS)
    why = "bad value name";
  else if (current->value(value.name))
    why = "value given twice";
  else
    current->setValue(std::move(value));
  return why.empty();
}
} // namespace

// ---------------------------------------------------------------- keys

size_t RegistryKey::depth() const {
  size_t depth = 0;
  for (const RegistryKey* k = parent_; k; k = k->parent()) ++depth;
  return depth;
}

RegistryKey* RegistryKey::subKey(std::u16string_view name) const {
  const auto it = subKeys_.find(foldName(name));
  return it == subKeys_.end() ? nullptr : it->second.get();
}

RegistryKey& RegistryKey::addSubKey(std::u16string_view name) {
  auto& slot = subKeys_[foldName(name)];
  if (!slot) slot = std::make_unique<RegistryKey>(std::u16string(name), this);
  return *slot;
}

void RegistryKey::removeSubKey(std::u16string_view name) { subKeys_.erase(foldName(name)); }

const RegistryValue* RegistryKey::value(std::u16string_view name) const {
  const auto it = values_.find(foldName(name));
  return it == values_.end() ? nullptr : &it->second;
}

void RegistryKey::setValue(RegistryValue value) {
  auto [it, inserted] = values_.try_emplace(foldName(value.name));
  if (!inserted) value.name = std::move(it->second.name);
  it->second = std::move(value);
}

void RegistryKey::removeValue(std::u16string_view name) { values_.erase(foldName(name)); }

// ---------------------------------------------------------------- registry

Registry::Registry() {
  for (auto& root : roots_) root = std::make_unique<RegistryKey>(u"", nullptr);
}

RegistryKey* Registry::root(uint32_t predefinedKey) const {
  for (size_t i = 0; i < 3; ++i)
    if (kRootKeys[i] == predefinedKey) return roots_[i].get();
  return nullptr;
}

const char* Registry::rootName(uint32_t predefinedKey) {
  for (size_t i = 0; i < 3; ++i)
    if (kRootKeys[i] == predefinedKey) return kRootNames[i];
  return nullptr;
}

uint32_t Registry::openKey(RegistryKey& base, std::u16string_view subKey, RegistryKey*& key) const {
  key = nullptr;
  std::vector<std::u16string_view> names;
  if (const uint32_t error = splitKeyPath(subKey, names); error != ERROR_SUCCESS) return error;
  RegistryKey* current = &base;
  for (std::u16string_view name : names) {
    current = current->subKey(name);
    if (!current) return ERROR_FILE_NOT_FOUND;
  }
  key = current;
  return ERROR_SUCCESS;
}

uint32_t Registry::createKey(RegistryKey& base, std::u16string_view subKey, RegistryKey*& key,
                             RegistryKey*& firstCreated) {
  key = firstCreated = nullptr;
  std::vector<std::u16string_view> names;
  if (const uint32_t error = splitKeyPath(subKey, names); error != ERROR_SUCCESS) return error;
  if (base.depth() + names.size() > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
  RegistryKey* current = &base;
  for (std::u16string_view name : names) {
    if (RegistryKey* existing = current->subKey(name)) {
      current = existing;
      continue;
    }
    current = &current->addSubKey(name);
    if (!firstCreated) firstCreated = current;
  }
  key = current;
  return ERROR_SUCCESS;
}

void Registry::removeKey(RegistryKey& key) {
  if (RegistryKey* parent = key.parent()) parent->removeSubKey(key.name());
}

uint32_t Registry::checkValue(std::u16string_view name, size_t byteCount) {
  if (name.size() > kMaxValueNameUnits || name.find(char16_t(0)) != std::u16string_view::npos)
    return ERROR_INVALID_PARAMETER;
  if (byteCount > kMaxValueBytes) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

std::string Registry::serialize() const {
  std::string out;
  out += kFileHeader;
  out += "\n";
  // Depth-first, parents before children, so a reader can build each key
  // from the ones above it. An explicit stack: keys may nest deeply.
  for (size_t r = 0; r < 3; ++r) {
    std::vector<std::pair<const RegistryKey*, std::string>> stack{{roots_[r].get(), kRootNames[r]}};
    while (!stack.empty()) {
      auto [key, path] = std::move(stack.back());
      stack.pop_back();
      out += "key " + path + "\n";
      for (const auto& [folded, value] : key->values()) {
        out += "value " + quoteText(value.name) + " " + registryTypeName(value.type);
        if (const auto text = exactText(value)) {
          out += " text " + quoteText(*text);
        } else if (value.type == REG_DWORD && value.data.size() == 4) {
          out += " dword " + hex32(dwordOf(value.data));
        } else {
          out += " hex";
          char byte[4];
          for (uint8_t b : value.data) {
            std::snprintf(byte, sizeof byte, " %02x", unsigned(b));
            out += byte;
          }
        }
        out += "\n";
      }
      const auto& children = key->subKeys();
      for (auto it = children.rbegin(); it != children.rend(); ++it)
        stack.emplace_back(it->second.get(), path + " " + quoteText(it->second->name()));
    }
  }
  return out;
}

bool Registry::parse(std::string_view text, std::string& error) {
  for (auto& root : roots_) root = std::make_unique<RegistryKey>(u"", nullptr);
  const std::string notARegistry = "not a device registry (expected \"" + std::string(kFileHeader) + "\")";
  RegistryKey* current = nullptr;
  bool sawHeader = false;
  size_t lineNumber = 0;
  std::string why;
  for (size_t start = 0; start < text.size() && why.empty();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (line.ends_with('\r')) line.remove_suffix(1);
    LineReader reader(line);
    if (reader.atEnd() || line.front() == '#') continue;
    if (!sawHeader) {
      sawHeader = line == kFileHeader;
      if (!sawHeader) why = notARegistry;
      continue;
    }
    std::string_view keyword;
    reader.word(keyword);
    if (keyword == "key")
      readKeyLine(reader, roots_, current, why);
    else if (keyword == "value")
      readValueLine(reader, current, why);
    else
      why = "unknown line \"" + std::string(keyword) + "\"";
  }
  if (why.empty() && !sawHeader) {
    lineNumber = 1;
    why = notARegistry;
  }
  if (why.empty()) return true;
  error = "line " + std::to_string(lineNumber) + ": " + why;
  for (auto& root : roots_) root = std::make_unique<RegistryKey>(u"", nullptr);
  return false;
}

bool Registry::load(const std::filesystem::path& file, std::string& error) {
  std::string text;
  if (!readWholeFile(file, kMaxRegistryFileBytes, text, error)) return false;
  if (!parse(text, error)) {
    error = file.filename().string() + " " + error;
    return false;
  }
  return true;
}

bool Registry::save(const std::filesystem::path& file, std::string& error) const {
  // A registry that could be written but never read back would lose every
  // key and value at the next start: refuse the change that makes it so.
  const std::string text = serialize();
  if (text.size() > kMaxRegistryFileBytes) {
    error = file.string() + ": the registry would take more than " + std::to_string(kMaxRegistryFileBytes) +
            " bytes";
    return false;
  }
  return writeFileAtomically(file, text, error);
}

std::string Registry::exportText() const {
  std::string out;
  for (size_t r = 0; r < 3; ++r) {
    std::vector<const RegistryKey*> stack{roots_[r].get()};
    while (!stack.empty()) {
      const RegistryKey* key = stack.back();
      stack.pop_back();
      // Every key that was made is shown; a root only when it holds values.
      if (key->parent() || !key->values().empty()) {
        out += "[" + keyPathText(*key, kRootNames[r]) + "]\n";
        for (const auto& [folded, value] : key->values()) {
          out += value.name.empty() ? std::string("@") : quoteText(value.name);
          out += "=" + registryTypeName(value.type) + ":";
          if (const auto text = exactText(value)) {
            out += quoteText(*text);
          } else if (value.type == REG_DWORD && value.data.size() == 4) {
            out += hex32(dwordOf(value.data));
          } else {
            out += "hex:";
            char byte[4];
            for (size_t i = 0; i < value.data.size(); ++i) {
              if (i > 0) out += (i % 32 == 0) ? ",\\\n  " : ",";
              std::snprintf(byte, sizeof byte, "%02x", unsigned(value.data[i]));
              out += byte;
            }
          }
          out += " (" + std::to_string(value.data.size()) + (value.data.size() == 1 ? " byte)\n" : " bytes)\n");
        }
        out += "\n";
      }
      const auto& children = key->subKeys();
      for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(it->second.get());
    }
  }
  return out;
}

bool exportRegistry(const std::filesystem::path& imageDir, std::string& text, std::string& error) {
  Registry registry;
  if (!registry.load(image::registryFile(imageDir), error)) return false;
  text = registry.exportText();
  return true;
}

std::string registryTypeName(uint32_t type) {
  for (const TypeName& known : kTypeNames)
    if (known.type == type) return known.name;
  return hex32(type);
}

} // namespace pspc
