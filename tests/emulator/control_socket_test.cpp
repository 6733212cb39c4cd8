// The control channel: a socket in the image folder that only the user who
// serves the device reaches, a clear word when no device serves an image,
// one emulator per image, and no TCP port but the RAPI link.
#include "control_client.h"
#include "served_device_fixture.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace pspc::testing {
namespace {

using namespace std::chrono_literals;

constexpr uid_t kNobody = 65534;

// What a process of another user got from the control socket: the connect's
// errno (0 when it connected) and the answer to its line.
struct Attempt {
  int connectError = 0;
  std::string answer;
};

// Forks, becomes `uid`, connects to `socketPath` by its own path (as any other
// user on the machine would) and sends `line`. The child makes only system
// calls: the parent has threads.
Attempt asUser(uid_t uid, const fs::path& socketPath, const std::string& line) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  EXPECT_LT(socketPath.string().size(), sizeof address.sun_path);
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  const std::string request = line + "\n";
  struct Report {
    int connectError;
    int length;
    char answer[256];
  };
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = ::fork();
  if (child == 0) {
    Report report{};
    if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(2);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      report.connectError = errno;
    } else if (::write(fd, request.data(), request.size()) == ssize_t(request.size())) {
      for (ssize_t n; report.length < int(sizeof report.answer) &&
                      (n = ::read(fd, report.answer + report.length, sizeof report.answer - report.length)) > 0;)
        report.length += int(n);
    }
    const bool sent = ::write(pipeFds[1], &report, sizeof report) == ssize_t(sizeof report);
    ::_exit(sent ? 0 : 3);
  }
  ::close(pipeFds[1]);
  Report report{};
  const bool got = ::read(pipeFds[0], &report, sizeof report) == ssize_t(sizeof report);
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("the process of uid " + std::to_string(uid) + " failed (status " + std::to_string(status) +
                             ")");
  return {report.connectError, std::string(report.answer, size_t(report.length))};
}

std::string controlAnswer(const fs::path& imageDir, const std::string& line) {
  std::string answer, error;
  return sendControl(imageDir, line, answer, error) ? answer : "unreached: " + error;
}

class ControlSocketTest : public ServedDeviceTest {};

TEST_F(ControlSocketTest, AnotherUserCanNeitherConnectNorCommandTheDevice) {
  serve();
  const fs::path socketPath = image::controlSocketFile(imageDir_);
  struct stat info {};
  ASSERT_EQ(::lstat(socketPath.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(controlAnswer(imageDir_, "status").rfind("ok plugged", 0), 0u);

  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root; the socket's mode was checked";
  // The folders on the way are open to everyone, so that only the socket
  // itself can keep the other user out.
  fs::permissions(scratch_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(imageDir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  EXPECT_EQ(asUser(kNobody, socketPath, "quit").connectError, EACCES);

  // Past the mode (as root would be, or a mode changed by hand), the peer's
  // uid is checked all the same: the command is refused and never runs.
  fs::permissions(socketPath, fs::perms::all);
  const Attempt past = asUser(kNobody, socketPath, "quit");
  EXPECT_EQ(past.connectError, 0);
  EXPECT_EQ(past.answer.rfind("error refused", 0), 0u) << past.answer;
  EXPECT_FALSE(server_->quitRequested());
  EXPECT_EQ(controlAnswer(imageDir_, "status").rfind("ok plugged", 0), 0u);
}

TEST_F(ControlSocketTest, NoServingEmulatorIsToldInOneLineNamingTheImage) {
  std::string answer, error;
  EXPECT_FALSE(sendControl(imageDir_, "status", answer, error));
  EXPECT_EQ(error, "no emulator is serving the image " + imageDir_.string() + " (start one with: pspcemu serve " +
                       imageDir_.string() + ")");

  // A socket left by an emulator that was killed: nothing listens on it.
  const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, image::controlSocketFile(imageDir_).c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(stale);
  EXPECT_FALSE(sendControl(imageDir_, "status", answer, error));
  EXPECT_EQ(error, "no emulator is serving the image " + imageDir_.string() +
                       ": its control socket was left by one that stopped");

  // The next emulator replaces it; when it stops, its socket goes with it.
  serve();
  EXPECT_EQ(controlAnswer(imageDir_, "status").rfind("ok plugged", 0), 0u);
  server_->stop();
  EXPECT_FALSE(fs::exists(fs::symlink_status(image::controlSocketFile(imageDir_))));
}

TEST_F(ControlSocketTest, ASecondEmulatorOnTheSameImageIsRefusedAndTakesNothing) {
  serve();
  ServerOptions options;
  options.port = 0;
  Server second(*device_, *log_, faults_, link_, options);
  try {
    second.start();
    ADD_FAILURE() << "a second emulator served the same image";
  } catch (const std::runtime_error& refused) {
    EXPECT_EQ(std::string(refused.what()), "the image " + imageDir_.string() +
                                               " is already being served by another emulator; stop it first "
                                               "(pspcemu control " +
                                               imageDir_.string() + " quit)");
  }
  second.stop();
  EXPECT_EQ(controlAnswer(imageDir_, "status").rfind("ok plugged", 0), 0u);

  // Something else by the socket's name is not the emulator's to remove.
  server_.reset();
  writeHostFile(image::controlSocketFile(imageDir_), "notes");
  Server third(*device_, *log_, faults_, link_, options);
  EXPECT_THROW(third.start(), std::runtime_error);
  third.stop();
  EXPECT_EQ(readHostFile(image::controlSocketFile(imageDir_)), "notes");
}

TEST_F(ControlSocketTest, AnImageFolderOfAnyPathLengthIsServed) {
  // Longer than a socket address holds (107 bytes of path).
  fs::path deep = scratch_;
  for (int level = 0; level < 4; ++level) deep /= std::string(40, char('a' + level));
  const fs::path longImage = deep / "image";
  ASSERT_GT(image::controlSocketFile(longImage).string().size(), 108u);
  std::string error;
  ASSERT_TRUE(image::create(longImage, Identity{}, error)) << error;
  Device device(longImage);
  OpLog log(image::opLogFile(longImage));
  ServerOptions options;
  options.port = 0;
  {
    Server server(device, log, faults_, link_, options);
    server.start();
    EXPECT_TRUE(fs::exists(fs::symlink_status(image::controlSocketFile(longImage))));
    EXPECT_EQ(controlAnswer(longImage, "unplug"), "ok unplugged");
    EXPECT_FALSE(server.plugged());
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(image::controlSocketFile(longImage))));
}

// ---- pspcemu itself

struct CommandRun {
  int status = -1;
  std::string output; // standard output and error
};

CommandRun pspcemu(const std::vector<std::string>& arguments) {
  std::string command = PSPCEMU_PATH;
  for (const std::string& argument : arguments) command += " '" + argument + "'";
  command += " 2>&1";
  CommandRun run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  char buffer[512];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, n);
  run.status = ::pclose(pipe);
  return run;
}

// Listening TCP sockets of a process: its socket descriptors matched against
// the kernel's tables of listening sockets, as `ss -ltnp` shows them.
size_t listeningTcpSockets(pid_t pid) {
  std::set<std::string> listening;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line); // the heading
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      if (state == "0A") listening.insert("socket:[" + inode + "]");
    }
  }
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code ec;
    count += listening.count(fs::read_symlink(entry.path(), ec).string());
  }
  return count;
}

TEST_F(ControlSocketTest, PspcemuServesOnlyTheRapiLinkOnTcpAndIsControlledThroughTheImage) {
  const CommandRun unserved = pspcemu({"control", imageDir_.string(), "status"});
  EXPECT_NE(unserved.status, 0);
  EXPECT_EQ(unserved.output, "pspcemu: no emulator is serving the image " + imageDir_.string() +
                                 " (start one with: pspcemu serve " + imageDir_.string() + ")\n");

  const std::string image = imageDir_.string();
  const char* argv[] = {PSPCEMU_PATH, "serve", image.c_str(), "--port", "0", nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t server = -1;
  ASSERT_EQ(posix_spawn(&server, PSPCEMU_PATH, &actions, nullptr, const_cast<char**>(argv), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  // Killed if the test ends before it quits.
  std::unique_ptr<pid_t, void (*)(pid_t*)> reaper(&server, [](pid_t* pid) {
    if (*pid <= 0) return;
    ::kill(*pid, SIGKILL);
    ::waitpid(*pid, nullptr, 0);
  });
  // Hang guard only: the port file comes once the emulator listens.
  for (int waited = 0; !fs::exists(imageDir_ / "link.port") && waited < 3000; ++waited)
    std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(fs::exists(imageDir_ / "link.port"));

  EXPECT_EQ(listeningTcpSockets(server), 1u);
  const CommandRun second = pspcemu({"serve", image, "--port", "0"});
  EXPECT_NE(second.status, 0);
  EXPECT_NE(second.output.find("is already being served by another emulator"), std::string::npos) << second.output;
  const CommandRun status = pspcemu({"status", image});
  EXPECT_NE(status.output.find("serving   ok plugged"), std::string::npos) << status.output;

  const CommandRun quit = pspcemu({"control", image, "quit"});
  EXPECT_EQ(quit.status, 0);
  EXPECT_EQ(quit.output, "ok quitting\n");
  int exited = 0;
  ::waitpid(server, &exited, 0);
  server = -1;
  EXPECT_TRUE(WIFEXITED(exited) && WEXITSTATUS(exited) == 0) << "status " << exited;
  EXPECT_FALSE(fs::exists(fs::symlink_status(image::controlSocketFile(imageDir_))));
}

} // namespace
} // namespace pspc::testing
