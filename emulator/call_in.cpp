#include "call_in.h"

#include "device_path.h"
#include "socket_io.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace pspc {

namespace {

std::u16string widen(const std::string& utf8) {
  std::u16string units;
  utf8ToUtf16(utf8, units); // the identity's names were checked as UTF-8 when read
  return units;
}

// A challenge key is never 0: a desktop takes a key of 0 for no challenge.
uint8_t freshKey() {
  static std::mutex mutex;
  static std::mt19937 generator{std::random_device{}()};
  std::lock_guard lock(mutex);
  return uint8_t(std::uniform_int_distribution<int>(1, 255)(generator));
}

const char* faultName(Faults::Introduction fault) {
  switch (fault) {
  case Faults::Introduction::NameOffset: return "name-offset";
  case Faults::Introduction::Short: return "short";
  case Faults::Introduction::NoTerminator: return "no-terminator";
  case Faults::Introduction::Sound: break;
  }
  return "";
}

sockaddr_in addressOf(const std::string& dotted, uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  ::inet_pton(AF_INET, dotted.c_str(), &addr.sin_addr);
  return addr;
}

// One line on stdout in one write: the serving thread prints too.
void say(const std::string& text) { std::cout << "PsPC emulator: " + text + "\n" << std::flush; }

// The record of the introduction the device sends; `key` is its challenge's,
// 0 for none.
JsonObject introducedRecord(const Identity& identity, uint8_t key, Faults::Introduction fault) {
  JsonObject introduced;
  introduced.add("device", identity.deviceName)
      .add("platform", identity.platform)
      .add("model", identity.model)
      .add("os", std::to_string(identity.osMajor) + "." + std::to_string(identity.osMinor))
      .add("build", uint32_t(identity.osBuild))
      .add("cpu", uint32_t(identity.cpuType))
      .add("partnerId", identity.partnerId)
      .add("secondPartnerId", identity.secondPartnerId);
  if (key != 0) introduced.add("challengeKey", uint32_t(key));
  if (fault != Faults::Introduction::Sound) introduced.add("malformed", faultName(fault));
  return introduced;
}

} // namespace

std::vector<uint8_t> introductionMessage(const Identity& identity, Faults::Introduction fault) {
  controlwire::Introduction intro;
  intro.osMajor = identity.osMajor;
  intro.osMinor = identity.osMinor;
  intro.build = identity.osBuild;
  intro.cpuType = identity.cpuType;
  intro.currentPartnerId = identity.partnerId;
  intro.secondPartnerId = identity.secondPartnerId;
  intro.deviceName = widen(identity.deviceName);
  intro.platformName = widen(identity.platform);
  intro.modelName = widen(identity.model);
  // The identity's names are short enough that the introduction always fits.
  std::vector<uint8_t> body;
  controlwire::encodeIntroduction(intro, body);
  switch (fault) {
  case Faults::Introduction::NameOffset: rapiwire::storeLe32(uint32_t(body.size() + 16), &body[24]); break;
  case Faults::Introduction::Short: body.resize(16); break;
  case Faults::Introduction::NoTerminator: body.resize(body.size() - 2); break; // the model name is last
  case Faults::Introduction::Sound: break;
  }
  // Sized once and filled: GCC 12 at -O2 takes an insert behind the 4-byte
  // word for a write past it (-Warray-bounds) and stops the optimised build.
  std::vector<uint8_t> message(4 + body.size());
  rapiwire::storeLe32(uint32_t(body.size()), message.data());
  std::copy(body.begin(), body.end(), message.begin() + 4);
  return message;
}

CallIn::CallIn(const Identity& identity, std::optional<std::u16string> password, OpLog& log, const Faults& faults,
               CallOptions options)
    : identity_(identity), password_(std::move(password)), log_(log), faults_(faults), options_(std::move(options)) {}

CallIn::~CallIn() { stop(); }

void CallIn::start(bool plugged) {
  {
    std::lock_guard lock(mutex_);
    plugged_ = plugged;
    state_ = plugged ? State::Calling : State::Unplugged;
  }
  thread_ = std::thread([this] { run(); });
}

void CallIn::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void CallIn::setPlugged(bool plugged) {
  std::lock_guard lock(mutex_);
  plugged_ = plugged;
  ++plugSeq_;
  if (!plugged) {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    state_ = State::Unplugged;
  } else if (state_ == State::Unplugged || state_ == State::Done) {
    state_ = State::Calling;
  }
  cv_.notify_all();
}

bool CallIn::hangingUp() const { return stopping_ || !plugged_; }

void CallIn::setState(State state) {
  std::lock_guard lock(mutex_);
  if (!hangingUp()) state_ = state;
}

std::string CallIn::managerName() const { return options_.manager + ":" + std::to_string(options_.managerPort); }

std::string CallIn::describe() const {
  static const char* const kStates[] = {"calling", "introduced", "locked", "attached", "unplugged", "done"};
  std::lock_guard lock(mutex_);
  const char* state = state_ != State::Unplugged && faults_.silent() ? "silent" : kStates[int(state_)];
  return std::string("call=") + state + " manager=" + managerName() + " pings=" + std::to_string(pings_) +
         " unanswered=" + std::to_string(unanswered_);
}

bool CallIn::acceptsRapiPassword(const std::vector<uint8_t>& encoded, std::string& reason) const {
  uint8_t key = 0;
  {
    std::lock_guard lock(mutex_);
    key = key_;
  }
  if (!password_) return true;
  if (key == 0) {
    reason = "the device has not challenged a desktop yet: no key to read the password with";
    return false;
  }
  std::u16string given;
  if (!controlwire::decodePassword(encoded, key, given, reason)) return false;
  if (given != *password_) {
    reason = "wrong password";
    return false;
  }
  return true;
}

bool CallIn::waitUntilReady() {
  std::unique_lock lock(mutex_);
  // Silence comes and goes through the faults, which do not wake anyone: it
  // is looked at every poll interval.
  while (!stopping_ && (!plugged_ || faults_.silent()))
    cv_.wait_for(lock, std::chrono::milliseconds(kPollMs));
  return !stopping_;
}

void CallIn::pause(std::chrono::milliseconds delay) {
  std::unique_lock lock(mutex_);
  const uint64_t seq = plugSeq_;
  cv_.wait_for(lock, delay, [&] { return stopping_ || plugSeq_ != seq; });
}

bool CallIn::waitWhileSilent() {
  std::unique_lock lock(mutex_);
  while (!hangingUp() && faults_.silent()) cv_.wait_for(lock, std::chrono::milliseconds(kPollMs));
  return !hangingUp();
}

void CallIn::run() {
  auto retry = options_.firstRetry;
  uint64_t seenPlug = 0;
  std::string lastFailure;
  while (waitUntilReady()) {
    {
      // Plugged in again: the device calls at once and, if need be, soon after.
      std::lock_guard lock(mutex_);
      if (plugSeq_ != seenPlug) retry = options_.firstRetry;
      seenPlug = plugSeq_;
    }
    setState(State::Calling);
    std::string failure;
    const int fd = dial(failure);
    if (fd < 0) {
      {
        std::lock_guard lock(mutex_);
        if (hangingUp()) continue;
      }
      if (failure != lastFailure || options_.once) {
        log_.write(0, "call-failed", JsonObject().add("manager", managerName()).add("reason", failure));
        say("cannot call the connection manager at " + managerName() + ": " + failure +
            (options_.once ? "; the device calls again when it is plugged in again"
                           : "; calling again until it answers"));
        lastFailure = failure;
      }
      waitToCallAgain(retry);
      continue;
    }
    lastFailure.clear();
    const std::string reason = talk(fd);
    uint64_t pings = 0, unanswered = 0;
    {
      std::lock_guard lock(mutex_);
      fd_ = -1;
      pings = pings_;
      unanswered = unanswered_;
    }
    ::close(fd);
    log_.write(0, "hung-up", JsonObject().add("reason", reason).add("pings", pings).add("unanswered", unanswered));
    say("hung up (" + reason + ")");
    // A manager that took the device is called again soon; one that hung up
    // before its first ping (a refusal) less and less often.
    if (pings > 0) retry = options_.firstRetry;
    waitToCallAgain(retry);
  }
}

void CallIn::waitToCallAgain(std::chrono::milliseconds& retry) {
  if (!options_.once) {
    pause(retry);
    retry = std::min(retry * 2, options_.longestRetry);
    return;
  }
  // One call a plug: the next comes with the next plug.
  std::unique_lock lock(mutex_);
  if (!hangingUp()) state_ = State::Done;
  const uint64_t seq = plugSeq_;
  cv_.wait(lock, [&] { return stopping_ || plugSeq_ != seq; });
}

int CallIn::dial(std::string& reason) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    reason = std::string("cannot make a socket: ") + std::strerror(errno);
    return -1;
  }
  // The call comes from the device's own address, the one the manager then
  // dials for RAPI.
  sockaddr_in local = addressOf(options_.address, 0);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    reason = "cannot call from " + options_.address + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  sockaddr_in manager = addressOf(options_.manager, options_.managerPort);
  int result = ::connect(fd, reinterpret_cast<sockaddr*>(&manager), sizeof manager);
  if (result != 0 && errno == EINPROGRESS) {
    // Watched in short steps, so that an unplug or a stop is not kept waiting.
    const auto deadline = std::chrono::steady_clock::now() + options_.connectTimeout;
    for (;;) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, kPollMs) > 0) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        errno = error;
        result = error == 0 ? 0 : -1;
        break;
      }
      std::lock_guard lock(mutex_);
      if (hangingUp() || std::chrono::steady_clock::now() > deadline) {
        errno = hangingUp() ? ECANCELED : ETIMEDOUT;
        break;
      }
    }
  }
  if (result != 0) {
    reason = std::strerror(errno);
    ::close(fd);
    return -1;
  }
  // From here on the connection is read and written blocking; a hang-up
  // shuts it down from outside.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::lock_guard lock(mutex_);
  if (hangingUp()) {
    ::close(fd);
    reason = "hung up";
    return -1;
  }
  fd_ = fd;
  return fd;
}

std::string CallIn::talk(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  log_.write(0, "call", JsonObject().add("manager", managerName()).add("local", addressName(local)));
  const uint8_t key = password_ ? freshKey() : 0;
  {
    std::lock_guard lock(mutex_);
    pings_ = unanswered_ = 0;
    if (password_) key_ = key;
  }
  const Faults::Introduction fault = faults_.introduction();
  CallSession session(password_, key, introductionMessage(identity_, fault));
  // Recorded before it is sent: whoever reads the bytes finds the record.
  log_.write(0, "introduced", introducedRecord(identity_, key, fault));
  follow(session);
  if (!sendAll(fd, session.takeOutput())) return hangUp(session);
  say("called the connection manager at " + managerName() +
      (password_ ? "; the device asks for its password" : ""));
  return converse(fd, session);
}

std::string CallIn::converse(int fd, CallSession& session) {
  uint8_t bytes[CallSession::kLongestUnit];
  for (;;) {
    if (session.phase() == CallSession::Phase::Holding) {
      if (!waitWhileSilent()) return hangUp(session);
      session.silenceEnded();
    } else {
      // No more than the unit being read: what comes after it waits in the
      // socket while an answer is held.
      const ssize_t n = ::recv(fd, bytes, std::min(session.wanted(), sizeof bytes), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return hangUp(session);
      session.received(bytes, size_t(n), {faults_.silent(), faults_.refusesPassword()});
    }
    follow(session);
    const std::vector<uint8_t> reply = session.takeOutput();
    if (session.phase() == CallSession::Phase::Ended) {
      sendAll(fd, reply); // the refusal the device hangs up with, if the manager still reads
      return hangUpReason(session.endReason());
    }
    if (!sendAll(fd, reply)) return hangUp(session);
  }
}

void CallIn::follow(CallSession& session) {
  for (const CallSession::Record& record : session.takeRecords()) log_.write(0, record.op, record.fields);
  {
    std::lock_guard lock(mutex_);
    pings_ = session.pings();
    unanswered_ = session.unansweredPings();
  }
  switch (session.phase()) {
  case CallSession::Phase::Locked:
  case CallSession::Phase::Holding: setState(State::Locked); break;
  case CallSession::Phase::Unlocked: setState(session.attached() ? State::Attached : State::Introduced); break;
  case CallSession::Phase::Ended: break;
  }
}

std::string CallIn::hangUp(CallSession& session) {
  session.closed();
  return hangUpReason(session.endReason());
}

std::string CallIn::hangUpReason(const std::string& otherwise) const {
  std::lock_guard lock(mutex_);
  return stopping_ ? "the emulator stopped" : !plugged_ ? "the device was unplugged" : otherwise;
}

} // namespace pspc
