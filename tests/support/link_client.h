// The desktop's end of the RAPI link for native tests: sends encoded requests
// to a serving emulator and hands back the reply packets.
#pragma once

#include "rapi_commands.h"
#include "tcp_peer.h"

#include <optional>

namespace pspc::testing {

class LinkClient {
public:
  static constexpr int kHangGuardMs = int(std::chrono::milliseconds(testsupport::kHangGuard).count());

  bool connect(uint16_t port) { return peer_.connect(port); }
  void close() { peer_.close(); }

  bool sendRaw(const std::vector<uint8_t>& bytes) { return peer_.send(bytes); }

  // The next reply packet, or nothing when the link closed or stayed silent.
  std::optional<std::vector<uint8_t>> receive(int timeoutMs = kHangGuardMs) {
    const auto head = peer_.receive(4, std::chrono::milliseconds(timeoutMs));
    if (!head) return std::nullopt;
    const uint32_t length = rapiwire::loadLe32(head->data());
    if (length > rapiwire::kMaxFrameBytes) return std::nullopt;
    return peer_.receive(length, std::chrono::milliseconds(timeoutMs));
  }

  // Exactly `count` bytes as they come, before any packet (a connection's
  // opening), or nothing when the link closed or stayed silent.
  std::optional<std::vector<uint8_t>> receiveRaw(size_t count, int timeoutMs = kHangGuardMs) {
    return peer_.receive(count, std::chrono::milliseconds(timeoutMs));
  }

  template <typename Request> std::optional<std::vector<uint8_t>> call(const Request& request) {
    if (!sendRaw(rapiwire::frame(rapiwire::encodeRequest(request)))) return std::nullopt;
    return receive();
  }

  // True when the peer has closed the link within the time.
  bool closedByPeer(int timeoutMs = kHangGuardMs) { return peer_.closedByPeer(std::chrono::milliseconds(timeoutMs)); }

  // Ends the link with a reset, as a desktop that crashed.
  void vanish() { peer_.vanish(); }

private:
  testsupport::TcpPeer peer_;
};

} // namespace pspc::testing
