// The desktop's connection manager as a person runs it: a `pspclink serve`
// process of the test's own, listening for devices on 127.0.0.1, its channel
// folder (and so its channel file and log) in the test's scratch folder. The
// programs a test starts find it through PSPCLINK_DIR, as rapi.dll does.
#pragma once

#include "e2e_fixture.h"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

class ManagerProcess {
public:
  struct Options {
    std::filesystem::path folder; // the channel folder
    // Given with --password-file (written to an owner-only file beside the folder).
    std::optional<std::string> password;
    // PSPCLINK_PING_INTERVAL_MS: a silent device is found gone sooner.
    std::optional<Milliseconds> pingInterval;
  };

  explicit ManagerProcess(Options options);
  ~ManagerProcess();
  ManagerProcess(const ManagerProcess&) = delete;
  ManagerProcess& operator=(const ManagerProcess&) = delete;

  // Starts `pspclink serve --listen 127.0.0.1:PORT` (0: a free port the
  // first time, the same port again after a stop) and waits until its
  // channel file is in place. Throws with the manager's words when it does
  // not start.
  void start();
  // Ends it with SIGTERM as a person does, and waits until it has ended.
  void stop();
  bool running() const { return pid_ > 0; }

  // The port devices call.
  uint16_t port() const { return port_; }
  const std::filesystem::path& folder() const { return options_.folder; }

  // pspclink.log, every start of the manager in this folder included.
  std::string log() const;
  // Waits until the log holds at least `count` lines holding `text`.
  ::testing::AssertionResult logs(const std::string& text, size_t count = 1, Milliseconds timeout = 30s) const;
  // What `pspclink status` prints (its output and its errors).
  std::string status() const;

private:
  pid_t spawn(const std::vector<std::string>& args, const std::filesystem::path& output) const;

  Options options_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

} // namespace e2e
