#include "dispatch.h"

#include "device_path.h"
#include "win32_codes.h"

#include <type_traits>

namespace pspc {

using namespace rapiwire;

namespace {

// Registry calls answer with a status of their own. Every other call leaves
// the thread's last error, which its reply carries and its record ends with.
template <typename R>
constexpr bool kAnswersWithStatus = std::is_same_v<R, RegOpenKeyRequest> || std::is_same_v<R, RegCreateKeyRequest> ||
                                    std::is_same_v<R, RegCloseKeyRequest> || std::is_same_v<R, RegQueryValueRequest> ||
                                    std::is_same_v<R, RegSetValueRequest>;

// The text of a REG_SZ value for the log: its units up to the first NUL.
std::u16string regText(const std::vector<uint8_t>& data) {
  std::u16string text;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t unit = char16_t(data[i] | data[i + 1] << 8);
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

// An absent text argument shows as null.
void logText(JsonObject& log, const char* field, const std::optional<std::u16string>& text) {
  if (text)
    log.add(field, *text);
  else
    log.addNull(field);
}

std::u16string subKeyName(const std::u16string& parent, const std::u16string& sub) {
  return sub.empty() ? parent : parent + u"\\" + sub;
}

} // namespace

// One call on its way: the op-log record it fills, the error an injected
// fault answers with instead of running it, and the last error it leaves.
struct Dispatcher::Call {
  JsonObject& log;
  const uint32_t* forced = nullptr;
  uint32_t lastError = ERROR_SUCCESS;

  // Runs `device` unless a fault forces the failure; gives whether it ran.
  template <typename F> bool perform(F&& device) {
    if (forced) {
      lastError = *forced;
      return false;
    }
    device();
    return true;
  }
  // A registry call's status: the forced one, or what `device` answers.
  template <typename F> uint32_t status(F&& device) { return forced ? *forced : device(); }
  // Whether an argument the call needs was given; if not, the call fails
  // with ERROR_INVALID_PARAMETER.
  bool require(bool given) {
    if (!given) lastError = ERROR_INVALID_PARAMETER;
    return given;
  }
};

std::u16string rootKeyName(uint32_t key) {
  switch (key) {
  case HKEY_CLASSES_ROOT:
    return u"HKEY_CLASSES_ROOT";
  case HKEY_CURRENT_USER:
    return u"HKEY_CURRENT_USER";
  case HKEY_LOCAL_MACHINE:
    return u"HKEY_LOCAL_MACHINE";
  case HKEY_USERS:
    return u"HKEY_USERS";
  default:
    return u"";
  }
}

std::u16string Dispatcher::keyName(uint32_t key) const {
  std::u16string root = rootKeyName(key);
  if (!root.empty()) return root;
  auto it = keys_.find(key);
  return it == keys_.end() ? u"" : it->second;
}

std::u16string Dispatcher::fileName(uint32_t handle) const {
  auto it = files_.find(handle);
  return it == files_.end() ? u"" : it->second;
}

std::vector<uint8_t> Dispatcher::run(const Request& request, JsonObject& log) { return runCall(request, log, nullptr); }

std::vector<uint8_t> Dispatcher::fail(const Request& request, uint32_t lastError, JsonObject& log) {
  log.add("injectedFault", true);
  return runCall(request, log, &lastError);
}

std::vector<uint8_t> Dispatcher::runCall(const Request& request, JsonObject& log, const uint32_t* forced) {
  Call call{log, forced};
  return std::visit(
      [&](const auto& r) {
        auto reply = handle(r, call);
        if constexpr (!kAnswersWithStatus<std::decay_t<decltype(r)>>) {
          if constexpr (requires { reply.lastError; }) reply.lastError = call.lastError;
          log.add("lastError", call.lastError);
        }
        return reply.encode();
      },
      request);
}

// ---------------------------------------------------------------- files

ResultReply Dispatcher::handle(const CreateFileRequest& r, Call& call) {
  logText(call.log, "path", r.path);
  call.log.add("access", r.access)
      .add("share", r.share)
      .add("disposition", r.disposition)
      .add("attributes", r.flagsAndAttributes);
  ResultReply reply;
  reply.result = INVALID_HANDLE_VALUE;
  call.perform([&] {
    if (call.require(r.path.has_value()))
      reply.result =
          device_.createFile(session_, *r.path, r.access, r.share, r.disposition, r.flagsAndAttributes, call.lastError);
  });
  if (reply.result != INVALID_HANDLE_VALUE) files_[reply.result] = *r.path;
  call.log.add("result", reply.result);
  return reply;
}

ReadFileReply Dispatcher::handle(const ReadFileRequest& r, Call& call) {
  call.log.add("handle", r.handle).add("path", fileName(r.handle)).add("count", r.count);
  ReadFileReply reply;
  reply.hasBuffer = r.hasBuffer;
  // No buffer is a read of nothing: the desktop sends it as an absent
  // parameter, without a count, and the device reads no bytes.
  const uint32_t count = r.hasBuffer ? std::min(r.count, kMaxDataBytes) : 0;
  call.perform([&] { reply.result = device_.readFile(session_, r.handle, count, reply.data, call.lastError); });
  if (!reply.result) reply.data.clear();
  call.log.add("result", reply.result).add("bytesRead", uint32_t(reply.data.size()));
  return reply;
}

WriteFileReply Dispatcher::handle(const WriteFileRequest& r, Call& call) {
  call.log.add("handle", r.handle).add("path", fileName(r.handle)).add("bytes", uint32_t(r.data.size()));
  WriteFileReply reply;
  call.perform([&] {
    reply.result =
        device_.writeFile(session_, r.handle, r.data.data(), uint32_t(r.data.size()), reply.written, call.lastError);
  });
  call.log.add("result", reply.result).add("written", reply.written);
  return reply;
}

ResultReply Dispatcher::handle(const CloseHandleRequest& r, Call& call) {
  call.log.add("handle", r.handle).add("path", fileName(r.handle));
  ResultReply reply;
  if (call.perform([&] { reply.result = device_.closeHandle(session_, r.handle, call.lastError); }) && reply.result)
    files_.erase(r.handle);
  call.log.add("result", reply.result);
  return reply;
}

FindAllFilesReply Dispatcher::handle(const FindAllFilesRequest& r, Call& call) {
  logText(call.log, "pattern", r.pattern);
  call.log.add("flags", r.flags);
  FindAllFilesReply reply;
  reply.flags = r.flags;
  std::vector<FindData> found;
  call.perform([&] {
    if (r.pattern) device_.findAllFiles(*r.pattern, found, call.lastError);
  });
  for (const FindData& f : found)
    reply.entries.push_back(FindEntry{f.attributes, f.creationTime, f.lastAccessTime, f.lastWriteTime, f.sizeHigh,
                                      f.sizeLow, f.oid, f.name});
  call.log.add("count", uint32_t(reply.entries.size()));
  return reply;
}

ResultReply Dispatcher::handle(const CreateDirectoryRequest& r, Call& call) {
  logText(call.log, "path", r.path);
  ResultReply reply;
  call.perform([&] {
    if (call.require(r.path.has_value())) reply.result = device_.createDirectory(*r.path, call.lastError);
  });
  call.log.add("result", reply.result);
  return reply;
}

CreateProcessReply Dispatcher::handle(const CreateProcessRequest& r, Call& call) {
  logText(call.log, "application", r.application);
  logText(call.log, "commandLine", r.commandLine);
  call.log.add("creationFlags", r.creationFlags);
  CreateProcessReply reply;
  reply.wantInformation = r.wantProcessInformation;
  ProcessInfo info;
  call.perform([&] {
    if (call.require(r.application.has_value()))
      reply.result = device_.createProcess(*r.application, r.commandLine.value_or(u""), info, call.lastError);
  });
  reply.information = ProcessInformation{info.process, info.thread, info.processId, info.threadId};
  call.log.add("result", reply.result).add("processId", info.processId);
  return reply;
}

ResultReply Dispatcher::handle(const MoveFileRequest& r, Call& call) {
  logText(call.log, "from", r.from);
  logText(call.log, "to", r.to);
  ResultReply reply;
  call.perform([&] {
    if (call.require(r.from && r.to)) reply.result = device_.moveFile(*r.from, *r.to, call.lastError);
  });
  call.log.add("result", reply.result);
  return reply;
}

ResultReply Dispatcher::handle(const DeleteFileRequest& r, Call& call) {
  logText(call.log, "path", r.path);
  ResultReply reply;
  call.perform([&] {
    if (call.require(r.path.has_value())) reply.result = device_.deleteFile(*r.path, call.lastError);
  });
  call.log.add("result", reply.result);
  return reply;
}

GetFileSizeReply Dispatcher::handle(const GetFileSizeRequest& r, Call& call) {
  call.log.add("handle", r.handle).add("path", fileName(r.handle));
  GetFileSizeReply reply;
  reply.wantHigh = r.wantHigh;
  reply.size = INVALID_FILE_SIZE;
  call.perform([&] {
    uint32_t high = 0;
    reply.size = device_.getFileSize(session_, r.handle, &high, call.lastError);
    if (r.wantHigh) reply.high = high;
  });
  call.log.add("result", reply.size);
  return reply;
}

// ---------------------------------------------------------------- registry

RegKeyReply Dispatcher::handle(const RegOpenKeyRequest& r, Call& call) {
  const std::u16string sub = r.subKey.value_or(u"");
  call.log.add("key", keyName(r.key)).add("subKey", sub);
  RegKeyReply reply;
  reply.status = call.status([&] { return device_.regOpenKey(session_, r.key, sub, reply.key); });
  call.log.add("status", reply.status);
  if (reply.status == ERROR_SUCCESS) {
    keys_[reply.key] = subKeyName(keyName(r.key), sub);
    call.log.add("result", reply.key);
  }
  return reply;
}

RegKeyReply Dispatcher::handle(const RegCreateKeyRequest& r, Call& call) {
  const std::u16string sub = r.subKey.value_or(u"");
  call.log.add("key", keyName(r.key)).add("subKey", sub);
  RegKeyReply reply;
  reply.withDisposition = true;
  reply.status = call.status([&] { return device_.regCreateKey(session_, r.key, sub, reply.key, reply.disposition); });
  call.log.add("status", reply.status);
  if (reply.status == ERROR_SUCCESS) {
    keys_[reply.key] = subKeyName(keyName(r.key), sub);
    call.log.add("result", reply.key).add("disposition", reply.disposition);
  }
  return reply;
}

ResultReply Dispatcher::handle(const RegCloseKeyRequest& r, Call& call) {
  call.log.add("key", keyName(r.key));
  ResultReply reply;
  reply.result = call.status([&] { return device_.regCloseKey(session_, r.key); });
  if (reply.result == ERROR_SUCCESS) keys_.erase(r.key);
  call.log.add("status", reply.result);
  return reply;
}

RegQueryValueReply Dispatcher::handle(const RegQueryValueRequest& r, Call& call) {
  call.log.add("key", keyName(r.key));
  logText(call.log, "valueName", r.valueName);
  RegQueryValueReply reply;
  reply.wantType = r.wantType;
  reply.wantData = r.wantData;
  reply.hasSize = r.hasSize;
  reply.status = call.status([&] {
    if (r.wantData && !r.hasSize) return ERROR_INVALID_PARAMETER;
    const uint32_t capacity = r.wantData ? r.dataCapacity : kMaxDataBytes;
    const uint32_t status =
        device_.regQueryValue(session_, r.key, r.valueName.value_or(u""), reply.type, reply.data, capacity, reply.size);
    if (!r.wantData) reply.data.clear();
    return status;
  });
  if (reply.status != ERROR_SUCCESS) reply.data.clear();
  call.log.add("status", reply.status);
  if (reply.status == ERROR_SUCCESS || reply.status == ERROR_MORE_DATA)
    call.log.add("type", reply.type).add("byteCount", reply.size);
  return reply;
}

ResultReply Dispatcher::handle(const RegSetValueRequest& r, Call& call) {
  call.log.add("key", keyName(r.key));
  logText(call.log, "valueName", r.valueName);
  call.log.add("type", r.type).add("byteCount", r.byteCount).addHex("data", r.data);
  if (r.type == REG_SZ) call.log.add("text", regText(r.data));
  ResultReply reply;
  reply.result = call.status([&] {
    // The byte count says how much of the block is the value.
    if (r.byteCount > r.data.size()) return ERROR_INVALID_PARAMETER;
    const std::vector<uint8_t> value(r.data.begin(), r.data.begin() + r.byteCount);
    return device_.regSetValue(session_, r.key, r.valueName.value_or(u""), r.type, value);
  });
  call.log.add("status", reply.result);
  return reply;
}

// ---------------------------------------------------------------- store

StoreInformationReply Dispatcher::handle(const GetStoreInformationRequest& r, Call& call) {
  StoreInformationReply reply;
  reply.wantInfo = r.wantInfo;
  call.perform([&] {
    if (!call.require(r.wantInfo)) return;
    device_.storeInformation(reply.storeSize, reply.freeSize);
    reply.hasInfo = true;
    reply.result = 1;
  });
  call.log.add("result", reply.result).add("storeSize", reply.storeSize).add("freeSize", reply.freeSize);
  return reply;
}

} // namespace pspc
