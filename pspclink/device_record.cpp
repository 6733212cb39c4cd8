#include "device_record.h"

#include "text.h"

#include <charconv>

namespace pspclink {

namespace {

template <typename Number> bool readNumber(const std::string& text, Number& value) {
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  return !text.empty() && error == std::errc() && stop == end;
}

} // namespace

std::string formatDeviceRecord(const DeviceRecord& record, bool withPrelude) {
  std::vector<std::pair<std::string, std::string>> fields = {
      {"name", record.name},
      {"platform", record.platform},
      {"model", record.model},
      {"os", std::to_string(record.osMajor) + "." + std::to_string(record.osMinor)},
      {"build", std::to_string(record.build)},
      {"cpu", std::to_string(record.cpu)},
      {"address", record.address},
      {"rapi-port", std::to_string(record.rapiPort)},
      {"since", std::to_string(record.since)},
      {"attach", std::to_string(record.attach)},
      {"locked", record.locked ? "1" : "0"},
      {"state", record.usable ? "unlocked" : "locked"},
      {"password", record.password},
  };
  if (withPrelude && !record.prelude.empty()) fields.emplace_back("prelude", linkchannel::hexOf(record.prelude));
  return linkchannel::formatLine("device", fields);
}

bool parseDeviceRecord(const linkchannel::Line& line, DeviceRecord& record, std::string& error) {
  DeviceRecord read;
  auto text = [&](const char* key, std::string& value) {
    const std::string* found = line.option(key);
    if (found) value = *found;
    return found != nullptr;
  };
  auto number = [&](const char* key, auto& value) {
    const std::string* found = line.option(key);
    return found && readNumber(*found, value);
  };
  std::string os, locked, state, prelude;
  const bool complete = line.name == "device" && text("name", read.name) && text("platform", read.platform) &&
                        text("model", read.model) && text("os", os) && number("build", read.build) &&
                        number("cpu", read.cpu) && text("address", read.address) &&
                        number("rapi-port", read.rapiPort) && number("since", read.since) &&
                        number("attach", read.attach) && text("locked", locked) && text("state", state);
  const size_t dot = os.find('.');
  if (!complete || dot == std::string::npos || !readNumber(os.substr(0, dot), read.osMajor) ||
      !readNumber(os.substr(dot + 1), read.osMinor) || (locked != "0" && locked != "1") ||
      (state != "unlocked" && state != "locked")) {
    error = "not a device record";
    return false;
  }
  read.locked = locked == "1";
  read.usable = state == "unlocked";
  if (!text("password", read.password)) read.password = read.locked ? (read.usable ? "accepted" : "refused") : "none";
  if (text("prelude", prelude)) {
    auto bytes = linkchannel::bytesOfHex(prelude);
    if (!bytes) {
      error = "a device record whose prelude is not hex";
      return false;
    }
    read.prelude = std::move(*bytes);
  }
  record = std::move(read);
  return true;
}

std::string cpuFamily(unsigned cpuType) {
  switch (cpuType) {
  case 386:
  case 486:
  case 586:
    return "x86";
  case 4000:
    return "MIPS";
  case 10003:
    return "SH3";
  case 10004:
    return "SH3E";
  case 10005:
    return "SH4";
  case 1824:
  case 2080:
  case 2336:
  case 2577:
    return "ARM";
  case 403:
  case 601:
  case 603:
  case 604:
  case 620:
  case 821:
    return "PowerPC";
  default:
    return "";
  }
}

std::vector<std::string> readableLines(const DeviceRecord& record) {
  const std::string family = cpuFamily(record.cpu);
  std::string state;
  if (record.password == "none")
    state = "unlocked (no password asked)";
  else if (record.password == "accepted")
    state = "unlocked (the password was accepted)";
  else if (record.password == "checking")
    state = "locked (the password was sent; its answer is awaited)";
  else if (record.password == "refused")
    state = "locked (the device refused the password: correct the password file, then plug the device in again)";
  else if (record.password == "withheld")
    state = "locked (the device called from outside its cable and the manager keeps the password from it: see its "
            "log)";
  else
    state = "locked (the device asks for a password and the manager has none to give: see its log)";
  return {
      "device:      " + record.name,
      "platform:    " + record.platform,
      "model:       " + record.model,
      "OS version:  " + std::to_string(record.osMajor) + "." + std::to_string(record.osMinor) + " (build " +
          std::to_string(record.build) + ")",
      "CPU:         " + (family.empty() ? "type " + std::to_string(record.cpu)
                                        : family + " (type " + std::to_string(record.cpu) + ")"),
      "address:     " + record.address,
      "attached:    since " + localTime(record.since),
      "state:       " + state,
  };
}

} // namespace pspclink
