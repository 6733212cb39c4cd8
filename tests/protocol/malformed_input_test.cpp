// Bytes that can never be a valid packet: each must be turned away as
// malformed (or as an unknown command), never read past its end and never
// used to size an allocation. The native build runs these under ASan/UBSan.
#include "hex_bytes.h"
#include "rapi_commands.h"

#include <functional>

using namespace rapiwire;

#ifdef __SANITIZE_ADDRESS__
// A count announced by the peer must never size an allocation. Nothing these
// tests decode legitimately needs more than a few megabytes at once, so any
// larger single allocation stops the run instead of passing quietly on a
// machine that overcommits memory.
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=64"; }
#endif

namespace {

DecodeStatus decodeRequestBytes(const Bytes& packet) {
  Request request;
  uint32_t code = 0;
  return decodeRequest(packet, request, code);
}

struct MalformedRequest {
  const char* name;
  const char* hex;
};

std::ostream& operator<<(std::ostream& out, const MalformedRequest& c) { return out << c.name; }

const MalformedRequest kMalformedRequests[] = {
    {"Empty", ""},
    {"ShortCommandCode", "050000"},
    {"ShortHandle", "08000000 3412"},
    {"MissingOverlappedWord", "06000000 34120000 01000000 00100000 00000000"},
    {"StringUnitsRunPastFrame",
     "05000000 00000000 00000000 00000000 00000000 00000000  01000000 10000000 5c00 0000"},
    {"OptionalStringBytesRunPastFrame", "1c000000  01000000 00010000 01000000 5c00 0000"},
    {"OptionalStringOddByteCount", "1c000000  01000000 03000000 01000000 5c0000"},
    {"StringPresenceWordTwo", "1e000000 02000080  02000000 01000000 0000"},
    {"OptionalStringPresenceWordTwo", "1c000000  02000000"},
    {"OptionalStringDataFlagTwo", "1c000000  01000000 04000000 02000000 5c00 0000"},
    {"OptionalInPresenceAllOnes", "07000000 34120000  ffffffff 00000000"},
    {"OptionalOutDataFlagTwo", "29000000  01000000 08000000 02000000"},
    {"WriteAnnouncingTwoGigabytes", "07000000 34120000  01000000 ffffff7f 616263  00000000"},
    {"GetFileSizeHighWordOfEightBytes", "1d000000 34120000  01000000 08000000 00000000"},
    {"TrailingByteAfterHandle", "08000000 34120000 00"},
    {"TrailingWordAfterStoreRecord", "29000000  01000000 08000000 00000000  00000000"},
};

class MalformedRequestTest : public testing::TestWithParam<MalformedRequest> {};

TEST_P(MalformedRequestTest, IsRejected) {
  EXPECT_EQ(decodeRequestBytes(hexBytes(GetParam().hex)), DecodeStatus::Malformed);
}

INSTANTIATE_TEST_SUITE_P(Requests, MalformedRequestTest, testing::ValuesIn(kMalformedRequests),
                         [](const testing::TestParamInfo<MalformedRequest>& info) { return info.param.name; });

TEST(UnknownCommandTest, IsReportedWithItsCodeWhateverFollows) {
  struct Case {
    const char* hex;
    uint32_t code;
  };
  const Case cases[] = {
      {"ff000000", 0xff},
      {"00000000  01000000 03000000 5c00 2a00 0000", 0x00}, // CeFindFirstFile: not served
      {"44000000  ffffffff ffffffff", 0x44},
      {"efbeadde", 0xdeadbeef},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    Request request;
    uint32_t code = 0;
    EXPECT_EQ(decodeRequest(hexBytes(c.hex), request, code), DecodeStatus::UnknownCommand);
    EXPECT_EQ(code, c.code);
  }
}

// Packets too large to write out, built around a cap: one at the cap decodes,
// one past it is rejected even though every announced byte is present.
Bytes regOpenKeyWithUnits(uint32_t units) {
  Bytes packet = hexBytes("1e000000 02000080 01000000");
  appendU32(packet, units);
  for (uint32_t i = 0; i + 1 < units; ++i) packet.insert(packet.end(), {'A', 0});
  packet.insert(packet.end(), {0, 0});
  return packet;
}

Bytes writeFileWithBytes(uint32_t size) {
  Bytes packet = hexBytes("07000000 34120000 01000000");
  appendU32(packet, size);
  packet.resize(packet.size() + size, 0x5a);
  appendU32(packet, 0);
  return packet;
}

Bytes regSetValueWithBytes(uint32_t size) {
  Bytes packet = hexBytes("27000000 78563412 00000000 03000000 01000000");
  appendU32(packet, size);
  appendU32(packet, 1);
  packet.resize(packet.size() + size, 0x5a);
  appendU32(packet, size);
  return packet;
}

TEST(CapTest, RequestLengthsAreCheckedAgainstTheirCaps) {
  struct Case {
    const char* what;
    std::function<Bytes(uint32_t)> build;
    uint32_t cap;
  };
  const Case cases[] = {
      {"counted string units", regOpenKeyWithUnits, kMaxStringUnits},
      {"write data", writeFileWithBytes, kMaxDataBytes},
      {"registry value data", regSetValueWithBytes, kMaxDataBytes},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(decodeRequestBytes(c.build(c.cap)), DecodeStatus::Ok);
    EXPECT_EQ(decodeRequestBytes(c.build(c.cap + 1)), DecodeStatus::Malformed);
  }
}

struct MalformedReply {
  const char* name;
  const char* hex;
  std::function<ReplyStatus(const Bytes&, uint32_t&)> decode;
};

std::ostream& operator<<(std::ostream& out, const MalformedReply& c) { return out << c.name; }

template <typename Body, typename... Context>
std::function<ReplyStatus(const Bytes&, uint32_t&)> as(Body prototype, Context... context) {
  return [=](const Bytes& packet, uint32_t& hresult) {
    Body body = prototype;
    return decodeReply(packet, body, hresult, context...);
  };
}

const FindAllFilesReply kNameAttributesSize{.flags = kFafName | kFafAttributes | kFafSizeLow, .entries = {}};

std::vector<MalformedReply> malformedReplies() {
  return {
      {"Empty", "", as(ResultReply{})},
      {"StatusOnly", "00000000", as(ResultReply{})},
      {"ResultMissing", "00000000  00000000", as(ResultReply{})},
      {"RefusedWithoutHresult", "01000000", as(ResultReply{})},
      {"StatusWordTwo", "02000000  00000000 01000000", as(ResultReply{})},
      {"TrailingByte", "00000000  00000000 01000000 00", as(ResultReply{})},
      {"ReadMoreThanRequested", "00000000  00000000 01000000 05000000 6162636465", as(ReadFileReply{}, 4u)},
      {"ReadBytesRunPastFrame", "00000000  00000000 01000000 03000000 6162", as(ReadFileReply{}, 4096u)},
      {"ReadCountAboveDataCap", "00000000  00000000 01000000 ffffffff 6162", as(ReadFileReply{}, 0xffffffffu)},
      {"FileSizeHighWordOfTwoBytes", "00000000  00000000 00100000  01000000 02000000 01000000 0000",
       as(GetFileSizeReply{})},
      {"ProcessInformationDataFlagTwo", "00000000  00000000 01000000  01000000 10000000 02000000",
       as(CreateProcessReply{})},
      {"RegistryKeyMissing", "00000000  00000000 00000000", as(RegKeyReply{})},
      {"RegistryDataLargerThanBuffer",
       "00000000  00000000 00000000  01000000 04000000 01000000 01000000"
       "01000000 02000000 01000000 0000  01000000 04000000 01000000 02000000",
       as(RegQueryValueReply{}, 1u)},
      {"ListingOfTwoGigaEntriesInTinyPacket", "00000000  00000080  02000000 20000000 05000000 6100 0000",
       as(kNameAttributesSize)},
      {"ListingCountBeyondItsBytes", "00000000  e8030000  02000000 20000000 05000000 6100 0000",
       as(kNameAttributesSize)},
      {"ListingNameRunsPastFrame", "00000000  01000000  10000000 20000000 05000000 6100 0000",
       as(kNameAttributesSize)},
      {"ListingNameLengthAllOnes", "00000000  01000000  ffffffff 20000000 05000000 6100 0000",
       as(kNameAttributesSize)},
  };
}

class MalformedReplyTest : public testing::TestWithParam<MalformedReply> {};

TEST_P(MalformedReplyTest, IsRejected) {
  uint32_t hresult = 0;
  EXPECT_EQ(GetParam().decode(hexBytes(GetParam().hex), hresult), ReplyStatus::Malformed);
}

INSTANTIATE_TEST_SUITE_P(Replies, MalformedReplyTest, testing::ValuesIn(malformedReplies()),
                         [](const testing::TestParamInfo<MalformedReply>& info) { return info.param.name; });

TEST(CapTest, ListedNameLongerThanAPathIsRejected) {
  auto listingWithName = [](uint32_t units) {
    Bytes packet = hexBytes("00000000 01000000");
    appendU32(packet, units);
    for (uint32_t i = 0; i + 1 < units; ++i) packet.insert(packet.end(), {'A', 0});
    packet.insert(packet.end(), {0, 0});
    return packet;
  };
  FindAllFilesReply listing{.flags = kFafName, .entries = {}};
  uint32_t hresult = 0;
  ASSERT_EQ(decodeReply(listingWithName(kMaxPathUnits), listing, hresult), ReplyStatus::Ok);
  EXPECT_EQ(listing.entries.at(0).name.size(), kMaxPathUnits - 1);
  EXPECT_EQ(decodeReply(listingWithName(kMaxPathUnits + 1), listing, hresult), ReplyStatus::Malformed);
}

} // namespace
