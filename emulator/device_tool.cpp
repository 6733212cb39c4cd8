#include "device_tool.h"

#include "device_path.h"

#include <string_view>

namespace pspc {

namespace {

constexpr size_t kTitleOffset = 0, kTitleUnits = 32;
constexpr size_t kModelOffset = 64, kModelUnits = 64;
constexpr size_t kVersionOffset = 192, kVersionUnits = 8;
constexpr size_t kLanguageOffset = 208, kLanguageUnits = 4;
constexpr size_t kCapacityOffset = 216;

// Writes at most units - 1 units, so every field keeps a terminating zero.
void putText(std::vector<uint8_t>& file, size_t offset, size_t units, std::u16string_view text) {
  for (size_t i = 0; i < text.size() && i + 1 < units; ++i) {
    file[offset + 2 * i] = uint8_t(text[i]);
    file[offset + 2 * i + 1] = uint8_t(text[i] >> 8);
  }
}

std::u16string widen(std::string_view text) {
  std::u16string units;
  if (!utf8ToUtf16(text, units)) units.clear();
  return units;
}

} // namespace

std::vector<uint8_t> deviceDataFile(const Identity& identity) {
  std::vector<uint8_t> file(kDeviceDataBytes, 0);
  putText(file, kTitleOffset, kTitleUnits, u"PsPC device asset data");
  putText(file, kModelOffset, kModelUnits, widen(identity.model));
  putText(file, kVersionOffset, kVersionUnits, widen(identity.version));
  putText(file, kLanguageOffset, kLanguageUnits, widen(identity.language));
  for (size_t i = 0; i < 4; ++i) file[kCapacityOffset + i] = uint8_t(identity.storeBytes >> (8 * i));
  const auto tag = identity.tag();
  for (size_t i = 0; i < tag.size(); ++i) {
    file[kDeviceTagOffset + 2 * i] = uint8_t(tag[i]);
    file[kDeviceTagOffset + 2 * i + 1] = uint8_t(tag[i] >> 8);
  }
  return file;
}

} // namespace pspc
