// A folder moved under a long name takes its contents with it, and their
// paths may then be longer than a device path may be. The image must still
// open afterwards, with every attribute its files had.
#include "device_fixture.h"

namespace pspc::testing {
namespace {

class MoveLimits : public DeviceTest {};

TEST_F(MoveLimits, AFolderMovedUnderALongNameLeavesAnImageThatOpens) {
  const std::u16string longFile(200, u'f');
  const std::u16string longFolder(200, u'F');
  uint32_t error = 0;
  ASSERT_TRUE(device_->createDirectory(u"\\Short", error)) << error;
  const uint32_t handle = createFile(u"\\Short\\" + longFile, GENERIC_WRITE, 0, CREATE_NEW, error,
                                     FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << error;
  ASSERT_TRUE(device_->closeHandle(session_, handle, error));
  // The file's path becomes 1 + 200 + 1 + 200 units: more than MAX_PATH.
  ASSERT_TRUE(device_->moveFile(u"\\Short", u"\\" + longFolder, error)) << error;

  ASSERT_NO_THROW(reopen());
  const auto entries = find(u"\\" + longFolder + u"\\*");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, longFile);
  EXPECT_EQ(entries[0].attributes, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);

  // Moved back under a short name, it is a file like any other again.
  ASSERT_TRUE(device_->moveFile(u"\\" + longFolder, u"\\Back", error)) << error;
  ASSERT_NO_THROW(reopen());
  const auto back = find(u"\\Back\\*");
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].attributes, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
}

} // namespace
} // namespace pspc::testing
