// What the exported calls make of a device's reply once the codec has read
// it: the shape of reply a request implies, and what of the reply reaches
// the caller's memory. Free of Windows headers: the reply fuzzer (tests/fuzz)
// runs this same code natively over replies no device should send.
#pragma once

#include "../protocol/rapi_commands.h"

#include <algorithm>
#include <cstring>

namespace rapi {

// CeReadFile: the bytes read, into the caller's buffer. The codec has held
// their count to the count asked for, so they fit. Returns the count.
inline uint32_t copyReadData(const rapiwire::ReadFileReply& reply, void* buffer) {
  if (!reply.data.empty()) std::memcpy(buffer, reply.data.data(), reply.data.size());
  return uint32_t(reply.data.size());
}

// CeWriteFile: never more than was sent, whatever the device claims.
inline uint32_t writtenCount(const rapiwire::WriteFileReply& reply, uint32_t sent) {
  return std::min(reply.written, sent);
}

template <typename FileTime> void setFileTime(FileTime& time, uint64_t value) {
  time.dwLowDateTime = uint32_t(value);
  time.dwHighDateTime = uint32_t(value >> 32);
}

// CeFindAllFiles: one entry into the caller's CE_FIND_DATA (or a record with
// its fields). The name is always terminated, even one that fills the field.
template <typename FindData> void fillFindData(const rapiwire::FindEntry& entry, FindData& out) {
  static_assert(sizeof(out.cFileName[0]) == sizeof(char16_t), "device names are UTF-16");
  constexpr size_t capacity = sizeof(out.cFileName) / sizeof(out.cFileName[0]);
  out.dwFileAttributes = entry.attributes;
  setFileTime(out.ftCreationTime, entry.creationTime);
  setFileTime(out.ftLastAccessTime, entry.lastAccessTime);
  setFileTime(out.ftLastWriteTime, entry.lastWriteTime);
  out.nFileSizeHigh = entry.sizeHigh;
  out.nFileSizeLow = entry.sizeLow;
  out.dwOID = entry.oid;
  const size_t units = std::min(entry.name.size(), capacity - 1);
  std::memcpy(out.cFileName, entry.name.data(), units * sizeof(char16_t));
  out.cFileName[units] = 0;
}

// CeRegOpenKeyEx and CeRegCreateKeyEx: a created key's reply carries the
// disposition whether or not it is wanted.
template <typename Request> rapiwire::RegKeyReply keyReplyFor(const Request&) {
  rapiwire::RegKeyReply reply;
  reply.withDisposition = Request::kCommand == rapiwire::Command::RegCreateKeyEx;
  return reply;
}

// CeRegQueryValueEx: what the request asked for decides which out-values
// travel back, and the data may fill no more than the capacity it gave.
inline rapiwire::RegQueryValueReply queryValueReplyFor(const rapiwire::RegQueryValueRequest& request) {
  rapiwire::RegQueryValueReply reply;
  reply.wantType = request.wantType;
  reply.wantData = request.wantData;
  reply.hasSize = request.hasSize;
  return reply;
}
inline uint32_t queryValueCapacity(const rapiwire::RegQueryValueRequest& request) {
  return request.wantData ? request.dataCapacity : 0u;
}

// The out-values of a query the device answered with its status; each
// pointer may be null. The data travels only on success, and the codec has
// held it to the capacity, which is at most the caller's byte count.
template <typename Word>
void copyQueryValue(const rapiwire::RegQueryValueReply& reply, Word* type, uint8_t* data, Word* byteCount) {
  if (reply.status != 0 && reply.status != rapiwire::kErrorMoreData) return;
  if (type) *type = reply.type;
  if (reply.status == 0 && data && !reply.data.empty()) std::memcpy(data, reply.data.data(), reply.data.size());
  if (byteCount) *byteCount = (reply.status == 0 && data) ? Word(reply.data.size()) : Word(reply.size);
}

} // namespace rapi
