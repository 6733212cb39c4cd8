// The device calling the desktop, as a Windows CE 2.x palm-size PC does once
// its cable link is up: it connects to the desktop's connection manager (TCP
// 5679) from its own address, demands the password when it has one,
// introduces itself from the image's identity, and echoes the manager's pings
// for as long as the control connection stands. The manager then opens RAPI
// connections to the device's own address (served by Server).
//
// When the manager hangs up or is not there, the device calls again, as a
// device whose cable stays up does: at once after a plug, else after a wait
// that grows from one second to eight while the calls fail. Unplugging hangs
// up and stops the calling until the next plug. A device told to call once
// (as a strict real device may) makes one call a plug: after a refusal or a
// hang-up it waits for the next plug.
//
// Records in the op log (connection 0): call, call-failed (once per run of
// failures with the same reason), introduced, password (each answer to a
// password on the control connection), hung-up (with the pings received).
#pragma once

#include "control_connection.h"
#include "call_session.h"
#include "faults.h"
#include "identity.h"
#include "op_log.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pspc {

struct CallOptions {
  std::string manager = "127.0.0.1"; // the manager's IPv4 address
  uint16_t managerPort = controlwire::kControlPort;
  std::string address = "127.0.0.1"; // the device's own address, where it serves RAPI
  std::chrono::milliseconds firstRetry{1000};
  std::chrono::milliseconds longestRetry{8000};
  std::chrono::milliseconds connectTimeout{5000};
  bool once = false; // one call a plug, none after a refusal or a hang-up
};

// The introduction the device sends: its length word and body, spoilt as the
// fault asks.
std::vector<uint8_t> introductionMessage(const Identity& identity, Faults::Introduction fault);

class CallIn {
public:
  CallIn(const Identity& identity, std::optional<std::u16string> password, OpLog& log, const Faults& faults,
         CallOptions options);
  ~CallIn();
  CallIn(const CallIn&) = delete;
  CallIn& operator=(const CallIn&) = delete;

  // Starts calling (when plugged in); stop() hangs up for good.
  void start(bool plugged);
  void stop();
  // Unplugged: hangs up and calls no more. Plugged in: calls at once.
  void setPlugged(bool plugged);

  // A device with a password: every RAPI connection must begin with it,
  // encoded with the key of the device's latest challenge.
  bool locked() const { return password_.has_value(); }
  // Checks the encoded password that followed a RAPI connection's length
  // word. False with the reason when it is not the device's password.
  bool acceptsRapiPassword(const std::vector<uint8_t>& encoded, std::string& reason) const;

  // "call=<state> manager=<address:port> pings=<n> unanswered=<n>", the
  // state being calling, introduced, locked (awaiting the password),
  // attached, silent, unplugged or done (a once-calling device whose call
  // ended); the pings are those of the latest call.
  std::string describe() const;

private:
  enum class State { Calling, Introduced, Locked, Attached, Unplugged, Done };

  void run();
  // Waits until the device is plugged in and not silent; false on stop.
  bool waitUntilReady();
  // Waits `delay`, cut short by a plug, unplug or stop.
  void pause(std::chrono::milliseconds delay);
  // After a call that failed or ended: waits as long as the device waits
  // before it calls again.
  void waitToCallAgain(std::chrono::milliseconds& retry);
  int dial(std::string& reason);
  // The call's exchange, until it ends: the reason it ended.
  std::string talk(int fd);
  // Feeds the session what the manager sends and sends its answers.
  std::string converse(int fd, CallSession& session);
  // Writes what the session recorded and shows where the call stands.
  void follow(CallSession& session);
  // Holds an answer while the device is silent; false when it was unplugged
  // or stopped meanwhile.
  bool waitWhileSilent();
  // The connection is gone: the reason the call ended.
  std::string hangUp(CallSession& session);
  // A call ends for the device's own reason when it was unplugged or stopped.
  std::string hangUpReason(const std::string& otherwise) const;
  bool hangingUp() const; // unplugged or stopping: under mutex_
  void setState(State state);
  std::string managerName() const;

  const Identity identity_;
  const std::optional<std::u16string> password_;
  OpLog& log_;
  const Faults& faults_;
  const CallOptions options_;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool stopping_ = false;
  bool plugged_ = true;
  uint64_t plugSeq_ = 0;
  int fd_ = -1; // the control connection, shut down from other threads to hang up
  State state_ = State::Calling;
  uint8_t key_ = 0; // the latest challenge's key; 0 before the first
  uint64_t pings_ = 0, unanswered_ = 0;
  std::thread thread_;
};

} // namespace pspc
