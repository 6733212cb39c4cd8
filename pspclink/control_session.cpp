#include "control_session.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace pspclink {

namespace {

std::string duration(uint64_t ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

} // namespace

ControlSession::ControlSession(Timing timing, PasswordSource password, uint64_t nowMs)
    : timing_(timing), password_(std::move(password)), waitUntil_(nowMs + timing.introductionMs()) {}

void ControlSession::received(const uint8_t* data, size_t size, uint64_t nowMs) {
  // The bytes are taken in the units the current phase reads (a word, the
  // introduction, an answer), so no more than one unit is ever held.
  for (size_t offset = 0; offset < size && phase_ != Phase::Ended;) {
    size_t unit = 4;
    if (phase_ == Phase::Introducing && introductionBytes_ > 0) unit = introductionBytes_;
    if (phase_ == Phase::CheckingPassword) unit = 2;
    const size_t take = std::min(unit - pending_.size(), size - offset);
    pending_.insert(pending_.end(), data + offset, data + offset + take);
    offset += take;
    if (pending_.size() == unit) consume(nowMs);
  }
}

void ControlSession::consume(uint64_t nowMs) {
  switch (phase_) {
  case Phase::Introducing:
    if (consumeIntroducing(nowMs)) return;
    break;
  case Phase::CheckingPassword:
    if (controlwire::loadLe16(pending_.data()) != 0) {
      lock_ = Lock::Accepted;
      prelude_ = controlwire::encodePassword(*password_.password, key_);
      unlock(nowMs);
    } else {
      lock_ = Lock::Refused;
      phase_ = Phase::Locked;
    }
    break;
  case Phase::Unlocked:
    // The echo of a ping; anything else a device may say here means
    // nothing to the desktop and is passed over.
    if (rapiwire::loadLe32(pending_.data()) == controlwire::kPing) unansweredPings_ = 0;
    break;
  case Phase::Locked:
  case Phase::Ended:
    break;
  }
  pending_.clear();
}

// A word or the introduction, taken apart; true when the session ended.
bool ControlSession::consumeIntroducing(uint64_t nowMs) {
  if (introductionBytes_ > 0) {
    std::string reason;
    if (!controlwire::decodeIntroduction(pending_, introduction_, reason)) {
      finish(End::Malformed, "a malformed introduction: " + reason);
      return true;
    }
    pending_.clear();
    finishIntroduction(nowMs);
    return false;
  }
  const controlwire::DeviceWord word = controlwire::classifyDeviceWord(rapiwire::loadLe32(pending_.data()));
  switch (word.kind) {
  case controlwire::WordKind::Empty:
    break;
  case controlwire::WordKind::TooShort:
    finish(End::Malformed, "a malformed introduction: a length of " + std::to_string(word.value) + " bytes (" +
                               std::to_string(controlwire::kMinIntroductionBytes) + " to " +
                               std::to_string(controlwire::kChallengeFrom - 1) + " expected)");
    return true;
  case controlwire::WordKind::IntroductionLength:
    introductionBytes_ = word.value;
    break;
  case controlwire::WordKind::Challenge:
    // A device challenges before it introduces itself; a second challenge
    // replaces the first one's key.
    challenged_ = true;
    key_ = word.key();
    break;
  }
  return false;
}

void ControlSession::finishIntroduction(uint64_t nowMs) {
  introduced_ = true;
  if (!challenged_) {
    unlock(nowMs);
    return;
  }
  std::vector<uint8_t> encoded;
  if (password_.password) encoded = controlwire::encodePassword(*password_.password, key_);
  if (encoded.empty()) {
    if (password_.problem.empty()) password_.problem = "the password is too long to be sent";
    lock_ = Lock::Unavailable;
    phase_ = Phase::Locked;
    return;
  }
  output_.insert(output_.end(), encoded.begin(), encoded.end());
  lock_ = Lock::Checking;
  phase_ = Phase::CheckingPassword;
  waitUntil_ = nowMs + timing_.passwordAnswerMs();
}

void ControlSession::unlock(uint64_t nowMs) {
  phase_ = Phase::Unlocked;
  unansweredPings_ = 0;
  nextPing_ = nowMs + timing_.pingIntervalMs;
}

void ControlSession::tick(uint64_t nowMs) {
  switch (phase_) {
  case Phase::Introducing:
    if (nowMs >= waitUntil_)
      finish(End::IntroductionTimeout, "no introduction within " + duration(timing_.introductionMs()));
    break;
  case Phase::CheckingPassword:
    if (nowMs >= waitUntil_)
      finish(End::NoPasswordAnswer, "no answer to the password within " + duration(timing_.passwordAnswerMs()));
    break;
  case Phase::Unlocked:
    if (nowMs < nextPing_) break;
    // Each ping has had a whole interval to be answered.
    if (unansweredPings_ >= controlwire::kMissedPingsForGone) {
      finish(End::NoPingAnswers, "no answer to " + std::to_string(controlwire::kMissedPingsForGone) + " pings");
      break;
    }
    {
      const std::vector<uint8_t> ping = controlwire::wordBytes(controlwire::kPing);
      output_.insert(output_.end(), ping.begin(), ping.end());
    }
    ++unansweredPings_;
    nextPing_ = nowMs + timing_.pingIntervalMs;
    break;
  case Phase::Locked:
  case Phase::Ended:
    break;
  }
}

void ControlSession::peerClosed() {
  finish(End::Closed, introduced_ ? "the device closed the connection" : "the call ended before an introduction");
}

void ControlSession::finish(End end, std::string reason) {
  if (phase_ == Phase::Ended) return;
  phase_ = Phase::Ended;
  end_ = end;
  endReason_ = std::move(reason);
  pending_.clear();
  output_.clear();
}

uint64_t ControlSession::nextDeadline() const {
  switch (phase_) {
  case Phase::Introducing:
  case Phase::CheckingPassword:
    return waitUntil_;
  case Phase::Unlocked:
    return nextPing_;
  case Phase::Locked:
  case Phase::Ended:
    break;
  }
  return std::numeric_limits<uint64_t>::max();
}

std::vector<uint8_t> ControlSession::takeOutput() { return std::exchange(output_, {}); }

} // namespace pspclink
