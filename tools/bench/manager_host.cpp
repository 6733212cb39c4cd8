#include "manager_host.h"

#include "channel_client.h"

#include <stdexcept>
#include <string>
#include <thread>

namespace bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

ManagerHost::ManagerHost(const fs::path& program, const fs::path& workDir, std::string deviceAddress)
    : manager_(program, workDir / "channel", workDir), deviceAddress_(std::move(deviceAddress)) {
  if (!fs::exists(program)) throw std::runtime_error(program.string() + " is missing: build the native-release preset");
  fs::create_directories(workDir);
  fs::remove_all(manager_.folder()); // the manager makes it, its owner's alone
  manager_.start();
}

pspc::CallOptions ManagerHost::deviceCall() const {
  pspc::CallOptions call;
  call.manager = "127.0.0.1";
  call.managerPort = manager_.devicePort();
  call.address = deviceAddress_;
  return call;
}

void ManagerHost::waitDevice(std::chrono::seconds guard) const {
  pspclink::ChannelClient client;
  std::string error, answer;
  const int ms = int(std::chrono::milliseconds(guard).count());
  if (!client.connect(manager_.folder(), error) ||
      !client.ask("wait-device timeout=" + std::to_string(ms), answer, error, ms + 5000))
    throw std::runtime_error("the connection manager: " + error);
  if (answer.rfind("device ", 0) != 0)
    throw std::runtime_error("no device attached to the connection manager within " + std::to_string(guard.count()) +
                             " s (" + answer + "); its log:\n" + manager_.log());
}

void ManagerHost::waitNoDevice(std::chrono::seconds guard) const {
  pspclink::ChannelClient client;
  std::string error, answer;
  if (!client.connect(manager_.folder(), error)) throw std::runtime_error("the connection manager: " + error);
  const auto deadline = Clock::now() + guard;
  for (;;) {
    if (!client.ask("status", answer, error)) throw std::runtime_error("the connection manager: " + error);
    if (answer == "none") return;
    if (Clock::now() >= deadline)
      throw std::runtime_error("the device stayed attached to the connection manager: " + answer);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

} // namespace bench
