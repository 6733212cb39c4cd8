// The install under faults, end to end: the link dropping after a number of
// bytes, the store filling up, read-only files, a stale device data file, the
// device dying and coming back under a running transfer, and the user
// cancelling at points drawn from a fixed list of seeds. Whatever happens,
// every package file on the device is the complete new one or the complete
// previous one, the user is told how many items did not arrive (and nothing
// after a cancel), and the program ends with 0.
//
// The other faults of the matrix (a write failing, a call-counted link drop, no
// \Temp, a key that cannot be made, a tool that writes late or never, a cancel
// at a chosen chunk) have their scenarios among the transfer, registration and
// probe scenarios.
#include "fault_scenario.h"

#include "device_tool.h"

#include <algorithm>
#include <fstream>
#include <thread>

namespace e2e::install {
namespace {

std::string field(const pspc::FlatJson& record, const std::string& key) { return text(record, key); }

size_t count(const std::vector<pspc::FlatJson>& log, const std::function<bool(const pspc::FlatJson&)>& matches) {
  return size_t(std::count_if(log.begin(), log.end(), matches));
}

// ---------------------------------------------------------------- the link drops

// The link drops once so many request bytes of the transfer have arrived:
// within a request, wherever that falls.
class LinkDropAfterBytes : public FaultMatrix, public ::testing::WithParamInterface<int> {};

TEST_P(LinkDropAfterBytes, LeavesWholeFilesAndTellsWhatIsMissing) {
  arrange();
  beforeConfirm_ = [&] {
    ASSERT_EQ(controlDevice("fault drop-after-bytes:" + std::to_string(GetParam())).rfind("ok", 0), 0u);
  };
  const Ending ending = installBoth();
  expectWholeAndTold(ending);
  EXPECT_TRUE(ending.failure.has_value()) << "the drop cost nothing";
  const auto log = opLog();
  EXPECT_EQ(count(log,
                  [](auto& r) {
                    return isOp(r, "disconnect") &&
                           field(r, "reason") == "injected fault: link dropped after the set number of bytes";
                  }),
            1u);
  EXPECT_EQ(opRecords("connect").size(), 2u) << "the connection is renewed after the passes";
}

// Into the first file, a few chunks on, and into the VB pass.
INSTANTIATE_TEST_SUITE_P(Bytes, LinkDropAfterBytes, ::testing::Values(2000, 15000, 45000));

// ---------------------------------------------------------------- the store fills

TEST_F(FaultMatrix, AStoreThatFillsMidFileKeepsThePreviousFile) {
  // The selection's rule cuts each package to whole KB: 9 KB and 9 KB fit
  // into 19 KB free, while the 20,478 bytes they hold do not fit in 19,456.
  DeviceSettings settings;
  settings.files[u"\\Windows\\adoce.dll"] = earlier("adoce.dll", 3000);
  settings.freeBytesWhenProbed = 19 * 1024;
  startDevice(settings);
  const std::vector<PackageFile> packages = {{"Japanese/MFC/olece211.dll", 10239}, {"Japanese/ADO/adoce.dll", 10239}};
  makePackages(packages);
  before_ = deviceFiles();
  const Ending ending = install(true, false);

  EXPECT_TRUE(onlyWholeFiles(before_, deviceFiles(), contentsOf(packages), true));
  EXPECT_TRUE(holdsExactly(deviceFile(u"\\Windows\\olece211.dll"), packageFileContent(packages[0].path, 10239)));
  EXPECT_TRUE(holdsExactly(deviceFile(u"\\Windows\\adoce.dll"), earlier("adoce.dll", 3000)));
  const auto full = opRecords("CeWriteFile");
  EXPECT_EQ(count(full, [](auto& r) { return field(r, "lastError") == "112"; }), 1u)
      << "one write found the store full";
  expectTold(ending, 1);
}

// ---------------------------------------------------------------- read-only files

TEST_F(FaultMatrix, AReadOnlyDestinationIsDisplacedAndAReadOnlyOlderFileBlocksItsCopy) {
  DeviceSettings settings = deviceWithPreviousVersions();
  // The previous mfcce211.dll is read-only: it is moved aside like any other
  // (a move does not write the file), and the clean-up cannot delete it.
  // An older adoce.dll in \Temp\ is read-only: it cannot make room for the
  // previous one, so that copy fails and the previous one stays in place.
  settings.files[u"\\Temp\\adoce.dll"] = earlier("older adoce.dll", 2500);
  settings.readOnlyFiles = {u"\\Windows\\mfcce211.dll", u"\\Temp\\adoce.dll"};
  arrange(settings);
  const Ending ending = installBoth();

  expectWholeAndTold(ending);
  EXPECT_TRUE(holdsExactly(deviceFile(u"\\Windows\\mfcce211.dll"), packageFileContent(kMfcFiles[0].path, 20000)));
  EXPECT_TRUE(holdsExactly(deviceFile(u"\\Temp\\mfcce211.dll"), earlier("mfcce211.dll", 6000)))
      << "the read-only previous version outlives the clean-up";
  EXPECT_TRUE(holdsExactly(deviceFile(u"\\Windows\\adoce.dll"), earlier("adoce.dll", 3000)));
  EXPECT_TRUE(holdsExactly(deviceFile(u"\\Temp\\adoce.dll"), earlier("older adoce.dll", 2500)));
  ASSERT_TRUE(ending.failure.has_value());
  EXPECT_EQ(ending.failure->text, transferFailedText(1)) << "adoce.dll alone";
}

// ---------------------------------------------------------------- a stale data file

struct StaleCase {
  const char* name;
  uint32_t toolDelayMs;
  bool toolWrites;
};

void PrintTo(const StaleCase& c, std::ostream* out) { *out << c.name; }

class StaleDataFile : public FaultMatrix, public ::testing::WithParamInterface<StaleCase> {};

// The tool has not written its file by the time the probe reads it; the one an
// earlier run left is read as if it were fresh. Its tag is a good one, so the
// install goes on, and the tool's late write does it no harm.
TEST_P(StaleDataFile, IsReadAsFreshAndTheInstallGoesOn) {
  DeviceSettings settings = deviceWithPreviousVersions();
  pspc::Identity earlierIdentity;
  earlierIdentity.version = "1.10.00";
  const std::vector<uint8_t> stale = pspc::deviceDataFile(earlierIdentity);
  settings.files[pspc::kDeviceDataPath] = std::string(stale.begin(), stale.end());
  settings.identity.toolDelayMs = GetParam().toolDelayMs;
  settings.identity.toolWrites = GetParam().toolWrites;
  arrange(settings);
  expectWholeAndTold(installBoth());
  EXPECT_EQ(opRecords("CeCreateProcess").size(), 1u);

  const std::vector<uint8_t> fresh = pspc::deviceDataFile(settings.identity);
  const std::string expected =
      GetParam().toolWrites ? std::string(fresh.begin(), fresh.end()) : std::string(stale.begin(), stale.end());
  EXPECT_TRUE(waitUntil([&] { return deviceFile(pspc::kDeviceDataPath) == expected; }))
      << "the data file is " << (GetParam().toolWrites ? "the tool's late one" : "still the stale one");
}

INSTANTIATE_TEST_SUITE_P(Tool, StaleDataFile,
                         ::testing::Values(StaleCase{"WritesLate", 2500, true}, StaleCase{"NeverWrites", 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- the device dies and comes back

// Where the emulator dies: right after the device has done the call that the
// record describes, before its answer has left (the reply is held back, and
// the emulator stopped while it waits).
struct KillPoint {
  const char* name;
  bool (*reached)(const pspc::FlatJson& record, size_t& seen);
  // Calls the device did whose answers never came: the program counts them
  // as failed although they are on the device.
  int doneButUnanswered = 0;
  // A write that fails on the device once this record is seen (an undo follows).
  bool (*failNextWriteAfter)(const pspc::FlatJson& record) = nullptr;
};

void PrintTo(const KillPoint& k, std::ostream* out) { *out << k.name; }

bool isWriteOf(const pspc::FlatJson& r, const char* path) { return isOp(r, "CeWriteFile") && field(r, "path") == path; }

const KillPoint kKillPoints[] = {
    {"MidFile", [](auto& r, size_t& seen) { return isWriteOf(r, "\\Windows\\mfcce211.dll") && ++seen == 2; }},
    {"AfterTheDisplacingMove",
     [](auto& r, size_t&) {
       return isOp(r, "CeMoveFile") && field(r, "from") == "\\Windows\\mfcce211.dll" && field(r, "result") == "1";
     }},
    {"AfterTheDisplacedFileIsMadeAfresh",
     [](auto& r, size_t&) {
       return isOp(r, "CeCreateFile") && field(r, "path") == "\\Windows\\mfcce211.dll" &&
              field(r, "disposition") == "2";
     }},
    {"AfterANewFileIsCreated",
     [](auto& r, size_t&) {
       return isOp(r, "CeCreateFile") && field(r, "path") == "\\Windows\\olece211.dll" &&
              field(r, "disposition") == "1";
     }},
    {"WhileAFailedWriteIsUndone",
     [](auto& r, size_t&) {
       return isOp(r, "CeMoveFile") && field(r, "from") == "\\Temp\\mfcce211.dll" && field(r, "result") == "1";
     },
     0, [](auto& r) { return isWriteOf(r, "\\Windows\\mfcce211.dll"); }},
    {"DuringTheRegistration", [](auto& r, size_t& seen) { return isOp(r, "CeRegSetValueEx") && ++seen == 5; }, 1},
    {"DuringTheCleanUp",
     [](auto& r, size_t& seen) {
       return isOp(r, "CeDeleteFile") && field(r, "path").rfind("\\temp\\", 0) == 0 && ++seen == 3;
     }},
};

// Reads the op log as it grows, a record at a time, so that a record is seen
// within a few milliseconds of its writing.
class OpLogTail {
public:
  explicit OpLogTail(const fs::path& file) : in_(file, std::ios::binary) {}

  // Waits until a record for which `matches` holds has been written; it is then in `found`.
  bool waitFor(const std::function<bool(const pspc::FlatJson&, size_t&)>& matches, pspc::FlatJson* found = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + testsupport::kHangGuard;
    while (std::chrono::steady_clock::now() < deadline) {
      std::string line;
      while (std::getline(in_, line)) {
        if (in_.eof()) { // a record still being written: read it again whole
          in_.clear();
          in_.seekg(-std::streamoff(line.size()), std::ios::cur);
          break;
        }
        if (const auto record = pspc::parseFlatJson(line); record && matches(*record, seen_)) {
          if (found) *found = *record;
          return true;
        }
      }
      in_.clear();
      std::this_thread::sleep_for(2ms);
    }
    return false;
  }

private:
  std::ifstream in_;
  size_t seen_ = 0;
};

class DeviceKilled : public FaultMatrix, public ::testing::WithParamInterface<KillPoint> {};

TEST_P(DeviceKilled, UnderARunningTransferLeavesWholeFilesOnceItIsBack) {
  const KillPoint& point = GetParam();
  arrange();
  // Every answer is held back a little: the emulator can be stopped after a
  // call has run and before its answer has left.
  beforeConfirm_ = [&] { ASSERT_EQ(controlDevice("delay 15").rfind("ok", 0), 0u); };
  pspc::FlatJson killedAfter;
  const Ending ending = installBoth([&] {
    OpLogTail log(pspc::image::opLogFile(imageDir()));
    if (point.failNextWriteAfter) {
      ASSERT_TRUE(log.waitFor([&](auto& r, size_t&) { return point.failNextWriteAfter(r); }));
      ASSERT_EQ(controlDevice("fault fail:CeWriteFile:1").rfind("ok", 0), 0u);
    }
    ASSERT_TRUE(log.waitFor(point.reached, &killedAfter)) << "the transfer never reached the point";
    stopDevice();
    // Down for a while: the program must neither end nor crash meanwhile.
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(ui().programRunning());
    startDeviceAgain();
    ASSERT_EQ(controlDevice("delay 0").rfind("ok", 0), 0u);
  });
  expectWholeAndTold(ending, point.doneButUnanswered);

  // The emulator died before it answered that call: nothing came after it on its link.
  const auto log = opLog();
  const auto at =
      std::find_if(log.begin(), log.end(), [&](auto& r) { return field(r, "seq") == field(killedAfter, "seq"); });
  const auto next = std::find_if(at == log.end() ? at : at + 1, log.end(),
                                 [&](auto& r) { return field(r, "conn") == field(killedAfter, "conn"); });
  ASSERT_NE(next, log.end());
  EXPECT_TRUE(isOp(*next, "disconnect")) << "the emulator was stopped late, after " << field(*next, "op");
  EXPECT_EQ(opRecords("connect").size(), 2u) << "the renewal is the only new connection";
}

INSTANTIATE_TEST_SUITE_P(Points, DeviceKilled, ::testing::ValuesIn(kKillPoints),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- cancel at random points

// A cancel point drawn from a seed: while the Nth call of one kind (N counted
// from the start of the transfer) is held by the device.
struct CancelPoint {
  std::string op;
  size_t nth = 0;
};

// A small generator with a fixed output for a seed on every platform.
uint64_t splitMix64(uint64_t seed) {
  uint64_t z = seed + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Chunks mostly, and the registry values and displacing moves too, within
// what a whole run does (25 writes, 40 values, 3 moves).
CancelPoint cancelPointOf(uint64_t seed) {
  const uint64_t r = splitMix64(seed);
  switch (r % 5) {
  case 3:
    return {"CeRegSetValueEx", 1 + (r >> 8) % 40};
  case 4:
    return {"CeMoveFile", 1 + (r >> 8) % 3};
  default:
    return {"CeWriteFile", 1 + (r >> 8) % 23};
  }
}

class CancelAtRandom : public FaultMatrix, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(CancelAtRandom, StopsWithWholeFilesNoNoticeAndExitZero) {
  const CancelPoint point = cancelPointOf(GetParam());
  SCOPED_TRACE("cancel during call " + std::to_string(point.nth) + " of " + point.op);
  arrange();
  const WindowInfo selection = acceptedSelection();
  // The device holds the call at the point until the cancel has been pressed:
  // the cancel lands there however busy the machine is.
  ASSERT_EQ(controlDevice("fault hold:" + point.op + ":" + std::to_string(point.nth)).rfind("ok", 0), 0u);
  confirm(selection, true, true);
  ASSERT_TRUE(waitForOpLog([](const auto& log) { return !log.empty() && isOp(log.back(), "hold"); }))
      << "the transfer never reached the point";
  const WindowInfo transfer = transferDialog();
  ui().click(transfer.hwnd, kCancel);
  ASSERT_TRUE(waitUntil([&] { return !ui().control(transfer.hwnd, kCancel).enabled; })) << "the cancel was never taken";
  ASSERT_EQ(controlDevice("release").rfind("ok", 0), 0u);
  // A message box would be modal and wait for a person: the program could not end.
  EXPECT_EQ(ui().waitExit(30s), 0u);

  EXPECT_TRUE(onlyWholeFiles(before_, deviceFiles(), contentsOf(allFiles()), false));
  // The device notes the end of the link as it notices it, a moment after the program has gone.
  waitForOpLog([](const auto& log) { return !log.empty() && isOp(log.back(), "disconnect"); });
  const auto log = opLog();
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(isOp(log.back(), "disconnect"))
      << "a device call after the connection ended: " << field(log.back(), "op");
  EXPECT_EQ(field(log.back(), "reason"), "the desktop closed the link");
  EXPECT_EQ(field(log.back(), "handlesReleased"), "0");
  EXPECT_EQ(opRecords("connect").size(), 1u) << "cancelled: no renewal, no clean-up";
}

INSTANTIATE_TEST_SUITE_P(Seeds, CancelAtRandom, ::testing::Range<uint64_t>(1, 21), [](const auto& info) {
  const CancelPoint point = cancelPointOf(info.param);
  return "Seed" + std::to_string(info.param) + "_" + point.op + "_" + std::to_string(point.nth);
});

} // namespace
} // namespace e2e::install
