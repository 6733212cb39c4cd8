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
  struct Call;

  std::vector<uint8_t> runCall(const rapiwire::Request& request, JsonObject& log, const uint32_t* forcedError);

  // One handler per request: it logs the arguments, runs the call on the
  // device and logs its outcome; runCall adds what every call shares. A
  // request without a handler does not compile.
  rapiwire::ResultReply handle(const rapiwire::CreateFileRequest& r, Call& call);
  rapiwire::ReadFileReply handle(const rapiwire::ReadFileRequest& r, Call& call);
  rapiwire::WriteFileReply handle(const rapiwire::WriteFileRequest& r, Call& call);
  rapiwire::ResultReply handle(const rapiwire::CloseHandleRequest& r, Call& call);
  rapiwire::FindAllFilesReply handle(const rapiwire::FindAllFilesRequest& r, Call& call);
  rapiwire::ResultReply handle(const rapiwire::CreateDirectoryRequest& r, Call& call);
  rapiwire::CreateProcessReply handle(const rapiwire::CreateProcessRequest& r, Call& call);
  rapiwire::ResultReply handle(const rapiwire::MoveFileRequest& r, Call& call);
  rapiwire::ResultReply handle(const rapiwire::DeleteFileRequest& r, Call& call);
  rapiwire::GetFileSizeReply handle(const rapiwire::GetFileSizeRequest& r, Call& call);
  rapiwire::RegKeyReply handle(const rapiwire::RegOpenKeyRequest& r, Call& call);
  rapiwire::RegKeyReply handle(const rapiwire::RegCreateKeyRequest& r, Call& call);
  rapiwire::ResultReply handle(const rapiwire::RegCloseKeyRequest& r, Call& call);
  rapiwire::RegQueryValueReply handle(const rapiwire::RegQueryValueRequest& r, Call& call);
  rapiwire::ResultReply handle(const rapiwire::RegSetValueRequest& r, Call& call);
  rapiwire::StoreInformationReply handle(const rapiwire::GetStoreInformationRequest& r, Call& call);

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
