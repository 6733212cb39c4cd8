// What the Windows benchmark programs share: a stopwatch, little-endian
// words, plain reporting of misuse and failure, and a connection made the
// way rapi.dll makes its own (TCP, Nagle off), so that the link's limit is
// measured on the same footing as the calls compared with it.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace bench {

class Stopwatch {
public:
  Stopwatch() {
    QueryPerformanceFrequency(&frequency_);
    QueryPerformanceCounter(&start_);
  }
  double seconds() const {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart - start_.QuadPart) / double(frequency_.QuadPart);
  }

private:
  LARGE_INTEGER frequency_{}, start_{};
};

inline uint32_t readU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void writeU32(uint8_t* p, uint32_t value) {
  p[0] = uint8_t(value);
  p[1] = uint8_t(value >> 8);
  p[2] = uint8_t(value >> 16);
  p[3] = uint8_t(value >> 24);
}

inline int usage(const std::string& text) {
  std::fprintf(stderr, "usage: %s\n", text.c_str());
  return 2;
}

inline int failure(const std::string& text) {
  std::fprintf(stderr, "error: %s\n", text.c_str());
  return 1;
}

// "host:port" into its parts; the port is the text after the last colon.
inline bool splitEndpoint(const std::string& text, std::string& host, std::string& port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
  return port.find_first_not_of("0123456789") == std::string::npos;
}

inline SOCKET connectTo(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return INVALID_SOCKET;
  SOCKET connected = INVALID_SOCKET;
  for (addrinfo* a = found; a && connected == INVALID_SOCKET; a = a->ai_next) {
    SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) continue;
    if (connect(s, a->ai_addr, int(a->ai_addrlen)) != 0) {
      closesocket(s);
      continue;
    }
    BOOL noDelay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    connected = s;
  }
  freeaddrinfo(found);
  return connected;
}

} // namespace bench
