// The device registration, end to end: every value of the VB and ADO tables
// lands with its exact type, bytes and byte count; a key that exists is opened,
// a missing one made; a value already there is replaced; a value that cannot
// be written is passed over, counted and told.
#include "install_scenario.h"
#include "registration_rows.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace e2e::install {
namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

// The registry calls of the transfer, one line each, in order.
std::vector<std::string> registryCalls(const std::vector<pspc::FlatJson>& records) {
  std::vector<std::string> calls;
  for (const auto& r : records) {
    const std::string outcome = text(r, "status") == "0" ? "ok" : "failed";
    if (isOp(r, "CeRegOpenKeyEx"))
      calls.push_back("open " + text(r, "key") + "\\" + text(r, "subKey") + " " + outcome);
    else if (isOp(r, "CeRegCreateKeyEx"))
      calls.push_back("create " + text(r, "key") + "\\" + text(r, "subKey") + " " + outcome);
    else if (isOp(r, "CeRegSetValueEx"))
      calls.push_back("set " + text(r, "key") + "|" + text(r, "valueName") + " " + outcome);
  }
  return calls;
}

// The calls the rows should cause on a registry that already holds the keys
// `existing` (full paths, root name first): each key opened, and made only
// when the open fails; making a key makes the keys above it too. Keys are
// told apart without regard to letter case, as the device does.
std::vector<std::string> expectedCalls(const std::vector<ExpectedRow>& rows, std::set<std::string> existing,
                                       const std::set<size_t>& uncreatable = {}) {
  std::set<std::string> keys;
  for (const auto& key : existing) keys.insert(lower(key));
  std::vector<std::string> calls;
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string key = loggedKey(rows[i]);
    const bool exists = keys.count(lower(key)) != 0;
    calls.push_back("open " + key + (exists ? " ok" : " failed"));
    if (!exists) {
      if (uncreatable.count(i)) {
        calls.push_back("create " + key + " failed");
        continue; // nothing is written for this row
      }
      calls.push_back("create " + key + " ok");
      for (size_t at = key.find('\\'); at != std::string::npos; at = key.find('\\', at + 1))
        keys.insert(lower(key.substr(0, at)));
      keys.insert(lower(key));
    }
    calls.push_back("set " + loggedKey(rows[i]) + "|" + loggedValueName(rows[i]) + " ok");
  }
  return calls;
}

std::vector<ExpectedRow> allRows() {
  std::vector<ExpectedRow> rows = vbRows();
  rows.insert(rows.end(), adoRows().begin(), adoRows().end());
  return rows;
}

class RegistrationScenario : public InstallScenario {
protected:
  // The row's value on the device is REG_SZ with exactly the row's bytes.
  void expectOnDevice(const ExpectedRow& row) {
    const auto value = deviceValue(row.root, row.keyPath, row.valueName.value_or(u""));
    ASSERT_TRUE(value.has_value()) << loggedKey(row) << " " << loggedValueName(row);
    EXPECT_EQ(value->type, 1u) << loggedKey(row);
    EXPECT_EQ(hex(value->data), hex(regSzBytes(row.data))) << loggedKey(row) << " " << loggedValueName(row);
  }

  void expectFailureTold(const Ending& ending, int failed) {
    ASSERT_TRUE(ending.failure.has_value()) << "no error message before the notice";
    EXPECT_EQ(ending.failure->caption, errorCaption());
    EXPECT_EQ(ending.failure->text, transferFailedText(failed)) << ending.failure->textUtf8;
    EXPECT_EQ(ending.notice.text, resetPromptText());
    EXPECT_EQ(ending.exitCode, 0u);
  }
};

TEST_F(RegistrationScenario, EveryRowLandsWithItsExactTypeBytesAndByteCount) {
  startDevice();
  makePackages({});
  const Ending ending = install(true, true);
  EXPECT_FALSE(ending.failure.has_value());
  EXPECT_EQ(ending.exitCode, 0u);

  const auto rows = allRows();
  ASSERT_EQ(rows.size(), 40u);
  std::vector<pspc::FlatJson> sets;
  for (const auto& r : transferRecords())
    if (isOp(r, "CeRegSetValueEx")) sets.push_back(r);
  ASSERT_EQ(sets.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const ExpectedRow& row = rows[i];
    const std::vector<uint8_t> bytes = regSzBytes(row.data);
    ASSERT_EQ(bytes.size(), row.byteCount) << "the expected table itself, row " << i;
    SCOPED_TRACE("row " + std::to_string(i) + ": " + loggedKey(row) + " " + loggedValueName(row));
    EXPECT_EQ(text(sets[i], "key"), loggedKey(row)) << "exact letters";
    EXPECT_EQ(text(sets[i], "valueName"), loggedValueName(row)) << "null for the default value";
    EXPECT_EQ(text(sets[i], "type"), "1");
    EXPECT_EQ(number(sets[i], "byteCount"), row.byteCount);
    EXPECT_EQ(text(sets[i], "data"), hex(bytes));
    EXPECT_EQ(text(sets[i], "status"), "0");
    expectOnDevice(row);
  }
  // Each key opened first and made only when it was missing, "TypeLIb" and
  // "TypeLib" each as written (the device takes both for one key).
  EXPECT_EQ(registryCalls(transferRecords()), expectedCalls(rows, {}));
}

TEST_F(RegistrationScenario, KeysThatExistAreOpenedAndTheirValuesReplaced) {
  startDevice();
  makePackages({});
  const std::u16string flagsKey = u"TypeLib\\{E45BC4F0-E062-11d1-8B59-006008B0E597}\\1.0\\FLAGS";
  arrangeDeviceValue(kHkcr, u"VBS", u"", 4 /* REG_DWORD */, {1, 0, 0, 0});
  arrangeDeviceValue(kHkcr, u"VBS", u"Keep", 1, regSzBytes(u"not the installer's"));
  arrangeDeviceValue(kHkcr, flagsKey, u"", 1, regSzBytes(u"1234567"));
  arrangeDeviceValue(kHkcr, u"ADOCE.Recordset", u"CurVer", 1, regSzBytes(u"ADOCE.Recordset.0 of an older runtime"));
  arrangeDeviceValue(kHklm, u"Software\\Microsoft\\ADO", u"ROMversion", 3 /* REG_BINARY */,
                     {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  const Ending ending = install(true, true);
  EXPECT_FALSE(ending.failure.has_value());

  EXPECT_EQ(
      registryCalls(transferRecords()),
      expectedCalls(allRows(), {"HKEY_CLASSES_ROOT\\VBS", "HKEY_CLASSES_ROOT\\" + narrow(flagsKey),
                                "HKEY_CLASSES_ROOT\\ADOCE.Recordset", "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\ADO"}));
  for (const auto& row : allRows()) expectOnDevice(row);
  const auto kept = deviceValue(kHkcr, u"VBS", u"Keep");
  ASSERT_TRUE(kept.has_value()) << "a value of another name stays";
  EXPECT_EQ(kept->data, regSzBytes(u"not the installer's"));
}

TEST_F(RegistrationScenario, ValuesThatCannotBeWrittenArePassedOverCountedAndTold) {
  startDevice();
  makePackages({});
  const WindowInfo selection = acceptedSelection();
  // From here on: the first key the run makes ("VBS") cannot be made, and
  // the fifth value it sets (row 6, VBScript\OLEScript) is refused.
  ASSERT_EQ(controlDevice("fault fail:CeRegCreateKeyEx:1").rfind("ok", 0), 0u);
  ASSERT_EQ(controlDevice("fault fail:CeRegSetValueEx:5").rfind("ok", 0), 0u);
  confirm(selection, false, true);
  expectFailureTold(finish(), 2);

  std::vector<std::string> expected = expectedCalls(allRows(), {}, {0});
  // Row 6's value is asked for and refused.
  const std::string refused = "set HKEY_CLASSES_ROOT\\VBScript\\OLEScript|null ";
  std::replace(expected.begin(), expected.end(), refused + "ok", refused + "failed");
  EXPECT_EQ(registryCalls(transferRecords()), expected);

  const auto rows = allRows();
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i == 0 || i == 5) {
      EXPECT_FALSE(deviceValue(rows[i].root, rows[i].keyPath, u"").has_value()) << loggedKey(rows[i]);
    } else {
      expectOnDevice(rows[i]);
    }
  }
}

} // namespace
} // namespace e2e::install
