// Writes the reply fuzzer's seed corpus: for each call a session with the
// reply a device gives it, encoded by the codec, and a few longer sessions
// (a file copy delivered a byte at a time, a refusal, a locked device, two
// replies in one delivery), and the connection manager's answers. The seeds
// in tests/fuzz/reply-corpus are this program's output:
//
//   build/native/bin/reply-fuzz-corpus tests/fuzz/reply-corpus
#include "fuzz_kit.h"
#include "link_channel.h"
#include "rapi_commands.h"
#include "reply_fuzz_input.h"

#include <string>
#include <utility>
#include <vector>

namespace {

using namespace rapiwire;
using pspc::replyfuzz::Call;
using pspc::replyfuzz::callIndex;
using fuzzkit::Bytes;

constexpr uint8_t kWhole = pspc::replyfuzz::kWholeDeliveries;
constexpr uint8_t kByteByByte = 0;

Call call(Command command, uint8_t p1 = 0, uint8_t p2 = 0) { return Call{callIndex(command), p1, p2}; }

Bytes session(uint8_t delivery, const std::vector<Call>& calls, const std::vector<Bytes>& replies,
              bool locked = false) {
  Bytes bytes = pspc::replyfuzz::sessionHeader(delivery, calls, locked);
  if (locked) bytes.push_back(1);
  for (const Bytes& reply : replies) {
    const Bytes framed = frame(reply);
    bytes.insert(bytes.end(), framed.begin(), framed.end());
  }
  return bytes;
}

Bytes result(uint32_t value, uint32_t lastError = 0) {
  ResultReply reply;
  reply.result = value;
  reply.lastError = lastError;
  return reply.encode();
}

// The reply a device gives each call, for the arguments `call` gives it.
Bytes replyFor(Command command) {
  switch (command) {
  case Command::ReadFile: {
    ReadFileReply reply;
    reply.result = 1;
    reply.data = {'s', 'a', 'm', 'p', 'l', 'e'};
    return reply.encode();
  }
  case Command::WriteFile: {
    WriteFileReply reply;
    reply.result = 1;
    reply.written = 4096;
    return reply.encode();
  }
  case Command::FindAllFiles: {
    FindAllFilesReply reply;
    reply.flags = 0xFF;
    FindEntry entry;
    entry.attributes = 0x20;
    entry.creationTime = 0x01D0000000000000ull;
    entry.sizeLow = 123456;
    entry.oid = 77;
    entry.name = u"mfc.dll";
    reply.entries = {entry, entry};
    reply.entries[1].name = u"Temp";
    reply.entries[1].attributes = 0x10;
    return reply.encode();
  }
  case Command::GetFileSize: {
    GetFileSizeReply reply;
    reply.size = 2600;
    reply.wantHigh = true;
    reply.high = 0;
    return reply.encode();
  }
  case Command::CreateProcess: {
    CreateProcessReply reply;
    reply.result = 1;
    reply.information = {0x1234, 0x1238, 0x40, 0x44};
    return reply.encode();
  }
  case Command::GetStoreInformation: {
    StoreInformationReply reply;
    reply.result = 1;
    reply.hasInfo = true;
    reply.storeSize = 8u << 20;
    reply.freeSize = 3u << 20;
    return reply.encode();
  }
  case Command::RegOpenKeyEx: {
    RegKeyReply reply;
    reply.key = 0x2004;
    return reply.encode();
  }
  case Command::RegCreateKeyEx: {
    RegKeyReply reply;
    reply.key = 0x2008;
    reply.withDisposition = true;
    reply.disposition = 1;
    return reply.encode();
  }
  case Command::RegQueryValueEx: {
    RegQueryValueReply reply;
    reply.type = 1;
    reply.data = {'1', 0, '.', 0, '0', 0, 0, 0};
    reply.size = 8;
    return reply.encode();
  }
  case Command::CreateFile:
    return result(0x1004);
  default:
    return result(1);
  }
}

// The caller's arguments that suit replyFor's reply.
Call callFor(Command command) {
  switch (command) {
  case Command::ReadFile:
    return call(command, 0x00, 0x10); // 4096 bytes
  case Command::WriteFile:
    return call(command, 0x00, 0x10);
  case Command::FindAllFiles:
    return call(command, 0xFF);
  case Command::GetFileSize:
    return call(command, 1);
  case Command::CreateProcess:
    return call(command, 1);
  case Command::RegQueryValueEx:
    return call(command, 7, 4); // type, data, count; 68 bytes of room
  default:
    return call(command);
  }
}

std::string deviceRecord(const std::string& extra) {
  std::string line = linkchannel::formatLine("device", {{"name", "PsPC"},
                                                        {"platform", "Palm PC"},
                                                        {"model", "MP-1"},
                                                        {"os", "2.11"},
                                                        {"build", "348"},
                                                        {"cpu", "4000"},
                                                        {"address", "192.168.131.201"},
                                                        {"rapi-port", "990"},
                                                        {"since", "1700000000"},
                                                        {"attach", "3"},
                                                        {"locked", extra.empty() ? "0" : "1"},
                                                        {"state", "unlocked"}});
  if (!extra.empty()) line.insert(line.size() - 1, " " + extra);
  return line;
}

Bytes channel(const std::string& text) {
  Bytes bytes{pspc::replyfuzz::kChannelMode};
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

} // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, Bytes>> seeds;

  for (Command command : kAllCommands)
    seeds.emplace_back(std::string("reply-") + commandName(command),
          session(kWhole, {callFor(command)}, {replyFor(command)}));

  // A package file copied as the setup program copies it, a byte at a time.
  seeds.emplace_back("session-file-copy",
        session(kByteByByte,
                {call(Command::GetStoreInformation), callFor(Command::CreateFile), callFor(Command::WriteFile),
                 callFor(Command::WriteFile), call(Command::CloseHandle), callFor(Command::GetFileSize)},
                {replyFor(Command::GetStoreInformation), replyFor(Command::CreateFile), replyFor(Command::WriteFile),
                 replyFor(Command::WriteFile), result(1), replyFor(Command::GetFileSize)}));
  // A refusal keeps the link; the next call goes on.
  seeds.emplace_back("session-refusal",
        session(30, {call(Command::CreateDirectory), call(Command::MoveFile)},
                {ErrorReply{kHrNotImplemented}.encode(), result(0, 183)}));
  // A locked device answers the password, then the calls.
  seeds.emplace_back("session-locked",
        session(kWhole, {call(Command::GetStoreInformation), callFor(Command::RegQueryValueEx)},
                {replyFor(Command::GetStoreInformation), replyFor(Command::RegQueryValueEx)}, true));
  // A value larger than the caller's buffer: its size only.
  RegQueryValueReply moreData;
  moreData.status = kErrorMoreData;
  moreData.type = 3;
  moreData.size = 5000;
  seeds.emplace_back("session-more-data", session(kWhole, {call(Command::RegQueryValueEx, 7, 1)}, {moreData.encode()}));
  // Registry work: a key created, a value set, the key closed.
  seeds.emplace_back("session-registry",
        session(3, {call(Command::RegCreateKeyEx), call(Command::RegSetValueEx), call(Command::RegCloseKey)},
                {replyFor(Command::RegCreateKeyEx), result(0), result(0)}));

  seeds.emplace_back("channel-answers",
        channel("12345 " + std::string(64, 'a') + "\nok\nnone\n" + deviceRecord("") + "gone\n"));
  seeds.emplace_back("channel-locked-device",
        channel("ok\n" + deviceRecord("prelude=0e00" + std::string(28, '5')) + "error wrong token\n"));
  return fuzzkit::writeSeeds(argc, argv, "reply-fuzz-corpus", seeds);
}
