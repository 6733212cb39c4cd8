// Identifying the device while the selection dialog is open, end to end: the
// wait for a device, the device tool and its data file, the device tag's
// version and language, and how each outcome ends, as the person at the
// desktop sees it and as the device saw it.
#include "setup_scenario.h"

#include <ostream>
#include <string_view>

namespace e2e {
namespace {

using namespace std::literals;

const std::string kToolPath = "\\Windows\\MakeZlkData.exe";
const std::string kDataPath = "\\Windows\\zlkAssetData.dat";
constexpr unsigned kFreeKb = 100;

// Package folders whose sizes tell which language folder was chosen:
// English shows 1 + 2 KB beside MFC and 1 + 4 beside VB, Japanese 8 + 16 and 8 + 32.
std::vector<PackageFile> languageTellingPackages() {
  return {{"English/ADO/adoce.dll", 1024},  {"English/MFC/mfcce211.dll", 2048},   {"English/VB/vbscript.dll", 4096},
          {"Japanese/ADO/adoce.dll", 8192}, {"Japanese/MFC/mfcce211.dll", 16384}, {"Japanese/VB/vbscript.dll", 32768}};
}

using Ops = std::vector<std::string>;

// What the probe asks of the device up to its tests of the tag: the tool
// started, the data file opened, sized and read.
const Ops kDataFileRead = {"connect", "CeCreateProcess", "CeCreateFile", "CeGetFileSize", "CeReadFile"};

Ops operator+(Ops ops, const Ops& more) {
  ops.insert(ops.end(), more.begin(), more.end());
  return ops;
}

class ProbeScenario : public E2eTest {
protected:
  WindowInfo startProbe(DeviceSettings settings) {
    if (!settings.freeBytesWhenProbed) settings.freeBytesWhenProbed = kFreeKb * 1024;
    startDevice(settings);
    makePackages(languageTellingPackages());
    startSetup();
    return waitSelection(driver());
  }

  // The link's calls and connections as the device saw them, in order.
  Ops deviceOps() const {
    Ops ops;
    for (const auto& record : opLog()) {
      const std::string op = pspc::field(record, "op").value_or("");
      if (op != "plug" && op != "unplug") ops.push_back(op);
    }
    return ops;
  }

  pspc::FlatJson onlyRecord(const std::string& op) const {
    const auto records = opRecords(op);
    if (records.size() != 1) throw std::runtime_error(std::to_string(records.size()) + " records of " + op);
    return records[0];
  }

  // Until the probe's outcome, the dialog can only be watched: its controls
  // stay disabled and its numbers show the template's 0.
  void expectNothingUsable(const WindowInfo& selection) {
    for (int id : {kOk, kCancel, IDC_INVERT_SELECTIONS, IDC_MFC_COMPONENT, IDC_VB_COMPONENT})
      EXPECT_FALSE(driver().control(selection.hwnd, id).enabled) << "control " << id;
    for (int id : {IDC_MEMORY_NEEDED, IDC_MEMORY_AVAILABLE, IDC_MFC_SIZE, IDC_VB_SIZE})
      EXPECT_EQ(driver().control(selection.hwnd, id).text, "0") << "control " << id;
  }

  void expectErrorMessage(const MessageBoxInfo& box, const WindowInfo& selection, const std::string& text) {
    EXPECT_EQ(box.caption, errorCaption());
    EXPECT_EQ(box.text, text) << box.textUtf8;
    EXPECT_EQ(box.buttons, (std::vector<int>{kOk})) << "MB_OK: the OK button only";
    EXPECT_EQ(box.owner, selection.hwnd) << "the message belongs to the selection dialog";
  }

  // The tool started with an empty command line; the data file, as far as
  // the probe got, opened for reading only, sized, read from its start and
  // closed (how often each: the order of calls tells).
  void expectProbeCalls() {
    const auto tool = onlyRecord("CeCreateProcess");
    EXPECT_EQ(pspc::field(tool, "application"), kToolPath);
    EXPECT_EQ(pspc::field(tool, "commandLine"), "");
    EXPECT_EQ(pspc::field(tool, "creationFlags"), "0");
    for (const auto& open : opRecords("CeCreateFile")) {
      EXPECT_EQ(pspc::field(open, "path"), kDataPath);
      EXPECT_EQ(pspc::field(open, "access"), "2147483648") << "GENERIC_READ";
      EXPECT_EQ(pspc::field(open, "share"), "1") << "FILE_SHARE_READ";
      EXPECT_EQ(pspc::field(open, "disposition"), "3") << "OPEN_EXISTING";
      EXPECT_EQ(pspc::field(open, "attributes"), "0");
    }
    for (const auto& record : opRecords("CeGetFileSize")) EXPECT_EQ(pspc::field(record, "path"), kDataPath);
    for (const auto& record : opRecords("CeReadFile")) {
      EXPECT_EQ(pspc::field(record, "path"), kDataPath);
      EXPECT_EQ(pspc::field(record, "count"), "2600");
    }
    for (const auto& record : opRecords("CeCloseHandle")) {
      EXPECT_EQ(pspc::field(record, "path"), kDataPath);
      EXPECT_EQ(pspc::field(record, "result"), "1");
    }
  }

  // The program has ended; the link was ended by the desktop, holding no
  // handle, and nothing on the device was changed.
  void expectCleanEnd() {
    ASSERT_TRUE(waitForOpLog([](auto& log) { return countOf(log, "disconnect") == countOf(log, "connect"); }))
        << "a connection stayed up after the program ended";
    for (const auto& record : opRecords("disconnect")) {
      EXPECT_EQ(pspc::field(record, "reason"), kLinkClosedByDesktop);
      EXPECT_EQ(pspc::field(record, "handlesReleased"), "0") << "the data file was left open";
    }
    EXPECT_EQ(deviceChanges(opLog()), "");
  }

  // A refused device: the message first, with the data file still open and
  // the link still up; then the file closed, the link ended, the program gone.
  void expectRefusal(const WindowInfo& selection, const std::string& text) {
    const MessageBoxInfo box = driver().waitMessageBox();
    expectErrorMessage(box, selection, text);
    expectNothingUsable(selection);
    EXPECT_EQ(deviceOps(), kDataFileRead);
    driver().dismiss();
    // One message only: a second would hold the program until dismissed.
    expectEndsWithoutTransfer(driver());
    expectCleanEnd();
    EXPECT_EQ(deviceOps(), (kDataFileRead + Ops{"CeCloseHandle", "disconnect"}));
    expectProbeCalls();
    EXPECT_EQ(deviceFile(u"\\Windows\\zlkAssetData.dat").value_or("").size(), 2600u)
        << "the data file stays as the tool wrote it";
  }

  // An accepted device: the dialog usable with the sizes of the chosen
  // language folder and the free storage; the data file closed once the
  // sizes are in; the link kept for the selection.
  void expectAcceptance(const WindowInfo& selection, unsigned mfcKb, unsigned vbKb) {
    waitForAcceptance(driver(), selection.hwnd);
    for (int id : {kCancel, IDC_INVERT_SELECTIONS, IDC_MFC_COMPONENT, IDC_VB_COMPONENT})
      EXPECT_TRUE(driver().control(selection.hwnd, id).enabled) << "control " << id;
    EXPECT_FALSE(driver().control(selection.hwnd, kOk).enabled) << "no package is ticked yet";
    EXPECT_EQ(driver().control(selection.hwnd, IDC_MFC_COMPONENT).checked, 0);
    EXPECT_EQ(driver().control(selection.hwnd, IDC_VB_COMPONENT).checked, 0);
    EXPECT_EQ(shownNumber(driver(), selection.hwnd, IDC_MFC_SIZE), mfcKb);
    EXPECT_EQ(shownNumber(driver(), selection.hwnd, IDC_VB_SIZE), vbKb);
    EXPECT_EQ(shownNumber(driver(), selection.hwnd, IDC_MEMORY_NEEDED), 0u);
    EXPECT_EQ(shownNumber(driver(), selection.hwnd, IDC_MEMORY_AVAILABLE), kFreeKb);
    EXPECT_FALSE(driver().request("msgbox").ok) << "acceptance shows no message";
    EXPECT_EQ(deviceOps(), (kDataFileRead + Ops{"CeGetStoreInformation", "CeCloseHandle"}));
    expectProbeCalls();

    driver().click(selection.hwnd, kCancel);
    expectEndsWithoutTransfer(driver());
    expectCleanEnd();
  }
};

// ---- the device tag: version and language

enum class Outcome { English, Japanese, WrongVersion, WrongLanguage };

struct TagCase {
  const char* name;
  std::u16string_view tag; // 11 UTF-16 units, as the device tool writes them
  Outcome outcome;
};

void PrintTo(const TagCase& tagCase, std::ostream* out) { *out << tagCase.name; }

const TagCase kTagCases[] = {
    {"ReleaseTag", u"1.12.00 ENG"sv, Outcome::English},
    {"OddTagInEnglish", u"1..2.00 ENG"sv, Outcome::English},
    {"OddTagInJapanese", u"1..2.00 JPN"sv, Outcome::Japanese},
    {"Version129", u"1.29.00 JPN"sv, Outcome::Japanese},
    {"Version130", u"1.30.00 ENG"sv, Outcome::WrongVersion},
    {"Version13AndALetter", u"1.3x.00 JPN"sv, Outcome::WrongVersion},
    {"Version200", u"2.00.00 ENG"sv, Outcome::WrongVersion},
    // Four zero units read as "....", which is no number: version 0.
    {"ZeroUnitVersionInEnglish", u"\0\0\0\0.00 ENG"sv, Outcome::English},
    {"ZeroUnitVersionInFrench", u"\0\0\0\0.00 FRE"sv, Outcome::WrongLanguage},
    {"WrongVersionAndLanguage", u"1.30.00 FRE"sv, Outcome::WrongVersion},
    {"LowerCaseLanguage", u"1.12.00 eng"sv, Outcome::WrongLanguage},
    {"FrenchLanguage", u"1.12.00 FRE"sv, Outcome::WrongLanguage},
    // A zero unit before the code reads as a full stop, not a blank.
    {"ZeroUnitBeforeTheLanguage", u"1.12.00\0ENG"sv, Outcome::WrongLanguage},
    // Only the low byte counts: 0x0145 is an E.
    {"WideUnitWithTheLowByteOfE", u"1.12.00 \u0145NG"sv, Outcome::English},
    // 0x4E00 gives a zero character: the version text ends after "1" (read
    // as "1.50" it would be refused) ...
    {"ZeroLowByteEndsTheVersion", u"1\u4E0050.00 ENG"sv, Outcome::English},
    // ... and the language code after "EN".
    {"ZeroLowByteEndsTheLanguage", u"1.12.00 EN\u4E00"sv, Outcome::WrongLanguage},
};

class DeviceTagScenario : public ProbeScenario, public ::testing::WithParamInterface<TagCase> {};

TEST_P(DeviceTagScenario, DecidesTheOutcome) {
  const TagCase& tagCase = GetParam();
  ASSERT_EQ(tagCase.tag.size(), 11u);
  DeviceSettings settings;
  std::array<uint16_t, 11> units{};
  std::copy(tagCase.tag.begin(), tagCase.tag.end(), units.begin());
  settings.identity.tagUnits = units;
  const WindowInfo selection = startProbe(settings);
  switch (tagCase.outcome) {
  case Outcome::English:
    expectAcceptance(selection, 1 + 2, 1 + 4);
    break;
  case Outcome::Japanese:
    expectAcceptance(selection, 8 + 16, 8 + 32);
    break;
  case Outcome::WrongVersion:
    expectRefusal(selection, wrongVersionText());
    break;
  case Outcome::WrongLanguage:
    expectRefusal(selection, wrongLanguageText());
    break;
  }
}

INSTANTIATE_TEST_SUITE_P(Tags, DeviceTagScenario, ::testing::ValuesIn(kTagCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProbeScenario, AShortDataFileReadsAsFullStopsAndIsRefusedForItsLanguage) {
  // An earlier run left 100 bytes; the tool writes nothing this time. The
  // tag's bytes lie beyond the end of the file, so nothing of them arrives.
  DeviceSettings settings;
  settings.identity.toolWrites = false;
  settings.files[u"\\Windows\\zlkAssetData.dat"] = std::string(100, '1');
  const WindowInfo selection = startProbe(settings);

  expectErrorMessage(driver().waitMessageBox(), selection, wrongLanguageText());
  const auto read = onlyRecord("CeReadFile");
  EXPECT_EQ(pspc::field(read, "count"), "2600");
  EXPECT_EQ(pspc::field(read, "bytesRead"), "100");
  driver().dismiss();
  expectEndsWithoutTransfer(driver());
  expectCleanEnd();
  EXPECT_EQ(deviceOps(), (kDataFileRead + Ops{"CeCloseHandle", "disconnect"}));
  EXPECT_EQ(deviceFile(u"\\Windows\\zlkAssetData.dat"), std::string(100, '1')) << "the probe never alters the file";
}

// ---- ending without a message

struct SilentCase {
  const char* name;
  void (*arrange)(DeviceSettings&);
  Ops ops; // what the device saw, up to the end of the link
};

void PrintTo(const SilentCase& silentCase, std::ostream* out) { *out << silentCase.name; }

const SilentCase kSilentCases[] = {
    {"NoDeviceTool", [](DeviceSettings& s) { s.deviceTool = false; }, {"connect", "CeCreateProcess", "disconnect"}},
    {"ToolThatNeverWrites",
     [](DeviceSettings& s) { s.identity.toolWrites = false; },
     {"connect", "CeCreateProcess", "CeCreateFile", "disconnect"}},
    // The probe does not wait for the tool: a file written later is missed.
    {"ToolThatWritesTooLate",
     [](DeviceSettings& s) { s.identity.toolDelayMs = 5000; },
     {"connect", "CeCreateProcess", "CeCreateFile", "disconnect"}},
    {"SizeThatCannotBeRead",
     [](DeviceSettings& s) { s.faults = {"fail:CeGetFileSize:1"}; },
     {"connect", "CeCreateProcess", "CeCreateFile", "CeGetFileSize", "CeCloseHandle", "disconnect"}},
};

class SilentFailureScenario : public ProbeScenario, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(SilentFailureScenario, EndsTheProgramWithoutAMessage) {
  DeviceSettings settings;
  GetParam().arrange(settings);
  startProbe(settings);
  // A message box is modal: shown, it would hold the program until dismissed.
  expectEndsWithoutTransfer(driver());
  expectCleanEnd();
  EXPECT_EQ(deviceOps(), GetParam().ops);
  expectProbeCalls();
}

INSTANTIATE_TEST_SUITE_P(Outcomes, SilentFailureScenario, ::testing::ValuesIn(kSilentCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- no device at all

TEST_F(ProbeScenario, WithNoDeviceListeningTheProbeGivesUpAfterItsFullWait) {
  DeviceSettings unplugged;
  unplugged.plugged = false;
  startDevice(unplugged);
  makePackages(languageTellingPackages());
  startSetup();
  const auto launched = std::chrono::steady_clock::now();
  const WindowInfo selection = waitSelection(driver());

  const MessageBoxInfo box = driver().waitMessageBox(20s);
  const auto shownAfter =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - launched);
  // The 500 ms pause, then the whole 10,000 ms wait.
  EXPECT_GE(shownAfter, 10300ms) << shownAfter.count() << " ms";
  EXPECT_LE(shownAfter, 12000ms) << shownAfter.count() << " ms";
  expectErrorMessage(box, selection, connectFailedText());
  EXPECT_EQ(box.text.size(), 70u);
  expectNothingUsable(selection);

  driver().dismiss();
  expectEndsWithoutTransfer(driver());
  EXPECT_EQ(deviceOps(), Ops{}) << "no connection was ever made";
}

} // namespace
} // namespace e2e
