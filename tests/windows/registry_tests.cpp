// The device registry as the registration writer uses it: both roots as a
// 64-bit program passes them (sign-extended), REG_SZ values with exact byte
// counts, the default value through a null name; and CeRegQueryValueEx's
// optional arguments as Win32 has them.
#include "device_fixture.h"

#include <cstring>

namespace {

class Registry : public rapitest::DeviceTest {};

// A key opened or created on the device, closed at the end of its scope.
struct DeviceKey {
  HKEY key = nullptr;
  ~DeviceKey() {
    if (key) CeRegCloseKey(key);
  }
};

std::vector<BYTE> textBytes(const wchar_t* text, bool withTerminator = true) {
  size_t bytes = (wcslen(text) + (withTerminator ? 1 : 0)) * sizeof(wchar_t);
  const auto* p = reinterpret_cast<const BYTE*>(text);
  return std::vector<BYTE>(p, p + bytes);
}

LONG setValue(HKEY key, const wchar_t* name, DWORD type, std::vector<BYTE> data) {
  return CeRegSetValueEx(key, name, 0, type, data.data(), DWORD(data.size()));
}

// Reads a value back with a buffer of `capacity` bytes.
LONG queryValue(HKEY key, const wchar_t* name, DWORD& type, std::vector<BYTE>& data, DWORD capacity = 512) {
  data.assign(capacity, 0xCC);
  DWORD size = capacity;
  LONG status = CeRegQueryValueEx(key, name, nullptr, &type, data.data(), &size);
  if (status == ERROR_SUCCESS) data.resize(size);
  return status;
}

TEST_F(Registry, BothRootsTakeValuesWithExactByteCounts) {
  if (sizeof(void*) == 8) {
    // What a 64-bit program passes: the roots sign-extended.
    ASSERT_EQ(reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT), uintptr_t(0xFFFFFFFF80000000ull));
  }
  for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE}) {
    SCOPED_TRACE(root == HKEY_CLASSES_ROOT ? "HKEY_CLASSES_ROOT" : "HKEY_LOCAL_MACHINE");
    const wchar_t* path = L"PsPCTest\\Sub Key";
    {
      DeviceKey created;
      DWORD disposition = 0;
      ASSERT_EQ(CeRegCreateKeyEx(root, path, 0, nullptr, 0, 0, nullptr, &created.key, &disposition), ERROR_SUCCESS);
      EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
      ASSERT_NE(created.key, nullptr);
      EXPECT_EQ(setValue(created.key, nullptr, REG_SZ, textBytes(L"Default text")), ERROR_SUCCESS);
      EXPECT_EQ(setValue(created.key, L"InprocServer32", REG_SZ, textBytes(L"\\Windows\\vbscript.dll")),
                ERROR_SUCCESS);
      // A count without the terminator is kept as given.
      EXPECT_EQ(setValue(created.key, L"NoTerminator", REG_SZ, textBytes(L"abc", false)), ERROR_SUCCESS);
    }
    {
      DeviceKey reopened;
      DWORD disposition = 0;
      ASSERT_EQ(CeRegCreateKeyEx(root, path, 0, nullptr, 0, 0, nullptr, &reopened.key, &disposition), ERROR_SUCCESS);
      EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    }
    DeviceKey opened;
    ASSERT_EQ(CeRegOpenKeyEx(root, path, 0, 0, &opened.key), ERROR_SUCCESS);
    DWORD type = 0;
    std::vector<BYTE> data;
    // The null name wrote the default value, which an empty name also reads.
    ASSERT_EQ(queryValue(opened.key, nullptr, type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(data, textBytes(L"Default text"));
    ASSERT_EQ(queryValue(opened.key, L"", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, textBytes(L"Default text"));
    ASSERT_EQ(queryValue(opened.key, L"inprocserver32", type, data), ERROR_SUCCESS); // names ignore case
    EXPECT_EQ(data, textBytes(L"\\Windows\\vbscript.dll"));
    ASSERT_EQ(queryValue(opened.key, L"NoTerminator", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data.size(), 6u);
  }
}

TEST_F(Registry, QueryHonoursNullArgumentsAndSmallBuffers) {
  DeviceKey key;
  DWORD disposition = 0;
  ASSERT_EQ(CeRegCreateKeyEx(HKEY_LOCAL_MACHINE, L"Software\\PsPCTest", 0, nullptr, 0, 0, nullptr, &key.key,
                             &disposition),
            ERROR_SUCCESS);
  const std::vector<BYTE> binary = {1, 2, 3, 4, 5};
  ASSERT_EQ(setValue(key.key, L"Five", REG_BINARY, binary), ERROR_SUCCESS);

  // Size only.
  DWORD size = 0;
  EXPECT_EQ(CeRegQueryValueEx(key.key, L"Five", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  // Type only, and bare existence.
  DWORD type = 0;
  EXPECT_EQ(CeRegQueryValueEx(key.key, L"Five", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_BINARY));
  EXPECT_EQ(CeRegQueryValueEx(key.key, L"Five", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  // Data without its size is refused, as in Win32.
  BYTE buffer[16] = {};
  EXPECT_EQ(CeRegQueryValueEx(key.key, L"Five", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
  // Too small a buffer: ERROR_MORE_DATA with the size needed, buffer untouched past its size.
  std::memset(buffer, 0xCC, sizeof(buffer));
  size = 3;
  EXPECT_EQ(CeRegQueryValueEx(key.key, L"Five", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(buffer[3], 0xCC);
  // Exactly enough.
  size = 5;
  EXPECT_EQ(CeRegQueryValueEx(key.key, L"Five", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 5), binary);
  EXPECT_EQ(buffer[5], 0xCC);
}

TEST_F(Registry, MissingKeysAndValuesSayNotFound) {
  HKEY key = nullptr;
  EXPECT_EQ(CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, L"Software\\NoSuchKey", 0, 0, &key), ERROR_FILE_NOT_FOUND);
  DeviceKey existing;
  DWORD disposition = 0;
  ASSERT_EQ(CeRegCreateKeyEx(HKEY_CLASSES_ROOT, L".vb", 0, nullptr, 0, 0, nullptr, &existing.key, &disposition),
            ERROR_SUCCESS);
  DWORD type = 0;
  std::vector<BYTE> data;
  EXPECT_EQ(queryValue(existing.key, L"Absent", type, data), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(CeRapiGetError(), S_OK);
}

} // namespace
