// The forms of text every side reads alike: decimal numbers, hex digits and
// UTF-8 (whose round trip the emulator's tests check with its UTF-16 side).
#include "text_forms.h"

#include <gtest/gtest.h>

namespace {

using textform::readNumber;

TEST(TextForms, ANumberIsDigitsAloneWithinItsRange) {
  uint16_t port = 7;
  EXPECT_TRUE(readNumber("65535", port));
  EXPECT_EQ(port, 65535);
  EXPECT_TRUE(readNumber("00080", port)) << "leading zeros, within the digits of the largest value";
  EXPECT_EQ(port, 80);
  for (const char* bad : {"", "65536", "99999", "000080", "8x", " 80", "80 ", "+80", "-0", "0x50"}) {
    port = 7;
    EXPECT_FALSE(readNumber(bad, port)) << bad;
    EXPECT_EQ(port, 7) << "left alone: " << bad;
  }
  EXPECT_FALSE(readNumber("0", port, uint16_t(1)));
  uint32_t ms = 0;
  EXPECT_TRUE(readNumber("100", ms, 100u, 600000u));
  EXPECT_FALSE(readNumber("99", ms, 100u, 600000u));
  EXPECT_FALSE(readNumber("600001", ms, 100u, 600000u));
  uint64_t attach = 0;
  EXPECT_TRUE(readNumber("18446744073709551615", attach));
  EXPECT_EQ(attach, UINT64_MAX);
  EXPECT_FALSE(readNumber("18446744073709551616", attach)) << "one past the largest";
  EXPECT_FALSE(readNumber("99999999999999999999", attach)) << "as many digits, a larger value";
}

TEST(TextForms, ASignedNumberMayBeNegative) {
  int64_t since = 0;
  EXPECT_TRUE(readNumber("-9223372036854775808", since));
  EXPECT_EQ(since, INT64_MIN);
  EXPECT_TRUE(readNumber("9223372036854775807", since));
  EXPECT_EQ(since, INT64_MAX);
  EXPECT_FALSE(readNumber("-9223372036854775809", since));
  EXPECT_FALSE(readNumber("-", since));
  EXPECT_FALSE(readNumber("--1", since));
  int64_t positive = 5;
  EXPECT_FALSE(readNumber("-1", positive, int64_t(0))) << "no sign where the range has no negatives";
}

TEST(TextForms, HexDigitsReadInEitherCase) {
  EXPECT_EQ(textform::hexDigitValue('0'), 0);
  EXPECT_EQ(textform::hexDigitValue('a'), 10);
  EXPECT_EQ(textform::hexDigitValue('F'), 15);
  for (char bad : {'g', 'G', '/', ':', '@', '`', ' '}) EXPECT_EQ(textform::hexDigitValue(bad), -1) << bad;
}

TEST(TextForms, Utf8ReadsStrictly) {
  std::u16string text = u"kept";
  ASSERT_TRUE(textform::utf8ToUtf16("A\xc3\xa9\xe6\xbc\xa2\xf0\x9f\x98\x80", text));
  EXPECT_EQ(text, u"A\u00e9\u6f22\U0001F600");
  // A lone continuation byte, overlong forms, a cut sequence, a surrogate,
  // and lead bytes past U+10FFFF.
  for (const char* bad : {"\x80", "\xc0\xaf", "\xc1\xbf", "\xe0\x80\xaf", "\xe6\xbc", "\xf0\x9f\x98", "\xed\xa0\x80",
                          "\xed\xb0\x80", "\xf5\x80\x80\x80", "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80", "\xff"}) {
    text = u"kept";
    EXPECT_FALSE(textform::utf8ToUtf16(bad, text)) << bad;
    EXPECT_EQ(text, u"kept") << "left alone";
  }
}

} // namespace
