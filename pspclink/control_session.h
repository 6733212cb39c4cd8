// One device's control connection as the desktop holds it: fed the bytes the
// device sends and the passing of time, it says what to send back and where
// the device stands. No sockets and no clock of its own, so the manager's
// socket loop, the tests and the fuzzer drive the very same code.
//
// The order of a call: the device may send empty words and a password
// challenge, then the length word of its introduction and the introduction.
// A device that challenged is sent the password and answers whether it took
// it; an unlocked device is pinged at every interval and must echo the pings.
#pragma once

#include "control_connection.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pspclink {

// How long the manager waits, all in milliseconds of a steady clock. The
// introduction and the answer to the password are each given as long as
// the pings are (three intervals).
struct Timing {
  uint64_t pingIntervalMs = uint64_t(controlwire::kPingIntervalSeconds) * 1000;
  uint64_t introductionMs() const { return pingIntervalMs * controlwire::kMissedPingsForGone; }
  uint64_t passwordAnswerMs() const { return pingIntervalMs * controlwire::kMissedPingsForGone; }
};

// The password the manager would answer a challenge with, or why it has none.
struct PasswordSource {
  std::optional<std::u16string> password;
  std::string problem;
};

class ControlSession {
public:
  enum class Phase {
    Introducing,      // words and the introduction are awaited
    CheckingPassword, // introduced; the password was sent, its answer is awaited
    Locked,           // introduced; it demanded a password that it did not get or did not take
    Unlocked,         // introduced and usable; pinged
    Ended,            // the connection is to be closed (endReason says why)
  };
  enum class Lock { None, Checking, Accepted, Refused, Unavailable };
  enum class End { None, Malformed, IntroductionTimeout, Closed, NoPingAnswers, NoPasswordAnswer };

  ControlSession(Timing timing, PasswordSource password, uint64_t nowMs);

  void received(const uint8_t* data, size_t size, uint64_t nowMs);
  // Sends the pings that are due and ends the session whose wait ran out.
  void tick(uint64_t nowMs);
  void peerClosed();

  Phase phase() const { return phase_; }
  bool introduced() const { return introduced_; }
  const controlwire::Introduction& introduction() const { return introduction_; }
  bool challenged() const { return challenged_; }
  Lock lock() const { return lock_; }
  // Why the device is locked when the password was unavailable.
  const std::string& lockProblem() const { return password_.problem; }
  End end() const { return end_; }
  // A readable reason for the end, e.g. "no answer to 3 pings".
  const std::string& endReason() const { return endReason_; }
  // The encoded password the device accepted: what every RAPI connection to
  // it sends first. Empty when it asked for none.
  const std::vector<uint8_t>& prelude() const { return prelude_; }
  // When tick() next has something to do; UINT64_MAX for never.
  uint64_t nextDeadline() const;

  // What to send to the device, taken once.
  std::vector<uint8_t> takeOutput();

private:
  void consume(uint64_t nowMs);
  bool consumeIntroducing(uint64_t nowMs);
  void finishIntroduction(uint64_t nowMs);
  void unlock(uint64_t nowMs);
  void finish(End end, std::string reason);

  Timing timing_;
  PasswordSource password_;
  Phase phase_ = Phase::Introducing;
  bool introduced_ = false;
  controlwire::Introduction introduction_;
  bool challenged_ = false;
  uint8_t key_ = 0;
  Lock lock_ = Lock::None;
  End end_ = End::None;
  std::string endReason_;
  std::vector<uint8_t> prelude_;
  // Bytes received and not yet taken apart; never more than one
  // introduction and its word.
  std::vector<uint8_t> pending_;
  uint32_t introductionBytes_ = 0; // announced by the length word; 0 while a word is awaited
  uint64_t waitUntil_ = 0;         // the end of the introduction's or the answer's wait
  uint64_t nextPing_ = 0;
  unsigned unansweredPings_ = 0;
  std::vector<uint8_t> output_;
};

} // namespace pspclink
