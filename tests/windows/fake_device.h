// A scripted device on a loopback socket, inside the test program, for what a
// real device rarely does: it accepts one connection and answers each request
// packet with the next scripted bytes (sent as they stand: frame them for a
// well-formed reply). After the script, it closes the connection or holds it
// open. A locked one first reads the password that opens the connection and
// answers it as told.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include "../../protocol/rapi_commands.h"
#include "wait_until.h"

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace rapitest {

using Bytes = std::vector<uint8_t>;

// A listening socket on a free port of 127.0.0.1.
inline SOCKET listenOnLoopback(uint16_t& port) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  listen(listener, 4);
  int length = sizeof(address);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return listener;
}

// A well-formed answer to CeGetStoreInformation.
inline Bytes storeReply(uint32_t storeSize, uint32_t freeSize) {
  rapiwire::StoreInformationReply reply;
  reply.result = 1;
  reply.hasInfo = true;
  reply.storeSize = storeSize;
  reply.freeSize = freeSize;
  return rapiwire::frame(reply.encode());
}

class FakeDevice {
public:
  enum class AfterScript { Close, HoldOpen };

  // `passwordAnswer`: the device is locked, and answers the password so.
  FakeDevice(std::vector<Bytes> replies, AfterScript after, std::optional<bool> passwordAnswer = std::nullopt)
      : replies_(std::move(replies)), after_(after), passwordAnswer_(passwordAnswer) {
    listener_ = listenOnLoopback(port_);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeDevice() {
    stop_ = true;
    closesocket(listener_);
    thread_.join();
  }
  uint16_t port() const { return port_; }
  bool connected() const { return connected_; }
  std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }
  // The request packets received (payloads, without their length) once the
  // script has run, and the password that opened the connection.
  std::vector<Bytes> requests() {
    testsupport::waitUntil([this] { return scriptDone_ || stop_; });
    return requests_;
  }
  Bytes password() {
    testsupport::waitUntil([this] { return scriptDone_ || stop_; });
    return password_;
  }

private:
  static bool receive(SOCKET s, uint8_t* out, size_t size) {
    while (size > 0) {
      int got = recv(s, reinterpret_cast<char*>(out), int(size), 0);
      if (got <= 0) return false;
      out += got;
      size -= size_t(got);
    }
    return true;
  }
  // The password's 16-bit byte count and its bytes; false when the device
  // refuses it or the connection ends first.
  bool unlock(SOCKET s) {
    uint8_t count[2];
    if (!receive(s, count, 2)) return false;
    password_.assign(count, count + 2);
    password_.resize(2 + size_t(count[0] | count[1] << 8));
    if (!receive(s, password_.data() + 2, password_.size() - 2)) return false;
    const char answer = *passwordAnswer_ ? 1 : 0;
    send(s, &answer, 1, 0);
    return *passwordAnswer_;
  }
  void serve() {
    SOCKET s = accept(listener_, nullptr, nullptr);
    if (s == INVALID_SOCKET) return;
    connected_ = true;
    const bool open = !passwordAnswer_ || unlock(s);
    for (const Bytes& reply : replies_) {
      if (!open) break;
      uint8_t prefix[4];
      if (!receive(s, prefix, 4)) break;
      uint32_t length = prefix[0] | prefix[1] << 8 | prefix[2] << 16 | uint32_t(prefix[3]) << 24;
      Bytes request(length);
      if (length > (1u << 22) || !receive(s, request.data(), length)) break;
      requests_.push_back(std::move(request));
      send(s, reinterpret_cast<const char*>(reply.data()), int(reply.size()), 0);
    }
    scriptDone_ = true;
    if (after_ == AfterScript::HoldOpen)
      while (!stop_) Sleep(10);
    closesocket(s);
  }

  std::vector<Bytes> replies_;
  AfterScript after_;
  std::optional<bool> passwordAnswer_;
  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> scriptDone_{false};
  std::atomic<bool> connected_{false};
  std::vector<Bytes> requests_;
  Bytes password_;
};

} // namespace rapitest
