// pspcemu: the PsPC device emulator's command line. Makes device images,
// serves one on the RAPI link, and lets a person look into it.
#include "console_client.h"
#include "device.h"
#include "device_path.h"
#include "faults.h"
#include "file_system.h"
#include "host_file.h"
#include "line_speed.h"
#include "op_log.h"
#include "registry.h"
#include "serial_cable.h"
#include "server.h"
#include "win32_codes.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <netdb.h>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;
using namespace pspc;

namespace {

const char* kUsage = R"(pspcemu - a Windows CE palm-size PC (PsPC) on a RAPI link, for trying installs without hardware

usage: pspcemu <command> <image folder> [arguments]

  init DIR [options]        make a device image
      --version V           device version text (default 1.12.00)
      --language L          device language code, JPN or ENG (default JPN)
      --model NAME          model name (default PsPC)
      --device-name NAME    the device's name, as it introduces itself to a desktop (default PsPC)
      --platform NAME       platform name (default "Palm PC", what palm-size PCs report)
      --os-version M.m      Windows CE version (default 2.11)
      --os-build N          Windows CE build number (default 0)
      --cpu-type N          processor type (default 4000, PROCESSOR_MIPS_R4000: the MIPS VR41xx
                            of palm-size PCs; 10003 is the Hitachi SH3 of others)
      --partner-id N        id of the device's current partnership with a desktop (default 0: none)
      --second-partner-id N id of its other partnership (default 0: none)
      --password-file FILE  the device password: the first line of FILE; kept in DIR/password,
                            readable by you only, and asked of the desktop when the device calls
      --store-bytes N       object store capacity in bytes; K and M suffixes (default 8M)
      --tag-units "U x11"   raw UTF-16 units (hex) of the device tag, for odd devices
      --tool-delay-ms N     the device tool writes its data file this late
      --tool-no-write       the device tool starts but never writes its data file
      --no-tool             no device tool (\Windows\MakeZlkData.exe) on the device
      --no-temp             no \Temp folder on the device
      --force               replace an existing image at DIR
  serve DIR [options]       attach the device: serve it on the RAPI link until Ctrl-C
      --port N              RAPI port (default 990, the device's own; 0: any free port)
      --bind ADDR           address to listen on (default 127.0.0.1)
      --link RATE           serial (115200 baud, a PsPC's serial cradle), usb (the speed of
                            USB 1.1, for trying rates: a PsPC has no USB cable) or
                            unlimited (default)
      --reply-delay-ms N    the device answers every call this much later
      --fault SPEC          inject a fault (repeatable): fail:<Call>:<N>[:<error>],
                            drop:<Call>:<N>, hold:<Call>:<N>, drop-after-bytes:<N>;
                            towards the manager: silent (no pings echoed, no calls answered,
                            sockets left open), refuse-password (even the right one),
                            intro:name-offset|short|no-terminator (a malformed introduction)
      --unplugged           start with the device out of its cradle
      --call HOST[:PORT]    call the desktop's connection manager (port 5679 by default) as a
                            real device does: ask for its password when it has one, introduce
                            itself, echo pings; call again when hung up or plugged in again.
                            RAPI is then served on the device's own address, port 990 (the
                            port the manager dials); with a password, every RAPI connection
                            must begin with it
      --address A           with --call: the device's own address (default 127.0.0.1), which
                            it calls from and serves RAPI on
      --call-once           with --call: call once each time the device is plugged in, and
                            not again after a refusal or a hang-up, as a strict device may
  status DIR                identity, store, files, registry; the server's state if serving
  ls DIR [PATH] [-R]        list a device folder (default \)
  cat DIR PATH              write a device file to standard output
  put DIR HOSTFILE PATH     copy a host file onto the device
  attrib DIR PATH [+r|-r|+h|-h|+s|-s]...  show or change a device file's attributes
  reg DIR                   export the device registry as readable text
  log DIR [--json] [--tail N]  show the op log: every call a desktop made on the link
  console DIR COMMAND...    send a command to the emulator serving DIR: status, plug, unplug,
                            fault <spec>, release, clear-faults, link <rate>, delay <ms>, quit
                            (unplug also hangs up the call to the manager; clear-faults ends
                            a silence)
  cable PORT [options]      play the device's end of a serial cable: say "CLIENT" on the serial
                            port (or pseudo-terminal) PORT and wait for the desktop's "CLIENTSERVER",
                            where a real device starts PPP
      --speed N             the line's speed in baud (default 115200)
      --timeout S           give up after S seconds without the answer (default 30)

While serving, DIR/link.port holds the RAPI port in use, and DIR/console.sock is the
console: a Unix-domain socket open to the user who serves the image only.
Desktop programs reach the device through rapi.dll; set PSPC_RAPI_ENDPOINT=127.0.0.1:<port>
when the port is not 990.
)";

[[noreturn]] void fail(const std::string& message) {
  std::cerr << "pspcemu: " << message << "\n";
  std::exit(1);
}

std::u16string devicePathArg(const std::string& text) {
  std::u16string path;
  if (!utf8ToUtf16(text, path)) fail("not valid UTF-8: " + text);
  if (path.empty() || path[0] != u'\\') path = u"\\" + path;
  return path;
}

std::string errorText(uint32_t code) {
  static const std::map<uint32_t, std::string> names = {
      {ERROR_FILE_NOT_FOUND, "file not found"},    {ERROR_PATH_NOT_FOUND, "path not found"},
      {ERROR_ACCESS_DENIED, "access denied"},      {ERROR_SHARING_VIOLATION, "sharing violation"},
      {ERROR_FILE_EXISTS, "file exists"},          {ERROR_DISK_FULL, "the store is full"},
      {ERROR_INVALID_NAME, "invalid name"},        {ERROR_ALREADY_EXISTS, "already exists"},
      {ERROR_FILENAME_EXCED_RANGE, "name too long"}};
  auto it = names.find(code);
  return (it == names.end() ? "error" : it->second) + " (" + std::to_string(code) + ")";
}

uint64_t parseSize(const std::string& text) {
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (end == text.c_str()) fail("not a size: " + text);
  std::string suffix = end;
  if (suffix == "K" || suffix == "k" || suffix == "KiB") value <<= 10;
  else if (suffix == "M" || suffix == "m" || suffix == "MiB") value <<= 20;
  else if (!suffix.empty()) fail("not a size: " + text);
  if (value > UINT32_MAX) fail("a PsPC store holds at most 4 GiB - 1: " + text);
  return value;
}

uint32_t parseNumber(const std::string& text, const std::string& what) {
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || value > UINT32_MAX) fail(what + " must be a number: " + text);
  return uint32_t(value);
}

// Arguments after the image folder: options with values, flags, positionals.
struct Args {
  std::vector<std::string> positional;
  std::multimap<std::string, std::string> options;
  bool has(const std::string& key) const { return options.count(key) > 0; }
  std::string get(const std::string& key, const std::string& fallback = "") const {
    auto it = options.find(key);
    return it == options.end() ? fallback : it->second;
  }
};

Args parseArgs(int argc, char** argv, int first, const std::vector<std::string>& valued,
               const std::vector<std::string>& flags) {
  Args args;
  for (int i = first; i < argc; ++i) {
    std::string a = argv[i];
    bool isValued = std::find(valued.begin(), valued.end(), a) != valued.end();
    bool isFlag = std::find(flags.begin(), flags.end(), a) != flags.end();
    if (isValued) {
      if (i + 1 >= argc) fail(a + " needs a value");
      args.options.emplace(a, argv[++i]);
    } else if (isFlag) {
      args.options.emplace(a, "");
    } else if (a.size() > 1 && a[0] == '-' && a != "-r" && a != "-h" && a != "-s") {
      fail("unknown option " + a + " (see pspcemu --help)");
    } else {
      args.positional.push_back(a);
    }
  }
  return args;
}

fs::path requireImage(const std::string& dir) {
  if (!image::isImage(dir))
    fail(dir + " is not a device image (make one with: pspcemu init " + dir + ")");
  return dir;
}

// What the device says of itself: names, Windows CE version, processor and
// partnerships.
Identity introductionOptions(const Args& args) {
  Identity identity;
  identity.version = args.get("--version", identity.version);
  identity.language = args.get("--language", identity.language);
  identity.model = args.get("--model", identity.model);
  identity.deviceName = args.get("--device-name", identity.deviceName);
  identity.platform = args.get("--platform", identity.platform);
  if (args.has("--os-version")) {
    const std::string text = args.get("--os-version");
    const size_t dot = text.find('.');
    if (dot == std::string::npos) fail("--os-version is major.minor, such as 2.11");
    const uint32_t major = parseNumber(text.substr(0, dot), "--os-version's major number");
    const uint32_t minor = parseNumber(text.substr(dot + 1), "--os-version's minor number");
    if (major > 255 || minor > 255) fail("--os-version's numbers go from 0 to 255: " + text);
    identity.osMajor = uint8_t(major);
    identity.osMinor = uint8_t(minor);
  }
  for (auto [option, field] : {std::pair{"--os-build", &identity.osBuild}, std::pair{"--cpu-type", &identity.cpuType}}) {
    if (!args.has(option)) continue;
    const uint32_t value = parseNumber(args.get(option), option);
    if (value > 0xFFFF) fail(std::string(option) + " goes from 0 to 65535");
    *field = uint16_t(value);
  }
  if (args.has("--partner-id")) identity.partnerId = parseNumber(args.get("--partner-id"), "--partner-id");
  if (args.has("--second-partner-id"))
    identity.secondPartnerId = parseNumber(args.get("--second-partner-id"), "--second-partner-id");
  return identity;
}

// The device password from --password-file: the first line, what a person
// writes into a file with an editor or echo. Empty for none.
std::string passwordOption(const Args& args) {
  std::string password, error;
  if (!args.has("--password-file")) return password;
  if (!readWholeFile(args.get("--password-file"), 4096, password, error)) fail(error);
  if (const size_t end = password.find('\n'); end != std::string::npos) password.resize(end);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (!image::checkPassword(password, error)) fail(args.get("--password-file") + ": " + error);
  return password;
}

std::array<uint16_t, 11> tagUnits(const std::string& text) {
  std::istringstream in(text);
  std::array<uint16_t, 11> units{};
  std::string word;
  size_t n = 0;
  while (in >> word) {
    if (n == 11) fail("--tag-units takes exactly 11 units");
    uint32_t unit = parseNumber("0x" + word, "a tag unit");
    if (unit > 0xFFFF) fail("a tag unit is 16 bits: " + word);
    units[n++] = uint16_t(unit);
  }
  if (n != 11) fail("--tag-units takes exactly 11 units");
  return units;
}

// The store, the device tool and the tag, and the identity checked whole.
void deviceOptions(const Args& args, Identity& identity) {
  if (args.has("--store-bytes")) identity.storeBytes = uint32_t(parseSize(args.get("--store-bytes")));
  if (args.has("--tool-delay-ms")) identity.toolDelayMs = parseNumber(args.get("--tool-delay-ms"), "--tool-delay-ms");
  identity.toolWrites = !args.has("--tool-no-write");
  if (args.has("--tag-units")) identity.tagUnits = tagUnits(args.get("--tag-units"));
  if (identity.version.size() != 7) fail("the version must have 7 characters, such as 1.12.00");
  if (identity.language.size() != 3) fail("the language must be a 3-letter code, such as JPN or ENG");
}

// An image is made only in an empty folder, or over an image with --force.
void clearImageFolder(const fs::path& dir, bool force) {
  if (!fs::exists(dir)) return;
  if (!force) {
    if (image::isImage(dir))
      fail(dir.string() + " already holds a device image; use --force to replace it, or choose another folder");
    if (!fs::is_empty(dir)) fail(dir.string() + " exists and is not empty; choose another folder");
  } else if (image::isImage(dir)) {
    fs::remove_all(dir);
  } else if (!fs::is_empty(dir)) {
    fail(dir.string() + " exists and is not a device image; --force only replaces device images");
  }
}

int cmdInit(const fs::path& dir, const Args& args) {
  Identity identity = introductionOptions(args);
  const std::string password = passwordOption(args);
  deviceOptions(args, identity);
  clearImageFolder(dir, args.has("--force"));
  std::string error;
  if (!image::create(dir, identity, error) || !image::setPassword(dir, password, error)) fail(error);
  if (args.has("--no-tool")) fs::remove(image::fsRoot(dir) / "Windows" / "MakeZlkData.exe");
  if (args.has("--no-temp")) fs::remove_all(image::fsRoot(dir) / "Temp");
  std::cout << "made a device image in " << dir.string() << ": version " << identity.version << ", language "
            << identity.language << ", store " << identity.storeBytes << " bytes"
            << (password.empty() ? "" : ", with a password") << "\n";
  return 0;
}

void writePortFile(const fs::path& file, uint16_t port) {
  fs::path temp = file;
  temp += ".tmp";
  { std::ofstream(temp) << port << "\n"; }
  fs::rename(temp, file);
}

// HOST[:PORT] of the connection manager, HOST a name or an IPv4 address.
CallOptions callOptions(const std::string& text) {
  CallOptions call;
  std::string host = text;
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    const uint32_t port = parseNumber(text.substr(colon + 1), "--call's port");
    if (port == 0 || port > 0xFFFF) fail("--call's port goes from 1 to 65535: " + text);
    call.managerPort = uint16_t(port);
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
    fail("--call: cannot find the IPv4 address of '" + host + "'");
  char dotted[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, dotted, sizeof dotted);
  ::freeaddrinfo(found);
  call.manager = dotted;
  return call;
}

// Where the device serves, and whom it calls.
ServerOptions serveOptions(const Args& args) {
  ServerOptions options;
  if (args.has("--port")) options.port = uint16_t(parseNumber(args.get("--port"), "--port"));
  options.bindAddress = args.get("--bind", options.bindAddress);
  if (args.has("--address") && !args.has("--call")) fail("--address goes with --call (a listening device takes --bind)");
  if (args.has("--call-once") && !args.has("--call")) fail("--call-once goes with --call");
  if (args.has("--call")) {
    if (args.has("--bind")) fail("--bind is for a listening device; a calling one takes --address");
    options.call = callOptions(args.get("--call"));
    options.call->once = args.has("--call-once");
    options.bindAddress = args.get("--address", options.bindAddress);
    in_addr own{};
    if (::inet_pton(AF_INET, options.bindAddress.c_str(), &own) != 1 || own.s_addr == INADDR_ANY)
      fail("--address must be the device's own IPv4 address, one the manager can dial: " + options.bindAddress);
  }
  options.startUnplugged = args.has("--unplugged");
  return options;
}

// The link's speed and reply delay, and the faults injected from the start.
void conditionOptions(const Args& args, LineSpeed& link, Faults& faults) {
  if (args.has("--link")) {
    auto rate = LineSpeed::parseRate(args.get("--link"));
    if (!rate) fail("unknown link '" + args.get("--link") + "' (serial, usb, unlimited or bytes per second)");
    link.setRate(*rate);
  }
  if (args.has("--reply-delay-ms"))
    link.setReplyDelay(std::chrono::milliseconds(parseNumber(args.get("--reply-delay-ms"), "--reply-delay-ms")));
  for (auto [it, end] = args.options.equal_range("--fault"); it != end; ++it) {
    std::string error;
    if (!faults.add(it->second, error)) fail(error);
  }
}

void announceServing(const fs::path& dir, const ServerOptions& options, uint16_t port, const LineSpeed& link) {
  // One write: the calling thread prints its own lines meanwhile.
  std::cout << "PsPC emulator: serving " + dir.string() + " on " + options.bindAddress + ":" + std::to_string(port) +
                   (options.startUnplugged ? " (unplugged)" : "") +
                   (options.call ? ", calling " + options.call->manager + ":" +
                                       std::to_string(options.call->managerPort) + (options.call->once ? " once" : "")
                                 : std::string()) +
                   ", console on " + image::consoleSocketFile(dir).string() + "; link " +
                   LineSpeed::rateName(link.rate()) + "; Ctrl-C to stop\n"
            << std::flush;
}

int cmdServe(const fs::path& dir, const Args& args) {
  const ServerOptions options = serveOptions(args);
  LineSpeed link;
  Faults faults;
  conditionOptions(args, link, faults);

  // Signals are taken by this thread alone, before any other thread exists.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  Device device(dir);
  OpLog log(image::opLogFile(dir));
  Server server(device, log, faults, link, options);
  try {
    server.start();
  } catch (const std::exception& e) {
    server.stop(); // leaves no console socket behind
    fail(e.what());
  }
  writePortFile(dir / "link.port", server.linkPort());
  announceServing(dir, options, server.linkPort(), link);
  while (!server.quitRequested()) {
    timespec wait{0, 200 * 1000 * 1000};
    if (sigtimedwait(&signals, nullptr, &wait) > 0) break;
  }
  server.stop();
  fs::remove(dir / "link.port");
  std::cout << "PsPC emulator: stopped" << std::endl;
  return 0;
}

void listFolder(Device& device, const std::u16string& folder, bool recursive, std::ostream& out) {
  std::vector<FindData> entries;
  uint32_t error = 0;
  std::u16string pattern = folder + (folder == u"\\" ? u"*" : u"\\*");
  if (!device.findAllFiles(pattern, entries, error) && error != ERROR_SUCCESS)
    fail("cannot list " + toUtf8Lossy(folder) + ": " + errorText(error));
  for (const FindData& e : entries) {
    bool dir = e.attributes & FILE_ATTRIBUTE_DIRECTORY;
    std::u16string path = (folder == u"\\" ? u"" : folder) + u"\\" + e.name;
    char attrs[6] = {dir ? 'd' : '-', e.attributes & FILE_ATTRIBUTE_READONLY ? 'r' : '-',
                     e.attributes & FILE_ATTRIBUTE_HIDDEN ? 'h' : '-', e.attributes & FILE_ATTRIBUTE_SYSTEM ? 's' : '-',
                     e.attributes & FILE_ATTRIBUTE_ARCHIVE ? 'a' : '-', 0};
    char size[24];
    std::snprintf(size, sizeof size, "%12llu", (unsigned long long)(uint64_t(e.sizeHigh) << 32 | e.sizeLow));
    out << attrs << " " << (dir ? std::string(12, ' ') : std::string(size)) << "  " << toUtf8Lossy(path) << "\n";
    if (dir && recursive) listFolder(device, path, true, out);
  }
}

int cmdLs(const fs::path& dir, const Args& args) {
  Device device(dir);
  std::u16string folder = args.positional.empty() ? u"\\" : devicePathArg(args.positional[0]);
  while (folder.size() > 1 && folder.back() == u'\\') folder.pop_back();
  listFolder(device, folder, args.has("-R"), std::cout);
  return 0;
}

int cmdCat(const fs::path& dir, const Args& args) {
  if (args.positional.size() != 1) fail("cat needs a device file path");
  Device device(dir);
  SessionId session = device.openSession();
  uint32_t error = 0;
  uint32_t handle = device.createFile(session, devicePathArg(args.positional[0]), GENERIC_READ, FILE_SHARE_READ,
                                      OPEN_EXISTING, 0, error);
  if (handle == INVALID_HANDLE_VALUE) fail("cannot open " + args.positional[0] + ": " + errorText(error));
  std::vector<uint8_t> chunk;
  while (device.readFile(session, handle, 65536, chunk, error) && !chunk.empty())
    std::fwrite(chunk.data(), 1, chunk.size(), stdout);
  device.closeSession(session);
  return 0;
}

int cmdPut(const fs::path& dir, const Args& args) {
  if (args.positional.size() != 2) fail("put needs a host file and a device path");
  std::ifstream in(args.positional[0], std::ios::binary);
  if (!in) fail("cannot read " + args.positional[0]);
  Device device(dir);
  SessionId session = device.openSession();
  uint32_t error = 0;
  uint32_t handle = device.createFile(session, devicePathArg(args.positional[1]), GENERIC_WRITE, 0, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, error);
  if (handle == INVALID_HANDLE_VALUE) fail("cannot create " + args.positional[1] + ": " + errorText(error));
  std::vector<char> chunk(65536);
  while (in.read(chunk.data(), std::streamsize(chunk.size())) || in.gcount() > 0) {
    uint32_t written = 0;
    if (!device.writeFile(session, handle, reinterpret_cast<const uint8_t*>(chunk.data()), uint32_t(in.gcount()),
                          written, error))
      fail("cannot write " + args.positional[1] + ": " + errorText(error));
  }
  device.closeSession(session);
  return 0;
}

// A device file's attributes as the device reports them in a listing.
bool currentAttributes(Device& device, const std::u16string& path, uint32_t& attributes) {
  size_t slash = path.rfind(u'\\');
  std::u16string folder = slash == 0 ? u"\\" : path.substr(0, slash);
  std::u16string name = path.substr(slash + 1);
  std::vector<FindData> entries;
  uint32_t error = 0;
  device.findAllFiles(folder + (folder == u"\\" ? u"*" : u"\\*"), entries, error);
  for (const FindData& e : entries) {
    if (sameName(e.name, name)) {
      attributes = e.attributes;
      return true;
    }
  }
  return false;
}

int cmdAttrib(const fs::path& dir, const Args& args) {
  if (args.positional.empty()) fail("attrib needs a device path");
  std::u16string path = devicePathArg(args.positional[0]);
  uint32_t attributes = 0;
  {
    Device device(dir);
    if (!currentAttributes(device, path, attributes)) fail("no such file on the device: " + args.positional[0]);
  }
  if (args.positional.size() > 1) {
    for (size_t i = 1; i < args.positional.size(); ++i) {
      const std::string& change = args.positional[i];
      static const std::map<char, uint32_t> bits = {
          {'r', FILE_ATTRIBUTE_READONLY}, {'h', FILE_ATTRIBUTE_HIDDEN}, {'s', FILE_ATTRIBUTE_SYSTEM}};
      if (change.size() != 2 || (change[0] != '+' && change[0] != '-') || !bits.count(change[1]))
        fail("attribute changes are +r -r +h -h +s -s: " + change);
      if (change[0] == '+') attributes |= bits.at(change[1]);
      else attributes &= ~bits.at(change[1]);
    }
    std::string error;
    if (!setFileAttributes(dir, path, attributes, error)) fail(error);
  }
  std::printf("0x%02x %s\n", attributes, args.positional[0].c_str());
  return 0;
}

int cmdReg(const fs::path& dir, const Args&) {
  std::string text, error;
  if (!exportRegistry(dir, text, error)) fail(error);
  std::cout << text;
  return 0;
}

int cmdLog(const fs::path& dir, const Args& args) {
  std::ifstream in(image::opLogFile(dir));
  if (!in) {
    std::cout << "(no calls yet)\n";
    return 0;
  }
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  size_t tail = args.has("--tail") ? parseNumber(args.get("--tail"), "--tail") : lines.size();
  size_t first = lines.size() > tail ? lines.size() - tail : 0;
  for (size_t i = first; i < lines.size(); ++i) {
    if (args.has("--json")) {
      std::cout << lines[i] << "\n";
      continue;
    }
    auto record = parseFlatJson(lines[i]);
    if (!record) {
      std::cout << "? " << lines[i] << "\n";
      continue;
    }
    std::string time = field(*record, "time").value_or("");
    std::cout << field(*record, "seq").value_or("?") << "  " << (time.size() > 11 ? time.substr(11) : time) << "  #"
              << field(*record, "conn").value_or("?") << "  " << field(*record, "op").value_or("?");
    for (const auto& [key, value] : *record) {
      if (key == "seq" || key == "time" || key == "conn" || key == "op") continue;
      std::cout << "  " << key << "=" << value;
    }
    std::cout << "\n";
  }
  return 0;
}

int cmdStatus(const fs::path& dir, const Args&) {
  Device device(dir);
  const Identity& id = device.identity();
  uint32_t store = 0, free = 0;
  device.storeInformation(store, free);
  std::optional<std::u16string> password;
  std::string passwordError;
  const bool passwordRead = image::readPassword(dir, password, passwordError);
  char partners[40];
  std::snprintf(partners, sizeof partners, "0x%08x, 0x%08x", unsigned(id.partnerId), unsigned(id.secondPartnerId));
  std::cout << "image     " << fs::absolute(dir).string() << "\n"
            << "model     " << id.model << "\n"
            << "version   " << id.version << "\n"
            << "language  " << id.language << "\n"
            << "device    " << id.deviceName << "\n"
            << "platform  " << id.platform << "\n"
            << "os        Windows CE " << unsigned(id.osMajor) << "." << unsigned(id.osMinor) << " build "
            << id.osBuild << "\n"
            << "cpu       " << id.cpuType << (id.cpuType == kProcessorMipsR4000 ? " (MIPS R4000 family)" : "")
            << "\n"
            << "partners  " << partners << "\n"
            << "password  "
            << (!passwordRead ? "unreadable (" + passwordError + ")" : password ? "set (asked when calling)" : "none")
            << "\n"
            << "store     " << store << " bytes, " << free << " free (" << (store - free) << " used)\n";
  std::error_code ec;
  bool tool = fs::exists(image::fsRoot(dir) / "Windows" / "MakeZlkData.exe", ec);
  std::cout << "tool      " << (tool ? "\\Windows\\MakeZlkData.exe" : "missing") << "\n";
  if (fs::exists(fs::symlink_status(image::consoleSocketFile(dir), ec))) {
    std::string answer;
    std::string error;
    if (sendToConsole(dir, "status", answer, error)) std::cout << "serving   " << answer << "\n";
    else std::cout << "serving   no answer (" << error << ")\n";
  } else {
    std::cout << "serving   no\n";
  }
  std::ifstream log(image::opLogFile(dir));
  size_t calls = 0;
  for (std::string line; std::getline(log, line);) ++calls;
  std::cout << "op log    " << image::opLogFile(dir).string() << " (" << calls << " records)\n";
  return 0;
}

int cmdConsole(const fs::path& dir, const Args& args) {
  if (args.positional.empty()) fail("console needs a command (status, plug, unplug, fault <spec>, ...)");
  std::string line;
  for (const std::string& word : args.positional) line += (line.empty() ? "" : " ") + word;
  std::string answer, error;
  if (!sendToConsole(dir, line, answer, error)) fail(error);
  std::cout << answer << "\n";
  return answer.rfind("ok", 0) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
    std::cout << kUsage;
    return argc < 2 ? 1 : 0;
  }
  std::string command = argv[1];
  if (argc < 3)
    fail(command + (command == "cable" ? " needs a serial port" : " needs an image folder") + " (see pspcemu --help)");
  fs::path dir = argv[2];
  try {
    if (command == "cable") {
      Args args = parseArgs(argc, argv, 3, {"--speed", "--timeout"}, {});
      if (!args.positional.empty()) fail("cable takes one port, not " + args.positional[0] + " as well");
      return runCable(argv[2], parseNumber(args.get("--speed", "115200"), "--speed"),
                      parseNumber(args.get("--timeout", "30"), "--timeout"));
    }
    if (command == "init")
      return cmdInit(dir, parseArgs(argc, argv, 3,
                                    {"--version", "--language", "--model", "--store-bytes", "--tag-units",
                                     "--tool-delay-ms", "--device-name", "--platform", "--os-version",
                                     "--os-build", "--cpu-type", "--partner-id", "--second-partner-id",
                                     "--password-file"},
                                    {"--tool-no-write", "--no-tool", "--no-temp", "--force"}));
    requireImage(argv[2]);
    if (command == "serve")
      return cmdServe(dir, parseArgs(argc, argv, 3,
                                     {"--port", "--bind", "--link", "--reply-delay-ms", "--fault", "--call",
                                      "--address"},
                                     {"--unplugged", "--call-once"}));
    const std::map<std::string, std::function<int(const fs::path&, const Args&)>> simple = {
        {"status", cmdStatus}, {"ls", cmdLs}, {"cat", cmdCat}, {"put", cmdPut},
        {"attrib", cmdAttrib}, {"reg", cmdReg}, {"log", cmdLog}, {"console", cmdConsole}};
    auto it = simple.find(command);
    if (it == simple.end()) fail("unknown command '" + command + "' (see pspcemu --help)");
    return it->second(dir, parseArgs(argc, argv, 3, {"--tail"}, {"--json", "-R"}));
  } catch (const std::exception& e) {
    fail(e.what());
  }
}
