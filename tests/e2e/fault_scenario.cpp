#include "fault_scenario.h"

#include "registration_rows.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>

namespace e2e::install {

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

const std::string* find(const std::map<std::string, std::string>& files, const std::string& name) {
  const auto it = files.find(name);
  return it == files.end() ? nullptr : &it->second;
}

// How a file shows in a report: its size and which known version it is.
std::string describe(const std::string* content, const std::string* newOne, const std::string* previous,
                     const std::string* older) {
  if (!content) return "none";
  std::string text = std::to_string(content->size()) + " bytes";
  if (newOne && *content == *newOne) return text + " (the new one)";
  if (previous && *content == *previous) return text + " (the previous one)";
  if (older && *content == *older) return text + " (the older one from \\Temp\\)";
  return text + " (no known version)";
}

std::set<std::string> namesOf(const std::map<std::string, std::string>& a,
                              const std::map<std::string, std::string>& b) {
  std::set<std::string> names;
  for (const auto& [name, content] : a) names.insert(name);
  for (const auto& [name, content] : b) names.insert(name);
  return names;
}

} // namespace

PackageContents contentsOf(const std::vector<PackageFile>& files) {
  PackageContents contents;
  for (const auto& file : files)
    contents[lower(file.path.substr(file.path.rfind('/') + 1))] = packageFileContent(file.path, file.bytes);
  return contents;
}

bool isStagedName(const std::string& name) {
  static const std::set<std::string> staged = {"atlce211.dll", "mfcce211.dll", "olece211.dll", "adoce.dll",
                                               "adocedb.dll",  "adoceres.dll", "adosync.dll",  "pvbform2.dll",
                                               "pvbhost2.dll", "pvbload.exe",  "vbscript.dll", "vbsen.dll"};
  return staged.count(name) != 0;
}

::testing::AssertionResult onlyWholeFiles(const DeviceFiles& before, const DeviceFiles& after,
                                          const PackageContents& packages, bool cleanedUp) {
  std::ostringstream faults;
  for (const auto& name : namesOf(before.windows, after.windows)) {
    const std::string* now = find(after.windows, name);
    const std::string* previous = find(before.windows, name);
    const std::string* newOne = packages.count(name) ? &packages.at(name) : nullptr;
    const bool whole = now ? (previous && *now == *previous) || (newOne && *now == *newOne) : !previous;
    if (!whole)
      faults << "\\Windows\\" << name << " holds " << describe(now, newOne, previous, nullptr) << ", was "
             << describe(previous, newOne, previous, nullptr) << "\n";
  }
  for (const auto& name : namesOf(before.temp, after.temp)) {
    const std::string* now = find(after.temp, name);
    const std::string* older = find(before.temp, name);
    const std::string* previous = find(before.windows, name);
    const std::string* newOne = packages.count(name) ? &packages.at(name) : nullptr;
    const std::string* installed = find(after.windows, name);
    const bool replaced = previous && installed && newOne && *installed == *newOne && *newOne != *previous;
    const bool mayBeCleaned = cleanedUp && isStagedName(name);
    bool whole;
    if (replaced) // the previous one went nowhere but here
      whole = now ? *now == *previous : mayBeCleaned;
    else if (now) // an older file left, or the previous one moved here for a copy
      whole = (older && *now == *older) || (previous && newOne && *now == *previous);
    else // a displacement deletes the older file first; so does the clean-up
      whole = !older || newOne || mayBeCleaned;
    if (!whole)
      faults << "\\Temp\\" << name << " holds " << describe(now, newOne, previous, older) << ", was "
             << describe(older, newOne, previous, older)
             << (replaced ? ", and \\Windows\\ has the new one in place of the previous" : "") << "\n";
  }
  if (faults.str().empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "files neither whole nor where they belong:\n" << faults.str();
}

DeviceFiles FaultScenario::deviceFiles() {
  DeviceFiles files;
  for (auto [folder, into] : {std::pair{u"\\Windows", &files.windows}, std::pair{u"\\Temp", &files.temp}}) {
    for (const auto& name : deviceFolder(folder)) {
      const std::string lowered = lower(name);
      if (lowered == "makezlkdata.exe" || lowered == "zlkassetdata.dat") continue;
      const auto content = deviceFile(std::u16string(folder) + u"\\" + widen(name));
      if (content) (*into)[lowered] = *content; // a folder reads as nothing
    }
  }
  return files;
}

int FaultScenario::filesNotInstalled(const PackageContents& packages) {
  const DeviceFiles now = deviceFiles();
  int missing = 0;
  for (const auto& [name, content] : packages) {
    const std::string* installed = find(now.windows, name);
    if (!installed || *installed != content) ++missing;
  }
  return missing;
}

int FaultScenario::valuesNotRegistered(bool mfc, bool vb) {
  std::vector<ExpectedRow> rows;
  if (vb) rows = vbRows();
  if (mfc || vb) rows.insert(rows.end(), adoRows().begin(), adoRows().end());
  int missing = 0;
  for (const auto& row : rows) {
    const auto value = deviceValue(row.root, row.keyPath, row.valueName.value_or(u""));
    if (!value || value->type != 1 || value->data != regSzBytes(row.data)) ++missing;
  }
  return missing;
}

void FaultScenario::expectTold(const Ending& ending, int failed) {
  if (failed > 0) {
    EXPECT_TRUE(ending.failure.has_value()) << failed << " items are missing, and no error message said so";
    if (ending.failure) {
      EXPECT_EQ(ending.failure->caption, errorCaption());
      EXPECT_EQ(ending.failure->text, transferFailedText(failed)) << ending.failure->textUtf8;
      EXPECT_EQ(ending.failure->buttons, (std::vector<int>{kOk}));
    }
  } else {
    EXPECT_FALSE(ending.failure.has_value()) << "an error message: " << ending.failure->textUtf8;
  }
  EXPECT_EQ(ending.notice.caption, warningCaption());
  EXPECT_EQ(ending.notice.text, resetPromptText());
  EXPECT_EQ(ending.exitCode, 0u);
}

void FaultScenario::expectWholeAndTold(const DeviceFiles& before, const std::vector<PackageFile>& chosen, bool mfc,
                                       bool vb, const Ending& ending) {
  const PackageContents packages = contentsOf(chosen);
  EXPECT_TRUE(onlyWholeFiles(before, deviceFiles(), packages, true));
  expectTold(ending, filesNotInstalled(packages) + valuesNotRegistered(mfc, vb));
}

const std::vector<PackageFile> kMfcFiles = {
    {"Japanese/MFC/mfcce211.dll", 20000}, {"Japanese/MFC/olece211.dll", 9000}, {"Japanese/MFC/MFC Helper.dll", 5000}};
const std::vector<PackageFile> kVbFiles = {{"Japanese/VB/vbscript.dll", 12000}, {"Japanese/VB/pvbform2.dll", 5000}};
const std::vector<PackageFile> kAdoFiles = {{"Japanese/ADO/adoce.dll", 8000}, {"Japanese/ADO/adocedb.dll", 3000}};

std::vector<PackageFile> chosenFiles(bool mfc, bool vb) {
  std::vector<PackageFile> files;
  if (mfc) files.insert(files.end(), kMfcFiles.begin(), kMfcFiles.end());
  if (vb) files.insert(files.end(), kVbFiles.begin(), kVbFiles.end());
  if (mfc || vb) files.insert(files.end(), kAdoFiles.begin(), kAdoFiles.end());
  return files;
}

std::vector<PackageFile> allFiles() { return chosenFiles(true, true); }

std::string earlier(const std::string& what, size_t bytes) { return packageFileContent("earlier/" + what, bytes); }

DeviceSettings deviceWithPreviousVersions(DeviceSettings settings) {
  settings.files[u"\\Windows\\mfcce211.dll"] = earlier("mfcce211.dll", 6000);
  settings.files[u"\\Windows\\vbscript.dll"] = earlier("vbscript.dll", 4500);
  settings.files[u"\\Windows\\adoce.dll"] = earlier("adoce.dll", 3000);
  settings.files[u"\\Windows\\unrelated.dll"] = earlier("unrelated.dll", 700);
  settings.files[u"\\Temp\\vbscript.dll"] = earlier("older vbscript.dll", 4000);
  settings.files[u"\\Temp\\notes.txt"] = "the user's own notes";
  return settings;
}

void FaultMatrix::arrange(const DeviceSettings& settings) {
  startDevice(settings);
  makePackages(allFiles());
  before_ = deviceFiles();
}

Ending FaultMatrix::installBoth(const std::function<void()>& duringTransfer) {
  const WindowInfo selection = acceptedSelection();
  if (beforeConfirm_) beforeConfirm_();
  confirm(selection, true, true);
  if (duringTransfer) duringTransfer();
  if (HasFatalFailure()) throw std::runtime_error("the scenario could not go on");
  return finish();
}

void FaultMatrix::expectWholeAndTold(const Ending& ending, int unansweredButDone) {
  const PackageContents packages = contentsOf(allFiles());
  EXPECT_TRUE(onlyWholeFiles(before_, deviceFiles(), packages, true));
  expectTold(ending, filesNotInstalled(packages) + valuesNotRegistered(true, true) + unansweredButDone);
}

} // namespace e2e::install
