// uidriver's line format and the client's reading of its answers, without
// Wine: texts must survive the trip byte for byte, whatever they hold.
#include "line_format.h"
#include "uidriver_client.h"

#include <gtest/gtest.h>

namespace {

using namespace uidriver;

std::string decodedValue(const std::string& line, size_t index) {
  std::vector<Word> words;
  std::string error;
  EXPECT_TRUE(splitWords(line, words, error)) << error;
  if (index >= words.size()) return "<missing>";
  DecodedText text;
  EXPECT_TRUE(decodeText(words[index].value, text, error)) << error;
  return text.bytes;
}

TEST(LineFormat, QuotedTextsSurviveBlanksQuotesBreaksAndControlBytes) {
  const std::string texts[] = {
      "",
      "plain",
      "two  blanks and a trailing one ",
      "say \"hi\" \\ back\\slash",
      "line one\r\nline two\ttab",
      std::string("nul\0and\x01\x1f\x7f", 10),
      "テスト ﾀｰｹﾞｯﾄ ",
      "key=value inside",
  };
  for (const auto& text : texts) {
    const std::string quoted = quoteText(text);
    EXPECT_EQ(quoted.find('\n'), std::string::npos) << "an answer must stay on one line";
    EXPECT_EQ(decodedValue("kind a=1 text=" + quoted + " b=2", 2), text) << quoted;
  }
}

TEST(LineFormat, HexTextsCarryCodePageBytesExactly) {
  // Code page 932 texts hold bytes such as 0x5C ('\') as the second byte of a
  // character, and trailing blanks; both must come back unchanged.
  const std::string bytes = std::string("\x83\x5C\x20\xC0\xB0\x00\xFF", 7);
  const std::string hex = hexText(bytes);
  EXPECT_EQ(hex, "x:835C20C0B000FF");
  EXPECT_EQ(decodedValue("t=" + hex, 0), bytes);
  EXPECT_EQ(decodedValue("t=x:835c", 0), "\x83\x5C") << "lower-case digits are accepted";
  EXPECT_EQ(decodedValue("t=x:", 0), "");

  DecodedText text;
  std::string error;
  EXPECT_FALSE(decodeText("x:835", text, error)) << "an odd number of digits";
  EXPECT_FALSE(decodeText("x:8G", text, error)) << "not a hex digit";
}

TEST(LineFormat, WordsSplitIntoKeysAndValues) {
  std::vector<Word> words;
  std::string error;
  ASSERT_TRUE(splitWords("  wait-window  title=\"a b=c\" hidden timeout=500 ", words, error)) << error;
  ASSERT_EQ(words.size(), 4u);
  EXPECT_EQ(words[0].key, "");
  EXPECT_EQ(words[0].value, "wait-window");
  EXPECT_EQ(words[1].key, "title");
  EXPECT_EQ(words[1].value, "\"a b=c\"");
  EXPECT_EQ(words[2].key, "");
  EXPECT_EQ(words[2].value, "hidden");
  EXPECT_EQ(words[3].key, "timeout");
  EXPECT_EQ(words[3].value, "500");

  ASSERT_TRUE(splitWords("\"x=y\"", words, error));
  ASSERT_EQ(words.size(), 1u);
  EXPECT_EQ(words[0].key, "") << "an '=' inside a quoted bare value makes no key";

  EXPECT_FALSE(splitWords("title=\"no end", words, error));
  EXPECT_NE(error.find("closing quote"), std::string::npos);
  EXPECT_FALSE(splitWords("title=\"bad \\q escape\"", words, error));
  EXPECT_FALSE(splitWords("title=\"short \\x4\"", words, error));

  DecodedText text;
  EXPECT_FALSE(decodeText("\"a\"b", text, error)) << "nothing may follow the closing quote";
}

TEST(LineFormat, NumbersAreDecimalOrHexAndNeverOverflow) {
  int64_t value = 0;
  uint64_t unsignedValue = 0;
  EXPECT_TRUE(parseInteger("-1", value));
  EXPECT_EQ(value, -1);
  EXPECT_TRUE(parseInteger("0x10", value));
  EXPECT_EQ(value, 16);
  EXPECT_TRUE(parseUnsigned("0xFFFFFFFFFFFFFFFF", unsignedValue));
  EXPECT_EQ(unsignedValue, UINT64_MAX);
  EXPECT_TRUE(parseInteger("-9223372036854775808", value));
  EXPECT_EQ(value, INT64_MIN);

  EXPECT_FALSE(parseUnsigned("18446744073709551616", unsignedValue)) << "one past the largest";
  EXPECT_FALSE(parseUnsigned("0x1FFFFFFFFFFFFFFFF", unsignedValue));
  EXPECT_FALSE(parseInteger("9223372036854775808", value));
  EXPECT_FALSE(parseUnsigned("", unsignedValue));
  EXPECT_FALSE(parseUnsigned("0x", unsignedValue));
  EXPECT_FALSE(parseUnsigned("12a", unsignedValue));
  EXPECT_FALSE(parseUnsigned("-1", unsignedValue));
  EXPECT_FALSE(parseInteger("--1", value));
  EXPECT_EQ(hexNumber(0), "0x0");
  EXPECT_EQ(hexNumber(0x10046), "0x10046");
}

TEST(AnswerRecords, ControlLinesBecomeTypedFacts) {
  const std::string line =
      "control hwnd=0x4004E id=-1 class=\"Button\" text=x:8365 text.utf8=\"テ\" style=0x58012003 exstyle=0x1004 "
      "enabled=0 visible=1 checked=1 rect=380,321,530,339 client=-18,21,168,39";
  uidriver::ControlInfo control = uidriver::toControlInfo(uidriver::parseRecord(line));
  EXPECT_EQ(control.hwnd, 0x4004Eu);
  EXPECT_EQ(control.id, -1);
  EXPECT_EQ(control.className, "Button");
  EXPECT_EQ(control.text, "\x83\x65");
  EXPECT_EQ(control.textUtf8, "テ");
  EXPECT_EQ(control.style, 0x58012003u);
  EXPECT_EQ(control.exStyle, 0x1004u);
  EXPECT_FALSE(control.enabled);
  EXPECT_TRUE(control.visible);
  ASSERT_TRUE(control.checked);
  EXPECT_EQ(*control.checked, 1);
  EXPECT_EQ(control.rect.width(), 150);
  EXPECT_EQ(control.client.left, -18);

  const std::string pushButton =
      "control hwnd=0x1 id=1 class=\"Button\" text=x: text.utf8=\"\" style=0x0 exstyle=0x0 enabled=1 visible=1 "
      "checked=- rect=0,0,1,1 client=0,0,1,1";
  EXPECT_FALSE(uidriver::toControlInfo(uidriver::parseRecord(pushButton)).checked) << "a push button has no check state";
}

TEST(AnswerRecords, MessageBoxLinesListTheirButtons) {
  auto box = uidriver::toMessageBoxInfo(uidriver::parseRecord(
      "msgbox hwnd=0x20 owner=0x0 enabled=1 caption=x:8C788D9020 caption.utf8=\"警告 \" text=x:41 text.utf8=\"A\" "
      "buttons=1,2"));
  EXPECT_EQ(box.caption, "\x8C\x78\x8D\x90\x20");
  EXPECT_EQ(box.owner, 0u);
  EXPECT_EQ(box.buttons, (std::vector<int>{1, 2}));
}

TEST(AnswerRecords, MalformedAnswersAreRejectedNotGuessed) {
  EXPECT_THROW(uidriver::parseRecord("window hwnd=\"open"), uidriver::UiDriverError);
  EXPECT_THROW(uidriver::parseRecord("window bare"), uidriver::UiDriverError);
  EXPECT_THROW(uidriver::parseRecord("key=first"), uidriver::UiDriverError);
  const std::string window = "window hwnd=0x1 class=\"X\" title=x: title.utf8=\"\" visible=1 enabled=1 owner=0x0 ";
  EXPECT_NO_THROW(uidriver::toWindowInfo(uidriver::parseRecord(window + "rect=0,0,1,1")));
  EXPECT_THROW(uidriver::toWindowInfo(uidriver::parseRecord(window + "rect=0,0,1")), uidriver::UiDriverError);
  EXPECT_THROW(uidriver::toWindowInfo(uidriver::parseRecord(window)), uidriver::UiDriverError) << "rect= is missing";
  EXPECT_THROW(uidriver::toWindowInfo(uidriver::parseRecord("window hwnd=0x1 class=\"X\" title=x: title.utf8=\"\" visible=yes "
                                                  "enabled=1 owner=0x0 rect=0,0,1,1")),
               uidriver::UiDriverError);
}

TEST(AnswerRecords, WindowsPathsUseTheZDrive) {
  EXPECT_EQ(uidriver::windowsPath("/tmp/pspc-e2e-1/packages/"), "Z:\\tmp\\pspc-e2e-1\\packages\\");
  EXPECT_EQ(uidriver::windowsPath("/a/./b/../c.exe"), "Z:\\a\\c.exe");
}

} // namespace
