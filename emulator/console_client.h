// The other end of the emulator's console: one command line to the
// emulator serving a device image, one answer line back.
#pragma once

#include <filesystem>
#include <string>

namespace pspc {

// False with `error` one readable line when no answer came: no emulator
// serving the image, another user's device, or an emulator that went silent.
bool sendToConsole(const std::filesystem::path& imageDir, const std::string& line, std::string& answer,
                 std::string& error);

} // namespace pspc
