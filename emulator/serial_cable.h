// The device's end of a serial cable. A palm-size PC in a serial cradle calls
// the desktop by saying "CLIENT" on the line and starts PPP only once the
// desktop has answered "CLIENTSERVER". The emulator plays this much of the
// device, so that the desktop's end of the cable (tools/commands/pspc-attach)
// can be tried without one; its RAPI link runs over TCP, so it stops where a
// real device would start PPP.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace pspc {

// The two words of the exchange, byte for byte: no line ends.
inline constexpr char kCableCall[] = "CLIENT";
inline constexpr char kCableAnswer[] = "CLIENTSERVER";

struct CableCall {
  bool answered = false;
  size_t heardBytes = 0; // everything the desktop said
  std::string heard;     // its last bytes (kCableHeardKept at most), to show
  std::string failure;   // the line itself failed (hung up, read error); empty when not
};
inline constexpr size_t kCableHeardKept = 64;

// Opens a serial port (or one end of a pseudo-terminal pair) as the device's
// port: raw 8N1 at `speed` baud, modem lines ignored, nothing left over from
// before. -1 with `error` one readable line when it cannot.
int openCable(const std::string& path, uint32_t speed, std::string& error);

// Calls the desktop on `fd`: "CLIENT", said again every `repeat` while no
// answer came (the desktop empties the line when it takes the port, so a call
// said before that is lost), until "CLIENTSERVER" arrives or `timeout` passes.
CableCall callDesktop(int fd, std::chrono::milliseconds timeout, std::chrono::milliseconds repeat);

// Bytes as one readable line: printable ASCII as it is, others as \xNN.
std::string printableBytes(const std::string& bytes);

// `pspcemu cable PORT`: the call and its outcome in one line; 0 when the
// desktop answered.
int runCable(const std::string& path, uint32_t speed, uint32_t timeoutSeconds);

} // namespace pspc
