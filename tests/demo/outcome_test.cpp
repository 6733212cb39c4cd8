// The headless run's reading of the program's messages (by their code page
// 932 bytes) and the one line it ends with.
#include "outcome.h"

#include "uidriver_client.h"

#include <gtest/gtest.h>

namespace headless {
namespace {

using uidriver::cp932;

const std::string kError = cp932("ｴﾗｰ "), kWarning = cp932("警告 ");

TEST(ReadMessage, TellsEachOfTheProgramsMessagesByItsBytes) {
  EXPECT_EQ(readMessage(kError, cp932("ﾊﾟｰﾑｻｲｽﾞPCのﾊﾞｰｼﾞｮﾝが正しくありません。")).kind, Message::WrongVersion);
  EXPECT_EQ(readMessage(kError, cp932("ﾊﾟｰﾑｻｲｽﾞPCの言語が正しくありません。")).kind, Message::WrongLanguage);
  EXPECT_EQ(readMessage(kError, cp932("ﾊﾟｰﾑｻｲｽﾞPCの接続できません。\r\n正しく接続されているか確認してください。")).kind,
            Message::ConnectFailed);
  EXPECT_EQ(readMessage(kError, cp932("ﾊﾟｰﾑｻｲｽﾞPCのﾃﾞｰﾀ記憶用ﾒﾓﾘが不足しています。")).kind, Message::LowStorage);
  EXPECT_EQ(readMessage(kWarning, cp932("操作を続行するためにﾊﾟｰﾑｻｲｽﾞPCのﾘｾｯﾄﾎﾞﾀﾝを押してください。")).kind,
            Message::ResetNotice);

  const std::string notInstalled =
      cp932(" 個の項目をﾊﾟｰﾑｻｲｽﾞPCにｲﾝｽﾄｰﾙできませんでした。\r\nもう一度ｾｯﾄｱｯﾌﾟを実行してください。");
  const MessageReading twelve = readMessage(kError, "12" + notInstalled);
  EXPECT_EQ(twelve.kind, Message::ItemsNotInstalled);
  EXPECT_EQ(twelve.items, 12);
  EXPECT_EQ(readMessage(kError, notInstalled).kind, Message::Other) << "no count";
}

TEST(ReadMessage, AnythingElseIsNoneOfThem) {
  const std::string version = cp932("ﾊﾟｰﾑｻｲｽﾞPCのﾊﾞｰｼﾞｮﾝが正しくありません。");
  EXPECT_EQ(readMessage(kWarning, version).kind, Message::Other) << "under another caption";
  EXPECT_EQ(readMessage(cp932("ｴﾗｰ"), version).kind, Message::Other) << "the caption's trailing blank belongs to it";
  EXPECT_EQ(readMessage(kError, "x" + version).kind, Message::Other);
  // The same words as UTF-8 bytes are not what the program holds.
  EXPECT_EQ(readMessage(kError, "ﾊﾟｰﾑｻｲｽﾞPCのﾊﾞｰｼﾞｮﾝが正しくありません。").kind, Message::Other);
}

TEST(Summary, SaysInOneLineHowTheRunEnded) {
  Outcome o;
  o.kind = Outcome::Kind::Installed;
  o.packageFiles = 12;
  EXPECT_EQ(summaryLine(o), "installed MFC and VB (12 files), reset notice shown");
  o.choice = Choice::Vb;
  o.itemsNotInstalled = 3;
  EXPECT_EQ(summaryLine(o), "installed VB with 3 items not installed (told), reset notice shown");

  o = Outcome{};
  o.kind = Outcome::Kind::DeviceRefused;
  o.message = Message::WrongVersion;
  EXPECT_EQ(summaryLine(o), "refused: the device's version is 1.3 or higher");
  o.deviceVersion = "1.30.00";
  EXPECT_EQ(summaryLine(o), "refused: device version 1.30.00 is 1.3 or higher");
  o.message = Message::Other;
  o.messageUtf8 = "何か";
  EXPECT_EQ(summaryLine(o), "ended after the message \"何か\"");

  o = Outcome{};
  o.kind = Outcome::Kind::StorageRefused;
  o.choice = Choice::Mfc;
  o.neededKb = 1370;
  o.freeKb = 812;
  EXPECT_EQ(summaryLine(o), "refused: not enough free storage for MFC (1,370 KB needed, 812 KB free); cancelled");

  o = Outcome{};
  o.kind = Outcome::Kind::Cancelled;
  EXPECT_EQ(summaryLine(o), "cancelled");
  EXPECT_EQ(exitStatus(o), 0);
  o.kind = Outcome::Kind::Failed;
  o.failure = "setup.exe ended with exit code 3";
  EXPECT_EQ(summaryLine(o), "failed: setup.exe ended with exit code 3");
  EXPECT_EQ(exitStatus(o), 1) << "only a failed run is a failure: a refusal is the program's own end";
}

TEST(Summary, ThousandsAreSeparated) {
  EXPECT_EQ(withThousands(0), "0");
  EXPECT_EQ(withThousands(999), "999");
  EXPECT_EQ(withThousands(1000), "1,000");
  EXPECT_EQ(withThousands(1234567), "1,234,567");
}

TEST(Choice, TakesTheFourWordsOnly) {
  EXPECT_EQ(parseChoice("mfc"), Choice::Mfc);
  EXPECT_EQ(parseChoice("vb"), Choice::Vb);
  EXPECT_EQ(parseChoice("both"), Choice::Both);
  EXPECT_EQ(parseChoice("none"), Choice::None);
  EXPECT_EQ(parseChoice("MFC"), std::nullopt);
  EXPECT_EQ(parseChoice(""), std::nullopt);
}

} // namespace
} // namespace headless
