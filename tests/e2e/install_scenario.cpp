#include "install_scenario.h"

#include "win32_codes.h"

#include <algorithm>
#include <fstream>
#include <iostream>

namespace e2e::install {

std::string narrow(const std::u16string& ascii) {
  std::string out;
  for (char16_t unit : ascii) {
    if (unit > 0x7F) throw std::runtime_error("not an ASCII text");
    out.push_back(char(unit));
  }
  return out;
}

std::u16string widen(const std::string& ascii) {
  std::u16string out;
  for (unsigned char c : ascii) out.push_back(char16_t(c));
  return out;
}

std::vector<uint8_t> regSzBytes(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t unit : text) {
    bytes.push_back(uint8_t(unit & 0xFF));
    bytes.push_back(uint8_t(unit >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

std::string hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

::testing::AssertionResult holdsExactly(const std::optional<std::string>& actual, const std::string& expected) {
  if (!actual) return ::testing::AssertionFailure() << "there is no such file";
  if (*actual == expected) return ::testing::AssertionSuccess();
  const auto differs = std::mismatch(actual->begin(), actual->end(), expected.begin(), expected.end());
  return ::testing::AssertionFailure() << "it holds " << actual->size() << " bytes where " << expected.size()
                                       << " were expected, the first difference at byte "
                                       << (differs.first - actual->begin());
}

std::string text(const pspc::FlatJson& record, const std::string& key) { return pspc::field(record, key).value_or(""); }

uint64_t number(const pspc::FlatJson& record, const std::string& key) {
  const auto value = pspc::field(record, key);
  if (!value || value->empty() || value->find_first_not_of("0123456789") != std::string::npos) {
    ADD_FAILURE() << "the op-log record of " << text(record, "op") << " (seq " << text(record, "seq")
                  << ") has no number '" << key << "'";
    return 0;
  }
  return std::stoull(*value);
}

bool isOp(const pspc::FlatJson& record, const std::string& op) { return text(record, "op") == op; }

// ---------------------------------------------------------------- the run

void InstallScenario::TearDown() {
  if (secondRun_ && HasFailure())
    std::cerr << "--- the second run's uidriver and Wine said ---\n" << secondRun_->log() << "\n";
  secondRun_.reset(); // ends the second program before the fixture looks for leftovers
  if (arrangeSession_) device().closeSession(arrangeSession_);
  arrangeSession_ = 0;
  E2eTest::TearDown();
}

void InstallScenario::stopDevice() {
  // The arranging session belongs to the device that goes.
  if (arrangeSession_) device().closeSession(arrangeSession_);
  arrangeSession_ = 0;
  E2eTest::stopDevice();
}

WindowInfo InstallScenario::acceptedSelection() {
  startSetup();
  return awaitAcceptance();
}

WindowInfo InstallScenario::awaitAcceptance() {
  const WindowInfo selection = waitSelection(ui());
  waitForAcceptance(ui(), selection.hwnd);
  return selection;
}

void InstallScenario::confirm(const WindowInfo& selection, bool mfc, bool vb) {
  tick(ui(), selection.hwnd, mfc, vb);
  ui().click(selection.hwnd, kOk);
}

WindowInfo InstallScenario::transferDialog() { return waitTransfer(ui()); }

Ending InstallScenario::finish(Milliseconds guard) {
  Ending ending;
  MessageBoxInfo first = ui().waitMessageBox(guard);
  // The boxes come after dialog 102 has ended, and nobody pressed anything in it.
  for (const WindowInfo& window : ui().windows())
    EXPECT_NE(window.title, transferTitle()) << "dialog 102 is still there under the message box";
  if (first.caption == errorCaption()) {
    ending.failure = first;
    answer(ui(), first);
    first = ui().waitMessageBox();
  }
  ending.notice = first;
  ui().dismiss(first.hwnd);
  ending.exitCode = ui().waitExit();
  return ending;
}

Ending InstallScenario::install(bool mfc, bool vb) {
  const WindowInfo selection = acceptedSelection();
  confirm(selection, mfc, vb);
  return finish();
}

Ending InstallScenario::installAgain(bool mfc, bool vb) {
  startAnotherRun();
  const WindowInfo selection = awaitAcceptance();
  confirm(selection, mfc, vb);
  return finish();
}

std::vector<pspc::FlatJson> InstallScenario::transferRecords() const {
  const auto log = opLog();
  size_t from = 0;
  for (size_t i = 0; i < log.size(); ++i)
    if (isOp(log[i], "CeGetStoreInformation")) from = i + 1;
  return {log.begin() + std::ptrdiff_t(from), log.end()};
}

// ---------------------------------------------------------------- the device

pspc::SessionId InstallScenario::session() {
  if (!arrangeSession_) arrangeSession_ = device().openSession();
  return arrangeSession_;
}

void InstallScenario::arrangeDeviceFile(const std::u16string& path, const std::string& content) {
  uint32_t lastError = 0;
  const uint32_t handle = device().createFile(session(), path, pspc::GENERIC_WRITE, 0, pspc::CREATE_ALWAYS,
                                              pspc::FILE_ATTRIBUTE_NORMAL, lastError);
  if (handle == pspc::INVALID_HANDLE_VALUE)
    throw std::runtime_error("cannot put " + narrow(path) + " on the device: error " + std::to_string(lastError));
  uint32_t written = 0;
  const bool ok = device().writeFile(session(), handle, reinterpret_cast<const uint8_t*>(content.data()),
                                     uint32_t(content.size()), written, lastError);
  device().closeHandle(session(), handle, lastError);
  if (!ok || written != content.size()) throw std::runtime_error("cannot write " + narrow(path) + " on the device");
}

bool InstallScenario::deviceFileExists(const std::u16string& path) {
  const auto slash = path.rfind(u'\\');
  for (const auto& name : deviceFolder(path.substr(0, slash)))
    if (widen(name) == path.substr(slash + 1)) return true;
  return false;
}

std::vector<std::string> InstallScenario::deviceFolder(const std::u16string& folder) {
  std::vector<pspc::FindData> entries;
  uint32_t lastError = 0;
  std::vector<std::string> names;
  if (!device().findAllFiles(folder + u"\\*", entries, lastError)) return names;
  for (const auto& entry : entries) names.push_back(narrow(entry.name));
  std::sort(names.begin(), names.end());
  return names;
}

void InstallScenario::arrangeDeviceValue(uint32_t root, const std::u16string& keyPath, const std::u16string& valueName,
                                         uint32_t type, const std::vector<uint8_t>& data) {
  uint32_t key = 0, disposition = 0;
  if (device().regCreateKey(session(), root, keyPath, key, disposition) != pspc::ERROR_SUCCESS)
    throw std::runtime_error("cannot make the device key " + narrow(keyPath));
  const uint32_t status = device().regSetValue(session(), key, valueName, type, data);
  device().regCloseKey(session(), key);
  if (status != pspc::ERROR_SUCCESS) throw std::runtime_error("cannot set a value in " + narrow(keyPath));
}

std::optional<DeviceValue> InstallScenario::deviceValue(uint32_t root, const std::u16string& keyPath,
                                                        const std::u16string& valueName) {
  uint32_t key = 0;
  if (device().regOpenKey(session(), root, keyPath, key) != pspc::ERROR_SUCCESS) return std::nullopt;
  DeviceValue value;
  uint32_t size = 0;
  const uint32_t status = device().regQueryValue(session(), key, valueName, value.type, value.data, 4096, size);
  device().regCloseKey(session(), key);
  if (status != pspc::ERROR_SUCCESS) return std::nullopt;
  value.data.resize(size);
  return value;
}

void InstallScenario::arrangePackageFile(const std::string& path, const std::string& content) {
  const fs::path target = packageDir() / fs::path(path);
  fs::create_directories(target.parent_path());
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(content.data(), std::streamsize(content.size()));
  if (!out) throw std::runtime_error("cannot write the package file " + target.string());
}

UiDriver& InstallScenario::startAnotherRun() {
  if (secondRun_) throw std::runtime_error("a scenario runs the program twice at most");
  UiDriver::Launch launch;
  launch.runner = Binaries::runner();
  launch.driver = Binaries::uidriver();
  launch.program = Binaries::setup();
  launch.workingFolder = packageDir();
  launch.logFile = scratch() / "uidriver-second-run.log";
  launch.environment = programEnvironment();
  secondRun_ = std::make_unique<UiDriver>(launch);
  return *secondRun_;
}

UiDriver& InstallScenario::ui() { return secondRun_ ? *secondRun_ : driver(); }

// ---------------------------------------------------------------- held files

HeldDeviceFile::HeldDeviceFile(pspc::Device& device, const std::u16string& path)
    : device_(device), session_(device.openSession()) {
  uint32_t lastError = 0;
  const uint32_t handle = device_.createFile(session_, path, pspc::GENERIC_READ | pspc::GENERIC_WRITE, 0,
                                             pspc::OPEN_EXISTING, pspc::FILE_ATTRIBUTE_NORMAL, lastError);
  if (handle == pspc::INVALID_HANDLE_VALUE) {
    device_.closeSession(session_);
    throw std::runtime_error("cannot hold " + narrow(path) + " open: error " + std::to_string(lastError));
  }
}

HeldDeviceFile::~HeldDeviceFile() { device_.closeSession(session_); }

} // namespace e2e::install
