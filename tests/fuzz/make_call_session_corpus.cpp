// Writes the call session fuzzer's seed corpus: calls as a manager makes
// them (pings, a password taken at the second try), in pieces, through a
// silence that holds the answer, and as a hostile one makes them (lengths no
// device takes, a word that is no password). The seeds in
// tests/fuzz/call-session-corpus are this program's output:
//
//   build/native/bin/call-session-fuzz-corpus tests/fuzz/call-session-corpus
#include "control_connection.h"
#include "call_session_input.h"

#include <string>
#include <utility>
#include <vector>

namespace {

using namespace pspc::fuzz;
using fuzzkit::Bytes;
using fuzzkit::join;

constexpr uint8_t kKey = 0x5A;
const Bytes kPing = controlwire::wordBytes(controlwire::kPing);
const Bytes kRight = controlwire::encodePassword(kPassword, kKey);
const Bytes kWrong = controlwire::encodePassword(u"px", kKey);

} // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, Script>> seeds;
  seeds.emplace_back(
      "pings-and-words",
      Script(false, kKey).send(join({kPing, controlwire::wordBytes(0), kPing})).send({9, 0, 0, 0}).close());
  seeds.emplace_back("password-second-try", Script(true, kKey).send(join({kWrong, kRight, kPing})));
  seeds.emplace_back("password-in-pieces", Script(true, kKey).send(join({kRight, kPing, kPing}), 1));
  seeds.emplace_back(
      "silence-holds-answer",
      Script(true, kKey).silent(true).send(join({kRight, kPing})).poll().silent(false).poll().send(kPing));
  seeds.emplace_back("refused-by-fault", Script(true, kKey, true).send(join({kRight, kRight})));
  seeds.emplace_back("length-too-long", Script(true, kKey).send({0xFF, 0xFF, 1, 2}));
  seeds.emplace_back("longest-password", Script(true, kKey).send({0x00, 0x02}).send(Bytes(512, 0x5A), 7));
  seeds.emplace_back("not-a-password", Script(true, kKey).send(controlwire::wordBytes(controlwire::kPing + 1)));
  return fuzzkit::writeSeeds(argc, argv, "call-session-fuzz-corpus", seeds);
}
