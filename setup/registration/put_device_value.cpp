#include "put_device_value.h"

int PutDeviceValue(HKEY root, const WCHAR* keyPath, const WCHAR* valueName, DWORD type, const BYTE* data,
                   DWORD byteCount) {
  HKEY key = NULL;
  // The open is always tried first; a missing key is then created.
  if (CeRegOpenKeyEx(root, keyPath, 0, 0, &key) != ERROR_SUCCESS) {
    DWORD disposition = 0;
    if (CeRegCreateKeyEx(root, keyPath, 0, NULL, 0, 0, NULL, &key, &disposition) != ERROR_SUCCESS) return 0;
  }
  // The published declaration takes the data as non-const; it is only read.
  LONG status = CeRegSetValueEx(key, valueName, 0, type, (LPBYTE)data, byteCount);
  CeRegCloseKey(key);
  return status == ERROR_SUCCESS ? 1 : 0;
}
