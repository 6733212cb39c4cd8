// The registry values the install must leave on the device, row by row as the
// runtimes need them: root, key path (letter case as the runtimes were always
// given it), value name (none: the key's default value), the REG_SZ text and
// the byte count with its terminating NUL.
#pragma once

#include "install_scenario.h"

#include <optional>
#include <string>
#include <vector>

namespace e2e::install {

struct ExpectedRow {
  uint32_t root;
  std::u16string keyPath;
  std::optional<std::u16string> valueName;
  std::u16string data;
  uint32_t byteCount;
};

// The Visual Basic runtime: the VBScript engine, its type libraries and
// in-process servers, and the .vb project file type.
inline const std::vector<ExpectedRow>& vbRows() {
  static const std::vector<ExpectedRow> rows = {
      {kHkcr, u"VBS", std::nullopt, u"VBScript Language", 36},
      {kHkcr, u"VBS\\CLSID", std::nullopt, u"{B54F3741-5B07-11cf-A4B0-00AA004A55E8}", 78},
      {kHkcr, u"VBS\\OLEScript", std::nullopt, u"", 2},
      {kHkcr, u"VBScript", std::nullopt, u"VBScript Language", 36},
      {kHkcr, u"VBScript\\CLSID", std::nullopt, u"{B54F3741-5B07-11cf-A4B0-00AA004A55E8}", 78},
      {kHkcr, u"VBScript\\OLEScript", std::nullopt, u"", 2},
      {kHkcr, u"CLSID\\{B54F3741-5B07-11cf-A4B0-00AA004A55E8}\\ProgID", std::nullopt, u"VBScript", 18},
      {kHkcr, u"CLSID\\{B54F3741-5B07-11cf-A4B0-00AA004A55E8}\\InprocServer32", std::nullopt,
       u"\\windows\\vbscript.dll", 44},
      {kHkcr, u"CLSID\\{B54F3741-5B07-11cf-A4B0-00AA004A55E8}\\OLEScript", std::nullopt, u"", 2},
      {kHkcr, u"CLSID\\{c882d981-e42b-11d1-9b4e-0000f803fd00}\\InprocServer32", std::nullopt,
       u"\\windows\\pvbform2.dll", 44},
      {kHkcr, u"CLSID\\{59B3D9C5-DBBB-11d1-A837-0000F807F349}\\InprocServer32", std::nullopt,
       u"\\windows\\pvbform2.dll", 44},
      {kHkcr, u"TypeLIb\\{c882d980-e42b-11d1-9b4e-0000f803fd00}\\1.0\\HELPDIR", std::nullopt, u"\\windows", 18},
      {kHkcr, u"TypeLIb\\{c882d980-e42b-11d1-9b4e-0000f803fd00}\\1.0\\FLAGS", std::nullopt, u"0", 4},
      {kHkcr, u"TypeLIb\\{c882d980-e42b-11d1-9b4e-0000f803fd00}\\1.0\\0\\win32", std::nullopt,
       u"\\windows\\pvbform2.dll", 44},
      {kHkcr, u"TypeLib\\{E45BC4F0-E062-11d1-8B59-006008B0E597}\\1.0\\HELPDIR", std::nullopt, u"\\windows", 18},
      {kHkcr, u"TypeLib\\{E45BC4F0-E062-11d1-8B59-006008B0E597}\\1.0\\FLAGS", std::nullopt, u"0", 4},
      {kHkcr, u"TypeLib\\{E45BC4F0-E062-11d1-8B59-006008B0E597}\\1.0\\0\\win32", std::nullopt,
       u"\\windows\\pvbhost2.dll", 44},
      {kHkcr, u".vb", std::nullopt, u"VBCE.ProjectRun", 32},
      {kHkcr, u"VBCE.ProjectRun", std::nullopt, u"VBCE 2.0 Project File", 44},
      {kHkcr, u"VBCE.ProjectRun\\shell\\Open\\command", std::nullopt, u"\\windows\\pvbload.exe %1", 48},
      {kHkcr, u"VBCE.ProjectRun\\DefaultIcon", std::nullopt, u"\\windows\\pvbhost2.dll,-2", 50},
  };
  return rows;
}

// ADO: its version, and the class ADOCE.Recordset with its version-dependent name.
inline const std::vector<ExpectedRow>& adoRows() {
  static const std::u16string clsid = u"{4BEB93D3-28D8-11D1-8321-00A024A88110}";
  static const std::u16string classKey = u"CLSID\\" + clsid;
  static const std::vector<ExpectedRow> rows = {
      {kHklm, u"Software\\Microsoft\\ADO", u"ROMversion", u"8200", 10},
      {kHkcr, u"ADOCE.Recordset", std::nullopt, u"Active Data Objects", 40},
      {kHkcr, u"ADOCE.Recordset", u"CurVer", u"ADOCE.Recordset.1", 36},
      {kHkcr, u"ADOCE.Recordset", u"CLSID", clsid, 78},
      {kHkcr, u"ADOCE.Recordset\\CLSID", std::nullopt, clsid, 78},
      {kHkcr, u"ADOCE.Recordset\\CurVer", std::nullopt, u"ADOCE.Recordset.1", 36},
      {kHkcr, u"ADOCE.Recordset.1", std::nullopt, u"Active Data Objects", 40},
      {kHkcr, u"ADOCE.Recordset.1", u"CLSID", clsid, 78},
      {kHkcr, u"ADOCE.Recordset.1\\CLSID", std::nullopt, clsid, 78},
      {kHkcr, classKey, std::nullopt, u"ADOCE.Recordset", 32},
      {kHkcr, classKey, u"ProgId", u"ADOCE.Recordset.1", 36},
      {kHkcr, classKey, u"VersionIndependentProgID", u"ADOCE.Recordset", 32},
      {kHkcr, classKey, u"InprocServer32", u"adoce.dll", 20},
      {kHkcr, classKey, u"ThreadingModel", u"Free", 10},
      {kHkcr, classKey + u"\\InprocServer32", std::nullopt, u"\\windows\\adoce.dll", 38},
      {kHkcr, classKey + u"\\InprocServer32", u"ThreadingModel", u"Free", 10},
      {kHkcr, classKey + u"\\Version", std::nullopt, u"1.0", 8},
      {kHkcr, classKey + u"\\VersionIndependentProgID", std::nullopt, u"ADOCE.Recordset", 32},
      {kHkcr, classKey + u"\\ProgId", std::nullopt, u"ADOCE.Recordset.1", 36},
  };
  return rows;
}

// How the op log names a row's key: the root's name, a backslash, the path.
inline std::string loggedKey(const ExpectedRow& row) {
  return std::string(row.root == kHklm ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CLASSES_ROOT\\") + narrow(row.keyPath);
}

// How the op log names a row's value: the name, or null for the default value.
inline std::string loggedValueName(const ExpectedRow& row) { return row.valueName ? narrow(*row.valueName) : "null"; }

} // namespace e2e::install
