#include "op_log.h"

#include "device_path.h"

#include <chrono>
#include <cinttypes>
#include <ctime>
#include <stdexcept>

namespace pspc {

std::string jsonQuote(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    case '\n': out += "\\n"; break;
    case '\r': out += "\\r"; break;
    case '\t': out += "\\t"; break;
    default:
      if (c < 0x20 || c == 0x7F) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      } else {
        out.push_back(char(c));
      }
    }
  }
  return out + "\"";
}

void JsonObject::key(const std::string& k) {
  if (!body_.empty()) body_ += ",";
  body_ += jsonQuote(k) + ":";
}

JsonObject& JsonObject::add(const std::string& k, const std::string& text) {
  key(k);
  body_ += jsonQuote(text);
  return *this;
}

JsonObject& JsonObject::add(const std::string& k, const std::u16string& text) { return add(k, toUtf8Lossy(text)); }

JsonObject& JsonObject::add(const std::string& k, uint64_t number) {
  key(k);
  body_ += std::to_string(number);
  return *this;
}

JsonObject& JsonObject::add(const std::string& k, bool value) {
  key(k);
  body_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::addNull(const std::string& k) {
  key(k);
  body_ += "null";
  return *this;
}

JsonObject& JsonObject::addRaw(const std::string& k, const std::string& json) {
  key(k);
  body_ += json;
  return *this;
}

JsonObject& JsonObject::addHex(const std::string& k, const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    hex.push_back(digits[b >> 4]);
    hex.push_back(digits[b & 15]);
  }
  return add(k, hex);
}

OpLog::OpLog(const std::filesystem::path& file) {
  // Sequence numbers go on from an earlier serving of the same image.
  char last = '\n';
  if (std::FILE* existing = std::fopen(file.c_str(), "r")) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, existing)) > 0) {
      for (size_t i = 0; i < n; ++i) seq_ += buf[i] == '\n';
      last = buf[n - 1];
    }
    std::fclose(existing);
  }
  file_ = std::fopen(file.c_str(), "a");
  if (!file_) throw std::runtime_error("cannot open the op log " + file.string());
  // An emulator killed while writing a record leaves it without its line
  // end; ending that line here keeps the next record on a line of its own
  // instead of running it into the cut one. The cut record keeps its number.
  if (last != '\n') {
    std::fputc('\n', file_);
    std::fflush(file_);
    ++seq_;
  }
}

OpLog::~OpLog() {
  if (file_) std::fclose(file_);
}

static std::string utcNow() {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::time_t seconds = std::time_t(ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  // Room for any int the fields could hold, not just a real date's.
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms % 1000));
  return buf;
}

void OpLog::write(uint32_t connection, const std::string& op, const JsonObject& entry) {
  std::lock_guard lock(mutex_);
  JsonObject head;
  head.add("seq", ++seq_).add("time", utcNow()).add("conn", connection).add("op", op);
  std::string line = head.str();
  if (!entry.empty()) {
    line.pop_back();
    line += "," + entry.str().substr(1);
  }
  line += "\n";
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

uint64_t OpLog::records() const {
  std::lock_guard lock(mutex_);
  return seq_;
}

} // namespace pspc

namespace pspc {

namespace {

// Reads a flat JSON object from one line, left to right.
class FlatJsonReader {
public:
  explicit FlatJsonReader(const std::string& line) : line_(line) {}

  std::optional<FlatJson> object() {
    FlatJson out;
    skip();
    if (i_ >= line_.size() || line_[i_++] != '{') return std::nullopt;
    skip();
    if (i_ < line_.size() && line_[i_] == '}') return out;
    for (;;) {
      skip();
      std::string key, value;
      if (!string(key)) return std::nullopt;
      skip();
      if (i_ >= line_.size() || line_[i_++] != ':') return std::nullopt;
      skip();
      if (!this->value(value)) return std::nullopt;
      out.emplace_back(key, value);
      skip();
      if (i_ >= line_.size()) return std::nullopt;
      if (line_[i_] == ',') {
        ++i_;
        continue;
      }
      if (line_[i_] == '}') return out;
      return std::nullopt;
    }
  }

private:
  void skip() {
    while (i_ < line_.size() && (line_[i_] == ' ' || line_[i_] == '\t' || line_[i_] == '\r' || line_[i_] == '\n')) ++i_;
  }

  // A string, or a number or literal as written; no nested object or array.
  bool value(std::string& value) {
    if (i_ < line_.size() && line_[i_] == '"') return string(value);
    const size_t start = i_;
    while (i_ < line_.size() && line_[i_] != ',' && line_[i_] != '}' && line_[i_] != ' ') ++i_;
    value = line_.substr(start, i_ - start);
    return !value.empty() && value[0] != '{' && value[0] != '[';
  }

  bool string(std::string& s) {
    if (i_ >= line_.size() || line_[i_] != '"') return false;
    ++i_;
    s.clear();
    while (i_ < line_.size() && line_[i_] != '"') {
      char c = line_[i_++];
      if (c != '\\') {
        s.push_back(c);
        continue;
      }
      if (i_ >= line_.size() || !escape(s)) return false;
    }
    if (i_ >= line_.size()) return false;
    ++i_;
    return true;
  }

  // The escape after a backslash, appended to `s`.
  bool escape(std::string& s) {
    char e = line_[i_++];
    switch (e) {
    case 'n': s.push_back('\n'); break;
    case 'r': s.push_back('\r'); break;
    case 't': s.push_back('\t'); break;
    case 'b': s.push_back('\b'); break;
    case 'f': s.push_back('\f'); break;
    case 'u': {
      if (i_ + 4 > line_.size()) return false;
      uint32_t cp = 0;
      for (int k = 0; k < 4; ++k) {
        char h = line_[i_++];
        cp <<= 4;
        if (h >= '0' && h <= '9') cp |= uint32_t(h - '0');
        else if (h >= 'a' && h <= 'f') cp |= uint32_t(h - 'a' + 10);
        else if (h >= 'A' && h <= 'F') cp |= uint32_t(h - 'A' + 10);
        else return false;
      }
      s += toUtf8Lossy(std::u16string(1, char16_t(cp)));
      break;
    }
    default: s.push_back(e);
    }
    return true;
  }

  const std::string& line_;
  size_t i_ = 0;
};

} // namespace

std::optional<FlatJson> parseFlatJson(const std::string& line) { return FlatJsonReader(line).object(); }

std::optional<std::string> field(const FlatJson& record, const std::string& key) {
  for (const auto& [k, v] : record)
    if (k == key) return v;
  return std::nullopt;
}

} // namespace pspc
