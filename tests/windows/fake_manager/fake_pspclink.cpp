// A stand-in for the connection manager, for rapi.dll's tests of the manager
// route: it speaks the local channel (link_channel.h) and names a served
// emulator as the attached device, while the tests decide, through a control
// port, when a device attaches and goes and what the channel file holds.
//
//   fake-pspclink --dir DIR --device-port PORT --control-port-file FILE
//
// Control lines (each answered "ok ..." or "error ..."):
//   attach [prelude=HEX] [expect=HEX]  a device attaches; with `expect`, its
//                       RAPI port is a locked front that wants that encoded
//                       password first (answering 1 and relaying to the
//                       emulator, or 0 and closing); `prelude` is what the
//                       record hands out. Answer: "ok attach=<n>".
//   detach              the attach ends: watchers are told "gone"
//   channel write|remove|stale   the channel file: right token, none, a wrong token
//   drop-channels       every channel connection is closed, as by a manager restart
//   stats               "ok hello=<n> refused=<n> unlocked=<n> locked-out=<n>"
#include "link_channel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "fake-pspclink: %s\n", why.c_str());
  std::exit(1);
}

int listenLoopback(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    fail(std::string("cannot listen: ") + std::strerror(errno));
  port = ntohs(address.sin_port);
  return fd;
}

int connectLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

bool sendAll(int fd, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    ssize_t sent = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    at += size_t(sent);
  }
  return true;
}

void writeFile(const std::string& path, const std::string& content) {
  const std::string temporary = path + ".new";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || write(fd, content.data(), content.size()) != ssize_t(content.size()) || close(fd) != 0 ||
      rename(temporary.c_str(), path.c_str()) != 0)
    fail("cannot write " + path);
}

std::string randomToken() {
  unsigned char bytes[linkchannel::kTokenBytes];
  int fd = open("/dev/urandom", O_RDONLY);
  if (fd < 0 || read(fd, bytes, sizeof(bytes)) != ssize_t(sizeof(bytes))) fail("no random bytes");
  close(fd);
  return linkchannel::hexOf(std::vector<uint8_t>(bytes, bytes + sizeof(bytes)));
}

enum class Role { Channel, Control, Front, Relay };

struct Peer {
  Role role = Role::Channel;
  std::string input;
  bool greeted = false;       // a channel client that said hello with the token
  bool waiting = false;       // in wait-device
  Clock::time_point deadline; // of that wait
  uint64_t watching = 0;      // the attach it watches
  int partner = -1;           // a relay's other end
};

class FakeManager {
public:
  FakeManager(std::string dir, uint16_t devicePort) : dir_(std::move(dir)), devicePort_(devicePort) {
    channelListener_ = listenLoopback(channelPort_);
    controlListener_ = listenLoopback(controlPort_);
    token_ = randomToken();
  }

  uint16_t controlPort() const { return controlPort_; }

  void writeChannelFile(bool rightToken) {
    std::string token = rightToken ? token_ : randomToken();
    writeFile(dir_ + "/" + linkchannel::kChannelFileName,
              linkchannel::formatChannelFile(linkchannel::ChannelFile{channelPort_, token}));
  }

  void run() {
    for (;;) {
      std::vector<pollfd> fds{{channelListener_, POLLIN, 0}, {controlListener_, POLLIN, 0}};
      if (frontListener_ >= 0) fds.push_back({frontListener_, POLLIN, 0});
      for (const auto& [fd, peer] : peers_) fds.push_back({fd, POLLIN, 0});
      poll(fds.data(), fds.size(), 50);
      expireWaits();
      for (const pollfd& p : fds) {
        if (!p.revents) continue;
        if (p.fd == channelListener_)
          accept(p.fd, Role::Channel);
        else if (p.fd == controlListener_)
          accept(p.fd, Role::Control);
        else if (p.fd == frontListener_)
          accept(p.fd, Role::Front);
        else if (peers_.count(p.fd))
          receive(p.fd);
      }
    }
  }

private:
  void accept(int listener, Role role) {
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd >= 0) peers_[fd].role = role;
  }

  void drop(int fd) {
    auto it = peers_.find(fd);
    if (it == peers_.end()) return;
    int partner = it->second.partner;
    peers_.erase(it);
    close(fd);
    if (partner >= 0) drop(partner);
  }

  void receive(int fd) {
    char buffer[65536];
    ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
    if (got <= 0) return drop(fd);
    Peer& peer = peers_[fd];
    if (peer.role == Role::Relay) {
      if (!sendAll(peer.partner, std::string(buffer, size_t(got)))) drop(fd);
      return;
    }
    peer.input.append(buffer, size_t(got));
    if (peer.role == Role::Front) return unlockFront(fd);
    size_t end;
    while (peers_.count(fd) && (end = peers_[fd].input.find('\n')) != std::string::npos) {
      std::string line = peers_[fd].input.substr(0, end);
      peers_[fd].input.erase(0, end + 1);
      if (peers_[fd].role == Role::Control)
        control(fd, line);
      else
        request(fd, line);
    }
  }

  // The locked front of a device: the encoded password first, then RAPI.
  void unlockFront(int fd) {
    Peer& peer = peers_[fd];
    if (peer.input.size() < 2) return;
    size_t count = uint8_t(peer.input[0]) | size_t(uint8_t(peer.input[1])) << 8;
    if (peer.input.size() < 2 + count) return;
    std::string password = peer.input.substr(0, 2 + count);
    std::string rest = peer.input.substr(2 + count);
    std::vector<uint8_t> bytes(password.begin(), password.end());
    int device = linkchannel::hexOf(bytes) == expect_ ? connectLoopback(devicePort_) : -1;
    if (device < 0) {
      ++lockedOut_;
      sendAll(fd, std::string(1, '\0'));
      return drop(fd);
    }
    ++unlocked_;
    sendAll(fd, std::string(1, '\1'));
    peer.role = Role::Relay;
    peer.partner = device;
    peer.input.clear();
    peers_[device] = Peer{Role::Relay, {}, false, false, {}, 0, fd};
    if (!rest.empty()) sendAll(device, rest);
  }

  std::string record() const {
    return linkchannel::formatLine("device", {{"name", "Fake PsPC"},
                                              {"platform", "Palm PC"},
                                              {"model", "Fake"},
                                              {"os", "2.11"},
                                              {"build", "0"},
                                              {"cpu", "4000"},
                                              {"address", "127.0.0.1"},
                                              {"rapi-port", std::to_string(rapiPort_)},
                                              {"since", std::to_string(since_)},
                                              {"attach", std::to_string(attach_)},
                                              {"locked", prelude_.empty() ? "0" : "1"},
                                              {"state", "unlocked"}});
  }

  std::string deviceAnswer() const {
    std::string line = record();
    if (!prelude_.empty()) line.insert(line.size() - 1, " prelude=" + prelude_);
    return line;
  }

  void request(int fd, const std::string& text) {
    Peer& peer = peers_[fd];
    linkchannel::Line line;
    if (!linkchannel::parseLine(text, line)) return reply(fd, "error malformed request\n");
    if (!peer.greeted) {
      if (line.name == "hello" && line.words.size() == 1 && line.words[0] == token_) {
        ++hellos_;
        peer.greeted = true;
        return reply(fd, "ok\n");
      }
      ++refusedHellos_;
      sendAll(fd, "error wrong token\n");
      return drop(fd);
    }
    if (line.name == "status") return reply(fd, attach_ ? record() : "none\n");
    if (line.name == "wait-device") {
      if (attach_) return reply(fd, deviceAnswer());
      const std::string* timeout = line.option("timeout");
      peer.waiting = true;
      peer.deadline = Clock::now() + std::chrono::milliseconds(timeout ? std::atoi(timeout->c_str()) : 600000);
      return;
    }
    if (line.name == "watch") {
      const std::string* attach = line.option("attach");
      uint64_t watched = attach ? std::strtoull(attach->c_str(), nullptr, 10) : 0;
      if (watched == 0 || watched != attach_) return reply(fd, "gone\n");
      peer.watching = watched;
      return;
    }
    reply(fd, "error unknown request\n");
  }

  void reply(int fd, const std::string& line) {
    if (!sendAll(fd, line)) drop(fd);
  }

  void expireWaits() {
    const auto now = Clock::now();
    std::vector<int> expired;
    for (auto& [fd, peer] : peers_)
      if (peer.waiting && peer.deadline <= now) expired.push_back(fd);
    for (int fd : expired) {
      peers_[fd].waiting = false;
      reply(fd, "none\n");
    }
  }

  void control(int fd, const std::string& text) {
    linkchannel::Line line;
    if (!linkchannel::parseLine(text, line)) return reply(fd, "error malformed\n");
    if (line.name == "attach") {
      endAttach();
      ++lastAttach_;
      attach_ = lastAttach_;
      since_ = uint64_t(std::time(nullptr));
      prelude_ = line.option("prelude") ? *line.option("prelude") : "";
      expect_ = line.option("expect") ? *line.option("expect") : "";
      rapiPort_ = devicePort_;
      if (!expect_.empty()) frontListener_ = listenLoopback(rapiPort_);
      std::vector<int> waiting;
      for (auto& [peerFd, peer] : peers_)
        if (peer.waiting) waiting.push_back(peerFd);
      for (int peerFd : waiting) {
        peers_[peerFd].waiting = false;
        reply(peerFd, deviceAnswer());
      }
      return reply(fd, "ok attach=" + std::to_string(attach_) + "\n");
    }
    if (line.name == "detach") {
      endAttach();
      return reply(fd, "ok\n");
    }
    if (line.name == "channel" && line.words.size() == 1) {
      const std::string& what = line.words[0];
      if (what == "remove")
        unlink((dir_ + "/" + linkchannel::kChannelFileName).c_str());
      else if (what == "write" || what == "stale")
        writeChannelFile(what == "write");
      else
        return reply(fd, "error channel write|remove|stale\n");
      return reply(fd, "ok\n");
    }
    if (line.name == "drop-channels") {
      std::vector<int> channels;
      for (const auto& [peerFd, peer] : peers_)
        if (peer.role == Role::Channel) channels.push_back(peerFd);
      for (int peerFd : channels) drop(peerFd);
      return reply(fd, "ok\n");
    }
    if (line.name == "stats")
      return reply(fd, "ok hello=" + std::to_string(hellos_) + " refused=" + std::to_string(refusedHellos_) +
                           " unlocked=" + std::to_string(unlocked_) + " locked-out=" + std::to_string(lockedOut_) +
                           "\n");
    reply(fd, "error unknown command\n");
  }

  // The device goes: its watchers are told, its locked front and the RAPI
  // connections through it close.
  void endAttach() {
    if (!attach_) return;
    std::vector<int> watchers, relays;
    for (auto& [fd, peer] : peers_) {
      if (peer.watching == attach_) watchers.push_back(fd);
      if (peer.role == Role::Relay || peer.role == Role::Front) relays.push_back(fd);
    }
    for (int fd : watchers) {
      peers_[fd].watching = 0;
      reply(fd, "gone\n");
    }
    for (int fd : relays) drop(fd);
    if (frontListener_ >= 0) close(frontListener_);
    frontListener_ = -1;
    attach_ = 0;
  }

  std::string dir_;
  uint16_t devicePort_;
  int channelListener_ = -1, controlListener_ = -1, frontListener_ = -1;
  uint16_t channelPort_ = 0, controlPort_ = 0, rapiPort_ = 0;
  std::string token_;
  std::map<int, Peer> peers_;
  uint64_t attach_ = 0, lastAttach_ = 0, since_ = 0;
  std::string prelude_, expect_;
  unsigned hellos_ = 0, refusedHellos_ = 0, unlocked_ = 0, lockedOut_ = 0;
};

} // namespace

int main(int argc, char** argv) {
  std::string dir, portFile;
  long devicePort = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--dir")
      dir = argv[i + 1];
    else if (option == "--device-port")
      devicePort = std::atol(argv[i + 1]);
    else if (option == "--control-port-file")
      portFile = argv[i + 1];
    else
      fail("unknown option " + option);
  }
  if (dir.empty() || portFile.empty() || devicePort <= 0 || devicePort > 65535)
    fail("usage: fake-pspclink --dir DIR --device-port PORT --control-port-file FILE");
  mkdir(dir.c_str(), 0700);
  chmod(dir.c_str(), 0700);
  FakeManager manager(dir, uint16_t(devicePort));
  manager.writeChannelFile(true);
  writeFile(portFile, std::to_string(manager.controlPort()) + "\n");
  manager.run();
}
