// The device's op log: every link request with its arguments, result and last
// error, one JSON object a line, appended to the image's oplog.jsonl. It is what
// a user reads to see what a desktop program did to the device, and what the
// tests assert on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pspc {

// Builds one JSON object field by field, in the order given.
class JsonObject {
public:
  JsonObject& add(const std::string& key, const std::string& text);
  JsonObject& add(const std::string& key, const std::u16string& text);
  JsonObject& add(const std::string& key, const char* text) { return add(key, std::string(text)); }
  JsonObject& add(const std::string& key, uint64_t number);
  JsonObject& add(const std::string& key, uint32_t number) { return add(key, uint64_t(number)); }
  JsonObject& add(const std::string& key, int number) { return add(key, uint64_t(uint32_t(number))); }
  JsonObject& add(const std::string& key, bool value);
  JsonObject& addNull(const std::string& key);
  JsonObject& addRaw(const std::string& key, const std::string& json); // an object built elsewhere
  JsonObject& addHex(const std::string& key, const std::vector<uint8_t>& bytes);
  std::string str() const { return "{" + body_ + "}"; }
  bool empty() const { return body_.empty(); }

private:
  void key(const std::string& k);
  std::string body_;
};

std::string jsonQuote(const std::string& utf8);

class OpLog {
public:
  explicit OpLog(const std::filesystem::path& file);
  ~OpLog();
  OpLog(const OpLog&) = delete;
  OpLog& operator=(const OpLog&) = delete;

  // Appends one record: seq, time and connection are added here, then the
  // fields of `entry`. Flushed at once so a reader sees it while serving.
  void write(uint32_t connection, const std::string& op, const JsonObject& entry);
  uint64_t records() const;

private:
  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
  uint64_t seq_ = 0;
};

} // namespace pspc

namespace pspc {

// One op-log record read back: its top-level fields as text (strings
// unescaped, numbers and literals as written). Records are flat objects.
using FlatJson = std::vector<std::pair<std::string, std::string>>;
// Nothing when the line is not a flat JSON object.
std::optional<FlatJson> parseFlatJson(const std::string& line);
// The value of `key`, or nothing.
std::optional<std::string> field(const FlatJson& record, const std::string& key);

} // namespace pspc
