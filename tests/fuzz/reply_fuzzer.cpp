// The desktop's end of the link under a fuzzer: rapi.dll reading whatever
// answers on a device's address. Each input is a short session
// (reply_fuzz_input.h): the calls a program makes and the bytes that come
// back, cut into reply packets by rapi.dll's ReplyInbox, read by the codec
// with the shape each request gives its reply, and handed to the caller by
// rapi.dll's own copying (call_replies.h) into memory of exactly the size the
// caller gave, so that AddressSanitizer sees any byte written past it. Or
// the connection manager's answers on its channel, read as rapi.dll reads
// them (device_route.h).
//
// Beyond the sanitizers, each input is held to what callers rely on:
//   - each reply packet is the very bytes the device sent for it;
//   - nothing reaches a caller beyond what it asked for or could hold;
//   - a device record rapi.dll accepts names a port, an IPv4 address, and a
//     password prelude whose count matches its bytes.
// Allocations are capped (-malloc_limit_mb in run.sh), so one sized by what
// the peer announces, before it is checked, is a finding too.
#include "call_replies.h"
#include "device_route.h"
#include "fuzz_kit.h"
#include "link_channel.h"
#include "reply_fuzz_input.h"
#include "reply_inbox.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

using namespace rapiwire;
using pspc::replyfuzz::Call;

[[noreturn]] void finding(const std::string& what, const std::string& detail = "") {
  fuzzkit::finding("reply fuzzer", what, detail);
}

// The CE_FIND_DATA fields rapi.dll fills, laid out natively.
struct FileTime {
  uint32_t dwLowDateTime, dwHighDateTime;
};
struct FindRecord {
  uint32_t dwFileAttributes;
  FileTime ftCreationTime, ftLastAccessTime, ftLastWriteTime;
  uint32_t nFileSizeHigh, nFileSizeLow, dwOID;
  char16_t cFileName[260];
};

// The device's side of the link: the input's bytes, handed out in
// deliveries of at most `delivery` bytes; then a closed connection.
class Device {
public:
  Device(const uint8_t* data, size_t size, size_t delivery) : data_(data), size_(size), delivery_(delivery) {}

  rapi::LinkError receive(uint8_t* into, size_t room, size_t& got) {
    if (at_ == size_) return rapi::LinkError::Closed;
    size_t n = std::min(room, size_ - at_);
    if (delivery_) n = std::min(n, delivery_);
    std::memcpy(into, data_ + at_, n);
    at_ += n;
    got = n;
    return rapi::LinkError::None;
  }

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

private:
  const uint8_t* data_;
  size_t size_, delivery_;
  size_t at_ = 0;
};

class Session {
  auto receiver() {
    return [this](uint8_t* into, size_t room, size_t& got) { return device_.receive(into, room, got); };
  }

public:
  Session(const uint8_t* data, size_t size, size_t delivery) : device_(data, size, delivery) {}

  bool takeUnlockAnswer() {
    uint8_t answer = 0;
    if (inbox_.takeByte(receiver(), answer) != rapi::LinkError::None) return false;
    if (answer != device_.data()[0]) finding("the password's answer is not the byte the device sent");
    taken_ = 1;
    return answer != 0;
  }

  // One call: false once the link would be dropped.
  bool call(const Call& call) {
    std::vector<uint8_t> packet;
    if (inbox_.take(receiver(), packet) != rapi::LinkError::None) return false;
    checkPacket(packet);
    switch (pspc::replyfuzz::kCalls[call.index % 16]) {
    case Command::ReadFile:
      return readFile(packet, call);
    case Command::WriteFile: {
      WriteFileReply reply;
      if (!decoded(packet, reply)) return alive_;
      if (rapi::writtenCount(reply, pspc::replyfuzz::byteCount(call)) > pspc::replyfuzz::byteCount(call))
        finding("CeWriteFile reports more bytes written than were sent");
      return true;
    }
    case Command::FindAllFiles:
      return findAllFiles(packet, call);
    case Command::GetFileSize: {
      GetFileSizeReply reply;
      reply.wantHigh = call.p1 & 1;
      decoded(packet, reply);
      return alive_;
    }
    case Command::CreateProcess: {
      CreateProcessReply reply;
      reply.wantInformation = call.p1 & 1;
      decoded(packet, reply);
      return alive_;
    }
    case Command::GetStoreInformation: {
      StoreInformationReply reply;
      decoded(packet, reply);
      return alive_;
    }
    case Command::RegOpenKeyEx:
      return keyCall(packet, RegOpenKeyRequest{});
    case Command::RegCreateKeyEx:
      return keyCall(packet, RegCreateKeyRequest{});
    case Command::RegQueryValueEx:
      return queryValue(packet, call);
    case Command::CreateFile:
    case Command::CloseHandle:
    case Command::CreateDirectory:
    case Command::MoveFile:
    case Command::DeleteFile:
    case Command::RegCloseKey:
    case Command::RegSetValueEx: {
      ResultReply reply;
      decoded(packet, reply);
      return alive_;
    }
    }
    return false;
  }

private:
  // The packet must be the bytes the device sent after those already taken.
  void checkPacket(const std::vector<uint8_t>& packet) {
    if (device_.size() - taken_ < 4 + packet.size()) finding("a reply longer than what the device sent");
    const uint8_t* sent = device_.data() + taken_;
    if (loadLe32(sent) != packet.size() ||
        (!packet.empty() && std::memcmp(sent + 4, packet.data(), packet.size()) != 0))
      finding("a reply packet that is not the bytes the device sent for it");
    taken_ += 4 + packet.size();
  }

  // Decodes as rapi.dll's deviceCall does: a malformed reply drops the link,
  // a refusal keeps it.
  template <typename Body, typename... Context>
  bool decoded(const std::vector<uint8_t>& packet, Body& body, Context... context) {
    uint32_t refusal = 0;
    ReplyStatus status = decodeReply(packet, body, refusal, context...);
    alive_ = status != ReplyStatus::Malformed;
    return status == ReplyStatus::Ok;
  }

  bool readFile(const std::vector<uint8_t>& packet, const Call& call) {
    const uint32_t count = pspc::replyfuzz::byteCount(call);
    ReadFileReply reply;
    reply.hasBuffer = true;
    if (!decoded(packet, reply, count)) return alive_;
    if (reply.data.size() > count) finding("CeReadFile got more bytes than it asked for");
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[count]);
    if (rapi::copyReadData(reply, buffer.get()) != reply.data.size()) finding("CeReadFile's count is not its bytes");
    return true;
  }

  bool findAllFiles(const std::vector<uint8_t>& packet, const Call& call) {
    FindAllFilesReply reply;
    reply.flags = call.p1;
    if (!decoded(packet, reply)) return alive_;
    if (reply.entries.size() > kMaxFindEntries) finding("CeFindAllFiles took more entries than the cap");
    if (reply.entries.empty()) return true;
    std::unique_ptr<FindRecord[]> records(new FindRecord[reply.entries.size()]);
    for (size_t i = 0; i < reply.entries.size(); ++i) {
      if (reply.entries[i].name.size() >= kMaxPathUnits) finding("a found name longer than a device path");
      rapi::fillFindData(reply.entries[i], records[i]);
    }
    return true;
  }

  template <typename Request> bool keyCall(const std::vector<uint8_t>& packet, const Request& request) {
    RegKeyReply reply = rapi::keyReplyFor(request);
    decoded(packet, reply);
    return alive_;
  }

  bool queryValue(const std::vector<uint8_t>& packet, const Call& call) {
    RegQueryValueRequest request;
    request.wantType = call.p1 & 1;
    request.wantData = call.p1 & 2;
    request.hasSize = (call.p1 & 4) || request.wantData;
    request.dataCapacity = call.p2 * 17u;
    RegQueryValueReply reply = rapi::queryValueReplyFor(request);
    if (!decoded(packet, reply, rapi::queryValueCapacity(request))) return alive_;
    uint32_t type = 0, byteCount = request.dataCapacity;
    std::unique_ptr<uint8_t[]> data(request.wantData ? new uint8_t[request.dataCapacity] : nullptr);
    rapi::copyQueryValue(reply, request.wantType ? &type : nullptr, data.get(), request.hasSize ? &byteCount : nullptr);
    if (reply.status == 0 && data && byteCount > request.dataCapacity)
      finding("CeRegQueryValueEx reports more data than the caller's buffer holds");
    return true;
  }

  Device device_;
  rapi::ReplyInbox inbox_;
  size_t taken_ = 0; // bytes of the stream handed out so far
  bool alive_ = true;
};

void channelAnswers(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  size_t at = 0;
  bool first = true;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    // rapi.dll gives up on a line longer than this.
    if (end - at > linkchannel::kMaxLineBytes) return;
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (first) {
      linkchannel::parseChannelFile(line);
      first = false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    linkchannel::DeviceRecord route;
    std::string reason;
    if (rapi::readDeviceAnswer(line, route, reason) != rapi::AnswerKind::Device) continue;
    if (route.rapiPort == 0 || !linkchannel::isDottedAddress(route.address))
      finding("a device record accepted without a port or an address: " + line);
    if (!route.prelude.empty() &&
        (route.prelude.size() < 4 || route.prelude.size() - 2 != controlwire::loadLe16(route.prelude.data())))
      finding("a password prelude accepted whose count is not its bytes: " + line);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pspc::replyfuzz;
  if (size < kHeaderBytes) return 0;
  if (data[0] & kChannelMode) {
    channelAnswers(data + 1, size - 1);
    return 0;
  }
  const size_t calls = (data[1] & 7) + 1u;
  const bool locked = data[1] & kLocked;
  if (size < kHeaderBytes + calls * kCallBytes) return 0;
  const uint8_t* stream = data + kHeaderBytes + calls * kCallBytes;
  Session session(stream, size - kHeaderBytes - calls * kCallBytes, deliverySize(data[0]));
  if (locked && !session.takeUnlockAnswer()) return 0;
  for (size_t i = 0; i < calls; ++i) {
    const uint8_t* c = data + kHeaderBytes + i * kCallBytes;
    if (!session.call(Call{c[0], c[1], c[2]})) break;
  }
  return 0;
}
