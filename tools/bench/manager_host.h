// The desktop's connection manager for the benchmark: `pspclink serve` as a
// user starts it, with a channel folder of the benchmark's own and the
// device port of its choosing, and the device that calls it from an address
// of its own.
#pragma once

#include "call_in.h"

#include <chrono>
#include <cstdint>
#include <filesystem>

namespace bench {

class ManagerHost {
public:
  // Starts `program` (pspclink) with its channel folder in `workDir`, and
  // waits until its channel file is in place. Throws std::runtime_error,
  // with the manager's own words, when it does not start.
  ManagerHost(const std::filesystem::path& program, const std::filesystem::path& workDir);
  ~ManagerHost(); // stops it (SIGTERM), as a user does
  ManagerHost(const ManagerHost&) = delete;
  ManagerHost& operator=(const ManagerHost&) = delete;

  // What the Windows programs are given as PSPCLINK_DIR.
  const std::filesystem::path& channelFolder() const { return folder_; }
  // How a device calls this manager: from its own loopback address, which
  // no test of the project uses, so that its port 990 is free.
  pspc::CallOptions deviceCall() const;

  // Waits until the manager reports an attached, usable device; until it
  // reports none. Both throw after `guard`.
  void waitDevice(std::chrono::seconds guard) const;
  void waitNoDevice(std::chrono::seconds guard) const;

private:
  std::filesystem::path folder_, log_;
  int pid_ = -1;
  uint16_t port_ = 0;
};

} // namespace bench
