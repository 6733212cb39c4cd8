// The console: a socket in the image folder that only the user who
// serves the device reaches, a clear word when no device serves an image,
// one emulator per image, and no TCP port but the RAPI link.
#include "console_client.h"
#include "scripted_manager.h"
#include "served_device_fixture.h"
#include "wait_until.h"

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

// What a process of another user got from the console socket: the connect's
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
  return sendToConsole(imageDir, line, answer, error) ? answer : "unreached: " + error;
}

class ConsoleSocketTest : public ServedDeviceTest {};

TEST_F(ConsoleSocketTest, AnotherUserCanNeitherConnectNorCommandTheDevice) {
  serve();
  const fs::path socketPath = image::consoleSocketFile(imageDir_);
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

TEST_F(ConsoleSocketTest, NoServingEmulatorIsToldInOneLineNamingTheImage) {
  std::string answer, error;
  EXPECT_FALSE(sendToConsole(imageDir_, "status", answer, error));
  EXPECT_EQ(error, "no emulator is serving the image " + imageDir_.string() + " (start one with: pspcemu serve " +
                       imageDir_.string() + ")");

  // A socket left by an emulator that was killed: nothing listens on it.
  const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, image::consoleSocketFile(imageDir_).c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(stale);
  EXPECT_FALSE(sendToConsole(imageDir_, "status", answer, error));
  EXPECT_EQ(error, "no emulator is serving the image " + imageDir_.string() +
                       ": its console socket was left by one that stopped");

  // The next emulator replaces it; when it stops, its socket goes with it.
  serve();
  EXPECT_EQ(controlAnswer(imageDir_, "status").rfind("ok plugged", 0), 0u);
  server_->stop();
  EXPECT_FALSE(fs::exists(fs::symlink_status(image::consoleSocketFile(imageDir_))));
}

TEST_F(ConsoleSocketTest, ASecondEmulatorOnTheSameImageIsRefusedAndTakesNothing) {
  serve();
  ServerOptions options;
  options.port = 0;
  Server second(*device_, *log_, faults_, lineSpeed_, options);
  try {
    second.start();
    ADD_FAILURE() << "a second emulator served the same image";
  } catch (const std::runtime_error& refused) {
    EXPECT_EQ(std::string(refused.what()), "the image " + imageDir_.string() +
                                               " is already being served by another emulator; stop it first "
                                               "(pspcemu console " +
                                               imageDir_.string() + " quit)");
  }
  second.stop();
  EXPECT_EQ(controlAnswer(imageDir_, "status").rfind("ok plugged", 0), 0u);

  // Something else by the socket's name is not the emulator's to remove.
  server_.reset();
  writeHostFile(image::consoleSocketFile(imageDir_), "notes");
  Server third(*device_, *log_, faults_, lineSpeed_, options);
  EXPECT_THROW(third.start(), std::runtime_error);
  third.stop();
  EXPECT_EQ(readFile(image::consoleSocketFile(imageDir_)), "notes");
}

TEST_F(ConsoleSocketTest, AnImageFolderOfAnyPathLengthIsServed) {
  // Longer than a socket address holds (107 bytes of path).
  fs::path deep = scratch_;
  for (int level = 0; level < 4; ++level) deep /= std::string(40, char('a' + level));
  const fs::path longImage = deep / "image";
  ASSERT_GT(image::consoleSocketFile(longImage).string().size(), 108u);
  std::string error;
  ASSERT_TRUE(image::create(longImage, Identity{}, error)) << error;
  Device device(longImage);
  OpLog log(image::opLogFile(longImage));
  ServerOptions options;
  options.port = 0;
  {
    Server server(device, log, faults_, lineSpeed_, options);
    server.start();
    EXPECT_TRUE(fs::exists(fs::symlink_status(image::consoleSocketFile(longImage))));
    EXPECT_EQ(controlAnswer(longImage, "unplug"), "ok unplugged");
    EXPECT_FALSE(server.plugged());
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(image::consoleSocketFile(longImage))));
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

// `pspcemu serve` as a process of its own, its standard output thrown away;
// killed if the test ends before it quits.
class ServingProcess {
public:
  explicit ServingProcess(const std::vector<std::string>& arguments) {
    std::vector<std::string> words = {PSPCEMU_PATH, "serve"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, PSPCEMU_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ServingProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ServingProcess(const ServingProcess&) = delete;
  ServingProcess& operator=(const ServingProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The port file comes once the emulator listens.
  bool waitUntilServing(const fs::path& image) const {
    return testsupport::waitUntil([&] { return fs::exists(image / "link.port"); });
  }
  // Its exit status once it has ended of itself.
  int wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

private:
  pid_t pid_ = -1;
};

TEST_F(ConsoleSocketTest, PspcemuServesOnlyTheRapiLinkOnTcpAndIsControlledThroughTheImage) {
  const CommandRun unserved = pspcemu({"console", imageDir_.string(), "status"});
  EXPECT_NE(unserved.status, 0);
  EXPECT_EQ(unserved.output, "pspcemu: no emulator is serving the image " + imageDir_.string() +
                                 " (start one with: pspcemu serve " + imageDir_.string() + ")\n");

  const std::string image = imageDir_.string();
  ServingProcess server({image, "--port", "0"});
  ASSERT_GT(server.pid(), 0);
  ASSERT_TRUE(server.waitUntilServing(imageDir_));

  EXPECT_EQ(listeningTcpSockets(server.pid()), 1u);
  const CommandRun second = pspcemu({"serve", image, "--port", "0"});
  EXPECT_NE(second.status, 0);
  EXPECT_NE(second.output.find("is already being served by another emulator"), std::string::npos) << second.output;
  const CommandRun status = pspcemu({"status", image});
  EXPECT_NE(status.output.find("serving   ok plugged"), std::string::npos) << status.output;

  const CommandRun quit = pspcemu({"console", image, "quit"});
  EXPECT_EQ(quit.status, 0);
  EXPECT_EQ(quit.output, "ok quitting\n");
  const int exited = server.wait();
  EXPECT_TRUE(WIFEXITED(exited) && WEXITSTATUS(exited) == 0) << "status " << exited;
  EXPECT_FALSE(fs::exists(fs::symlink_status(image::consoleSocketFile(imageDir_))));
}

TEST_F(ConsoleSocketTest, PspcemuMakesACallingDeviceWithAPasswordAndServeCallsTheManager) {
  const fs::path made = scratch_ / "made";
  writeHostFile(scratch_ / "password.txt", "s3cret\n");
  const CommandRun init = pspcemu({"init", made.string(), "--device-name", "Field unit", "--platform", "Palm PC2",
                                   "--cpu-type", "10003", "--os-version", "2.11", "--os-build", "300", "--partner-id",
                                   "7", "--password-file", (scratch_ / "password.txt").string()});
  ASSERT_EQ(init.status, 0) << init.output;
  EXPECT_EQ(fs::status(image::passwordFile(made)).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  const CommandRun status = pspcemu({"status", made.string()});
  for (const char* line : {"device    Field unit\n", "platform  Palm PC2\n", "os        Windows CE 2.11 build 300\n",
                           "cpu       10003\n", "partners  0x00000007, 0x00000000\n", "password  set"})
    EXPECT_NE(status.output.find(line), std::string::npos) << line << " in\n" << status.output;
  EXPECT_EQ(status.output.find("s3cret"), std::string::npos);

  writeHostFile(scratch_ / "empty.txt", "");
  const std::vector<std::vector<std::string>> refused = {
      {"init", (scratch_ / "a").string(), "--os-version", "2"},
      {"init", (scratch_ / "b").string(), "--cpu-type", "70000"},
      {"init", (scratch_ / "c").string(), "--password-file", (scratch_ / "empty.txt").string()},
      {"init", (scratch_ / "d").string(), "--password-file", (scratch_ / "missing.txt").string()},
      {"serve", made.string(), "--address", "127.0.0.1"},
      {"serve", made.string(), "--call", "127.0.0.1:0"},
      {"serve", made.string(), "--call", "127.0.0.1", "--address", "0.0.0.0"},
  };
  for (const auto& arguments : refused) {
    const CommandRun run = pspcemu(arguments);
    EXPECT_NE(run.status, 0) << arguments[0] << " " << arguments.back();
    EXPECT_EQ(run.output.rfind("pspcemu: ", 0), 0u) << run.output;
  }
  EXPECT_FALSE(fs::exists(scratch_ / "c"));

  ScriptedManager manager;
  manager.listen();
  ServingProcess server({made.string(), "--call", "127.0.0.1:" + std::to_string(manager.port()), "--port", "0"});
  ASSERT_GT(server.pid(), 0);
  auto call = manager.accept();
  ASSERT_TRUE(call);
  const auto challenge = call->word();
  ASSERT_TRUE(challenge && *challenge >= 512);
  const auto length = call->word();
  ASSERT_TRUE(length);
  const auto body = call->receive(*length);
  ASSERT_TRUE(body);
  controlwire::Introduction intro;
  std::string reason;
  ASSERT_TRUE(controlwire::decodeIntroduction(*body, intro, reason)) << reason;
  EXPECT_EQ(intro.deviceName, u"Field unit");
  EXPECT_EQ(intro.platformName, u"Palm PC2");
  EXPECT_EQ(intro.modelName, u"PsPC");
  EXPECT_EQ(intro.cpuType, 10003);
  EXPECT_EQ(intro.build, 300);
  EXPECT_EQ(intro.currentPartnerId, 7u);
  ASSERT_TRUE(call->send(encodedPassword("s3cret", uint8_t(*challenge))));
  EXPECT_EQ(call->receive(2), (Bytes{1, 0}));
  EXPECT_NE(pspcemu({"status", made.string()}).output.find("call=introduced"), std::string::npos);

  EXPECT_EQ(pspcemu({"console", made.string(), "quit"}).output, "ok quitting\n");
  EXPECT_TRUE(call->closedByPeer());
  const int exited = server.wait();
  EXPECT_TRUE(WIFEXITED(exited) && WEXITSTATUS(exited) == 0) << "status " << exited;
}

} // namespace
} // namespace pspc::testing
