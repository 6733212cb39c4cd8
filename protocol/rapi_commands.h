// The RAPI requests and replies of a Windows CE 2.x device ("RAPI v1"), for the
// calls the desktop side makes: command codes, argument order and reply layouts.
//
// A request is one packet: the u32 command code, then the arguments. A reply is
// one packet: a u32 status word (0: the call ran; 1: the device refused it and
// an HRESULT follows), then the device's last error, the call's result and any
// out-data. One codec serves both ends: the desktop library encodes requests
// and decodes replies, the device emulator decodes requests and encodes replies.
#pragma once

#include "wire_primitives.h"

#include <array>
#include <variant>

namespace rapiwire {

enum class Command : uint32_t {
  CreateFile = 0x05,
  ReadFile = 0x06,
  WriteFile = 0x07,
  CloseHandle = 0x08,
  FindAllFiles = 0x09,
  CreateDirectory = 0x17,
  CreateProcess = 0x19,
  MoveFile = 0x1a,
  DeleteFile = 0x1c,
  GetFileSize = 0x1d,
  RegOpenKeyEx = 0x1e,
  RegCreateKeyEx = 0x20,
  RegCloseKey = 0x21,
  RegQueryValueEx = 0x26,
  RegSetValueEx = 0x27,
  GetStoreInformation = 0x29,
};

// Every command the link carries, in the order of their codes.
inline constexpr Command kAllCommands[] = {
    Command::CreateFile,   Command::ReadFile,        Command::WriteFile,     Command::CloseHandle,
    Command::FindAllFiles, Command::CreateDirectory, Command::CreateProcess, Command::MoveFile,
    Command::DeleteFile,   Command::GetFileSize,     Command::RegOpenKeyEx,  Command::RegCreateKeyEx,
    Command::RegCloseKey,  Command::RegQueryValueEx, Command::RegSetValueEx, Command::GetStoreInformation,
};

const char* commandName(Command command);

// CeFindAllFiles selects the fields of each entry with these flags.
enum FindFlags : uint32_t {
  kFafAttributes = 0x01,
  kFafCreationTime = 0x02,
  kFafLastAccessTime = 0x04,
  kFafLastWriteTime = 0x08,
  kFafSizeHigh = 0x10,
  kFafSizeLow = 0x20,
  kFafOid = 0x40,
  kFafName = 0x80,
};

// ---------------------------------------------------------------- requests

struct CreateFileRequest {
  static constexpr Command kCommand = Command::CreateFile;
  std::optional<std::u16string> path;
  uint32_t access = 0, share = 0, disposition = 0, flagsAndAttributes = 0, templateFile = 0;
  void encodeArgs(Writer& w) const {
    w.u32(access); w.u32(share); w.u32(disposition); w.u32(flagsAndAttributes); w.u32(templateFile);
    w.string(path);
  }
  bool decodeArgs(Reader& r) {
    return r.u32(access) && r.u32(share) && r.u32(disposition) && r.u32(flagsAndAttributes) &&
           r.u32(templateFile) && r.string(path);
  }
};

struct ReadFileRequest {
  static constexpr Command kCommand = Command::ReadFile;
  uint32_t handle = 0;
  bool hasBuffer = true;
  uint32_t count = 0;
  void encodeArgs(Writer& w) const {
    w.u32(handle);
    w.optionalOut(hasBuffer, count);
    w.optionalIn(false, nullptr, 0); // no overlapped structure
  }
  bool decodeArgs(Reader& r) {
    Reader::Optional buffer;
    bool overlapped = false;
    std::vector<uint8_t> unused;
    if (!r.u32(handle) || !r.optional(buffer, UINT32_MAX) || !r.optionalIn(overlapped, unused, 64)) return false;
    hasBuffer = buffer.present;
    count = buffer.size;
    return true;
  }
};

struct WriteFileRequest {
  static constexpr Command kCommand = Command::WriteFile;
  uint32_t handle = 0;
  bool hasBuffer = true;
  std::vector<uint8_t> data;
  void encodeArgs(Writer& w) const {
    w.u32(handle);
    w.optionalIn(hasBuffer, data.data(), uint32_t(data.size()));
    w.optionalIn(false, nullptr, 0);
  }
  bool decodeArgs(Reader& r) {
    bool overlapped = false;
    std::vector<uint8_t> unused;
    return r.u32(handle) && r.optionalIn(hasBuffer, data, kMaxDataBytes) && r.optionalIn(overlapped, unused, 64);
  }
};

struct CloseHandleRequest {
  static constexpr Command kCommand = Command::CloseHandle;
  uint32_t handle = 0;
  void encodeArgs(Writer& w) const { w.u32(handle); }
  bool decodeArgs(Reader& r) { return r.u32(handle); }
};

struct FindAllFilesRequest {
  static constexpr Command kCommand = Command::FindAllFiles;
  std::optional<std::u16string> pattern;
  uint32_t flags = 0;
  void encodeArgs(Writer& w) const { w.string(pattern); w.u32(flags); }
  bool decodeArgs(Reader& r) { return r.string(pattern) && r.u32(flags); }
};

struct CreateDirectoryRequest {
  static constexpr Command kCommand = Command::CreateDirectory;
  std::optional<std::u16string> path;
  void encodeArgs(Writer& w) const { w.optionalString(path); w.optionalIn(false, nullptr, 0); }
  bool decodeArgs(Reader& r) {
    bool security = false;
    std::vector<uint8_t> unused;
    return r.optionalString(path) && r.optionalIn(security, unused, 64);
  }
};

struct CreateProcessRequest {
  static constexpr Command kCommand = Command::CreateProcess;
  std::optional<std::u16string> application, commandLine;
  uint32_t inheritHandles = 0, creationFlags = 0;
  bool wantProcessInformation = true;
  // Seven words follow the two strings: process and thread security, handle
  // inheritance, creation flags, environment, current folder, startup record.
  // Pointers do not travel; the words in their places are zero.
  void encodeArgs(Writer& w) const {
    w.optionalString(application);
    w.optionalString(commandLine);
    const uint32_t words[7] = {0, 0, inheritHandles, creationFlags, 0, 0, 0};
    for (uint32_t word : words) w.u32(word);
    w.optionalOut(wantProcessInformation, 16);
  }
  bool decodeArgs(Reader& r) {
    if (!r.optionalString(application) || !r.optionalString(commandLine)) return false;
    uint32_t words[7] = {};
    for (uint32_t& word : words)
      if (!r.u32(word)) return false;
    inheritHandles = words[2];
    creationFlags = words[3];
    Reader::Optional info;
    if (!r.optional(info, 64)) return false;
    wantProcessInformation = info.present;
    return true;
  }
};

struct MoveFileRequest {
  static constexpr Command kCommand = Command::MoveFile;
  std::optional<std::u16string> from, to;
  void encodeArgs(Writer& w) const { w.optionalString(from); w.optionalString(to); }
  bool decodeArgs(Reader& r) { return r.optionalString(from) && r.optionalString(to); }
};

struct DeleteFileRequest {
  static constexpr Command kCommand = Command::DeleteFile;
  std::optional<std::u16string> path;
  void encodeArgs(Writer& w) const { w.optionalString(path); }
  bool decodeArgs(Reader& r) { return r.optionalString(path); }
};

struct GetFileSizeRequest {
  static constexpr Command kCommand = Command::GetFileSize;
  uint32_t handle = 0;
  bool wantHigh = false;
  void encodeArgs(Writer& w) const { w.u32(handle); w.optionalOut(wantHigh, 4); }
  bool decodeArgs(Reader& r) {
    Reader::Optional high;
    if (!r.u32(handle) || !r.optional(high, 4)) return false;
    wantHigh = high.present;
    return true;
  }
};

struct RegOpenKeyRequest {
  static constexpr Command kCommand = Command::RegOpenKeyEx;
  uint32_t key = 0;
  std::optional<std::u16string> subKey;
  void encodeArgs(Writer& w) const { w.u32(key); w.string(subKey); }
  bool decodeArgs(Reader& r) { return r.u32(key) && r.string(subKey); }
};

struct RegCreateKeyRequest {
  static constexpr Command kCommand = Command::RegCreateKeyEx;
  uint32_t key = 0;
  std::optional<std::u16string> subKey, className;
  void encodeArgs(Writer& w) const { w.u32(key); w.string(subKey); w.string(className); }
  bool decodeArgs(Reader& r) { return r.u32(key) && r.string(subKey) && r.string(className); }
};

struct RegCloseKeyRequest {
  static constexpr Command kCommand = Command::RegCloseKey;
  uint32_t key = 0;
  void encodeArgs(Writer& w) const { w.u32(key); }
  bool decodeArgs(Reader& r) { return r.u32(key); }
};

struct RegQueryValueRequest {
  static constexpr Command kCommand = Command::RegQueryValueEx;
  uint32_t key = 0;
  std::optional<std::u16string> valueName;
  bool wantType = true;
  bool wantData = true;
  uint32_t dataCapacity = 0;
  bool hasSize = true; // the caller passed a byte count (its buffer's capacity)
  void encodeArgs(Writer& w) const {
    w.u32(key);
    w.optionalString(valueName);
    w.optional(false, nullptr, 4, false); // reserved
    w.optional(wantType, nullptr, 4, false);
    w.optional(wantData, nullptr, dataCapacity, false);
    w.optionalU32(hasSize, dataCapacity, true);
  }
  bool decodeArgs(Reader& r) {
    Reader::Optional reserved, type, data;
    Reader::Optional sizeParam;
    // The data parameter announces the caller's buffer, which may be larger
    // than any value the device holds: accept it and clamp the capacity below.
    if (!r.u32(key) || !r.optionalString(valueName) || !r.optional(reserved, 4) || !r.optional(type, 4) ||
        !r.optional(data, UINT32_MAX) || !r.optional(sizeParam, 4))
      return false;
    wantType = type.present;
    wantData = data.present;
    dataCapacity = data.size;
    hasSize = sizeParam.present;
    if (sizeParam.hasData && sizeParam.size == 4) dataCapacity = loadLe32(sizeParam.data.data());
    if (dataCapacity > kMaxDataBytes) dataCapacity = kMaxDataBytes;
    return true;
  }
};

struct RegSetValueRequest {
  static constexpr Command kCommand = Command::RegSetValueEx;
  uint32_t key = 0;
  std::optional<std::u16string> valueName;
  uint32_t type = 0;
  bool hasData = true;
  std::vector<uint8_t> data;
  uint32_t byteCount = 0;
  void encodeArgs(Writer& w) const {
    w.u32(key);
    w.optionalString(valueName);
    w.u32(type);
    w.optional(hasData, data.data(), uint32_t(data.size()), true);
    w.u32(byteCount);
  }
  bool decodeArgs(Reader& r) {
    Reader::Optional block;
    if (!r.u32(key) || !r.optionalString(valueName) || !r.u32(type) || !r.optional(block, kMaxDataBytes) ||
        !r.u32(byteCount))
      return false;
    hasData = block.present;
    data = std::move(block.data);
    return true;
  }
};

struct GetStoreInformationRequest {
  static constexpr Command kCommand = Command::GetStoreInformation;
  bool wantInfo = true;
  void encodeArgs(Writer& w) const { w.optionalOut(wantInfo, 8); }
  bool decodeArgs(Reader& r) {
    Reader::Optional info;
    if (!r.optional(info, 64)) return false;
    wantInfo = info.present;
    return true;
  }
};

using Request = std::variant<CreateFileRequest, ReadFileRequest, WriteFileRequest, CloseHandleRequest,
                             FindAllFilesRequest, CreateDirectoryRequest, CreateProcessRequest, MoveFileRequest,
                             DeleteFileRequest, GetFileSizeRequest, RegOpenKeyRequest, RegCreateKeyRequest,
                             RegCloseKeyRequest, RegQueryValueRequest, RegSetValueRequest,
                             GetStoreInformationRequest>;

template <typename R> std::vector<uint8_t> encodeRequest(const R& request) {
  Writer w;
  w.u32(uint32_t(R::kCommand));
  request.encodeArgs(w);
  return w.take();
}

enum class DecodeStatus { Ok, Malformed, UnknownCommand };

namespace detail {
template <size_t I = 0> bool decodeAlternative(uint32_t code, Reader& r, Request& out, bool& known) {
  if constexpr (I < std::variant_size_v<Request>) {
    using Alt = std::variant_alternative_t<I, Request>;
    if (uint32_t(Alt::kCommand) == code) {
      known = true;
      Alt request;
      if (!request.decodeArgs(r)) return false;
      out = std::move(request);
      return true;
    }
    return decodeAlternative<I + 1>(code, r, out, known);
  } else {
    return false;
  }
}
} // namespace detail

// Decodes one request packet. Bytes left over after the arguments are
// malformed: a device that skipped them would misread the next request.
inline DecodeStatus decodeRequest(const std::vector<uint8_t>& payload, Request& out, uint32_t& code) {
  Reader r(payload);
  code = 0;
  if (!r.u32(code)) return DecodeStatus::Malformed;
  bool known = false;
  bool decoded = detail::decodeAlternative(code, r, out, known);
  if (!known) return DecodeStatus::UnknownCommand;
  return decoded && r.atEnd() ? DecodeStatus::Ok : DecodeStatus::Malformed;
}

inline Command requestCommand(const Request& request) {
  return std::visit([](const auto& r) { return std::decay_t<decltype(r)>::kCommand; }, request);
}

// ---------------------------------------------------------------- replies

// The device refused the call as a whole; the HRESULT says why.
struct ErrorReply {
  uint32_t hresult = 0;
  std::vector<uint8_t> encode() const { Writer w; w.u32(1); w.u32(hresult); return w.take(); }
};

enum class ReplyStatus { Ok, RapiError, Malformed };

// Reads the status word; on a refusal, the HRESULT.
inline ReplyStatus decodeReplyHead(Reader& r, uint32_t& hresult) {
  uint32_t status = 0;
  hresult = 0;
  if (!r.u32(status)) return ReplyStatus::Malformed;
  if (status == 0) return ReplyStatus::Ok;
  if (status == 1 && r.u32(hresult)) return ReplyStatus::RapiError;
  return ReplyStatus::Malformed;
}

// Last error and a 32-bit result: CloseHandle, DeleteFile, MoveFile,
// CreateDirectory, CreateFile (the result is the handle), RegCloseKey and
// RegSetValueEx (the result is the registry status).
struct ResultReply {
  uint32_t lastError = 0, result = 0;
  std::vector<uint8_t> encode() const { Writer w; w.u32(0); w.u32(lastError); w.u32(result); return w.take(); }
  bool decodeBody(Reader& r) { return r.u32(lastError) && r.u32(result); }
};

struct ReadFileReply {
  uint32_t lastError = 0, result = 0;
  std::vector<uint8_t> data; // bytes read; travels only when the caller gave a buffer
  bool hasBuffer = true;
  std::vector<uint8_t> encode() const {
    Writer w;
    w.u32(0); w.u32(lastError); w.u32(result); w.u32(uint32_t(data.size()));
    if (hasBuffer) w.raw(data.data(), data.size());
    return w.take();
  }
  // `requested` caps the count the device may announce.
  bool decodeBody(Reader& r, uint32_t requested) {
    uint32_t count = 0;
    if (!r.u32(lastError) || !r.u32(result) || !r.u32(count)) return false;
    if (count > requested || count > kMaxDataBytes) return r.fail();
    if (!hasBuffer) { data.clear(); return true; }
    return r.bytes(data, count);
  }
};

struct WriteFileReply {
  uint32_t lastError = 0, result = 0, written = 0;
  std::vector<uint8_t> encode() const {
    Writer w; w.u32(0); w.u32(lastError); w.u32(result); w.u32(written); return w.take();
  }
  bool decodeBody(Reader& r) { return r.u32(lastError) && r.u32(result) && r.u32(written); }
};

struct GetFileSizeReply {
  uint32_t lastError = 0, size = 0;
  std::optional<uint32_t> high; // present when the caller asked for it
  bool wantHigh = false;
  std::vector<uint8_t> encode() const {
    Writer w;
    w.u32(0); w.u32(lastError); w.u32(size);
    w.optionalU32(wantHigh, high.value_or(0), high.has_value());
    return w.take();
  }
  bool decodeBody(Reader& r) { return r.u32(lastError) && r.u32(size) && r.optionalU32(high); }
};

struct ProcessInformation {
  uint32_t process = 0, thread = 0, processId = 0, threadId = 0;
};

struct CreateProcessReply {
  uint32_t lastError = 0, result = 0;
  bool wantInformation = true;
  ProcessInformation information;
  std::vector<uint8_t> encode() const {
    Writer w;
    w.u32(0); w.u32(lastError); w.u32(result);
    Writer block;
    block.u32(information.process); block.u32(information.thread);
    block.u32(information.processId); block.u32(information.threadId);
    w.optional(wantInformation, block.bytes().data(), 16, result != 0);
    return w.take();
  }
  bool decodeBody(Reader& r) {
    Reader::Optional block;
    if (!r.u32(lastError) || !r.u32(result) || !r.optional(block, 64)) return false;
    if (block.hasData && block.size >= 16) {
      Reader b(block.data);
      b.u32(information.process); b.u32(information.thread);
      b.u32(information.processId); b.u32(information.threadId);
    }
    return true;
  }
};

struct StoreInformationReply {
  uint32_t lastError = 0, result = 0;
  bool wantInfo = true;
  uint32_t storeSize = 0, freeSize = 0;
  bool hasInfo = false; // the device filled the record
  std::vector<uint8_t> encode() const {
    Writer w;
    w.u32(0); w.u32(lastError); w.u32(result);
    Writer block;
    block.u32(storeSize); block.u32(freeSize);
    w.optional(wantInfo, block.bytes().data(), 8, hasInfo);
    return w.take();
  }
  bool decodeBody(Reader& r) {
    Reader::Optional block;
    if (!r.u32(lastError) || !r.u32(result) || !r.optional(block, 64)) return false;
    hasInfo = block.hasData && block.size >= 8;
    if (hasInfo) {
      Reader b(block.data);
      b.u32(storeSize); b.u32(freeSize);
    }
    return true;
  }
};

// RegOpenKeyEx and RegCreateKeyEx: status, then on success the key (and for a
// creation, the disposition).
struct RegKeyReply {
  uint32_t lastError = 0, status = 0, key = 0, disposition = 0;
  bool withDisposition = false;
  std::vector<uint8_t> encode() const {
    Writer w;
    w.u32(0); w.u32(lastError); w.u32(status);
    if (status == 0) {
      w.u32(key);
      if (withDisposition) w.u32(disposition);
    }
    return w.take();
  }
  bool decodeBody(Reader& r) {
    if (!r.u32(lastError) || !r.u32(status)) return false;
    if (status != 0) return true;
    return r.u32(key) && (!withDisposition || r.u32(disposition));
  }
};

constexpr uint32_t kErrorMoreData = 234;

struct RegQueryValueReply {
  uint32_t lastError = 0, status = 0;
  // What the request asked for decides which out-parameters travel.
  bool wantType = true, wantData = true, hasSize = true;
  uint32_t type = 0;
  std::vector<uint8_t> data; // sent only when status is 0
  uint32_t size = 0;         // bytes of the value (needed size on ERROR_MORE_DATA)
  std::vector<uint8_t> encode() const {
    Writer w;
    w.u32(0); w.u32(lastError); w.u32(status);
    if (status == 0 || status == kErrorMoreData) {
      w.optionalU32(wantType, type, true);
      w.optional(wantData, data.data(), uint32_t(data.size()), status == 0);
      w.optionalU32(hasSize, size, true);
    }
    return w.take();
  }
  bool decodeBody(Reader& r, uint32_t capacity) {
    if (!r.u32(lastError) || !r.u32(status)) return false;
    if ((status != 0 && status != kErrorMoreData) || r.remaining() == 0) return true;
    std::optional<uint32_t> t, s;
    Reader::Optional block;
    if (!r.optionalU32(t) || !r.optional(block, kMaxDataBytes) || !r.optionalU32(s)) return false;
    if (block.hasData && block.size > capacity) return r.fail();
    type = t.value_or(0);
    size = s.value_or(uint32_t(block.data.size()));
    data = std::move(block.data);
    return true;
  }
};

struct FindEntry {
  uint32_t attributes = 0;
  uint64_t creationTime = 0, lastAccessTime = 0, lastWriteTime = 0;
  uint32_t sizeHigh = 0, sizeLow = 0, oid = 0;
  std::u16string name;
};

// CeFindAllFiles: no last error, only the count and the entries, each with the
// fields the flags select. The name's length (in units, with its terminator)
// comes first and its units last.
struct FindAllFilesReply {
  uint32_t flags = 0;
  std::vector<FindEntry> entries;
  std::vector<uint8_t> encode() const {
    Writer w;
    w.u32(0);
    w.u32(uint32_t(entries.size()));
    for (const FindEntry& e : entries) {
      if (flags & kFafName) w.u32(uint32_t(e.name.size() + 1));
      if (flags & kFafAttributes) w.u32(e.attributes);
      auto time = [&](uint64_t t) { w.u32(uint32_t(t)); w.u32(uint32_t(t >> 32)); };
      if (flags & kFafCreationTime) time(e.creationTime);
      if (flags & kFafLastAccessTime) time(e.lastAccessTime);
      if (flags & kFafLastWriteTime) time(e.lastWriteTime);
      if (flags & kFafSizeHigh) w.u32(e.sizeHigh);
      if (flags & kFafSizeLow) w.u32(e.sizeLow);
      if (flags & kFafOid) w.u32(e.oid);
      if (flags & kFafName) w.units(e.name);
    }
    return w.take();
  }
  bool decodeBody(Reader& r) {
    uint32_t count = 0;
    if (!r.u32(count)) return false;
    // Each entry takes at least the bytes of its fixed fields: a count that the
    // rest of the packet cannot hold is refused before anything is reserved.
    size_t fixedBytes = 0;
    for (uint32_t flag : {kFafName, kFafAttributes, kFafSizeHigh, kFafSizeLow, kFafOid})
      if (flags & flag) fixedBytes += 4;
    for (uint32_t flag : {kFafCreationTime, kFafLastAccessTime, kFafLastWriteTime})
      if (flags & flag) fixedBytes += 8;
    if (count > kMaxFindEntries || (fixedBytes && count > r.remaining() / fixedBytes)) return r.fail();
    entries.clear();
    entries.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      FindEntry e;
      uint32_t nameUnits = 0;
      if ((flags & kFafName) && (!r.u32(nameUnits) || nameUnits > kMaxPathUnits)) return r.fail();
      auto time = [&](uint64_t& t) {
        uint32_t lo = 0, hi = 0;
        bool ok = r.u32(lo) && r.u32(hi);
        t = uint64_t(hi) << 32 | lo;
        return ok;
      };
      if ((flags & kFafAttributes) && !r.u32(e.attributes)) return false;
      if ((flags & kFafCreationTime) && !time(e.creationTime)) return false;
      if ((flags & kFafLastAccessTime) && !time(e.lastAccessTime)) return false;
      if ((flags & kFafLastWriteTime) && !time(e.lastWriteTime)) return false;
      if ((flags & kFafSizeHigh) && !r.u32(e.sizeHigh)) return false;
      if ((flags & kFafSizeLow) && !r.u32(e.sizeLow)) return false;
      if ((flags & kFafOid) && !r.u32(e.oid)) return false;
      if ((flags & kFafName) && !r.units(e.name, nameUnits)) return false;
      entries.push_back(std::move(e));
    }
    return true;
  }
};

// Decodes a reply packet into `body` after its status word. Extra arguments
// (the request's sizes) go to the body's decoder.
template <typename Body, typename... Context>
ReplyStatus decodeReply(const std::vector<uint8_t>& payload, Body& body, uint32_t& hresult, Context... context) {
  Reader r(payload);
  ReplyStatus head = decodeReplyHead(r, hresult);
  if (head != ReplyStatus::Ok) return head;
  if (!body.decodeBody(r, context...) || !r.atEnd()) return ReplyStatus::Malformed;
  return ReplyStatus::Ok;
}

inline const char* commandName(Command command) {
  switch (command) {
  case Command::CreateFile: return "CeCreateFile";
  case Command::ReadFile: return "CeReadFile";
  case Command::WriteFile: return "CeWriteFile";
  case Command::CloseHandle: return "CeCloseHandle";
  case Command::FindAllFiles: return "CeFindAllFiles";
  case Command::CreateDirectory: return "CeCreateDirectory";
  case Command::CreateProcess: return "CeCreateProcess";
  case Command::MoveFile: return "CeMoveFile";
  case Command::DeleteFile: return "CeDeleteFile";
  case Command::GetFileSize: return "CeGetFileSize";
  case Command::RegOpenKeyEx: return "CeRegOpenKeyEx";
  case Command::RegCreateKeyEx: return "CeRegCreateKeyEx";
  case Command::RegCloseKey: return "CeRegCloseKey";
  case Command::RegQueryValueEx: return "CeRegQueryValueEx";
  case Command::RegSetValueEx: return "CeRegSetValueEx";
  case Command::GetStoreInformation: return "CeGetStoreInformation";
  }
  return "unknown";
}

} // namespace rapiwire
