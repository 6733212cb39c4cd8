// rapi.dll against a scripted device on a loopback socket, for what a real
// device rarely does: malformed or oversized replies, hanging up mid-reply,
// refusing a call, claiming more data than was asked for. Each must fail the
// call with its failure value, leave the caller's buffers alone, and (but for
// a refusal) drop the link.
#include "fake_device.h"

#include "rapi.h"

#include "absent_arguments.h"
#include "hex_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

using rapitest::FakeDevice;
using rapitest::storeReply;

Bytes framed(const Bytes& payload) { return rapiwire::frame(payload); }

class FakeDeviceTest : public ::testing::Test {
protected:
  void connectTo(const FakeDevice& device) {
    SetEnvironmentVariableA("PSPC_RAPI_ENDPOINT", device.endpoint().c_str());
    ASSERT_EQ(CeRapiInit(), S_OK);
  }
  void TearDown() override { CeRapiUninit(); }

  static void expectDropped(HRESULT why) {
    EXPECT_EQ(CeRapiGetError(), why);
    EXPECT_EQ(CeGetLastError(), DWORD(ERROR_CONNECTION_ABORTED));
    // And it stays dropped, at once.
    STORE_INFORMATION info{};
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(CeGetStoreInformation(&info));
    EXPECT_LT(GetTickCount64() - start, 1000u);
    EXPECT_EQ(CeRapiGetError(), HRESULT_FROM_WIN32(ERROR_CONNECTION_ABORTED));
    EXPECT_EQ(CeGetLastError(), DWORD(ERROR_CONNECTION_ABORTED));
  }
};

TEST_F(FakeDeviceTest, AMalformedReplyDropsTheLink) {
  Bytes badStatus = framed({7, 0, 0, 0});
  FakeDevice device({storeReply(1000, 600), badStatus}, FakeDevice::AfterScript::HoldOpen);
  connectTo(device);
  STORE_INFORMATION info{};
  ASSERT_TRUE(CeGetStoreInformation(&info));
  EXPECT_EQ(info.dwStoreSize, 1000u);
  EXPECT_EQ(info.dwFreeSize, 600u);
  EXPECT_FALSE(CeGetStoreInformation(&info));
  expectDropped(HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
}

TEST_F(FakeDeviceTest, AnOversizedLengthFailsAtOnceWithoutWaitingForIt) {
  FakeDevice device({{0xF0, 0xFF, 0xFF, 0xFF}}, FakeDevice::AfterScript::HoldOpen);
  connectTo(device);
  ULONGLONG start = GetTickCount64();
  EXPECT_EQ(CeGetFileSize(reinterpret_cast<HANDLE>(5), nullptr), 0xFFFFFFFFu);
  EXPECT_LT(GetTickCount64() - start, 2000u);
  expectDropped(HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
}

TEST_F(FakeDeviceTest, AHangUpMidReplyFailsTheCall) {
  FakeDevice device({{100, 0, 0, 0, 0, 0, 0, 0, 1, 2}}, FakeDevice::AfterScript::Close);
  connectTo(device);
  EXPECT_FALSE(CeDeleteFile(L"\\Temp\\x"));
  expectDropped(HRESULT_FROM_WIN32(ERROR_CONNECTION_ABORTED));
}

TEST_F(FakeDeviceTest, ADeviceThatNeverRepliesTimesOut) {
  SetEnvironmentVariableA("PSPC_RAPI_REPLY_TIMEOUT_MS", "300");
  FakeDevice device({Bytes{}}, FakeDevice::AfterScript::HoldOpen); // takes the request, says nothing
  connectTo(device);
  SetEnvironmentVariableA("PSPC_RAPI_REPLY_TIMEOUT_MS", nullptr);
  ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(CeMoveFile(L"\\Temp\\a", L"\\Temp\\b"));
  EXPECT_LT(GetTickCount64() - start, 5000u);
  expectDropped(HRESULT_FROM_WIN32(ERROR_TIMEOUT));
}

TEST_F(FakeDeviceTest, ARefusalKeepsTheLinkAndSaysWhy) {
  FakeDevice device({framed(rapiwire::ErrorReply{0x80004001u}.encode()), storeReply(10, 5)},
                    FakeDevice::AfterScript::HoldOpen);
  connectTo(device);
  EXPECT_FALSE(CeCreateDirectory(L"\\Temp\\New", nullptr));
  EXPECT_EQ(CeRapiGetError(), E_NOTIMPL);
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_CALL_NOT_IMPLEMENTED));
  STORE_INFORMATION info{};
  EXPECT_TRUE(CeGetStoreInformation(&info));
  EXPECT_EQ(CeRapiGetError(), S_OK);
}

TEST_F(FakeDeviceTest, MoreDataThanAskedForNeverReachesTheBuffer) {
  rapiwire::ReadFileReply read;
  read.result = 1;
  read.data.assign(64, 0xAB); // 64 bytes for a 16-byte read
  rapiwire::RegQueryValueReply query;
  query.status = 0;
  query.type = REG_BINARY;
  query.data.assign(32, 0xCD); // 32 bytes for an 8-byte buffer
  query.size = 32;
  FakeDevice device({framed(read.encode())}, FakeDevice::AfterScript::HoldOpen);
  connectTo(device);
  BYTE buffer[32];
  std::memset(buffer, 0x11, sizeof(buffer));
  DWORD got = 99;
  EXPECT_FALSE(CeReadFile(reinterpret_cast<HANDLE>(5), buffer, 16, &got, nullptr));
  EXPECT_EQ(got, 0u);
  for (BYTE b : buffer) ASSERT_EQ(b, 0x11);
  expectDropped(HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
  CeRapiUninit();

  FakeDevice registry({framed(query.encode())}, FakeDevice::AfterScript::HoldOpen);
  connectTo(registry);
  DWORD size = 8, type = 0;
  EXPECT_NE(CeRegQueryValueEx(reinterpret_cast<HKEY>(0x40), L"v", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  for (BYTE b : buffer) ASSERT_EQ(b, 0x11);
}

TEST_F(FakeDeviceTest, HandlesAndRootsCrossAs32BitDeviceValues) {
  rapiwire::RegKeyReply opened;
  opened.key = 0x12345678u;
  rapiwire::ResultReply invalidFile;
  invalidFile.result = 0xFFFFFFFFu;
  invalidFile.lastError = ERROR_FILE_NOT_FOUND;
  rapiwire::ResultReply file;
  file.result = 0x80000010u;
  FakeDevice device({framed(opened.encode()), framed(invalidFile.encode()), framed(file.encode())},
                    FakeDevice::AfterScript::HoldOpen);
  connectTo(device);
  HKEY key = nullptr;
  ASSERT_EQ(CeRegOpenKeyEx(HKEY_CLASSES_ROOT, L"CLSID", 0, 0, &key), ERROR_SUCCESS);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(key), uintptr_t(0x12345678u));
  EXPECT_EQ(CeCreateFile(L"\\x", GENERIC_READ, 1, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  // An ordinary handle with the top bit set is not taken for a negative number.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(CeCreateFile(L"\\y", GENERIC_READ, 1, nullptr, OPEN_EXISTING, 0, nullptr)),
            uintptr_t(0x80000010u));

  std::vector<Bytes> requests = device.requests();
  ASSERT_EQ(requests.size(), 3u);
  rapiwire::Request request;
  uint32_t code = 0;
  ASSERT_EQ(rapiwire::decodeRequest(requests[0], request, code), rapiwire::DecodeStatus::Ok);
  auto* open = std::get_if<rapiwire::RegOpenKeyRequest>(&request);
  ASSERT_NE(open, nullptr);
  EXPECT_EQ(open->key, 0x80000000u); // HKEY_CLASSES_ROOT, whatever its width here
  EXPECT_EQ(open->subKey, std::u16string(u"CLSID"));
}

// An argument left out goes as librapi2 sends it, the form devices know.
TEST_F(FakeDeviceTest, ArgumentsLeftOutTravelAsASingleZeroWord) {
  rapiwire::ReadFileReply read;
  read.result = 1;
  read.hasBuffer = false;
  rapiwire::WriteFileReply written;
  written.result = 1;
  rapiwire::CreateProcessReply process;
  process.result = 1;
  process.wantInformation = true;
  FakeDevice device({framed(read.encode()), framed(written.encode()), framed(process.encode())},
                    FakeDevice::AfterScript::HoldOpen);
  connectTo(device);
  const HANDLE file = reinterpret_cast<HANDLE>(uintptr_t(absentarguments::kHandle));
  DWORD count = 99;
  EXPECT_TRUE(CeReadFile(file, nullptr, 0, &count, nullptr));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(CeWriteFile(file, nullptr, 0, &count, nullptr));
  PROCESS_INFORMATION information{};
  EXPECT_TRUE(CeCreateProcess(L"\\Windows\\MakeZlkData.exe", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              nullptr, &information));
  const std::vector<Bytes> requests = device.requests();
  ASSERT_EQ(requests.size(), std::size(absentarguments::kCases));
  for (size_t i = 0; i < requests.size(); ++i)
    EXPECT_EQ(requests[i], hexBytes(absentarguments::kCases[i].requestHex)) << absentarguments::kCases[i].call;
}

// rapi.dll takes in whatever has arrived and keeps what goes past the reply:
// each call must still get its own reply, whole, however the bytes came.
TEST_F(FakeDeviceTest, EachCallGetsItsOwnReplyHoweverTheBytesArrive) {
  rapiwire::ReadFileReply large;
  large.result = 1;
  large.data.resize(300000); // more than one receive takes in
  for (size_t i = 0; i < large.data.size(); ++i) large.data[i] = uint8_t(i * 7 + i / 251);
  Bytes twoAtOnce = storeReply(1000, 600);
  const Bytes second = storeReply(2000, 900);
  twoAtOnce.insert(twoAtOnce.end(), second.begin(), second.end());
  // The first request gets two replies in one delivery, the second none (its
  // reply is already there), then a large reply and a small one after it.
  FakeDevice device({twoAtOnce, Bytes{}, framed(large.encode()), storeReply(3000, 1200)},
                    FakeDevice::AfterScript::HoldOpen);
  connectTo(device);
  STORE_INFORMATION info{};
  ASSERT_TRUE(CeGetStoreInformation(&info));
  EXPECT_EQ(info.dwStoreSize, 1000u);
  ASSERT_TRUE(CeGetStoreInformation(&info));
  EXPECT_EQ(info.dwStoreSize, 2000u);
  EXPECT_EQ(info.dwFreeSize, 900u);
  std::vector<BYTE> buffer(large.data.size());
  DWORD got = 0;
  ASSERT_TRUE(CeReadFile(reinterpret_cast<HANDLE>(5), buffer.data(), DWORD(buffer.size()), &got, nullptr));
  ASSERT_EQ(got, large.data.size());
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), large.data.begin()));
  ASSERT_TRUE(CeGetStoreInformation(&info));
  EXPECT_EQ(info.dwStoreSize, 3000u);
  EXPECT_EQ(info.dwFreeSize, 1200u);
}

} // namespace

namespace {

TEST(Endpoint, AnUnusableEndpointEndsTheRequestAtOnce) {
  SetEnvironmentVariableA("PSPC_RAPI_ENDPOINT", "no port here");
  RAPIINIT init{};
  init.cbSize = sizeof(init);
  EXPECT_EQ(CeRapiInitEx(&init), E_INVALIDARG);
  // A caller that only waits on the event still sees the request end.
  ASSERT_NE(init.heRapiInit, nullptr);
  EXPECT_EQ(WaitForSingleObject(init.heRapiInit, 0), WAIT_OBJECT_0);
  EXPECT_EQ(init.hrRapiInit, E_INVALIDARG);
  EXPECT_EQ(CeRapiInit(), E_INVALIDARG);
  // Nothing was started, so there is nothing to end.
  EXPECT_EQ(CeRapiUninit(), E_FAIL);
  SetEnvironmentVariableA("PSPC_RAPI_ENDPOINT", nullptr);
}

} // namespace
