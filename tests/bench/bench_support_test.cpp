// WindowsProcess follows a program as it runs (here a shell script stands in
// for the Windows program, /bin/sh for the Wine runner); ManagerHost starts
// pspclink and sees a calling device come and go.
#include "emulator_host.h"
#include "manager_host.h"
#include "wait_until.h"
#include "wine_program.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <signal.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using bench::WindowsProcess;
using bench::WindowsRun;

constexpr std::chrono::seconds kGuard = testsupport::kHangGuard;

class BenchSupport : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("bench-support-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  WindowsRun script(const std::string& text, std::chrono::seconds guard = kGuard) {
    const fs::path file = dir_ / "program.sh";
    std::ofstream(file) << text;
    WindowsRun run;
    run.runner = "/bin/sh";
    run.program = file;
    run.logFile = dir_ / "program.log";
    run.guard = guard;
    return run;
  }

  fs::path dir_;
};

TEST_F(BenchSupport, LinesComeInOrderEachWithTheMomentItArrived) {
  // The second line is printed only once the first has been read, as the
  // benchmark acts between a program's lines.
  WindowsProcess program(script("printf 'waiting\\r\\n'\nwhile [ ! -e '" + (dir_ / "go").string() +
                                "' ]; do sleep 0.01; done\nprintf 'attached\\nlast without its end'\n"));
  const auto first = program.nextLine();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->text, "waiting");
  std::ofstream(dir_ / "go").put('\n');
  const auto second = program.nextLine();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->text, "attached");
  EXPECT_GT(second->arrived, first->arrived);
  const auto last = program.nextLine();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->text, "last without its end");
  EXPECT_FALSE(program.nextLine());
  program.finish();
}

TEST_F(BenchSupport, TheProgramsEndCountsNotThePipes) {
  // A service the program started (Wine's) may hold its output open long
  // after it ended (here for twice the guard): the end is the program's.
  const fs::path service = dir_ / "service.pid";
  const auto figures = bench::runWindowsProgram(
      script("sleep " + std::to_string(2 * kGuard.count()) + " &\necho $! > '" + service.string() + "'\necho done a=1\n"));
  std::ifstream pid(service);
  int servicePid = 0;
  if (pid >> servicePid && servicePid > 0) ::kill(servicePid, SIGKILL);
  ASSERT_EQ(figures.size(), 1u);
  EXPECT_EQ(figures[0].kind, "done");
  EXPECT_EQ(figures[0].number("a"), 1);
}

TEST_F(BenchSupport, AFailureOrAnOverrunIsReportedWithTheProgramsWords) {
  {
    WindowsProcess program(script("echo 'error: no device' >&2\nexit 3\n"));
    try {
      program.finish();
      FAIL() << "a program that ended with status 3 was taken for a success";
    } catch (const std::runtime_error& failure) {
      EXPECT_NE(std::string(failure.what()).find("error: no device"), std::string::npos) << failure.what();
    }
  }
  WindowsProcess program(script("echo started\nexec sleep 120\n", std::chrono::seconds(1)));
  ASSERT_EQ(program.nextLine()->text, "started");
  try {
    program.nextLine();
    FAIL() << "a program past its guard was waited for";
  } catch (const std::runtime_error& failure) {
    EXPECT_NE(std::string(failure.what()).find("overran its guard"), std::string::npos) << failure.what();
  }
}

TEST_F(BenchSupport, TheManagerSeesTheCallingDeviceComeAndGo) {
  // An address of this test's own, outside the 127.0.0.x of the end-to-end
  // tests' devices and apart from the benchmark's: each may be serving its
  // port 990 meanwhile.
  bench::ManagerHost manager(PSPCLINK_PATH, dir_ / "manager", "127.0.2.19");
  EXPECT_TRUE(fs::exists(manager.channelFolder() / "channel"));
  pspc::Identity identity;
  bench::EmulatorHost device(dir_ / "image", identity, manager.deviceCall(), true);
  manager.waitNoDevice(kGuard);
  device.control("plug");
  manager.waitDevice(kGuard);
  device.control("unplug");
  manager.waitNoDevice(kGuard);
  device.control("plug");
  manager.waitDevice(kGuard);
}

} // namespace
