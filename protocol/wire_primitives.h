// Byte-level building blocks of the RAPI link: little-endian words, the
// length-prefixed packet frame, and the parameter forms the device expects
// (counted strings, "optional" parameters with presence and data flags).
//
// Everything read from the peer is checked against a cap before it is used or
// allocated. A frame that has not fully arrived is "incomplete"; bytes that can
// never form a valid frame or parameter are "malformed".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace rapiwire {

// Largest data block one read or write call carries. The setup program moves
// 4096-byte chunks; tools may use more.
constexpr uint32_t kMaxDataBytes = 1u << 20;
// Largest packet either side accepts: one data block plus generous room for
// the fixed fields and strings around it.
constexpr uint32_t kMaxFrameBytes = kMaxDataBytes + 64 * 1024;
// Longest counted string, in UTF-16 units including the terminator. Device
// paths are far shorter (260 units); registry data may be longer.
constexpr uint32_t kMaxStringUnits = 32 * 1024;
// Most entries one directory listing reply may announce.
constexpr uint32_t kMaxFindEntries = 1u << 16;
// Device paths and file names are at most this many units with their terminator.
constexpr uint32_t kMaxPathUnits = 260;

// HRESULTs and Win32 codes the link itself produces or carries.
constexpr uint32_t kHrNotImplemented = 0x80004001u;  // E_NOTIMPL: unknown command
constexpr uint32_t kHrInvalidArgument = 0x80070057u; // E_INVALIDARG: malformed request

// A 32-bit word as the link carries it: little-endian, whatever the host.
inline uint32_t loadLe32(const uint8_t* bytes) {
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}
inline void storeLe32(uint32_t value, uint8_t* bytes) {
  bytes[0] = uint8_t(value);
  bytes[1] = uint8_t(value >> 8);
  bytes[2] = uint8_t(value >> 16);
  bytes[3] = uint8_t(value >> 24);
}

class Writer {
public:
  void u32(uint32_t value) {
    uint8_t le[4];
    storeLe32(value, le);
    bytes_.insert(bytes_.end(), le, le + 4);
  }
  void raw(const void* data, size_t size) {
    if (size == 0) return;
    const auto* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
  }
  void units(const std::u16string& text) {
    for (char16_t unit : text) {
      bytes_.push_back(uint8_t(unit));
      bytes_.push_back(uint8_t(unit >> 8));
    }
    bytes_.push_back(0);
    bytes_.push_back(0);
  }
  // Counted string: presence word, length in units with the terminator, the units.
  void string(const std::optional<std::u16string>& text) {
    if (!text) return u32(0);
    u32(1);
    u32(uint32_t(text->size() + 1));
    units(*text);
  }
  // Optional string: presence, length in bytes with the terminator, data flag, data.
  void optionalString(const std::optional<std::u16string>& text) {
    if (!text) return u32(0);
    u32(1);
    u32(uint32_t((text->size() + 1) * 2));
    u32(1);
    units(*text);
  }
  // Optional input block: presence, size, data.
  void optionalIn(bool present, const void* data, uint32_t size) {
    if (!present) return u32(0);
    u32(1);
    u32(size);
    raw(data, size);
  }
  // Optional parameter with a data flag: presence, size, flag, data when flagged.
  void optional(bool present, const void* data, uint32_t size, bool sendData) {
    if (!present) return u32(0);
    u32(1);
    u32(size);
    u32(sendData ? 1 : 0);
    if (sendData) raw(data, size);
  }
  void optionalU32(bool present, uint32_t value, bool sendData) {
    uint8_t le[4];
    storeLe32(value, le);
    optional(present, le, 4, sendData);
  }
  // An output parameter announced by size only; the peer fills it.
  void optionalOut(bool present, uint32_t size) {
    if (!present) return u32(0);
    u32(1);
    u32(size);
    u32(0);
  }

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t> take() { return std::move(bytes_); }
  size_t size() const { return bytes_.size(); }

private:
  std::vector<uint8_t> bytes_;
};

// A packet on the link: u32 little-endian byte count, then that many bytes.
inline std::vector<uint8_t> frame(const std::vector<uint8_t>& payload) {
  Writer w;
  w.u32(uint32_t(payload.size()));
  w.raw(payload.data(), payload.size());
  return w.take();
}

// A reader over one complete packet. Every read says whether it succeeded; a
// failed read leaves the reader failed, so a decoder may check once at the end.
class Reader {
public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  explicit Reader(const std::vector<uint8_t>& bytes) : Reader(bytes.data(), bytes.size()) {}

  bool ok() const { return ok_; }
  size_t remaining() const { return ok_ ? size_ - pos_ : 0; }
  bool atEnd() const { return ok_ && pos_ == size_; }
  bool fail() { ok_ = false; return false; }

  bool u32(uint32_t& value) {
    if (!need(4)) return false;
    value = loadLe32(data_ + pos_);
    pos_ += 4;
    return true;
  }
  bool raw(void* out, size_t size) {
    if (!need(size)) return false;
    if (size) std::memcpy(out, data_ + pos_, size);
    pos_ += size;
    return true;
  }
  bool bytes(std::vector<uint8_t>& out, size_t size) {
    if (!need(size)) return false;
    out.assign(data_ + pos_, data_ + pos_ + size);
    pos_ += size;
    return true;
  }
  // `count` UTF-16 units; the text ends at the first NUL unit, if any.
  bool units(std::u16string& out, uint32_t count) {
    if (count > kMaxStringUnits || !need(size_t(count) * 2)) return fail();
    out.clear();
    bool ended = false;
    for (uint32_t i = 0; i < count; ++i) {
      char16_t unit = char16_t(data_[pos_ + 2 * i] | data_[pos_ + 2 * i + 1] << 8);
      if (unit == 0) ended = true;
      if (!ended) out.push_back(unit);
    }
    pos_ += size_t(count) * 2;
    return true;
  }
  bool presence(bool& present) {
    uint32_t flag = 0;
    if (!u32(flag)) return false;
    if (flag > 1) return fail();
    present = flag == 1;
    return true;
  }
  bool string(std::optional<std::u16string>& out) {
    bool present = false;
    if (!presence(present)) return false;
    out.reset();
    if (!present) return true;
    uint32_t count = 0;
    if (!u32(count)) return false;
    std::u16string text;
    if (!units(text, count)) return false;
    out = std::move(text);
    return true;
  }
  bool optionalString(std::optional<std::u16string>& out) {
    bool present = false;
    if (!presence(present)) return false;
    out.reset();
    if (!present) return true;
    uint32_t size = 0, hasData = 0;
    if (!u32(size) || !u32(hasData)) return false;
    if (hasData > 1 || size % 2 != 0 || size / 2 > kMaxStringUnits) return fail();
    std::u16string text;
    if (hasData && !units(text, size / 2)) return false;
    out = std::move(text);
    return true;
  }
  bool optionalIn(bool& present, std::vector<uint8_t>& data, uint32_t cap) {
    if (!presence(present)) return false;
    data.clear();
    if (!present) return true;
    uint32_t size = 0;
    if (!u32(size)) return false;
    if (size > cap) return fail();
    return bytes(data, size);
  }
  // An optional parameter with a data flag. `size` is the announced size
  // (the capacity for an output parameter), `data` what travelled with it.
  struct Optional {
    bool present = false;
    uint32_t size = 0;
    bool hasData = false;
    std::vector<uint8_t> data;
  };
  bool optional(Optional& out, uint32_t cap) {
    out = Optional{};
    if (!presence(out.present)) return false;
    if (!out.present) return true;
    uint32_t hasData = 0;
    if (!u32(out.size) || !u32(hasData)) return false;
    if (hasData > 1 || out.size > cap) return fail();
    out.hasData = hasData == 1;
    return out.hasData ? bytes(out.data, out.size) : true;
  }
  bool optionalU32(std::optional<uint32_t>& out) {
    Optional o;
    if (!optional(o, 4)) return false;
    out.reset();
    if (o.hasData) {
      if (o.size != 4) return fail();
      out = loadLe32(o.data.data());
    }
    return true;
  }

private:
  bool need(size_t n) {
    if (!ok_ || size_ - pos_ < n) return fail();
    return true;
  }
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// Splits a byte stream into packets. Taken packets are passed over, not
// erased one by one: the bytes behind them move once, when more arrive, so
// many packets in one delivery cost no more each than one alone.
class FrameDecoder {
public:
  enum class Status { NeedMore, Frame, Malformed };

  void feed(const uint8_t* data, size_t size) {
    if (start_ > 0) {
      buffer_.erase(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(start_));
      start_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + size);
  }

  // Takes the next complete packet out of the buffer. A length above the cap
  // is malformed at once, before any of its bytes are awaited or stored.
  Status next(std::vector<uint8_t>& payload) {
    const size_t available = buffer_.size() - start_;
    if (available < 4) return Status::NeedMore;
    const uint8_t* p = buffer_.data() + start_;
    const uint32_t length = loadLe32(p);
    if (length > kMaxFrameBytes) return Status::Malformed;
    if (available - 4 < length) return Status::NeedMore;
    payload.assign(p + 4, p + 4 + length);
    start_ += 4 + size_t(length);
    if (start_ == buffer_.size()) {
      buffer_.clear();
      start_ = 0;
    }
    return Status::Frame;
  }
  size_t buffered() const { return buffer_.size() - start_; }

private:
  std::vector<uint8_t> buffer_;
  size_t start_ = 0; // bytes before it belong to packets already taken
};

} // namespace rapiwire
