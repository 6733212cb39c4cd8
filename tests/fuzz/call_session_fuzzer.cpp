// The device's side of its call to the connection manager under a fuzzer:
// each input is one call (call_session_input.h) — whatever a hostile manager
// sends, in any pieces, the device falling silent and speaking again, the
// connection ending — driven through CallSession as CallIn's socket loop
// drives it: bytes the session does not take wait, as in the socket, until
// it takes them.
//
// Beyond the sanitizers, each input is held to what the desktop and the
// device's owner rely on:
//   - after the opening, the device sends nothing but ping echoes, one for
//     each ping it did not pass over in silence, and password answers, each
//     with its op-log record;
//   - a silent device echoes nothing and answers no password, but for the
//     refusal it hangs up with;
//   - a password is accepted only by a device that has one and does not
//     refuse it, and the device is unlocked only after that;
//   - no unit awaited is longer than the longest password;
//   - after the end nothing is taken, sent or recorded, and closing leaves
//     the call ended with a reason.
#include "call_session.h"
#include "call_session_input.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace pspc;

[[noreturn]] void finding(const std::string& what, const std::string& detail = "") {
  fuzzkit::finding("call session fuzzer", what, detail);
}

std::vector<uint8_t> introduction() {
  controlwire::Introduction intro;
  intro.deviceName = u"PsPC";
  intro.platformName = u"Palm PC";
  intro.modelName = u"P1";
  std::vector<uint8_t> message;
  controlwire::encodeIntroductionMessage(intro, message);
  return message;
}

std::optional<std::u16string> passwordOf(uint8_t flags) {
  if (flags & 1) return fuzz::kPassword;
  return std::nullopt;
}

class Run {
public:
  Run(uint8_t flags, uint8_t key)
      : hasPassword_(flags & 1), refuses_(flags & 2), session_(passwordOf(flags), key, introduction()) {
    std::vector<uint8_t> opening =
        hasPassword_ ? controlwire::wordBytes(controlwire::challengeWord(key)) : std::vector<uint8_t>{};
    const std::vector<uint8_t> intro = introduction();
    opening.insert(opening.end(), intro.begin(), intro.end());
    if (session_.takeOutput() != opening) finding("an opening other than the challenge and the introduction");
  }

  void step(const uint8_t*& at, const uint8_t* end) {
    const uint8_t kind = *at++;
    switch (fuzz::Step(kind >> 6)) {
    case fuzz::Step::Bytes: {
      const auto [bytes, n] = fuzzkit::takeStepData(at, end);
      backlog_.insert(backlog_.end(), bytes, bytes + n);
      offer(kind & 0x3F);
      break;
    }
    case fuzz::Step::Silence:
      silent_ = kind & 1;
      break;
    case fuzz::Step::Poll:
      if (!silent_) session_.silenceEnded();
      settle(false);
      offer(0);
      break;
    case fuzz::Step::Close:
      session_.closed();
      settle(false);
      break;
    }
  }

  void finish() {
    session_.closed();
    settle(false);
    if (session_.phase() != CallSession::Phase::Ended || session_.endReason().empty())
      finding("a closed call that is not ended with a reason");
    const uint8_t byte = 0;
    if (session_.wanted() != 0 || session_.received(&byte, 1, {}) != 0) finding("a closed call that takes bytes");
  }

private:
  // Offers what waits, piece by piece, until the session stops taking.
  void offer(size_t piece) {
    while (!backlog_.empty()) {
      if (session_.wanted() > CallSession::kLongestUnit)
        finding("a unit longer than the longest password awaited", std::to_string(session_.wanted()));
      const size_t n = piece == 0 ? backlog_.size() : std::min(piece, backlog_.size());
      const size_t taken = session_.received(backlog_.data(), n, {silent_, refuses_});
      if (taken > n) finding("more bytes taken than offered");
      backlog_.erase(backlog_.begin(), backlog_.begin() + std::ptrdiff_t(taken));
      settle(silent_);
      if (taken < n) break;
    }
  }

  void settle(bool silentFeed) {
    const std::vector<CallSession::Record> records = session_.takeRecords();
    const std::vector<uint8_t> output = session_.takeOutput();
    if (ended_ && (!records.empty() || !output.empty())) finding("the device spoke after its call ended");
    size_t echoes = 0, accepted = 0, refused = 0;
    readOutput(output, echoes, accepted, refused);
    size_t acceptedRecords = 0, refusedRecords = 0;
    for (const CallSession::Record& record : records) {
      const std::string text = record.fields.str();
      if (record.op == "password")
        ++(text.find("\"accepted\":true") != std::string::npos ? acceptedRecords : refusedRecords);
      else if (record.op != "control-word" || strangeWordLogged_++ > 0)
        finding("a record other than the answers and one strange word", record.op + " " + text);
    }
    if (accepted != acceptedRecords || refused != refusedRecords)
      finding("password answers and their records differ", std::to_string(accepted + refused) + " answers, " +
                                                               std::to_string(acceptedRecords + refusedRecords) +
                                                               " records");
    if ((accepted > 0 || refused > 0) && !hasPassword_) finding("a password answered by a device that has none");
    if (accepted > 0 && refuses_) finding("a password accepted by a device that refuses every one");
    echoed_ += echoes;
    accepted_ += accepted;
    if (echoed_ != session_.pings() - session_.unansweredPings())
      finding("echoes that are not the pings answered", std::to_string(echoed_) + " echoes, " +
                                                            std::to_string(session_.pings()) + " pings, " +
                                                            std::to_string(session_.unansweredPings()) + " unanswered");
    ended_ = session_.phase() == CallSession::Phase::Ended;
    if (silentFeed && (echoes > 0 || accepted > 0 || (refused > 0 && !ended_)))
      finding("a silent device that answered");
    if (session_.phase() == CallSession::Phase::Unlocked && hasPassword_ && accepted_ == 0)
      finding("unlocked without an accepted password");
  }

  // The output is echoes (78 56 34 12) and answers (01 00 or 00 00).
  static void readOutput(const std::vector<uint8_t>& output, size_t& echoes, size_t& accepted, size_t& refused) {
    const std::vector<uint8_t> ping = controlwire::wordBytes(controlwire::kPing);
    for (size_t at = 0; at < output.size();) {
      if (output.size() - at >= 4 && std::equal(ping.begin(), ping.end(), output.begin() + std::ptrdiff_t(at))) {
        ++echoes;
        at += 4;
      } else if (output.size() - at >= 2 && output[at] <= 1 && output[at + 1] == 0) {
        ++(output[at] == 1 ? accepted : refused);
        at += 2;
      } else {
        finding("bytes that are neither an echo nor an answer");
      }
    }
  }

  const bool hasPassword_;
  const bool refuses_;
  CallSession session_;
  std::vector<uint8_t> backlog_; // sent by the manager, not yet taken
  bool silent_ = false;
  bool ended_ = false;
  size_t strangeWordLogged_ = 0;
  uint64_t echoed_ = 0;
  size_t accepted_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Run run(data[0], data[1] == 0 ? 1 : data[1]);
  const uint8_t* end = data + size;
  for (const uint8_t* at = data + 2; at < end;) run.step(at, end);
  run.finish();
  return 0;
}
