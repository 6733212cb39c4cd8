// What the emulated device says about itself, and how a device image is laid
// out on the host.
//
// An image is a folder:
//   device.conf      identity and behaviour, "key = value" lines (below)
//   fs/              the device's file system; fs/Windows is \Windows
//   attributes.tsv   file attributes that differ from the default
//   registry.dat     the device registry (saved atomically)
//   oplog.jsonl      every link request with its arguments and result
//   password         the device password, when it has one (mode 0600: its
//                    owner's only); asked of the desktop when the device calls in
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace pspc {

// The processor type a Windows CE device reports: PROCESSOR_MIPS_R4000, which
// Windows CE gives for the whole MIPS R4000 line, the NEC VR41xx of the
// palm-size PCs among them.
inline constexpr uint16_t kProcessorMipsR4000 = 4000;

struct Identity {
  std::string version = "1.12.00"; // seven characters, as the device tool reports it
  std::string language = "JPN";    // three-letter code: JPN, ENG, ...
  std::string model = "PsPC";      // model name: in the tool's data file and the introduction
  // What the device says of itself when it calls the desktop: the Windows CE
  // version and build, processor type, device and platform names, and the
  // ids of its partnerships with desktops (0: none).
  uint8_t osMajor = 2, osMinor = 11;
  uint16_t osBuild = 0;
  uint16_t cpuType = kProcessorMipsR4000;
  std::string deviceName = "PsPC";
  std::string platform = "Palm PC";
  uint32_t partnerId = 0, secondPartnerId = 0;
  uint32_t storeBytes = 8u << 20;  // object store capacity
  // Raw UTF-16 units for the device tag in the tool's data file, overriding
  // version and language (to model odd devices); empty: built from them.
  std::optional<std::array<uint16_t, 11>> tagUnits;
  uint32_t toolDelayMs = 0; // the device tool writes its data file this late
  bool toolWrites = true;   // false: the tool starts but never writes the file

  // The 11 UTF-16 units of the device tag: version, a blank, the language.
  std::array<uint16_t, 11> tag() const;

  // device.conf text and back. parse() names the first bad line in `error`.
  std::string serialize() const;
  static std::optional<Identity> parse(const std::string& text, std::string& error);
};

namespace image {
inline std::filesystem::path configFile(const std::filesystem::path& dir) { return dir / "device.conf"; }
inline std::filesystem::path fsRoot(const std::filesystem::path& dir) { return dir / "fs"; }
inline std::filesystem::path attributesFile(const std::filesystem::path& dir) { return dir / "attributes.tsv"; }
inline std::filesystem::path registryFile(const std::filesystem::path& dir) { return dir / "registry.dat"; }
inline std::filesystem::path opLogFile(const std::filesystem::path& dir) { return dir / "oplog.jsonl"; }
inline std::filesystem::path passwordFile(const std::filesystem::path& dir) { return dir / "password"; }
// The serving emulator's console (see console_socket.h).
inline constexpr char kConsoleSocketName[] = "console.sock";
inline std::filesystem::path consoleSocketFile(const std::filesystem::path& dir) { return dir / kConsoleSocketName; }

// Makes a fresh image: \Windows (with the device tool), \Temp, \My Documents,
// an empty registry. Fails (false, `error` set) when `dir` exists and is not empty.
bool create(const std::filesystem::path& dir, const Identity& identity, std::string& error);
bool isImage(const std::filesystem::path& dir);

// The device password: UTF-8 text of 1 to kMaxPasswordChars characters, no
// control characters. False with `error` set otherwise.
inline constexpr size_t kMaxPasswordChars = 255;
bool checkPassword(const std::string& utf8, std::string& error);
// Sets the image's password (empty: none), stored readable by its owner only.
bool setPassword(const std::filesystem::path& dir, const std::string& utf8, std::string& error);
// The image's password as UTF-16, or nothing when it has none. False with
// `error` set when the file cannot be read, is not a password, or others
// than its owner may read it.
bool readPassword(const std::filesystem::path& dir, std::optional<std::u16string>& password, std::string& error);
} // namespace image

// Device paths of the built-in tool and the data file it writes.
inline constexpr char16_t kDeviceToolPath[] = u"\\Windows\\MakeZlkData.exe";
inline constexpr char16_t kDeviceDataPath[] = u"\\Windows\\zlkAssetData.dat";
inline constexpr uint32_t kDeviceDataBytes = 2600;
inline constexpr uint32_t kDeviceTagOffset = 2556;

} // namespace pspc
