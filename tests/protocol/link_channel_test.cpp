// The connection manager's local channel: its lines, its channel file and
// the device record, which the manager writes and `pspclink status` and
// rapi.dll read with the one parser.
#include "link_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

namespace {

using namespace linkchannel;

TEST(LinkChannel, ValuesSurviveTheLineWhateverTheyHold) {
  const std::string name = "Palm PC 日本 %=x\n";
  const std::string line = formatLine("device", {{"name", name}, {"address", "192.168.131.201"}, {"empty", ""}});
  EXPECT_EQ(std::count(line.begin(), line.end(), ' '), 3) << "no blank inside a value: " << line;
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << "one line: " << line;
  EXPECT_NE(line.find("address=192.168.131.201 "), std::string::npos) << line;
  Line parsed;
  ASSERT_TRUE(parseLine(line.substr(0, line.size() - 1), parsed));
  EXPECT_EQ(parsed.name, "device");
  ASSERT_NE(parsed.option("name"), nullptr);
  EXPECT_EQ(*parsed.option("name"), name);
  EXPECT_EQ(*parsed.option("empty"), "");
  EXPECT_EQ(parsed.option("missing"), nullptr);
}

TEST(LinkChannel, MalformedLinesAreRefused) {
  Line line;
  EXPECT_TRUE(parseLine("hello 00ff", line));
  EXPECT_EQ(line.words, std::vector<std::string>{"00ff"});
  EXPECT_TRUE(parseLine("wait-device timeout=100\r", line));
  EXPECT_EQ(*line.option("timeout"), "100");
  EXPECT_FALSE(parseLine("", line));
  EXPECT_FALSE(parseLine("   ", line));
  EXPECT_FALSE(parseLine("status a=1 a=2", line)) << "an option given twice";
  EXPECT_FALSE(parseLine("status =1", line)) << "an option without a name";
  EXPECT_FALSE(parseLine("status a=%4", line)) << "a cut escape";
  EXPECT_FALSE(parseLine("status a=%zz", line));
  EXPECT_FALSE(parseLine("status a=b\"c", line)) << "a character that is never sent bare";
  EXPECT_FALSE(parseLine(std::string(kMaxLineBytes + 1, 'x'), line));
}

TEST(LinkChannel, TheChannelFileNamesAPortAndAWholeToken) {
  const std::string token(kTokenBytes * 2, 'a');
  const auto file = parseChannelFile(formatChannelFile({5680, token}));
  ASSERT_TRUE(file);
  EXPECT_EQ(file->port, 5680);
  EXPECT_EQ(file->token, token);
  EXPECT_FALSE(parseChannelFile("0 " + token));
  EXPECT_FALSE(parseChannelFile("65536 " + token));
  EXPECT_FALSE(parseChannelFile("5680 " + token.substr(2))) << "a short token";
  EXPECT_FALSE(parseChannelFile("5680 " + std::string(kTokenBytes * 2, 'g')));
  EXPECT_FALSE(parseChannelFile("5680"));
  EXPECT_FALSE(parseChannelFile("000080 " + token)) << "more digits than a port has";
  EXPECT_FALSE(parseChannelFile("+80 " + token));
  EXPECT_EQ(bytesOfHex("00ff7a"), (std::vector<uint8_t>{0x00, 0xff, 0x7a}));
  EXPECT_EQ(bytesOfHex("00FF7A"), (std::vector<uint8_t>{0x00, 0xff, 0x7a})) << "either case, as escapes";
  EXPECT_EQ(hexOf({0x00, 0xff, 0x7a}), "00ff7a");
  EXPECT_FALSE(bytesOfHex("0"));
  EXPECT_FALSE(bytesOfHex("0g"));
}

// A record line of the fields given, in this order; a field whose value is
// nullopt is left out.
using Fields = std::vector<std::pair<std::string, std::optional<std::string>>>;

const Fields kFullRecord = {
    {"name", "My PsPC"},  {"platform", "Palm PC"},       {"model", "X"},     {"os", "2.11"},
    {"build", "0"},       {"cpu", "4000"},               {"address", "192.168.131.201"},
    {"rapi-port", "990"}, {"since", "1700000000"},       {"attach", "12"},   {"locked", "1"},
    {"state", "unlocked"}, {"prelude", "04003b003b00"},
};

std::string recordWith(const std::string& key, const std::optional<std::string>& value) {
  std::vector<std::pair<std::string, std::string>> fields;
  bool replaced = false;
  for (const auto& [name, given] : kFullRecord) {
    const std::optional<std::string>& taken = name == key ? value : given;
    replaced = replaced || name == key;
    if (taken) fields.emplace_back(name, *taken);
  }
  if (!replaced && value) fields.emplace_back(key, *value);
  std::string line = formatLine("device", fields);
  line.pop_back();
  return line;
}

bool readRecord(const std::string& text, DeviceRecord& record, std::string& reason) {
  Line line;
  return parseLine(text, line) && parseDeviceRecord(line, record, reason);
}

TEST(DeviceRecord, ReadsBackEveryFieldAsWritten) {
  DeviceRecord written;
  written.name = "Palm PC 日本 %=x";
  written.platform = "Palm PC";
  written.model = "MP-1";
  written.osMajor = 2;
  written.osMinor = 11;
  written.build = 348;
  written.cpu = 4000;
  written.address = "192.168.131.201";
  written.rapiPort = controlwire::kRapiPort;
  written.since = -1; // a clock before the epoch still writes a record that reads
  written.attach = UINT64_MAX;
  written.locked = true;
  written.usable = true;
  written.password = "accepted";
  written.prelude = controlwire::encodePassword(u"ab", 0x5a);
  for (bool withPrelude : {false, true}) {
    std::string text = formatDeviceRecord(written, withPrelude);
    text.pop_back();
    DeviceRecord read;
    std::string reason;
    ASSERT_TRUE(readRecord(text, read, reason)) << reason << ": " << text;
    EXPECT_EQ(read.name, written.name);
    EXPECT_EQ(read.model, written.model);
    EXPECT_EQ(read.osMinor, 11u);
    EXPECT_EQ(read.build, 348u);
    EXPECT_EQ(read.address, written.address);
    EXPECT_EQ(read.rapiPort, controlwire::kRapiPort);
    EXPECT_EQ(read.since, -1);
    EXPECT_EQ(read.attach, UINT64_MAX);
    EXPECT_TRUE(read.locked && read.usable);
    EXPECT_EQ(read.password, "accepted");
    EXPECT_EQ(read.prelude, withPrelude ? written.prelude : std::vector<uint8_t>{});
  }
}

TEST(DeviceRecord, WithoutAPasswordFieldTheLockTellsIt) {
  const std::pair<std::string, std::optional<std::string>> changes[] = {
      {"password", std::nullopt}, {"state", "locked"}, {"locked", "0"}, {"rapi-port", "65535"}, {"address", "0.0.0.255"}};
  const char* passwords[] = {"accepted", "refused", "none", "accepted", "accepted"};
  for (size_t i = 0; i < std::size(changes); ++i) {
    DeviceRecord read;
    std::string reason;
    const std::string text = recordWith(changes[i].first, changes[i].second);
    ASSERT_TRUE(readRecord(text, read, reason)) << reason << ": " << text;
    EXPECT_EQ(read.password, passwords[i]) << text;
  }
}

TEST(DeviceRecord, ARecordWithAFieldMissingOrUnreadableIsRefused) {
  const std::pair<const char*, std::optional<std::string>> bad[] = {
      {"name", std::nullopt},
      {"platform", std::nullopt},
      {"model", std::nullopt},
      {"os", std::nullopt},
      {"os", "2"},
      {"os", "2.x"},
      {"os", "-2.11"},
      {"build", std::nullopt},
      {"build", "1e3"},
      {"cpu", "4000 "},
      {"address", std::nullopt},
      {"address", "pspc.local"}, // a name, not an address
      {"address", "1.2.3"},
      {"address", "1.2.3.4.5"},
      {"address", "1.2.3.256"},
      {"address", "1..3.4"},
      {"address", "1.2.3.0004"},
      {"rapi-port", std::nullopt},
      {"rapi-port", "0"},
      {"rapi-port", "65536"},
      {"rapi-port", "+990"},
      {"since", std::nullopt},
      {"since", "soon"},
      {"attach", std::nullopt},
      {"attach", "18446744073709551616"},
      {"attach", "-1"},
      {"locked", std::nullopt},
      {"locked", "yes"},
      {"state", std::nullopt},
      {"state", "busy"},
      {"prelude", "0400aa"},     // shorter than its count
      {"prelude", "0100aa"},     // an odd count
      {"prelude", "0200aabb00"}, // longer than its count
      {"prelude", "0000"},       // not even a terminator
      {"prelude", "zz"},
  };
  for (const auto& [key, value] : bad) {
    const std::string text = recordWith(key, value);
    DeviceRecord read;
    read.rapiPort = 7;
    std::string reason;
    EXPECT_FALSE(readRecord(text, read, reason)) << text;
    EXPECT_FALSE(reason.empty()) << text;
    EXPECT_EQ(read.rapiPort, 7) << "a refused record leaves the one given alone: " << text;
  }
  Line line;
  DeviceRecord read;
  std::string reason;
  ASSERT_TRUE(parseLine("gone", line));
  EXPECT_FALSE(parseDeviceRecord(line, read, reason));
}

} // namespace
