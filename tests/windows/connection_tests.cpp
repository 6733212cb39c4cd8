// Requesting, waiting for, ending and renewing the connection, as the setup
// program does: CeRapiInitEx with a wait on its event, CeRapiInit for the
// renewal, CeRapiUninit at every end.
#include "device_fixture.h"

namespace {

using rapitest::connectDevice;
using rapitest::tellEmulator;
using rapitest::elapsedSince;

// A call that needs the device, for checking whether there is one.
bool storeInformationWorks() {
  STORE_INFORMATION info{};
  return CeGetStoreInformation(&info) != FALSE;
}

TEST(Connection, InitExReturnsAtOnceAndSignalsWhenConnected) {
  RAPIINIT init{};
  init.cbSize = sizeof(init);
  ULONGLONG start = GetTickCount64();
  ASSERT_EQ(CeRapiInitEx(&init), S_OK);
  EXPECT_LT(elapsedSince(start), 500u);
  ASSERT_NE(init.heRapiInit, nullptr);
  ASSERT_EQ(WaitForSingleObject(init.heRapiInit, rapitest::kHangGuardMs), WAIT_OBJECT_0);
  EXPECT_EQ(init.hrRapiInit, S_OK);
  EXPECT_TRUE(storeInformationWorks());
  EXPECT_EQ(CeRapiGetError(), S_OK);

  // A second request while connected is refused and changes nothing.
  RAPIINIT again{};
  again.cbSize = sizeof(again);
  EXPECT_EQ(CeRapiInitEx(&again), CERAPI_E_ALREADYINITIALIZED);
  EXPECT_EQ(CeRapiInit(), CERAPI_E_ALREADYINITIALIZED);
  EXPECT_TRUE(storeInformationWorks());

  EXPECT_EQ(CeRapiUninit(), S_OK);
  // The event stays usable after the connection has ended: the caller may still wait on it.
  EXPECT_EQ(WaitForSingleObject(init.heRapiInit, 0), WAIT_OBJECT_0);
}

TEST(Connection, InitExRefusesARecordOfTheWrongSize) {
  RAPIINIT init{};
  init.cbSize = sizeof(init) + 4;
  EXPECT_EQ(CeRapiInitEx(&init), E_INVALIDARG);
  EXPECT_EQ(CeRapiInitEx(nullptr), E_INVALIDARG);
}

TEST(Connection, UninitTwiceAndWithoutConnectionIsHarmless) {
  ASSERT_EQ(connectDevice(), S_OK);
  EXPECT_EQ(CeRapiUninit(), S_OK);
  HRESULT second = CeRapiUninit();
  EXPECT_TRUE(second == S_OK || second == E_FAIL) << std::hex << second;
  HRESULT third = CeRapiUninit();
  EXPECT_TRUE(third == S_OK || third == E_FAIL) << std::hex << third;
}

TEST(Connection, CallsWithoutConnectionFailAtOnceAndSayWhy) {
  CeRapiUninit();
  ULONGLONG start = GetTickCount64();
  EXPECT_EQ(CeCreateFile(L"\\Windows\\x", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(CeRapiGetError(), HRESULT_FROM_WIN32(ERROR_NOT_CONNECTED));
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_NOT_CONNECTED));
  EXPECT_EQ(CeGetFileSize(reinterpret_cast<HANDLE>(4), nullptr), 0xFFFFFFFFu);
  EXPECT_FALSE(CeDeleteFile(L"\\Temp\\x"));
  HKEY key = nullptr;
  EXPECT_NE(CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, L"Software", 0, 0, &key), ERROR_SUCCESS);
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_NOT_CONNECTED));
  EXPECT_LT(elapsedSince(start), 1000u);
}

TEST(Connection, InitWaitsForTheDeviceAndRenewsTheConnection) {
  // The transfer's renewal: end the connection, then CeRapiInit until connected.
  ASSERT_EQ(connectDevice(), S_OK);
  ASSERT_TRUE(storeInformationWorks());
  ASSERT_EQ(CeRapiUninit(), S_OK);
  EXPECT_FALSE(storeInformationWorks());
  ASSERT_EQ(CeRapiInit(), S_OK);
  EXPECT_TRUE(storeInformationWorks());
  EXPECT_EQ(CeRapiUninit(), S_OK);
}

TEST(Connection, InitExKeepsTryingUntilTheDeviceIsPluggedIn) {
  ASSERT_EQ(tellEmulator("unplug").rfind("ok", 0), 0u);
  RAPIINIT init{};
  init.cbSize = sizeof(init);
  ULONGLONG start = GetTickCount64();
  ASSERT_EQ(CeRapiInitEx(&init), S_OK);
  EXPECT_LT(elapsedSince(start), 500u);
  EXPECT_EQ(WaitForSingleObject(init.heRapiInit, 2000), DWORD(WAIT_TIMEOUT));
  EXPECT_FALSE(storeInformationWorks());
  EXPECT_EQ(CeGetLastError(), DWORD(ERROR_NOT_CONNECTED));

  ASSERT_EQ(tellEmulator("plug").rfind("ok", 0), 0u);
  ASSERT_EQ(WaitForSingleObject(init.heRapiInit, rapitest::kHangGuardMs), WAIT_OBJECT_0);
  EXPECT_EQ(init.hrRapiInit, S_OK);
  EXPECT_TRUE(storeInformationWorks());
  CeRapiUninit();
}

TEST(Connection, UninitEndsAPendingAttempt) {
  ASSERT_EQ(tellEmulator("unplug").rfind("ok", 0), 0u);
  RAPIINIT init{};
  init.cbSize = sizeof(init);
  ASSERT_EQ(CeRapiInitEx(&init), S_OK);
  EXPECT_EQ(WaitForSingleObject(init.heRapiInit, 500), DWORD(WAIT_TIMEOUT));
  ULONGLONG start = GetTickCount64();
  EXPECT_EQ(CeRapiUninit(), S_OK);
  EXPECT_LT(elapsedSince(start), 3000u);
  // The attempt has ended, without a connection.
  EXPECT_EQ(WaitForSingleObject(init.heRapiInit, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(FAILED(init.hrRapiInit));

  // Plugged in again, a new request connects even though the old one was cut short.
  ASSERT_EQ(tellEmulator("plug").rfind("ok", 0), 0u);
  EXPECT_EQ(connectDevice(), S_OK);
  EXPECT_TRUE(storeInformationWorks());
  CeRapiUninit();
}

TEST(Connection, UninitFromAnotherThreadEndsAWaitingInit) {
  ASSERT_EQ(tellEmulator("unplug").rfind("ok", 0), 0u);
  HRESULT initResult = S_OK;
  HANDLE waiter = CreateThread(
      nullptr, 0,
      [](void* result) -> DWORD {
        *static_cast<HRESULT*>(result) = CeRapiInit();
        return 0;
      },
      &initResult, 0, nullptr);
  ASSERT_NE(waiter, nullptr);
  EXPECT_EQ(WaitForSingleObject(waiter, 1000), DWORD(WAIT_TIMEOUT)); // still waiting for a device
  CeRapiUninit();
  EXPECT_EQ(WaitForSingleObject(waiter, rapitest::kHangGuardMs), WAIT_OBJECT_0);
  CloseHandle(waiter);
  EXPECT_TRUE(FAILED(initResult));
  ASSERT_EQ(tellEmulator("plug").rfind("ok", 0), 0u);
}

} // namespace
