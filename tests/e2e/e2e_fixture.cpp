#include "e2e_fixture.h"

#include "file_system.h"
#include "files.h"
#include "host_file.h"
#include "win32_codes.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace e2e {

namespace {

// The variable that marks every process a test starts, for the leftover check.
constexpr char kRunMarkerVariable[] = "PSPC_E2E_RUN";

constexpr const char* kLanguageFolders[] = {"English", "Japanese"};
constexpr const char* kPackageFolders[] = {"MFC", "VB", "ADO"};

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

struct Leftover {
  pid_t pid;
  std::string commandLine;
};

// Processes still running that this test started: their environment carries
// the run marker and their command line names one of `programs`.
std::vector<Leftover> leftovers(const std::string& markerEntry, const std::vector<std::string>& programs) {
  std::vector<Leftover> found;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator("/proc", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string environment = testsupport::readFile(entry.path() / "environ");
    bool marked = false;
    for (size_t start = 0; start < environment.size();) {
      size_t end = environment.find('\0', start);
      if (end == std::string::npos) end = environment.size();
      if (environment.compare(start, end - start, markerEntry) == 0) marked = true;
      start = end + 1;
    }
    if (!marked) continue;
    std::string commandLine = testsupport::readFile(entry.path() / "cmdline");
    std::replace(commandLine.begin(), commandLine.end(), '\0', ' ');
    const std::string lowered = lower(commandLine);
    for (const auto& program : programs)
      if (!program.empty() && lowered.find(lower(program)) != std::string::npos) {
        found.push_back({pid_t(std::stol(name)), commandLine});
        break;
      }
  }
  return found;
}

std::string describeRecords(const std::vector<pspc::FlatJson>& records, size_t last) {
  std::string text;
  size_t from = records.size() > last ? records.size() - last : 0;
  for (size_t i = from; i < records.size(); ++i) {
    for (const auto& [key, value] : records[i]) {
      if (key == "time") continue;
      text += key + "=" + value + " ";
    }
    text += "\n";
  }
  return text;
}

// Writes a whole device file through the device's own rules; whether it could.
bool writeDeviceFile(pspc::Device& device, pspc::SessionId session, const std::u16string& path,
                     const std::string& content) {
  uint32_t lastError = 0, written = 0;
  const uint32_t handle = device.createFile(session, path, pspc::GENERIC_WRITE, 0, pspc::CREATE_ALWAYS,
                                            pspc::FILE_ATTRIBUTE_NORMAL, lastError);
  if (handle == pspc::INVALID_HANDLE_VALUE) return false;
  const bool ok = device.writeFile(session, handle, reinterpret_cast<const uint8_t*>(content.data()),
                                   uint32_t(content.size()), written, lastError) &&
                  written == content.size();
  return device.closeHandle(session, handle, lastError) && ok;
}

// The size of a device file, 0 when there is none.
uint64_t deviceFileBytes(pspc::Device& device, pspc::SessionId session, const std::u16string& path) {
  uint32_t lastError = 0, high = 0;
  const uint32_t handle = device.createFile(session, path, pspc::GENERIC_READ, pspc::FILE_SHARE_READ,
                                            pspc::OPEN_EXISTING, pspc::FILE_ATTRIBUTE_NORMAL, lastError);
  if (handle == pspc::INVALID_HANDLE_VALUE) return 0;
  const uint32_t low = device.getFileSize(session, handle, &high, lastError);
  device.closeHandle(session, handle, lastError);
  return low == pspc::INVALID_HANDLE_VALUE ? 0 : uint64_t(high) << 32 | low;
}

std::string utf8(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) out += unit < 0x80 ? char(unit) : '?';
  return out;
}

} // namespace

fs::path Binaries::win64Bin() { return PSPC_E2E_WIN64_BIN; }
fs::path Binaries::runner() { return PSPC_E2E_WINE_RUNNER; }
fs::path Binaries::pspclink() { return PSPC_E2E_PSPCLINK; }

std::string packageFileContent(const std::string& path, size_t bytes) {
  // A simple generator seeded by the name: cheap, and different per file.
  uint32_t state = 2166136261u;
  for (unsigned char c : path) state = (state ^ c) * 16777619u;
  std::string content(bytes, '\0');
  for (auto& byte : content) {
    state = state * 1103515245u + 12345u;
    byte = char(state >> 24);
  }
  return content;
}

void writePackageTree(const fs::path& root, const std::vector<PackageFile>& files) {
  for (const char* language : kLanguageFolders)
    for (const char* package : kPackageFolders) fs::create_directories(root / language / package);
  for (const auto& file : files) {
    const fs::path target = root / fs::path(file.path);
    fs::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    const std::string content = packageFileContent(file.path, file.bytes);
    out.write(content.data(), std::streamsize(content.size()));
    if (!out) throw std::runtime_error("cannot write the package file " + target.string());
  }
}

std::unique_ptr<pspc::Server> serveOnOwnAddress(pspc::Device& device, pspc::OpLog& log, pspc::Faults& faults,
                                                pspc::LineSpeed& link, pspc::ServerOptions& options) {
  constexpr unsigned kFirst = 2, kAddresses = 253; // 127.0.0.2 to 127.0.0.254
  const unsigned start = unsigned(::getpid()) % kAddresses;
  std::string lastError;
  for (unsigned i = 0; i < kAddresses; ++i) {
    options.bindAddress = "127.0.0." + std::to_string(kFirst + (start + i) % kAddresses);
    auto server = std::make_unique<pspc::Server>(device, log, faults, link, options);
    try {
      server->start();
      return server;
    } catch (const std::runtime_error& error) {
      // Another test's device holds this address's port 990: the next one.
      lastError = error.what();
      if (lastError.find("in use") == std::string::npos) throw;
    }
  }
  throw std::runtime_error("no loopback address has its port 990 free: " + lastError);
}

void E2eTest::SetUp() {
  scratch_ = testsupport::makeScratchFolder("pspc-e2e");
  imageDir_ = scratch_ / "image";
  packageDir_ = scratch_ / "packages";
  fs::create_directories(packageDir_);
  runMarker_ = scratch_.string();
}

void E2eTest::requireBinary(const fs::path& path) const {
  if (fs::exists(path)) return;
  throw std::runtime_error(path.string() +
                           " is missing: the end-to-end tests run the win64 build's programs under Wine. Build it "
                           "first (cmake --preset win64 && cmake --build --preset win64), or run scripts/test.sh, "
                           "which builds everything before it tests.");
}

void E2eTest::TearDown() {
  endPrograms();
  if (HasFailure() && log_) {
    std::cerr << "--- the device's op log (last records) ---\n" << describeRecords(opLog(), 40);
  }
  server_.reset();
  log_.reset();
  if (device_ && readerSession_) device_->closeSession(readerSession_);
  device_.reset();
  std::error_code ignored;
  if (!scratch_.empty()) fs::remove_all(scratch_, ignored);
}

void E2eTest::endPrograms() {
  if (driver_) {
    if (HasFailure()) std::cerr << "--- uidriver and Wine said ---\n" << driver_->log() << "\n";
    driver_.reset(); // ends the driver, and through its job the program
  }
  if (runMarker_.empty()) return;
  // The job ends the program as the driver goes; give the system a moment.
  waitUntil([&] { return startedProgramsRunning().empty(); });
  for (const auto& process : leftovers(markerEntry(), {"uidriver.exe", programName_})) {
    ADD_FAILURE() << "left behind after the test: pid " << process.pid << " " << process.commandLine;
    ::kill(process.pid, SIGKILL);
  }
}

std::string E2eTest::markerEntry() const { return std::string(kRunMarkerVariable) + "=" + runMarker_; }

std::vector<pid_t> E2eTest::startedProgramsRunning() const {
  std::vector<pid_t> running;
  if (runMarker_.empty()) return running;
  for (const auto& process : leftovers(markerEntry(), {"uidriver.exe", programName_})) running.push_back(process.pid);
  return running;
}

void E2eTest::startDevice(const DeviceSettings& settings) {
  if (server_) throw std::runtime_error("a test has one device");
  std::string error;
  if (!pspc::image::create(imageDir_, settings.identity, error))
    throw std::runtime_error("cannot make the device image: " + error);
  if (!settings.deviceTool) fs::remove(pspc::image::fsRoot(imageDir_) / "Windows" / "MakeZlkData.exe");
  if (!settings.tempFolder) fs::remove_all(pspc::image::fsRoot(imageDir_) / "Temp");
  if (!settings.password.empty() && !pspc::image::setPassword(imageDir_, settings.password, error))
    throw std::runtime_error("cannot give the device its password: " + error);
  arrangeImage(settings);
  for (const auto& fault : settings.faults)
    if (!faults_.add(fault, error)) throw std::runtime_error("the fault '" + fault + "' is not valid: " + error);
  auto rate = pspc::LineSpeed::parseRate(settings.linkRate);
  if (!rate) throw std::runtime_error("unknown link rate '" + settings.linkRate + "'");
  lineSpeed_.setRate(*rate);
  lineSpeed_.setReplyDelay(settings.replyDelay);
  serverOptions_ = pspc::ServerOptions{};
  serverOptions_.port = 0;
  if (settings.managerPort) {
    serverOptions_.port = controlwire::kRapiPort;
    serverOptions_.bindAddress.clear(); // chosen as it starts
    serverOptions_.call.emplace();
    serverOptions_.call->managerPort = *settings.managerPort;
    serverOptions_.call->once = settings.callOnce;
  }
  serve();
  // Unplugged once it has its port: the program is then given a port on
  // which nothing listens, as a desktop whose device is out of its cradle.
  if (!settings.plugged) server_->unplug();
}

void E2eTest::serve() {
  device_ = std::make_unique<pspc::Device>(imageDir_);
  log_ = std::make_unique<pspc::OpLog>(pspc::image::opLogFile(imageDir_));
  if (serverOptions_.call && serverOptions_.bindAddress.empty()) {
    server_ = serveOnOwnAddress(*device_, *log_, faults_, lineSpeed_, serverOptions_);
  } else {
    server_ = std::make_unique<pspc::Server>(*device_, *log_, faults_, lineSpeed_, serverOptions_);
    server_->start();
  }
  serverOptions_.port = server_->linkPort();
}

void E2eTest::stopDevice() {
  if (!server_) throw std::runtime_error("no device is running");
  server_->stop();
  server_.reset();
  if (readerSession_) device_->closeSession(readerSession_);
  readerSession_ = 0;
  device_.reset();
  log_.reset();
}

void E2eTest::startDeviceAgain() {
  if (server_ || !serverOptions_.port) throw std::runtime_error("the device was never started, or still runs");
  serve();
}

void E2eTest::arrangeImage(const DeviceSettings& settings) {
  arrangeFiles(settings);
  // Set once the files are written, with no device open on the image.
  for (const auto& path : settings.readOnlyFiles) {
    std::string error;
    if (!pspc::setFileAttributes(imageDir_, path, pspc::FILE_ATTRIBUTE_READONLY, error))
      throw std::runtime_error("cannot make a device file read-only: " + error);
  }
}

void E2eTest::arrangeFiles(const DeviceSettings& settings) {
  if (settings.files.empty() && !settings.freeBytesWhenProbed) return;
  uint64_t usedBytes = 0, dataFileBytes = 0;
  {
    // A device of its own, gone before the test's device opens the image.
    pspc::Device arranging(imageDir_);
    const pspc::SessionId session = arranging.openSession();
    for (const auto& [path, content] : settings.files)
      if (!writeDeviceFile(arranging, session, path, content))
        throw std::runtime_error("cannot put the file " + utf8(path) + " on the device (" +
                                 std::to_string(content.size()) + " bytes)");
    uint32_t storeBytes = 0, freeBytes = 0;
    arranging.storeInformation(storeBytes, freeBytes);
    if (freeBytes == 0) throw std::runtime_error("the device image fills its store: give identity.storeBytes room");
    usedBytes = storeBytes - freeBytes;
    dataFileBytes = deviceFileBytes(arranging, session, pspc::kDeviceDataPath);
    arranging.closeSession(session);
  }
  if (!settings.freeBytesWhenProbed) return;
  // The tool replaces the data file with one of its own size.
  const bool toolWrites = settings.deviceTool && settings.identity.toolWrites;
  const int64_t toolAdds = toolWrites ? int64_t(pspc::kDeviceDataBytes) - int64_t(dataFileBytes) : 0;
  const int64_t capacity = int64_t(usedBytes) + toolAdds + int64_t(*settings.freeBytesWhenProbed);
  if (capacity < int64_t(usedBytes) || capacity > int64_t(UINT32_MAX))
    throw std::runtime_error("no store capacity gives " + std::to_string(*settings.freeBytesWhenProbed) +
                             " free bytes on this image");
  pspc::Identity identity = settings.identity;
  identity.storeBytes = uint32_t(capacity);
  std::string error;
  if (!pspc::writeFileAtomically(pspc::image::configFile(imageDir_), identity.serialize(), error))
    throw std::runtime_error("cannot set the store's capacity: " + error);
}

void E2eTest::makePackages(const std::vector<PackageFile>& files) { writePackageTree(packageDir_, files); }

UiDriver& E2eTest::startSetup() {
  requireBinary(Binaries::setup());
  requireBinary(Binaries::rapiDll());
  return startProgram(Binaries::setup(), packageDir_);
}

UiDriver& E2eTest::startProgram(const fs::path& program, const fs::path& workingFolder) {
  requireBinary(Binaries::runner());
  requireBinary(Binaries::uidriver());
  requireBinary(program);
  if (driver_) throw std::runtime_error("a test drives one program at a time");
  UiDriver::Launch launch;
  launch.runner = Binaries::runner();
  launch.driver = Binaries::uidriver();
  launch.program = program;
  launch.workingFolder = workingFolder;
  launch.logFile = scratch_ / "uidriver.log";
  launch.environment = programEnvironment();
  programName_ = program.filename().string();
  driver_ = std::make_unique<UiDriver>(launch);
  return *driver_;
}

void E2eTest::setProgramVariable(const std::string& name, const std::string& value) {
  programVariables_.emplace_back(name, value);
}

std::vector<std::pair<std::string, std::string>> E2eTest::programEnvironment() const {
  std::vector<std::pair<std::string, std::string>> environment{{kRunMarkerVariable, runMarker_}};
  environment.insert(environment.end(), programVariables_.begin(), programVariables_.end());
  if (server_ && !serverOptions_.call)
    environment.emplace_back("PSPC_RAPI_ENDPOINT", "127.0.0.1:" + std::to_string(server_->linkPort()));
  return environment;
}

UiDriver& E2eTest::driver() {
  if (!driver_) throw std::runtime_error("no program has been started");
  return *driver_;
}

pspc::Device& E2eTest::device() {
  if (!device_) throw std::runtime_error("no device has been started");
  return *device_;
}

pspc::SessionId E2eTest::readerSession() {
  if (!readerSession_) readerSession_ = device().openSession();
  return readerSession_;
}

bool E2eTest::putDeviceFile(const std::u16string& path, const std::string& content) {
  return writeDeviceFile(device(), readerSession(), path, content);
}

std::optional<std::string> E2eTest::deviceFile(const std::u16string& path) {
  readerSession();
  uint32_t lastError = 0;
  const uint32_t handle = device_->createFile(readerSession_, path, pspc::GENERIC_READ, pspc::FILE_SHARE_READ,
                                              pspc::OPEN_EXISTING, pspc::FILE_ATTRIBUTE_NORMAL, lastError);
  if (handle == pspc::INVALID_HANDLE_VALUE) return std::nullopt;
  std::string content;
  bool ok = true;
  for (;;) {
    std::vector<uint8_t> chunk;
    if (!device_->readFile(readerSession_, handle, 65536, chunk, lastError)) {
      ok = false;
      break;
    }
    if (chunk.empty()) break;
    content.append(chunk.begin(), chunk.end());
  }
  device_->closeHandle(readerSession_, handle, lastError);
  if (!ok) return std::nullopt;
  return content;
}

std::string E2eTest::controlDevice(const std::string& command) {
  if (!server_) throw std::runtime_error("no device has been started");
  return server_->console(command);
}

std::vector<pspc::FlatJson> E2eTest::opLog() const {
  std::vector<pspc::FlatJson> records;
  std::ifstream in(pspc::image::opLogFile(imageDir_));
  for (std::string line; std::getline(in, line);) {
    auto record = pspc::parseFlatJson(line);
    // A record being written shows as a line without its end; the next read gets it.
    if (record) records.push_back(*record);
  }
  return records;
}

std::vector<pspc::FlatJson> E2eTest::opRecords(const std::string& op) const {
  std::vector<pspc::FlatJson> records;
  for (auto& record : opLog())
    if (pspc::field(record, "op") == op) records.push_back(record);
  return records;
}

bool E2eTest::waitForOpLog(const std::function<bool(const std::vector<pspc::FlatJson>&)>& holds) const {
  return waitUntil([&] { return holds(opLog()); });
}

} // namespace e2e
