#include "call_session.h"

#include <algorithm>
#include <utility>

namespace pspc {

CallSession::CallSession(std::optional<std::u16string> password, uint8_t key,
                             const std::vector<uint8_t>& introduction)
    : password_(std::move(password)), key_(key), phase_(password_ ? Phase::Locked : Phase::Unlocked) {
  // A device with a password demands it before it introduces itself.
  if (password_) send(controlwire::wordBytes(controlwire::challengeWord(key_)));
  send(introduction);
}

size_t CallSession::received(const uint8_t* data, size_t size, Conduct conduct) {
  size_t offset = 0;
  while (offset < size && wanted() > 0) {
    const size_t take = std::min(wanted(), size - offset);
    pending_.insert(pending_.end(), data + offset, data + offset + take);
    offset += take;
    if (pending_.size() == unitBytes_) consume(conduct);
  }
  return offset;
}

size_t CallSession::wanted() const {
  return phase_ == Phase::Locked || phase_ == Phase::Unlocked ? unitBytes_ - pending_.size() : 0;
}

void CallSession::consume(Conduct conduct) {
  const std::vector<uint8_t> unit = std::exchange(pending_, {});
  switch (unit_) {
  case Unit::Head:
    takeHead(controlwire::loadLe16(unit.data()));
    break;
  case Unit::Rest:
    takeWord(uint32_t(head_) | uint32_t(controlwire::loadLe16(unit.data())) << 16, conduct);
    break;
  case Unit::Password:
    takePassword(unit, conduct);
    break;
  }
}

void CallSession::expect(Unit unit, size_t bytes) {
  unit_ = unit;
  unitBytes_ = bytes;
}

void CallSession::takeHead(uint16_t head) {
  head_ = head;
  if (phase_ != Phase::Locked || head == uint16_t(controlwire::kPing)) {
    expect(Unit::Rest, 2);
    return;
  }
  // The length is checked before that many bytes are awaited.
  if (!controlwire::passwordLengthAcceptable(head)) {
    refuse("a password length of " + std::to_string(head) + " bytes",
           "the manager sent a password length the device cannot take");
    return;
  }
  expect(Unit::Password, head);
}

void CallSession::takePassword(const std::vector<uint8_t>& encoded, Conduct conduct) {
  expect(Unit::Head, 2);
  std::u16string given;
  heldReason_.clear();
  heldAccepted_ = controlwire::decodePassword(encoded, key_, given, heldReason_);
  if (heldAccepted_ && given != *password_) {
    heldAccepted_ = false;
    heldReason_ = "wrong password";
  }
  if (heldAccepted_ && conduct.refusesPassword) {
    heldAccepted_ = false;
    heldReason_ = "the right password, refused by the injected fault";
  }
  if (conduct.silent) {
    phase_ = Phase::Holding;
    return;
  }
  answer();
}

void CallSession::silenceEnded() {
  if (phase_ == Phase::Holding) answer();
}

void CallSession::answer() {
  JsonObject entry;
  entry.add("accepted", heldAccepted_);
  if (!heldAccepted_) entry.add("reason", heldReason_);
  records_.push_back({"password", entry});
  phase_ = heldAccepted_ ? Phase::Unlocked : Phase::Locked;
  send(controlwire::controlPasswordAnswer(heldAccepted_));
}

void CallSession::takeWord(uint32_t word, Conduct conduct) {
  expect(Unit::Head, 2);
  if (word == 0) return; // an empty header
  if (word != controlwire::kPing) {
    if (phase_ == Phase::Locked) {
      refuse("not a password", "the manager sent neither a password nor a ping");
      return;
    }
    if (!loggedStrangeWord_) {
      records_.push_back(
          {"control-word", JsonObject().add("word", word).add("note", "neither a ping nor empty: passed over")});
      loggedStrangeWord_ = true;
    }
    return;
  }
  ++pings_;
  if (conduct.silent) {
    ++unanswered_;
    return;
  }
  if (phase_ == Phase::Unlocked) attached_ = true;
  send(controlwire::wordBytes(controlwire::kPing));
}

// Refused with an answer the device does not hold back, however silent:
// the manager is hung up on.
void CallSession::refuse(const std::string& why, const std::string& endReason) {
  records_.push_back({"password", JsonObject().add("accepted", false).add("reason", why)});
  send(controlwire::controlPasswordAnswer(false));
  phase_ = Phase::Ended;
  endReason_ = endReason;
}

void CallSession::closed() {
  if (phase_ == Phase::Ended) return;
  phase_ = Phase::Ended;
  endReason_ = "the manager closed the control connection";
  pending_.clear();
  output_.clear(); // nothing more reaches the manager
}

void CallSession::send(const std::vector<uint8_t>& bytes) {
  output_.insert(output_.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> CallSession::takeOutput() { return std::exchange(output_, {}); }

std::vector<CallSession::Record> CallSession::takeRecords() { return std::exchange(records_, {}); }

} // namespace pspc
