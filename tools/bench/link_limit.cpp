// bench_link: what the link itself can carry on this machine. A Windows
// program under Wine, as setup.exe is, making request/response round trips
// over loopback TCP with a trivial native frame server (pspc-bench runs it).
// No RAPI and no device: the figure every other one is compared with.
//
//   bench_link.exe HOST:PORT ROUNDS BATCHES REQUEST:REPLY [REQUEST:REPLY ...]
//
// Each REQUEST:REPLY shape gives payload sizes in bytes (the u32 length
// prefix comes on top of each). Each shape runs BATCHES batches of ROUNDS
// round trips; the fastest batch counts (the others met more of whatever
// else the machine was doing). For each shape it prints one line:
//   shape request=<bytes> reply=<bytes> rounds=<n> seconds=<s>
// The first u32 of every request tells the server how large a reply to give.
#include "win_bench.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kMaxPayloadBytes = 1u << 20; // the server's cap as well

struct Shape {
  uint32_t request = 0, reply = 0;
};

bool parseShape(const char* text, Shape& shape) {
  char* end = nullptr;
  unsigned long request = std::strtoul(text, &end, 10);
  if (end == text || *end != ':') return false;
  const char* second = end + 1;
  unsigned long reply = std::strtoul(second, &end, 10);
  if (end == second || *end != '\0') return false;
  // A request carries at least the word that asks for the reply size.
  if (request < 4 || request > kMaxPayloadBytes || reply > kMaxPayloadBytes) return false;
  shape.request = uint32_t(request);
  shape.reply = uint32_t(reply);
  return true;
}

bool sendAll(SOCKET s, const uint8_t* data, size_t size) {
  while (size > 0) {
    int sent = send(s, reinterpret_cast<const char*>(data), int(size), 0);
    if (sent <= 0) return false;
    data += sent;
    size -= size_t(sent);
  }
  return true;
}

// Reads one whole reply frame, taking whatever has arrived in each call, as
// a client that knows only the frame format would.
bool receiveFrame(SOCKET s, std::vector<uint8_t>& buffer, uint32_t expectedPayload) {
  const size_t whole = 4 + size_t(expectedPayload);
  size_t have = 0;
  while (have < whole) {
    int got = recv(s, reinterpret_cast<char*>(buffer.data() + have), int(whole - have), 0);
    if (got <= 0) return false;
    have += size_t(got);
  }
  return bench::readU32(buffer.data()) == expectedPayload;
}

bool runShape(SOCKET s, const Shape& shape, uint32_t rounds, uint32_t batches) {
  std::vector<uint8_t> request(4 + size_t(shape.request));
  for (size_t i = 0; i < request.size(); ++i) request[i] = uint8_t(i * 131 + 7);
  bench::writeU32(request.data(), shape.request);
  bench::writeU32(request.data() + 4, shape.reply);
  std::vector<uint8_t> reply(4 + size_t(shape.reply));

  // One unmeasured round first: the connection's first exchange pays for
  // things (buffers, the server thread waking) that later ones do not.
  if (!sendAll(s, request.data(), request.size()) || !receiveFrame(s, reply, shape.reply)) return false;
  double seconds = 0;
  for (uint32_t batch = 0; batch < batches; ++batch) {
    bench::Stopwatch watch;
    for (uint32_t i = 0; i < rounds; ++i)
      if (!sendAll(s, request.data(), request.size()) || !receiveFrame(s, reply, shape.reply)) return false;
    const double taken = watch.seconds();
    if (batch == 0 || taken < seconds) seconds = taken;
  }
  std::printf("shape request=%u reply=%u rounds=%u seconds=%.6f\n", shape.request, shape.reply, rounds, seconds);
  return true;
}

} // namespace

int main(int argc, char** argv) {
  const char* usageText = "bench_link.exe HOST:PORT ROUNDS BATCHES REQUEST:REPLY [REQUEST:REPLY ...]";
  if (argc < 5) return bench::usage(usageText);
  std::string host;
  std::string port;
  if (!bench::splitEndpoint(argv[1], host, port)) return bench::usage("HOST:PORT expected, e.g. 127.0.0.1:5000");
  char* end = nullptr;
  unsigned long rounds = std::strtoul(argv[2], &end, 10);
  if (end == argv[2] || *end != '\0' || rounds == 0 || rounds > 10000000) return bench::usage("ROUNDS: 1 to 10000000");
  unsigned long batches = std::strtoul(argv[3], &end, 10);
  if (end == argv[3] || *end != '\0' || batches == 0 || batches > 100) return bench::usage("BATCHES: 1 to 100");
  std::vector<Shape> shapes;
  for (int i = 4; i < argc; ++i) {
    Shape shape;
    if (!parseShape(argv[i], shape)) return bench::usage("REQUEST:REPLY: payload bytes, 4 to 1048576 and 0 to 1048576");
    shapes.push_back(shape);
  }

  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return bench::failure("Winsock did not start");
  SOCKET s = bench::connectTo(host, port);
  if (s == INVALID_SOCKET) return bench::failure("cannot connect to " + std::string(argv[1]));
  int status = 0;
  for (const Shape& shape : shapes)
    if (!runShape(s, shape, uint32_t(rounds), uint32_t(batches))) {
      status = bench::failure("the frame server stopped answering");
      break;
    }
  closesocket(s);
  WSACleanup();
  return status;
}
