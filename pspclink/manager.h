// The connection manager: takes the calls of devices on the control port
// (devices.h decides what becomes of them) and answers the desktop user's
// programs on the local channel (link_channel.h). One thread, one poll loop;
// it ends on SIGINT, SIGTERM or SIGHUP, removing its channel file.
#pragma once

#include "control_session.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pspclink {

struct ManagerOptions {
  std::string listenAddress = "0.0.0.0";           // every address: the cable link's comes and goes
  uint16_t listenPort = controlwire::kControlPort; // 0: any free port (written to call.port)
  std::optional<std::string> passwordFile;
  // Callers that may be given the password although their call came in
  // neither on the loopback nor on a point-to-point link (password_reach.h).
  std::vector<uint32_t> devices; // IPv4, host order
  std::filesystem::path folder; // the channel folder
  uint16_t rapiPort = controlwire::kRapiPort; // where the devices serve RAPI
  Timing timing;
};

// Serves until a signal ends it. The exit status: 0 after a signal, 1 when
// the manager could not start (the reason on stderr, e.g. a password file
// open to others, a channel folder of another user, the port in use).
int serve(const ManagerOptions& options);

} // namespace pspclink
