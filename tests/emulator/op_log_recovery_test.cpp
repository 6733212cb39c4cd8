// The op log after the emulator was killed in the middle of a record: the
// next serving's records start on lines of their own and go on numbering.
#include "device_fixture.h"
#include "op_log.h"

namespace pspc::testing {
namespace {

std::vector<std::string> lines(const fs::path& file) {
  std::vector<std::string> out;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class OpLogRecovery : public ::testing::Test {
protected:
  void SetUp() override { scratch_ = makeTemporaryFolder(); }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }
  fs::path scratch_;
};

TEST_F(OpLogRecovery, ARecordCutByAKillDoesNotSwallowTheNextOne) {
  const fs::path file = scratch_ / "oplog.jsonl";
  writeHostFile(file, "{\"seq\":1,\"op\":\"connect\"}\n{\"seq\":2,\"op\":\"CeWriteFile\",\"data\":\"0a0b");
  {
    OpLog log(file);
    log.write(1, "CeCloseHandle", JsonObject().add("handle", 4100u));
  }
  const auto written = lines(file);
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[1], "{\"seq\":2,\"op\":\"CeWriteFile\",\"data\":\"0a0b");
  const auto record = parseFlatJson(written[2]);
  ASSERT_TRUE(record) << written[2];
  EXPECT_EQ(field(*record, "op"), "CeCloseHandle");
  EXPECT_EQ(field(*record, "seq"), "3");
}

TEST_F(OpLogRecovery, AWholeLogGoesOnWithoutABlankLine) {
  const fs::path file = scratch_ / "oplog.jsonl";
  writeHostFile(file, "{\"seq\":1,\"op\":\"connect\"}\n");
  {
    OpLog log(file);
    log.write(1, "disconnect", JsonObject());
  }
  const auto written = lines(file);
  ASSERT_EQ(written.size(), 2u);
  const auto record = parseFlatJson(written[1]);
  ASSERT_TRUE(record) << written[1];
  EXPECT_EQ(field(*record, "seq"), "2");
}

} // namespace
} // namespace pspc::testing
