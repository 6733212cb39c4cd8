// Device name syntax, case folding and find patterns.
#include "device_path.h"
#include "win32_codes.h"

#include <gtest/gtest.h>

namespace pspc {
namespace {

TEST(NameFolding, FoldsLatinGreekAndCyrillicNotJustAscii) {
  EXPECT_TRUE(sameName(u"windows", u"WINDOWS"));
  EXPECT_TRUE(sameName(u"\u00e9t\u00e9", u"\u00c9T\u00c9"));         // été / ÉTÉ
  EXPECT_TRUE(sameName(u"\u00ff", u"\u0178"));                       // ÿ / Ÿ
  EXPECT_TRUE(sameName(u"\u0142\u0151", u"\u0141\u0150"));           // łő / ŁŐ
  // σοφία / ΣΟΦΊΑ
  EXPECT_TRUE(sameName(u"\u03c3\u03bf\u03c6\u03af\u03b1", u"\u03a3\u039f\u03a6\u038a\u0391"));
  EXPECT_TRUE(sameName(u"\u03c2", u"\u03a3"));                       // final sigma
  EXPECT_TRUE(sameName(u"\u044f\u0451\u0497", u"\u042f\u0401\u0496")); // яёҗ / ЯЁҖ
  EXPECT_TRUE(sameName(u"\uff41", u"\uff21"));                       // full-width a / A
  EXPECT_TRUE(sameName(u"\u01c6", u"\u01c4"));                       // dž / DŽ
  // No one-unit uppercase: sharp s stays itself; different letters stay apart.
  EXPECT_EQ(foldUnit(u'\u00df'), u'\u00df');
  EXPECT_FALSE(sameName(u"\u00df", u"SS"));
  EXPECT_FALSE(sameName(u"a", u"\u00e0"));
  EXPECT_FALSE(sameName(u"\u00d7", u"\u00f7")); // × and ÷ are not a pair
}

TEST(FileNames, RefusesWhatTheDeviceRefuses) {
  const std::u16string refused[] = {
      u"", u"a:b", u"a/b", u"a\\b", u"a<b", u"a>b", u"a\"b", u"a|b", u"a*b", u"a?b", u"tab\there",
      u"end.", u"end ", u".", u"..", u"CON", u"con.txt", u"Nul", u"aux.dat.bak", u"COM1", u"lpt9.log",
      u"prn  .txt", std::u16string(1, u'\0'), std::u16string(u"a") + char16_t(0xD800),
      std::u16string(1, char16_t(0xDC00)) + u"b",
  };
  for (const std::u16string& name : refused)
    EXPECT_EQ(checkFileName(name), ERROR_INVALID_NAME) << toUtf8Lossy(name);
  const std::u16string accepted[] = {
      u"My Documents", u"a.b.c", u".hidden", u"CONX", u"COM10", u"console.txt", u"\u00c9t\u00e9",
      u"\U0001F600.txt", // a surrogate pair is a proper character
  };
  for (const std::u16string& name : accepted)
    EXPECT_EQ(checkFileName(name), ERROR_SUCCESS) << toUtf8Lossy(name);
  EXPECT_EQ(checkFileName(u"*.dll", true), ERROR_SUCCESS);
  // 100 CJK characters are 300 UTF-8 bytes: more than a host name holds.
  EXPECT_EQ(checkFileName(std::u16string(100, u'\u6f22')), ERROR_FILENAME_EXCED_RANGE);
}

TEST(DevicePaths, AcceptOnlyAbsoluteBackslashPathsUpToMaxPath) {
  DevicePath path;
  ASSERT_EQ(parseDevicePath(u"\\", path), ERROR_SUCCESS);
  EXPECT_TRUE(path.isRoot());
  ASSERT_EQ(parseDevicePath(u"\\Windows\\adoce.dll", path), ERROR_SUCCESS);
  EXPECT_EQ(path.names, (std::vector<std::u16string>{u"Windows", u"adoce.dll"}));
  EXPECT_EQ(path.text(), u"\\Windows\\adoce.dll");

  for (const char16_t* bad : {u"Windows\\a", u"C:\\a", u"\\\\server\\share", u"\\a\\\\b", u"\\a\\", u"/a",
                              u"\\a/b", u"\\a\\..\\b", u"\\.\\a"})
    EXPECT_NE(parseDevicePath(bad, path), ERROR_SUCCESS) << toUtf8Lossy(bad);
  EXPECT_EQ(parseDevicePath(u"", path), ERROR_PATH_NOT_FOUND);

  // 259 units fit (MAX_PATH with its terminator), 260 do not.
  const std::u16string longest = u"\\" + std::u16string(200, u'a') + u"\\" + std::u16string(57, u'b');
  ASSERT_EQ(longest.size(), 259u);
  EXPECT_EQ(parseDevicePath(longest, path), ERROR_SUCCESS);
  EXPECT_NE(parseDevicePath(longest + u"b", path), ERROR_SUCCESS);

  // Wildcards only in a find pattern, and only in its last name.
  EXPECT_NE(parseDevicePath(u"\\Windows\\*.dll", path), ERROR_SUCCESS);
  EXPECT_EQ(parseDevicePath(u"\\Windows\\*.dll", path, true), ERROR_SUCCESS);
  EXPECT_NE(parseDevicePath(u"\\Win*\\a.dll", path, true), ERROR_SUCCESS);
}

TEST(FindPatterns, MatchAsTheDeviceDoes) {
  EXPECT_TRUE(matchesPattern(u"*.*", u"README"));
  EXPECT_TRUE(matchesPattern(u"*.*", u"a.b.c"));
  EXPECT_TRUE(matchesPattern(u"*", u"anything.at.all"));
  EXPECT_TRUE(matchesPattern(u"*.DLL", u"adoce.dll"));
  EXPECT_FALSE(matchesPattern(u"*.dll", u"adoce.dll.bak"));
  EXPECT_TRUE(matchesPattern(u"?.txt", u"a.txt"));
  EXPECT_FALSE(matchesPattern(u"?.txt", u"ab.txt"));
  EXPECT_TRUE(matchesPattern(u"a*b*c", u"axxbyyc"));
  EXPECT_FALSE(matchesPattern(u"a*b*c", u"axxbyy"));
  EXPECT_TRUE(matchesPattern(u"*.", u"noext"));
  EXPECT_FALSE(matchesPattern(u"*.", u"has.ext"));
  EXPECT_TRUE(matchesPattern(u"read*.*", u"README"));
  EXPECT_TRUE(matchesPattern(u"\u00e9*", u"\u00c9T\u00c9"));
  EXPECT_TRUE(matchesPattern(u"MakeZlkData.exe", u"makezlkdata.EXE"));
}

// Malformed UTF-8 is refused by the one reader (text_forms_test.cpp).
TEST(Utf8, RoundTripsAndRefusesALoneSurrogate) {
  const std::u16string text = u"A\u00e9\u6f22\U0001F600";
  std::string utf8;
  ASSERT_TRUE(utf16ToUtf8(text, utf8));
  EXPECT_EQ(utf8, "A\xc3\xa9\xe6\xbc\xa2\xf0\x9f\x98\x80");
  std::u16string back;
  ASSERT_TRUE(utf8ToUtf16(utf8, back));
  EXPECT_EQ(back, text);
  EXPECT_FALSE(utf16ToUtf8(std::u16string(1, char16_t(0xD83D)), utf8));
}

} // namespace
} // namespace pspc
