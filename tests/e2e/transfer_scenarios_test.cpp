// The transfer, end to end: which packages are copied and registered in which
// order, how each file reaches \Windows\ (and what it displaces into \Temp\),
// the clean-up after the renewed connection, the progress fields, and the
// runs that do not go smoothly: failed writes, a broken link, a cancel, names
// too long for the program's paths.
#include "install_scenario.h"
#include "registration_rows.h"

#include <algorithm>
#include <map>
#include <set>

namespace e2e::install {
namespace {

constexpr char kInvalidHandle[] = "4294967295";

std::u16string windowsPath(const std::string& name) { return u"\\Windows\\" + widen(name); }
std::u16string tempPath(const std::string& name) { return u"\\Temp\\" + widen(name); }

// The last part of a package path ("Japanese/MFC/a.dll" -> "a.dll").
std::string baseName(const std::string& packagePath) { return packagePath.substr(packagePath.rfind('/') + 1); }

// A short account of one file operation, to compare what the device saw with
// what it should have seen.
std::string describe(const pspc::FlatJson& r) {
  const std::string op = text(r, "op");
  if (op == "CeCreateFile")
    return "create " + text(r, "path") + " access=" + text(r, "access") + " share=" + text(r, "share") +
           " disposition=" + text(r, "disposition") + " attributes=" + text(r, "attributes") +
           (text(r, "result") == kInvalidHandle ? " failed" : " ok");
  if (op == "CeWriteFile") return "write " + text(r, "path") + " " + text(r, "bytes");
  if (op == "CeCloseHandle") return "close " + text(r, "path");
  if (op == "CeDeleteFile") return "delete " + text(r, "path") + " " + text(r, "result");
  if (op == "CeMoveFile") return "move " + text(r, "from") + " " + text(r, "to") + " " + text(r, "result");
  return op;
}

// What the device saw of one file name: every operation on \Windows\<name>
// or \Temp\<name> (the clean-up's "\temp\" spelling is not this file's copy).
std::vector<std::string> fileSteps(const std::vector<pspc::FlatJson>& records, const std::string& name) {
  const std::set<std::string> paths = {"\\Windows\\" + name, "\\Temp\\" + name};
  std::vector<std::string> steps;
  for (const auto& r : records)
    if (paths.count(text(r, "path")) || paths.count(text(r, "from")) || paths.count(text(r, "to")))
      steps.push_back(describe(r));
  return steps;
}

// The steps of a copy into a free destination, for a file of `bytes`.
std::vector<std::string> freshCopy(const std::string& name, size_t bytes) {
  const std::string path = "\\Windows\\" + name;
  std::vector<std::string> steps = {"create " + path + " access=3221225472 share=1 disposition=1 attributes=128 ok"};
  for (size_t left = bytes; left > 0; left -= std::min<size_t>(left, 4096))
    steps.push_back("write " + path + " " + std::to_string(std::min<size_t>(left, 4096)));
  steps.push_back("write " + path + " 0");
  steps.push_back("close " + path);
  return steps;
}

// The steps of a copy over an existing destination: checked, moved aside
// (an older file there deleted first: `olderDeleted` is that delete's result),
// created afresh and written.
std::vector<std::string> displacingCopy(const std::string& name, size_t bytes, int olderDeleted) {
  const std::string path = "\\Windows\\" + name, aside = "\\Temp\\" + name;
  std::vector<std::string> steps = {
      "create " + path + " access=3221225472 share=1 disposition=1 attributes=128 failed",
      "create " + path + " access=2147483648 share=1 disposition=3 attributes=128 ok",
      "close " + path,
      "delete " + aside + " " + std::to_string(olderDeleted),
      "move " + path + " " + aside + " 1",
      "create " + path + " access=1073741824 share=1 disposition=2 attributes=128 ok",
  };
  for (size_t left = bytes; left > 0; left -= std::min<size_t>(left, 4096))
    steps.push_back("write " + path + " " + std::to_string(std::min<size_t>(left, 4096)));
  steps.push_back("write " + path + " 0");
  steps.push_back("close " + path);
  return steps;
}

// The transfer as runs of one kind: registry values written (key|value name),
// or files begun on the device (their names, from the CREATE_NEW of each).
struct Run {
  bool registry = false;
  std::vector<std::string> items;
};

std::vector<Run> transferRuns(const std::vector<pspc::FlatJson>& records) {
  std::vector<Run> runs;
  for (const auto& r : records) {
    bool registry;
    std::string item;
    if (isOp(r, "CeRegSetValueEx")) {
      registry = true;
      item = text(r, "key") + "|" + text(r, "valueName");
    } else if (isOp(r, "CeCreateFile") && text(r, "disposition") == "1") {
      registry = false;
      item = text(r, "path").substr(std::string("\\Windows\\").size());
    } else {
      continue;
    }
    if (runs.empty() || runs.back().registry != registry) runs.push_back(Run{registry, {}});
    runs.back().items.push_back(item);
  }
  return runs;
}

std::vector<std::string> rowItems(const std::vector<ExpectedRow>& rows) {
  std::vector<std::string> items;
  for (const auto& row : rows) items.push_back(loggedKey(row) + "|" + loggedValueName(row));
  return items;
}

std::vector<std::string> sorted(std::vector<std::string> items) {
  std::sort(items.begin(), items.end());
  return items;
}

// Package files of the three folders, with long names and a mixed case; the
// English set holds a file of its own, which a Japanese device never gets.
const std::vector<PackageFile> kMfcFiles = {{"Japanese/MFC/mfcce211.dll", 3000},
                                            {"Japanese/MFC/olece211.dll", 1500},
                                            {"Japanese/MFC/Foundation Classes Helper.DLL", 100}};
const std::vector<PackageFile> kVbFiles = {{"Japanese/VB/pvbform2.dll", 2500}, {"Japanese/VB/vbscript.dll", 1200}};
const std::vector<PackageFile> kAdoFiles = {{"Japanese/ADO/adoce.dll", 2000},
                                            {"Japanese/ADO/ActiveX Data Objects Resources.dll", 700}};

std::vector<PackageFile> allPackages() {
  std::vector<PackageFile> files = {{"English/MFC/english-only.dll", 50}};
  for (const auto* set : {&kMfcFiles, &kVbFiles, &kAdoFiles}) files.insert(files.end(), set->begin(), set->end());
  return files;
}

std::vector<std::string> names(const std::vector<PackageFile>& files) {
  std::vector<std::string> out;
  for (const auto& f : files) out.push_back(baseName(f.path));
  return sorted(out);
}

class TransferScenario : public InstallScenario {
protected:
  // The package files of `files` lie in \Windows\ byte for byte, under their own names.
  void expectInstalled(const std::vector<PackageFile>& files) {
    for (const auto& file : files) {
      EXPECT_TRUE(holdsExactly(deviceFile(windowsPath(baseName(file.path))), packageFileContent(file.path, file.bytes)))
          << file.path;
    }
  }

  void expectNotInstalled(const std::vector<PackageFile>& files) {
    for (const auto& file : files) EXPECT_FALSE(deviceFileExists(windowsPath(baseName(file.path)))) << file.path;
  }

  // A run that ended as it should: no error message, the reset notice, exit 0.
  static void expectCleanEnding(const Ending& ending) {
    EXPECT_FALSE(ending.failure.has_value()) << "an error message: " << ending.failure->textUtf8;
    EXPECT_EQ(ending.notice.caption, warningCaption());
    EXPECT_EQ(ending.notice.text, resetPromptText());
    EXPECT_EQ(ending.exitCode, 0u);
  }

  // A run that could not install `failed` items: the error message says so
  // before the reset notice, and the program still ends with 0.
  static void expectFailureTold(const Ending& ending, int failed) {
    ASSERT_TRUE(ending.failure.has_value()) << "no error message before the notice";
    EXPECT_EQ(ending.failure->caption, errorCaption());
    EXPECT_EQ(ending.failure->text, transferFailedText(failed)) << ending.failure->textUtf8;
    EXPECT_EQ(ending.failure->buttons, (std::vector<int>{kOk}));
    EXPECT_EQ(ending.notice.caption, warningCaption());
    EXPECT_EQ(ending.notice.text, resetPromptText());
    EXPECT_EQ(ending.exitCode, 0u);
  }

  // Every device file the transfer opened it closed again, and no
  // connection ended with a handle still open.
  void expectHandlesReleased() {
    std::map<std::pair<std::string, std::string>, int> open; // (connection, handle) -> opens not closed
    for (const auto& r : transferRecords()) {
      if (isOp(r, "CeCreateFile") && text(r, "result") != kInvalidHandle) ++open[{text(r, "conn"), text(r, "result")}];
      if (isOp(r, "CeCloseHandle") && text(r, "result") == "1") --open[{text(r, "conn"), text(r, "handle")}];
    }
    for (const auto& [handle, count] : open)
      EXPECT_EQ(count, 0) << "handle " << handle.second << " of connection " << handle.first;
    for (const auto& r : opRecords("disconnect")) EXPECT_EQ(text(r, "handlesReleased"), "0") << text(r, "conn");
  }
};

// ---------------------------------------------------------------- passes

TEST_F(TransferScenario, OnlyVbRegistersVbThenCopiesVbThenRegistersAndCopiesAdo) {
  startDevice();
  makePackages(allPackages());
  expectCleanEnding(install(false, true));

  const auto runs = transferRuns(transferRecords());
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_TRUE(runs[0].registry);
  EXPECT_EQ(runs[0].items, rowItems(vbRows()));
  EXPECT_FALSE(runs[1].registry);
  EXPECT_EQ(sorted(runs[1].items), names(kVbFiles));
  EXPECT_TRUE(runs[2].registry);
  EXPECT_EQ(runs[2].items, rowItems(adoRows()));
  EXPECT_FALSE(runs[3].registry);
  EXPECT_EQ(sorted(runs[3].items), names(kAdoFiles));
  expectInstalled(kVbFiles);
  expectInstalled(kAdoFiles);
  expectNotInstalled(kMfcFiles);
  EXPECT_FALSE(deviceFileExists(u"\\Windows\\english-only.dll"));
}

TEST_F(TransferScenario, OnlyMfcCopiesMfcThenRegistersAndCopiesAdoWithoutVbRows) {
  startDevice();
  makePackages(allPackages());
  expectCleanEnding(install(true, false));

  const auto runs = transferRuns(transferRecords());
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_FALSE(runs[0].registry);
  EXPECT_EQ(sorted(runs[0].items), names(kMfcFiles));
  EXPECT_TRUE(runs[1].registry);
  EXPECT_EQ(runs[1].items, rowItems(adoRows())) << "ADO's rows alone: no VB row";
  EXPECT_FALSE(runs[2].registry);
  EXPECT_EQ(sorted(runs[2].items), names(kAdoFiles));
  expectInstalled(kMfcFiles);
  expectInstalled(kAdoFiles);
  expectNotInstalled(kVbFiles);
  EXPECT_FALSE(deviceValue(kHkcr, u"VBS", u"").has_value());
}

TEST_F(TransferScenario, BothRunMfcThenVbThenAdoAndTheDialogClosesByItself) {
  startDevice();
  makePackages(allPackages());
  // finish() presses nothing on dialog 102: it has to close by itself.
  const Ending ending = install(true, true);
  expectCleanEnding(ending);
  EXPECT_EQ(ending.notice.buttons, (std::vector<int>{kOk}));

  const auto runs = transferRuns(transferRecords());
  ASSERT_EQ(runs.size(), 5u);
  EXPECT_EQ(sorted(runs[0].items), names(kMfcFiles));
  EXPECT_EQ(runs[1].items, rowItems(vbRows()));
  EXPECT_EQ(sorted(runs[2].items), names(kVbFiles));
  EXPECT_EQ(runs[3].items, rowItems(adoRows()));
  EXPECT_EQ(sorted(runs[4].items), names(kAdoFiles));
  expectInstalled(kMfcFiles);
  expectInstalled(kVbFiles);
  expectInstalled(kAdoFiles);
  EXPECT_FALSE(deviceFileExists(u"\\Windows\\english-only.dll"));
}

TEST_F(TransferScenario, AnEmptyFolderAndAMissingOneCopyNothingButKeepTheirRegistration) {
  startDevice();
  makePackages({{"Japanese/MFC/mfcce211.dll", 3000}}); // VB holds only "." and ".."
  fs::remove_all(packageDir() / "Japanese" / "ADO");
  expectCleanEnding(install(false, true));

  const auto records = transferRecords();
  EXPECT_EQ(std::count_if(records.begin(), records.end(), [](auto& r) { return isOp(r, "CeCreateFile"); }), 0);
  const auto runs = transferRuns(records);
  ASSERT_EQ(runs.size(), 1u) << "the two tables, one after the other, and no file";
  std::vector<std::string> both = rowItems(vbRows());
  for (const auto& item : rowItems(adoRows())) both.push_back(item);
  EXPECT_EQ(runs[0].items, both);
  EXPECT_TRUE(deviceValue(kHkcr, u"VBS", u"").has_value());
  EXPECT_TRUE(deviceValue(kHkcr, u"ADOCE.Recordset", u"").has_value());
}

TEST_F(TransferScenario, PackagesOnAReadOnlyMediumInstallWithoutAFailure) {
  startDevice();
  std::vector<PackageFile> files = allPackages();
  files.push_back({"Japanese/MFC/subfolder/inner.dll", 4096});
  makePackages(files);
  // As on a CD-ROM: "." and ".." of every package folder, and the subfolder,
  // are read-only folders (attribute word 17).
  const fs::path language = packageDir() / "Japanese";
  const std::vector<fs::path> readOnly = {language / "MFC" / "subfolder", language / "MFC", language / "VB",
                                          language / "ADO", language};
  for (const auto& folder : readOnly) ASSERT_EQ(::chmod(folder.c_str(), 0555), 0) << folder;
  struct Writable {
    std::vector<fs::path> folders;
    ~Writable() {
      for (const auto& folder : folders) ::chmod(folder.c_str(), 0755);
    }
  } restore{readOnly};

  expectCleanEnding(install(true, true));
  expectInstalled(kMfcFiles);
  expectInstalled(kVbFiles);
  expectInstalled(kAdoFiles);
  for (const auto& record : opRecords("CeCreateFile"))
    EXPECT_EQ(text(record, "path").find("\\Windows\\."), std::string::npos) << "a folder was tried as a file";
  EXPECT_FALSE(deviceFileExists(windowsPath("subfolder")));
}

// ---------------------------------------------------------------- one copy

TEST_F(TransferScenario, EachCopyWritesChunksOf4096AndReleasesEveryHandle) {
  startDevice();
  makePackages({{"Japanese/MFC/empty.dll", 0}, {"Japanese/MFC/page.dll", 4096}, {"Japanese/MFC/odd.dll", 5000}});
  arrangeDeviceFile(windowsPath("odd.dll"), "the version already on the device");
  expectCleanEnding(install(true, false));

  const auto records = transferRecords();
  EXPECT_EQ(fileSteps(records, "empty.dll"), freshCopy("empty.dll", 0)) << "one write of no bytes";
  EXPECT_EQ(fileSteps(records, "page.dll"), freshCopy("page.dll", 4096)) << "4096 bytes, then none";
  EXPECT_EQ(fileSteps(records, "odd.dll"), displacingCopy("odd.dll", 5000, 0));
  expectInstalled({{"Japanese/MFC/empty.dll", 0}, {"Japanese/MFC/page.dll", 4096}, {"Japanese/MFC/odd.dll", 5000}});
  EXPECT_TRUE(holdsExactly(deviceFile(tempPath("odd.dll")), "the version already on the device"));
  expectHandlesReleased();
}

TEST_F(TransferScenario, AfterTwoRunsTempHoldsTheVersionFromBeforeTheSecond) {
  startDevice();
  makePackages({});
  arrangeDeviceFile(windowsPath("runtime.dll"), "version 0, from the factory");
  arrangePackageFile("Japanese/MFC/runtime.dll", "version 1, the first run's");
  expectCleanEnding(install(true, false));
  EXPECT_TRUE(holdsExactly(deviceFile(windowsPath("runtime.dll")), "version 1, the first run's"));
  EXPECT_TRUE(holdsExactly(deviceFile(tempPath("runtime.dll")), "version 0, from the factory"));

  arrangePackageFile("Japanese/MFC/runtime.dll", "version 2, the second run's, a little longer");
  expectCleanEnding(installAgain(true, false));
  EXPECT_TRUE(holdsExactly(deviceFile(windowsPath("runtime.dll")), "version 2, the second run's, a little longer"));
  EXPECT_TRUE(holdsExactly(deviceFile(tempPath("runtime.dll")), "version 1, the first run's"));
  // The older file in \Temp\ went first, then the one in place moved there.
  EXPECT_EQ(fileSteps(transferRecords(), "runtime.dll"),
            displacingCopy("runtime.dll", std::string("version 2, the second run's, a little longer").size(), 1));
}

TEST_F(TransferScenario, ANameInTwoFoldersIsCopiedTwiceTheSecondDisplacingTheFirst) {
  startDevice();
  makePackages({});
  arrangePackageFile("Japanese/MFC/shared.dll", "the MFC folder's shared.dll");
  arrangePackageFile("Japanese/ADO/shared.dll", "the ADO folder's shared.dll");
  expectCleanEnding(install(true, false));

  const size_t second = std::string("the ADO folder's shared.dll").size();
  std::vector<std::string> expected = freshCopy("shared.dll", std::string("the MFC folder's shared.dll").size());
  for (const auto& step : displacingCopy("shared.dll", second, 0)) expected.push_back(step);
  EXPECT_EQ(fileSteps(transferRecords(), "shared.dll"), expected);
  EXPECT_TRUE(holdsExactly(deviceFile(windowsPath("shared.dll")), "the ADO folder's shared.dll"));
  EXPECT_TRUE(holdsExactly(deviceFile(tempPath("shared.dll")), "the MFC folder's shared.dll"));
}

TEST_F(TransferScenario, ADestinationThatCannotBeOpenedForReadingIsLeftUntouched) {
  startDevice();
  makePackages({{"Japanese/MFC/mfcce211.dll", 3000}, {"Japanese/MFC/olece211.dll", 1500}});
  arrangeDeviceFile(windowsPath("mfcce211.dll"), "in use by a program on the device");
  Ending ending;
  {
    HeldDeviceFile held(device(), windowsPath("mfcce211.dll"));
    ending = install(true, false);
  }
  expectFailureTold(ending, 1);

  EXPECT_EQ(fileSteps(transferRecords(), "mfcce211.dll"),
            (std::vector<std::string>{
                "create \\Windows\\mfcce211.dll access=3221225472 share=1 disposition=1 attributes=128 failed",
                "create \\Windows\\mfcce211.dll access=2147483648 share=1 disposition=3 attributes=128 failed",
            }))
      << "nothing moved, deleted or written";
  EXPECT_TRUE(holdsExactly(deviceFile(windowsPath("mfcce211.dll")), "in use by a program on the device"));
  expectInstalled({{"Japanese/MFC/olece211.dll", 1500}});
}

TEST_F(TransferScenario, WithoutATempFolderTheOldFileStaysAndTheRunGoesOn) {
  DeviceSettings settings;
  settings.tempFolder = false;
  startDevice(settings);
  makePackages({{"Japanese/MFC/olece211.dll", 1500}, {"Japanese/ADO/adoce.dll", 2000}});
  arrangeDeviceFile(windowsPath("mfcce211.dll"), "the runtime already on the device");
  arrangePackageFile("Japanese/MFC/mfcce211.dll", "a newer runtime");
  expectFailureTold(install(true, false), 1);

  const auto steps = fileSteps(transferRecords(), "mfcce211.dll");
  ASSERT_EQ(steps.size(), 5u) << ::testing::PrintToString(steps);
  EXPECT_EQ(steps[3], "delete \\Temp\\mfcce211.dll 0");
  EXPECT_EQ(steps[4], "move \\Windows\\mfcce211.dll \\Temp\\mfcce211.dll 0") << "and nothing after it";
  EXPECT_TRUE(holdsExactly(deviceFile(windowsPath("mfcce211.dll")), "the runtime already on the device"));
  const auto root = deviceFolder(u"");
  EXPECT_EQ(std::count(root.begin(), root.end(), "Temp"), 0) << "the folder is not made";
  expectInstalled({{"Japanese/MFC/olece211.dll", 1500}, {"Japanese/ADO/adoce.dll", 2000}});
}

// ---------------------------------------------------------------- the clean-up

TEST_F(TransferScenario, TheTwelveStagedFilesGoInOrderOverTheRenewedConnection) {
  startDevice();
  makePackages({{"Japanese/MFC/olece211.dll", 1500}});
  for (const char* name : {"atlce211.dll", "adoce.dll", "vbsen.dll", "keep.dll", "notes.txt"})
    arrangeDeviceFile(tempPath(name), std::string("staged ") + name);
  expectCleanEnding(install(true, false));

  const auto log = opLog();
  const auto connects = opRecords("connect");
  ASSERT_EQ(connects.size(), 2u) << "the worker renews the connection once";
  const std::string first = text(connects[0], "conn"), renewed = text(connects[1], "conn");
  size_t lastCopy = 0, firstEnded = 0, renewedAt = 0;
  std::vector<std::string> deletes;
  for (size_t i = 0; i < log.size(); ++i) {
    const auto& r = log[i];
    if (text(r, "conn") == first && isOp(r, "CeCloseHandle")) lastCopy = i;
    if (text(r, "conn") == first && isOp(r, "disconnect") && !firstEnded) firstEnded = i;
    if (text(r, "conn") == renewed && isOp(r, "connect")) renewedAt = i;
    if (isOp(r, "CeDeleteFile")) {
      EXPECT_EQ(text(r, "conn"), renewed) << "every delete over the new connection";
      EXPECT_GT(i, firstEnded) << "and only after the first one ended";
      deletes.push_back(text(r, "path") + " " + text(r, "result"));
    }
  }
  EXPECT_LT(lastCopy, firstEnded);
  EXPECT_LT(firstEnded, renewedAt);
  EXPECT_EQ(deletes,
            (std::vector<std::string>{"\\temp\\atlce211.dll 1", "\\temp\\mfcce211.dll 0", "\\temp\\olece211.dll 0",
                                      "\\temp\\adoce.dll 1", "\\temp\\adocedb.dll 0", "\\temp\\adoceres.dll 0",
                                      "\\temp\\adosync.dll 0", "\\temp\\pvbform2.dll 0", "\\temp\\pvbhost2.dll 0",
                                      "\\temp\\pvbload.exe 0", "\\temp\\vbscript.dll 0", "\\temp\\vbsen.dll 1"}));
  EXPECT_EQ(deviceFolder(u"\\Temp"), (std::vector<std::string>{"keep.dll", "notes.txt"}));
}

// ---------------------------------------------------------------- progress

TEST_F(TransferScenario, TheProgressFieldsShowTheLastFileWhoseDestinationCouldBeOpened) {
  startDevice();
  makePackages(
      {{"Japanese/MFC/mfcce211.dll", 3000}, {"Japanese/ADO/adoce.dll", 2000}, {"Japanese/ADO/adocedb.dll", 1000}});
  // adocedb.dll cannot be opened on the device: its copy fails before the
  // destination is opened, wherever the search puts it among ADO's files.
  arrangeDeviceFile(windowsPath("adocedb.dll"), "in use");
  HeldDeviceFile held(device(), windowsPath("adocedb.dll"));
  const std::map<std::string, std::string> sources = {{"\\Windows\\mfcce211.dll", ".\\Japanese\\MFC\\mfcce211.dll"},
                                                      {"\\Windows\\adoce.dll", ".\\Japanese\\ADO\\adoce.dll"}};
  using Texts = std::pair<std::string, std::string>;
  // What the fields should show once the first `count` records have come back.
  auto shownAfter = [&](const std::vector<pspc::FlatJson>& log, size_t count) {
    Texts texts;
    for (size_t i = 0; i < count && i < log.size(); ++i) {
      const auto& r = log[i];
      const std::string disposition = text(r, "disposition");
      if (isOp(r, "CeCreateFile") && (disposition == "1" || disposition == "2") && text(r, "result") != kInvalidHandle)
        texts = {sources.at(text(r, "path")), "WCE:\\" + text(r, "path")};
    }
    return texts;
  };

  const WindowInfo selection = acceptedSelection();
  // Slow at first, so that the fields can be seen before and during the first file.
  ASSERT_EQ(controlDevice("delay 400").rfind("ok", 0), 0u);
  confirm(selection, true, false);
  const WindowInfo transfer = transferDialog();
  auto fields = [&] {
    return Texts{ui().control(transfer.hwnd, IDC_SOURCE_PATH).text,
                 ui().control(transfer.hwnd, IDC_DESTINATION_PATH).text};
  };

  std::vector<Texts> seen;
  bool sped = false;
  for (;;) {
    const auto before = opLog();
    Texts now;
    try {
      now = fields();
    } catch (const UiDriverError&) {
      break; // the dialog has closed
    }
    const auto after = opLog();
    // The fields change only after the reply to a create came back: each
    // shows what the log up to one record before the read said, or later.
    // They are read one after the other, so a read may fall between the
    // program's setting of the one and of the other.
    std::set<std::string> sources, destinations;
    for (size_t count = before.empty() ? 0 : before.size() - 1; count <= after.size(); ++count) {
      sources.insert(shownAfter(after, count).first);
      destinations.insert(shownAfter(after, count).second);
    }
    EXPECT_TRUE(sources.count(now.first)) << "the source field shows '" << now.first << "'";
    EXPECT_TRUE(destinations.count(now.second)) << "the destination field shows '" << now.second << "'";
    const bool oneFile =
        now.second == (now.first.empty() ? "" : "WCE:\\\\Windows" + now.first.substr(now.first.rfind('\\')));
    if (oneFile && (seen.empty() || seen.back() != now)) seen.push_back(now);
    if (!sped && !now.first.empty()) {
      ASSERT_EQ(controlDevice("delay 40").rfind("ok", 0), 0u);
      sped = true;
    }
  }
  EXPECT_EQ(seen, (std::vector<Texts>{{"", ""},
                                      {".\\Japanese\\MFC\\mfcce211.dll", "WCE:\\\\Windows\\mfcce211.dll"},
                                      {".\\Japanese\\ADO\\adoce.dll", "WCE:\\\\Windows\\adoce.dll"}}))
      << "empty until the first file, then each file that could be opened, up to the end";
  expectFailureTold(finish(), 1);
}

// ---------------------------------------------------------------- faults

TEST_F(TransferScenario, AFailedWriteLeavesNoPartFileAndPutsTheDisplacedOneBack) {
  DeviceSettings settings;
  // The second write of the run (mfcce211.dll's second chunk) and the
  // fourth (newfile.dll's second chunk) fail.
  settings.faults = {"fail:CeWriteFile:2", "fail:CeWriteFile:4"};
  startDevice(settings);
  makePackages({{"Japanese/MFC/mfcce211.dll", 10000}, {"Japanese/ADO/newfile.dll", 10000}});
  // A staged name: a displaced copy left in \Temp\ would go with the clean-up.
  arrangeDeviceFile(windowsPath("mfcce211.dll"), "the working runtime");
  expectFailureTold(install(true, false), 2);

  EXPECT_EQ(fileSteps(transferRecords(), "mfcce211.dll"),
            (std::vector<std::string>{
                "create \\Windows\\mfcce211.dll access=3221225472 share=1 disposition=1 attributes=128 failed",
                "create \\Windows\\mfcce211.dll access=2147483648 share=1 disposition=3 attributes=128 ok",
                "close \\Windows\\mfcce211.dll",
                "delete \\Temp\\mfcce211.dll 0",
                "move \\Windows\\mfcce211.dll \\Temp\\mfcce211.dll 1",
                "create \\Windows\\mfcce211.dll access=1073741824 share=1 disposition=2 attributes=128 ok",
                "write \\Windows\\mfcce211.dll 4096",
                "write \\Windows\\mfcce211.dll 4096",
                "close \\Windows\\mfcce211.dll",
                "delete \\Windows\\mfcce211.dll 1",
                "move \\Temp\\mfcce211.dll \\Windows\\mfcce211.dll 1",
            }));
  EXPECT_TRUE(holdsExactly(deviceFile(windowsPath("mfcce211.dll")), "the working runtime"));
  EXPECT_FALSE(deviceFileExists(tempPath("mfcce211.dll")));
  EXPECT_FALSE(deviceFileExists(windowsPath("newfile.dll"))) << "no file rather than a truncated one";
  expectHandlesReleased();
}

TEST_F(TransferScenario, ADestinationThatCannotBeMadeAfreshGetsTheDisplacedFileBack) {
  startDevice();
  makePackages({{"Japanese/MFC/mfcce211.dll", 3000}});
  arrangeDeviceFile(windowsPath("mfcce211.dll"), "the working runtime");
  const WindowInfo selection = acceptedSelection();
  // The transfer's third open: mfcce211.dll's CREATE_ALWAYS, after the move.
  ASSERT_EQ(controlDevice("fault fail:CeCreateFile:3").rfind("ok", 0), 0u);
  confirm(selection, true, false);
  expectFailureTold(finish(), 1);

  const auto steps = fileSteps(transferRecords(), "mfcce211.dll");
  ASSERT_EQ(steps.size(), 7u) << ::testing::PrintToString(steps);
  EXPECT_EQ(steps[5], "create \\Windows\\mfcce211.dll access=1073741824 share=1 disposition=2 attributes=128 failed");
  EXPECT_EQ(steps[6], "move \\Temp\\mfcce211.dll \\Windows\\mfcce211.dll 1");
  EXPECT_TRUE(holdsExactly(deviceFile(windowsPath("mfcce211.dll")), "the working runtime"));
}

TEST_F(TransferScenario, ALinkThatDropsMidFileLeavesTheCompletePreviousFile) {
  DeviceSettings settings;
  settings.faults = {"drop:CeWriteFile:2"};
  startDevice(settings);
  makePackages({{"Japanese/MFC/mfcce211.dll", 10000}, {"Japanese/ADO/adoce.dll", 2000}});
  arrangeDeviceFile(windowsPath("mfcce211.dll"), "the working runtime");
  // Nothing reaches the device after the drop until the connection is
  // renewed: the file in progress, ADO's 19 values and ADO's file fail.
  expectFailureTold(install(true, false), 1 + 19 + 1);

  EXPECT_TRUE(holdsExactly(deviceFile(windowsPath("mfcce211.dll")), "the working runtime"))
      << "never a truncated runtime";
  EXPECT_FALSE(deviceFileExists(tempPath("mfcce211.dll")));
  EXPECT_FALSE(deviceFileExists(windowsPath("adoce.dll")));
  // The file was put back over the renewed connection, before the clean-up.
  const auto records = transferRecords();
  const auto restored = std::find_if(records.begin(), records.end(), [](auto& r) {
    return isOp(r, "CeMoveFile") && text(r, "to") == "\\Windows\\mfcce211.dll" && text(r, "result") == "1";
  });
  const auto cleanUp =
      std::find_if(records.begin(), records.end(), [](auto& r) { return text(r, "path") == "\\temp\\atlce211.dll"; });
  ASSERT_NE(restored, records.end());
  EXPECT_LT(restored, cleanUp);
}

TEST_F(TransferScenario, WhenTheFileCannotBePutBackTheStagedFilesStay) {
  DeviceSettings settings;
  // The link drops in mfcce211.dll's second chunk, and over the renewed
  // connection the move back (the run's second move) is refused.
  settings.faults = {"drop:CeWriteFile:2", "fail:CeMoveFile:2"};
  startDevice(settings);
  makePackages({{"Japanese/MFC/mfcce211.dll", 10000}});
  arrangeDeviceFile(windowsPath("mfcce211.dll"), "the working runtime");
  arrangeDeviceFile(tempPath("vbsen.dll"), "staged earlier");
  expectFailureTold(install(true, false), 1 + 19);

  EXPECT_FALSE(deviceFileExists(windowsPath("mfcce211.dll"))) << "no file rather than a truncated one";
  EXPECT_TRUE(holdsExactly(deviceFile(tempPath("mfcce211.dll")), "the working runtime")) << "not cleaned up";
  EXPECT_TRUE(deviceFileExists(tempPath("vbsen.dll")));
  EXPECT_EQ(opRecords("CeDeleteFile").size(), 2u) << "the displacement's and the undo's, no clean-up";
}

TEST_F(TransferScenario, FailuresOfEveryKindAreCountedAndToldBeforeTheNotice) {
  DeviceSettings settings;
  settings.tempFolder = false;
  startDevice(settings);
  makePackages({{"Japanese/MFC/olece211.dll", 1500}, {"Japanese/MFC/" + std::string(246, 'n') + ".dll", 10}});
  arrangeDeviceFile(windowsPath("mfcce211.dll"), "the runtime already on the device");
  arrangePackageFile("Japanese/MFC/mfcce211.dll", "a newer runtime");
  const WindowInfo selection = acceptedSelection();
  // From here on: ADO's first key cannot be made, and its fifth value not set.
  ASSERT_EQ(controlDevice("fault fail:CeRegCreateKeyEx:1").rfind("ok", 0), 0u);
  ASSERT_EQ(controlDevice("fault fail:CeRegSetValueEx:5").rfind("ok", 0), 0u);
  confirm(selection, true, false);
  // A file that stays (no \Temp), a name too long, a key, a value: four.
  const Ending ending = finish();
  expectFailureTold(ending, 4);
  EXPECT_EQ(ending.failure->owner, ending.notice.owner) << "both belong to the hidden main window";
  EXPECT_FALSE(deviceValue(kHklm, u"Software\\Microsoft\\ADO", u"ROMversion").has_value());
  expectInstalled({{"Japanese/MFC/olece211.dll", 1500}});
}

TEST_F(TransferScenario, CancelStopsBetweenChunksUndoesTheFileAndThenEndsTheConnection) {
  startDevice();
  makePackages({{"Japanese/MFC/mfcce211.dll", 40960}, {"Japanese/ADO/adoce.dll", 2000}});
  arrangeDeviceFile(windowsPath("mfcce211.dll"), "the working runtime");
  const WindowInfo selection = acceptedSelection();
  // The third chunk is held until the cancel has been pressed.
  ASSERT_EQ(controlDevice("fault hold:CeWriteFile:3").rfind("ok", 0), 0u);
  confirm(selection, true, false);
  ASSERT_TRUE(waitForOpLog([](auto& log) { return !log.empty() && isOp(log.back(), "hold"); }))
      << "the copy never got going";
  const WindowInfo transfer = transferDialog();
  ui().click(transfer.hwnd, kCancel);
  ASSERT_TRUE(waitUntil([&] { return !ui().control(transfer.hwnd, kCancel).enabled; }));
  ASSERT_EQ(controlDevice("release").rfind("ok", 0), 0u);
  auto writes = [](const std::vector<pspc::FlatJson>& log) {
    return std::count_if(log.begin(), log.end(), [](auto& r) { return isOp(r, "CeWriteFile"); });
  };
  // A reset notice would wait for a person: the program could not end by itself.
  EXPECT_EQ(ui().waitExit(20s), 0u);

  // The device sees the closed connection in its own time, after the program
  // has ended: wait for that record, then nothing may stand after it.
  ASSERT_TRUE(waitForOpLog([](auto& log) {
    return std::any_of(log.begin(), log.end(), [](auto& r) { return isOp(r, "disconnect"); });
  })) << "the device never saw the connection end";
  const auto log = opLog();
  const auto& last = log.back();
  EXPECT_TRUE(isOp(last, "disconnect")) << "no device call after the connection ended: " << text(last, "op");
  EXPECT_EQ(text(last, "reason"), "the desktop closed the link");
  EXPECT_EQ(text(last, "handlesReleased"), "0");
  EXPECT_EQ(opRecords("connect").size(), 1u) << "no renewal after a cancel";

  const auto steps = fileSteps(transferRecords(), "mfcce211.dll");
  ASSERT_GE(steps.size(), 4u);
  EXPECT_EQ(writes(log), 3) << "stopped after the held chunk, before the next";
  EXPECT_EQ(std::vector<std::string>(steps.end() - 4, steps.end()),
            (std::vector<std::string>{"write \\Windows\\mfcce211.dll 4096", "close \\Windows\\mfcce211.dll",
                                      "delete \\Windows\\mfcce211.dll 1",
                                      "move \\Temp\\mfcce211.dll \\Windows\\mfcce211.dll 1"}));
  EXPECT_TRUE(holdsExactly(deviceFile(windowsPath("mfcce211.dll")), "the working runtime"));
  EXPECT_FALSE(deviceFileExists(tempPath("mfcce211.dll")));
  EXPECT_TRUE(opRecords("CeRegSetValueEx").empty()) << "the worker stopped before ADO";
  EXPECT_EQ(opRecords("CeDeleteFile").size(), 2u) << "the undo's, and no clean-up";
}

// While a cancel waits for the worker, the dialog stays alive: it paints, its
// Cancel button is disabled, and input changes nothing. The device holds a
// write (and rapi.dll would wait ten minutes for its answer), so the dialog
// can only end through the bound of its wait.
TEST_F(TransferScenario, ACancelWaitingForAHeldCallKeepsTheDialogPaintingAndEndsWithinItsBound) {
  DeviceSettings settings;
  settings.faults = {"hold:CeWriteFile:2"};
  startDevice(settings);
  makePackages({{"Japanese/MFC/mfcce211.dll", 40960}, {"Japanese/ADO/adoce.dll", 2000}});
  setProgramVariable("PSPC_RAPI_REPLY_TIMEOUT_MS", "600000");
  const WindowInfo selection = acceptedSelection();
  confirm(selection, true, false);
  ASSERT_TRUE(waitForOpLog([](auto& log) { return !log.empty() && isOp(log.back(), "hold"); }))
      << "the transfer never reached the held write";
  const WindowInfo transfer = transferDialog();
  ui().click(transfer.hwnd, kCancel);

  EXPECT_TRUE(waitUntil([&] { return !ui().control(transfer.hwnd, kCancel).enabled; }))
      << "the Cancel button shows that the cancel is under way";
  const Answer painted = ui().repaint(transfer.hwnd);
  EXPECT_TRUE(painted.ok) << "the dialog does not paint while the worker is held: " << painted.error;
  ui().close(transfer.hwnd); // changes nothing now
  ui().waitGone(transfer.hwnd, 60s);
  EXPECT_TRUE(isOp(opLog().back(), "hold")) << "the held write was never let go";
  // Out of its cradle, the device lets go of the held write: the program,
  // which ends the connection once the dialog has ended, can end.
  ASSERT_EQ(controlDevice("unplug").rfind("ok", 0), 0u);
  EXPECT_EQ(ui().waitExit(30s), 0u) << "no reset notice after a cancel";
  EXPECT_EQ(opRecords("connect").size(), 1u) << "no renewal after a cancel";
}

// The cancel comes once every file is in place, while the clean-up's first
// delete is held: the worker finishes, and the run ends as a complete one.
TEST_F(TransferScenario, ACancelAfterTheLastFileStillEndsWithTheResetNotice) {
  DeviceSettings settings;
  settings.faults = {"hold:CeDeleteFile:1"};
  startDevice(settings);
  makePackages({{"Japanese/MFC/mfcce211.dll", 3000}, {"Japanese/ADO/adoce.dll", 2000}});
  const WindowInfo selection = acceptedSelection();
  confirm(selection, true, false);
  ASSERT_TRUE(waitForOpLog([](auto& log) { return !log.empty() && isOp(log.back(), "hold"); }))
      << "the clean-up never began";
  const WindowInfo transfer = transferDialog();
  ui().click(transfer.hwnd, kCancel);
  EXPECT_TRUE(waitUntil([&] { return !ui().control(transfer.hwnd, kCancel).enabled; }));
  EXPECT_TRUE(ui().repaint(transfer.hwnd).ok);
  ASSERT_EQ(controlDevice("release").rfind("ok", 0), 0u);

  expectCleanEnding(finish());
  EXPECT_EQ(opRecords("CeDeleteFile").size(), 12u) << "the clean-up ran to its end";
  expectInstalled({{"Japanese/MFC/mfcce211.dll", 3000}, {"Japanese/ADO/adoce.dll", 2000}});
}

// A name fits the program's paths when the folder prefix plus the name, and
// "WCE:\" plus "\Windows\" plus the name, stay within 259 bytes.
TEST_F(TransferScenario, NamesTooLongForThePathsArePassedOverAndCounted) {
  startDevice();
  // ".\Japanese\MFC\" is 15 bytes: a name of 244 fits, of 245 and 250 not.
  const std::string fits = std::string(240, 'f') + ".dll", tooLong = std::string(241, 'l') + ".dll",
                    farTooLong = std::string(246, 'x') + ".dll";
  makePackages({{"Japanese/MFC/" + fits, 300},
                {"Japanese/MFC/" + tooLong, 300},
                {"Japanese/MFC/" + farTooLong, 300},
                {"Japanese/ADO/adoce.dll", 2000}});
  expectFailureTold(install(true, false), 2);

  expectInstalled({{"Japanese/MFC/" + fits, 300}, {"Japanese/ADO/adoce.dll", 2000}});
  EXPECT_TRUE(fileSteps(transferRecords(), tooLong).empty()) << "passed over before any device call";
  EXPECT_TRUE(fileSteps(transferRecords(), farTooLong).empty());
}

TEST_F(TransferScenario, ANameTooLongForTheProgressTextIsPassedOverAndCounted) {
  DeviceSettings settings;
  settings.identity.language = "ENG";
  startDevice(settings);
  // ".\English\VB\" is 13 bytes, so both names fit the source path; with
  // "WCE:\" and "\Windows\" (14 bytes) a name of 245 fits, of 246 not.
  const std::string fits = std::string(241, 'f') + ".dll", tooLong = std::string(242, 'l') + ".dll";
  makePackages({{"English/VB/" + fits, 300}, {"English/VB/" + tooLong, 300}, {"English/ADO/adoce.dll", 2000}});
  expectFailureTold(install(false, true), 1);

  expectInstalled({{"English/VB/" + fits, 300}, {"English/ADO/adoce.dll", 2000}});
  EXPECT_TRUE(fileSteps(transferRecords(), tooLong).empty());
  EXPECT_FALSE(deviceFileExists(windowsPath(tooLong)));
}

} // namespace
} // namespace e2e::install
