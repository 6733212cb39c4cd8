// Making a fresh device image: the folders a PsPC comes with, the built-in
// device tool, an empty registry and the identity.
#include "identity.h"

#include "host_file.h"
#include "registry.h"

#include <system_error>

namespace pspc::image {

namespace {

// What \Windows\MakeZlkData.exe holds on an emulated device. The emulator
// itself plays the tool when the program is started; the file only has to be
// there (deleting it models a device without the tool).
constexpr std::string_view kDeviceToolPlaceholder =
    "PsPC emulator: built-in device tool.\r\n"
    "Starting \\Windows\\MakeZlkData.exe on the emulated device makes the emulator write\r\n"
    "\\Windows\\zlkAssetData.dat from the device identity (device.conf).\r\n";

constexpr const char* kDeviceFolders[] = {"Windows", "Temp", "My Documents"};

} // namespace

bool create(const std::filesystem::path& dir, const Identity& identity, std::string& error) {
  namespace fs = std::filesystem;
  // The identity must read back as written, or the image could not be opened.
  const std::string config = identity.serialize();
  std::string parseError;
  if (!Identity::parse(config, parseError)) {
    error = "the device identity cannot be stored: " + parseError;
    return false;
  }

  std::error_code ec;
  const fs::file_status status = fs::symlink_status(dir, ec);
  if (fs::exists(status)) {
    if (!fs::is_directory(status)) {
      error = dir.string() + ": exists and is not a folder";
      return false;
    }
    if (!fs::is_empty(dir, ec) || ec) {
      error = dir.string() + ": the folder is not empty; a device image is made only in a new or empty folder";
      return false;
    }
  }
  for (const char* folder : kDeviceFolders) {
    fs::create_directories(fsRoot(dir) / folder, ec);
    if (ec) {
      error = (fsRoot(dir) / folder).string() + ": " + ec.message();
      return false;
    }
  }
  const fs::path tool = fsRoot(dir) / "Windows" / "MakeZlkData.exe";
  return writeFileAtomically(tool, kDeviceToolPlaceholder, error) &&
         writeFileAtomically(registryFile(dir), Registry().serialize(), error) &&
         writeFileAtomically(attributesFile(dir), "", error) &&
         writeFileAtomically(configFile(dir), config, error);
}

bool isImage(const std::filesystem::path& dir) {
  std::error_code ec;
  return std::filesystem::is_regular_file(configFile(dir), ec) && std::filesystem::is_directory(fsRoot(dir), ec);
}

} // namespace pspc::image
