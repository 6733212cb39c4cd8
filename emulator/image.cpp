// Making a fresh device image: the folders a PsPC comes with, the built-in
// device tool, an empty registry and the identity.
#include "identity.h"

#include "device_path.h"
#include "host_file.h"
#include "registry.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
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

bool checkPassword(const std::string& utf8, std::string& error) {
  std::u16string units;
  if (!utf8ToUtf16(utf8, units)) {
    error = "the password is not UTF-8 text";
    return false;
  }
  if (units.empty() || units.size() > kMaxPasswordChars) {
    error = "the password must have 1 to " + std::to_string(kMaxPasswordChars) + " characters";
    return false;
  }
  for (char16_t unit : units) {
    if (unit < 0x20 || unit == 0x7F) {
      error = "the password must not hold control characters";
      return false;
    }
  }
  return true;
}

bool setPassword(const std::filesystem::path& dir, const std::string& utf8, std::string& error) {
  if (utf8.empty()) {
    std::error_code ec;
    std::filesystem::remove(passwordFile(dir), ec);
    if (ec) error = passwordFile(dir).string() + ": " + ec.message();
    return !ec;
  }
  return checkPassword(utf8, error) && writeFileAtomically(passwordFile(dir), utf8 + "\n", error, 0600);
}

bool readPassword(const std::filesystem::path& dir, std::optional<std::u16string>& password, std::string& error) {
  const std::filesystem::path file = passwordFile(dir);
  struct stat info {};
  if (::lstat(file.c_str(), &info) != 0) {
    if (errno == ENOENT) {
      password.reset();
      return true;
    }
    error = file.string() + ": " + std::strerror(errno);
    return false;
  }
  if (info.st_mode & (S_IRWXG | S_IRWXO)) {
    error = file.string() + ": others than its owner may read or change it; make it the owner's only (chmod 600)";
    return false;
  }
  std::string text;
  if (!readWholeFile(file, 4 * kMaxPasswordChars + 2, text, error)) return false;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  std::u16string units;
  if (!checkPassword(text, error) || !utf8ToUtf16(text, units)) {
    error = file.string() + ": " + error;
    return false;
  }
  password = std::move(units);
  return true;
}

} // namespace pspc::image
