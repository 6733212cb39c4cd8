// The object store: capacity from the identity, used space from the files,
// and writes that do not fit refused whole.
#include "device_fixture.h"

namespace pspc::testing {
namespace {

constexpr uint32_t kCapacity = 4096;

class Store : public DeviceTest {
protected:
  Identity identity() const override {
    Identity small;
    small.storeBytes = kCapacity;
    return small;
  }
  uint32_t freeBytes() {
    uint32_t total = 0, free = 0;
    device_->storeInformation(total, free);
    EXPECT_EQ(total, kCapacity);
    return free;
  }
  bool write(uint32_t handle, size_t count, uint32_t& error) {
    const std::vector<uint8_t> data(count, 0x5A);
    uint32_t written = 0;
    const bool ok = device_->writeFile(session_, handle, data.data(), uint32_t(count), written, error);
    EXPECT_EQ(written, ok ? count : 0u);
    return ok;
  }
};

TEST_F(Store, WritesPastTheFreeSpaceFailWholeAndChangeNothing) {
  const uint32_t tool = uint32_t(fs::file_size(hostPath("Windows/MakeZlkData.exe")));
  const uint32_t initiallyFree = freeBytes();
  EXPECT_EQ(initiallyFree, kCapacity - tool);

  uint32_t error = 0;
  const uint32_t handle = createFile(u"\\Temp\\fill.bin", GENERIC_WRITE, 0, CREATE_NEW, error);
  ASSERT_TRUE(write(handle, 1000, error));
  EXPECT_EQ(freeBytes(), initiallyFree - 1000);

  // One write larger than what is left: refused, the file stays as it was.
  EXPECT_FALSE(write(handle, initiallyFree, error));
  EXPECT_EQ(error, ERROR_DISK_FULL);
  EXPECT_EQ(fs::file_size(hostPath("Temp/fill.bin")), 1000u);
  EXPECT_EQ(freeBytes(), initiallyFree - 1000);

  // Exactly what is left fits; then not one byte more.
  ASSERT_TRUE(write(handle, initiallyFree - 1000, error));
  EXPECT_EQ(freeBytes(), 0u);
  EXPECT_FALSE(write(handle, 1, error));
  EXPECT_EQ(error, ERROR_DISK_FULL);
  EXPECT_EQ(fs::file_size(hostPath("Temp/fill.bin")), initiallyFree);
  device_->closeHandle(session_, handle, error);

  // Rewriting bytes a file already has needs no space.
  const uint32_t again = createFile(u"\\Temp\\fill.bin", GENERIC_WRITE, 0, OPEN_EXISTING, error);
  EXPECT_TRUE(write(again, 500, error));
  device_->closeHandle(session_, again, error);

  // Truncation and deletion give the space back; a restart counts the same.
  ASSERT_TRUE(putFile(u"\\Temp\\fill.bin", std::string(100, 'a')));
  EXPECT_EQ(freeBytes(), initiallyFree - 100);
  reopen();
  EXPECT_EQ(freeBytes(), initiallyFree - 100);
  ASSERT_TRUE(device_->deleteFile(u"\\Temp\\fill.bin", error));
  EXPECT_EQ(freeBytes(), initiallyFree);
}

TEST_F(Store, FreeSpaceNeverGoesBelowZero) {
  device_.reset();
  writeHostFile(hostPath("Temp/large.bin"), std::string(kCapacity * 2, 'x')); // put there from the host
  open();
  EXPECT_EQ(freeBytes(), 0u);
  EXPECT_FALSE(putFile(u"\\Temp\\one.bin", "1"));
  EXPECT_EQ(fs::file_size(hostPath("Temp/one.bin")), 0u); // created, but nothing written
}

} // namespace
} // namespace pspc::testing
