#include "manager.h"

#include "channel_folder.h"
#include "devices.h"
#include "link_channel.h"
#include "password_file.h"
#include "password_reach.h"
#include "text.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace pspclink {

namespace {

// A local client has this long to say hello.
constexpr uint64_t kHelloMs = 10000;
constexpr size_t kMaxChannelClients = 64;
// What a client may send ahead while its request is being waited on, and
// what may wait for it to read its answers: past that it is not read from.
constexpr size_t kMaxUnansweredBytes = 4 * linkchannel::kMaxLineBytes;
constexpr size_t kReadBlock = 4096;
// What the loop polls before the connections: signals, device calls, the channel.
constexpr size_t kListeningFds = 3;

uint64_t steadyMs() {
  return uint64_t(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

int64_t wallSeconds() { return int64_t(std::time(nullptr)); }

// Attach, detach and refusals, each line with its time: on stderr, and in
// the channel folder's pspclink.log for reading after the fact.
class EventLog {
public:
  explicit EventLog(int fileFd) : fd_(fileFd) {}
  ~EventLog() {
    if (fd_ >= 0) ::close(fd_);
  }
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  void write(const std::string& text) const {
    const std::string line = localTime(wallSeconds()) + " " + text + "\n";
    writeAll(STDERR_FILENO, line);
    if (fd_ >= 0) writeAll(fd_, line);
  }

private:
  static void writeAll(int fd, const std::string& line) {
    for (size_t done = 0; done < line.size();) {
      const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += size_t(n);
    }
  }
  int fd_;
};

bool randomBytes(uint8_t* bytes, size_t count) {
  for (size_t done = 0; done < count;) {
    const ssize_t n = ::getrandom(bytes + done, count - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

int listenTcp(const std::string& address, uint16_t port, uint16_t& actualPort, std::string& error) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
    error = "not an IPv4 address: " + address;
    return -1;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int on = 1;
  socklen_t length = sizeof where;
  // SO_REUSEADDR: a manager started again at once takes the port back while
  // the old connections linger in TIME_WAIT. IP_FREEBIND: the address of a
  // cable's link exists only once its PPP is up, and the device calls the
  // moment it is; the manager must be listening before that.
  if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::setsockopt(fd, IPPROTO_IP, IP_FREEBIND, &on, sizeof on) != 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length) != 0) {
    error = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  actualPort = ntohs(where.sin_port);
  return fd;
}

// Compared in a time that does not tell how much of a guess was right.
bool sameToken(const std::string& given, const std::string& token) {
  if (given.size() != token.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < token.size(); ++i) difference |= static_cast<unsigned char>(given[i] ^ token[i]);
  return difference == 0;
}

class Manager {
public:
  Manager(const ManagerOptions& options, const EventLog& log, std::string token, uint64_t firstAttach,
          std::string listening)
      : log_(log), token_(std::move(token)), devicesNamed_(options.devices), listening_(std::move(listening)),
        devices_(options.timing,
                 {[this](const std::string& line) { log_.write(line); },
                  [&options] {
                    return options.passwordFile
                               ? readPasswordFile(*options.passwordFile)
                               : PasswordSource{std::nullopt, "pspclink serve was given no --password-file"};
                  },
                  wallSeconds},
                 firstAttach, options.rapiPort) {}
  ~Manager() {
    for (auto& entry : deviceConnections_) ::close(entry.second.fd);
    for (auto& entry : clients_) ::close(entry.second.fd);
  }
  Manager(const Manager&) = delete;
  Manager& operator=(const Manager&) = delete;

  // Serves until one of the signals of `signalFd` arrives (true) or the loop
  // fails (false); `ending` says which. Every call is closed on the way out.
  bool run(int signalFd, int deviceListen, int channelListen, std::string& ending);

private:
  bool loop(int signalFd, int deviceListen, int channelListen, std::string& ending);
  // Closes clients that did not say hello in time, answers the others and
  // sends what they are due; drops those that are done.
  void serveClients(uint64_t nowMs);
  // What to poll: the three listening descriptors, then the devices'
  // connections, then the clients'; `ids` says whose each one is. Gives the
  // index of the first client.
  size_t pollSet(const pollfd (&listening)[kListeningFds], std::vector<pollfd>& fds, std::vector<uint64_t>& ids) const;
  // Reads and sends on the connections that poll found ready.
  void serveReady(const std::vector<pollfd>& fds, const std::vector<uint64_t>& ids, size_t firstClient,
                  uint64_t nowMs);

  struct DeviceConnection {
    int fd = -1;
    std::string out;
  };
  struct Client {
    int fd = -1;
    std::string in, out;
    bool greeted = false;
    bool closing = false; // closed once `out` is sent
    uint64_t helloDeadline = 0;
    enum class Wait { Nothing, Device, Gone } wait = Wait::Nothing;
    uint64_t waitDeadline = 0;
    uint64_t watchedAttach = 0;
  };

  void acceptDevices(int listenFd, uint64_t nowMs);
  void readDevice(CallId id, uint64_t nowMs);
  void applyDevices();
  void sendToDevice(CallId id, DeviceConnection& connection);
  void acceptClients(int listenFd, uint64_t nowMs);
  void readClient(Client& client, uint64_t nowMs);
  void serveClient(Client& client, uint64_t nowMs);
  void answer(Client& client, const std::string& line, uint64_t nowMs);
  void flushClient(Client& client);
  uint64_t nextDeadline() const;

  const EventLog& log_;
  std::string token_;
  std::vector<uint32_t> devicesNamed_; // --device
  std::string listening_;              // the "listening" answer
  Devices devices_;
  CallId nextId_ = 1;
  std::map<CallId, DeviceConnection> deviceConnections_;
  std::map<uint64_t, Client> clients_;
};

bool Manager::run(int signalFd, int deviceListen, int channelListen, std::string& ending) {
  const bool signalled = loop(signalFd, deviceListen, channelListen, ending);
  devices_.stop();
  applyDevices();
  return signalled;
}

bool Manager::loop(int signalFd, int deviceListen, int channelListen, std::string& ending) {
  std::vector<pollfd> fds;
  std::vector<uint64_t> ids;
  for (;;) {
    uint64_t now = steadyMs();
    devices_.tick(now);
    applyDevices();
    serveClients(now);
    const size_t firstClient =
        pollSet({{signalFd, POLLIN, 0}, {deviceListen, POLLIN, 0}, {channelListen, POLLIN, 0}}, fds, ids);
    const uint64_t next = nextDeadline();
    const int timeout = next <= now ? 0 : int(std::min<uint64_t>(next - now, 60000));
    if (::poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      ending = std::string("poll failed: ") + std::strerror(errno);
      return false;
    }
    now = steadyMs();
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (::read(signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
        ending = std::string("SIG") + sigabbrev_np(int(info.ssi_signo));
        return true;
      }
    }
    if (fds[1].revents & POLLIN) acceptDevices(deviceListen, now);
    if (fds[2].revents & POLLIN) acceptClients(channelListen, now);
    serveReady(fds, ids, firstClient, now);
  }
}

void Manager::serveClients(uint64_t nowMs) {
  for (auto it = clients_.begin(); it != clients_.end();) {
    Client& client = it->second;
    if (!client.greeted && nowMs >= client.helloDeadline) {
      client.closing = true;
      client.out.clear();
    }
    serveClient(client, nowMs);
    flushClient(client);
    if (client.closing && client.out.empty()) {
      ::close(client.fd);
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

size_t Manager::pollSet(const pollfd (&listening)[kListeningFds], std::vector<pollfd>& fds,
                        std::vector<uint64_t>& ids) const {
  fds.assign(std::begin(listening), std::end(listening));
  ids.assign(fds.size(), 0);
  for (const auto& [id, connection] : deviceConnections_) {
    fds.push_back({connection.fd, short(POLLIN | (connection.out.empty() ? 0 : POLLOUT)), 0});
    ids.push_back(id);
  }
  const size_t firstClient = fds.size();
  for (const auto& [id, client] : clients_) {
    const bool reading = client.in.size() <= kMaxUnansweredBytes && client.out.size() <= kMaxUnansweredBytes;
    fds.push_back({client.fd, short((reading ? POLLIN : 0) | (client.out.empty() ? 0 : POLLOUT)), 0});
    ids.push_back(id);
  }
  return firstClient;
}

void Manager::serveReady(const std::vector<pollfd>& fds, const std::vector<uint64_t>& ids, size_t firstClient,
                         uint64_t nowMs) {
  for (size_t i = kListeningFds; i < firstClient; ++i) {
    if (fds[i].revents == 0) continue;
    auto found = deviceConnections_.find(ids[i]);
    if (found == deviceConnections_.end()) continue;
    if (fds[i].revents & POLLOUT) sendToDevice(ids[i], found->second);
    if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) readDevice(ids[i], nowMs);
    applyDevices();
  }
  for (size_t i = firstClient; i < fds.size(); ++i) {
    auto found = clients_.find(ids[i]);
    if (fds[i].revents == 0 || found == clients_.end()) continue;
    if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) readClient(found->second, nowMs);
  }
}

uint64_t Manager::nextDeadline() const {
  uint64_t next = devices_.nextDeadline();
  for (const auto& entry : clients_) {
    const Client& client = entry.second;
    if (client.closing) continue;
    if (!client.greeted) next = std::min(next, client.helloDeadline);
    if (client.wait == Client::Wait::Device) next = std::min(next, client.waitDeadline);
  }
  return next;
}

void Manager::acceptDevices(int listenFd, uint64_t nowMs) {
  for (;;) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in local{};
    length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    CallEnds ends;
    ends.peer = ntohl(peer.sin_addr.s_addr);
    ends.local = ntohl(local.sin_addr.s_addr);
    ends.peerPort = ntohs(peer.sin_port);
    ends.localPort = ntohs(local.sin_port);
    ends.callerUser = localCaller(ends.peer, ends.peerPort, ends.local, ends.localPort);
    const uint32_t from = ends.peer;
    const std::string withheld = whyPasswordWithheld(ends, ::getuid(), localInterfaces(), devicesNamed_);
    const CallId id = nextId_++;
    if (!devices_.arrived(id, from, nowMs, withheld)) {
      ::close(fd);
      continue;
    }
    deviceConnections_[id].fd = fd;
    applyDevices();
  }
}

void Manager::readDevice(CallId id, uint64_t nowMs) {
  uint8_t block[kReadBlock];
  const ssize_t n = ::recv(deviceConnections_.at(id).fd, block, sizeof block, 0);
  if (n > 0)
    devices_.received(id, block, size_t(n), nowMs);
  else if (n == 0 || (errno != EAGAIN && errno != EINTR))
    devices_.closed(id);
}

// Sends what `out` holds as far as the socket takes it now; false when the
// connection broke (what is left then stays unsent).
bool sendPending(int fd, std::string& out) {
  while (!out.empty()) {
    const ssize_t n = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0)
      out.erase(0, size_t(n));
    else if (n < 0 && errno == EINTR)
      continue;
    else
      return !(n < 0 && errno != EAGAIN);
  }
  return true;
}

void Manager::sendToDevice(CallId id, DeviceConnection& connection) {
  if (!sendPending(connection.fd, connection.out)) devices_.closed(id);
}

// Sends what the devices' sessions want sent and closes what they ended,
// until neither leads to more.
void Manager::applyDevices() {
  for (;;) {
    auto output = devices_.takeOutput();
    auto closing = devices_.takeClosing();
    if (output.empty() && closing.empty()) return;
    for (auto& [id, bytes] : output) {
      auto found = deviceConnections_.find(id);
      if (found == deviceConnections_.end()) continue;
      found->second.out.append(bytes.begin(), bytes.end());
      sendToDevice(id, found->second);
    }
    for (CallId id : closing) {
      auto found = deviceConnections_.find(id);
      if (found == deviceConnections_.end()) continue;
      ::close(found->second.fd);
      deviceConnections_.erase(found);
    }
  }
}

void Manager::acceptClients(int listenFd, uint64_t nowMs) {
  for (;;) {
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (clients_.size() >= kMaxChannelClients) {
      ::close(fd);
      continue;
    }
    Client& client = clients_[nextId_++];
    client.fd = fd;
    client.helloDeadline = nowMs + kHelloMs;
  }
}

void Manager::readClient(Client& client, uint64_t nowMs) {
  char block[kReadBlock];
  const ssize_t n = ::recv(client.fd, block, sizeof block, 0);
  if (n > 0) {
    client.in.append(block, size_t(n));
    serveClient(client, nowMs);
  } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
    // Gone: nothing more is sent, and the loop closes it.
    client.closing = true;
    client.out.clear();
  }
}

// Answers the client's waiting request when its moment came, then the lines
// it sent meanwhile, one at a time.
void Manager::serveClient(Client& client, uint64_t nowMs) {
  while (!client.closing) {
    if (client.wait == Client::Wait::Device) {
      const auto device = devices_.attached();
      if (device && device->usable)
        client.out += formatDeviceRecord(*device, true);
      else if (nowMs >= client.waitDeadline)
        client.out += "none\n";
      else
        return;
    } else if (client.wait == Client::Wait::Gone) {
      if (devices_.currentAttach() == client.watchedAttach) return;
      client.out += "gone\n";
    }
    client.wait = Client::Wait::Nothing;
    if (client.out.size() > kMaxUnansweredBytes) return; // it reads its answers first
    const size_t end = client.in.find('\n');
    if (end == std::string::npos) {
      if (client.in.size() > linkchannel::kMaxLineBytes) {
        client.out += "error the line is too long\n";
        client.closing = true;
      }
      return;
    }
    const std::string line = client.in.substr(0, end);
    client.in.erase(0, end + 1);
    answer(client, line, nowMs);
  }
}

void Manager::answer(Client& client, const std::string& text, uint64_t nowMs) {
  linkchannel::Line line;
  const bool parsed = linkchannel::parseLine(text, line);
  if (!client.greeted) {
    if (parsed && line.name == linkchannel::kHello && line.words.size() == 1 && line.options.empty() &&
        sameToken(line.words[0], token_)) {
      client.greeted = true;
      client.out += std::string(linkchannel::kOk) + "\n";
    } else {
      // Nothing is told to a client without the token.
      client.out += "error the first line must be hello with the token of the channel file\n";
      client.closing = true;
    }
    return;
  }
  if (!parsed) {
    client.out += "error not a request\n";
  } else if (line.name == linkchannel::kListening) {
    client.out += listening_;
  } else if (line.name == linkchannel::kStatus) {
    const auto device = devices_.attached();
    client.out += device ? formatDeviceRecord(*device, false) : std::string(linkchannel::kNone) + "\n";
  } else if (line.name == linkchannel::kWaitDevice) {
    uint64_t timeout = linkchannel::kMaxWaitMs;
    const std::string* given = line.option("timeout");
    if (given && !textform::readNumber(*given, timeout)) {
      client.out += "error timeout must be a number of milliseconds\n";
      return;
    }
    client.wait = Client::Wait::Device;
    client.waitDeadline = nowMs + std::min<uint64_t>(timeout, linkchannel::kMaxWaitMs);
  } else if (line.name == linkchannel::kWatch) {
    const std::string* given = line.option("attach");
    if (!given || !textform::readNumber(*given, client.watchedAttach)) {
      client.out += "error watch needs attach=<the attach number of a device record>\n";
      return;
    }
    client.wait = Client::Wait::Gone;
  } else if (line.name == linkchannel::kHello) {
    client.out += std::string(linkchannel::kOk) + "\n";
  } else {
    client.out += "error unknown request " + linkchannel::encodeValue(line.name) + "\n";
  }
}

void Manager::flushClient(Client& client) {
  if (!sendPending(client.fd, client.out)) {
    client.closing = true;
    client.out.clear();
  }
}

// The signals that end the manager, blocked and read in its loop, so that it
// removes its channel file however it is asked to stop: their descriptor,
// or -1.
int takeEndingSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signal);
  ::sigprocmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return ::signalfd(-1, &signals, SFD_CLOEXEC);
}

// Where devices call and the local channel, each listening.
struct Listeners {
  int device = -1, channel = -1;
  uint16_t devicePort = 0, channelPort = 0;
};

bool openListeners(const ManagerOptions& options, Listeners& listeners, std::string& error) {
  listeners.device = listenTcp(options.listenAddress, options.listenPort, listeners.devicePort, error);
  if (listeners.device < 0) {
    error = "cannot listen for devices on " + options.listenAddress + ":" + std::to_string(options.listenPort) + ": " +
            error;
    return false;
  }
  listeners.channel = listenTcp(linkchannel::kChannelAddress, 0, listeners.channelPort, error);
  if (listeners.channel >= 0) return true;
  error = std::string("cannot open the local channel on ") + linkchannel::kChannelAddress + ": " + error;
  return false;
}

// The channel's token, and the first attach number: attach numbers differ
// from one manager to the next, so that a watch carried over from an earlier
// manager never matches a new attach.
bool drawSecrets(std::string& tokenHex, uint64_t& firstAttach, std::string& error) {
  uint8_t token[linkchannel::kTokenBytes];
  uint32_t attach = 0;
  if (!randomBytes(token, sizeof token) || !randomBytes(reinterpret_cast<uint8_t*>(&attach), sizeof attach)) {
    error = std::string("no random bytes for the channel's token: ") + std::strerror(errno);
    return false;
  }
  tokenHex = linkchannel::hexOf(std::vector<uint8_t>(token, token + sizeof token));
  std::memset(token, 0, sizeof token);
  firstAttach = (attach & 0x7FFFFFFFu) + 1;
  return true;
}

// The manager's first words: in its log, and on stdout for whoever started it.
void announce(const ManagerOptions& options, const EventLog& log, const std::string& listening) {
  const std::string channelFile = (options.folder / linkchannel::kChannelFileName).string();
  std::string named;
  for (uint32_t device : options.devices) named += (named.empty() ? " and from " : ", ") + dottedAddress(device);
  log.write("started: listening for devices on " + listening + "; channel file " + channelFile + "; " +
            (options.passwordFile ? "password file " + *options.passwordFile +
                                        " (for calls on the loopback or a point-to-point link" + named + ")"
                                  : "no password file"));
  std::printf("pspclink: listening for devices on %s\npspclink: channel file %s\n", listening.c_str(),
              channelFile.c_str());
  std::fflush(stdout);
}

} // namespace

int serve(const ManagerOptions& options) {
  auto refuse = [](const std::string& reason) {
    std::fprintf(stderr, "pspclink: %s\n", reason.c_str());
    return 1;
  };
  const int signalFd = takeEndingSignals();
  if (signalFd < 0) return refuse(std::string("cannot take signals: ") + std::strerror(errno));
  if (options.passwordFile) {
    const PasswordSource source = readPasswordFile(*options.passwordFile);
    if (!source.password) return refuse(source.problem);
  }
  std::string error;
  ChannelFolder folder;
  if (!folder.open(options.folder, error)) return refuse(error);
  const int logFd = folder.openLog(error);
  if (logFd < 0) return refuse(error);
  const EventLog log(logFd);
  Listeners listeners;
  std::string tokenHex;
  uint64_t firstAttach = 0;
  if (!openListeners(options, listeners, error) || !drawSecrets(tokenHex, firstAttach, error) ||
      !folder.publish(listeners.channelPort, tokenHex, listeners.devicePort, error))
    return refuse(error);
  const std::string listening = options.listenAddress + ":" + std::to_string(listeners.devicePort);
  announce(options, log, listening);

  std::string ending;
  bool signalled = false;
  {
    Manager manager(options, log, tokenHex, firstAttach,
                    linkchannel::formatLine(linkchannel::kListening, {{"address", options.listenAddress},
                                                          {"port", std::to_string(listeners.devicePort)}}));
    signalled = manager.run(signalFd, listeners.device, listeners.channel, ending);
  }
  folder.withdraw();
  ::close(listeners.device);
  ::close(listeners.channel);
  ::close(signalFd);
  log.write("stopped (" + ending + ")");
  return signalled ? 0 : 1;
}

} // namespace pspclink
