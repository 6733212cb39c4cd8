// The Win32 / Windows CE values the emulated device answers with and takes as
// arguments. The emulator runs on the host, where no Windows headers exist, so
// it carries the few values it needs itself, under their platform names.
#pragma once

#include <cstdint>

namespace pspc {

// ---- last-error and registry status codes
inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_WRITE_FAULT = 29;
inline constexpr uint32_t ERROR_READ_FAULT = 30;
inline constexpr uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_DISK_FULL = 112;
inline constexpr uint32_t ERROR_INVALID_NAME = 123;
inline constexpr uint32_t ERROR_BAD_PATHNAME = 161;
inline constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr uint32_t ERROR_MORE_DATA = 234;
inline constexpr uint32_t ERROR_REGISTRY_IO_FAILED = 1016;

// ---- CreateFile access, share modes and dispositions
inline constexpr uint32_t GENERIC_READ = 0x80000000u;
inline constexpr uint32_t GENERIC_WRITE = 0x40000000u;
inline constexpr uint32_t GENERIC_ALL = 0x10000000u;
inline constexpr uint32_t FILE_SHARE_READ = 0x1;
inline constexpr uint32_t FILE_SHARE_WRITE = 0x2;
inline constexpr uint32_t CREATE_NEW = 1;
inline constexpr uint32_t CREATE_ALWAYS = 2;
inline constexpr uint32_t OPEN_EXISTING = 3;
inline constexpr uint32_t OPEN_ALWAYS = 4;
inline constexpr uint32_t TRUNCATE_EXISTING = 5;
inline constexpr uint32_t INVALID_HANDLE_VALUE = 0xFFFFFFFFu;
inline constexpr uint32_t INVALID_FILE_SIZE = 0xFFFFFFFFu;

// ---- file attributes
inline constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x02;
inline constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x04;
inline constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;

// ---- registry roots, dispositions and value types
inline constexpr uint32_t HKEY_CLASSES_ROOT = 0x80000000u;
inline constexpr uint32_t HKEY_CURRENT_USER = 0x80000001u;
inline constexpr uint32_t HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr uint32_t HKEY_USERS = 0x80000003u;
inline constexpr uint32_t REG_CREATED_NEW_KEY = 1;
inline constexpr uint32_t REG_OPENED_EXISTING_KEY = 2;
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_DWORD_BIG_ENDIAN = 5;
inline constexpr uint32_t REG_LINK = 6;
inline constexpr uint32_t REG_MULTI_SZ = 7;

// The platform name of an error code the device answers with, for messages
// and logs ("ERROR_FILE_NOT_FOUND"); null for a code the device never gives.
inline const char* errorName(uint32_t code) {
  switch (code) {
  case ERROR_SUCCESS: return "ERROR_SUCCESS";
  case ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
  case ERROR_PATH_NOT_FOUND: return "ERROR_PATH_NOT_FOUND";
  case ERROR_ACCESS_DENIED: return "ERROR_ACCESS_DENIED";
  case ERROR_INVALID_HANDLE: return "ERROR_INVALID_HANDLE";
  case ERROR_NOT_ENOUGH_MEMORY: return "ERROR_NOT_ENOUGH_MEMORY";
  case ERROR_WRITE_FAULT: return "ERROR_WRITE_FAULT";
  case ERROR_READ_FAULT: return "ERROR_READ_FAULT";
  case ERROR_GEN_FAILURE: return "ERROR_GEN_FAILURE";
  case ERROR_SHARING_VIOLATION: return "ERROR_SHARING_VIOLATION";
  case ERROR_FILE_EXISTS: return "ERROR_FILE_EXISTS";
  case ERROR_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER";
  case ERROR_DISK_FULL: return "ERROR_DISK_FULL";
  case ERROR_INVALID_NAME: return "ERROR_INVALID_NAME";
  case ERROR_BAD_PATHNAME: return "ERROR_BAD_PATHNAME";
  case ERROR_ALREADY_EXISTS: return "ERROR_ALREADY_EXISTS";
  case ERROR_FILENAME_EXCED_RANGE: return "ERROR_FILENAME_EXCED_RANGE";
  case ERROR_MORE_DATA: return "ERROR_MORE_DATA";
  case ERROR_REGISTRY_IO_FAILED: return "ERROR_REGISTRY_IO_FAILED";
  default: return nullptr;
  }
}

} // namespace pspc
