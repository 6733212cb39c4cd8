// The setup program as a person at a Japanese desktop meets it: the control
// ids of its dialogs, its texts as code page 932 bytes (its Japanese string
// set, trailing blanks included), the few readings of the selection dialog
// that every scenario makes, and what the device saw of a run.
#pragma once

#include "e2e_fixture.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <string>
#include <vector>

namespace e2e {

// Controls of the selection dialog (101); OK and Cancel are those of the transfer dialog too.
constexpr int kOk = 1, kCancel = 2, kInvertSelections = 1005, kMemoryNeeded = 1013, kMemoryAvailable = 1014,
              kMfcBox = 1015, kMfcSize = 1016, kVbBox = 1017, kVbSize = 1018;

inline std::string setupOptionsTitle() { return cp932("Zelkor ｾｯﾄｱｯﾌﾟ ｵﾌﾟｼｮﾝ "); }
inline std::string transferTitle() { return cp932("PCからﾊﾟｰﾑｻｲｽﾞPCへﾃﾞｰﾀ転送中 "); }
inline std::string warningCaption() { return cp932("警告 "); }
inline std::string resetPromptText() { return cp932("操作を続行するためにﾊﾟｰﾑｻｲｽﾞPCのﾘｾｯﾄﾎﾞﾀﾝを押してください。"); }
inline std::string errorCaption() { return cp932("ｴﾗｰ "); }
inline std::string connectFailedText() {
  return cp932("ﾊﾟｰﾑｻｲｽﾞPCの接続できません。\r\n正しく接続されているか確認してください。");
}
inline std::string wrongVersionText() { return cp932("ﾊﾟｰﾑｻｲｽﾞPCのﾊﾞｰｼﾞｮﾝが正しくありません。"); }
inline std::string wrongLanguageText() { return cp932("ﾊﾟｰﾑｻｲｽﾞPCの言語が正しくありません。"); }
inline std::string lowStorageText() { return cp932("ﾊﾟｰﾑｻｲｽﾞPCのﾃﾞｰﾀ記憶用ﾒﾓﾘが不足しています。"); }

// The number a field of a dialog shows (sizes and storage, in KB). Throws
// when the field shows anything but a plain unsigned number.
inline unsigned shownNumber(UiDriver& driver, WindowHandle dialog, int id) {
  const std::string text = driver.control(dialog, id).text;
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size())
    throw std::runtime_error("control " + std::to_string(id) + " shows '" + text + "', not a number");
  return value;
}

// The selection dialog becomes usable once the device has been identified.
// The VB box is the last control the probe enables: once it is, all are.
inline void waitForAcceptance(UiDriver& driver, const WindowInfo& dialog) {
  if (!waitUntil([&] { return driver.control(dialog.hwnd, kVbBox).enabled; }))
    throw std::runtime_error("the selection dialog never became usable");
}

// Until the program has ended, none of its windows is the transfer dialog:
// the run ended before any transfer.
inline void expectEndsWithoutTransfer(UiDriver& driver) {
  bool transferShown = false;
  const bool ended = waitUntil([&] {
    for (const WindowInfo& window : driver.windows())
      if (window.title == transferTitle()) transferShown = true;
    return !driver.programRunning();
  });
  EXPECT_TRUE(ended) << "the program still runs";
  EXPECT_FALSE(transferShown) << "the transfer dialog opened";
  if (ended) {
    EXPECT_EQ(driver.waitExit(), 0u);
  }
}

// Why the device saw a connection end when the program ended it.
inline const std::string kLinkClosedByDesktop = "the desktop closed the link";

inline size_t countOf(const std::vector<pspc::FlatJson>& log, const std::string& op) {
  return size_t(std::count_if(log.begin(), log.end(), [&](auto& r) { return pspc::field(r, "op") == op; }));
}

// The records of calls that change something on the device, one line each:
// writes, deletes, moves, new folders, files opened for anything but reading,
// registry keys made and values set.
inline std::string deviceChanges(const std::vector<pspc::FlatJson>& log) {
  static const char* const changing[] = {"CeWriteFile",       "CeDeleteFile",     "CeMoveFile",
                                         "CeCreateDirectory", "CeRegCreateKeyEx", "CeRegSetValueEx"};
  std::string changes;
  for (const auto& record : log) {
    const std::string op = pspc::field(record, "op").value_or("");
    const bool opensForWriting = op == "CeCreateFile" && (pspc::field(record, "access") != "2147483648" ||
                                                          pspc::field(record, "disposition") != "3");
    if (opensForWriting || std::find(std::begin(changing), std::end(changing), op) != std::end(changing))
      changes += op + " " + pspc::field(record, "path").value_or("") + "\n";
  }
  return changes;
}

} // namespace e2e
