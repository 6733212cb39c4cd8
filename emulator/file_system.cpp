#include "file_system.h"

#include "identity.h"
#include "win32_codes.h"
#include "wire_primitives.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace pspc {

namespace {

constexpr uint32_t kSettableAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
constexpr int kOpenFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

uint32_t defaultAttributes(bool isFolder) { return isFolder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE; }

uint32_t errorFromErrno(int err, uint32_t otherwise) {
  switch (err) {
  case ENOENT: return ERROR_FILE_NOT_FOUND;
  case ENOTDIR: case ELOOP: return ERROR_PATH_NOT_FOUND;
  case EEXIST: case ENOTEMPTY: return ERROR_ALREADY_EXISTS;
  case EACCES: case EPERM: case EROFS: case EISDIR: case ETXTBSY: return ERROR_ACCESS_DENIED;
  case ENOSPC: case EDQUOT: case EFBIG: return ERROR_DISK_FULL;
  case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
  case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
  default: return otherwise;
  }
}

bool sameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// FILETIME: 100 ns units since 1601-01-01.
uint64_t fileTime(const timespec& t) {
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
  const int64_t seconds = int64_t(t.tv_sec) + kSecondsFrom1601To1970;
  if (seconds < 0) return 0;
  return uint64_t(seconds) * 10000000u + uint64_t(t.tv_nsec) / 100u;
}

// Object ids are 32-bit and never 0; the host inode gives a stable one.
uint32_t objectId(ino_t inode) {
  const uint64_t wide = uint64_t(inode);
  const uint32_t id = uint32_t(wide ^ (wide >> 32));
  return id == 0 ? 1 : id;
}

// Windows share rule: two opens of one file coexist only if each shares
// what the other one does. An open for neither reading nor writing (to ask
// for the size, say) takes part in no conflict.
bool sharesConflict(bool aReads, bool aWrites, uint32_t aShare, bool bReads, bool bWrites, uint32_t bShare) {
  if ((!aReads && !aWrites) || (!bReads && !bWrites)) return false;
  return (aReads && !(bShare & FILE_SHARE_READ)) || (aWrites && !(bShare & FILE_SHARE_WRITE)) ||
         (bReads && !(aShare & FILE_SHARE_READ)) || (bWrites && !(aShare & FILE_SHARE_WRITE));
}

// A move must never replace what is already at the target, not even a host
// entry the device does not show (a planted link).
int renameNoReplace(int fromFolder, const char* from, int toFolder, const char* to) {
  if (::renameat2(fromFolder, from, toFolder, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // Host file systems without RENAME_NOREPLACE: check, then rename.
  struct stat info {};
  if (::fstatat(toFolder, to, &info, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::renameat(fromFolder, from, toFolder, to);
}

std::string hostName(std::u16string_view name) {
  std::string host;
  utf16ToUtf8(name, host); // names were checked by parseDevicePath
  return host;
}

// Longest path attributes.tsv holds, in UTF-16 units: as long as Windows
// lets any path be.
constexpr size_t kMaxStoredPathUnits = 32767;

// A path as attributes.tsv holds it: absolute, every name a valid device
// name. It may be longer than MAX_PATH: a folder moved under a longer name
// takes its contents with it, and they keep their attributes, unreachable by
// name until moved back, as on Windows.
bool isStoredPath(std::u16string_view path) {
  if (path.size() < 2 || path.size() > kMaxStoredPathUnits || path.front() != u'\\') return false;
  for (size_t start = 1;;) {
    const size_t end = path.find(u'\\', start);
    const std::u16string_view name = path.substr(start, end == std::u16string_view::npos ? end : end - start);
    if (checkFileName(name) != ERROR_SUCCESS) return false;
    if (end == std::u16string_view::npos) return true;
    start = end + 1;
  }
}

uint64_t measureUsedBytes(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  uint64_t used = 0;
  std::error_code error;
  // Links are not followed: what they point at is not on the device.
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    std::error_code statError;
    if (!fs::is_regular_file(it->symlink_status(statError)) || statError) continue;
    const uintmax_t size = it->file_size(statError);
    if (!statError) used += size;
  }
  return used;
}

} // namespace

// ---------------------------------------------------------------- set-up

FileSystem::FileSystem(const std::filesystem::path& imageDir, uint64_t capacityBytes)
    : imageDir_(imageDir), capacity_(capacityBytes) {
  const std::filesystem::path root = image::fsRoot(imageDir);
  root_.reset(::open(root.c_str(), kOpenFolderFlags));
  if (!root_.valid())
    throw std::runtime_error(root.string() + ": cannot open the device file system: " + std::strerror(errno));
  used_ = measureUsedBytes(root);
  loadAttributes();
}

void FileSystem::loadAttributes() {
  const std::filesystem::path file = image::attributesFile(imageDir_);
  std::error_code missing;
  if (!std::filesystem::exists(std::filesystem::symlink_status(file, missing))) return;
  std::string text, error;
  if (!readWholeFile(file, kMaxAttributesFileBytes, text, error)) throw std::runtime_error(error);
  size_t start = 0, lineNumber = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    ++lineNumber;
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    auto fail = [&](const char* why) {
      throw std::runtime_error(file.filename().string() + " line " + std::to_string(lineNumber) + ": " + why);
    };
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos || tab == 0 || tab > 8) fail("expected <hex attributes><tab><device path>");
    uint32_t attributes = 0;
    const auto [ptr, ec] = std::from_chars(line.data(), line.data() + tab, attributes, 16);
    if (ec != std::errc() || ptr != line.data() + tab) fail("attributes are not a hexadecimal number");
    std::u16string path;
    if (!utf8ToUtf16(line.substr(tab + 1), path) || !isStoredPath(path)) fail("not a valid device path");
    attributes_[foldName(path)] = StoredAttributes{attributes, path};
  }
}

bool FileSystem::saveAttributes(std::string& error) const {
  std::string text;
  for (const auto& [folded, stored] : attributes_) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x\t", unsigned(stored.attributes));
    text += hex + hostName(stored.path) + "\n";
  }
  return writeFileAtomically(image::attributesFile(imageDir_), text, error);
}

// ---------------------------------------------------------------- lookup

FileSystem::FolderIndex* FileSystem::indexOf(int folderFd) {
  struct stat info {};
  if (::fstat(folderFd, &info) != 0) return nullptr;
  FolderIndex& index = indexes_[{info.st_dev, info.st_ino}];
  if (index.built && sameTime(index.modified, info.st_mtim)) return &index;

  // Taken before reading, so a change made during the scan shows up as a
  // newer time on the next lookup.
  index.modified = info.st_mtim;
  index.entries.clear();
  index.built = false;
  const int scanFd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (scanFd < 0) return nullptr;
  std::unique_ptr<DIR, int (*)(DIR*)> folder(::fdopendir(scanFd), ::closedir);
  if (!folder) {
    ::close(scanFd);
    return nullptr;
  }
  while (const dirent* host = ::readdir(folder.get())) {
    const std::string_view hostNameView = host->d_name;
    if (hostNameView == "." || hostNameView == "..") continue;
    unsigned char type = host->d_type;
    if (type == DT_UNKNOWN) {
      struct stat entry {};
      if (::fstatat(folderFd, host->d_name, &entry, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISDIR(entry.st_mode) ? DT_DIR : S_ISREG(entry.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    // Links, devices and names the device could not have are not there.
    if (type != DT_DIR && type != DT_REG) continue;
    std::u16string name;
    if (!utf8ToUtf16(hostNameView, name) || checkFileName(name) != ERROR_SUCCESS) continue;
    HostEntry entry{std::string(hostNameView), name, type == DT_DIR};
    // Two host names that differ only in case are one device name: the
    // first in byte order wins, the same one every time.
    auto [it, inserted] = index.entries.try_emplace(foldName(name), entry);
    if (!inserted && entry.hostName < it->second.hostName) it->second = std::move(entry);
  }
  index.built = true;
  return &index;
}

void FileSystem::noteFolderChanged(Location& location) {
  struct stat info {};
  if (::fstat(location.folder.get(), &info) == 0) location.index->modified = info.st_mtim;
}

uint32_t FileSystem::openFolder(const std::u16string* names, size_t count, UniqueFd& folder,
                                std::u16string& storedPath) {
  storedPath.clear();
  UniqueFd current(::openat(root_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!current.valid()) return ERROR_PATH_NOT_FOUND;
  for (size_t i = 0; i < count; ++i) {
    FolderIndex* index = indexOf(current.get());
    if (!index) return ERROR_PATH_NOT_FOUND;
    const auto it = index->entries.find(foldName(names[i]));
    if (it == index->entries.end() || !it->second.isFolder) return ERROR_PATH_NOT_FOUND;
    UniqueFd next(::openat(current.get(), it->second.hostName.c_str(), kOpenFolderFlags));
    if (!next.valid()) return ERROR_PATH_NOT_FOUND; // replaced by a link since it was indexed
    storedPath += u'\\';
    storedPath += it->second.name;
    current = std::move(next);
  }
  folder = std::move(current);
  return ERROR_SUCCESS;
}

uint32_t FileSystem::locate(const DevicePath& path, Location& location) {
  if (const uint32_t error = openFolder(path.names.data(), path.names.size() - 1, location.folder,
                                        location.folderPath);
      error != ERROR_SUCCESS)
    return error;
  location.index = indexOf(location.folder.get());
  if (!location.index) return ERROR_PATH_NOT_FOUND;
  const std::u16string& asked = path.names.back();
  const auto it = location.index->entries.find(foldName(asked));
  if (it != location.index->entries.end()) {
    location.entry = it->second;
    location.name = it->second.name;
  } else {
    location.entry.reset();
    location.name = asked;
  }
  return ERROR_SUCCESS;
}

bool FileSystem::isPathOpen(const std::u16string& foldedPath, bool orBelow) const {
  const std::u16string below = foldedPath + u'\\';
  for (const auto& [id, file] : openFiles_)
    if (file.foldedPath == foldedPath || (orBelow && file.foldedPath.starts_with(below))) return true;
  return false;
}

// ---------------------------------------------------------------- attributes

uint32_t FileSystem::attributesOf(const std::u16string& foldedPath, bool isFolder) const {
  const auto it = attributes_.find(foldedPath);
  if (it == attributes_.end()) return defaultAttributes(isFolder);
  const uint32_t stored = it->second.attributes;
  return isFolder ? (stored | FILE_ATTRIBUTE_DIRECTORY) : (stored & ~FILE_ATTRIBUTE_DIRECTORY);
}

bool FileSystem::storeAttributes(const std::u16string& storedPath, uint32_t attributes, bool isFolder) {
  const std::u16string folded = foldName(storedPath);
  const auto it = attributes_.find(folded);
  if (attributes == defaultAttributes(isFolder)) {
    if (it == attributes_.end()) return true;
    attributes_.erase(it);
  } else {
    if (it != attributes_.end() && it->second.attributes == attributes && it->second.path == storedPath) return true;
    attributes_[folded] = StoredAttributes{attributes, storedPath};
  }
  std::string error;
  return saveAttributes(error);
}

void FileSystem::moveAttributes(const std::u16string& fromFolded, const std::u16string& toStored) {
  const std::u16string toFolded = foldName(toStored);
  const std::u16string below = fromFolded + u'\\';
  std::vector<std::pair<std::u16string, StoredAttributes>> moved;
  // The entry itself, then everything below it (a moved folder's contents):
  // folded paths sort those together right after `below`.
  if (const auto it = attributes_.find(fromFolded); it != attributes_.end()) {
    moved.emplace_back(toFolded, StoredAttributes{it->second.attributes, toStored});
    attributes_.erase(it);
  }
  for (auto it = attributes_.lower_bound(below); it != attributes_.end() && it->first.starts_with(below);) {
    // Folding keeps lengths, so the stored path's tail starts where the folded one does.
    const std::u16string tail = it->second.path.substr(fromFolded.size());
    moved.emplace_back(toFolded + it->first.substr(fromFolded.size()),
                       StoredAttributes{it->second.attributes, toStored + tail});
    it = attributes_.erase(it);
  }
  if (moved.empty()) return;
  for (auto& [folded, stored] : moved) attributes_[folded] = std::move(stored);
  std::string error;
  saveAttributes(error); // the map stays right; the next change saves again
}

bool FileSystem::attributes(std::u16string_view path, uint32_t& attributes, uint32_t& lastError) {
  DevicePath parsed;
  if ((lastError = parseDevicePath(path, parsed)) != ERROR_SUCCESS) return false;
  if (parsed.isRoot()) {
    attributes = FILE_ATTRIBUTE_DIRECTORY;
    return true;
  }
  Location location;
  if ((lastError = locate(parsed, location)) != ERROR_SUCCESS) return false;
  if (!location.entry) {
    lastError = ERROR_FILE_NOT_FOUND;
    return false;
  }
  attributes = attributesOf(foldName(location.storedPath()), location.entry->isFolder);
  return true;
}

bool FileSystem::setAttributes(std::u16string_view path, uint32_t attributes, uint32_t& lastError) {
  DevicePath parsed;
  if ((lastError = parseDevicePath(path, parsed)) != ERROR_SUCCESS) return false;
  if (parsed.isRoot()) {
    lastError = ERROR_ACCESS_DENIED;
    return false;
  }
  Location location;
  if ((lastError = locate(parsed, location)) != ERROR_SUCCESS) return false;
  if (!location.entry) {
    lastError = ERROR_FILE_NOT_FOUND;
    return false;
  }
  const bool isFolder = location.entry->isFolder;
  const uint32_t value = (attributes & kSettableAttributes) | (isFolder ? FILE_ATTRIBUTE_DIRECTORY : 0);
  if (!storeAttributes(location.storedPath(), value, isFolder)) {
    lastError = ERROR_WRITE_FAULT;
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- files

OpenFileId FileSystem::open(std::u16string_view path, uint32_t access, uint32_t share, uint32_t disposition,
                            uint32_t flagsAndAttributes, uint32_t& lastError) {
  DevicePath parsed;
  if ((lastError = parseDevicePath(path, parsed)) != ERROR_SUCCESS) return 0;
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (parsed.isRoot()) {
    lastError = ERROR_ACCESS_DENIED;
    return 0;
  }
  Location location;
  if ((lastError = locate(parsed, location)) != ERROR_SUCCESS) return 0;

  const bool canRead = access & (GENERIC_READ | GENERIC_ALL);
  const bool canWrite = access & (GENERIC_WRITE | GENERIC_ALL);
  const bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
  const bool exists = location.entry.has_value();
  const std::u16string storedPath = location.storedPath();
  const std::u16string folded = foldName(storedPath);
  if (exists)
    lastError = openRefusal(*location.entry, folded, canRead, canWrite, share, disposition);
  else if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)
    lastError = ERROR_FILE_NOT_FOUND;
  if (lastError != ERROR_SUCCESS) return 0;

  UniqueFd fd = openHostFile(location, canWrite || truncates, truncates, lastError);
  if (!fd.valid()) return 0;
  // A new file takes the attributes it is created with (ARCHIVE always, as on
  // the device); CREATE_ALWAYS gives an existing one those too.
  if (!exists || disposition == CREATE_ALWAYS)
    storeAttributes(storedPath, (flagsAndAttributes & kSettableAttributes) | FILE_ATTRIBUTE_ARCHIVE, false);

  const OpenFileId id = nextOpenFile_++;
  if (nextOpenFile_ == 0) nextOpenFile_ = 1;
  openFiles_[id] = OpenFile{std::move(fd), 0, canRead, canWrite, share, folded};
  lastError = exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                    : ERROR_SUCCESS;
  return id;
}

uint32_t FileSystem::openRefusal(const HostEntry& entry, const std::u16string& folded, bool canRead, bool canWrite,
                                 uint32_t share, uint32_t disposition) const {
  const bool writes = canWrite || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
  if (disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
  if (entry.isFolder) return ERROR_ACCESS_DENIED;
  if (disposition == TRUNCATE_EXISTING && !canWrite) return ERROR_ACCESS_DENIED;
  if (writes && (attributesOf(folded, false) & FILE_ATTRIBUTE_READONLY)) return ERROR_ACCESS_DENIED;
  uint32_t refusal = ERROR_SUCCESS;
  for (const auto& [id, other] : openFiles_)
    if (other.foldedPath == folded &&
        sharesConflict(canRead, writes, share, other.canRead, other.canWrite, other.share))
      refusal = ERROR_SHARING_VIOLATION;
  return refusal;
}

UniqueFd FileSystem::openHostFile(Location& location, bool writes, bool truncates, uint32_t& lastError) {
  const bool exists = location.entry.has_value();
  // O_NONBLOCK: should the name have become a FIFO since it was indexed, the
  // open must not hang; the type check below then refuses it.
  const int flags = (writes ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  const std::string host = exists ? location.entry->hostName : hostName(location.name);
  UniqueFd fd(exists ? ::openat(location.folder.get(), host.c_str(), flags)
                     : ::openat(location.folder.get(), host.c_str(), flags | O_CREAT | O_EXCL, 0644));
  if (!fd.valid()) {
    const int err = errno;
    if (exists && (err == ENOENT || err == ELOOP)) lastError = ERROR_FILE_NOT_FOUND; // gone or replaced by a link
    else if (!exists && err == EEXIST) lastError = ERROR_FILE_EXISTS; // a host entry the device does not show
    else lastError = errorFromErrno(err, ERROR_ACCESS_DENIED);
    return fd;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    lastError = ERROR_ACCESS_DENIED;
    return UniqueFd();
  }
  if (exists && truncates && info.st_size > 0) {
    if (::ftruncate(fd.get(), 0) != 0) {
      lastError = errorFromErrno(errno, ERROR_WRITE_FAULT);
      return UniqueFd();
    }
    used_ -= std::min<uint64_t>(used_, uint64_t(info.st_size));
  }
  if (!exists) {
    location.index->entries[foldName(location.name)] = HostEntry{host, location.name, false};
    noteFolderChanged(location);
  }
  return fd;
}

bool FileSystem::read(OpenFileId id, uint32_t count, std::vector<uint8_t>& data, uint32_t& lastError) {
  data.clear();
  OpenFile& file = openFiles_.at(id);
  if (!file.canRead) {
    lastError = ERROR_ACCESS_DENIED;
    return false;
  }
  struct stat info {};
  if (::fstat(file.fd.get(), &info) != 0) {
    lastError = errorFromErrno(errno, ERROR_READ_FAULT);
    return false;
  }
  const uint64_t remaining = uint64_t(info.st_size) > file.position ? uint64_t(info.st_size) - file.position : 0;
  // One read answers at most the largest block the link carries.
  const size_t wanted = size_t(std::min<uint64_t>({count, rapiwire::kMaxDataBytes, remaining}));
  data.resize(wanted);
  size_t got = 0;
  while (got < wanted) {
    const ssize_t done = ::pread(file.fd.get(), data.data() + got, wanted - got, off_t(file.position + got));
    if (done < 0) {
      if (errno == EINTR) continue;
      lastError = errorFromErrno(errno, ERROR_READ_FAULT);
      data.clear();
      return false;
    }
    if (done == 0) break;
    got += size_t(done);
  }
  data.resize(got);
  file.position += got;
  lastError = ERROR_SUCCESS;
  return true;
}

bool FileSystem::write(OpenFileId id, const uint8_t* data, uint32_t size, uint32_t& written, uint32_t& lastError) {
  written = 0;
  OpenFile& file = openFiles_.at(id);
  if (!file.canWrite) {
    lastError = ERROR_ACCESS_DENIED;
    return false;
  }
  struct stat before {};
  if (::fstat(file.fd.get(), &before) != 0) {
    lastError = errorFromErrno(errno, ERROR_WRITE_FAULT);
    return false;
  }
  // The store is checked before anything is written: a write that does not
  // fit changes nothing.
  const uint64_t end = file.position + size;
  const uint64_t growth = end > uint64_t(before.st_size) ? end - uint64_t(before.st_size) : 0;
  if (growth > freeBytes()) {
    lastError = ERROR_DISK_FULL;
    return false;
  }
  size_t done = 0;
  lastError = ERROR_SUCCESS;
  while (done < size) {
    const ssize_t step = ::pwrite(file.fd.get(), data + done, size - done, off_t(file.position + done));
    if (step < 0) {
      if (errno == EINTR) continue;
      lastError = errorFromErrno(errno, ERROR_WRITE_FAULT);
      break;
    }
    done += size_t(step);
  }
  // The file's new end follows from what was written: the device serialises
  // every call, so no other write came in between.
  const uint64_t newEnd = file.position + done;
  if (newEnd > uint64_t(before.st_size)) used_ += newEnd - uint64_t(before.st_size);
  file.position += done;
  written = uint32_t(done);
  return lastError == ERROR_SUCCESS;
}

bool FileSystem::size(OpenFileId id, uint64_t& bytes, uint32_t& lastError) {
  struct stat info {};
  if (::fstat(openFiles_.at(id).fd.get(), &info) != 0) {
    lastError = errorFromErrno(errno, ERROR_GEN_FAILURE);
    return false;
  }
  bytes = uint64_t(info.st_size);
  lastError = ERROR_SUCCESS;
  return true;
}

void FileSystem::close(OpenFileId id) { openFiles_.erase(id); }

uint32_t FileSystem::checkFileExists(std::u16string_view path) {
  DevicePath parsed;
  if (const uint32_t error = parseDevicePath(path, parsed); error != ERROR_SUCCESS) return error;
  if (parsed.isRoot()) return ERROR_FILE_NOT_FOUND;
  Location location;
  if (locate(parsed, location) != ERROR_SUCCESS || !location.entry || location.entry->isFolder)
    return ERROR_FILE_NOT_FOUND;
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- folders and names

bool FileSystem::remove(std::u16string_view path, uint32_t& lastError) {
  DevicePath parsed;
  if ((lastError = parseDevicePath(path, parsed)) != ERROR_SUCCESS) return false;
  if (parsed.isRoot()) {
    lastError = ERROR_ACCESS_DENIED;
    return false;
  }
  Location location;
  if ((lastError = locate(parsed, location)) != ERROR_SUCCESS) return false;
  const std::u16string storedPath = location.storedPath();
  const std::u16string folded = foldName(storedPath);
  if (!location.entry) lastError = ERROR_FILE_NOT_FOUND;
  else if (location.entry->isFolder) lastError = ERROR_ACCESS_DENIED; // files only
  else if (attributesOf(folded, false) & FILE_ATTRIBUTE_READONLY) lastError = ERROR_ACCESS_DENIED;
  else if (isPathOpen(folded, false)) lastError = ERROR_SHARING_VIOLATION;
  if (lastError != ERROR_SUCCESS) return false;

  struct stat info {};
  const char* host = location.entry->hostName.c_str();
  if (::fstatat(location.folder.get(), host, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
    lastError = ERROR_FILE_NOT_FOUND;
    return false;
  }
  if (::unlinkat(location.folder.get(), host, 0) != 0) {
    lastError = errorFromErrno(errno, ERROR_ACCESS_DENIED);
    return false;
  }
  used_ -= std::min<uint64_t>(used_, uint64_t(info.st_size));
  location.index->entries.erase(foldName(location.name));
  noteFolderChanged(location);
  storeAttributes(storedPath, FILE_ATTRIBUTE_ARCHIVE, false);
  return true;
}

bool FileSystem::move(std::u16string_view from, std::u16string_view to, uint32_t& lastError) {
  DevicePath source, target;
  if ((lastError = parseDevicePath(from, source)) != ERROR_SUCCESS) return false;
  if ((lastError = parseDevicePath(to, target)) != ERROR_SUCCESS) return false;
  if (source.isRoot()) {
    lastError = ERROR_ACCESS_DENIED;
    return false;
  }
  if (target.isRoot()) {
    lastError = ERROR_ALREADY_EXISTS;
    return false;
  }
  Location origin, destination;
  if ((lastError = locate(source, origin)) != ERROR_SUCCESS) return false;
  if (!origin.entry) {
    lastError = ERROR_FILE_NOT_FOUND;
    return false;
  }
  if ((lastError = locate(target, destination)) != ERROR_SUCCESS) return false;

  const std::u16string fromFolded = foldName(origin.storedPath());
  const std::u16string toStored = destination.storedPath();
  const std::u16string toFolded = foldName(toStored);
  const bool renamesInPlace = fromFolded == toFolded; // a change of case only
  if (renamesInPlace && origin.name == target.names.back()) return true; // nothing to change
  if (destination.entry && !renamesInPlace) lastError = ERROR_ALREADY_EXISTS;
  else if (origin.entry->isFolder && toFolded.starts_with(fromFolded + u'\\')) lastError = ERROR_INVALID_PARAMETER;
  else if (isPathOpen(fromFolded, origin.entry->isFolder)) lastError = ERROR_SHARING_VIOLATION;
  if (lastError != ERROR_SUCCESS) return false;

  // In a case-only rename the target keeps the asked case, not the stored one.
  const std::u16string newName = renamesInPlace ? target.names.back() : destination.name;
  const std::string newHost = hostName(newName);
  if (renameNoReplace(origin.folder.get(), origin.entry->hostName.c_str(), destination.folder.get(),
                      newHost.c_str()) != 0) {
    lastError = errorFromErrno(errno, ERROR_ACCESS_DENIED);
    return false;
  }
  origin.index->entries.erase(foldName(origin.name));
  destination.index->entries[foldName(newName)] = HostEntry{newHost, newName, origin.entry->isFolder};
  noteFolderChanged(origin);
  noteFolderChanged(destination);
  moveAttributes(fromFolded, destination.folderPath + u"\\" + newName);
  return true;
}

bool FileSystem::makeDirectory(std::u16string_view path, uint32_t& lastError) {
  DevicePath parsed;
  if ((lastError = parseDevicePath(path, parsed)) != ERROR_SUCCESS) return false;
  if (parsed.isRoot()) {
    lastError = ERROR_ALREADY_EXISTS;
    return false;
  }
  Location location;
  if ((lastError = locate(parsed, location)) != ERROR_SUCCESS) return false;
  if (location.entry) {
    lastError = ERROR_ALREADY_EXISTS;
    return false;
  }
  const std::string host = hostName(location.name);
  if (::mkdirat(location.folder.get(), host.c_str(), 0755) != 0) {
    lastError = errorFromErrno(errno, ERROR_ACCESS_DENIED);
    return false;
  }
  location.index->entries[foldName(location.name)] = HostEntry{host, location.name, true};
  noteFolderChanged(location);
  storeAttributes(location.storedPath(), FILE_ATTRIBUTE_DIRECTORY, true);
  return true;
}

bool FileSystem::find(std::u16string_view pattern, std::vector<FindData>& entries, uint32_t& lastError) {
  entries.clear();
  DevicePath parsed;
  if ((lastError = parseDevicePath(pattern, parsed, true)) != ERROR_SUCCESS) return false;
  UniqueFd folder;
  std::u16string folderPath;
  if ((lastError = openFolder(parsed.names.data(), parsed.names.size() - 1, folder, folderPath)) != ERROR_SUCCESS)
    return false;
  const FolderIndex* index = indexOf(folder.get());
  if (!index) {
    lastError = ERROR_PATH_NOT_FOUND;
    return false;
  }
  const std::u16string& namePattern = parsed.names.back();
  for (const auto& [folded, entry] : index->entries) {
    if (!matchesPattern(namePattern, entry.name)) continue;
    struct stat info {};
    if (::fstatat(folder.get(), entry.hostName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(info.st_mode) != entry.isFolder || (!entry.isFolder && !S_ISREG(info.st_mode))) continue;
    FindData data;
    data.attributes = attributesOf(foldName(folderPath + u"\\" + entry.name), entry.isFolder);
    data.creationTime = data.lastWriteTime = fileTime(info.st_mtim);
    data.lastAccessTime = fileTime(info.st_atim);
    if (!entry.isFolder) {
      data.sizeHigh = uint32_t(uint64_t(info.st_size) >> 32);
      data.sizeLow = uint32_t(uint64_t(info.st_size));
    }
    data.oid = objectId(info.st_ino);
    data.name = entry.name;
    entries.push_back(std::move(data));
  }
  std::sort(entries.begin(), entries.end(),
            [](const FindData& a, const FindData& b) { return foldName(a.name) < foldName(b.name); });
  lastError = ERROR_SUCCESS;
  return true;
}

bool setFileAttributes(const std::filesystem::path& imageDir, std::u16string_view devicePath, uint32_t attributes,
                       std::string& error) {
  if (!image::isImage(imageDir)) {
    error = imageDir.string() + ": not a device image";
    return false;
  }
  try {
    FileSystem fileSystem(imageDir, UINT64_MAX);
    uint32_t lastError = 0;
    if (fileSystem.setAttributes(devicePath, attributes, lastError)) return true;
    const char* name = errorName(lastError);
    error = toUtf8Lossy(devicePath) + ": " + (name ? std::string(name) : "error " + std::to_string(lastError));
  } catch (const std::exception& failure) {
    error = failure.what();
  }
  return false;
}

} // namespace pspc
