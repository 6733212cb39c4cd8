// The parts of rapi.dll that need no device: endpoint syntax, the mapping
// of 32-bit device handles to the caller's handles, where the connection
// manager's channel file is found and how its device records are read.
#include "endpoint.h"
#include "handle_map.h"
#include "manager_route.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <map>

namespace {

TEST(Endpoint, AcceptsHostAndPort) {
  rapi::Endpoint e;
  std::string error;
  ASSERT_TRUE(rapi::parseEndpoint("127.0.0.1:990", e, error)) << error;
  EXPECT_EQ(e.host, "127.0.0.1");
  EXPECT_EQ(e.port, 990);
  ASSERT_TRUE(rapi::parseEndpoint("localhost:65535", e, error)) << error;
  EXPECT_EQ(e.host, "localhost");
  EXPECT_EQ(e.port, 65535);
  ASSERT_TRUE(rapi::parseEndpoint("[::1]:1", e, error)) << error;
  EXPECT_EQ(e.host, "::1");
  EXPECT_EQ(e.port, 1);
  ASSERT_TRUE(rapi::parseEndpoint("127.0.0.1:990", e, error)) << error;
  EXPECT_EQ(e.port, 990);
}

TEST(Endpoint, RefusesWhatCannotBeAnEndpoint) {
  const char* bad[] = {"",           "127.0.0.1",  "127.0.0.1:", ":990",      "host:0",
                       "host:65536", "host:99999", "host:9x",    "host:-1",   "::1:990",
                       "[::1]",      "[::1]990",   "[::1:990",   "host: 990", "host:1234567"};
  for (const char* text : bad) {
    rapi::Endpoint e;
    std::string error;
    EXPECT_FALSE(rapi::parseEndpoint(text, e, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(Endpoint, ReplyTimeoutIsWholeMillisecondsWithinBounds) {
  uint32_t ms = 0;
  EXPECT_TRUE(rapi::parseReplyTimeout("100", ms));
  EXPECT_EQ(ms, 100u);
  EXPECT_TRUE(rapi::parseReplyTimeout("600000", ms));
  EXPECT_EQ(ms, 600000u);
  for (const char* bad : {"", "99", "600001", "9999999", "1e3", "-5", "20 s"})
    EXPECT_FALSE(rapi::parseReplyTimeout(bad, ms)) << bad;
}

TEST(HandleMap, RootsAndInvalidHandleTravelAsDeviceValues) {
  EXPECT_EQ(rapi::toDeviceHandle(reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT)), 0x80000000u);
  EXPECT_EQ(rapi::toDeviceHandle(reinterpret_cast<uintptr_t>(HKEY_CURRENT_USER)), 0x80000001u);
  EXPECT_EQ(rapi::toDeviceHandle(reinterpret_cast<uintptr_t>(HKEY_LOCAL_MACHINE)), 0x80000002u);
  EXPECT_EQ(rapi::toDeviceHandle(reinterpret_cast<uintptr_t>(INVALID_HANDLE_VALUE)), 0xFFFFFFFFu);
  EXPECT_EQ(rapi::toDeviceHandle(0x1234), 0x1234u);
}

TEST(HandleMap, DeviceValuesComeBackAsTheCallerDefinesThem) {
  EXPECT_EQ(reinterpret_cast<HANDLE>(rapi::toHostHandle(0xFFFFFFFFu)), INVALID_HANDLE_VALUE);
  EXPECT_EQ(reinterpret_cast<HKEY>(rapi::toHostHandle(0x80000000u)), HKEY_CLASSES_ROOT);
  EXPECT_EQ(reinterpret_cast<HKEY>(rapi::toHostHandle(0x80000002u)), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(reinterpret_cast<HKEY>(rapi::toHostHandle(0x80000005u)), HKEY_CURRENT_CONFIG);
  // Ordinary device handles, even with the top bit set, are not sign-extended.
  EXPECT_EQ(rapi::toHostHandle(0x80000006u), uintptr_t(0x80000006u));
  EXPECT_EQ(rapi::toHostHandle(0xFFFFFFFEu), uintptr_t(0xFFFFFFFEu));
  EXPECT_EQ(rapi::toHostHandle(0x10u), uintptr_t(0x10u));
  EXPECT_EQ(rapi::toHostHandle(0u), uintptr_t(0u));
  for (uint32_t device : {0x10u, 0x7FFFFFFFu, 0x80000000u, 0x80000003u, 0x80000006u, 0xFFFFFFFFu})
    EXPECT_EQ(rapi::toDeviceHandle(rapi::toHostHandle(device)), device);
}

// The channel file from a given environment; Unix paths shown as "unix:PATH".
std::wstring channelFileIn(const std::map<std::wstring, std::wstring>& variables) {
  return rapi::channelFilePath(
      [&](const wchar_t* name) {
        auto it = variables.find(name);
        return it == variables.end() ? std::wstring() : it->second;
      },
      [](const std::wstring& unixPath) { return L"unix:" + unixPath; });
}

TEST(ChannelFile, ComesFromTheManagersFolderInTheOrderPspclinkServeChoosesIt) {
  const std::wstring home = L"\\??\\Z:\\home\\user";
  EXPECT_EQ(channelFileIn(
                {{L"PSPCLINK_DIR", L"/srv/link/"}, {L"XDG_RUNTIME_DIR", L"/run/user/1000"}, {L"WINEHOMEDIR", home}}),
            L"unix:/srv/link/channel");
  EXPECT_EQ(channelFileIn({{L"XDG_RUNTIME_DIR", L"/run/user/1000"}, {L"WINEHOMEDIR", home}}),
            L"unix:/run/user/1000/pspclink/channel");
  // Wine gives HOME only as WINEHOMEDIR, an NT path: written as a Win32 one.
  EXPECT_EQ(channelFileIn({{L"WINEHOMEDIR", home}}), L"\\\\?\\Z:\\home\\user\\.pspclink\\channel");
  EXPECT_EQ(channelFileIn({}), L"");
}

TEST(ChannelFile, UnixPathsReachTheWindowsSideThroughWinesDrives) {
  // Wine maps the root folder to Z:.
  EXPECT_EQ(rapi::dosPathOf(L"/tmp/pspclink/channel"), L"Z:\\tmp\\pspclink\\channel");
}

// The record itself is read by link_channel.h's parser (tests/protocol):
// here, what rapi.dll makes of the answers to wait-device.
const std::string kRecord = "device name=My%20PsPC platform=Palm%20PC model=X os=2.11 build=0 cpu=4000 "
                            "address=192.168.131.201 rapi-port=990 since=1700000000 attach=12 locked=1 ";

rapi::AnswerKind read(const std::string& line, linkchannel::DeviceRecord& device) {
  std::string reason;
  rapi::AnswerKind kind = rapi::readDeviceAnswer(line, device, reason);
  if (kind == rapi::AnswerKind::Malformed) {
    EXPECT_FALSE(reason.empty()) << line;
  }
  return kind;
}

TEST(DeviceAnswer, ARecordGivesTheWayToTheDevice) {
  linkchannel::DeviceRecord device;
  ASSERT_EQ(read(kRecord + "state=unlocked prelude=04003b003b00", device), rapi::AnswerKind::Device);
  EXPECT_EQ(device.name, "My PsPC");
  EXPECT_EQ(device.address, "192.168.131.201");
  EXPECT_EQ(device.rapiPort, controlwire::kRapiPort);
  EXPECT_EQ(device.attach, 12u);
  EXPECT_EQ(device.prelude, (std::vector<uint8_t>{4, 0, 0x3b, 0, 0x3b, 0}));
  EXPECT_EQ(read("none", device), rapi::AnswerKind::None);
  std::string reason;
  EXPECT_EQ(rapi::readDeviceAnswer("error not allowed", device, reason), rapi::AnswerKind::Refused);
  EXPECT_EQ(reason, "not allowed");
}

TEST(DeviceAnswer, OnlyARecordOfAnUnlockedDeviceOpensRapi) {
  const std::string bad[] = {
      kRecord + "state=locked",
      kRecord + "state=unlocked prelude=0400aa", // the record itself does not read
      "gone",
      "",
      "device a=%zz",
  };
  for (const std::string& line : bad) {
    linkchannel::DeviceRecord device;
    device.rapiPort = 7;
    EXPECT_EQ(read(line, device), rapi::AnswerKind::Malformed) << line;
    EXPECT_EQ(device.rapiPort, 7) << "a refused answer leaves the device alone: " << line;
  }
}

} // namespace
