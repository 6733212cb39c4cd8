// Reads a dialog template resource the way the dialog manager lays it out:
// the classic form (DLGTEMPLATE and DLGITEMTEMPLATE) or the extended one
// (DLGTEMPLATEEX, recognised by its signature 0xFFFF). Every read is checked
// against the resource's size: a truncated or malformed template gives no
// result rather than a read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A menu, class or control title: none, a number, or a name.
struct NameOrOrdinal {
  bool isOrdinal = false;
  uint16_t ordinal = 0;
  std::u16string name;
};

struct TemplateItem {
  uint32_t helpId = 0; // extended form only
  uint32_t exStyle = 0;
  uint32_t style = 0;
  int16_t x = 0, y = 0, width = 0, height = 0;
  int32_t id = 0; // 16 bits in the classic form
  NameOrOrdinal windowClass;
  NameOrOrdinal title;
  uint16_t creationDataBytes = 0;
};

struct DialogTemplate {
  bool extended = false;
  uint16_t version = 0; // extended form only
  uint32_t helpId = 0;  // extended form only
  uint32_t exStyle = 0;
  uint32_t style = 0;
  int16_t x = 0, y = 0, width = 0, height = 0;
  NameOrOrdinal menu;
  NameOrOrdinal windowClass;
  std::u16string title;
  bool hasFont = false;
  uint16_t pointSize = 0;
  uint16_t weight = 0; // extended form only
  uint8_t italic = 0;  // extended form only
  uint8_t charset = 0; // extended form only
  std::u16string typeface;
  std::vector<TemplateItem> items;
  size_t bytesUsed = 0; // up to the end of the last item
};

namespace template_reader {

constexpr uint32_t kSetFont = 0x40;    // DS_SETFONT (also part of DS_SHELLFONT)
constexpr size_t kMaxTextUnits = 4096; // far beyond any title or face name

class Bytes {
public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t Offset() const { return offset_; }

  bool ReadU8(uint8_t* value) {
    if (size_ - offset_ < 1) return false;
    *value = data_[offset_++];
    return true;
  }
  bool ReadU16LittleEndian(uint16_t* value) {
    if (size_ - offset_ < 2) return false;
    *value = uint16_t(data_[offset_] | data_[offset_ + 1] << 8);
    offset_ += 2;
    return true;
  }
  bool ReadU32LittleEndian(uint32_t* value) {
    uint16_t low, high;
    if (!ReadU16LittleEndian(&low) || !ReadU16LittleEndian(&high)) return false;
    *value = uint32_t(low) | uint32_t(high) << 16;
    return true;
  }
  bool ReadI16LittleEndian(int16_t* value) {
    uint16_t raw;
    if (!ReadU16LittleEndian(&raw)) return false;
    *value = int16_t(raw);
    return true;
  }
  // A zero-terminated UTF-16 text.
  bool ReadText(std::u16string* text) {
    text->clear();
    for (;;) {
      uint16_t unit;
      if (!ReadU16LittleEndian(&unit)) return false;
      if (unit == 0) return true;
      if (text->size() == kMaxTextUnits) return false;
      text->push_back(char16_t(unit));
    }
  }
  // 0x0000: none; 0xFFFF and a number; otherwise a zero-terminated name.
  bool ReadNameOrOrdinal(NameOrOrdinal* value) {
    *value = NameOrOrdinal{};
    uint16_t first;
    size_t start = offset_;
    if (!ReadU16LittleEndian(&first)) return false;
    if (first == 0) return true;
    if (first == 0xFFFF) {
      value->isOrdinal = true;
      return ReadU16LittleEndian(&value->ordinal);
    }
    offset_ = start;
    return ReadText(&value->name);
  }
  bool Skip(size_t count) {
    if (size_ - offset_ < count) return false;
    offset_ += count;
    return true;
  }
  // Items start on a 32-bit boundary from the start of the resource.
  bool AlignTo32Bits() { return Skip((4 - offset_ % 4) % 4); }

private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

inline bool ReadItem(Bytes& in, bool extended, TemplateItem* item) {
  if (!in.AlignTo32Bits()) return false;
  if (extended) {
    if (!in.ReadU32LittleEndian(&item->helpId) || !in.ReadU32LittleEndian(&item->exStyle) ||
        !in.ReadU32LittleEndian(&item->style))
      return false;
  } else if (!in.ReadU32LittleEndian(&item->style) || !in.ReadU32LittleEndian(&item->exStyle)) {
    return false;
  }
  if (!in.ReadI16LittleEndian(&item->x) || !in.ReadI16LittleEndian(&item->y) || !in.ReadI16LittleEndian(&item->width) ||
      !in.ReadI16LittleEndian(&item->height))
    return false;
  if (extended) {
    uint32_t id;
    if (!in.ReadU32LittleEndian(&id)) return false;
    item->id = int32_t(id);
  } else {
    uint16_t id;
    if (!in.ReadU16LittleEndian(&id)) return false;
    item->id = id;
  }
  return in.ReadNameOrOrdinal(&item->windowClass) && in.ReadNameOrOrdinal(&item->title) &&
         in.ReadU16LittleEndian(&item->creationDataBytes) && in.Skip(item->creationDataBytes);
}

} // namespace template_reader

inline std::optional<DialogTemplate> ReadDialogTemplate(const uint8_t* data, size_t size) {
  using namespace template_reader;
  Bytes in(data, size);
  DialogTemplate dialog;
  uint16_t first, second;
  if (!in.ReadU16LittleEndian(&first) || !in.ReadU16LittleEndian(&second)) return std::nullopt;
  dialog.extended = second == 0xFFFF;
  if (dialog.extended) {
    dialog.version = first;
    if (!in.ReadU32LittleEndian(&dialog.helpId) || !in.ReadU32LittleEndian(&dialog.exStyle) ||
        !in.ReadU32LittleEndian(&dialog.style))
      return std::nullopt;
  } else {
    dialog.style = uint32_t(first) | uint32_t(second) << 16;
    if (!in.ReadU32LittleEndian(&dialog.exStyle)) return std::nullopt;
  }
  uint16_t itemCount;
  if (!in.ReadU16LittleEndian(&itemCount) || !in.ReadI16LittleEndian(&dialog.x) || !in.ReadI16LittleEndian(&dialog.y) ||
      !in.ReadI16LittleEndian(&dialog.width) || !in.ReadI16LittleEndian(&dialog.height) ||
      !in.ReadNameOrOrdinal(&dialog.menu) || !in.ReadNameOrOrdinal(&dialog.windowClass) || !in.ReadText(&dialog.title))
    return std::nullopt;
  dialog.hasFont = (dialog.style & kSetFont) != 0;
  if (dialog.hasFont) {
    if (!in.ReadU16LittleEndian(&dialog.pointSize)) return std::nullopt;
    if (dialog.extended &&
        (!in.ReadU16LittleEndian(&dialog.weight) || !in.ReadU8(&dialog.italic) || !in.ReadU8(&dialog.charset)))
      return std::nullopt;
    if (!in.ReadText(&dialog.typeface)) return std::nullopt;
  }
  // Each item takes at least 18 bytes, so the count is capped by the size.
  if (size_t(itemCount) > size / 18) return std::nullopt;
  dialog.items.resize(itemCount);
  for (TemplateItem& item : dialog.items)
    if (!ReadItem(in, dialog.extended, &item)) return std::nullopt;
  dialog.bytesUsed = in.Offset();
  return dialog;
}
