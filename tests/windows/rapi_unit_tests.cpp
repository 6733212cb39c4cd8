// The parts of rapi.dll that need no device: endpoint syntax and the mapping
// of 32-bit device handles to the caller's handles.
#include "endpoint.h"
#include "handle_map.h"

#include <windows.h>

#include <gtest/gtest.h>

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
  ASSERT_TRUE(rapi::parseEndpoint(rapi::kDefaultEndpoint, e, error)) << error;
  EXPECT_EQ(e.port, 990);
}

TEST(Endpoint, RefusesWhatCannotBeAnEndpoint) {
  const char* bad[] = {"",          "127.0.0.1",   "127.0.0.1:",  ":990",       "host:0",
                       "host:65536", "host:99999", "host:9x",     "host:-1",    "::1:990",
                       "[::1]",     "[::1]990",    "[::1:990",    "host: 990",  "host:1234567"};
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

} // namespace
