// The desktop's connection manager as a person runs it, for the tests and the
// benchmark: `pspclink serve` as a child process with a channel folder of the
// caller's own (PSPCLINK_DIR, whatever PSPCLINK_ variables the caller's
// environment holds: a developer's channel folder is never touched),
// listening for devices on 127.0.0.1. Every wait is bounded by the hang guard.
#pragma once

#include "link_channel.h"

#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

class PspclinkProcess {
public:
  // A command that ended by itself: its exit status and what it printed.
  struct Run {
    int status = -1;
    std::string out, err;
  };

  // `program` (pspclink) with the channel folder `folder`; what it prints
  // goes to files in `work`, which must exist.
  PspclinkProcess(std::filesystem::path program, std::filesystem::path folder, std::filesystem::path work);
  ~PspclinkProcess(); // stops it, as stop() does
  PspclinkProcess(const PspclinkProcess&) = delete;
  PspclinkProcess& operator=(const PspclinkProcess&) = delete;

  // `pspclink serve --listen 127.0.0.1:PORT ARGS` with `environment`
  // (NAME=value) beside PSPCLINK_DIR, and waits until its channel file is in
  // place. PORT is a free one the first time, and the devices' port of the
  // last serve after that: a restarted manager is where devices call.
  // Throws std::runtime_error, with the manager's own words, when it does
  // not start.
  void start(std::vector<std::string> args = {}, std::vector<std::string> environment = {});
  // The same serve again, once stopped.
  void startAgain() { start(args_, environment_); }
  // Ends it with `signal` (SIGTERM or Ctrl-C's SIGINT, as a person does) and
  // waits until it has ended, killing it when it will not: its exit status,
  // 128 + the signal that ended it, or -1 when none was serving.
  int stop(int signal = SIGTERM);
  bool running() const { return pid_ > 0; }

  // A command that ends by itself, e.g. `status`, or a serve that is refused.
  Run run(const std::vector<std::string>& args) const;

  const std::filesystem::path& folder() const { return folder_; }
  // The port devices call (call.port), and the channel file's port and token.
  uint16_t devicePort() const { return devicePort_; }
  const linkchannel::ChannelFile& channel() const { return channel_; }
  // pspclink.log, every start in this folder included; what the serve
  // printed on its output and its errors.
  std::string log() const;
  std::string output() const;
  // Waits until the log holds at least `count` lines holding `text`.
  bool logs(const std::string& text, size_t count = 1) const;

private:
  pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& environment,
              const std::filesystem::path& out, const std::filesystem::path& err) const;

  std::filesystem::path program_, folder_, work_;
  std::vector<std::string> args_, environment_;
  pid_t pid_ = -1;
  uint16_t devicePort_ = 0;
  linkchannel::ChannelFile channel_;
};

} // namespace testsupport
