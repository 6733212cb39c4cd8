// The device registry: keys, values kept byte for byte, handles, the saved
// file and the readable export.
#include "device_fixture.h"
#include "registry.h"

namespace pspc::testing {
namespace {

class RegistryCalls : public DeviceTest {
protected:
  uint32_t createKey(uint32_t root, const std::u16string& path, uint32_t* disposition = nullptr) {
    uint32_t key = 0, made = 0;
    EXPECT_EQ(device_->regCreateKey(session_, root, path, key, made), ERROR_SUCCESS);
    if (disposition) *disposition = made;
    return key;
  }
  uint32_t set(uint32_t key, const std::u16string& name, uint32_t type, const std::vector<uint8_t>& data) {
    return device_->regSetValue(session_, key, name, type, data);
  }
  // Answers the status; `type` and `data` hold what the device gave.
  uint32_t query(uint32_t key, const std::u16string& name, uint32_t& type, std::vector<uint8_t>& data,
                 uint32_t capacity = 4096) {
    uint32_t size = 0;
    const uint32_t status = device_->regQueryValue(session_, key, name, type, data, capacity, size);
    if (status == ERROR_SUCCESS) {
      EXPECT_EQ(size, data.size());
    }
    return status;
  }
};

TEST_F(RegistryCalls, KeysAreCreatedOpenedAndComparedWithoutCase) {
  uint32_t disposition = 0, key = 0;
  const uint32_t made = createKey(HKEY_CLASSES_ROOT, u"CLSID\\{B54F3741}\\InprocServer32", &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  const uint32_t again = createKey(HKEY_CLASSES_ROOT, u"clsid\\{b54f3741}\\INPROCSERVER32", &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_NE(made, again);
  ASSERT_EQ(set(made, u"ThreadingModel", REG_SZ, {'B', 0, 0, 0}), ERROR_SUCCESS);
  uint32_t type = 0;
  std::vector<uint8_t> data;
  EXPECT_EQ(query(again, u"threadingmodel", type, data), ERROR_SUCCESS);

  EXPECT_EQ(device_->regOpenKey(session_, HKEY_CLASSES_ROOT, u"CLSID\\missing", key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(device_->regOpenKey(session_, HKEY_LOCAL_MACHINE, u"CLSID", key), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(device_->regOpenKey(session_, HKEY_CLASSES_ROOT, u"Clsid", key), ERROR_SUCCESS);
  uint32_t self = 0;
  ASSERT_EQ(device_->regOpenKey(session_, key, u"", self), ERROR_SUCCESS); // an empty path opens the key itself
  uint32_t child = 0;
  EXPECT_EQ(device_->regOpenKey(session_, self, u"{B54F3741}\\InprocServer32", child), ERROR_SUCCESS);
  EXPECT_NE(device_->regOpenKey(session_, HKEY_CLASSES_ROOT, u"CLSID\\\\x", key), ERROR_SUCCESS);

  // The case of the first creation is kept.
  std::string text, error;
  ASSERT_TRUE(exportRegistry(imageDir_, text, error)) << error;
  EXPECT_NE(text.find("[HKEY_CLASSES_ROOT\\CLSID\\{B54F3741}\\InprocServer32]"), std::string::npos) << text;
}

TEST_F(RegistryCalls, ValuesKeepTheirTypeAndExactBytes) {
  uint32_t key = createKey(HKEY_LOCAL_MACHINE, u"Software\\Test");
  const std::vector<std::pair<std::u16string, std::pair<uint32_t, std::vector<uint8_t>>>> values = {
      {u"", {REG_SZ, {'V', 0, 'B', 0, 0, 0}}},      // the default value
      {u"EmptySz", {REG_SZ, {0, 0}}},               // an empty string is two bytes
      {u"NoBytes", {REG_SZ, {}}},                   // and no bytes is no bytes
      {u"Odd", {REG_BINARY, {1, 2, 3}}},
      {u"OddSz", {REG_SZ, {'A', 0, 'B'}}},
      {u"Dword", {REG_DWORD, {0x78, 0x56, 0x34, 0x12}}},
      {u"Unusual", {0x1234, {0xFF}}},
      {u"Unterminated", {REG_SZ, {'x', 0}}},
  };
  for (const auto& [name, value] : values) ASSERT_EQ(set(key, name, value.first, value.second), ERROR_SUCCESS);
  auto expectAll = [&] {
    for (const auto& [name, value] : values) {
      uint32_t type = 0;
      std::vector<uint8_t> data{9, 9};
      ASSERT_EQ(query(key, name, type, data), ERROR_SUCCESS) << toUtf8Lossy(name);
      EXPECT_EQ(type, value.first) << toUtf8Lossy(name);
      EXPECT_EQ(data, value.second) << toUtf8Lossy(name);
    }
  };
  expectAll();

  // Replacing takes the new type and bytes; the name keeps its first case.
  ASSERT_EQ(set(key, u"ODD", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_EQ(query(key, u"odd", type, data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(data, (std::vector<uint8_t>{1, 0, 0, 0}));
  ASSERT_EQ(set(key, u"Odd", REG_BINARY, {1, 2, 3}), ERROR_SUCCESS);

  // A small buffer learns the size it needs.
  uint32_t size = 0;
  EXPECT_EQ(device_->regQueryValue(session_, key, u"", type, data, 5, size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(device_->regQueryValue(session_, key, u"", type, data, 6, size), ERROR_SUCCESS);
  EXPECT_EQ(query(key, u"Missing", type, data), ERROR_FILE_NOT_FOUND);

  const auto saved = readFile(imageDir_ / "registry.dat");
  reopen();
  ASSERT_EQ(device_->regOpenKey(session_, HKEY_LOCAL_MACHINE, u"SOFTWARE\\TEST", key), ERROR_SUCCESS);
  expectAll();
  EXPECT_FALSE(fs::exists(imageDir_ / "registry.dat.tmp"));
  EXPECT_EQ(saved, readFile(imageDir_ / "registry.dat"));
}

TEST_F(RegistryCalls, KeyHandlesBelongToTheirSession) {
  const uint32_t key = createKey(HKEY_CURRENT_USER, u"Mine");
  const SessionId other = device_->openSession();
  uint32_t type = 0, size = 0, opened = 0;
  std::vector<uint8_t> data;
  EXPECT_EQ(device_->regSetValue(other, key, u"x", REG_SZ, {0, 0}), ERROR_INVALID_HANDLE);
  EXPECT_EQ(device_->regQueryValue(other, key, u"x", type, data, 10, size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(device_->regOpenKey(other, key, u"", opened), ERROR_INVALID_HANDLE);
  EXPECT_EQ(device_->regCloseKey(other, key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(device_->regOpenKey(session_, 0x80000005u, u"", opened), ERROR_INVALID_HANDLE);
  EXPECT_EQ(device_->regCloseKey(session_, key), ERROR_SUCCESS);
  EXPECT_EQ(device_->regCloseKey(session_, key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(device_->regCloseKey(session_, HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  uint32_t error = 0;
  const uint32_t file = createFile(u"\\Temp\\f", GENERIC_WRITE, 0, CREATE_NEW, error);
  EXPECT_EQ(device_->regCloseKey(session_, file), ERROR_INVALID_HANDLE); // a file is not a key
}

TEST_F(RegistryCalls, AChangeThatCannotBeSavedIsNotMade) {
  const uint32_t key = createKey(HKEY_CLASSES_ROOT, u"VBS");
  // registry.dat cannot be replaced while a folder stands in its place.
  fs::remove(imageDir_ / "registry.dat");
  fs::create_directory(imageDir_ / "registry.dat");
  EXPECT_EQ(set(key, u"", REG_SZ, {0, 0}), ERROR_REGISTRY_IO_FAILED);
  uint32_t type = 0, made = 0, disposition = 0;
  std::vector<uint8_t> data;
  EXPECT_EQ(query(key, u"", type, data), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(device_->regCreateKey(session_, HKEY_CLASSES_ROOT, u"New\\Deeper", made, disposition),
            ERROR_REGISTRY_IO_FAILED);
  EXPECT_EQ(device_->regOpenKey(session_, HKEY_CLASSES_ROOT, u"New", made), ERROR_FILE_NOT_FOUND);
}

// ---- registry.dat and the export, without a device

RegistryValue value(std::u16string name, uint32_t type, std::vector<uint8_t> data) {
  return RegistryValue{std::move(name), type, std::move(data)};
}

TEST(RegistryFile, RoundTripsAnyNameAndAnyBytes) {
  Registry registry;
  RegistryKey *key = nullptr, *created = nullptr;
  ASSERT_EQ(registry.createKey(*registry.root(HKEY_CLASSES_ROOT), u"Odd \"key\"\\\u00c9t\u00e9 \t]", key, created), 0u);
  key->setValue(value(u"", REG_SZ, {'q', 0, '"', 0, '\\', 0, 0, 0}));
  key->setValue(value(u"back\\slash \"quoted\"", REG_BINARY, {}));
  key->setValue(value(std::u16string(1, char16_t(0xD800)) + u"\n\x01", REG_EXPAND_SZ, {0xD8, 0x00, 0, 0}));
  key->setValue(value(u"\U0001F600", 0xFFFFFFFFu, {0, 1, 2}));
  key->setValue(value(u"dw", REG_DWORD, {1, 2, 3, 4}));
  key->setValue(value(u"dw5", REG_DWORD, {1, 2, 3, 4, 5}));
  RegistryKey* empty = nullptr;
  ASSERT_EQ(registry.createKey(*registry.root(HKEY_LOCAL_MACHINE), u"Empty\\Key", empty, created), 0u);

  const std::string text = registry.serialize();
  Registry reread;
  std::string error;
  ASSERT_TRUE(reread.parse(text, error)) << error << "\n" << text;
  EXPECT_EQ(reread.serialize(), text);
  RegistryKey* back = nullptr;
  ASSERT_EQ(reread.openKey(*reread.root(HKEY_CLASSES_ROOT), u"ODD \"KEY\"\\\u00c9T\u00c9 \t]", back), 0u);
  ASSERT_EQ(back->values().size(), key->values().size());
  for (const auto& [folded, stored] : key->values()) {
    const RegistryValue* copy = back->value(stored.name);
    ASSERT_NE(copy, nullptr) << toUtf8Lossy(stored.name);
    EXPECT_EQ(*copy, stored);
  }
  EXPECT_EQ(reread.openKey(*reread.root(HKEY_LOCAL_MACHINE), u"empty\\key", back), 0u);
  // Strings read as text in the file.
  EXPECT_NE(text.find("value \"\" REG_SZ text \"q\\\"\\\\\""), std::string::npos) << text;
}

TEST(RegistryFile, DamagedFilesAreRefusedNamingTheLine) {
  const std::pair<const char*, const char*> damaged[] = {
      {"something else\n", "line 1"},
      {"pspc-registry 1\nvalue \"x\" REG_SZ hex 00\n", "line 2"},
      {"pspc-registry 1\nkey HKEY_NOWHERE \"a\"\n", "line 2"},
      {"pspc-registry 1\nkey HKEY_CLASSES_ROOT\nvalue \"x\" REG_SZ hex 0g\n", "line 3"},
      {"pspc-registry 1\nkey HKEY_CLASSES_ROOT\nvalue \"x REG_SZ hex 00\n", "line 3"},
      {"pspc-registry 1\nkey HKEY_CLASSES_ROOT\nvalue \"x\" REG_SZ text \"bad \\q\"\n", "line 3"},
      {"pspc-registry 1\nkey HKEY_CLASSES_ROOT\nvalue \"x\" REG_SZ hex\nvalue \"X\" REG_SZ hex\n", "line 4"},
      {"pspc-registry 1\nkey HKEY_CLASSES_ROOT \"\"\n", "line 2"},
      {"pspc-registry 1\nkey HKEY_CLASSES_ROOT\nvalue \"x\" REG_DWORD dword 12\n", "line 3"},
      {"pspc-registry 1\ndelete everything\n", "line 2"},
  };
  for (const auto& [text, line] : damaged) {
    Registry registry;
    std::string error;
    EXPECT_FALSE(registry.parse(text, error)) << text;
    EXPECT_NE(error.find(line), std::string::npos) << text << " -> " << error;
  }
}

TEST(RegistryFile, ExportShowsEveryValueWithItsByteCount) {
  Registry registry;
  RegistryKey *vbs = nullptr, *created = nullptr;
  ASSERT_EQ(registry.createKey(*registry.root(HKEY_CLASSES_ROOT), u"VBS", vbs, created), 0u);
  const std::u16string text = u"VBScript Language";
  std::vector<uint8_t> sz;
  for (char16_t unit : text + u'\0') sz.insert(sz.end(), {uint8_t(unit), uint8_t(unit >> 8)});
  vbs->setValue(value(u"", REG_SZ, sz));
  vbs->setValue(value(u"Empty", REG_SZ, {0, 0}));
  vbs->setValue(value(u"Flags", REG_DWORD, {1, 0, 0, 0}));
  vbs->setValue(value(u"Blob", REG_BINARY, {1, 2, 0xAB}));
  vbs->setValue(value(u"One", REG_SZ, {'x'}));
  RegistryKey* ado = nullptr;
  ASSERT_EQ(registry.createKey(*registry.root(HKEY_LOCAL_MACHINE), u"Software\\ADO", ado, created), 0u);

  EXPECT_EQ(registry.exportText(),
            "[HKEY_CLASSES_ROOT\\VBS]\n"
            "@=REG_SZ:\"VBScript Language\" (36 bytes)\n"
            "\"Blob\"=REG_BINARY:hex:01,02,ab (3 bytes)\n"
            "\"Empty\"=REG_SZ:\"\" (2 bytes)\n"
            "\"Flags\"=REG_DWORD:0x00000001 (4 bytes)\n"
            "\"One\"=REG_SZ:hex:78 (1 byte)\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\ADO]\n"
            "\n");
}

} // namespace
} // namespace pspc::testing
