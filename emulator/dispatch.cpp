#include "dispatch.h"

#include "device_path.h"

namespace pspc {

using namespace rapiwire;

namespace {

constexpr uint32_t kInvalidHandle = 0xFFFFFFFFu;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kRegSz = 1;

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

void logPath(JsonObject& log, const char* field, const std::optional<std::u16string>& path) {
  if (path) log.add(field, *path);
  else log.addNull(field);
}

} // namespace

std::u16string rootKeyName(uint32_t key) {
  switch (key) {
  case 0x80000000u: return u"HKEY_CLASSES_ROOT";
  case 0x80000001u: return u"HKEY_CURRENT_USER";
  case 0x80000002u: return u"HKEY_LOCAL_MACHINE";
  case 0x80000003u: return u"HKEY_USERS";
  default: return u"";
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

std::vector<uint8_t> Dispatcher::run(const Request& request, JsonObject& log) {
  return runCall(request, log, nullptr);
}

std::vector<uint8_t> Dispatcher::fail(const Request& request, uint32_t lastError, JsonObject& log) {
  log.add("injectedFault", true);
  return runCall(request, log, &lastError);
}

std::vector<uint8_t> Dispatcher::runCall(const Request& request, JsonObject& log, const uint32_t* forced) {
  uint32_t lastError = 0;
  // Runs `call` unless a fault forces the failure; gives whether it ran.
  auto perform = [&](auto&& call) {
    if (forced) {
      lastError = *forced;
      return false;
    }
    call();
    return true;
  };

  if (auto* r = std::get_if<CreateFileRequest>(&request)) {
    logPath(log, "path", r->path);
    log.add("access", r->access).add("share", r->share).add("disposition", r->disposition)
        .add("attributes", r->flagsAndAttributes);
    ResultReply reply;
    reply.result = kInvalidHandle;
    perform([&] {
      if (!r->path) lastError = kErrorInvalidParameter;
      else reply.result = device_.createFile(session_, *r->path, r->access, r->share, r->disposition,
                                             r->flagsAndAttributes, lastError);
    });
    if (reply.result != kInvalidHandle) files_[reply.result] = *r->path;
    reply.lastError = lastError;
    log.add("result", reply.result).add("lastError", lastError);
    return reply.encode();
  }

  if (auto* r = std::get_if<ReadFileRequest>(&request)) {
    log.add("handle", r->handle).add("path", fileName(r->handle)).add("count", r->count);
    ReadFileReply reply;
    reply.hasBuffer = r->hasBuffer;
    perform([&] {
      if (!r->hasBuffer) lastError = kErrorInvalidParameter;
      else reply.result = device_.readFile(session_, r->handle, std::min(r->count, kMaxDataBytes), reply.data,
                                           lastError);
    });
    if (!reply.result) reply.data.clear();
    reply.lastError = lastError;
    log.add("result", reply.result).add("bytesRead", uint32_t(reply.data.size())).add("lastError", lastError);
    return reply.encode();
  }

  if (auto* r = std::get_if<WriteFileRequest>(&request)) {
    log.add("handle", r->handle).add("path", fileName(r->handle)).add("bytes", uint32_t(r->data.size()));
    WriteFileReply reply;
    perform([&] {
      reply.result = device_.writeFile(session_, r->handle, r->data.data(), uint32_t(r->data.size()),
                                       reply.written, lastError);
    });
    reply.lastError = lastError;
    log.add("result", reply.result).add("written", reply.written).add("lastError", lastError);
    return reply.encode();
  }

  if (auto* r = std::get_if<CloseHandleRequest>(&request)) {
    log.add("handle", r->handle).add("path", fileName(r->handle));
    ResultReply reply;
    if (perform([&] { reply.result = device_.closeHandle(session_, r->handle, lastError); }) && reply.result)
      files_.erase(r->handle);
    reply.lastError = lastError;
    log.add("result", reply.result).add("lastError", lastError);
    return reply.encode();
  }

  if (auto* r = std::get_if<FindAllFilesRequest>(&request)) {
    logPath(log, "pattern", r->pattern);
    log.add("flags", r->flags);
    FindAllFilesReply reply;
    reply.flags = r->flags;
    std::vector<FindData> found;
    perform([&] {
      if (r->pattern) device_.findAllFiles(*r->pattern, found, lastError);
    });
    for (const FindData& f : found)
      reply.entries.push_back(FindEntry{f.attributes, f.creationTime, f.lastAccessTime, f.lastWriteTime, f.sizeHigh,
                                        f.sizeLow, f.oid, f.name});
    log.add("count", uint32_t(reply.entries.size())).add("lastError", lastError);
    return reply.encode();
  }

  if (auto* r = std::get_if<CreateDirectoryRequest>(&request)) {
    logPath(log, "path", r->path);
    ResultReply reply;
    perform([&] {
      if (!r->path) lastError = kErrorInvalidParameter;
      else reply.result = device_.createDirectory(*r->path, lastError);
    });
    reply.lastError = lastError;
    log.add("result", reply.result).add("lastError", lastError);
    return reply.encode();
  }

  if (auto* r = std::get_if<CreateProcessRequest>(&request)) {
    logPath(log, "application", r->application);
    logPath(log, "commandLine", r->commandLine);
    log.add("creationFlags", r->creationFlags);
    CreateProcessReply reply;
    reply.wantInformation = r->wantProcessInformation;
    ProcessInfo info;
    perform([&] {
      if (!r->application) lastError = kErrorInvalidParameter;
      else reply.result = device_.createProcess(*r->application, r->commandLine.value_or(u""), info, lastError);
    });
    reply.information = ProcessInformation{info.process, info.thread, info.processId, info.threadId};
    reply.lastError = lastError;
    log.add("result", reply.result).add("processId", info.processId).add("lastError", lastError);
    return reply.encode();
  }

  if (auto* r = std::get_if<MoveFileRequest>(&request)) {
    logPath(log, "from", r->from);
    logPath(log, "to", r->to);
    ResultReply reply;
    perform([&] {
      if (!r->from || !r->to) lastError = kErrorInvalidParameter;
      else reply.result = device_.moveFile(*r->from, *r->to, lastError);
    });
    reply.lastError = lastError;
    log.add("result", reply.result).add("lastError", lastError);
    return reply.encode();
  }

  if (auto* r = std::get_if<DeleteFileRequest>(&request)) {
    logPath(log, "path", r->path);
    ResultReply reply;
    perform([&] {
      if (!r->path) lastError = kErrorInvalidParameter;
      else reply.result = device_.deleteFile(*r->path, lastError);
    });
    reply.lastError = lastError;
    log.add("result", reply.result).add("lastError", lastError);
    return reply.encode();
  }

  if (auto* r = std::get_if<GetFileSizeRequest>(&request)) {
    log.add("handle", r->handle).add("path", fileName(r->handle));
    GetFileSizeReply reply;
    reply.wantHigh = r->wantHigh;
    reply.size = kInvalidHandle;
    perform([&] {
      uint32_t high = 0;
      reply.size = device_.getFileSize(session_, r->handle, &high, lastError);
      if (r->wantHigh) reply.high = high;
    });
    reply.lastError = lastError;
    log.add("result", reply.size).add("lastError", lastError);
    return reply.encode();
  }

  if (auto* r = std::get_if<RegOpenKeyRequest>(&request)) {
    std::u16string sub = r->subKey.value_or(u"");
    log.add("key", keyName(r->key)).add("subKey", sub);
    RegKeyReply reply;
    reply.status = kErrorInvalidParameter;
    perform([&] { reply.status = device_.regOpenKey(session_, r->key, sub, reply.key); });
    if (forced) reply.status = lastError;
    if (reply.status == 0) keys_[reply.key] = keyName(r->key) + (sub.empty() ? u"" : u"\\" + sub);
    log.add("status", reply.status);
    if (reply.status == 0) log.add("result", reply.key);
    return reply.encode();
  }

  if (auto* r = std::get_if<RegCreateKeyRequest>(&request)) {
    std::u16string sub = r->subKey.value_or(u"");
    log.add("key", keyName(r->key)).add("subKey", sub);
    RegKeyReply reply;
    reply.withDisposition = true;
    reply.status = kErrorInvalidParameter;
    perform([&] { reply.status = device_.regCreateKey(session_, r->key, sub, reply.key, reply.disposition); });
    if (forced) reply.status = lastError;
    if (reply.status == 0) {
      keys_[reply.key] = keyName(r->key) + (sub.empty() ? u"" : u"\\" + sub);
      log.add("status", reply.status).add("result", reply.key).add("disposition", reply.disposition);
    } else {
      log.add("status", reply.status);
    }
    return reply.encode();
  }

  if (auto* r = std::get_if<RegCloseKeyRequest>(&request)) {
    log.add("key", keyName(r->key));
    ResultReply reply;
    perform([&] { reply.result = device_.regCloseKey(session_, r->key); });
    if (forced) reply.result = lastError;
    if (reply.result == 0) keys_.erase(r->key);
    log.add("status", reply.result);
    return reply.encode();
  }

  if (auto* r = std::get_if<RegQueryValueRequest>(&request)) {
    log.add("key", keyName(r->key));
    if (r->valueName) log.add("valueName", *r->valueName);
    else log.addNull("valueName");
    RegQueryValueReply reply;
    reply.wantType = r->wantType;
    reply.wantData = r->wantData;
    reply.hasSize = r->hasSize;
    reply.status = kErrorInvalidParameter;
    perform([&] {
      if (r->wantData && !r->hasSize) return;
      uint32_t capacity = r->wantData ? r->dataCapacity : kMaxDataBytes;
      reply.status = device_.regQueryValue(session_, r->key, r->valueName.value_or(u""), reply.type, reply.data,
                                           capacity, reply.size);
      if (!r->wantData) reply.data.clear();
    });
    if (forced) reply.status = lastError;
    if (reply.status != 0) reply.data.clear();
    log.add("status", reply.status);
    if (reply.status == 0 || reply.status == kErrorMoreData) log.add("type", reply.type).add("byteCount", reply.size);
    return reply.encode();
  }

  if (auto* r = std::get_if<RegSetValueRequest>(&request)) {
    log.add("key", keyName(r->key));
    if (r->valueName) log.add("valueName", *r->valueName);
    else log.addNull("valueName");
    log.add("type", r->type).add("byteCount", r->byteCount).addHex("data", r->data);
    if (r->type == kRegSz) log.add("text", regText(r->data));
    ResultReply reply;
    reply.result = kErrorInvalidParameter;
    perform([&] {
      // The byte count says how much of the block is the value.
      if (r->byteCount > r->data.size()) return;
      std::vector<uint8_t> value(r->data.begin(), r->data.begin() + r->byteCount);
      reply.result = device_.regSetValue(session_, r->key, r->valueName.value_or(u""), r->type, value);
    });
    if (forced) reply.result = lastError;
    log.add("status", reply.result);
    return reply.encode();
  }

  if (auto* r = std::get_if<GetStoreInformationRequest>(&request)) {
    StoreInformationReply reply;
    reply.wantInfo = r->wantInfo;
    perform([&] {
      if (!r->wantInfo) {
        lastError = kErrorInvalidParameter;
        return;
      }
      device_.storeInformation(reply.storeSize, reply.freeSize);
      reply.hasInfo = true;
      reply.result = 1;
    });
    reply.lastError = lastError;
    log.add("result", reply.result).add("storeSize", reply.storeSize).add("freeSize", reply.freeSize)
        .add("lastError", lastError);
    return reply.encode();
  }

  // Every alternative of the request variant is handled above.
  return ErrorReply{kHrNotImplemented}.encode();
}

} // namespace pspc
