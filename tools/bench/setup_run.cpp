#include "setup_run.h"

#include "emulator_host.h"
#include "manager_host.h"
#include "setup_driver.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace bench {

namespace fs = std::filesystem;
using namespace setupdriver;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kRunMarkerVariable[] = "PSPC_BENCH_RUN";
constexpr uint64_t kMaxPackageFiles = 100000;
constexpr uint64_t kMaxPackageBytes = 3ull << 30; // the device store holds less than 4 GiB

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

std::string readWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string packageFileName(uint64_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "pkg%05llu.dll", static_cast<unsigned long long>(index));
  return name;
}

// The Wine process of setup.exe that this run started: its environment
// carries the run's marker and its first word names setup.exe (uidriver's
// names it too, but later on its line).
int findSetupProcess(const std::string& markerEntry) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator("/proc", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string first = readWhole(entry.path() / "cmdline");
    if (const size_t end = first.find('\0'); end != std::string::npos) first.resize(end);
    std::transform(first.begin(), first.end(), first.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (first.size() < 9 || first.compare(first.size() - 9, 9, "setup.exe") != 0) continue;
    const std::string environment = readWhole(entry.path() / "environ");
    for (size_t start = 0; start < environment.size();) {
      size_t end = environment.find('\0', start);
      if (end == std::string::npos) end = environment.size();
      if (environment.compare(start, end - start, markerEntry) == 0) return std::stoi(name);
      start = end + 1;
    }
  }
  return 0;
}

// Watches setup.exe's high-water mark while the run goes on: read once more
// at the end, while the reset notice still keeps the program alive.
class MemoryWatch {
public:
  explicit MemoryWatch(std::string markerEntry) : marker_(std::move(markerEntry)) {
    thread_ = std::thread([this] {
      while (!stop_) {
        sample();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
  }
  ~MemoryWatch() { finish(); }
  void finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  void sample() {
    std::lock_guard lock(mutex_);
    if (pid_ == 0) pid_ = findSetupProcess(marker_);
    if (pid_ != 0) peakKb_ = std::max(peakKb_, peakResidentKb(pid_));
  }
  uint64_t peakKb() {
    std::lock_guard lock(mutex_);
    return peakKb_;
  }

private:
  std::string marker_;
  std::mutex mutex_;
  int pid_ = 0;
  uint64_t peakKb_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Waits until the device's op log shows the program's clean-up after the copy
// (its deletes of the runtime files staged in \temp\, the last of them
// vbsen.dll), or the program has ended, or the time is up. Reads only what
// the log has gained since the last look.
void waitForCleanUp(const fs::path& opLog, UiDriver& driver, std::chrono::seconds timeout) {
  std::ifstream log(opLog, std::ios::binary);
  std::string pending;
  const auto deadline = Clock::now() + timeout;
  auto lastProgramCheck = Clock::now();
  while (Clock::now() < deadline) {
    char chunk[65536];
    log.clear();
    while (log.read(chunk, sizeof chunk) || log.gcount() > 0) pending.append(chunk, size_t(log.gcount()));
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      const std::string_view line(pending.data(), end);
      if (line.find("\"CeDeleteFile\"") != std::string_view::npos &&
          line.find("vbsen.dll") != std::string_view::npos)
        return;
    }
    if (Clock::now() - lastProgramCheck > std::chrono::seconds(5)) {
      if (!driver.programRunning()) return;
      lastProgramCheck = Clock::now();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

uint64_t countPackageFiles(const fs::path& imageDir) {
  uint64_t count = 0;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(pspc::image::fsRoot(imageDir) / "Windows", ignored))
    count += entry.path().filename().string().rfind("pkg", 0) == 0;
  return count;
}

// The entry of this run's marker in the environment of the programs it starts.
std::string runMarkerEntry(const fs::path& workDir) {
  return std::string(kRunMarkerVariable) + "=" + workDir.string();
}

fs::path packageFolder(const fs::path& workDir) { return workDir / "packages"; }

// setup.exe under uidriver, in the package folder, marked as this run's, and
// told where the device is: through the manager, or at its own endpoint.
UiDriver::Launch launchOf(const SetupBinaries& binaries, const fs::path& workDir, const EmulatorHost& device,
                          const ManagerHost* manager) {
  UiDriver::Launch launch;
  launch.runner = binaries.runner;
  launch.driver = binaries.uidriver;
  launch.program = binaries.setup;
  launch.workingFolder = packageFolder(workDir);
  launch.logFile = workDir / "uidriver.log";
  launch.environment = {{kRunMarkerVariable, workDir.string()},
                        manager ? std::pair<std::string, std::string>{"PSPCLINK_DIR", manager->channelFolder().string()}
                                : std::pair<std::string, std::string>{"PSPC_RAPI_ENDPOINT", device.endpoint()}};
  return launch;
}

// Dialog 101 shown -> its controls enabled. Looks as fast as uidriver
// answers: this is the figure being measured.
double timeProbe(UiDriver& driver, const WindowInfo& selection) {
  const auto shown = Clock::now();
  waitForAcceptance(driver, selection.hwnd, std::chrono::seconds(30), std::chrono::milliseconds(0));
  return secondsBetween(shown, Clock::now());
}

// Both packages ticked, then OK pressed -> dialog 102 closed.
double timeTransfer(UiDriver& driver, const WindowInfo& selection, const fs::path& opLog) {
  tick(driver, selection.hwnd, true, true);
  const auto pressed = Clock::now();
  driver.click(selection.hwnd, kOk);
  const WindowInfo transfer = waitTransfer(driver, std::chrono::seconds(30));
  // Each look of uidriver's is work for the Wine server, which setup.exe
  // needs for every call it makes: uidriver is asked to watch the dialog
  // only once the device has seen the program's last calls, not all
  // through the copy. Ten minutes is more than a 1 GiB copy needs.
  waitForCleanUp(opLog, driver, std::chrono::seconds(600));
  driver.waitGone(transfer.hwnd, std::chrono::seconds(600));
  return secondsBetween(pressed, Clock::now());
}

// Every message box answered as a person would, until the program ends.
// Throws when one of them was not the reset notice, or the program's exit
// code is not 0.
void answerToTheEnd(UiDriver& driver) {
  std::string failure;
  for (;;) {
    const MessageBoxInfo box = driver.waitMessageBox(std::chrono::seconds(60));
    if (box.caption != warningCaption()) failure = box.textUtf8;
    driver.dismiss(box.hwnd);
    if (!pollUntil([&] { return !driver.programRunning() || driver.request("msgbox").ok; }, std::chrono::seconds(10)) ||
        !driver.programRunning())
      break;
  }
  const uint32_t code = driver.waitExit(std::chrono::seconds(30));
  if (!failure.empty()) throw std::runtime_error("setup.exe reported: " + failure);
  if (code != 0) throw std::runtime_error("setup.exe ended with exit code " + std::to_string(code));
}

// One run of setup.exe against the device at hand, from its start to its end.
SetupFigures driveSetup(const UiDriver::Launch& launch, const fs::path& workDir) {
  SetupFigures figures;
  UiDriver driver(launch);
  MemoryWatch memory(runMarkerEntry(workDir));
  const WindowInfo selection = waitSelection(driver, std::chrono::seconds(60));
  figures.probeSeconds = timeProbe(driver, selection);
  figures.transferSeconds = timeTransfer(driver, selection, pspc::image::opLogFile(workDir / "image"));
  memory.sample();
  figures.peakMemoryKb = memory.peakKb();
  memory.finish();
  answerToTheEnd(driver);
  figures.filesOnDevice = countPackageFiles(workDir / "image");
  return figures;
}

} // namespace

uint64_t peakResidentKb(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
  return 0;
}

void writePackages(const fs::path& root, const PackageSet& packages) {
  if (packages.count == 0 || packages.count > kMaxPackageFiles || packages.totalBytes() > kMaxPackageBytes)
    throw std::runtime_error("a package set of 1 to 100000 files and at most 3 GiB is expected");
  for (const char* language : {"English", "Japanese"})
    for (const char* package : {"MFC", "VB", "ADO"}) fs::create_directories(root / language / package);
  // One block of varied bytes, repeated: cheap to write, not a run of zeros
  // that some layer could treat specially.
  std::string block(1u << 20, '\0');
  uint32_t state = 2166136261u;
  for (char& byte : block) {
    state = state * 1103515245u + 12345u;
    byte = char(state >> 24);
  }
  for (uint64_t i = 0; i < packages.count; ++i) {
    std::ofstream out(root / "Japanese" / "MFC" / packageFileName(i), std::ios::binary | std::ios::trunc);
    for (uint64_t left = packages.bytes; left > 0;) {
      const size_t step = size_t(std::min<uint64_t>(left, block.size()));
      out.write(block.data(), std::streamsize(step));
      left -= step;
    }
    if (!out) throw std::runtime_error("cannot write the package files in " + root.string());
  }
}

SetupFigures runSetup(const SetupBinaries& binaries, const fs::path& workDir, const PackageSet& packages,
                      const ManagerHost* manager) {
  for (const fs::path& file : {binaries.runner, binaries.setup, binaries.uidriver})
    if (!fs::exists(file)) throw std::runtime_error(file.string() + " is missing: build the win64 preset first");
  fs::remove_all(workDir);
  fs::create_directories(workDir);
  writePackages(packageFolder(workDir), packages);

  // The largest store the device can report (its size is a 32-bit count).
  pspc::Identity identity;
  identity.storeBytes = 0xFFFFFFFFu;
  SetupFigures figures;
  {
    std::optional<pspc::CallOptions> call;
    if (manager) call = manager->deviceCall();
    EmulatorHost device(workDir / "image", identity, call);
    if (manager) manager->waitDevice(std::chrono::seconds(60));
    figures = driveSetup(launchOf(binaries, workDir, device, manager), workDir);
  }
  // The device has hung up: the next run's device calls a manager that
  // holds none.
  if (manager) manager->waitNoDevice(std::chrono::seconds(30));
  fs::remove_all(workDir);
  if (figures.filesOnDevice != packages.count)
    throw std::runtime_error("the device holds " + std::to_string(figures.filesOnDevice) + " of the " +
                             std::to_string(packages.count) + " package files");
  return figures;
}

} // namespace bench
