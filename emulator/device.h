// The emulated PsPC: one device image on the host, with the file system,
// registry, object store and the built-in device tool of a Windows CE 2.x
// palm-size PC. Every operation answers like the device's own API: a result
// (BOOL, handle, size or registry status) and the thread's last error.
//
// Thread-safe: every public member takes the device's lock. Handles belong to
// the session (link connection) that opened them and are released with it.
#pragma once

#include "identity.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace pspc {

struct FindData {
  uint32_t attributes = 0;
  uint64_t creationTime = 0, lastAccessTime = 0, lastWriteTime = 0; // FILETIME values
  uint32_t sizeHigh = 0, sizeLow = 0, oid = 0;
  std::u16string name; // the entry's name as stored (case preserved), no folder
};

struct ProcessInfo {
  uint32_t process = 0, thread = 0, processId = 0, threadId = 0;
};

using SessionId = uint32_t;

class DeviceImpl;

class Device {
public:
  // Opens an image made by image::create. Throws std::runtime_error with
  // a readable message when the folder is not a device image.
  explicit Device(const std::filesystem::path& imageDir);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  const Identity& identity() const;
  const std::filesystem::path& imageDir() const;

  // A session is one link connection; closing it releases every handle
  // (file or registry key) it still holds.
  SessionId openSession();
  void closeSession(SessionId session);

  // ---- files (paths are absolute device paths such as L"\\Windows\\a.dll")
  // Returns a handle, or 0xFFFFFFFF (INVALID_HANDLE_VALUE) with lastError set.
  uint32_t createFile(SessionId session, const std::u16string& path, uint32_t access, uint32_t share,
                      uint32_t disposition, uint32_t flagsAndAttributes, uint32_t& lastError);
  bool readFile(SessionId session, uint32_t handle, uint32_t count, std::vector<uint8_t>& data,
                uint32_t& lastError);
  bool writeFile(SessionId session, uint32_t handle, const uint8_t* data, uint32_t size, uint32_t& written,
                 uint32_t& lastError);
  bool closeHandle(SessionId session, uint32_t handle, uint32_t& lastError);
  // Low 32 bits of the size, 0xFFFFFFFF on failure; high bits into *high when given.
  uint32_t getFileSize(SessionId session, uint32_t handle, uint32_t* high, uint32_t& lastError);
  bool deleteFile(const std::u16string& path, uint32_t& lastError);
  bool moveFile(const std::u16string& from, const std::u16string& to, uint32_t& lastError);
  bool createDirectory(const std::u16string& path, uint32_t& lastError);
  // Pattern: a folder path followed by a name pattern with * and ?, such as
  // L"\\Windows\\*.*" or L"\\Windows\\*". Entries of that folder only.
  bool findAllFiles(const std::u16string& pattern, std::vector<FindData>& entries, uint32_t& lastError);

  // ---- processes
  bool createProcess(const std::u16string& application, const std::u16string& commandLine, ProcessInfo& info,
                     uint32_t& lastError);

  // ---- object store
  void storeInformation(uint32_t& storeSize, uint32_t& freeSize);

  // ---- registry (roots 0x80000000 HKCR, 0x80000001 HKCU, 0x80000002 HKLM)
  // Results are registry status codes (0 = ERROR_SUCCESS).
  uint32_t regOpenKey(SessionId session, uint32_t key, const std::u16string& subKey, uint32_t& result);
  uint32_t regCreateKey(SessionId session, uint32_t key, const std::u16string& subKey, uint32_t& result,
                        uint32_t& disposition);
  uint32_t regCloseKey(SessionId session, uint32_t key);
  // An empty (or absent) value name is the key's default value. With data
  // capacity smaller than the value, answers ERROR_MORE_DATA (234) and the
  // needed size.
  uint32_t regQueryValue(SessionId session, uint32_t key, const std::u16string& valueName, uint32_t& type,
                         std::vector<uint8_t>& data, uint32_t capacity, uint32_t& size);
  uint32_t regSetValue(SessionId session, uint32_t key, const std::u16string& valueName, uint32_t type,
                       const std::vector<uint8_t>& data);

  // Open handles of every session (for status output and leak checks).
  size_t openHandleCount() const;

private:
  std::unique_ptr<DeviceImpl> impl_;
};

} // namespace pspc
