// The desktop's connection manager for the benchmark: `pspclink serve` as a
// user starts it, with a channel folder of the benchmark's own and the
// device port of its choosing, and the device that calls it from an address
// of its own.
#pragma once

#include "call_in.h"
#include "pspclink_process.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

namespace bench {

class ManagerHost {
public:
  // A loopback address of the benchmark's own, so that the device's port
  // 990 is free: the tests' devices take addresses of 127.0.0.x.
  static constexpr const char* kDeviceAddress = "127.0.2.9";

  // Starts `program` (pspclink) with its channel folder in `workDir`, and
  // waits until its channel file is in place; its devices call from
  // `deviceAddress`. Throws std::runtime_error, with the manager's own words,
  // when it does not start.
  ManagerHost(const std::filesystem::path& program, const std::filesystem::path& workDir,
              std::string deviceAddress = kDeviceAddress);
  ManagerHost(const ManagerHost&) = delete;
  ManagerHost& operator=(const ManagerHost&) = delete;

  // What the Windows programs are given as PSPCLINK_DIR.
  const std::filesystem::path& channelFolder() const { return manager_.folder(); }
  // How a device calls this manager: from its own address.
  pspc::CallOptions deviceCall() const;

  // Waits until the manager reports an attached, usable device; until it
  // reports none. Both throw after `guard`.
  void waitDevice(std::chrono::seconds guard) const;
  void waitNoDevice(std::chrono::seconds guard) const;

private:
  testsupport::PspclinkProcess manager_;
  std::string deviceAddress_;
};

} // namespace bench
