// Reading the device tag: the units of the data file to characters, the
// normalisation of "1..2.00", the version number, and a probe that cannot start.
#include "device_probe.h"
#include "setup_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<BYTE> dataFileWithUnits(const std::vector<WORD>& units) {
  std::vector<BYTE> data(DeviceDataBytes, 0xAB); // bytes around the tag do not matter
  for (size_t i = 0; i < units.size(); ++i) {
    data[DeviceTagOffset + 2 * i] = BYTE(units[i]);
    data[DeviceTagOffset + 2 * i + 1] = BYTE(units[i] >> 8);
  }
  return data;
}

std::vector<WORD> unitsOf(const char* text) {
  std::vector<WORD> units;
  for (const char* p = text; *p; ++p) units.push_back(WORD(BYTE(*p)));
  return units;
}

std::string tagOf(const std::vector<WORD>& units) {
  char tag[DeviceTagChars + 1];
  BuildDeviceTag(dataFileWithUnits(units).data(), tag);
  NormaliseDeviceTag(tag);
  return std::string(tag, DeviceTagChars); // the zero after the eleventh character is checked apart
}

TEST(DeviceTag, TakesTheLowByteOfEachUnitAndReadsZeroUnitsAsFullStops) {
  EXPECT_EQ(tagOf(unitsOf("1.12.00 ENG")), "1.12.00 ENG");
  // 0x0145 counts as the letter E; a zero unit reads as a full stop.
  EXPECT_EQ(tagOf({'1', '.', '1', '2', '.', '0', '0', ' ', 0x0145, 'N', 'G'}), "1.12.00 ENG");
  EXPECT_EQ(tagOf({0, 0, 0, 0, '.', '0', '0', 0, 'J', 'P', 'N'}), ".....00.JPN");
  // A unit whose low byte is zero gives a zero character.
  std::string cut = tagOf({'1', '.', 0x4E00, '2', '.', '0', '0', ' ', 'E', 'N', 'G'});
  EXPECT_EQ(cut[2], '\0');
  char tag[DeviceTagChars + 1];
  BuildDeviceTag(dataFileWithUnits(unitsOf("1.12.00 ENG")).data(), tag);
  EXPECT_EQ(tag[DeviceTagChars], '\0');
}

TEST(DeviceTag, ReadsTheTwoKnownOddTagsAsVersion112) {
  EXPECT_EQ(tagOf(unitsOf("1..2.00 ENG")), "1.12.00 ENG");
  EXPECT_EQ(tagOf(unitsOf("1..2.00 JPN")), "1.12.00 JPN");
  // A zero unit in the same place reads the same.
  EXPECT_EQ(tagOf({'1', 0, '.', '2', '.', '0', '0', ' ', 'E', 'N', 'G'}), "1.12.00 ENG");
  // Only exactly those two.
  EXPECT_EQ(tagOf(unitsOf("1..2.00 FRE")), "1..2.00 FRE");
  EXPECT_EQ(tagOf(unitsOf("1..3.00 ENG")), "1..3.00 ENG");
}

TEST(VersionValue, ConvertsTheLeadingDecimalNumber) {
  struct Case {
    const char* text;
    double value;
  } cases[] = {
      {"1.12", 1.12}, {"1.29", 1.29}, {"1.30", 1.30}, {"1.3x", 1.3}, {"2.00", 2.0},  {"....", 0.0},
      {"1..2", 1.0},  {" 1.2", 1.2},  {"+1.2", 1.2},  {"-1.5", -1.5}, {"1e1x", 10.0}, {"1e+x", 1.0},
      {".5..", 0.5},  {"abcd", 0.0},  {"inf.", 0.0},  {"nan.", 0.0},  {"0x1.", 0.0},  {"", 0.0},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(VersionValue(c.text), c.value) << '"' << c.text << '"';
  // The refusal is at 1.3 and above, compared as doubles.
  EXPECT_LT(VersionValue("1.29"), 1.3);
  EXPECT_GE(VersionValue("1.30"), 1.3);
  EXPECT_GE(VersionValue("1.3"), 1.3);
}

HANDLE WINAPI NoMoreThreads(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return NULL;
}

LRESULT CALLBACK RecordingWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

TEST(StartDeviceProbe, EndsTheProgramWhenTheProbeCannotStart) {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = RecordingWindowProc;
  windowClass.lpszClassName = "ProbeTestSetupWindow";
  RegisterClassA(&windowClass);
  HWND setupWindow = CreateWindowExA(0, "ProbeTestSetupWindow", "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL,
                                     NULL, NULL);
  HWND dialog = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
  ASSERT_TRUE(setupWindow && dialog);
  setupState.hwndSetup = setupWindow;
  probeThreadStarter = NoMoreThreads;
  StartDeviceProbe(dialog);
  probeThreadStarter = CreateThread;
  // Closed as a silent failure closes it: the program ends.
  EXPECT_FALSE(IsWindow(setupWindow));
  EXPECT_EQ(setupState.hwndSelection, dialog);
  EXPECT_EQ(setupState.rapiInit.cbSize, sizeof(RAPIINIT));
  DestroyWindow(dialog);
}

} // namespace
