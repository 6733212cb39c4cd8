// Runs the link's requests on the device: one Dispatcher per connection turns
// a decoded request into the device call, the reply packet and the op-log
// record that describes it.
#pragma once

#include "device.h"
#include "op_log.h"
#include "rapi_commands.h"

#include <map>

namespace pspc {

class Dispatcher {
public:
  Dispatcher(Device& device, SessionId session) : device_(device), session_(session) {}

  // Runs the call; `log` receives its arguments and outcome.
  std::vector<uint8_t> run(const rapiwire::Request& request, JsonObject& log);
  // Answers the call as failed with `lastError`, without running it (an
  // injected fault). The log shows the arguments and the failure.
  std::vector<uint8_t> fail(const rapiwire::Request& request, uint32_t lastError, JsonObject& log);

private:
  std::vector<uint8_t> runCall(const rapiwire::Request& request, JsonObject& log, const uint32_t* forcedError);
  std::u16string keyName(uint32_t key) const;
  std::u16string fileName(uint32_t handle) const;

  Device& device_;
  SessionId session_;
  // What each open handle names, so that the log reads as paths, not numbers.
  std::map<uint32_t, std::u16string> files_;
  std::map<uint32_t, std::u16string> keys_;
};

// "HKEY_CLASSES_ROOT" and the other predefined roots; empty for other values.
std::u16string rootKeyName(uint32_t key);

} // namespace pspc
