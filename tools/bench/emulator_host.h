// A device emulator inside the benchmark process, as pspcemu serves one: a
// fresh image, its op log, the link model and the RAPI server on a free port;
// or, given call options, a device that calls the connection manager and
// serves RAPI on its own address, port 990, as a real one does.
#pragma once

#include "device.h"
#include "faults.h"
#include "identity.h"
#include "line_speed.h"
#include "op_log.h"
#include "server.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace bench {

class EmulatorHost {
public:
  // Makes the image at `imageDir` (which must not exist yet) and serves it;
  // a calling device starts unplugged when asked (control "plug" calls).
  // Throws std::runtime_error when it cannot, e.g. port 990 taken or not
  // open to this user.
  EmulatorHost(const std::filesystem::path& imageDir, const pspc::Identity& identity,
               std::optional<pspc::CallOptions> call = std::nullopt, bool startUnplugged = false);
  ~EmulatorHost();
  EmulatorHost(const EmulatorHost&) = delete;
  EmulatorHost& operator=(const EmulatorHost&) = delete;

  std::string endpoint() const;
  // Stops serving (the destructor does too), so that the image may go.
  void stop();
  // A console command ("link serial", ...); throws when the device refuses it.
  void control(const std::string& command);
  pspc::Device& device() { return *device_; }

private:
  std::unique_ptr<pspc::Device> device_;
  std::unique_ptr<pspc::OpLog> log_;
  pspc::Faults faults_;
  pspc::LineSpeed link_;
  std::unique_ptr<pspc::Server> server_;
};

} // namespace bench
