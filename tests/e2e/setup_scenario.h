// What the scenarios of the setup program share beside the fixture: the
// driver of its dialogs (their control ids and its texts from the program's
// own resources), and what the device saw of a run.
#pragma once

#include "e2e_fixture.h"
#include "setup_driver.h"

#include <algorithm>
#include <string>
#include <vector>

namespace e2e {

using namespace setupdriver;

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
