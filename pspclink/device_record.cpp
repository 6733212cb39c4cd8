#include "device_record.h"

#include "text.h"

namespace pspclink {

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
