// A registry grown by a desktop until its file would be larger than the
// device reads back at its next start: the change that would cross the
// limit is refused, and the device still opens with everything before it.
#include "device_fixture.h"
#include "registry.h"

namespace pspc::testing {
namespace {

TEST(RegistryLimits, AChangeThatWouldMakeTheFileUnreadableIsRefusedAndTheDeviceStillOpens) {
  const fs::path scratch = makeTemporaryFolder();
  const fs::path imageDir = scratch / "image";
  std::string error;
  ASSERT_TRUE(image::create(imageDir, Identity{}, error)) << error;

  // A registry.dat just under the limit, written out directly: blobs are
  // stored as hex, three characters a byte.
  const std::vector<uint8_t> block(kMaxValueBytes, 0xAB);
  std::string hexBlock;
  hexBlock.reserve(3 * kMaxValueBytes);
  for (size_t i = 0; i < kMaxValueBytes; ++i) hexBlock += " ab";
  std::string text = "pspc-registry 1\nkey HKEY_LOCAL_MACHINE \"Software\" \"Blobs\"\n";
  for (char name = 'A'; text.size() + 3 * kMaxValueBytes + 64 < kMaxRegistryFileBytes; ++name)
    text += std::string("value \"Blob") + name + "\" REG_BINARY hex" + hexBlock + "\n";
  writeHostFile(image::registryFile(imageDir), text);
  const fs::path file = image::registryFile(imageDir);
  const auto savedSize = fs::file_size(file);
  const auto savedTime = fs::last_write_time(file);
  ASSERT_LE(savedSize, kMaxRegistryFileBytes);

  // The device opens it, and refuses the value that would cross the limit.
  Device device(imageDir);
  const SessionId session = device.openSession();
  uint32_t key = 0, type = 0, size = 0;
  ASSERT_EQ(device.regOpenKey(session, HKEY_LOCAL_MACHINE, u"Software\\Blobs", key), ERROR_SUCCESS);
  EXPECT_EQ(device.regSetValue(session, key, u"OneMore", REG_BINARY, block), ERROR_REGISTRY_IO_FAILED);
  std::vector<uint8_t> data;
  EXPECT_EQ(device.regQueryValue(session, key, u"OneMore", type, data, 16, size), ERROR_FILE_NOT_FOUND);
  // The file is the one the device opened: it opens again just the same.
  EXPECT_EQ(fs::file_size(file), savedSize);
  EXPECT_EQ(fs::last_write_time(file), savedTime);
  EXPECT_FALSE(fs::exists(file.string() + ".tmp"));

  std::error_code ignored;
  fs::remove_all(scratch, ignored);
}

} // namespace
} // namespace pspc::testing
