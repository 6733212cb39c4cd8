// The one way the setup program writes the device registry.
#pragma once

#include "rapi.h"

// One row of a registration table.
struct RegEntry {
  HKEY root;
  const WCHAR* keyPath;
  const WCHAR* valueName; // NULL: the key's default value
  DWORD type;
  const WCHAR* data;
  DWORD byteCount;
};

// Sets one value, opening its key or creating it when it does not exist.
// Answers 1 when the value was written, 0 when it was not.
int PutDeviceValue(HKEY root, const WCHAR* keyPath, const WCHAR* valueName, DWORD type, const BYTE* data,
                   DWORD byteCount);
