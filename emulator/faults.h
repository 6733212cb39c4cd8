// Faults a tester injects into the device: a call that fails, a link that
// drops at a chosen call or after a number of bytes, and a device that
// misbehaves towards the desktop's connection manager. Set from the
// emulator's command line or its console, never by anything on the
// link itself.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pspc {

class Faults {
public:
  enum class Action { None, Fail, Drop, Hold };
  // How the device's introduction to the connection manager is spoilt.
  enum class Introduction {
    Sound,
    NameOffset,   // the device name's offset points past the end
    Short,        // a length word under the introduction's fixed fields
    NoTerminator, // the last name runs to the end without a terminator
  };

  // Adds a rule. Forms:
  //   fail:<Op>:<N>[:<lastError>]   the Nth call of Op from now fails ("<N>+": and every later one)
  //   drop:<Op>:<N>                 the link drops when the Nth call of Op arrives, before it runs
  //   hold:<Op>:<N>                 the Nth call of Op is held when it arrives, neither run nor
  //                                 answered, until the console command "release" (then it runs)
  //                                 or an unplug (then its link drops)
  //   drop-after-bytes:<N>          the link drops once N more request bytes have arrived
  //   silent                        the device goes silent, its connections left open: no
  //                                 ping is echoed, no call answered, no new call to the manager
  //   refuse-password               the device refuses even the right password from the manager
  //   intro:name-offset|short|no-terminator
  //                                 the device introduces itself with a malformed introduction
  // Op is a call name such as CeWriteFile (the "Ce" may be left out; any letter case).
  // clear() ends them all.
  bool add(const std::string& spec, std::string& error);
  void clear();

  // Called once per request, before it runs. On Fail, `lastError` is the
  // error the failed call reports.
  Action onCall(const std::string& op, uint32_t& lastError);
  // Called for every chunk of bytes that arrives. True when the link drops
  // within this chunk: then only the first `count` bytes (reduced here) arrive.
  bool onBytes(size_t& count);

  bool silent() const;
  bool refusesPassword() const;
  Introduction introduction() const;

  std::string describe() const;

private:
  bool addIntroduction(const std::string& spec, const std::string& how, std::string& error);
  // fail:, drop: and hold: rules.
  bool addCallRule(const std::string& spec, const std::vector<std::string>& parts, std::string& error);

  struct Rule {
    Action action = Action::Fail;
    std::string op;     // canonical call name
    uint32_t nth = 1;
    bool onward = false;
    uint32_t lastError = 31; // ERROR_GEN_FAILURE
    std::string spec;
  };
  mutable std::mutex mutex_;
  std::vector<Rule> rules_;
  std::map<std::string, uint32_t> calls_; // calls of each op since its rule was set
  std::optional<uint64_t> bytesLeft_;
  bool silent_ = false;
  bool refusePassword_ = false;
  Introduction introduction_ = Introduction::Sound;
};

// Canonical call name ("CeWriteFile") of a name a person typed, or nothing.
std::optional<std::string> canonicalCallName(const std::string& typed);

} // namespace pspc
