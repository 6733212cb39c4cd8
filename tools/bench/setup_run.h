// One run of the real setup program under Wine, from its first dialog to the
// reset notice, against an emulator in this process, driven by uidriver as a
// person would: tick both packages, OK, wait for the copy to end. It times
// what a user waits for and watches how much memory the program takes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace bench {

struct SetupBinaries {
  std::filesystem::path runner;   // scripts/wine-run.sh
  std::filesystem::path setup;    // setup.exe, with rapi.dll beside it
  std::filesystem::path uidriver; // uidriver.exe
};

// The package set: `count` files of `bytes` each, all in the MFC package of
// the Japanese folder (what the default device takes).
struct PackageSet {
  uint64_t count = 0;
  uint64_t bytes = 0;
  uint64_t totalBytes() const { return count * bytes; }
};

struct SetupFigures {
  double probeSeconds = 0;    // dialog 101 shown -> its controls enabled
  double transferSeconds = 0; // OK pressed -> dialog 102 closed
  uint64_t peakMemoryKb = 0;  // setup.exe's VmHWM
  uint64_t filesOnDevice = 0; // package files found in \Windows afterwards
};

class ManagerHost;

// Runs it in `workDir` (made, and removed afterwards). Throws
// std::runtime_error when the program does not get through the install.
// Without a manager rapi.dll is sent straight to the device's endpoint; with
// one, the device calls that manager and is attached before setup.exe
// starts, and rapi.dll finds it through the manager.
SetupFigures runSetup(const SetupBinaries& binaries, const std::filesystem::path& workDir, const PackageSet& packages,
                      const ManagerHost* manager = nullptr);

// Writes the package folders for `packages` under `root`.
void writePackages(const std::filesystem::path& root, const PackageSet& packages);

// The highest resident set the process has had, in kB (VmHWM); 0 when gone.
uint64_t peakResidentKb(int pid);

} // namespace bench
