// The device's end of the link under a fuzzer: each input is one desktop
// session (fuzz_input.h), served as the emulator's server serves a
// connection — packets through the frame decoder, each request through
// decodeRequest, the injected faults and the session's Dispatcher — against
// a fresh device image on a temporary (memory-backed where possible) folder.
//
// Beyond the sanitizers, each input is held to what the rest of the system
// relies on:
//   - every reply is one the desktop's own codec reads back without error;
//   - every op-log record is a flat JSON object (what `pspcemu log` and the
//     tests read);
//   - a closed session holds no handles;
//   - the image the device leaves behind opens again (registry.dat and
//     attributes.tsv parse) and shows the same free store space.
#include "device.h"
#include "dispatch.h"
#include "faults.h"
#include "fuzz_input.h"
#include "fuzz_kit.h"
#include "identity.h"
#include "op_log.h"
#include "rapi_commands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <type_traits>
#include <unistd.h>

namespace {

using namespace rapiwire;
namespace fs = std::filesystem;

// The server reads the link in blocks of this size.
constexpr size_t kReceiveBlock = 64 * 1024;

std::string hexPrefix(const std::vector<uint8_t>& bytes) {
  std::string out;
  char digits[4];
  for (size_t i = 0; i < bytes.size() && i < 64; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", unsigned(bytes[i]));
    out += digits;
  }
  return bytes.size() > 64 ? out + "..." : out;
}

[[noreturn]] void finding(const std::string& what, const std::string& detail = "") {
  fuzzkit::finding("requests fuzzer", what, detail);
}

// One device image, made afresh for every input so that an input's outcome
// does not depend on the inputs before it (handle values start over too).
class ScratchDevice {
public:
  ScratchDevice() {
    std::error_code ec;
    const fs::path base = fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
                              ? fs::path("/dev/shm")
                              : fs::temp_directory_path();
    std::string pattern = (base / "pspc-requests-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) finding("cannot make a scratch folder", pattern);
    root_ = pattern;
    image_ = root_ / "image";
    // Records are built and written as the server writes them; keeping them
    // would only fill the disk.
    log_ = std::make_unique<pspc::OpLog>("/dev/null");
  }
  ~ScratchDevice() {
    device_.reset();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  ScratchDevice(const ScratchDevice&) = delete;
  ScratchDevice& operator=(const ScratchDevice&) = delete;

  pspc::Device& fresh() {
    device_.reset();
    std::error_code ignored;
    fs::remove_all(image_, ignored);
    std::string error;
    if (!pspc::image::create(image_, pspc::Identity{}, error)) finding("cannot make a device image", error);
    device_ = std::make_unique<pspc::Device>(image_);
    return *device_;
  }
  pspc::OpLog& log() { return *log_; }

  // The image as the device left it must open again, and the store must be
  // counted the same way from the files as the device counted it while
  // writing them.
  void checkReopens() {
    uint32_t storeSize = 0, freeBefore = 0, freeAfter = 0;
    device_->storeInformation(storeSize, freeBefore);
    try {
      pspc::Device reopened(image_);
      reopened.storeInformation(storeSize, freeAfter);
    } catch (const std::exception& failure) {
      finding("the device image does not open again", failure.what());
    }
    if (freeBefore != freeAfter)
      finding("the free store space drifted from the files the image holds",
              std::to_string(freeBefore) + " bytes free while serving, " + std::to_string(freeAfter) +
                  " when opened again");
  }

private:
  fs::path root_, image_;
  std::unique_ptr<pspc::OpLog> log_;
  std::unique_ptr<pspc::Device> device_;
};

// The reply must read back with the desktop's decoder for that call, given
// what the desktop knew when it asked.
template <typename Body, typename... Context>
void expectReadable(const std::vector<uint8_t>& reply, Body body, Command command, Context... context) {
  if (reply.size() > kMaxFrameBytes)
    finding(std::string("a reply to ") + commandName(command) + " is larger than a packet may be",
            std::to_string(reply.size()) + " bytes");
  uint32_t hresult = 0;
  if (decodeReply(reply, body, hresult, context...) != ReplyStatus::Ok)
    finding(std::string("the desktop cannot read the reply to ") + commandName(command), hexPrefix(reply));
}

void checkReply(const Request& request, const std::vector<uint8_t>& reply) {
  std::visit(
      [&](const auto& r) {
        using R = std::decay_t<decltype(r)>;
        constexpr Command command = R::kCommand;
        if constexpr (std::is_same_v<R, ReadFileRequest>) {
          ReadFileReply body;
          body.hasBuffer = r.hasBuffer;
          expectReadable(reply, body, command, r.count);
        } else if constexpr (std::is_same_v<R, WriteFileRequest>) {
          expectReadable(reply, WriteFileReply{}, command);
        } else if constexpr (std::is_same_v<R, FindAllFilesRequest>) {
          FindAllFilesReply body;
          body.flags = r.flags;
          expectReadable(reply, body, command);
        } else if constexpr (std::is_same_v<R, CreateProcessRequest>) {
          expectReadable(reply, CreateProcessReply{}, command);
        } else if constexpr (std::is_same_v<R, GetFileSizeRequest>) {
          expectReadable(reply, GetFileSizeReply{}, command);
        } else if constexpr (std::is_same_v<R, RegOpenKeyRequest>) {
          expectReadable(reply, RegKeyReply{}, command);
        } else if constexpr (std::is_same_v<R, RegCreateKeyRequest>) {
          RegKeyReply body;
          body.withDisposition = true;
          expectReadable(reply, body, command);
        } else if constexpr (std::is_same_v<R, RegQueryValueRequest>) {
          expectReadable(reply, RegQueryValueReply{}, command, r.dataCapacity);
        } else if constexpr (std::is_same_v<R, GetStoreInformationRequest>) {
          expectReadable(reply, StoreInformationReply{}, command);
        } else {
          expectReadable(reply, ResultReply{}, command);
        }
      },
      request);
}

// One request packet, as the server handles it. False when the server would
// close the link.
bool serveRequest(const std::vector<uint8_t>& payload, pspc::Faults& faults, pspc::Dispatcher& dispatcher,
                  pspc::OpLog& log) {
  Request request;
  uint32_t code = 0;
  const DecodeStatus decoded = decodeRequest(payload, request, code);
  if (decoded == DecodeStatus::Malformed) return false;
  if (decoded == DecodeStatus::UnknownCommand) {
    log.write(1, "unknown", pspc::JsonObject().add("command", code).add("bytes", uint32_t(payload.size())));
    return true;
  }
  const std::string op = commandName(requestCommand(request));
  uint32_t injectedError = 0;
  const pspc::Faults::Action action = faults.onCall(op, injectedError);
  if (action == pspc::Faults::Action::Drop) return false;
  // A held call is released at once: the fuzzer has no one to release it.
  pspc::JsonObject entry;
  const std::vector<uint8_t> reply = action == pspc::Faults::Action::Fail
                                         ? dispatcher.fail(request, injectedError, entry)
                                         : dispatcher.run(request, entry);
  if (!pspc::parseFlatJson(entry.str())) finding("an op-log record of " + op + " is not a flat JSON object", entry.str());
  log.write(1, op, entry);
  checkReply(request, reply);
  return true;
}

void serveSession(ScratchDevice& scratch, pspc::Device& device, pspc::Faults& faults, const uint8_t* data,
                  size_t size) {
  const pspc::SessionId session = device.openSession();
  {
    pspc::Dispatcher dispatcher(device, session);
    FrameDecoder decoder;
    bool linkOpen = true;
    std::vector<uint8_t> payload;
    for (size_t offset = 0; linkOpen && offset < size;) {
      size_t usable = std::min(kReceiveBlock, size - offset);
      const bool dropped = faults.onBytes(usable);
      decoder.feed(data + offset, usable);
      offset += usable;
      while (linkOpen) {
        const FrameDecoder::Status status = decoder.next(payload);
        if (status == FrameDecoder::Status::NeedMore) break;
        linkOpen = status == FrameDecoder::Status::Frame && serveRequest(payload, faults, dispatcher, scratch.log());
      }
      if (dropped) linkOpen = false;
    }
  }
  device.closeSession(session);
  if (device.openHandleCount() != 0)
    finding("a closed session left handles open", std::to_string(device.openHandleCount()) + " handles");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ScratchDevice scratch;
  if (size < pspc::fuzz::kHeaderBytes) return 0;
  pspc::Faults faults;
  for (const std::string& spec : pspc::fuzz::faultSpecs(pspc::fuzz::readFaultChoice(data[0], data[1]))) {
    std::string error;
    if (!faults.add(spec, error)) finding("the fault language refuses a fault the fuzzer chose", error);
  }
  pspc::Device& device = scratch.fresh();
  serveSession(scratch, device, faults, data + pspc::fuzz::kHeaderBytes, size - pspc::fuzz::kHeaderBytes);
  scratch.checkReopens();
  return 0;
}
