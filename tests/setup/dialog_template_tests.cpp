// The two dialog templates, read twice: as stored bytes (form, font, title,
// language, every item) and as the dialog manager builds them into windows
// (styles, classes, texts, tab order, positions and sizes in pixels).
#include "dialog_template_reader.h"
#include "resource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kButtonClass = 0x0080;
constexpr uint16_t kStaticClass = 0x0082;
constexpr DWORD kDialogStyle = 0x80C800C0; // WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT
constexpr LANGID kTemplateLanguage = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL); // 1028

struct ExpectedControl {
  int id;
  uint16_t windowClass;
  DWORD style;
  DWORD exStyle;
  short x, y, width, height;
  const char16_t* text;
};

struct ExpectedDialog {
  WORD templateId;
  bool extended;
  const char16_t* title;
  short width, height;
  std::vector<ExpectedControl> controls; // in template order
};

const ExpectedDialog kSelectionDialog = {
    IDD_SELECTION,
    true,
    u"ZELKOR Setup Options",
    285,
    161,
    {
        {IDC_VB_COMPONENT, kButtonClass, 0x58012003, 0, 27, 27, 157, 20,
         u"Visual Basic runtime support libraries  includes ADO support"},
        {IDC_MFC_COMPONENT, kButtonClass, 0x58012003, 0, 27, 52, 197, 19,
         u"Microsoft Foundation Classes runtime support libraries includes ADO support"},
        {IDC_INVERT_SELECTIONS, kButtonClass, 0x58010000, 0, 55, 134, 80, 14, u"Invert Selections"},
        {IDOK, kButtonClass, 0x58010001, 0, 160, 134, 38, 14, u"OK"},
        {IDCANCEL, kButtonClass, 0x58010000, 0, 199, 134, 38, 14, u"Cancel"},
        {IDC_COMPONENTS_GROUP, kButtonClass, 0x50000007, 0, 17, 13, 254, 85, u"Select Components to Setup"},
        {IDC_MEMORY_AVAILABLE_LABEL, kStaticClass, 0x50020000, 0, 39, 117, 128, 11, u"Memory Available "},
        {IDC_MEMORY_NEEDED_LABEL, kStaticClass, 0x50020000, 0, 39, 102, 126, 11, u"Memory Needed"},
        {IDC_MEMORY_NEEDED, kStaticClass, 0x50020000, WS_EX_RIGHT, 217, 102, 26, 10, u"0"},
        {IDC_MEMORY_AVAILABLE, kStaticClass, 0x50020000, WS_EX_RIGHT, 217, 117, 26, 10, u"0"},
        {-1, kStaticClass, 0x50020000, 0, 252, 58, 11, 8, u"KB"},
        {-1, kStaticClass, 0x50020000, 0, 251, 102, 11, 8, u"KB"},
        {-1, kStaticClass, 0x50020000, 0, 251, 117, 11, 8, u"KB"},
        {IDC_MFC_SIZE, kStaticClass, 0x50020000, WS_EX_RIGHT, 217, 58, 26, 11, u"0"},
        {-1, kStaticClass, 0x50020000, 0, 251, 34, 11, 8, u"KB"},
        {IDC_VB_SIZE, kStaticClass, 0x50020000, WS_EX_RIGHT, 217, 34, 26, 11, u"0"},
        {IDC_ADO_NOTE, kStaticClass, 0x50020000, 0, 36, 79, 142, 10, u"( Note - ADO is ActiveX Data Objects )"},
    },
};

const ExpectedDialog kTransferDialog = {
    IDD_TRANSFER,
    false,
    u"Transfer Data From Desktop PC To PsPC",
    187,
    86,
    {
        {IDCANCEL, kButtonClass, 0x50010000, 0, 73, 63, 43, 14, u"Cancel"},
        {IDC_SOURCE_PATH, kStaticClass, 0x50020000, 0, 41, 16, 144, 20, u""},
        {IDC_FROM_LABEL, kStaticClass, 0x50020000, 0, 13, 16, 34, 12, u"From"},
        {IDC_TO_LABEL, kStaticClass, 0x50020000, 0, 13, 37, 38, 13, u"To"},
        {IDC_DESTINATION_PATH, kStaticClass, 0x50020000, 0, 41, 37, 144, 20, u""},
    },
};

void PrintTo(const ExpectedDialog* dialog, std::ostream* out) { *out << "dialog " << dialog->templateId; }

HINSTANCE Program() { return GetModuleHandleW(nullptr); }

std::u16string WindowText(HWND window) {
  wchar_t text[512];
  int length = GetWindowTextW(window, text, 512);
  return std::u16string(reinterpret_cast<const char16_t*>(text), size_t(length));
}

std::u16string ClassName(HWND window) {
  wchar_t name[64];
  int length = GetClassNameW(window, name, 64);
  return std::u16string(reinterpret_cast<const char16_t*>(name), size_t(length));
}

const char16_t* ClassNameOf(uint16_t ordinal) { return ordinal == kButtonClass ? u"Button" : u"Static"; }

INT_PTR CALLBACK LeaveEverythingToTheDialogManager(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// A dialog built from its template in this module, never shown.
class DialogWindow {
public:
  explicit DialogWindow(WORD templateId)
      : window_(CreateDialogParamA(Program(), MAKEINTRESOURCEA(templateId), nullptr, LeaveEverythingToTheDialogManager,
                                   0)) {}
  ~DialogWindow() {
    if (window_ != nullptr) DestroyWindow(window_);
  }
  DialogWindow(const DialogWindow&) = delete;
  DialogWindow& operator=(const DialogWindow&) = delete;
  HWND get() const { return window_; }

private:
  HWND window_;
};

// Where the dialog manager puts a rectangle given in dialog units: it converts
// the position and the size each on its own, so the far edge is the converted
// position plus the converted size.
RECT InPixels(HWND dialog, short x, short y, short width, short height) {
  RECT units = {x, y, width, height};
  MapDialogRect(dialog, &units);
  return RECT{units.left, units.top, units.left + units.right, units.top + units.bottom};
}

RECT RectInDialog(HWND dialog, HWND control) {
  RECT rect;
  GetWindowRect(control, &rect);
  MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

std::string Describe(const RECT& rect) {
  return std::to_string(rect.left) + "," + std::to_string(rect.top) + " - " + std::to_string(rect.right) + "," +
         std::to_string(rect.bottom);
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) {
  reinterpret_cast<std::set<LANGID>*>(found)->insert(language);
  return TRUE;
}

class DialogTemplateTest : public testing::TestWithParam<const ExpectedDialog*> {};

TEST_P(DialogTemplateTest, StandsUnderTheTemplateLanguageAlone) {
  const ExpectedDialog& expected = *GetParam();
  std::set<LANGID> languages;
  EnumResourceLanguagesW(Program(), (LPCWSTR)RT_DIALOG, MAKEINTRESOURCEW(expected.templateId), CollectLanguage,
                         reinterpret_cast<LONG_PTR>(&languages));
  EXPECT_EQ(languages, std::set<LANGID>{kTemplateLanguage});
  EXPECT_NE(FindResourceExW(Program(), (LPCWSTR)RT_DIALOG, MAKEINTRESOURCEW(expected.templateId), kTemplateLanguage),
            nullptr);
}

TEST_P(DialogTemplateTest, StoredBytesHoldTheFormFontTitleAndEveryItem) {
  const ExpectedDialog& expected = *GetParam();
  HRSRC resource = FindResourceW(Program(), MAKEINTRESOURCEW(expected.templateId), (LPCWSTR)RT_DIALOG);
  ASSERT_NE(resource, nullptr);
  HGLOBAL loaded = LoadResource(Program(), resource);
  ASSERT_NE(loaded, nullptr);
  const auto* bytes = static_cast<const uint8_t*>(LockResource(loaded));
  size_t size = SizeofResource(Program(), resource);
  std::optional<DialogTemplate> parsed = ReadDialogTemplate(bytes, size);
  ASSERT_TRUE(parsed.has_value()) << "the template does not parse";
  const DialogTemplate& dialog = *parsed;

  EXPECT_EQ(dialog.extended, expected.extended);
  if (dialog.extended) {
    EXPECT_EQ(dialog.version, 1);
  }
  EXPECT_EQ(dialog.helpId, 0u);
  EXPECT_EQ(dialog.style, kDialogStyle);
  EXPECT_EQ(dialog.exStyle, 0u);
  EXPECT_EQ(dialog.x, 0);
  EXPECT_EQ(dialog.y, 0);
  EXPECT_EQ(dialog.width, expected.width);
  EXPECT_EQ(dialog.height, expected.height);
  EXPECT_FALSE(dialog.menu.isOrdinal || !dialog.menu.name.empty()) << "no menu";
  EXPECT_FALSE(dialog.windowClass.isOrdinal || !dialog.windowClass.name.empty()) << "the standard dialog class";
  EXPECT_EQ(dialog.title, expected.title);

  ASSERT_TRUE(dialog.hasFont);
  EXPECT_EQ(dialog.typeface, u"System");
  EXPECT_EQ(dialog.pointSize, 10);
  if (dialog.extended) {
    EXPECT_EQ(dialog.weight, 0);
    EXPECT_EQ(dialog.italic, 0);
    EXPECT_EQ(dialog.charset, DEFAULT_CHARSET);
  }

  ASSERT_EQ(dialog.items.size(), expected.controls.size());
  for (size_t i = 0; i < dialog.items.size(); ++i) {
    const TemplateItem& item = dialog.items[i];
    const ExpectedControl& control = expected.controls[i];
    SCOPED_TRACE("item " + std::to_string(i + 1) + ", id " + std::to_string(control.id));
    EXPECT_EQ(item.id, control.id);
    EXPECT_EQ(item.helpId, 0u);
    EXPECT_EQ(item.style, control.style);
    EXPECT_EQ(item.exStyle, control.exStyle);
    EXPECT_EQ(item.x, control.x);
    EXPECT_EQ(item.y, control.y);
    EXPECT_EQ(item.width, control.width);
    EXPECT_EQ(item.height, control.height);
    EXPECT_TRUE(item.windowClass.isOrdinal) << "predefined classes are stored as their ordinals";
    EXPECT_EQ(item.windowClass.ordinal, control.windowClass);
    EXPECT_FALSE(item.title.isOrdinal);
    EXPECT_EQ(item.title.name, control.text);
    EXPECT_EQ(item.creationDataBytes, 0);
  }
  // Nothing follows the last item but the padding to a 32-bit boundary.
  EXPECT_LE(size - dialog.bytesUsed, 3u);
}

TEST_P(DialogTemplateTest, BuildsAHiddenOwnerlessDialogWithEveryControlAsTemplated) {
  const ExpectedDialog& expected = *GetParam();
  DialogWindow dialog(expected.templateId);
  ASSERT_NE(dialog.get(), nullptr) << "CreateDialogParamA failed: " << GetLastError();

  // Beyond the template's style, the window carries only what the dialog
  // manager gives every top-level dialog: the 3-D look, clipped siblings, and
  // the extended styles of a modal frame, its edge and a control parent.
  constexpr DWORD kAddedStyle = DS_3DLOOK | WS_CLIPSIBLINGS;
  constexpr DWORD kAddedExStyle = WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE | WS_EX_CONTROLPARENT;
  EXPECT_EQ(DWORD(GetWindowLongW(dialog.get(), GWL_STYLE)) & ~kAddedStyle, kDialogStyle);
  EXPECT_EQ(DWORD(GetWindowLongW(dialog.get(), GWL_EXSTYLE)) & ~kAddedExStyle, 0u);
  EXPECT_FALSE(IsWindowVisible(dialog.get()));
  EXPECT_EQ(GetWindow(dialog.get(), GW_OWNER), nullptr);
  EXPECT_EQ(GetParent(dialog.get()), nullptr);
  EXPECT_EQ(WindowText(dialog.get()), expected.title);

  RECT client;
  GetClientRect(dialog.get(), &client);
  EXPECT_EQ(Describe(client), Describe(InPixels(dialog.get(), 0, 0, expected.width, expected.height)));

  HWND child = GetWindow(dialog.get(), GW_CHILD);
  for (size_t i = 0; i < expected.controls.size(); ++i, child = GetWindow(child, GW_HWNDNEXT)) {
    const ExpectedControl& control = expected.controls[i];
    SCOPED_TRACE("control " + std::to_string(i + 1) + ", id " + std::to_string(control.id));
    ASSERT_NE(child, nullptr) << "fewer controls than the template holds";
    EXPECT_EQ(GetDlgCtrlID(child), control.id);
    EXPECT_EQ(ClassName(child), ClassNameOf(control.windowClass));
    EXPECT_EQ(DWORD(GetWindowLongW(child, GWL_STYLE)), control.style);
    // The dialog manager creates every control with WS_EX_NOPARENTNOTIFY.
    EXPECT_EQ(DWORD(GetWindowLongW(child, GWL_EXSTYLE)), control.exStyle | WS_EX_NOPARENTNOTIFY);
    EXPECT_EQ(WindowText(child), control.text);
    EXPECT_EQ(Describe(RectInDialog(dialog.get(), child)),
              Describe(InPixels(dialog.get(), control.x, control.y, control.width, control.height)));
  }
  EXPECT_EQ(child, nullptr) << "more controls than the template holds";
}

TEST_P(DialogTemplateTest, TabOrderIsTheTemplateOrder) {
  const ExpectedDialog& expected = *GetParam();
  DialogWindow dialog(expected.templateId);
  ASSERT_NE(dialog.get(), nullptr);
  // Disabled controls take no part in tabbing: enable them all to see the
  // order they will have once the program enables them.
  std::vector<int> tabStops;
  for (const ExpectedControl& control : expected.controls) {
    if (control.id == -1) continue;
    EnableWindow(GetDlgItem(dialog.get(), control.id), TRUE);
    if (control.style & WS_TABSTOP) tabStops.push_back(control.id);
  }
  ASSERT_FALSE(tabStops.empty());
  HWND first = GetDlgItem(dialog.get(), tabStops.front());
  std::vector<int> visited = {tabStops.front()};
  for (HWND next = GetNextDlgTabItem(dialog.get(), first, FALSE); next != nullptr && next != first;
       next = GetNextDlgTabItem(dialog.get(), next, FALSE)) {
    visited.push_back(GetDlgCtrlID(next));
    if (visited.size() > expected.controls.size()) break;
  }
  EXPECT_EQ(visited, tabStops);
}

INSTANTIATE_TEST_SUITE_P(SetupDialogs, DialogTemplateTest, testing::Values(&kSelectionDialog, &kTransferDialog),
                         [](const testing::TestParamInfo<const ExpectedDialog*>& info) {
                           return info.param->templateId == IDD_SELECTION ? std::string("Selection")
                                                                          : std::string("Transfer");
                         });

} // namespace
