// pspc-bench: how fast the desktop reaches the device, side by side with what
// the link itself allows on this machine, and whether the cost of a setup run
// stays proportional to its work. Prints one table; times nothing in tests.
//
//   pspc-bench [--sections link,rapi,setup,scale,create,model,manager] [--quick]
//              [--win64-bin DIR] [--runner FILE] [--pspclink FILE] [--work DIR]
//
// The Windows parts (bench_link.exe, bench_rapi.exe, bench_attach.exe,
// setup.exe, uidriver.exe) come from the win64 build and run under Wine; the
// frame server and the device emulator run in this process, the connection
// manager (pspclink) beside it. scripts/bench.sh builds and runs it.
#include "emulator_host.h"
#include "frame_server.h"
#include "manager_host.h"
#include "setup_run.h"
#include "wine_program.h"

#include "rapi_commands.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace bench;

namespace {

constexpr uint32_t kChunk = 4096; // what the setup program writes per call
// The link and the calls are timed in this many batches, the fastest one
// counting, so that a moment of other work on the machine skews neither.
constexpr uint32_t kBatches = 3;

const std::set<std::string> kSections{"link", "rapi", "setup", "scale", "create", "model", "manager"};

struct Options {
  std::set<std::string> sections = kSections;
  bool quick = false;
  fs::path win64Bin = PSPC_BENCH_WIN64_BIN;
  fs::path runner = PSPC_BENCH_RUNNER;
  fs::path pspclink = PSPC_BENCH_PSPCLINK;
  fs::path work = PSPC_BENCH_WORK;
};

[[noreturn]] void usageError(const std::string& why) {
  std::cerr << "pspc-bench: " << why << "\n"
            << "usage: pspc-bench [--sections link,rapi,setup,scale,create,model,manager] [--quick]\n"
            << "                  [--win64-bin DIR] [--runner FILE] [--pspclink FILE] [--work DIR]\n";
  std::exit(2);
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usageError(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--quick") options.quick = true;
    else if (arg == "--win64-bin") options.win64Bin = value();
    else if (arg == "--runner") options.runner = value();
    else if (arg == "--pspclink") options.pspclink = value();
    else if (arg == "--work") options.work = value();
    else if (arg == "--sections") {
      options.sections.clear();
      std::stringstream list(value());
      for (std::string name; std::getline(list, name, ',');) {
        if (!kSections.count(name)) usageError("unknown section '" + name + "'");
        options.sections.insert(name);
      }
    } else if (arg == "--help" || arg == "-h") {
      usageError("measures the link, rapi.dll with the emulator, and setup.exe end to end");
    } else {
      usageError("unexpected argument " + arg);
    }
  }
  return options;
}

// ---------------------------------------------------------------- the table

struct Row {
  std::string figure, value, ratio, goal, met;
};

class Table {
public:
  void section(const std::string& title) { rows_.push_back({"**" + title + "**", "", "", "", ""}); }
  void add(Row row) {
    rows_.push_back(std::move(row));
    // Each row as soon as it is known: a long run shows its progress.
    std::cerr << "  " << rows_.back().figure << ": " << rows_.back().value
              << (rows_.back().ratio.empty() ? "" : "  (" + rows_.back().ratio + ")") << std::endl;
  }
  void print(std::ostream& out) const {
    out << "| figure | value | ratio | goal | met |\n| --- | --- | --- | --- | --- |\n";
    for (const Row& r : rows_)
      out << "| " << r.figure << " | " << r.value << " | " << r.ratio << " | " << r.goal << " | " << r.met << " |\n";
  }

private:
  std::vector<Row> rows_;
};

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string yesNo(bool met) { return met ? "yes" : "**no**"; }

double megabytesPerSecond(double bytes, double seconds) { return seconds > 0 ? bytes / seconds / 1e6 : 0; }

// ---------------------------------------------------------------- the machine

std::string firstLineOf(const std::string& command) {
  std::string line;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[512];
    if (std::fgets(buffer, sizeof buffer, pipe)) line = buffer;
    ::pclose(pipe);
  }
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

std::string cpuModel() {
  std::ifstream info("/proc/cpuinfo");
  for (std::string line; std::getline(info, line);)
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  return "unknown";
}

std::string loadAverage() {
  std::ifstream load("/proc/loadavg");
  std::string one, five, fifteen;
  load >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

void printMachine(std::ostream& out) {
  utsname system{};
  ::uname(&system);
  out << "- cores: " << ::sysconf(_SC_NPROCESSORS_ONLN) << ", CPU: " << cpuModel() << "\n"
      << "- kernel: " << system.sysname << " " << system.release << "\n"
      << "- Wine: " << firstLineOf("wine --version 2>/dev/null") << "\n"
      << "- load average (1, 5, 15 min) at the start: " << loadAverage() << "\n";
}

// ---------------------------------------------------------------- the sections

struct Context {
  Options options;
  Table table;
  std::optional<double> linkMbPerSecond;  // (1), the reference of every ratio
  std::optional<double> smallRoundTripUs; // (1), a round trip of small packets
  std::unique_ptr<ManagerHost> managerHost; // started by the first part that needs it

  fs::path bin(const std::string& name) const { return options.win64Bin / name; }
  // The manager route is measured beside the direct one where both apply.
  bool managerRoute() const { return options.sections.count("manager") != 0; }
  ManagerHost& manager() {
    if (!managerHost) managerHost = std::make_unique<ManagerHost>(options.pspclink, options.work / "manager");
    return *managerHost;
  }
  std::pair<std::string, std::string> managerRouteVariable() {
    return {"PSPCLINK_DIR", manager().channelFolder().string()};
  }
  std::string ratioToLink(double mbPerSecond) const {
    return linkMbPerSecond ? fixed(mbPerSecond / *linkMbPerSecond, 2) + " of (1)" : "";
  }
};

// The payload sizes of one CeWriteFile of a chunk and of its reply, as the
// link carries them: the link limit is measured with packets of these sizes.
uint32_t writeRequestPayload(uint32_t chunk) {
  rapiwire::WriteFileRequest request;
  request.data.assign(chunk, 0);
  return uint32_t(rapiwire::encodeRequest(request).size());
}

uint32_t writeReplyPayload() { return uint32_t(rapiwire::WriteFileReply{}.encode().size()); }

void linkSection(Context& c) {
  const uint64_t bytes = c.options.quick ? 8ull << 20 : 64ull << 20;
  const uint32_t rounds = uint32_t(bytes / kChunk);
  const uint32_t request = writeRequestPayload(kChunk), reply = writeReplyPayload();
  FrameServer server;
  server.start();
  WindowsRun run;
  run.runner = c.options.runner;
  run.program = c.bin("bench_link.exe");
  run.arguments = {"127.0.0.1:" + std::to_string(server.port()), std::to_string(rounds), std::to_string(kBatches),
                   std::to_string(request) + ":" + std::to_string(reply), "4096:4096", "16:16"};
  run.logFile = c.options.work / "bench_link.log";
  const auto lines = runWindowsProgram(run);
  server.stop();

  c.table.section("(1) link limit: bench_link.exe under Wine, loopback TCP, trivial native frame server "
                  "(fastest of " + std::to_string(kBatches) + " batches)");
  for (const FigureLine& line : lines) {
    if (line.kind != "shape") continue;
    const double seconds = line.number("seconds"), n = line.number("rounds");
    const double us = seconds / n * 1e6;
    const uint32_t req = uint32_t(line.number("request")), rep = uint32_t(line.number("reply"));
    if (req == request && rep == reply) {
      c.linkMbPerSecond = megabytesPerSecond(double(kChunk) * n, seconds);
      c.table.add({"write-shaped round trip (" + std::to_string(req) + " B out, " + std::to_string(rep) +
                       " B back): 4096 data bytes each",
                   fixed(*c.linkMbPerSecond, 1) + " MB/s, " + fixed(us, 1) + " µs per round trip", "reference",
                   "", ""});
    } else if (req == 4096 && rep == 4096) {
      c.table.add({"echo round trip (4096 B out, 4096 B back)",
                   fixed(megabytesPerSecond(4096.0 * n, seconds), 1) + " MB/s one way, " + fixed(us, 1) +
                       " µs per round trip",
                   "", "", ""});
    } else {
      c.smallRoundTripUs = us;
      c.table.add({"small round trip (16 B out, 16 B back)", fixed(us, 1) + " µs per round trip", "", "", ""});
    }
  }
}

// One batch of bench_rapi.exe's writes and size calls against whatever
// device rapi.dll finds with `route` (the variable that tells it where to look).
struct RapiFigures {
  uint64_t bytes = 0;
  double writeMbPerSecond = 0, writeUs = 0, sizeUs = 0;
};

RapiFigures runRapiCalls(const Context& c, const std::pair<std::string, std::string>& route,
                         const std::string& logName) {
  RapiFigures f;
  f.bytes = c.options.quick ? 8ull << 20 : 64ull << 20;
  const uint64_t sizeCalls = c.options.quick ? 2000 : 20000;
  WindowsRun run;
  run.runner = c.options.runner;
  run.program = c.bin("bench_rapi.exe");
  run.arguments = {"\\Temp\\bench.dat", std::to_string(f.bytes), std::to_string(kChunk), std::to_string(sizeCalls),
                   "1"};
  run.environment = {route};
  run.logFile = c.options.work / logName;
  const auto lines = runWindowsProgram(run);
  const FigureLine& write = findFigure(lines, "write");
  const FigureLine& size = findFigure(lines, "getfilesize");
  const double seconds = write.number("seconds");
  f.writeMbPerSecond = megabytesPerSecond(write.number("bytes"), seconds);
  f.writeUs = seconds / write.number("calls") * 1e6;
  f.sizeUs = size.number("seconds") / size.number("calls") * 1e6;
  return f;
}

// The fastest writes and the fastest size calls of the batches so far.
void keepFastest(std::optional<RapiFigures>& best, const RapiFigures& batch) {
  if (!best) {
    best = batch;
    return;
  }
  if (batch.writeMbPerSecond > best->writeMbPerSecond) {
    best->writeMbPerSecond = batch.writeMbPerSecond;
    best->writeUs = batch.writeUs;
  }
  best->sizeUs = std::min(best->sizeUs, batch.sizeUs);
}

std::string timesTheDirectRoute(double ratio) { return fixed(ratio, 2) + "× the direct route"; }

void rapiSection(Context& c) {
  pspc::Identity identity;
  identity.storeBytes = 0xFFFFFFFFu;
  const fs::path directImage = c.options.work / "rapi", calledImage = c.options.work / "rapi-manager";
  fs::remove_all(directImage);
  fs::remove_all(calledImage);
  std::optional<RapiFigures> direct, called;
  {
    EmulatorHost device(directImage, identity);
    std::unique_ptr<EmulatorHost> calling;
    if (c.managerRoute()) {
      calling = std::make_unique<EmulatorHost>(calledImage, identity, c.manager().deviceCall());
      c.manager().waitDevice(std::chrono::seconds(60));
    }
    // The routes take turns, a batch each, so that whatever else the machine
    // does meanwhile falls on both alike.
    for (uint32_t batch = 0; batch < kBatches; ++batch) {
      keepFastest(direct, runRapiCalls(c, {"PSPC_RAPI_ENDPOINT", device.endpoint()}, "bench_rapi.log"));
      if (calling) keepFastest(called, runRapiCalls(c, c.managerRouteVariable(), "bench_rapi_manager.log"));
    }
  }
  if (called) c.manager().waitNoDevice(std::chrono::seconds(30));
  fs::remove_all(directImage);
  fs::remove_all(calledImage);

  c.table.section("(2) rapi.dll + emulator: bench_rapi.exe under Wine, emulator with its op log (fastest of " +
                  std::to_string(kBatches) + " batches" + (called ? ", the two routes in turn" : "") + ")");
  const std::string writes = "CeWriteFile, 4096 bytes a call, " + std::to_string(direct->bytes >> 20) + " MiB";
  auto writeRow = [&](const std::string& name, const RapiFigures& f, std::string ratio) {
    const bool met = c.linkMbPerSecond && f.writeMbPerSecond / *c.linkMbPerSecond >= 0.8;
    c.table.add({name, fixed(f.writeMbPerSecond, 1) + " MB/s, " + fixed(f.writeUs, 1) + " µs per call",
                 std::move(ratio), "≥ 0.8 of (1)", c.linkMbPerSecond ? yesNo(met) : ""});
  };
  writeRow(writes, *direct, c.ratioToLink(direct->writeMbPerSecond));
  c.table.add({"CeGetFileSize", fixed(direct->sizeUs, 1) + " µs per call",
               c.smallRoundTripUs ? fixed(direct->sizeUs / *c.smallRoundTripUs, 2) + "× the small round trip of (1)"
                                  : "",
               "", ""});
  if (!called) return;
  const std::string route = " through the manager route (the device found through pspclink, then reached straight)";
  std::string ratio = c.ratioToLink(called->writeMbPerSecond);
  ratio += (ratio.empty() ? "" : ", ") + timesTheDirectRoute(called->writeMbPerSecond / direct->writeMbPerSecond);
  writeRow(writes + route, *called, ratio);
  c.table.add({"CeGetFileSize" + route, fixed(called->sizeUs, 1) + " µs per call",
               timesTheDirectRoute(called->sizeUs / direct->sizeUs), "", ""});
}

SetupBinaries setupBinaries(const Context& c) {
  return {c.options.runner, c.bin("setup.exe"), c.bin("uidriver.exe")};
}

std::string memoryText(uint64_t kb) { return fixed(double(kb) / 1024.0, 1) + " MiB"; }

// The fastest copy of the runs so far, as for (1) and (2); the slowest
// probe, as its goal is a bound.
void keepFastestCopy(std::optional<SetupFigures>& kept, const SetupFigures& run) {
  if (!kept) {
    kept = run;
    return;
  }
  const double slowestProbe = std::max(kept->probeSeconds, run.probeSeconds);
  if (run.transferSeconds < kept->transferSeconds) *kept = run;
  kept->probeSeconds = slowestProbe;
}

void setupSection(Context& c) {
  const PackageSet packages{16, c.options.quick ? 1ull << 20 : 4ull << 20};
  std::optional<SetupFigures> direct, called;
  for (uint32_t run = 0; run < kBatches; ++run) {
    keepFastestCopy(direct, runSetup(setupBinaries(c), c.options.work / "setup", packages));
    if (c.managerRoute())
      keepFastestCopy(called, runSetup(setupBinaries(c), c.options.work / "setup-manager", packages, &c.manager()));
  }
  c.table.section("(3) and (4) setup.exe end to end, through uidriver (" + std::to_string(kBatches) +
                  " runs: the fastest copy, the slowest probe" + (called ? "; the two routes in turn" : "") + ")");
  const std::string copy = "OK to dialog 102 closed, " + std::to_string(packages.totalBytes() >> 20) + " MiB in " +
                           std::to_string(packages.count) + " files";
  const std::string probe = "probe to ready: dialog 101 shown to its controls enabled";
  const double rate = megabytesPerSecond(double(packages.totalBytes()), direct->transferSeconds);
  c.table.add({copy, fixed(direct->transferSeconds, 2) + " s, " + fixed(rate, 1) + " MB/s", c.ratioToLink(rate),
               "≥ 0.7 of (1)", c.linkMbPerSecond ? yesNo(rate / *c.linkMbPerSecond >= 0.7) : ""});
  c.table.add({probe, fixed(direct->probeSeconds, 3) + " s", "includes the program's fixed 0.500 s pause", "≤ 0.6 s",
               yesNo(direct->probeSeconds <= 0.6)});
  if (!called) return;
  const std::string route = " through the manager route (the device attached to pspclink before setup.exe starts)";
  const double calledRate = megabytesPerSecond(double(packages.totalBytes()), called->transferSeconds);
  std::string ratio = c.ratioToLink(calledRate);
  ratio += (ratio.empty() ? "" : ", ") + timesTheDirectRoute(calledRate / rate);
  c.table.add({copy + route, fixed(called->transferSeconds, 2) + " s, " + fixed(calledRate, 1) + " MB/s", ratio, "",
               ""});
  c.table.add({probe + route, fixed(called->probeSeconds, 3) + " s",
               "direct route " + fixed(direct->probeSeconds, 3) + " s", "≤ 0.6 s", yesNo(called->probeSeconds <= 0.6)});
}

void scaleSection(Context& c) {
  struct Case {
    std::string name;
    PackageSet packages;
  };
  std::vector<Case> cases = {{"1 file of 4 KiB", {1, 4096}},
                             {"1,000 files of 4 KiB", {1000, 4096}},
                             {"10,000 files of 4 KiB", {10000, 4096}},
                             {"1 file of 1 GiB", {1, 1ull << 30}}};
  if (c.options.quick) {
    cases = {{"1 file of 4 KiB", {1, 4096}}, {"200 files of 4 KiB", {200, 4096}}, {"1 file of 64 MiB", {1, 64ull << 20}}};
  }
  c.table.section("(5) scale: setup.exe peak memory (VmHWM) and transfer time");
  std::vector<SetupFigures> results;
  for (const Case& k : cases) {
    const SetupFigures f = runSetup(setupBinaries(c), c.options.work / "scale", k.packages);
    results.push_back(f);
    std::string value = fixed(f.transferSeconds, 2) + " s, peak " + memoryText(f.peakMemoryKb);
    std::string ratio;
    if (k.packages.count > 1 && results.size() > 1) {
      // The cost of each file beyond the first run's fixed cost.
      const double perFile = (f.transferSeconds - results.front().transferSeconds) / double(k.packages.count - 1);
      ratio = fixed(perFile * 1e3, 2) + " ms per further file";
    } else if (k.packages.bytes >= (64ull << 20)) {
      ratio = fixed(megabytesPerSecond(double(k.packages.totalBytes()), f.transferSeconds), 1) + " MB/s";
    }
    c.table.add({k.name, value, ratio, "", ""});
  }
  uint64_t low = UINT64_MAX, high = 0;
  for (const SetupFigures& f : results) {
    low = std::min(low, f.peakMemoryKb);
    high = std::max(high, f.peakMemoryKb);
  }
  const double spread = low ? double(high) / double(low) - 1.0 : 0;
  c.table.add({"setup.exe peak memory across these runs", memoryText(low) + " to " + memoryText(high),
               "+" + fixed(spread * 100, 1) + " %", "flat within 10 %", yesNo(low && spread <= 0.10)});
}

// Creates file number `index` in `folder` and closes it; the seconds it took.
double timeCreate(pspc::Device& device, pspc::SessionId session, const std::u16string& folder, uint32_t index) {
  const std::string name = "f" + std::to_string(index) + ".dat";
  const std::u16string path = folder + u"\\" + std::u16string(name.begin(), name.end());
  const auto start = std::chrono::steady_clock::now();
  uint32_t lastError = 0;
  const uint32_t handle = device.createFile(session, path, 0x40000000u /* GENERIC_WRITE */, 0, 1 /* CREATE_NEW */,
                                            0x80 /* FILE_ATTRIBUTE_NORMAL */, lastError);
  if (handle == 0xFFFFFFFFu)
    throw std::runtime_error("the emulator could not create a file: error " + std::to_string(lastError));
  device.closeHandle(session, handle, lastError);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void createSection(Context& c) {
  const uint32_t filled = c.options.quick ? 1000 : 10000, measured = c.options.quick ? 600 : 3000;
  const fs::path imageDir = c.options.work / "create";
  fs::remove_all(imageDir);
  pspc::Identity identity;
  identity.storeBytes = 0xFFFFFFFFu;
  std::string error;
  if (!pspc::image::create(imageDir, identity, error)) throw std::runtime_error(error);
  double empty = 0, full = 0;
  {
    pspc::Device device(imageDir);
    const pspc::SessionId session = device.openSession();
    uint32_t lastError = 0;
    device.createDirectory(u"\\Empty", lastError);
    device.createDirectory(u"\\Full", lastError);
    for (uint32_t i = 0; i < filled; ++i) timeCreate(device, session, u"\\Full", i);
    // The host's write-back of what came before (earlier runs' images and
    // their removal) is done first; what host disk work remains falls on both
    // folders alike, one create in each in turn.
    ::sync();
    for (uint32_t i = 0; i < measured; ++i) {
      empty += timeCreate(device, session, u"\\Empty", i);
      full += timeCreate(device, session, u"\\Full", filled + i);
    }
    device.closeSession(session);
  }
  fs::remove_all(imageDir);
  empty /= measured;
  full /= measured;
  c.table.section("(5) scale: the emulator's file create (CREATE_NEW and close, " + std::to_string(measured) +
                  " in each folder, in turn)");
  c.table.add({"in an empty folder", fixed(empty * 1e6, 1) + " µs per create", "", "", ""});
  c.table.add({"in a folder of " + std::to_string(filled) + " files", fixed(full * 1e6, 1) + " µs per create",
               fixed(full / empty, 2) + "× the empty folder", "within 2×", yesNo(full / empty <= 2.0)});
}

void modelSection(Context& c) {
  struct Rate {
    std::string name, command;
    double bytesPerSecond;
    uint64_t payload;
  };
  const std::vector<Rate> rates = {{"serial 115200 baud (11,520 B/s)", "link serial", 11520.0, 32ull << 10},
                                   {"USB 1.1 (1,000,000 B/s)", "link usb", 1e6, 2ull << 20}};
  c.table.section("(6) link model: CeWriteFile of 4096-byte chunks at the emulator's modelled rates");
  for (const Rate& r : rates) {
    pspc::Identity identity;
    fs::remove_all(c.options.work / "model");
    EmulatorHost device(c.options.work / "model", identity);
    device.control(r.command);
    WindowsRun run;
    run.runner = c.options.runner;
    run.program = c.bin("bench_rapi.exe");
    run.arguments = {"\\Temp\\model.dat", std::to_string(r.payload), std::to_string(kChunk), "0", "1"};
    run.environment = {{"PSPC_RAPI_ENDPOINT", device.endpoint()}};
    run.logFile = c.options.work / "bench_rapi_model.log";
    const FigureLine write = findFigure(runWindowsProgram(run), "write");
    // Every byte the cable carries: each request and reply with its length word.
    const double calls = write.number("calls");
    const double wire = calls * (4.0 + writeRequestPayload(kChunk) + 4.0 + writeReplyPayload());
    const double expected = wire / r.bytesPerSecond, measured = write.number("seconds");
    const double off = measured / expected - 1.0;
    c.table.add({r.name + ", " + std::to_string(r.payload >> 10) + " KiB (" + fixed(wire, 0) + " B on the wire)",
                 fixed(measured, 3) + " s measured, " + fixed(expected, 3) + " s = bytes ÷ rate",
                 (off >= 0 ? "+" : "") + fixed(off * 100, 1) + " %", "within 5 %", yesNo(std::fabs(off) <= 0.05)});
  }
  fs::remove_all(c.options.work / "model");
}

// The next line the program prints, which must be `expected`.
WindowsProcess::Line expectLine(WindowsProcess& program, const std::string& expected) {
  for (;;) {
    auto line = program.nextLine();
    if (!line) {
      program.finish(); // throws, with the program's words, when it failed
      throw std::runtime_error("bench_attach.exe ended without printing '" + expected + "'");
    }
    if (line->text == expected) return *line;
  }
}

// From the device's call to CeRapiInit returning, kBatches times: each time
// bench_attach.exe starts with no device attached and waits for one through
// the manager; then the device is plugged in, which makes it call at once.
std::vector<double> timeCalls(const Context& c, const ManagerHost& manager, const fs::path& dir) {
  pspc::Identity identity;
  EmulatorHost device(dir / "image", identity, manager.deviceCall(), true);
  std::vector<double> seconds;
  for (uint32_t round = 0; round < kBatches; ++round) {
    manager.waitNoDevice(std::chrono::seconds(30));
    WindowsRun run;
    run.runner = c.options.runner;
    run.program = c.bin("bench_attach.exe");
    run.environment = {{"PSPCLINK_DIR", manager.channelFolder().string()}};
    run.logFile = dir / "bench_attach.log";
    run.guard = std::chrono::seconds(120);
    WindowsProcess program(run);
    expectLine(program, "waiting");
    const auto called = std::chrono::steady_clock::now();
    device.control("plug");
    const auto returned = expectLine(program, "attached").arrived;
    program.finish();
    seconds.push_back(std::chrono::duration<double>(returned - called).count());
    device.control("unplug");
  }
  return seconds;
}

void managerSection(Context& c) {
  const fs::path dir = c.options.work / "manager-call";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::vector<double> calls = timeCalls(c, c.manager(), dir);
  fs::remove_all(dir);
  c.table.section("(7) the device's call: the emulator calls pspclink, rapi.dll learns of it from pspclink "
                  "(PSPCLINK_DIR set, no PSPC_RAPI_ENDPOINT) and connects to the device's address");
  const double slowest = *std::max_element(calls.begin(), calls.end());
  const double fastest = *std::min_element(calls.begin(), calls.end());
  c.table.add({"from the device plugged in (it dials pspclink at once) to CeRapiInit returned in bench_attach.exe, "
               "which was waiting for it (" +
                   std::to_string(calls.size()) + " calls, the slowest)",
               fixed(slowest, 3) + " s", "fastest " + fixed(fastest, 3) + " s", "≤ 0.2 s", yesNo(slowest <= 0.2)});
}

} // namespace

int main(int argc, char** argv) {
  Context c;
  c.options = parseOptions(argc, argv);
  // Each run names its route itself: a variable left in the caller's
  // environment would send rapi.dll another way than the figure says.
  ::unsetenv("PSPC_RAPI_ENDPOINT");
  ::unsetenv("PSPCLINK_DIR");
  fs::create_directories(c.options.work);
  std::ostringstream machine;
  printMachine(machine);
  std::cerr << "pspc-bench: measuring (" << (c.options.quick ? "quick" : "full") << " sizes)\n";
  try {
    using Step = void (*)(Context&);
    const std::vector<std::pair<std::string, Step>> steps = {{"link", linkSection},   {"rapi", rapiSection},
                                                             {"setup", setupSection}, {"scale", scaleSection},
                                                             {"create", createSection}, {"model", modelSection},
                                                             {"manager", managerSection}};
    for (const auto& [name, step] : steps)
      if (c.options.sections.count(name)) step(c);
  } catch (const std::exception& failure) {
    std::cerr << "pspc-bench: " << failure.what() << "\n";
    return 1;
  }
  std::cout << "\n## The machine\n\n" << machine.str() << "- load average at the end: " << loadAverage() << "\n\n";
  std::cout << "## Figures\n\n";
  c.table.print(std::cout);
  std::cout << "\nMB = 10^6 bytes. Ratios against (1) compare data rates: the same 4096-byte chunks, the same\n"
               "packet sizes on the same loopback link.\n";
  return 0;
}
