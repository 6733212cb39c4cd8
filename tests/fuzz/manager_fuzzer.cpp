// The connection manager's handling of what devices send, under a fuzzer:
// each input is the life of a few calls (manager_input.h) — the bytes each
// device sends, in any state, the passing of time, calls arriving and
// closing — driven through Devices and its control sessions exactly as the
// manager's socket loop drives them.
//
// Beyond the sanitizers, each input is held to what the rest of the system
// relies on:
//   - at most one device is attached, and its record reads back whole from
//     its channel line;
//   - what goes to a device is a ping, to the attached unlocked device only,
//     or the password once per call: a 16-bit count and the encoded text;
//   - a call the manager closed is never written to again;
//   - nothing falls due before the deadline the socket loop sleeps until;
//   - every log line is one printable line.
#include "devices.h"
#include "link_channel.h"
#include "manager_input.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>

namespace {

using namespace pspclink;

[[noreturn]] void finding(const std::string& what, const std::string& detail = "") {
  fuzzkit::finding("manager fuzzer", what, detail);
}

class Run {
public:
  explicit Run(bool withPassword)
      : withPassword_(withPassword),
        devices_(Timing{fuzz::kPingIntervalMs},
                 {[](const std::string& line) { checkLogLine(line); },
                  [this] {
                    return withPassword_ ? PasswordSource{fuzz::kPassword, ""}
                                         : PasswordSource{std::nullopt, "no password file"};
                  },
                  [] { return int64_t(1700000000); }},
                 1) {}

  void step(const uint8_t*& at, const uint8_t* end) {
    const uint8_t kind = *at++;
    const unsigned slot = kind & 3;
    switch (fuzz::Step(kind >> 6)) {
    case fuzz::Step::Bytes: {
      const auto [bytes, n] = fuzzkit::takeStepData(at, end);
      if (live(slot)) devices_.received(ids_[slot], bytes, n, now_);
      break;
    }
    case fuzz::Step::Time: {
      // The socket loop sleeps until nextDeadline(): nothing may fall due
      // before it.
      const uint64_t deadline = devices_.nextDeadline();
      now_ += ((kind & 0x3F) + 1u) * fuzz::kPingIntervalMs / 4;
      devices_.tick(now_);
      if (now_ < deadline && (!devices_.takeOutput().empty() || !devices_.takeClosing().empty()))
        finding("something fell due before the deadline the manager sleeps until");
      break;
    }
    case fuzz::Step::Arrive:
      if (live(slot)) devices_.closed(ids_[slot]);
      settle();
      ids_[slot] = nextId_++;
      if (devices_.arrived(ids_[slot], 0x7F000002u + ((kind >> 2) & 3), now_))
        open_.insert(ids_[slot]);
      else
        ids_[slot] = 0;
      break;
    case fuzz::Step::Close:
      if (live(slot)) devices_.closed(ids_[slot]);
      break;
    }
    settle();
  }

  void finish() {
    devices_.stop();
    settle();
    if (!open_.empty()) finding("calls stayed open after the manager stopped", std::to_string(open_.size()));
  }

private:
  bool live(unsigned slot) const { return ids_[slot] != 0 && open_.count(ids_[slot]) != 0; }

  void settle() {
    const auto device = devices_.attached();
    // The record is read back each time it changes.
    if (device && (device->attach != checked_.attach || device->password != checked_.password ||
                   device->usable != checked_.usable)) {
      checkRecord(*device);
      checked_ = *device;
    }
    for (auto& [id, bytes] : devices_.takeOutput()) {
      if (open_.count(id) == 0) finding("bytes for a call that is closed", std::to_string(id));
      checkOutput(id, bytes, device);
    }
    for (CallId id : devices_.takeClosing()) {
      if (open_.erase(id) == 0) finding("a call closed twice, or one never opened", std::to_string(id));
    }
    if (device && open_.count(devices_.attachedCall()) == 0) finding("the attached device's call is closed");
  }

  void checkOutput(CallId id, const std::vector<uint8_t>& bytes, const std::optional<DeviceRecord>& device) {
    if (!device || devices_.attachedCall() != id) finding("bytes sent to a call that is not the attached device's");
    const size_t passwordBytes = (fuzz::kPassword.size() + 1) * 2;
    if (bytes.size() >= 2 && size_t(bytes[0] | bytes[1] << 8) == passwordBytes) {
      // The password: once a call, a 16-bit count and the encoded text.
      if (!withPassword_) finding("a password sent by a manager that has none");
      if (!passwordSent_.insert(id).second) finding("the password sent twice on one call");
      if (bytes.size() != 2 + passwordBytes) finding("a password message of the wrong size", linkchannel::hexOf(bytes));
      std::u16string password;
      std::string reason;
      const uint8_t key = bytes.back(); // the terminator's last byte, XORed with the key
      if (!controlwire::decodePassword(std::vector<uint8_t>(bytes.begin() + 2, bytes.end()), key, password, reason) ||
          password != fuzz::kPassword)
        finding("a password message that does not decode", linkchannel::hexOf(bytes));
      return;
    }
    if (bytes.size() != 4 || rapiwire::loadLe32(bytes.data()) != controlwire::kPing)
      finding("bytes that are neither a ping nor the password", linkchannel::hexOf(bytes));
    if (!device->usable) finding("a ping sent to a device that is not unlocked");
  }

  static void checkRecord(const DeviceRecord& device) {
    for (bool withPrelude : {false, true}) {
      std::string text = formatDeviceRecord(device, withPrelude);
      if (text.empty() || text.back() != '\n' || text.find('\n') != text.size() - 1)
        finding("a device record that is not one line", text);
      text.pop_back();
      linkchannel::Line line;
      DeviceRecord read;
      std::string error;
      if (!linkchannel::parseLine(text, line) || !parseDeviceRecord(line, read, error))
        finding("a device record that does not read back", text);
      if (read.name != device.name || read.platform != device.platform || read.model != device.model ||
          read.attach != device.attach || read.usable != device.usable || read.locked != device.locked ||
          read.password != device.password || (withPrelude && read.prelude != device.prelude))
        finding("a device record that reads back otherwise", text);
    }
    if (!device.prelude.empty() && device.password != "accepted") finding("a prelude for a password not accepted");
  }

  static void checkLogLine(const std::string& line) {
    for (unsigned char c : line)
      if (c < 0x20 || c == 0x7F) finding("a log line with a control character", linkchannel::encodeValue(line));
  }

  bool withPassword_;
  Devices devices_;
  uint64_t now_ = 0;
  CallId nextId_ = 1;
  CallId ids_[fuzz::kCalls] = {};
  std::set<CallId> open_;
  std::set<CallId> passwordSent_;
  DeviceRecord checked_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Run run(data[0] & 1);
  const uint8_t* end = data + size;
  for (const uint8_t* at = data + 1; at < end;) run.step(at, end);
  run.finish();
  return 0;
}
