#include "emulator_host.h"

#include <stdexcept>

namespace bench {

EmulatorHost::EmulatorHost(const std::filesystem::path& imageDir, const pspc::Identity& identity,
                           std::optional<pspc::CallOptions> call, bool startUnplugged) {
  std::string error;
  if (!pspc::image::create(imageDir, identity, error)) throw std::runtime_error("cannot make the device image: " + error);
  device_ = std::make_unique<pspc::Device>(imageDir);
  log_ = std::make_unique<pspc::OpLog>(pspc::image::opLogFile(imageDir));
  pspc::ServerOptions options;
  options.port = 0;
  options.startUnplugged = startUnplugged;
  if (call) {
    options.bindAddress = call->address;
    options.port = controlwire::kRapiPort; // what the manager dials
    options.call = std::move(call);
  }
  server_ = std::make_unique<pspc::Server>(*device_, *log_, faults_, link_, options);
  server_->start();
}

EmulatorHost::~EmulatorHost() { stop(); }

void EmulatorHost::stop() {
  if (server_) server_->stop();
}

std::string EmulatorHost::endpoint() const { return "127.0.0.1:" + std::to_string(server_->linkPort()); }

void EmulatorHost::control(const std::string& command) {
  const std::string answer = server_->console(command);
  if (answer.rfind("ok", 0) != 0) throw std::runtime_error("the emulator refused '" + command + "': " + answer);
}

} // namespace bench
