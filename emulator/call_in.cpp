#include "call_in.h"

#include "device_path.h"

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

constexpr int kPollMs = 100;

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

std::string nameOf(const sockaddr_in& addr) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
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

bool CallIn::readExact(int fd, uint8_t* bytes, size_t count) {
  size_t got = 0;
  while (got < count) {
    const ssize_t n = ::recv(fd, bytes + got, count - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += size_t(n);
  }
  return true;
}

bool CallIn::send(int fd, const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += size_t(n);
  }
  return true;
}

std::string CallIn::talk(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  log_.write(0, "call", JsonObject().add("manager", managerName()).add("local", nameOf(local)));
  {
    std::lock_guard lock(mutex_);
    pings_ = unanswered_ = 0;
  }

  auto ended = [&](const std::string& otherwise) {
    std::lock_guard lock(mutex_);
    return stopping_ ? "the emulator stopped" : !plugged_ ? "the device was unplugged" : otherwise;
  };
  const std::string closed = "the manager closed the control connection";

  // A device with a password demands it before it introduces itself.
  std::vector<uint8_t> opening;
  uint8_t key = 0;
  if (password_) {
    key = freshKey();
    opening = controlwire::wordBytes(controlwire::challengeWord(key));
    std::lock_guard lock(mutex_);
    key_ = key;
  }
  const Faults::Introduction fault = faults_.introduction();
  const std::vector<uint8_t> introduction = introductionMessage(identity_, fault);
  opening.insert(opening.end(), introduction.begin(), introduction.end());
  JsonObject introduced;
  introduced.add("device", identity_.deviceName)
      .add("platform", identity_.platform)
      .add("model", identity_.model)
      .add("os", std::to_string(identity_.osMajor) + "." + std::to_string(identity_.osMinor))
      .add("build", uint32_t(identity_.osBuild))
      .add("cpu", uint32_t(identity_.cpuType))
      .add("partnerId", identity_.partnerId)
      .add("secondPartnerId", identity_.secondPartnerId);
  if (password_) introduced.add("challengeKey", uint32_t(key));
  if (fault != Faults::Introduction::Sound) introduced.add("malformed", faultName(fault));
  // Recorded before it is sent: whoever reads the bytes finds the record.
  log_.write(0, "introduced", introduced);
  setState(password_ ? State::Locked : State::Introduced);
  if (!send(fd, opening)) return ended(closed);
  say("called the connection manager at " + managerName() +
      (password_ ? "; the device asks for its password" : ""));

  // Ping words and, while locked, passwords. A ping's low half (0x5678) is
  // far above the length of the longest password, so a ping that comes
  // while the device is locked is told apart from a password.
  bool unlocked = !password_;
  bool loggedStrangeWord = false;
  for (;;) {
    uint8_t head[2];
    if (!readExact(fd, head, 2)) return ended(closed);
    const uint16_t first = controlwire::loadLe16(head);
    if (!unlocked && first != uint16_t(controlwire::kPing)) {
      if (!controlwire::passwordLengthAcceptable(first)) {
        log_.write(0, "password",
                   JsonObject().add("accepted", false).add("reason",
                                                           "a password length of " + std::to_string(first) + " bytes"));
        send(fd, controlwire::controlPasswordAnswer(false));
        return ended("the manager sent a password length the device cannot take");
      }
      std::vector<uint8_t> encoded(first);
      if (!readExact(fd, encoded.data(), encoded.size())) return ended(closed);
      std::u16string given;
      std::string reason;
      bool accepted = controlwire::decodePassword(encoded, key, given, reason);
      if (accepted && given != *password_) {
        accepted = false;
        reason = "wrong password";
      }
      if (accepted && faults_.refusesPassword()) {
        accepted = false;
        reason = "the right password, refused by the injected fault";
      }
      if (!waitWhileSilent()) return ended(closed);
      JsonObject entry;
      entry.add("accepted", accepted);
      if (!accepted) entry.add("reason", reason);
      log_.write(0, "password", entry);
      if (accepted) {
        unlocked = true;
        setState(State::Introduced);
      }
      if (!send(fd, controlwire::controlPasswordAnswer(accepted))) return ended(closed);
      continue;
    }
    uint8_t rest[2];
    if (!readExact(fd, rest, 2)) return ended(closed);
    const uint32_t word = uint32_t(first) | uint32_t(controlwire::loadLe16(rest)) << 16;
    if (word == 0) continue; // an empty header
    if (word != controlwire::kPing) {
      if (!unlocked) {
        log_.write(0, "password", JsonObject().add("accepted", false).add("reason", "not a password"));
        send(fd, controlwire::controlPasswordAnswer(false));
        return ended("the manager sent neither a password nor a ping");
      }
      if (!loggedStrangeWord) {
        log_.write(0, "control-word", JsonObject().add("word", word).add("note", "neither a ping nor empty: passed over"));
        loggedStrangeWord = true;
      }
      continue;
    }
    const bool silent = faults_.silent();
    {
      std::lock_guard lock(mutex_);
      ++pings_;
      unanswered_ += silent;
    }
    if (silent) continue;
    if (unlocked) setState(State::Attached);
    if (!send(fd, controlwire::wordBytes(controlwire::kPing))) return ended(closed);
  }
}

} // namespace pspc
