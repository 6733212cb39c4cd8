// The device's file system, kept in the image's fs/ folder: device names are
// stored as UTF-8 host names, compared case-insensitively with their case
// kept. Every host access goes from an open folder descriptor to the next
// name with O_NOFOLLOW, so a link planted in the image is never followed out
// of it: links (and any host entry that is not a valid device name) are simply
// not there for the device.
//
// Each folder has an in-memory index (folded name -> host entry), checked
// against the folder's modification time before use, so a lookup costs the
// same in a folder of ten thousand files as in an empty one, and a change
// made to the image while the device is not running is still seen.
//
// Not thread-safe: the device serialises every call.
#pragma once

#include "device.h"
#include "device_path.h"
#include "host_file.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

namespace pspc {

inline constexpr size_t kMaxAttributesFileBytes = 16u << 20;

using OpenFileId = uint32_t;

class FileSystem {
public:
  // Throws std::runtime_error when fs/ is missing or attributes.tsv is damaged.
  FileSystem(const std::filesystem::path& imageDir, uint64_t capacityBytes);
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  // CeCreateFile. Answers an open-file id (never 0), or 0 with `lastError`.
  // On success `lastError` is 0, or ERROR_ALREADY_EXISTS when CREATE_ALWAYS or
  // OPEN_ALWAYS found the file there, as the device reports it.
  OpenFileId open(std::u16string_view path, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t flagsAndAttributes, uint32_t& lastError);
  bool isOpen(OpenFileId file) const { return openFiles_.count(file) != 0; }
  bool read(OpenFileId file, uint32_t count, std::vector<uint8_t>& data, uint32_t& lastError);
  bool write(OpenFileId file, const uint8_t* data, uint32_t size, uint32_t& written, uint32_t& lastError);
  bool size(OpenFileId file, uint64_t& bytes, uint32_t& lastError);
  void close(OpenFileId file);

  bool remove(std::u16string_view path, uint32_t& lastError);
  bool move(std::u16string_view from, std::u16string_view to, uint32_t& lastError);
  bool makeDirectory(std::u16string_view path, uint32_t& lastError);
  bool find(std::u16string_view pattern, std::vector<FindData>& entries, uint32_t& lastError);
  // ERROR_SUCCESS when `path` names an existing file (not a folder).
  uint32_t checkFileExists(std::u16string_view path);

  // Attributes as the device reports them; a file's READONLY, HIDDEN, SYSTEM
  // and ARCHIVE bits can be set (FILE_ATTRIBUTE_NORMAL alone clears them).
  bool attributes(std::u16string_view path, uint32_t& attributes, uint32_t& lastError);
  bool setAttributes(std::u16string_view path, uint32_t attributes, uint32_t& lastError);

  uint64_t capacityBytes() const { return capacity_; }
  uint64_t usedBytes() const { return used_; }
  uint64_t freeBytes() const { return used_ >= capacity_ ? 0 : capacity_ - used_; }

private:
  struct HostEntry {
    std::string hostName;
    std::u16string name; // the device name, case as stored
    bool isFolder = false;
  };
  struct FolderIndex {
    timespec modified{};
    bool built = false;
    std::unordered_map<std::u16string, HostEntry> entries; // by folded name
  };
  // Where a path's last name lives: its folder (open), and the entry if any.
  struct Location {
    UniqueFd folder;
    FolderIndex* index = nullptr;
    std::u16string folderPath; // as stored; empty for the root
    std::u16string name;       // as stored when it exists, else as asked
    std::optional<HostEntry> entry;
    std::u16string storedPath() const { return folderPath + u"\\" + name; }
  };
  struct OpenFile {
    UniqueFd fd;
    uint64_t position = 0;
    bool canRead = false, canWrite = false;
    uint32_t share = 0;
    std::u16string foldedPath;
  };
  struct StoredAttributes {
    uint32_t attributes = 0;
    std::u16string path; // as stored, for attributes.tsv
  };

  FolderIndex* indexOf(int folderFd);
  void noteFolderChanged(Location& location);
  uint32_t openFolder(const std::u16string* names, size_t count, UniqueFd& folder, std::u16string& storedPath);
  uint32_t locate(const DevicePath& path, Location& location);
  // Why an existing file may not be opened so (it is a folder, read-only, or
  // shared otherwise by an open handle); ERROR_SUCCESS when it may.
  uint32_t openRefusal(const HostEntry& entry, const std::u16string& folded, bool canRead, bool canWrite,
                       uint32_t share, uint32_t disposition) const;
  // Opens the host file of `location`, made when it does not exist yet and
  // emptied when `truncates`; invalid, with lastError set, on failure.
  UniqueFd openHostFile(Location& location, bool writes, bool truncates, uint32_t& lastError);

  uint32_t attributesOf(const std::u16string& foldedPath, bool isFolder) const;
  // Records attributes (dropping the entry when they are the default) and
  // saves attributes.tsv when that changed anything; false if saving failed.
  bool storeAttributes(const std::u16string& storedPath, uint32_t attributes, bool isFolder);
  void moveAttributes(const std::u16string& fromFolded, const std::u16string& toStored);
  void loadAttributes();
  bool saveAttributes(std::string& error) const;
  bool isPathOpen(const std::u16string& foldedPath, bool orBelow) const;

  std::filesystem::path imageDir_;
  UniqueFd root_;
  uint64_t capacity_ = 0;
  uint64_t used_ = 0;
  std::map<std::pair<dev_t, ino_t>, FolderIndex> indexes_;
  std::map<std::u16string, StoredAttributes> attributes_; // by folded path, sorted
  std::unordered_map<OpenFileId, OpenFile> openFiles_;
  OpenFileId nextOpenFile_ = 1;
};

// Sets a file's or folder's attributes in the device image at `imageDir` while
// the device is not running (for the command-line tool and test set-ups).
bool setFileAttributes(const std::filesystem::path& imageDir, std::u16string_view devicePath, uint32_t attributes,
                       std::string& error);

} // namespace pspc
