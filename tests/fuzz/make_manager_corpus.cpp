// Writes the manager fuzzer's seed corpus: calls as devices make them (with
// and without a password, pings echoed and not), as they go wrong (each
// malformed introduction, a silent caller, a cut call), and as several meet
// (a second device, the same device calling again). The seeds in
// tests/fuzz/manager-corpus are this program's output:
//
//   build/native/bin/manager-fuzz-corpus tests/fuzz/manager-corpus
#include "control_connection.h"
#include "manager_input.h"

#include <string>
#include <utility>
#include <vector>

namespace {

using namespace pspclink::fuzz;
using fuzzkit::Bytes;
using fuzzkit::join;

Bytes introduction(const std::u16string& name = u"PsPC") {
  controlwire::Introduction intro;
  intro.osMajor = 2;
  intro.osMinor = 11;
  intro.build = 163;
  intro.cpuType = 4000;
  intro.deviceName = name;
  intro.platformName = u"Palm PC";
  intro.modelName = u"P1";
  Bytes message;
  controlwire::encodeIntroductionMessage(intro, message);
  return message;
}

// The longest names a legal introduction carries: 511 bytes, the three names
// at one offset, 236 units of U+3042 each. Its device record is the longest
// line the manager can be made to send.
Bytes longestNamesIntroduction() {
  Bytes body(511, 0);
  for (size_t field : {24, 28, 32}) body[field] = 36;
  for (size_t at = 36; at + 2 < 510; at += 2) {
    body[at] = 0x42;
    body[at + 1] = 0x30;
  }
  Bytes message = controlwire::wordBytes(uint32_t(body.size()));
  message.insert(message.end(), body.begin(), body.end());
  return message;
}

Bytes word(uint32_t value) { return controlwire::wordBytes(value); }
const Bytes kPing = word(controlwire::kPing);
const Bytes kYes = {1, 0}, kNo = {0, 0};

// One interval in quarters.
constexpr unsigned kInterval = 4;

} // namespace

int main(int argc, char** argv) {
  const Bytes intro = introduction();
  const Bytes challenged = join({word(controlwire::challengeWord(0x5A)), intro});
  std::vector<std::pair<std::string, Script>> seeds;

  seeds.emplace_back("attach-echo-then-silent", Script(false)
                                                    .arrive(0)
                                                    .send(0, join({word(0), intro}))
                                                    .wait(kInterval)
                                                    .send(0, kPing)
                                                    .wait(kInterval)
                                                    .send(0, kPing)
                                                    .wait(5 * kInterval));
  seeds.emplace_back("attach-then-close", Script(false).arrive(0).send(0, intro).wait(2).close(0));
  seeds.emplace_back("password-accepted",
                     Script(true).arrive(0).send(0, challenged).send(0, kYes).wait(kInterval).send(0, kPing));
  seeds.emplace_back("password-refused", Script(true).arrive(0).send(0, challenged).send(0, kNo).wait(9 * kInterval));
  seeds.emplace_back("password-unanswered", Script(true).arrive(0).send(0, challenged).wait(4 * kInterval));
  seeds.emplace_back("password-missing", Script(false).arrive(0).send(0, challenged).send(0, kYes).wait(kInterval));
  seeds.emplace_back("answer-in-halves",
                     Script(true).arrive(0).send(0, challenged).send(0, {1}).wait(1).send(0, {0}).wait(kInterval));

  Bytes unterminated = intro;
  unterminated[unterminated.size() - 2] = 'x';
  Bytes pastTheEnd = intro;
  pastTheEnd[4 + 32] = 0xF0;
  seeds.emplace_back("malformed-too-short", Script(false).arrive(0).send(0, word(0x23)));
  seeds.emplace_back("malformed-unterminated", Script(false).arrive(0).send(0, unterminated));
  seeds.emplace_back("malformed-past-the-end", Script(false).arrive(0).send(0, pastTheEnd));
  seeds.emplace_back("silent-caller", Script(false).arrive(0).wait(4 * kInterval).arrive(1).send(1, intro));
  seeds.emplace_back("cut-introduction",
                     Script(false).arrive(0).send(0, Bytes(intro.begin(), intro.begin() + 30)).close(0));
  seeds.emplace_back("second-device-refused",
                     Script(true).arrive(0, 0).send(0, intro).arrive(1, 1).send(1, challenged).wait(kInterval));
  seeds.emplace_back(
      "two-introducing",
      Script(true).arrive(0, 0).arrive(1, 1).send(1, challenged).send(0, challenged).send(1, kYes).send(0, kYes));
  seeds.emplace_back(
      "called-again",
      Script(false).arrive(0, 2).send(0, intro).arrive(1, 2).send(1, introduction(u"Again")).wait(kInterval));
  seeds.emplace_back("long-names", Script(false).arrive(0).send(0, introduction(std::u16string(200, u'\u3042'))));
  seeds.emplace_back("longest-names",
                     Script(true)
                         .arrive(0)
                         .send(0, join({word(controlwire::challengeWord(0x5A)), longestNamesIntroduction()}))
                         .send(0, kYes)
                         .wait(kInterval)
                         .send(0, kPing));
  return fuzzkit::writeSeeds(argc, argv, "manager-fuzz-corpus", seeds);
}
