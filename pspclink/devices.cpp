#include "devices.h"

#include "text.h"

#include <algorithm>
#include <limits>

namespace pspclink {

namespace {

const char* passwordWord(ControlSession::Lock lock) {
  switch (lock) {
  case ControlSession::Lock::None:
    return "none";
  case ControlSession::Lock::Checking:
    return "checking";
  case ControlSession::Lock::Accepted:
    return "accepted";
  case ControlSession::Lock::Refused:
    return "refused";
  case ControlSession::Lock::Unavailable:
    break;
  }
  return "unavailable";
}

} // namespace

Devices::Devices(Timing timing, Hooks hooks, uint64_t firstAttach, uint16_t rapiPort)
    : timing_(timing), hooks_(std::move(hooks)), nextAttach_(std::max<uint64_t>(firstAttach, 1)), rapiPort_(rapiPort) {}

bool Devices::arrived(CallId id, uint32_t address, uint64_t nowMs, const std::string& withheld) {
  const std::string from = dottedAddress(address);
  if (attached_ != 0 && calls_.at(attached_).address != address) {
    logBusy(calls_.at(attached_), address);
    return false;
  }
  size_t introducing = 0;
  CallId earlier = 0;
  for (const auto& [other, call] : calls_) {
    if (call.attach != 0) continue;
    ++introducing;
    if (call.address == address) earlier = other;
  }
  if (earlier != 0) {
    // A device calls once; a second call from its address means the first
    // one is dead, or the caller is not a device.
    hooks_.log("ended: an earlier call from " + from + " that had not introduced itself (a newer call came)");
    endCall(earlier);
  } else if (introducing >= kMaxIntroducing) {
    hooks_.log("refused: the call from " + from + ": " + std::to_string(kMaxIntroducing) +
               " calls are introducing themselves already");
    return false;
  }
  const PasswordSource password = withheld.empty() ? hooks_.password() : PasswordSource{std::nullopt, withheld};
  calls_.emplace(id, Call(address, ControlSession(timing_, password, nowMs))).first->second.withheld = withheld;
  return true;
}

void Devices::received(CallId id, const uint8_t* data, size_t size, uint64_t nowMs) {
  auto found = calls_.find(id);
  if (found == calls_.end()) return;
  found->second.session.received(data, size, nowMs);
  settle(id);
}

void Devices::closed(CallId id) {
  auto found = calls_.find(id);
  if (found == calls_.end()) return;
  found->second.session.peerClosed();
  settle(id);
}

void Devices::tick(uint64_t nowMs) {
  std::vector<CallId> ids;
  for (const auto& entry : calls_) ids.push_back(entry.first);
  for (CallId id : ids) {
    auto found = calls_.find(id);
    if (found == calls_.end()) continue;
    found->second.session.tick(nowMs);
    settle(id);
  }
}

void Devices::settle(CallId id) {
  Call& call = calls_.at(id);
  // Who may stay is settled before anything is sent: a refused device is
  // never answered, its challenge least of all.
  if (call.attach == 0 && call.session.introduced()) {
    if (attached_ != 0 && attached_ != id) {
      const Call& holder = calls_.at(attached_);
      if (holder.address != call.address) {
        logBusy(holder, call.address);
        endCall(id);
        return;
      }
      hooks_.log("detached: " + who(holder) + " (the device called again)");
      endCall(attached_);
    }
    attach(id, call);
  }
  std::vector<uint8_t> bytes = call.session.takeOutput();
  if (!bytes.empty()) output_.emplace_back(id, std::move(bytes));
  if (call.attach != 0) logLock(call);
  if (call.session.phase() != ControlSession::Phase::Ended) return;
  if (call.attach != 0)
    hooks_.log("detached: " + who(call) + " (" + call.session.endReason() + ")");
  else if (call.session.end() == ControlSession::End::Closed)
    hooks_.log("ended: the call from " + dottedAddress(call.address) + " closed before its introduction");
  else
    hooks_.log("refused: the call from " + dottedAddress(call.address) + ": " + call.session.endReason());
  endCall(id);
}

void Devices::attach(CallId id, Call& call) {
  const controlwire::Introduction& intro = call.session.introduction();
  call.attach = nextAttach_++;
  call.since = hooks_.wallClock();
  call.name = printable(intro.deviceName);
  attached_ = id;
  const std::string family = cpuFamily(intro.cpuType);
  hooks_.log("attached: " + who(call) + ": platform " + printable(intro.platformName) + ", model " +
             printable(intro.modelName) + ", OS " + std::to_string(intro.osMajor) + "." +
             std::to_string(intro.osMinor) + " (build " + std::to_string(intro.build) + "), CPU " +
             (family.empty() ? "" : family + " ") + "type " + std::to_string(intro.cpuType) +
             (call.session.challenged() ? "; it asks for a password" : ""));
}

void Devices::logLock(Call& call) {
  const ControlSession::Lock lock = call.session.lock();
  if (lock == call.loggedLock) return;
  call.loggedLock = lock;
  switch (lock) {
  case ControlSession::Lock::Accepted:
    hooks_.log("unlocked: " + who(call) + " accepted the password");
    break;
  case ControlSession::Lock::Refused:
    hooks_.log("locked: " + who(call) +
               " refused the password; it stays locked until it calls again (correct the password file, then plug the "
               "device in again)");
    break;
  case ControlSession::Lock::Unavailable:
    if (!call.withheld.empty())
      hooks_.log("locked: " + who(call) + " asks for a password, and it is withheld: " + call.withheld);
    else
      hooks_.log("locked: " + who(call) +
                 " asks for a password, and there is none to give: " + call.session.lockProblem());
    break;
  case ControlSession::Lock::None:
  case ControlSession::Lock::Checking:
    break;
  }
}

void Devices::endCall(CallId id) {
  if (attached_ == id) attached_ = 0;
  calls_.erase(id);
  closing_.push_back(id);
}

std::string Devices::who(const Call& call) const { return call.name + " at " + dottedAddress(call.address); }

void Devices::logBusy(const Call& holder, uint32_t from) const {
  hooks_.log("refused: a device is already attached (" + who(holder) + "); closed the call from " +
             dottedAddress(from));
}

void Devices::stop() {
  if (attached_ != 0) hooks_.log("detached: " + who(calls_.at(attached_)) + " (the connection manager stopped)");
  for (const auto& entry : calls_) closing_.push_back(entry.first);
  calls_.clear();
  attached_ = 0;
}

uint64_t Devices::nextDeadline() const {
  uint64_t next = std::numeric_limits<uint64_t>::max();
  for (const auto& entry : calls_) next = std::min(next, entry.second.session.nextDeadline());
  return next;
}

std::vector<std::pair<CallId, std::vector<uint8_t>>> Devices::takeOutput() { return std::exchange(output_, {}); }
std::vector<CallId> Devices::takeClosing() { return std::exchange(closing_, {}); }

uint64_t Devices::currentAttach() const { return attached_ == 0 ? 0 : calls_.at(attached_).attach; }

std::optional<DeviceRecord> Devices::attached() const {
  if (attached_ == 0) return std::nullopt;
  const Call& call = calls_.at(attached_);
  const controlwire::Introduction& intro = call.session.introduction();
  DeviceRecord record;
  record.name = call.name;
  record.platform = printable(intro.platformName);
  record.model = printable(intro.modelName);
  record.osMajor = intro.osMajor;
  record.osMinor = intro.osMinor;
  record.build = intro.build;
  record.cpu = intro.cpuType;
  record.address = dottedAddress(call.address);
  record.rapiPort = rapiPort_;
  record.since = call.since;
  record.attach = call.attach;
  record.locked = call.session.challenged();
  record.usable = call.session.phase() == ControlSession::Phase::Unlocked;
  record.password = call.session.lock() == ControlSession::Lock::Unavailable && !call.withheld.empty()
                        ? "withheld"
                        : passwordWord(call.session.lock());
  record.prelude = call.session.prelude();
  return record;
}

} // namespace pspclink
