// Winsock before rapi.h, which brings in windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "device_fixture.h"

#include <cstdlib>

namespace rapitest {

std::string environment(const char* name) {
  char buffer[1024];
  DWORD length = GetEnvironmentVariableA(name, buffer, sizeof(buffer));
  return length && length < sizeof(buffer) ? std::string(buffer, length) : std::string();
}

std::string tellEmulator(const std::string& command) {
  static bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  std::string endpoint = environment("PSPC_EMULATOR_CONSOLE");
  size_t colon = endpoint.rfind(':');
  if (!started || colon == std::string::npos) return "";
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* address = nullptr;
  if (getaddrinfo(endpoint.substr(0, colon).c_str(), endpoint.substr(colon + 1).c_str(), &hints, &address) != 0)
    return "";
  SOCKET s = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  std::string answer;
  if (s != INVALID_SOCKET && connect(s, address->ai_addr, int(address->ai_addrlen)) == 0) {
    DWORD timeout = kHangGuardMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    std::string line = command + "\n";
    send(s, line.data(), int(line.size()), 0);
    char c;
    while (answer.size() < 4096 && recv(s, &c, 1, 0) == 1 && c != '\n') answer.push_back(c);
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
  }
  if (s != INVALID_SOCKET) closesocket(s);
  freeaddrinfo(address);
  return answer;
}

HRESULT connectDevice() {
  RAPIINIT init{};
  init.cbSize = sizeof(init);
  HRESULT hr = CeRapiInitEx(&init);
  if (FAILED(hr)) return hr;
  if (WaitForSingleObject(init.heRapiInit, kHangGuardMs) != WAIT_OBJECT_0) return HRESULT_FROM_WIN32(WAIT_TIMEOUT);
  return init.hrRapiInit;
}

ULONGLONG elapsedSince(ULONGLONG start) { return GetTickCount64() - start; }

void DeviceTest::SetUp() {
  ASSERT_FALSE(environment("PSPC_RAPI_ENDPOINT").empty()) << "run through with-emulator.sh";
  ASSERT_EQ(connectDevice(), S_OK) << "no emulator answered at " << environment("PSPC_RAPI_ENDPOINT");
}

void DeviceTest::TearDown() { CeRapiUninit(); }

void writeDeviceFile(const wchar_t* path, const std::vector<BYTE>& content) {
  DeviceFile file(CeCreateFile(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
  ASSERT_TRUE(file.valid()) << "last error " << CeGetLastError();
  for (size_t offset = 0; offset < content.size(); offset += 4096) {
    DWORD chunk = DWORD(std::min<size_t>(4096, content.size() - offset));
    DWORD written = 0;
    ASSERT_TRUE(CeWriteFile(file.get(), content.data() + offset, chunk, &written, nullptr));
    ASSERT_EQ(written, chunk);
  }
}

std::vector<BYTE> readDeviceFile(const wchar_t* path) {
  std::vector<BYTE> content;
  DeviceFile file(CeCreateFile(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(file.valid()) << "last error " << CeGetLastError();
  if (!file.valid()) return content;
  BYTE buffer[2600];
  for (;;) {
    DWORD got = 0;
    if (!CeReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr)) {
      ADD_FAILURE() << "CeReadFile failed, last error " << CeGetLastError();
      break;
    }
    if (got == 0) break;
    content.insert(content.end(), buffer, buffer + got);
  }
  return content;
}

std::vector<BYTE> patternBytes(size_t size, unsigned seed) {
  std::vector<BYTE> bytes(size);
  unsigned state = seed * 2654435761u + 1;
  for (BYTE& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = BYTE(state >> 16);
  }
  return bytes;
}

} // namespace rapitest
