// The devices that call the desktop: one attached at a time, the others
// refused, each call's control connection (control_session.h) followed from
// the introduction to its end, and every attach, detach and refusal logged.
// Pure: connections are numbers, time is given, bytes to send and
// connections to close are handed back; the socket loop and the fuzzer
// drive it alike.
//
// A call from the address of the attached device is that device calling
// again (its link came back before the old connection was seen to end): once
// it has introduced itself it takes the old connection's place. A call from
// any other address while a device is attached is refused at once.
#pragma once

#include "control_session.h"
#include "device_record.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pspclink {

using CallId = uint64_t;

class Devices {
public:
  // Calls still introducing themselves at once, from all addresses together;
  // one address has one at most (a newer call replaces its older one).
  static constexpr size_t kMaxIntroducing = 16;

  struct Hooks {
    std::function<void(const std::string&)> log;
    // The password for a call, read when the call arrives.
    std::function<PasswordSource()> password;
    // Seconds since the epoch, for "attached since".
    std::function<int64_t()> wallClock;
  };

  // `rapiPort`: where the devices serve RAPI, as their records say. Every
  // real device serves on 990; an emulated one run by an ordinary user
  // cannot take a port below 1024.
  Devices(Timing timing, Hooks hooks, uint64_t firstAttach, uint16_t rapiPort = controlwire::kRapiPort);

  // A call from `address` (IPv4, host order). False when it is refused: the
  // caller closes it and tells nothing more of it. `withheld`, when not
  // empty, says why this caller may not be given the password: should it
  // ask, it stays locked and the reason is logged.
  bool arrived(CallId id, uint32_t address, uint64_t nowMs, const std::string& withheld = "");
  void received(CallId id, const uint8_t* data, size_t size, uint64_t nowMs);
  void closed(CallId id);
  void tick(uint64_t nowMs);
  // The manager stops: every call ends, the attached device is logged as detached.
  void stop();
  uint64_t nextDeadline() const;

  // Bytes to send, per call, and calls to close; each taken once.
  std::vector<std::pair<CallId, std::vector<uint8_t>>> takeOutput();
  std::vector<CallId> takeClosing();

  // The attached device, usable or locked.
  std::optional<DeviceRecord> attached() const;
  // The number of the current attach, and the call it came by; 0 when none.
  uint64_t currentAttach() const;
  CallId attachedCall() const { return attached_; }

private:
  struct Call {
    Call(uint32_t from, ControlSession begun) : address(from), session(std::move(begun)) {}
    uint32_t address = 0;
    ControlSession session;
    uint64_t attach = 0; // non-zero once attached
    int64_t since = 0;
    std::string name;     // printable, once introduced
    std::string withheld; // why the password is not given to this caller; empty: it may be
    ControlSession::Lock loggedLock = ControlSession::Lock::None;
  };

  void settle(CallId id);
  void attach(CallId id, Call& call);
  void logLock(Call& call);
  void endCall(CallId id);
  std::string who(const Call& call) const;
  // A call refused because `holder` is attached.
  void logBusy(const Call& holder, uint32_t from) const;

  Timing timing_;
  Hooks hooks_;
  uint64_t nextAttach_;
  uint16_t rapiPort_;
  std::map<CallId, Call> calls_;
  CallId attached_ = 0; // 0: none
  std::vector<std::pair<CallId, std::vector<uint8_t>>> output_;
  std::vector<CallId> closing_;
};

} // namespace pspclink
