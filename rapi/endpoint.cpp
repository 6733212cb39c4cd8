#include "endpoint.h"

#include "../protocol/text_forms.h"

namespace rapi {

bool parseEndpoint(std::string_view text, Endpoint& endpoint, std::string& error) {
  std::string_view host, port;
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      error = "expected [address]:port";
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
      error = "expected host:port";
      return false;
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) {
      error = "an IPv6 address must be written in brackets, as [address]:port";
      return false;
    }
  }
  if (host.empty()) {
    error = "the host is missing";
    return false;
  }
  uint16_t number = 0;
  if (!textform::readNumber(port, number, uint16_t(1))) {
    error = "the port must be a number from 1 to 65535";
    return false;
  }
  endpoint.host = std::string(host);
  endpoint.port = number;
  return true;
}

bool parseReplyTimeout(std::string_view text, uint32_t& milliseconds) {
  return textform::readNumber(text, milliseconds, kMinReplyTimeoutMs, kMaxReplyTimeoutMs);
}

} // namespace rapi
