// The connection manager's local channel: its lines and its channel file.
#include "link_channel.h"

#include <gtest/gtest.h>

#include <algorithm>

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
  EXPECT_EQ(bytesOfHex("00ff7a"), (std::vector<uint8_t>{0x00, 0xff, 0x7a}));
  EXPECT_EQ(hexOf({0x00, 0xff, 0x7a}), "00ff7a");
  EXPECT_FALSE(bytesOfHex("0"));
}

} // namespace
