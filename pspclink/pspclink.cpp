// pspclink: the desktop's connection manager for Windows CE 2.x devices.
//
//   pspclink serve [--listen ADDR:PORT] [--password-file FILE] [--device ADDR]...
//   pspclink status
//
// The channel folder is where link_channel.h puts it. For tests only,
// PSPCLINK_PING_INTERVAL_MS sets the ping interval (5000 ms), and with it the
// waits for an introduction and for the answer to a password (three
// intervals each).
#include "channel_client.h"
#include "channel_folder.h"
#include "device_record.h"
#include "link_channel.h"
#include "manager.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using namespace pspclink;
using namespace linkchannel;

// PSPCLINK_PING_INTERVAL_MS, for tests.
constexpr uint64_t kLeastPingIntervalMs = 10;
constexpr uint64_t kMostPingIntervalMs = 600000;

std::string usageText() {
  return std::string("usage: pspclink serve [--listen ADDR:PORT] [--password-file FILE] [--device ADDR]...\n"
                     "                      [--rapi-port PORT]\n"
                     "       pspclink status\n"
                     "\n"
                     "serve   takes the calls of Windows CE devices on TCP port ") +
         std::to_string(controlwire::kControlPort) +
         " (of every address\n"
         "        unless --listen names one, which need not exist yet: a cable's link\n"
         "        address comes with its PPP; port 0: any free port, written to\n"
         "        " +
         kCallPortFileName +
         " in the channel folder), one device at a time, and answers\n"
         "        the desktop's programs on a local channel. --password-file names a file\n"
         "        of yours alone (chmod 600) holding the device's password on its first\n"
         "        line. The password goes only to a device calling on the loopback or over\n"
         "        a point-to-point link (its cable), and to each address given with\n"
         "        --device. Attach, detach and refusals are logged on stderr and in\n"
         "        " +
         kLogFileName +
         " in the channel folder.\n"
         "        --rapi-port names the port the devices serve RAPI on (default " +
         std::to_string(controlwire::kRapiPort) +
         ", a\n"
         "        real device's): an emulated device run by an ordinary user serves on\n"
         "        one above 1023.\n"
         "status  shows the attached device, or \"no device\", and where the manager\n"
         "        listens and logs.\n"
         "\n"
         "The channel folder: $" +
         kDirVariable + ", else $" + kRuntimeDirVariable + "/" + kRuntimeFolderName + ", else\n$HOME/" +
         kHomeFolderName + ".\n";
}

int usage(const std::string& problem) {
  std::fprintf(stderr, "pspclink: %s\n%s", problem.c_str(), usageText().c_str());
  return 2;
}

int serveCommand(int argc, char** argv, const std::filesystem::path& folder) {
  ManagerOptions options;
  options.folder = folder;
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return usage(option + " needs a value");
    const std::string value = argv[++i];
    if (option == "--listen") {
      const size_t colon = value.rfind(':');
      if (colon == std::string::npos || colon == 0 ||
          !textform::readNumber(std::string_view(value).substr(colon + 1), options.listenPort))
        return usage("--listen takes ADDR:PORT, e.g. 0.0.0.0:" + std::to_string(controlwire::kControlPort) + ": " +
                     value);
      options.listenAddress = value.substr(0, colon);
    } else if (option == "--password-file") {
      options.passwordFile = value;
    } else if (option == "--rapi-port") {
      if (!textform::readNumber(value, options.rapiPort) || options.rapiPort == 0)
        return usage("--rapi-port takes a port from 1 to 65535: " + value);
    } else if (option == "--device") {
      in_addr address{};
      if (::inet_pton(AF_INET, value.c_str(), &address) != 1)
        return usage("--device takes the device's IPv4 address, e.g. 192.168.131.129: " + value);
      options.devices.push_back(ntohl(address.s_addr));
    } else {
      return usage("unknown option " + option);
    }
  }
  if (const char* interval = std::getenv("PSPCLINK_PING_INTERVAL_MS"); interval && *interval) {
    if (!textform::readNumber(interval, options.timing.pingIntervalMs, kLeastPingIntervalMs, kMostPingIntervalMs))
      return usage("PSPCLINK_PING_INTERVAL_MS must be " + std::to_string(kLeastPingIntervalMs) + " to " +
                   std::to_string(kMostPingIntervalMs) + ": " + interval);
  }
  return serve(options);
}

int statusCommand(const std::filesystem::path& folder) {
  ChannelClient client;
  std::string error, answer;
  if (!client.connect(folder, error) || !client.ask(linkchannel::kStatus, answer, error)) {
    std::fprintf(stderr, "pspclink: %s\n", error.c_str());
    return 1;
  }
  linkchannel::Line line, listening;
  DeviceRecord record;
  std::string where;
  const bool device = answer != linkchannel::kNone;
  if ((device && (!linkchannel::parseLine(answer, line) || !parseDeviceRecord(line, record, error))) ||
      !client.ask(linkchannel::kListening, where, error) || !linkchannel::parseLine(where, listening) ||
      !listening.option("address") || !listening.option("port")) {
    std::fprintf(stderr, "pspclink: the connection manager's answer does not read: %s\n",
                 (device ? answer : where).c_str());
    return 1;
  }
  if (device)
    for (const std::string& text : readableLines(record)) std::printf("%s\n", text.c_str());
  else
    std::printf("no device\n");
  std::printf("manager:     listening on %s:%s; log %s\n", listening.option("address")->c_str(),
              listening.option("port")->c_str(), (folder / kLogFileName).c_str());
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage("which command?");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(usageText().c_str(), stdout);
    return 0;
  }
  if (command != "serve" && command != "status") return usage("unknown command " + command);
  if (command == "status" && argc > 2) return usage("status takes no options");
  std::string error;
  const std::filesystem::path folder = channelFolderPath(error);
  if (folder.empty()) {
    std::fprintf(stderr, "pspclink: %s\n", error.c_str());
    return 1;
  }
  return command == "serve" ? serveCommand(argc, argv, folder) : statusCommand(folder);
}
