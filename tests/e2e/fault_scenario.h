// What the fault and bad-input scenarios hold every run to, whatever went
// wrong: each package file on the device is the complete new one or the
// complete previous one (never a part, never lost), nothing else in the
// device's \Windows\ or \Temp\ changed, and the number of failed items the
// user is told is the number of package files and registry values that did
// not arrive.
#pragma once

#include "install_scenario.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace e2e::install {

// The files of \Windows\ and \Temp\ by lower-case name (device names are not
// case-sensitive), with their content. The device tool and its data file are
// left out: the device itself writes them.
struct DeviceFiles {
  std::map<std::string, std::string> windows, temp;
};

// The content each package file should arrive with, by lower-case name.
using PackageContents = std::map<std::string, std::string>;

PackageContents contentsOf(const std::vector<PackageFile>& files);

// Whether `after` is a state the device may be left in: every package file in
// \Windows\ is the new or the previous one, a previous one is never lost (it
// stays in \Windows\ or moved into \Temp\; only the clean-up, when `cleanedUp`,
// deletes the staged names from \Temp\), and no other file changed.
::testing::AssertionResult onlyWholeFiles(const DeviceFiles& before, const DeviceFiles& after,
                                          const PackageContents& packages, bool cleanedUp);

// The twelve runtime files the clean-up deletes from \temp\.
bool isStagedName(const std::string& lowerCaseName);

// Every package, with names the runtimes know (so that the clean-up has
// something to do) and one it does not.
extern const std::vector<PackageFile> kMfcFiles, kVbFiles, kAdoFiles;
std::vector<PackageFile> chosenFiles(bool mfc, bool vb);
std::vector<PackageFile> allFiles();

// A version of a file that an earlier install left.
std::string earlier(const std::string& what, size_t bytes);

// The device as an earlier install left it: previous versions of three
// package files in \Windows\, an older one displaced into \Temp\ before
// that, and files that are no package's.
DeviceSettings deviceWithPreviousVersions(DeviceSettings settings = {});

class FaultScenario : public InstallScenario {
protected:
  // The files of \Windows\ and \Temp\ now.
  DeviceFiles deviceFiles();
  // Package files of `packages` not in \Windows\ with their new content.
  int filesNotInstalled(const PackageContents& packages);
  // Registration values of the chosen packages that are not on the device as
  // the runtimes need them.
  int valuesNotRegistered(bool mfc, bool vb);

  // The run ended as a user should see it: when `failed` is above 0, the
  // error message with that count before the reset notice; else the notice
  // alone; and exit code 0.
  static void expectTold(const Ending& ending, int failed);

  // The device is in a whole state, and the user was told the number of items
  // that are missing from it.
  void expectWholeAndTold(const DeviceFiles& before, const std::vector<PackageFile>& chosen, bool mfc, bool vb,
                          const Ending& ending);
};

// Both packages installed over the device of an earlier install, with
// something happening while the transfer runs.
class FaultMatrix : public FaultScenario {
protected:
  // The device as an earlier install left it, and every package in place.
  void arrange(const DeviceSettings& settings = deviceWithPreviousVersions());

  // Both packages chosen, then `duringTransfer` once they are confirmed, and
  // the end of the run as a person meets it.
  Ending installBoth(const std::function<void()>& duringTransfer = {});

  // Every package file whole (see onlyWholeFiles), and the count the user
  // was told is what is missing, with the calls the device did whose answers
  // never came.
  void expectWholeAndTold(const Ending& ending, int unansweredButDone = 0);

  DeviceFiles before_;
  std::function<void()> beforeConfirm_;
};

} // namespace e2e::install
