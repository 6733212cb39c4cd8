#include "registration_tables.h"

#include "put_device_value.h"

// A REG_SZ row: the text with its terminating NUL, (characters + 1) x 2 bytes.
#define SZ(text) REG_SZ, text, sizeof(text)

#define VBSCRIPT_CLSID L"{B54F3741-5B07-11cf-A4B0-00AA004A55E8}"
#define ADOCE_CLSID L"{4BEB93D3-28D8-11D1-8321-00A024A88110}"

// The VBScript engine, the type libraries and in-process servers of the Visual
// Basic runtime, and the .vb project file type. "TypeLIb" in rows 12 to 14 is
// the spelling the device has always been given; keys are case-insensitive.
static const RegEntry vbRegistration[] = {
    {HKEY_CLASSES_ROOT, L"VBS", NULL, SZ(L"VBScript Language")},
    {HKEY_CLASSES_ROOT, L"VBS\\CLSID", NULL, SZ(VBSCRIPT_CLSID)},
    {HKEY_CLASSES_ROOT, L"VBS\\OLEScript", NULL, SZ(L"")},
    {HKEY_CLASSES_ROOT, L"VBScript", NULL, SZ(L"VBScript Language")},
    {HKEY_CLASSES_ROOT, L"VBScript\\CLSID", NULL, SZ(VBSCRIPT_CLSID)},
    {HKEY_CLASSES_ROOT, L"VBScript\\OLEScript", NULL, SZ(L"")},
    {HKEY_CLASSES_ROOT, L"CLSID\\" VBSCRIPT_CLSID L"\\ProgID", NULL, SZ(L"VBScript")},
    {HKEY_CLASSES_ROOT, L"CLSID\\" VBSCRIPT_CLSID L"\\InprocServer32", NULL, SZ(L"\\windows\\vbscript.dll")},
    {HKEY_CLASSES_ROOT, L"CLSID\\" VBSCRIPT_CLSID L"\\OLEScript", NULL, SZ(L"")},
    {HKEY_CLASSES_ROOT, L"CLSID\\{c882d981-e42b-11d1-9b4e-0000f803fd00}\\InprocServer32", NULL,
     SZ(L"\\windows\\pvbform2.dll")},
    {HKEY_CLASSES_ROOT, L"CLSID\\{59B3D9C5-DBBB-11d1-A837-0000F807F349}\\InprocServer32", NULL,
     SZ(L"\\windows\\pvbform2.dll")},
    {HKEY_CLASSES_ROOT, L"TypeLIb\\{c882d980-e42b-11d1-9b4e-0000f803fd00}\\1.0\\HELPDIR", NULL, SZ(L"\\windows")},
    {HKEY_CLASSES_ROOT, L"TypeLIb\\{c882d980-e42b-11d1-9b4e-0000f803fd00}\\1.0\\FLAGS", NULL, SZ(L"0")},
    {HKEY_CLASSES_ROOT, L"TypeLIb\\{c882d980-e42b-11d1-9b4e-0000f803fd00}\\1.0\\0\\win32", NULL,
     SZ(L"\\windows\\pvbform2.dll")},
    {HKEY_CLASSES_ROOT, L"TypeLib\\{E45BC4F0-E062-11d1-8B59-006008B0E597}\\1.0\\HELPDIR", NULL, SZ(L"\\windows")},
    {HKEY_CLASSES_ROOT, L"TypeLib\\{E45BC4F0-E062-11d1-8B59-006008B0E597}\\1.0\\FLAGS", NULL, SZ(L"0")},
    {HKEY_CLASSES_ROOT, L"TypeLib\\{E45BC4F0-E062-11d1-8B59-006008B0E597}\\1.0\\0\\win32", NULL,
     SZ(L"\\windows\\pvbhost2.dll")},
    {HKEY_CLASSES_ROOT, L".vb", NULL, SZ(L"VBCE.ProjectRun")},
    {HKEY_CLASSES_ROOT, L"VBCE.ProjectRun", NULL, SZ(L"VBCE 2.0 Project File")},
    {HKEY_CLASSES_ROOT, L"VBCE.ProjectRun\\shell\\Open\\command", NULL, SZ(L"\\windows\\pvbload.exe %1")},
    {HKEY_CLASSES_ROOT, L"VBCE.ProjectRun\\DefaultIcon", NULL, SZ(L"\\windows\\pvbhost2.dll,-2")},
};

// The ADO version on the device and the class "ADOCE.Recordset" with its
// version-dependent name "ADOCE.Recordset.1".
static const RegEntry adoRegistration[] = {
    {HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\ADO", L"ROMversion", SZ(L"8200")},
    {HKEY_CLASSES_ROOT, L"ADOCE.Recordset", NULL, SZ(L"Active Data Objects")},
    {HKEY_CLASSES_ROOT, L"ADOCE.Recordset", L"CurVer", SZ(L"ADOCE.Recordset.1")},
    {HKEY_CLASSES_ROOT, L"ADOCE.Recordset", L"CLSID", SZ(ADOCE_CLSID)},
    {HKEY_CLASSES_ROOT, L"ADOCE.Recordset\\CLSID", NULL, SZ(ADOCE_CLSID)},
    {HKEY_CLASSES_ROOT, L"ADOCE.Recordset\\CurVer", NULL, SZ(L"ADOCE.Recordset.1")},
    {HKEY_CLASSES_ROOT, L"ADOCE.Recordset.1", NULL, SZ(L"Active Data Objects")},
    {HKEY_CLASSES_ROOT, L"ADOCE.Recordset.1", L"CLSID", SZ(ADOCE_CLSID)},
    {HKEY_CLASSES_ROOT, L"ADOCE.Recordset.1\\CLSID", NULL, SZ(ADOCE_CLSID)},
    {HKEY_CLASSES_ROOT, L"CLSID\\" ADOCE_CLSID, NULL, SZ(L"ADOCE.Recordset")},
    {HKEY_CLASSES_ROOT, L"CLSID\\" ADOCE_CLSID, L"ProgId", SZ(L"ADOCE.Recordset.1")},
    {HKEY_CLASSES_ROOT, L"CLSID\\" ADOCE_CLSID, L"VersionIndependentProgID", SZ(L"ADOCE.Recordset")},
    {HKEY_CLASSES_ROOT, L"CLSID\\" ADOCE_CLSID, L"InprocServer32", SZ(L"adoce.dll")},
    {HKEY_CLASSES_ROOT, L"CLSID\\" ADOCE_CLSID, L"ThreadingModel", SZ(L"Free")},
    {HKEY_CLASSES_ROOT, L"CLSID\\" ADOCE_CLSID L"\\InprocServer32", NULL, SZ(L"\\windows\\adoce.dll")},
    {HKEY_CLASSES_ROOT, L"CLSID\\" ADOCE_CLSID L"\\InprocServer32", L"ThreadingModel", SZ(L"Free")},
    {HKEY_CLASSES_ROOT, L"CLSID\\" ADOCE_CLSID L"\\Version", NULL, SZ(L"1.0")},
    {HKEY_CLASSES_ROOT, L"CLSID\\" ADOCE_CLSID L"\\VersionIndependentProgID", NULL, SZ(L"ADOCE.Recordset")},
    {HKEY_CLASSES_ROOT, L"CLSID\\" ADOCE_CLSID L"\\ProgId", NULL, SZ(L"ADOCE.Recordset.1")},
};

static int WriteRegistration(const RegEntry* rows, int count) {
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    const RegEntry& row = rows[i];
    if (!PutDeviceValue(row.root, row.keyPath, row.valueName, row.type, (const BYTE*)row.data, row.byteCount))
      ++failed;
  }
  return failed;
}

int VbRegistration() { return WriteRegistration(vbRegistration, sizeof vbRegistration / sizeof vbRegistration[0]); }

int AdoRegistration() {
  return WriteRegistration(adoRegistration, sizeof adoRegistration / sizeof adoRegistration[0]);
}
