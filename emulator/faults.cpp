#include "faults.h"

#include "rapi_commands.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace pspc {
namespace {

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

bool parseNumber(const std::string& text, uint64_t& value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

} // namespace

std::optional<std::string> canonicalCallName(const std::string& typed) {
  std::string wanted = lower(typed);
  if (wanted.rfind("ce", 0) != 0) wanted = "ce" + wanted;
  for (rapiwire::Command command : rapiwire::kAllCommands) {
    std::string name = rapiwire::commandName(command);
    if (lower(name) == wanted) return name;
  }
  return std::nullopt;
}

bool Faults::add(const std::string& spec, std::string& error) {
  const std::vector<std::string> parts = split(spec, ':');
  if (parts.size() == 2 && parts[0] == "drop-after-bytes") {
    uint64_t number = 0;
    if (!parseNumber(parts[1], number)) {
      error = "drop-after-bytes needs a byte count: " + spec;
      return false;
    }
    std::lock_guard lock(mutex_);
    bytesLeft_ = number;
    return true;
  }
  if (spec == "silent" || spec == "refuse-password") {
    std::lock_guard lock(mutex_);
    (spec == "silent" ? silent_ : refusePassword_) = true;
    return true;
  }
  if (parts.size() == 2 && parts[0] == "intro") return addIntroduction(spec, parts[1], error);
  return addCallRule(spec, parts, error);
}

bool Faults::addIntroduction(const std::string& spec, const std::string& how, std::string& error) {
  static const std::map<std::string, Introduction> kinds = {
      {"name-offset", Introduction::NameOffset}, {"short", Introduction::Short},
      {"no-terminator", Introduction::NoTerminator}};
  auto kind = kinds.find(how);
  if (kind == kinds.end()) {
    error = "unknown introduction fault '" + spec + "' (intro:name-offset, intro:short, intro:no-terminator)";
    return false;
  }
  std::lock_guard lock(mutex_);
  introduction_ = kind->second;
  return true;
}

bool Faults::addCallRule(const std::string& spec, const std::vector<std::string>& parts, std::string& error) {
  const bool atCall = parts[0] == "drop" || parts[0] == "hold";
  if ((parts[0] != "fail" && !atCall) || parts.size() < 3 || parts.size() > 4 || (atCall && parts.size() != 3)) {
    error = "unknown fault '" + spec +
            "' (fail:<Op>:<N>[:<lastError>], drop:<Op>:<N>, hold:<Op>:<N>, drop-after-bytes:<N>, silent, "
            "refuse-password, intro:<how>)";
    return false;
  }
  Rule rule;
  rule.spec = spec;
  rule.action = parts[0] == "fail" ? Action::Fail : parts[0] == "drop" ? Action::Drop : Action::Hold;
  auto op = canonicalCallName(parts[1]);
  if (!op) {
    error = "unknown call '" + parts[1] + "' in fault " + spec;
    return false;
  }
  rule.op = *op;
  std::string nth = parts[2];
  if (!nth.empty() && nth.back() == '+') {
    rule.onward = true;
    nth.pop_back();
  }
  uint64_t number = 0;
  if (!parseNumber(nth, number) || number == 0 || number > UINT32_MAX) {
    error = "the call number in fault " + spec + " must be 1 or more";
    return false;
  }
  rule.nth = uint32_t(number);
  if (parts.size() == 4) {
    if (!parseNumber(parts[3], number) || number > UINT32_MAX) {
      error = "the last error in fault " + spec + " must be a number";
      return false;
    }
    rule.lastError = uint32_t(number);
  }
  std::lock_guard lock(mutex_);
  calls_[rule.op] = 0;
  rules_.push_back(rule);
  return true;
}

void Faults::clear() {
  std::lock_guard lock(mutex_);
  rules_.clear();
  calls_.clear();
  bytesLeft_.reset();
  silent_ = refusePassword_ = false;
  introduction_ = Introduction::Sound;
}

bool Faults::silent() const {
  std::lock_guard lock(mutex_);
  return silent_;
}

bool Faults::refusesPassword() const {
  std::lock_guard lock(mutex_);
  return refusePassword_;
}

Faults::Introduction Faults::introduction() const {
  std::lock_guard lock(mutex_);
  return introduction_;
}

Faults::Action Faults::onCall(const std::string& op, uint32_t& lastError) {
  std::lock_guard lock(mutex_);
  auto counter = calls_.find(op);
  if (counter == calls_.end()) return Action::None;
  uint32_t call = ++counter->second;
  for (const Rule& rule : rules_) {
    if (rule.op != op) continue;
    if (call == rule.nth || (rule.onward && call > rule.nth)) {
      lastError = rule.lastError;
      return rule.action;
    }
  }
  return Action::None;
}

bool Faults::onBytes(size_t& count) {
  std::lock_guard lock(mutex_);
  if (!bytesLeft_) return false;
  if (count < *bytesLeft_) {
    *bytesLeft_ -= count;
    return false;
  }
  count = size_t(*bytesLeft_);
  bytesLeft_.reset();
  return true;
}

std::string Faults::describe() const {
  std::lock_guard lock(mutex_);
  std::string out;
  for (const Rule& rule : rules_) out += (out.empty() ? "" : " ") + rule.spec;
  auto add = [&out](const std::string& item) { out += (out.empty() ? "" : " ") + item; };
  if (bytesLeft_) add("drop-after-bytes:" + std::to_string(*bytesLeft_));
  if (silent_) add("silent");
  if (refusePassword_) add("refuse-password");
  static const char* const kIntroductions[] = {"", "intro:name-offset", "intro:short", "intro:no-terminator"};
  if (introduction_ != Introduction::Sound) add(kIntroductions[int(introduction_)]);
  return out.empty() ? "none" : out;
}

} // namespace pspc
