// Every request as the desktop sends it: the codec must produce exactly the
// hand-written packet, and the device side must read the same packet back
// into the same arguments.
#include "hex_bytes.h"
#include "rapi_commands.h"

#include <tuple>

using namespace rapiwire;

namespace {

// The arguments that travel, for comparing what was decoded with what was meant.
auto fields(const CreateFileRequest& r) {
  return std::tie(r.path, r.access, r.share, r.disposition, r.flagsAndAttributes, r.templateFile);
}
auto fields(const ReadFileRequest& r) { return std::tie(r.handle, r.hasBuffer, r.count); }
auto fields(const WriteFileRequest& r) { return std::tie(r.handle, r.hasBuffer, r.data); }
auto fields(const CloseHandleRequest& r) { return std::tie(r.handle); }
auto fields(const FindAllFilesRequest& r) { return std::tie(r.pattern, r.flags); }
auto fields(const CreateDirectoryRequest& r) { return std::tie(r.path); }
auto fields(const CreateProcessRequest& r) {
  return std::tie(r.application, r.commandLine, r.inheritHandles, r.creationFlags, r.wantProcessInformation);
}
auto fields(const MoveFileRequest& r) { return std::tie(r.from, r.to); }
auto fields(const DeleteFileRequest& r) { return std::tie(r.path); }
auto fields(const GetFileSizeRequest& r) { return std::tie(r.handle, r.wantHigh); }
auto fields(const RegOpenKeyRequest& r) { return std::tie(r.key, r.subKey); }
auto fields(const RegCreateKeyRequest& r) { return std::tie(r.key, r.subKey, r.className); }
auto fields(const RegCloseKeyRequest& r) { return std::tie(r.key); }
auto fields(const RegQueryValueRequest& r) {
  return std::tie(r.key, r.valueName, r.wantType, r.wantData, r.dataCapacity, r.hasSize);
}
auto fields(const RegSetValueRequest& r) {
  return std::tie(r.key, r.valueName, r.type, r.hasData, r.data, r.byteCount);
}
auto fields(const GetStoreInformationRequest& r) { return std::tie(r.wantInfo); }

struct RequestCase {
  const char* name;
  Request request;
  const char* hex;
};

std::ostream& operator<<(std::ostream& out, const RequestCase& c) { return out << c.name; }

constexpr uint32_t kHandle = 0x1234;
constexpr uint32_t kKey = 0x12345678;
constexpr uint32_t kHkeyCurrentUser = 0x80000001, kHkeyLocalMachine = 0x80000002;

std::vector<RequestCase> requestCases() {
  return {
      {"CreateFileForWriting",
       CreateFileRequest{.path = u"\\Temp\\x.cab", .access = 0x40000000, .share = 0, .disposition = 2,
                         .flagsAndAttributes = 0x80, .templateFile = 0},
       "05000000  00000040 00000000 02000000 80000000 00000000"
       "01000000 0c000000 5c00 5400 6500 6d00 7000 5c00 7800 2e00 6300 6100 6200 0000"},
      {"CreateFileNullPath",
       CreateFileRequest{.path = std::nullopt, .access = 0x80000000, .share = 1, .disposition = 3},
       "05000000  00000080 01000000 03000000 00000000 00000000  00000000"},
      {"CreateFileEmptyPath", CreateFileRequest{.path = u""},
       "05000000  00000000 00000000 00000000 00000000 00000000  01000000 01000000 0000"},

      {"ReadFile4096", ReadFileRequest{.handle = kHandle, .hasBuffer = true, .count = 4096},
       "06000000 34120000  01000000 00100000 00000000  00000000"},
      {"ReadFileNoBuffer", ReadFileRequest{.handle = kHandle, .hasBuffer = false, .count = 0},
       "06000000 34120000  00000000  00000000"},

      {"WriteFile3Bytes", WriteFileRequest{.handle = kHandle, .hasBuffer = true, .data = {'a', 'b', 'c'}},
       "07000000 34120000  01000000 03000000 616263  00000000"},
      {"WriteFileZeroBytes", WriteFileRequest{.handle = kHandle, .hasBuffer = true, .data = {}},
       "07000000 34120000  01000000 00000000  00000000"},
      {"WriteFileNullBuffer", WriteFileRequest{.handle = kHandle, .hasBuffer = false, .data = {}},
       "07000000 34120000  00000000  00000000"},

      {"CloseHandle", CloseHandleRequest{.handle = kHandle}, "08000000 34120000"},

      {"FindAllFilesNameAttributesSize",
       FindAllFilesRequest{.pattern = u"\\*", .flags = kFafName | kFafAttributes | kFafSizeLow},
       "09000000  01000000 03000000 5c00 2a00 0000  a1000000"},
      {"FindAllFilesNullPattern", FindAllFilesRequest{.pattern = std::nullopt, .flags = kFafName},
       "09000000  00000000  80000000"},

      {"CreateDirectory", CreateDirectoryRequest{.path = u"\\Temp"},
       "17000000  01000000 0c000000 01000000 5c00 5400 6500 6d00 7000 0000  00000000"},
      {"CreateDirectoryEmptyPath", CreateDirectoryRequest{.path = u""},
       "17000000  01000000 02000000 01000000 0000  00000000"},
      {"CreateDirectoryNullPath", CreateDirectoryRequest{.path = std::nullopt}, "17000000  00000000  00000000"},

      {"CreateProcessWithCommandLine",
       CreateProcessRequest{.application = u"\\x.exe", .commandLine = u"/s", .inheritHandles = 0,
                            .creationFlags = 4, .wantProcessInformation = true},
       "19000000"
       "01000000 0e000000 01000000 5c00 7800 2e00 6500 7800 6500 0000"
       "01000000 06000000 01000000 2f00 7300 0000"
       "00000000 00000000 00000000 04000000 00000000 00000000 00000000"
       "01000000 10000000 00000000"},
      {"CreateProcessNoCommandLineNoInformation",
       CreateProcessRequest{.application = u"\\x.exe", .commandLine = std::nullopt,
                            .wantProcessInformation = false},
       "19000000"
       "01000000 0e000000 01000000 5c00 7800 2e00 6500 7800 6500 0000"
       "00000000"
       "00000000 00000000 00000000 00000000 00000000 00000000 00000000"
       "00000000"},

      {"MoveFile", MoveFileRequest{.from = u"\\a", .to = u"\\b"},
       "1a000000  01000000 06000000 01000000 5c00 6100 0000  01000000 06000000 01000000 5c00 6200 0000"},

      {"DeleteFileJapaneseName", DeleteFileRequest{.path = u"\\\u65e5"},
       "1c000000  01000000 06000000 01000000 5c00 e565 0000"},
      {"DeleteFileNullPath", DeleteFileRequest{.path = std::nullopt}, "1c000000  00000000"},

      {"GetFileSizeWithHigh", GetFileSizeRequest{.handle = kHandle, .wantHigh = true},
       "1d000000 34120000  01000000 04000000 00000000"},
      {"GetFileSizeWithoutHigh", GetFileSizeRequest{.handle = kHandle, .wantHigh = false},
       "1d000000 34120000  00000000"},

      {"RegOpenKeyEx", RegOpenKeyRequest{.key = kHkeyLocalMachine, .subKey = u"Soft"},
       "1e000000 02000080  01000000 05000000 5300 6f00 6600 7400 0000"},

      {"RegCreateKeyExNullClass",
       RegCreateKeyRequest{.key = kHkeyCurrentUser, .subKey = u"Ab", .className = std::nullopt},
       "20000000 01000080  01000000 03000000 4100 6200 0000  00000000"},
      {"RegCreateKeyExEmptyClass", RegCreateKeyRequest{.key = kHkeyCurrentUser, .subKey = u"Ab", .className = u""},
       "20000000 01000080  01000000 03000000 4100 6200 0000  01000000 01000000 0000"},

      {"RegCloseKey", RegCloseKeyRequest{.key = kKey}, "21000000 78563412"},

      {"RegQueryValueExWithBuffer",
       RegQueryValueRequest{.key = kKey, .valueName = u"V", .wantType = true, .wantData = true,
                            .dataCapacity = 256, .hasSize = true},
       "26000000 78563412"
       "01000000 04000000 01000000 5600 0000" // value name
       "00000000"                             // reserved
       "01000000 04000000 00000000"           // type: out only
       "01000000 00010000 00000000"           // data: 256-byte buffer, out only
       "01000000 04000000 01000000 00010000"},  // byte count travels in
      {"RegQueryValueExSizeOnlyOfDefaultValue",
       RegQueryValueRequest{.key = kKey, .valueName = std::nullopt, .wantType = false, .wantData = false,
                            .dataCapacity = 0, .hasSize = true},
       "26000000 78563412  00000000  00000000  00000000  00000000  01000000 04000000 01000000 00000000"},

      {"RegSetValueExEmptyString",
       RegSetValueRequest{.key = kKey, .valueName = u"V", .type = 1, .hasData = true, .data = {0, 0},
                          .byteCount = 2},
       "27000000 78563412  01000000 04000000 01000000 5600 0000  01000000"
       "01000000 02000000 01000000 0000  02000000"},
      {"RegSetValueExDwordDefaultValue",
       RegSetValueRequest{.key = kKey, .valueName = std::nullopt, .type = 4, .hasData = true,
                          .data = {0x78, 0x56, 0x34, 0x12}, .byteCount = 4},
       "27000000 78563412  00000000  04000000  01000000 04000000 01000000 78563412  04000000"},

      {"GetStoreInformation", GetStoreInformationRequest{.wantInfo = true},
       "29000000  01000000 08000000 00000000"},
  };
}

class RequestCodecTest : public testing::TestWithParam<RequestCase> {};

TEST_P(RequestCodecTest, EncodesToHandWrittenBytes) {
  const RequestCase& c = GetParam();
  Bytes encoded = std::visit([](const auto& r) { return encodeRequest(r); }, c.request);
  EXPECT_EQ(encoded, hexBytes(c.hex));
}

TEST_P(RequestCodecTest, HandWrittenBytesDecodeToTheArguments) {
  const RequestCase& c = GetParam();
  Request decoded;
  uint32_t code = 0;
  ASSERT_EQ(decodeRequest(hexBytes(c.hex), decoded, code), DecodeStatus::Ok);
  EXPECT_EQ(code, uint32_t(requestCommand(c.request)));
  ASSERT_EQ(decoded.index(), c.request.index());
  std::visit(
      [&](const auto& expected) {
        using T = std::decay_t<decltype(expected)>;
        EXPECT_EQ(fields(std::get<T>(decoded)), fields(expected));
      },
      c.request);
}

INSTANTIATE_TEST_SUITE_P(AllCommands, RequestCodecTest, testing::ValuesIn(requestCases()),
                         [](const testing::TestParamInfo<RequestCase>& info) { return info.param.name; });

TEST(RequestCodecTest, RegistryQueryWithBufferLargerThanAnyValueIsClampedNotRefused) {
  // A caller's 2 MB buffer: the device answers within its own limit.
  const Bytes packet = hexBytes("26000000 78563412  01000000 04000000 01000000 5600 0000  00000000"
                                "01000000 04000000 00000000  01000000 00002000 00000000"
                                "01000000 04000000 01000000 00002000");
  Request decoded;
  uint32_t code = 0;
  ASSERT_EQ(decodeRequest(packet, decoded, code), DecodeStatus::Ok);
  const auto& query = std::get<RegQueryValueRequest>(decoded);
  EXPECT_TRUE(query.wantData);
  EXPECT_EQ(query.dataCapacity, kMaxDataBytes);
}

TEST(RequestCodecTest, NulInsideCountedStringEndsTheText) {
  // "ab\0c" sent as four units plus terminator: the device sees "ab".
  const Bytes packet = hexBytes("1e000000 02000080  01000000 05000000 6100 6200 0000 6300 0000");
  Request decoded;
  uint32_t code = 0;
  ASSERT_EQ(decodeRequest(packet, decoded, code), DecodeStatus::Ok);
  EXPECT_EQ(std::get<RegOpenKeyRequest>(decoded).subKey, std::u16string(u"ab"));
}

} // namespace
