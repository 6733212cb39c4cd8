// The device's side of one call to the desktop's connection manager: fed the
// bytes the manager sends, it says what the device answers, what it records
// in its op log and where the call stands. No sockets and no clock of its
// own, so CallIn's socket loop, the tests and the fuzzer drive the very same
// code.
//
// The order of a call: the device opens with its challenge (when it has a
// password) and its introduction. While locked it reads a 16-bit length and
// that many bytes of password, each answered with a 16-bit word; a ping's low
// half (0x5678) is far above the longest password's length, so a ping that
// comes while the device is locked is told apart from a password. Otherwise
// it reads 32-bit words: empty ones are passed over and pings echoed; any
// other word is passed over once unlocked and, while locked, hung up on.
//
// The device keeps no time on this connection: the manager's pings and its
// hang-up pace the call. What the injected faults make of it comes with each
// feed as the conduct: a silent device echoes no ping and holds a password's
// answer until it speaks again; one that refuses passwords refuses even the
// right one.
#pragma once

#include "control_connection.h"
#include "op_log.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pspc {

class CallSession {
public:
  // The injected faults as they stand when bytes arrive.
  struct Conduct {
    bool silent = false;
    bool refusesPassword = false;
  };
  // One op-log record of the control connection (connection 0).
  struct Record {
    std::string op;
    JsonObject fields;
  };
  enum class Phase {
    Locked,   // a password is awaited (pings are echoed all the same)
    Holding,  // a password's answer is decided and held while the device is silent
    Unlocked, // no password asked, or the manager's taken
    Ended,    // the call is to be hung up (endReason says why)
  };
  // The longest unit the device reads at once: the longest password.
  static constexpr size_t kLongestUnit = (controlwire::kMaxPasswordUnits + 1) * 2;

  // `introduction` is the message the device introduces itself with, length
  // word first; `key` (not 0) the key of its challenge when it has a password.
  CallSession(std::optional<std::u16string> password, uint8_t key, const std::vector<uint8_t>& introduction);

  // Takes the bytes, unit by unit, as far as the phase lets it: all of them
  // but while an answer is held and after the end. How many it took.
  size_t received(const uint8_t* data, size_t size, Conduct conduct);
  // How many bytes complete the unit being read; 0 while holding or ended.
  size_t wanted() const;
  // The device speaks again: the held answer is given.
  void silenceEnded();
  // The connection is gone: the manager closed it, or the device hung up.
  void closed();

  Phase phase() const { return phase_; }
  // Unlocked and a ping echoed: the manager has taken the device.
  bool attached() const { return attached_; }
  uint64_t pings() const { return pings_; }
  uint64_t unansweredPings() const { return unanswered_; }
  const std::string& endReason() const { return endReason_; }

  // What to send to the manager and what to record, each taken once. The
  // records come before the bytes they tell of: whoever reads the bytes
  // finds the record.
  std::vector<uint8_t> takeOutput();
  std::vector<Record> takeRecords();

private:
  enum class Unit { Head, Rest, Password };

  void consume(Conduct conduct);
  void takeHead(uint16_t head);
  void takePassword(const std::vector<uint8_t>& encoded, Conduct conduct);
  void takeWord(uint32_t word, Conduct conduct);
  void answer();
  void refuse(const std::string& why, const std::string& endReason);
  void expect(Unit unit, size_t bytes);
  void send(const std::vector<uint8_t>& bytes);

  const std::optional<std::u16string> password_;
  const uint8_t key_;
  Phase phase_;
  Unit unit_ = Unit::Head;
  size_t unitBytes_ = 2;
  std::vector<uint8_t> pending_; // the unit read so far, never more than kLongestUnit
  uint16_t head_ = 0;            // a word's low half, while its high half is read
  bool heldAccepted_ = false;    // the answer decided, given now or when the silence ends
  std::string heldReason_;
  bool attached_ = false;
  bool loggedStrangeWord_ = false;
  uint64_t pings_ = 0, unanswered_ = 0;
  std::string endReason_;
  std::vector<uint8_t> output_;
  std::vector<Record> records_;
};

} // namespace pspc
