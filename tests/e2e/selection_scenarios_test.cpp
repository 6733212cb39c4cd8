// Choosing the packages, end to end: the sizes the dialog shows for the
// package folders and the device's storage, the memory a selection needs, and
// OK against the storage free at that moment, on a device identified as a
// Japanese PsPC of version 1.12.
#include "setup_scenario.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstring>
#include <ostream>

namespace e2e {
namespace {

// What Wine reads as a file's DOS attributes, beside the hidden dot-file rule.
constexpr char kDosAttributes[] = "user.DOSATTRIB";
constexpr int BST_CHECKED_STATE = 1;

struct Selection {
  bool mfc = false, vb = false;
  unsigned needed = 0;
  bool okEnabled = false;
  bool operator==(const Selection&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Selection& s) {
  return out << "MFC " << (s.mfc ? "ticked" : "unticked") << ", VB " << (s.vb ? "ticked" : "unticked") << ", needed "
             << s.needed << " KB, OK " << (s.okEnabled ? "enabled" : "disabled");
}

// ADO 1 KB, MFC 2 KB, VB 4 KB.
std::vector<PackageFile> packagesOf1And2And4Kb() {
  return {{"Japanese/ADO/adoce.dll", 1024}, {"Japanese/MFC/mfcce211.dll", 2048}, {"Japanese/VB/vbscript.dll", 4096}};
}

class SelectionScenario : public E2eTest {
protected:
  // The device has `freeBytes` free once identified; the dialog is usable.
  WindowInfo openSelection(const std::vector<PackageFile>& packages, uint32_t freeBytes, DeviceSettings settings = {}) {
    settings.freeBytesWhenProbed = freeBytes;
    startDevice(settings);
    makePackages(packages);
    return openWithPackagesInPlace();
  }

  WindowInfo openWithPackagesInPlace() {
    startSetup();
    const WindowInfo dialog = waitSelection(driver());
    waitForAcceptance(driver(), dialog.hwnd);
    return dialog;
  }

  unsigned shown(const WindowInfo& dialog, int id) { return shownNumber(driver(), dialog.hwnd, id); }

  Selection shownSelection(const WindowInfo& dialog) {
    return {driver().control(dialog.hwnd, IDC_MFC_COMPONENT).checked == 1,
            driver().control(dialog.hwnd, IDC_VB_COMPONENT).checked == 1, shown(dialog, IDC_MEMORY_NEEDED),
            driver().control(dialog.hwnd, kOk).enabled};
  }

  // A click is handled after the driver has answered: wait for the dialog to
  // show the expected selection before comparing.
  void expectSelection(const WindowInfo& dialog, const Selection& expected, const std::string& after) {
    waitUntil([&] { return shownSelection(dialog) == expected; });
    EXPECT_EQ(shownSelection(dialog), expected) << "after " << after;
  }

  // OK refused: the message under the dialog, and once it is dismissed the
  // dialog still open for another try.
  void expectLowStorageRefusal(const WindowInfo& dialog) {
    const MessageBoxInfo box = driver().waitMessageBox();
    EXPECT_EQ(box.caption, errorCaption());
    EXPECT_EQ(box.text, lowStorageText()) << box.textUtf8;
    EXPECT_EQ(box.buttons, (std::vector<int>{kOk}));
    EXPECT_EQ(box.owner, dialog.hwnd);
    driver().dismiss(box.hwnd);
    driver().waitGone(box.hwnd);
    EXPECT_TRUE(driver().control(dialog.hwnd, kCancel).enabled) << "the dialog stays open and usable";
  }

  // OK accepted: the selection dialog ends and the transfer dialog opens.
  // Slow replies keep the transfer dialog up long enough to be seen.
  void pressOkAndExpectTheTransfer(const WindowInfo& dialog) {
    ASSERT_EQ(controlDevice("delay 300").rfind("ok", 0), 0u);
    driver().click(dialog.hwnd, kOk);
    driver().waitGone(dialog.hwnd);
    waitTransfer(driver());
  }

  void setDosAttributes(const std::string& packageFile, const char* attributes) {
    const fs::path path = packageDir() / packageFile;
    ASSERT_EQ(::setxattr(path.c_str(), kDosAttributes, attributes, std::strlen(attributes), 0), 0)
        << path << ": the file system keeps no user attributes";
  }
};

TEST_F(SelectionScenario, EachFolderIsCutToWholeKbBeforeTheSizesAreAdded) {
  // ADO 1023 bytes and MFC 1023 bytes (in two files) are 0 KB each, not 1 KB
  // together; VB of 1024 bytes is 1 KB. 1536 free bytes are 1 KB.
  const WindowInfo dialog = openSelection({{"Japanese/ADO/adoce.dll", 1023},
                                           {"Japanese/MFC/mfcce211.dll", 600},
                                           {"Japanese/MFC/mfcce211.res", 423},
                                           {"Japanese/VB/vbscript.dll", 1024}},
                                          1536);
  EXPECT_EQ(shown(dialog, IDC_MFC_SIZE), 0u);
  EXPECT_EQ(shown(dialog, IDC_VB_SIZE), 1u);
  EXPECT_EQ(shown(dialog, IDC_MEMORY_NEEDED), 0u);
  EXPECT_EQ(shown(dialog, IDC_MEMORY_AVAILABLE), 1u);
}

TEST_F(SelectionScenario, AMissingMfcFolderShowsTheAdoSizeWithoutAMessage) {
  DeviceSettings settings;
  settings.freeBytesWhenProbed = 64 * 1024;
  startDevice(settings);
  makePackages({{"Japanese/ADO/adoce.dll", 2048}, {"Japanese/VB/vbscript.dll", 1024}});
  fs::remove_all(packageDir() / "Japanese" / "MFC");
  const WindowInfo dialog = openWithPackagesInPlace();
  EXPECT_EQ(shown(dialog, IDC_MFC_SIZE), 2u);
  EXPECT_EQ(shown(dialog, IDC_VB_SIZE), 3u);
  EXPECT_FALSE(driver().request("msgbox").ok) << "a missing folder is no error";
}

TEST_F(SelectionScenario, EveryFileCountsWhateverItsAttributesButNoPlainFolderIsEntered) {
  DeviceSettings settings;
  settings.freeBytesWhenProbed = 64 * 1024;
  startDevice(settings);
  makePackages({{"Japanese/ADO/adoce.dll", 1024},
                {"Japanese/ADO/.adoce.hlp", 2048}, // hidden, by its leading dot
                {"Japanese/ADO/adosys.dll", 4096},
                {"Japanese/MFC/mfcce211.dll", 1024},
                {"Japanese/MFC/sub/inner.dll", 8192},
                {"Japanese/MFC/readonly/inner.dll", 16384},
                {"Japanese/VB/vbscript.dll", 3072},
                {"Japanese/VB/pvbhidden.dll", 1024}});
  setDosAttributes("Japanese/ADO/adosys.dll", "0x4");   // system
  setDosAttributes("Japanese/VB/pvbhidden.dll", "0x6"); // hidden and system
  // A folder without write permission is a read-only folder (attribute word
  // 17): an entry of its own, counted with the size the search gives a
  // folder, which Wine gives as 0; what it holds is never counted.
  ASSERT_EQ(::chmod((packageDir() / "Japanese/MFC/readonly").c_str(), 0555), 0);
  const WindowInfo dialog = openWithPackagesInPlace();
  EXPECT_EQ(shown(dialog, IDC_MFC_SIZE), (1 + 2 + 4) + 1u);
  EXPECT_EQ(shown(dialog, IDC_VB_SIZE), (1 + 2 + 4) + (3 + 1u));
}

TEST_F(SelectionScenario, NeededMemoryFollowsTheTickedBoxesWithAdoCountedOnce) {
  const WindowInfo dialog = openSelection(packagesOf1And2And4Kb(), 100 * 1024);
  expectSelection(dialog, {false, false, 0, false}, "acceptance");

  driver().click(dialog.hwnd, IDC_MFC_COMPONENT);
  expectSelection(dialog, {true, false, 1 + 2, true}, "ticking MFC");
  driver().click(dialog.hwnd, IDC_VB_COMPONENT);
  expectSelection(dialog, {true, true, 1 + 2 + 4, true}, "ticking VB too");

  driver().click(dialog.hwnd, IDC_INVERT_SELECTIONS);
  expectSelection(dialog, {false, false, 0, false}, "inverting both ticked");
  driver().click(dialog.hwnd, IDC_INVERT_SELECTIONS);
  expectSelection(dialog, {true, true, 1 + 2 + 4, true}, "inverting none ticked");

  driver().click(dialog.hwnd, IDC_VB_COMPONENT);
  expectSelection(dialog, {true, false, 1 + 2, true}, "unticking VB");
  driver().click(dialog.hwnd, IDC_INVERT_SELECTIONS);
  expectSelection(dialog, {false, true, 1 + 4, true}, "inverting only MFC ticked");
  driver().click(dialog.hwnd, IDC_INVERT_SELECTIONS);
  expectSelection(dialog, {true, false, 1 + 2, true}, "inverting again");

  driver().click(dialog.hwnd, IDC_MFC_COMPONENT);
  expectSelection(dialog, {false, false, 0, false}, "unticking MFC");
  EXPECT_EQ(shown(dialog, IDC_MEMORY_AVAILABLE), 100u) << "only OK measures the storage again";
}

TEST_F(SelectionScenario, CommandsAreToldApartByTheControlIdAlone) {
  const WindowInfo dialog = openSelection(packagesOf1And2And4Kb(), 100 * 1024);
  // A box set without a click changes nothing shown until a command comes.
  driver().setCheck(dialog.hwnd, IDC_VB_COMPONENT, BST_CHECKED_STATE);
  EXPECT_EQ(shownSelection(dialog), (Selection{false, true, 0, false}));
  // Any notification code from 1015 or 1017 recomputes the needed memory and OK.
  driver().command(dialog.hwnd, IDC_VB_COMPONENT, 0x1234);
  expectSelection(dialog, {false, true, 1 + 4, true}, "a command from 1017 with code 0x1234");
  driver().setCheck(dialog.hwnd, IDC_MFC_COMPONENT, BST_CHECKED_STATE);
  driver().command(dialog.hwnd, IDC_MFC_COMPONENT, 5);
  expectSelection(dialog, {true, true, 1 + 2 + 4, true}, "a command from 1015 with code 5");
  // Invert Selections too acts on its id, whatever the code.
  driver().command(dialog.hwnd, IDC_INVERT_SELECTIONS, 0xFFFF);
  expectSelection(dialog, {false, false, 0, false}, "a command from 1005 with code 0xFFFF");
  // Other ids do nothing: handled in order before a recomputing command,
  // they neither invert, confirm nor cancel.
  driver().setCheck(dialog.hwnd, IDC_MFC_COMPONENT, BST_CHECKED_STATE);
  driver().command(dialog.hwnd, 4242, 0);
  driver().command(dialog.hwnd, IDC_VB_COMPONENT, 0);
  expectSelection(dialog, {true, false, 1 + 2, true}, "a command from an unknown id, then one from 1017");
  EXPECT_TRUE(driver().control(dialog.hwnd, kCancel).enabled) << "the dialog is still open";
}

TEST_F(SelectionScenario, APackageOfNoWholeKbNeedsNothingAndFitsIntoOneKb) {
  // MFC has 1000 bytes: 0 KB of its own, so ADO's 5 KB are not needed for it.
  const WindowInfo dialog = openSelection(
      {{"Japanese/ADO/adoce.dll", 5120}, {"Japanese/MFC/mfcce211.dll", 1000}, {"Japanese/VB/vbscript.dll", 2048}},
      1024);
  EXPECT_EQ(shown(dialog, IDC_MFC_SIZE), 5u);
  EXPECT_EQ(shown(dialog, IDC_VB_SIZE), 5 + 2u);
  EXPECT_EQ(shown(dialog, IDC_MEMORY_AVAILABLE), 1u);

  driver().click(dialog.hwnd, IDC_MFC_COMPONENT);
  expectSelection(dialog, {true, false, 0, true}, "ticking MFC");
  driver().click(dialog.hwnd, IDC_INVERT_SELECTIONS);
  expectSelection(dialog, {false, true, 5 + 2, true}, "inverting to VB");
  driver().click(dialog.hwnd, IDC_INVERT_SELECTIONS);
  expectSelection(dialog, {true, false, 0, true}, "inverting back to MFC");
  pressOkAndExpectTheTransfer(dialog);
}

TEST_F(SelectionScenario, OkComparesTheNeedWithTheStorageFreeAtThatMoment) {
  const WindowInfo dialog = openSelection(packagesOf1And2And4Kb(), 10 * 1024);
  EXPECT_EQ(shown(dialog, IDC_MEMORY_AVAILABLE), 10u);
  driver().click(dialog.hwnd, IDC_MFC_COMPONENT);
  expectSelection(dialog, {true, false, 3, true}, "ticking MFC");

  // Something on the device takes 7 KB: 3 KB are left, as much as is needed.
  ASSERT_TRUE(putDeviceFile(u"\\My Documents\\photo.bmp", std::string(7 * 1024, 'p')));
  driver().click(dialog.hwnd, kOk);
  expectLowStorageRefusal(dialog);
  EXPECT_EQ(shown(dialog, IDC_MEMORY_AVAILABLE), 3u) << "the figure measured at that OK";
  expectSelection(dialog, {true, false, 3, true}, "the refusal");
  EXPECT_EQ(countOf(opLog(), "CeGetStoreInformation"), 2u) << "measured once by the probe, once by OK";

  // 1 KB is freed: the 3 KB needed are now below the 4 KB available.
  ASSERT_TRUE(putDeviceFile(u"\\My Documents\\photo.bmp", std::string(6 * 1024, 'p')));
  pressOkAndExpectTheTransfer(dialog);
}

TEST_F(SelectionScenario, ADeviceThatCannotReportItsStorageRefusesEverySelection) {
  // The store has room, but the device does not say so: it offers 0 KB, and
  // even a selection that needs 0 KB does not fit.
  DeviceSettings settings;
  settings.faults = {"fail:CeGetStoreInformation:1+"};
  const WindowInfo dialog = openSelection(
      {{"Japanese/ADO/adoce.dll", 1024}, {"Japanese/MFC/mfcce211.dll", 1000}, {"Japanese/VB/vbscript.dll", 4096}},
      100 * 1024, settings);
  EXPECT_EQ(shown(dialog, IDC_MEMORY_AVAILABLE), 0u);
  driver().click(dialog.hwnd, IDC_MFC_COMPONENT);
  expectSelection(dialog, {true, false, 0, true}, "ticking MFC");
  driver().click(dialog.hwnd, kOk);
  expectLowStorageRefusal(dialog);
  EXPECT_EQ(shown(dialog, IDC_MEMORY_AVAILABLE), 0u);

  const auto asked = opRecords("CeGetStoreInformation");
  ASSERT_EQ(asked.size(), 2u);
  for (const auto& record : asked) EXPECT_EQ(pspc::field(record, "result"), "0");
}

TEST_F(SelectionScenario, CancelStoresNoChoiceAndNoTransferHappens) {
  const WindowInfo dialog = openSelection(packagesOf1And2And4Kb(), 100 * 1024);
  driver().click(dialog.hwnd, IDC_MFC_COMPONENT);
  driver().click(dialog.hwnd, IDC_VB_COMPONENT);
  expectSelection(dialog, {true, true, 7, true}, "ticking both");
  driver().click(dialog.hwnd, kCancel);
  expectEndsWithoutTransfer(driver());

  ASSERT_TRUE(waitForOpLog([](auto& log) { return countOf(log, "disconnect") == 1; }));
  const auto log = opLog();
  EXPECT_EQ(countOf(log, "connect"), 1u) << "the transfer renews the connection; it never began";
  EXPECT_EQ(deviceChanges(log), "");
}

} // namespace
} // namespace e2e
