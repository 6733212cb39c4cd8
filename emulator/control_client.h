// The other end of the emulator's control channel: one command line to a
// serving emulator, one answer line back.
#pragma once

#include <cstdint>
#include <string>

namespace pspc {

bool sendControl(uint16_t port, const std::string& line, std::string& answer, std::string& error);

} // namespace pspc
