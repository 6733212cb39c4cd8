// What the transfer and registration scenarios share: a whole install driven
// from the selection to the reset notice, the device arranged beforehand (files,
// files held open, registry values) and read afterwards, and the op log cut
// down to what the transfer did.
#pragma once

#include "setup_scenario.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace e2e::install {

constexpr uint32_t kHkcr = 0x80000000u, kHklm = 0x80000002u;
// A text of plain ASCII between the device's UTF-16 and the op log's UTF-8.
std::string narrow(const std::u16string& ascii);
std::u16string widen(const std::string& ascii);
// A REG_SZ value as the device stores it: UTF-16LE with its terminating NUL.
std::vector<uint8_t> regSzBytes(const std::u16string& text);
std::string hex(const std::vector<uint8_t>& bytes);

// Whether a device file holds exactly `expected`; says how it differs when
// not, without printing the bytes of a whole file.
::testing::AssertionResult holdsExactly(const std::optional<std::string>& actual, const std::string& expected);

// A field of an op-log record: its text ("" when missing), or its number
// (fails the test and answers 0 when missing or not a number).
std::string text(const pspc::FlatJson& record, const std::string& key);
uint64_t number(const pspc::FlatJson& record, const std::string& key);
bool isOp(const pspc::FlatJson& record, const std::string& op);

// A registry value read from the device.
struct DeviceValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// How one run of the program ended, from dialog 102 onwards.
struct Ending {
  std::optional<MessageBoxInfo> failure; // the error message, when one came before the notice
  MessageBoxInfo notice;
  uint32_t exitCode = 0xFFFFFFFFu;
};

class InstallScenario : public E2eTest {
protected:
  void TearDown() override;
  void stopDevice() override;

  // Starts the program (device and packages in place) and waits until its
  // selection dialog has identified the device and takes input.
  WindowInfo acceptedSelection();
  // The same wait, for a program already started.
  WindowInfo awaitAcceptance();
  // Ticks the chosen packages and confirms with OK.
  void confirm(const WindowInfo& selection, bool mfc, bool vb);
  // Dialog 102, for a scenario that keeps the transfer running long enough
  // to look at it (a slow device, a held call). A fast transfer may open and
  // close it between two looks: other scenarios do not wait for it.
  WindowInfo transferDialog();
  // The end of the run after the selection was confirmed: the error message
  // when there is one, the reset notice, and the program's end, each box
  // pressed as a person would. When the first box shows, dialog 102 has
  // closed by itself (nobody pressed anything in it). `guard` bounds the
  // whole transfer.
  Ending finish(Milliseconds guard = 60s);
  // acceptedSelection, confirm and finish in one.
  Ending install(bool mfc, bool vb);
  // The same once more, in a second run of the program (the first has ended).
  Ending installAgain(bool mfc, bool vb);

  // The records of what the transfer did: every record after the free-storage
  // reading with which the selection's OK was checked.
  std::vector<pspc::FlatJson> transferRecords() const;

  // Device arrangement and reading, beside the link (not in the op log).
  void arrangeDeviceFile(const std::u16string& path, const std::string& content);
  bool deviceFileExists(const std::u16string& path);
  // Names in a device folder such as u"\\Temp", sorted.
  std::vector<std::string> deviceFolder(const std::u16string& folder);
  void arrangeDeviceValue(uint32_t root, const std::u16string& keyPath, const std::u16string& valueName, uint32_t type,
                          const std::vector<uint8_t>& data);
  // Nothing when the key or the value is missing. An empty name is the default value.
  std::optional<DeviceValue> deviceValue(uint32_t root, const std::u16string& keyPath, const std::u16string& valueName);

  // A package file with content of the test's choosing (path below the
  // package folder, with '/').
  void arrangePackageFile(const std::string& path, const std::string& content);

  // Starts the program a second time (after the first run has ended), in
  // the same package folder against the same device.
  UiDriver& startAnotherRun();
  // The driver of the program run now: the second one once it was started.
  UiDriver& ui();

private:
  std::unique_ptr<UiDriver> secondRun_;
  pspc::SessionId arrangeSession_ = 0;
  pspc::SessionId session();
};

// A device file held open with no sharing, as a program running on the
// device holds its own files: no one else opens it while it is held.
class HeldDeviceFile {
public:
  HeldDeviceFile(pspc::Device& device, const std::u16string& path);
  ~HeldDeviceFile();
  HeldDeviceFile(const HeldDeviceFile&) = delete;
  HeldDeviceFile& operator=(const HeldDeviceFile&) = delete;

private:
  pspc::Device& device_;
  pspc::SessionId session_;
};

} // namespace e2e::install
