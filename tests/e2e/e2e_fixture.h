// What every end-to-end scenario stands on: a device emulator of the test's
// own (in this process, so the test reads its files, registry and op log
// directly), a package folder, and the real setup program under Wine with the
// real rapi.dll, driven through uidriver.
//
// Teardown ends every process the test started, even after a failure halfway,
// and checks that none is left behind; the temporary folder goes with them.
#pragma once

#include "uidriver_client.h"

#include "device.h"
#include "faults.h"
#include "identity.h"
#include "line_speed.h"
#include "op_log.h"
#include "server.h"
#include "wait_until.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

using namespace uidriver;
namespace fs = std::filesystem;

// The Windows binaries (the win64 build) and the Wine runner.
struct Binaries {
  static fs::path win64Bin();
  static fs::path runner();
  static fs::path setup() { return win64Bin() / "setup.exe"; }
  static fs::path rapiDll() { return win64Bin() / "rapi.dll"; }
  static fs::path uidriver() { return win64Bin() / "uidriver.exe"; }
  static fs::path testTarget() { return win64Bin() / "uidriver_test_target.exe"; }
  // The connection manager, a native program of this build.
  static fs::path pspclink();
};

// The device a scenario runs against.
struct DeviceSettings {
  pspc::Identity identity;            // language, version, store size, tag units, device tool timing
  bool deviceTool = true;             // \Windows\MakeZlkData.exe is on the device
  bool tempFolder = true;             // \Temp exists
  std::vector<std::string> faults;    // as the emulator takes them, e.g. "fail:CeWriteFile:3:112"
  Milliseconds replyDelay{0};         // every reply this late
  std::string linkRate = "unlimited"; // "serial", "usb", "unlimited" or bytes per second
  bool plugged = true;                // false: the device is not in its cradle, nothing answers on the link
  // Files on the device before it starts, by device path, e.g. a data file an
  // earlier run of the device tool left behind.
  std::map<std::u16string, std::string> files;
  // Device files (among `files`, or the image's own) that carry the read-only attribute.
  std::vector<std::u16string> readOnlyFiles;
  // The store's free bytes once the device tool has written its data file (as
  // the device starts, when the tool writes none): the store's capacity is
  // made to fit what the image holds, in place of identity.storeBytes.
  std::optional<uint32_t> freeBytesWhenProbed;
  // Set: the device calls the desktop's connection manager listening on this
  // port of 127.0.0.1, as a real one does, and serves RAPI on port 990 of a
  // loopback address of its own (see serveOnOwnAddress); the programs then
  // find it through the manager. Unset: it listens on a free port of
  // 127.0.0.1, and the programs are given that endpoint.
  std::optional<uint16_t> managerPort;
  // With managerPort: the device calls once a plug, as a strict real device
  // may, and not again after a refusal or a hang-up.
  bool callOnce = false;
  // The device's password (empty: none), asked of the manager when it calls.
  std::string password;
};

// Starts a device that calls the connection manager (options.call set) on
// port 990 of the first loopback address 127.0.0.N whose port 990 is free,
// N from 2 up, beginning at a place of this process's own: tests that run side
// by side each get an address of their own; options.bindAddress is set to
// the address taken. Throws when no address is free.
std::unique_ptr<pspc::Server> serveOnOwnAddress(pspc::Device& device, pspc::OpLog& log, pspc::Faults& faults,
                                                pspc::LineSpeed& link, pspc::ServerOptions& options);

// One file of a package folder: its path below the folder, with '/'
// ("Japanese/MFC/mfcce.dll"), and its size.
struct PackageFile {
  std::string path;
  size_t bytes = 0;
};

// Lays out a package folder: English\ and Japanese\, each with MFC\, VB\ and
// ADO\ (always, even when empty), and the files, each filled with
// packageFileContent.
void writePackageTree(const fs::path& root, const std::vector<PackageFile>& files);
// The bytes writePackageTree puts in a file: a pattern that differs from file
// to file, so that a copy under the wrong name shows.
std::string packageFileContent(const std::string& path, size_t bytes);

using testsupport::waitUntil;

class E2eTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Makes a fresh device image with `settings` and serves it on a free port.
  // Throws on settings the device does not take.
  void startDevice(const DeviceSettings& settings = {});
  // Writes the package folder (see writePackageTree).
  void makePackages(const std::vector<PackageFile>& files);
  // Starts setup.exe (with rapi.dll beside it) through uidriver, in the
  // package folder, against this test's device. Throws, naming the file and
  // the build that makes it, when a win64 binary is missing.
  UiDriver& startSetup();
  // Starts any Windows program through uidriver, with the device's endpoint.
  UiDriver& startProgram(const fs::path& program, const fs::path& workingFolder);
  UiDriver& driver();
  // A variable for the environment of the programs started from now on
  // (rapi.dll's settings, for one).
  void setProgramVariable(const std::string& name, const std::string& value);
  // What every program started now has in its environment beside the
  // desktop's: the run marker, the variables set, and the device's endpoint
  // unless the device calls the connection manager.
  std::vector<std::pair<std::string, std::string>> programEnvironment() const;

  // The device, to arrange or read its files and registry.
  pspc::Device& device();
  // A device file's content, or nothing when it cannot be read.
  std::optional<std::string> deviceFile(const std::u16string& path);
  // Writes or replaces a device file while the device runs, as something on
  // the device itself would (the op log does not see it); whether it could.
  bool putDeviceFile(const std::u16string& path, const std::string& content);
  // A console command for the running device ("delay 500", "unplug", ...); its answer.
  std::string controlDevice(const std::string& command);
  // The emulator dies as a killed process would: every connection drops and
  // nothing answers on its port; the image keeps what was written to it.
  virtual void stopDevice();
  // The emulator is started again on the same image, address and port, with
  // the same faults, link rate and reply delay: the device is back (and
  // calls the manager again when it called before).
  void startDeviceAgain();
  // The address the device serves RAPI on (a calling device's own).
  const std::string& deviceAddress() const { return serverOptions_.bindAddress; }

  // The op log as records, the records of one op, and a wait for the log to
  // reach a state (the device writes its records as the calls arrive).
  std::vector<pspc::FlatJson> opLog() const;
  std::vector<pspc::FlatJson> opRecords(const std::string& op) const;
  bool waitForOpLog(const std::function<bool(const std::vector<pspc::FlatJson>&)>& holds) const;

  // Processes this test started that still run: the driver and its program
  // (found by a marker in their environment). Empty once a test has ended them.
  std::vector<pid_t> startedProgramsRunning() const;

  const fs::path& scratch() const { return scratch_; }
  const fs::path& imageDir() const { return imageDir_; }
  const fs::path& packageDir() const { return packageDir_; }

private:
  void requireBinary(const fs::path& path) const;
  void endPrograms();
  // Puts settings.files on the new image and, for freeBytesWhenProbed, fits
  // the store's capacity to what the image then holds.
  void arrangeImage(const DeviceSettings& settings);
  void arrangeFiles(const DeviceSettings& settings);
  // Starts the emulator with serverOptions_ on the image opened now.
  void serve();
  pspc::SessionId readerSession();
  std::string markerEntry() const;

  fs::path scratch_, imageDir_, packageDir_;
  std::string runMarker_; // in the environment of every process this test starts
  std::vector<std::pair<std::string, std::string>> programVariables_;
  std::unique_ptr<pspc::Device> device_;
  std::unique_ptr<pspc::OpLog> log_;
  pspc::Faults faults_;
  pspc::LineSpeed lineSpeed_;
  std::unique_ptr<pspc::Server> server_;
  // Kept while the emulator is down, to come back on the same address and
  // port; port 0 until the first start.
  pspc::ServerOptions serverOptions_;
  std::unique_ptr<UiDriver> driver_;
  std::string programName_; // the started program's file name, for the leftover check
  pspc::SessionId readerSession_ = 0;
};

} // namespace e2e
