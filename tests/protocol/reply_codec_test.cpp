// Every reply as the device sends it: the reply struct must encode to the
// hand-written packet, and that packet must decode, on the desktop side, into
// a struct that knows only what its request asked for.
#include "hex_bytes.h"
#include "rapi_commands.h"

#include <tuple>

using namespace rapiwire;

namespace {

auto fields(const ResultReply& r) { return std::tie(r.lastError, r.result); }
auto fields(const ReadFileReply& r) { return std::tie(r.lastError, r.result, r.data); }
auto fields(const WriteFileReply& r) { return std::tie(r.lastError, r.result, r.written); }
auto fields(const GetFileSizeReply& r) { return std::tie(r.lastError, r.size, r.high); }
auto fields(const CreateProcessReply& r) {
  const ProcessInformation& i = r.information;
  return std::tie(r.lastError, r.result, i.process, i.thread, i.processId, i.threadId);
}
auto fields(const StoreInformationReply& r) {
  return std::tie(r.lastError, r.result, r.hasInfo, r.storeSize, r.freeSize);
}
auto fields(const RegKeyReply& r) { return std::tie(r.lastError, r.status, r.key, r.disposition); }
auto fields(const RegQueryValueReply& r) { return std::tie(r.lastError, r.status, r.type, r.data, r.size); }
auto fields(const FindEntry& e) {
  return std::tie(e.attributes, e.creationTime, e.lastAccessTime, e.lastWriteTime, e.sizeHigh, e.sizeLow, e.oid,
                  e.name);
}

// `expected` must encode to `hex`; `hex` decoded into `decoded` (which carries
// only the request's choices) must give the same fields.
template <typename Body, typename... Context>
void expectReply(const Body& expected, const char* hex, Body decoded, Context... context) {
  SCOPED_TRACE(hex);
  const Bytes packet = hexBytes(hex);
  EXPECT_EQ(expected.encode(), packet);
  uint32_t hresult = 0xdeadbeef;
  ASSERT_EQ(decodeReply(packet, decoded, hresult, context...), ReplyStatus::Ok);
  EXPECT_EQ(fields(decoded), fields(expected));
}

TEST(ReplyCodecTest, LastErrorAndResult) {
  // CeCloseHandle succeeded
  expectReply(ResultReply{.lastError = 0, .result = 1}, "00000000  00000000 01000000", ResultReply{});
  // CeCreateFile: file not found, INVALID_HANDLE_VALUE
  expectReply(ResultReply{.lastError = 2, .result = 0xffffffff}, "00000000  02000000 ffffffff", ResultReply{});
}

TEST(ReplyCodecTest, ReadFileCarriesTheBytesRead) {
  expectReply(ReadFileReply{.lastError = 0, .result = 1, .data = {'a', 'b', 'c'}},
              "00000000  00000000 01000000 03000000 616263", ReadFileReply{}, uint32_t(4096));
  // end of file: success with nothing read
  expectReply(ReadFileReply{.lastError = 0, .result = 1, .data = {}}, "00000000  00000000 01000000 00000000",
              ReadFileReply{}, uint32_t(4096));
}

TEST(ReplyCodecTest, WriteFileReportsBytesWritten) {
  expectReply(WriteFileReply{.lastError = 0, .result = 1, .written = 3}, "00000000  00000000 01000000 03000000",
              WriteFileReply{});
  // zero-byte write
  expectReply(WriteFileReply{.lastError = 0, .result = 1, .written = 0}, "00000000  00000000 01000000 00000000",
              WriteFileReply{});
  // ERROR_DISK_FULL
  expectReply(WriteFileReply{.lastError = 112, .result = 0, .written = 0}, "00000000  70000000 00000000 00000000",
              WriteFileReply{});
}

TEST(ReplyCodecTest, GetFileSizeHighWordOnlyWhenAskedFor) {
  expectReply(GetFileSizeReply{.lastError = 0, .size = 0x1000, .high = 0u, .wantHigh = true},
              "00000000  00000000 00100000  01000000 04000000 01000000 00000000", GetFileSizeReply{});
  // caller passed no high word
  expectReply(GetFileSizeReply{.lastError = 0, .size = 0x1000, .high = std::nullopt, .wantHigh = false},
              "00000000  00000000 00100000  00000000", GetFileSizeReply{});
  // invalid handle: the high word is announced but not filled
  expectReply(GetFileSizeReply{.lastError = 6, .size = 0xffffffff, .high = std::nullopt, .wantHigh = true},
              "00000000  06000000 ffffffff  01000000 04000000 00000000", GetFileSizeReply{});
}

TEST(ReplyCodecTest, CreateProcessInformationTravelsOnlyOnSuccess) {
  expectReply(CreateProcessReply{.lastError = 0, .result = 1, .wantInformation = true,
                                 .information = {.process = 0x11, .thread = 0x22, .processId = 0x33,
                                                 .threadId = 0x44}},
              "00000000  00000000 01000000  01000000 10000000 01000000 11000000 22000000 33000000 44000000",
              CreateProcessReply{});
  // program not found
  expectReply(CreateProcessReply{.lastError = 2, .result = 0, .wantInformation = true, .information = {}},
              "00000000  02000000 00000000  01000000 10000000 00000000", CreateProcessReply{});
}

TEST(ReplyCodecTest, StoreInformationGivesStoreAndFreeSize) {
  expectReply(StoreInformationReply{.lastError = 0, .result = 1, .wantInfo = true, .storeSize = 0x200000,
                                    .freeSize = 0x1000, .hasInfo = true},
              "00000000  00000000 01000000  01000000 08000000 01000000 00002000 00100000",
              StoreInformationReply{});
}

TEST(ReplyCodecTest, RegistryKeyFollowsOnlyOnSuccess) {
  expectReply(RegKeyReply{.lastError = 0, .status = 0, .key = 0x12345678}, "00000000  00000000 00000000 78563412",
              RegKeyReply{});
  // ERROR_FILE_NOT_FOUND: no key follows
  expectReply(RegKeyReply{.lastError = 0, .status = 2}, "00000000  00000000 02000000", RegKeyReply{});
  // CeRegCreateKeyEx: key and REG_CREATED_NEW_KEY
  expectReply(RegKeyReply{.lastError = 0, .status = 0, .key = 0x12345678, .disposition = 1,
                          .withDisposition = true},
              "00000000  00000000 00000000 78563412 01000000", RegKeyReply{.withDisposition = true});
}

TEST(ReplyCodecTest, RegistryQueryOfEmptyStringValue) {
  // REG_SZ "" is one terminator: 2 bytes of data.
  expectReply(RegQueryValueReply{.status = 0, .type = 1, .data = {0, 0}, .size = 2},
              "00000000  00000000 00000000"
              "01000000 04000000 01000000 01000000"  // type REG_SZ
              "01000000 02000000 01000000 0000"      // data
              "01000000 04000000 01000000 02000000", // byte count
              RegQueryValueReply{}, uint32_t(256));
}

TEST(ReplyCodecTest, RegistryQueryMoreDataGivesNeededSizeWithoutData) {
  expectReply(RegQueryValueReply{.status = kErrorMoreData, .type = 3, .data = {}, .size = 8},
              "00000000  00000000 ea000000"
              "01000000 04000000 01000000 03000000"
              "01000000 00000000 00000000"
              "01000000 04000000 01000000 08000000",
              RegQueryValueReply{}, uint32_t(4));
  // value not found: nothing follows the status
  expectReply(RegQueryValueReply{.status = 2, .data = {}}, "00000000  00000000 02000000", RegQueryValueReply{}, uint32_t(4));
}

void expectListing(const FindAllFilesReply& expected, const char* hex) {
  SCOPED_TRACE(hex);
  const Bytes packet = hexBytes(hex);
  EXPECT_EQ(expected.encode(), packet);
  FindAllFilesReply decoded{.flags = expected.flags, .entries = {}};
  uint32_t hresult = 0;
  ASSERT_EQ(decodeReply(packet, decoded, hresult), ReplyStatus::Ok);
  ASSERT_EQ(decoded.entries.size(), expected.entries.size());
  for (size_t i = 0; i < expected.entries.size(); ++i)
    EXPECT_EQ(fields(decoded.entries[i]), fields(expected.entries[i])) << "entry " << i;
}

TEST(ReplyCodecTest, FindAllFilesEntriesCarryTheFieldsTheFlagsSelect) {
  // Name length first, name units last, the selected fields between.
  expectListing({.flags = kFafName | kFafAttributes | kFafSizeLow,
                 .entries = {{.attributes = 0x20, .sizeLow = 5, .name = u"a"},
                             {.attributes = 0x10, .sizeLow = 0, .name = u"\u65e5\u672c"}}},
                "00000000  02000000"
                "02000000 20000000 05000000 6100 0000"
                "03000000 10000000 00000000 e565 2c67 0000");
  // every field: times travel low word first
  expectListing({.flags = 0xff,
                 .entries = {{.attributes = 0x20, .creationTime = 0x0000000200000001,
                              .lastAccessTime = 0x0000000400000003, .lastWriteTime = 0x0000000600000005,
                              .sizeHigh = 7, .sizeLow = 8, .oid = 9, .name = u"a"}}},
                "00000000  01000000"
                "02000000 20000000 01000000 02000000 03000000 04000000 05000000 06000000"
                "07000000 08000000 09000000 6100 0000");
  // empty folder
  expectListing({.flags = kFafName, .entries = {}}, "00000000  00000000");
}

TEST(ReplyCodecTest, RefusedCallCarriesItsHresultWhateverTheCommand) {
  const Bytes packet = hexBytes("01000000 01400080");
  EXPECT_EQ(ErrorReply{.hresult = kHrNotImplemented}.encode(), packet);

  uint32_t hresult = 0;
  ResultReply result;
  EXPECT_EQ(decodeReply(packet, result, hresult), ReplyStatus::RapiError);
  EXPECT_EQ(hresult, kHrNotImplemented);

  hresult = 0;
  FindAllFilesReply listing{.flags = kFafName, .entries = {}};
  EXPECT_EQ(decodeReply(packet, listing, hresult), ReplyStatus::RapiError);
  EXPECT_EQ(hresult, kHrNotImplemented);
}

} // namespace
