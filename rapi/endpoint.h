// Where the device listens when PSPC_RAPI_ENDPOINT=host:port names it: the
// direct route, which passes by the connection manager (tests, benchmarks).
// The device is platform, not the calling program, so the stand-in may be
// configured where the program may not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rapi {

struct Endpoint {
  std::string host;
  uint16_t port = 0;
};

constexpr std::string_view kEndpointVariable = "PSPC_RAPI_ENDPOINT";

// Parses "host:port" or "[v6 address]:port". On failure `error` says what is
// wrong, in words a user can act on.
bool parseEndpoint(std::string_view text, Endpoint& endpoint, std::string& error);

// How long a call waits for the device's reply: PSPC_RAPI_REPLY_TIMEOUT_MS,
// a whole number of milliseconds from kMinReplyTimeoutMs to kMaxReplyTimeoutMs.
constexpr std::string_view kReplyTimeoutVariable = "PSPC_RAPI_REPLY_TIMEOUT_MS";
constexpr uint32_t kMinReplyTimeoutMs = 100;
constexpr uint32_t kMaxReplyTimeoutMs = 600000;
bool parseReplyTimeout(std::string_view text, uint32_t& milliseconds);

} // namespace rapi
