#include "server.h"

#include "dispatch.h"
#include "rapi_commands.h"
#include "socket_io.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace pspc {

Server::Server(Device& device, OpLog& log, Faults& faults, LineSpeed& lineSpeed, ServerOptions options)
    : device_(device), log_(log), faults_(faults), lineSpeed_(lineSpeed), options_(std::move(options)) {}

Server::~Server() { stop(); }

int Server::listenOn(const std::string& address, uint16_t port, uint16_t& actualPort, std::string& error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("cannot make a socket: ") + std::strerror(errno);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    ::close(fd);
    error = "not an IPv4 address: " + address;
    return -1;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int saved = errno;
    ::close(fd);
    error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(saved);
    if (saved == EADDRINUSE)
      error += " (another program, or another emulator, uses this port; choose another with --port)";
    else if (saved == EACCES && port < 1024)
      error += " (a port below 1024 needs root, the capability CAP_NET_BIND_SERVICE, or a lower "
               "net.ipv4.ip_unprivileged_port_start)";
    else if (saved == EADDRNOTAVAIL)
      error += " (no interface of this machine has that address)";
    return -1;
  }
  if (::listen(fd, 16) != 0) {
    error = std::string("listen failed: ") + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  actualPort = ntohs(addr.sin_port);
  return fd;
}

void Server::start() {
  std::string error;
  std::optional<std::u16string> password;
  if (options_.call && !image::readPassword(device_.imageDir(), password, error)) throw std::runtime_error(error);
  if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot make a pipe");
  console_.open(device_.imageDir());
  wantPlugged_ = !options_.startUnplugged;
  if (wantPlugged_) {
    linkFd_ = listenOn(options_.bindAddress, options_.port, linkPort_, error);
    if (linkFd_ < 0) throw std::runtime_error(error);
    options_.port = linkPort_; // plugging in again reuses the port first given out
  } else {
    linkPort_ = options_.port;
  }
  acceptThread_ = std::thread([this] { acceptLoop(); });
  controlThread_ = std::thread([this] { controlLoop(); });
  // The device calls once it serves RAPI: the manager may dial it at once.
  if (options_.call) {
    CallOptions call = *options_.call;
    call.address = options_.bindAddress;
    callIn_ = std::make_unique<CallIn>(device_.identity(), std::move(password), log_, faults_, call);
    callIn_->start(wantPlugged_);
  }
}

void Server::stop() {
  if (stopping_.exchange(true)) return;
  if (callIn_) callIn_->stop();
  // As when the device goes away: its port stops answering before the
  // connections drop. Otherwise a desktop that reconnects at once, as RAPI
  // does after a broken link, would be let in by a device that is going.
  char wake = 1;
  [[maybe_unused]] ssize_t ignored = ::write(wakePipe_[1], &wake, 1);
  if (acceptThread_.joinable()) acceptThread_.join();
  {
    std::lock_guard lock(mutex_);
    if (linkFd_ >= 0) ::close(linkFd_);
    linkFd_ = -1;
    for (Connection& c : connections_)
      if (c.fd >= 0) ::shutdown(c.fd, SHUT_RDWR);
    appliedCv_.notify_all();
    heldCv_.notify_all();
  }
  if (controlThread_.joinable()) controlThread_.join();
  std::list<Connection> remaining;
  {
    std::lock_guard lock(mutex_);
    remaining.splice(remaining.end(), connections_);
  }
  for (Connection& c : remaining)
    if (c.thread.joinable()) c.thread.join();
  std::lock_guard lock(mutex_);
  console_.close();
  for (int* fd : {&linkFd_, &wakePipe_[0], &wakePipe_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  quit_ = true;
  quitCv_.notify_all();
}

void Server::waitForQuit() {
  std::unique_lock lock(mutex_);
  quitCv_.wait(lock, [this] { return quit_.load(); });
}

bool Server::requestPlugState(bool plugged, std::string& error) {
  std::unique_lock lock(mutex_);
  wantPlugged_ = plugged;
  uint64_t seq = ++requestSeq_;
  char wake = 1;
  [[maybe_unused]] ssize_t ignored = ::write(wakePipe_[1], &wake, 1);
  appliedCv_.wait(lock, [&] { return appliedSeq_ >= seq || stopping_; });
  error = applyError_;
  return error.empty();
}

bool Server::plug(std::string& error) {
  if (!requestPlugState(true, error)) return false;
  log_.write(0, "plug", JsonObject().add("port", uint32_t(linkPort_)));
  if (callIn_) callIn_->setPlugged(true);
  return true;
}

void Server::unplug() {
  std::string error;
  requestPlugState(false, error);
  if (callIn_) callIn_->setPlugged(false);
  std::lock_guard lock(mutex_);
  for (Connection& c : connections_)
    if (c.fd >= 0) ::shutdown(c.fd, SHUT_RDWR);
  ++dropSeq_;
  heldCv_.notify_all();
  log_.write(0, "unplug", JsonObject());
}

bool Server::holdReply(std::chrono::milliseconds delay) {
  std::unique_lock lock(mutex_);
  const uint64_t seq = dropSeq_;
  return !heldCv_.wait_for(lock, delay, [&] { return dropSeq_ != seq || stopping_; });
}

bool Server::holdCall() {
  std::unique_lock lock(mutex_);
  const uint64_t dropped = dropSeq_, released = releaseSeq_;
  ++heldCalls_;
  heldCv_.wait(lock, [&] { return dropSeq_ != dropped || releaseSeq_ != released || stopping_; });
  --heldCalls_;
  return dropSeq_ == dropped && !stopping_;
}

bool Server::waitWhileSilent() {
  std::unique_lock lock(mutex_);
  const uint64_t dropped = dropSeq_;
  // Silence ends through the faults, which wake no one: looked at every poll.
  while (faults_.silent() && dropSeq_ == dropped && !stopping_)
    heldCv_.wait_for(lock, std::chrono::milliseconds(kPollMs));
  return dropSeq_ == dropped && !stopping_;
}

bool Server::plugged() const {
  std::lock_guard lock(mutex_);
  return linkFd_ >= 0;
}

size_t Server::connectionCount() const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const Connection& c : connections_) n += !c.finished;
  return n;
}

std::string Server::status() const {
  uint32_t storeSize = 0, freeSize = 0;
  device_.storeInformation(storeSize, freeSize);
  std::string text = std::string(plugged() ? "plugged" : "unplugged") + " port=" + std::to_string(linkPort_) +
                     " connections=" + std::to_string(connectionCount()) +
                     " handles=" + std::to_string(device_.openHandleCount()) +
                     " store=" + std::to_string(storeSize) + " free=" + std::to_string(freeSize) +
                     " link=\"" + LineSpeed::rateName(lineSpeed_.rate()) + "\"" +
                     " replyDelayMs=" + std::to_string(lineSpeed_.replyDelay().count()) +
                     " faults=\"" + faults_.describe() + "\"";
  if (callIn_) text += " " + callIn_->describe();
  return text;
}

void Server::reapFinished() {
  std::list<Connection> done;
  {
    std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if (it->finished) done.splice(done.end(), connections_, it);
      it = next;
    }
  }
  for (Connection& c : done)
    if (c.thread.joinable()) c.thread.join();
}

void Server::acceptLoop() {
  while (!stopping_) {
    reapFinished();
    int fd;
    {
      std::lock_guard lock(mutex_);
      if (appliedSeq_ < requestSeq_) {
        applyError_.clear();
        if (wantPlugged_ && linkFd_ < 0) {
          uint16_t port = 0;
          linkFd_ = listenOn(options_.bindAddress, options_.port, port, applyError_);
          if (linkFd_ >= 0) linkPort_ = options_.port = port;
        } else if (!wantPlugged_ && linkFd_ >= 0) {
          ::close(linkFd_);
          linkFd_ = -1;
        }
        appliedSeq_ = requestSeq_;
        appliedCv_.notify_all();
      }
      fd = linkFd_;
    }
    pollfd p[2] = {{fd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    int ready = ::poll(p, 2, kPollMs);
    if (ready <= 0) continue;
    char drain[64];
    while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
    }
    if (fd < 0 || !(p[0].revents & POLLIN)) continue;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int client = ::accept4(fd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    if (client < 0) continue;
    if (stopping_) {
      ::close(client); // arrived as the device stopped: never served
      continue;
    }
    std::lock_guard lock(mutex_);
    size_t active = 0;
    for (const Connection& c : connections_) active += !c.finished;
    uint32_t id = nextConnectionId_++;
    if (active >= options_.maxConnections) {
      log_.write(id, "refused", JsonObject().add("peer", addressName(addr)).add("reason", "too many connections"));
      ::close(client);
      continue;
    }
    int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const timeval wake{0, kPollMs * 1000};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
    Connection& c = connections_.emplace_back();
    c.fd = client;
    c.id = id;
    c.thread = std::thread([this, &c, peer = addressName(addr)] { serve(c, peer); });
  }
}

bool Server::readOpening(int fd, uint8_t* bytes, size_t count, std::string& why) {
  // The socket's receive time-out wakes this every poll interval, so that a
  // stop or an unplug is seen; a peer that began and stalled is given up.
  size_t got = 0;
  auto since = std::chrono::steady_clock::now();
  while (got < count) {
    if (stopping_) {
      why = "the emulator stopped";
      return false;
    }
    const ssize_t n = ::recv(fd, bytes + got, count - got, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (got > 0 && std::chrono::steady_clock::now() - since > options_.partialRequestTimeout) {
        why = "the password stopped arriving halfway";
        return false;
      }
      continue;
    }
    if (n <= 0) {
      why = plugged() ? "the desktop closed the link" : "the device was unplugged";
      return false;
    }
    if (got == 0) since = std::chrono::steady_clock::now();
    got += size_t(n);
  }
  return true;
}

bool Server::admit(uint32_t id, int fd, std::string& why) {
  uint8_t head[2];
  if (!readOpening(fd, head, sizeof head, why)) return false;
  const uint16_t count = controlwire::loadLe16(head);
  bool accepted = false;
  std::string reason = "a password length of " + std::to_string(count) + " bytes";
  if (controlwire::passwordLengthAcceptable(count)) {
    std::vector<uint8_t> encoded(count);
    if (!readOpening(fd, encoded.data(), encoded.size(), why)) return false;
    reason.clear();
    accepted = callIn_->acceptsRapiPassword(encoded, reason);
  }
  if (!waitWhileSilent()) {
    why = hungUpReason();
    return false;
  }
  JsonObject entry;
  entry.add("accepted", accepted);
  if (!accepted) entry.add("reason", reason);
  log_.write(id, "rapi-password", entry);
  if (!sendAll(fd, controlwire::rapiPasswordAnswer(accepted))) {
    why = "the desktop went away before the password's answer";
    return false;
  }
  if (!accepted) why = "the desktop's password was refused: " + reason;
  return accepted;
}

void Server::serve(Connection& connection, const std::string& peer) {
  const uint32_t id = connection.id;
  SessionId session = device_.openSession();
  Dispatcher dispatcher(device_, session);
  log_.write(id, "connect", JsonObject().add("peer", peer));
  std::string reason = "the desktop closed the link";
  // A device with a password takes a connection only after the password.
  if (!callIn_ || !callIn_->locked() || admit(id, connection.fd, reason))
    serveRequests(id, connection.fd, dispatcher, reason);

  size_t before = device_.openHandleCount();
  device_.closeSession(session);
  size_t released = before - device_.openHandleCount();
  log_.write(id, "disconnect", JsonObject().add("reason", reason).add("handlesReleased", uint64_t(released)));
  std::lock_guard lock(mutex_);
  ::close(connection.fd);
  connection.fd = -1;
  connection.finished = true;
}

void Server::serveRequests(uint32_t id, int fd, Dispatcher& dispatcher, std::string& reason) {
  rapiwire::FrameDecoder decoder;
  std::vector<uint8_t> buffer(64 * 1024);
  auto partialSince = std::chrono::steady_clock::time_point{};
  for (;;) {
    if (stopping_) {
      reason = "the emulator stopped";
      return;
    }
    // The receive waits at most kPollMs (the socket's receive time-out), so
    // that a stop or a stalled request is seen; one call per request, where
    // a poll before it would make two.
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (decoder.buffered() > 0 &&
          std::chrono::steady_clock::now() - partialSince > options_.partialRequestTimeout) {
        reason = "a request stopped arriving halfway";
        return;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (!plugged()) reason = "the device was unplugged";
      return;
    }
    size_t usable = size_t(n);
    const bool drop = faults_.onBytes(usable);
    if (decoder.buffered() == 0) partialSince = std::chrono::steady_clock::now();
    decoder.feed(buffer.data(), usable);
    // The requests that arrived whole are answered even when the link drops
    // after them.
    if (!answerArrived(id, fd, dispatcher, decoder, partialSince, reason)) return;
    if (drop) {
      reason = "injected fault: link dropped after the set number of bytes";
      return;
    }
  }
}

bool Server::answerArrived(uint32_t id, int fd, Dispatcher& dispatcher, rapiwire::FrameDecoder& decoder,
                           std::chrono::steady_clock::time_point& partialSince, std::string& reason) {
  std::vector<uint8_t> payload;
  for (;;) {
    auto status = decoder.next(payload);
    if (status == rapiwire::FrameDecoder::Status::NeedMore) return true;
    if (status == rapiwire::FrameDecoder::Status::Malformed) {
      log_.write(id, "malformed", JsonObject().add("reason", "packet length above the limit"));
      reason = "malformed packet";
      return false;
    }
    partialSince = std::chrono::steady_clock::now();
    if (!answer(id, fd, dispatcher, payload, reason)) return false;
  }
}

bool Server::answer(uint32_t id, int fd, Dispatcher& dispatcher, const std::vector<uint8_t>& payload,
                    std::string& reason) {
  lineSpeed_.carry(payload.size() + 4);
  rapiwire::Request request;
  uint32_t code = 0;
  auto decoded = rapiwire::decodeRequest(payload, request, code);
  std::vector<uint8_t> reply;
  if (decoded == rapiwire::DecodeStatus::UnknownCommand) {
    log_.write(id, "unknown", JsonObject().add("command", code).add("bytes", uint32_t(payload.size())));
    reply = rapiwire::ErrorReply{rapiwire::kHrNotImplemented}.encode();
  } else if (decoded == rapiwire::DecodeStatus::Malformed) {
    log_.write(id, "malformed", JsonObject().add("command", code).add("reason", "arguments do not match the command"));
    reason = "malformed request";
    return false;
  } else if (!runCall(id, dispatcher, request, reply, reason)) {
    return false;
  }
  auto delay = lineSpeed_.replyDelay();
  if (delay.count() > 0 && !holdReply(delay)) {
    reason = hungUpReason();
    return false;
  }
  std::vector<uint8_t> framed = rapiwire::frame(reply);
  lineSpeed_.carry(framed.size());
  if (!sendAll(fd, framed)) {
    reason = "the desktop went away before the reply";
    return false;
  }
  return true;
}

bool Server::runCall(uint32_t id, Dispatcher& dispatcher, const rapiwire::Request& request, std::vector<uint8_t>& reply,
                     std::string& reason) {
  std::string op = rapiwire::commandName(rapiwire::requestCommand(request));
  uint32_t injectedError = 0;
  auto action = faults_.onCall(op, injectedError);
  if (action == Faults::Action::Drop) {
    log_.write(id, op, JsonObject().add("injectedFault", "link dropped before the call ran"));
    reason = "injected fault: link dropped at " + op;
    return false;
  }
  if (action == Faults::Action::Hold) {
    log_.write(id, "hold", JsonObject().add("call", op));
    if (!holdCall()) {
      reason = hungUpReason();
      return false;
    }
  }
  if (faults_.silent()) {
    log_.write(id, "silent", JsonObject().add("call", op));
    if (!waitWhileSilent()) {
      reason = hungUpReason();
      return false;
    }
  }
  JsonObject entry;
  reply = action == Faults::Action::Fail ? dispatcher.fail(request, injectedError, entry)
                                         : dispatcher.run(request, entry);
  log_.write(id, op, entry);
  return true;
}

std::string Server::hungUpReason() const { return stopping_ ? "the emulator stopped" : "the device was unplugged"; }

void Server::controlLoop() {
  while (!stopping_) {
    pollfd p{console_.fd(), POLLIN, 0};
    if (::poll(&p, 1, kPollMs) <= 0) continue;
    bool allowed = false;
    uid_t peer = 0;
    int client = console_.accept(allowed, peer);
    if (client < 0) continue;
    // One line in, one line out. A silent client is given two seconds.
    std::string line;
    char c = 0;
    while (line.size() < 4096) {
      pollfd q{client, POLLIN, 0};
      if (::poll(&q, 1, 2000) <= 0) break;
      if (::recv(client, &c, 1, 0) != 1 || c == '\n') break;
      if (c != '\r') line.push_back(c);
    }
    // The socket's mode keeps other users out; one who got past it (root,
    // or a mode changed by hand) is refused all the same.
    std::string answer = (allowed ? console(line)
                                  : "error refused: this device answers its owner only (uid " +
                                        std::to_string(::geteuid()) + "), not uid " + std::to_string(peer)) +
                         "\n";
    ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
    ::close(client);
    if (quit_) quitCv_.notify_all();
  }
}

std::string Server::console(const std::string& line) {
  std::string command = line.substr(0, line.find(' '));
  std::string argument = line.size() > command.size() ? line.substr(command.size() + 1) : "";
  if (command == "status") return "ok " + status();
  if (command == "unplug") {
    unplug();
    return "ok unplugged";
  }
  if (command == "plug") {
    std::string error;
    return plug(error) ? "ok plugged port=" + std::to_string(linkPort_) : "error " + error;
  }
  if (command == "fault") {
    std::string error;
    if (!faults_.add(argument, error)) return "error " + error;
    log_.write(0, "fault", JsonObject().add("spec", argument));
    return "ok faults=\"" + faults_.describe() + "\"";
  }
  if (command == "release") {
    // Only calls held now: a release never waits for a call still to come.
    std::lock_guard lock(mutex_);
    if (heldCalls_ == 0) return "error no call is held";
    ++releaseSeq_;
    heldCv_.notify_all();
    return "ok released";
  }
  if (command == "clear-faults") {
    faults_.clear();
    return "ok";
  }
  if (command == "link") {
    auto rate = LineSpeed::parseRate(argument);
    if (!rate) return "error unknown link '" + argument + "' (serial, usb, unlimited or bytes per second)";
    lineSpeed_.setRate(*rate);
    return "ok link=\"" + LineSpeed::rateName(*rate) + "\"";
  }
  if (command == "delay") {
    char* end = nullptr;
    unsigned long ms = std::strtoul(argument.c_str(), &end, 10);
    if (argument.empty() || *end != '\0' || ms > 600000) return "error delay needs milliseconds (0 to 600000)";
    lineSpeed_.setReplyDelay(std::chrono::milliseconds(ms));
    return "ok replyDelayMs=" + std::to_string(ms);
  }
  if (command == "quit") {
    std::lock_guard lock(mutex_);
    quit_ = true;
    return "ok quitting";
  }
  return "error unknown command '" + command +
         "' (status, plug, unplug, fault <spec>, release, clear-faults, link <rate>, delay <ms>, quit)";
}

} // namespace pspc
