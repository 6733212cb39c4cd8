// pspclink serve and pspclink status as a person and the desktop's programs
// meet them: devices calling in over TCP, the local channel, the files in the
// channel folder, the log.
#include "manager_fixture.h"

#include <sys/stat.h>

namespace pspclink::testing {
namespace {

const char kDeviceA[] = "127.0.0.2";
const char kDeviceB[] = "127.0.0.3";

bool attached(const std::string& answer) { return answer.rfind("device ", 0) == 0; }

std::string field(const std::string& record, const std::string& key) {
  linkchannel::Line line;
  if (!linkchannel::parseLine(record, line) || !line.option(key)) return "<no " + key + ">";
  return *line.option(key);
}

TEST_F(ManagerTest, ADeviceAttachesIsShownAndItsClosedSocketDetachesIt) {
  start();
  const Ran none = run({"status"});
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out, "no device\nmanager:     listening on 127.0.0.1:" + std::to_string(devicePort_) + "; log " +
                          (folder_ / linkchannel::kLogFileName).string() + "\n");

  auto device = this->device(kDeviceA, hexBytes("00000000"));
  ASSERT_TRUE(logs("attached: PsPC at 127.0.0.2: platform Palm PC, model P1, OS 2.11 (build 163), CPU MIPS type 4000"));
  auto channel = client();
  const std::string record = channel->ask("wait-device timeout=20000");
  ASSERT_TRUE(attached(record)) << record;
  EXPECT_EQ(field(record, "address"), "127.0.0.2");
  EXPECT_EQ(field(record, "rapi-port"), std::to_string(controlwire::kRapiPort));
  EXPECT_EQ(field(record, "os"), "2.11");
  EXPECT_EQ(field(record, "state"), "unlocked");
  EXPECT_EQ(field(record, "prelude"), "<no prelude>");

  const Ran shown = run({"status"});
  EXPECT_EQ(shown.status, 0) << shown.err;
  for (const char* line : {"device:      PsPC\n", "platform:    Palm PC\n", "model:       P1\n",
                           "OS version:  2.11 (build 163)\n", "CPU:         MIPS (type 4000)\n",
                           "address:     127.0.0.2\n", "attached:    since 20", "state:       unlocked"})
    EXPECT_TRUE(has(shown.out, line)) << line << " in:\n" << shown.out;

  // rapi.dll holds a watch open while other clients ask.
  auto watch = client();
  watch->sendText("watch attach=" + field(record, "attach") + "\n");
  EXPECT_TRUE(attached(client()->ask("status")));
  EXPECT_EQ(watch->line(100ms), "<no line>") << "silent while the device stays";

  device->close();
  EXPECT_EQ(watch->line(), "gone");
  EXPECT_TRUE(logs("detached: PsPC at 127.0.0.2 (the device closed the connection)"));
  EXPECT_EQ(channel->ask("status"), "none");
  EXPECT_EQ(channel->ask("watch attach=" + field(record, "attach")), "gone") << "an attach that already ended";
  EXPECT_EQ(channel->ask("wait-device timeout=0"), "none");
}

TEST_F(ManagerTest, TheDeviceIsGoneAfterThreeUnansweredPingsAndASilentCallerIsRefused) {
  start({}, {"PSPCLINK_PING_INTERVAL_MS=100"});
  auto device = this->device(kDeviceA);
  for (int ping = 0; ping < 3; ++ping) {
    const auto word = device->receive(4);
    ASSERT_EQ(word, hexBytes(kPingHex)) << "ping " << ping;
    device->send(*word);
  }
  // Silent from now on: the connection stays open, the pings go unanswered.
  EXPECT_TRUE(logs("detached: PsPC at 127.0.0.2 (no answer to 3 pings)"));
  EXPECT_TRUE(device->closedByPeer());
  EXPECT_EQ(client()->ask("status"), "none");

  TcpPeer silent(devicePort_, kDeviceB);
  EXPECT_TRUE(silent.closedByPeer());
  EXPECT_TRUE(logs("refused: the call from 127.0.0.3: no introduction within 300 ms"));
}

// The reasons a malformed introduction is refused for are the codec's and
// the session's to tell; here, that the manager goes on serving after one.
TEST_F(ManagerTest, ASecondDeviceIsRefusedAndMalformedCallsLeaveTheManagerServing) {
  start();
  const Bytes good = introduction();
  Bytes noTerminator = good;
  noTerminator[noTerminator.size() - 2] = 'x';
  {
    TcpPeer hostile(devicePort_, kDeviceB);
    hostile.send(noTerminator);
    EXPECT_TRUE(hostile.closedByPeer());
    EXPECT_TRUE(logs("refused: the call from 127.0.0.3: a malformed introduction: the model name has no terminator"));
    TcpPeer cut(devicePort_, kDeviceB);
    cut.send(Bytes(good.begin(), good.begin() + 30));
  }
  EXPECT_TRUE(logs("ended: the call from 127.0.0.3 closed before its introduction"));

  auto first = device(kDeviceA);
  ASSERT_TRUE(logs("attached: PsPC at 127.0.0.2"));
  TcpPeer second(devicePort_, kDeviceB);
  second.send(good);
  EXPECT_TRUE(second.closedByPeer());
  EXPECT_TRUE(logs("refused: a device is already attached (PsPC at 127.0.0.2); closed the call from 127.0.0.3"));
  EXPECT_EQ(field(client()->ask("status"), "address"), "127.0.0.2");
}

TEST_F(ManagerTest, ThePasswordIsSentAsACountAndEncodedBytesAndARefusalLeavesTheDeviceLocked) {
  const fs::path file = scratch_ / "password";
  std::ofstream(file) << "ab\n";
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  start({"--password-file", file.string()});

  auto accepting = device(kDeviceA, challenge());
  // Two bytes of count, then the six encoded bytes, and nothing more.
  EXPECT_EQ(accepting->receive(8), hexBytes(kPasswordAbHex));
  EXPECT_EQ(statusWhen([](const std::string& a) { return field(a, "password") == "checking"; }).empty(), false);
  accepting->send(hexBytes("0100"));
  auto channel = client();
  const std::string record = channel->ask("wait-device timeout=20000");
  EXPECT_EQ(field(record, "locked"), "1");
  EXPECT_EQ(field(record, "state"), "unlocked");
  EXPECT_EQ(field(record, "prelude"), linkchannel::hexOf(hexBytes(kPasswordAbHex)));
  EXPECT_EQ(field(channel->ask("status"), "prelude"), "<no prelude>");
  EXPECT_TRUE(logs("unlocked: PsPC at 127.0.0.2 accepted the password"));
  accepting->close();
  ASSERT_TRUE(logs("detached: PsPC at 127.0.0.2 (the device closed the connection)"));

  auto refusing = device(kDeviceA, challenge());
  EXPECT_EQ(refusing->receive(8), hexBytes(kPasswordAbHex));
  refusing->send(hexBytes("0000"));
  EXPECT_TRUE(logs("locked: PsPC at 127.0.0.2 refused the password; it stays locked"));
  EXPECT_EQ(channel->ask("wait-device timeout=50"), "none") << "a locked device is not handed out";
  const std::string locked = channel->ask("status");
  EXPECT_EQ(field(locked, "state"), "locked");
  EXPECT_EQ(field(locked, "password"), "refused");
  const Ran shown = run({"status"});
  EXPECT_TRUE(has(shown.out, "state:       locked (the device refused the password")) << shown.out;
  EXPECT_FALSE(refusing->closedByPeer(200ms)) << "the locked device stays attached";

  for (const std::string& text : {log(), readFile(scratch_ / "serve.err"), readFile(scratch_ / "serve.out"), shown.out})
    EXPECT_FALSE(has(text, "ab\n") || has(text, " ab ")) << text;
}

TEST_F(ManagerTest, APasswordFileOthersCouldReadIsRefusedAtTheStart) {
  const fs::path file = scratch_ / "password";
  std::ofstream(file) << "ab\n";
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  Ran ran = run({"serve", "--listen", "127.0.0.1:0", "--password-file", file.string()});
  EXPECT_EQ(ran.status, 1);
  EXPECT_TRUE(has(ran.err, "the password file " + file.string() + " is open to its group or to others (mode 0640)"))
      << ran.err;

  fs::create_symlink(file, scratch_ / "link");
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  ran = run({"serve", "--listen", "127.0.0.1:0", "--password-file", (scratch_ / "link").string()});
  EXPECT_TRUE(has(ran.err, "is a symbolic link")) << ran.err;
  ran = run({"serve", "--listen", "127.0.0.1:0", "--password-file", scratch_.string()});
  EXPECT_TRUE(has(ran.err, "is not a regular file")) << ran.err;
  EXPECT_FALSE(fs::exists(folder_ / linkchannel::kChannelFileName));
}

TEST_F(ManagerTest, TheChannelIsTheUsersAloneAndTellsNothingWithoutTheToken) {
  start();
  struct stat info {};
  ASSERT_EQ(::stat(folder_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((folder_ / linkchannel::kChannelFileName).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  auto device = this->device(kDeviceA);
  ASSERT_TRUE(logs("attached: PsPC"));
  std::string wrong = channel_.token;
  wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
  for (const std::string& first : {"hello " + wrong, std::string("status")}) {
    TcpPeer stranger(channel_.port);
    const std::string answer = stranger.ask(first);
    EXPECT_EQ(answer.rfind("error ", 0), 0u) << answer;
    EXPECT_TRUE(stranger.closedByPeer()) << first;
  }
  auto channel = client();
  EXPECT_EQ(channel->ask("frobnicate").rfind("error unknown request", 0), 0u);
  EXPECT_EQ(channel->ask("wait-device timeout=soon").rfind("error ", 0), 0u);
  EXPECT_TRUE(attached(channel->ask("status"))) << "the client is still served after its mistakes";

  // Another manager on the same folder is refused; stopped, this one takes
  // its files away.
  const Ran second = run({"serve", "--listen", "127.0.0.1:0"});
  EXPECT_EQ(second.status, 1);
  EXPECT_TRUE(has(second.err, "a connection manager is already running with the channel folder")) << second.err;
  EXPECT_EQ(stop(), 0);
  EXPECT_FALSE(fs::exists(folder_ / linkchannel::kChannelFileName));
  EXPECT_FALSE(fs::exists(folder_ / linkchannel::kCallPortFileName));
  EXPECT_TRUE(has(log(), "detached: PsPC at 127.0.0.2 (the connection manager stopped)"));
  const Ran after = run({"status"});
  EXPECT_EQ(after.status, 1);
  const std::string channelFile = (folder_ / linkchannel::kChannelFileName).string();
  EXPECT_EQ(after.err, "pspclink: no connection manager is running (no channel file at " + channelFile + ")\n");
}

TEST_F(ManagerTest, AChannelFolderOpenToOthersOrOfAnotherUserIsRefused) {
  fs::create_directory(folder_);
  fs::permissions(folder_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  Ran ran = run({"serve", "--listen", "127.0.0.1:0"});
  EXPECT_EQ(ran.status, 1);
  EXPECT_TRUE(has(ran.err, "the channel folder " + folder_.string() + " is open to others (mode 0750)")) << ran.err;

  if (::geteuid() != 0) GTEST_SKIP() << "giving the folder to another user needs root";
  fs::permissions(folder_, fs::perms::owner_all);
  ASSERT_EQ(::chown(folder_.c_str(), 65534, 65534), 0);
  ran = run({"serve", "--listen", "127.0.0.1:0"});
  EXPECT_TRUE(has(ran.err, "belongs to another user (uid 65534)")) << ran.err;
}

TEST_F(ManagerTest, AStaleChannelFileIsToldAndReplacedAndARestartedManagerTakesTheDeviceBack) {
  // What a killed manager leaves: a channel file naming a port no one serves.
  fs::create_directory(folder_);
  fs::permissions(folder_, fs::perms::owner_all);
  const uint16_t closedPort = [] {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0;
    ::close(fd);
    return bound ? ntohs(a.sin_port) : uint16_t(0);
  }();
  std::ofstream(folder_ / linkchannel::kChannelFileName) << closedPort << " " << std::string(64, 'a') << "\n";
  fs::permissions(folder_ / linkchannel::kChannelFileName, fs::perms::owner_read | fs::perms::owner_write);
  const Ran stale = run({"status"});
  EXPECT_EQ(stale.status, 1);
  const std::string channelFile = (folder_ / linkchannel::kChannelFileName).string();
  EXPECT_TRUE(
      has(stale.err, "no connection manager is running (the channel file " + channelFile + " was left by one that stopped)"))
      << stale.err;

  start();
  auto device = this->device(kDeviceA);
  const std::string before = statusWhen(attached);
  ASSERT_TRUE(attached(before)) << before;

  // The manager restarts: the device's control connection ends with it.
  EXPECT_EQ(stop(SIGINT), 0);
  EXPECT_TRUE(device->closedByPeer());
  EXPECT_FALSE(fs::exists(folder_ / linkchannel::kChannelFileName));
  start(); // listening where the device calls

  auto again = this->device(kDeviceA);
  const std::string after = statusWhen(attached);
  ASSERT_TRUE(attached(after)) << after;
  EXPECT_NE(field(after, "attach"), field(before, "attach")) << "a watch on the old attach must not match the new";
}

} // namespace
} // namespace pspclink::testing
