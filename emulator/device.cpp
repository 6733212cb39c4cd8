#include "device.h"

#include "device_path.h"
#include "device_tool.h"
#include "file_system.h"
#include "host_file.h"
#include "registry.h"
#include "win32_codes.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace pspc {

namespace {

constexpr size_t kMaxConfigBytes = 64 * 1024;
// Handles of processes that have ended stay valid until closed; a desktop
// that never closes them must not make the device keep them for ever.
constexpr size_t kMaxProcessHandles = 1024;

using Clock = std::chrono::steady_clock;

Identity readIdentity(const std::filesystem::path& dir) {
  if (!image::isImage(dir))
    throw std::runtime_error(dir.string() + ": not a device image (no device.conf or fs/ folder)");
  std::string text, error;
  if (!readWholeFile(image::configFile(dir), kMaxConfigBytes, text, error)) throw std::runtime_error(error);
  std::optional<Identity> identity = Identity::parse(text, error);
  if (!identity) throw std::runtime_error(image::configFile(dir).string() + " " + error);
  return *identity;
}

} // namespace

class DeviceImpl {
public:
  explicit DeviceImpl(const std::filesystem::path& dir)
      : dir_(dir), identity_(readIdentity(dir)), files_(dir, identity_.storeBytes) {
    std::string error;
    std::error_code ec;
    // An image whose registry.dat was removed has an empty registry.
    if (std::filesystem::exists(image::registryFile(dir), ec) && !registry_.load(image::registryFile(dir), error))
      throw std::runtime_error(error);
  }

  ~DeviceImpl() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    toolWake_.notify_all();
    if (toolThread_.joinable()) toolThread_.join();
  }

  enum class Kind { File, Key };
  struct Handle {
    SessionId session = 0;
    Kind kind = Kind::File;
    OpenFileId file = 0;
    RegistryKey* key = nullptr;
  };

  const std::filesystem::path dir_;
  const Identity identity_;
  mutable std::mutex mutex_;
  FileSystem files_;
  Registry registry_;

  std::set<SessionId> sessions_;
  SessionId nextSession_ = 1;
  std::unordered_map<uint32_t, Handle> handles_;
  std::deque<uint32_t> processHandles_; // device-wide: process creation has no session
  uint32_t nextHandle_ = 0x00001004;
  uint32_t nextProcessId_ = 0x00000400;

  std::condition_variable toolWake_;
  std::vector<Clock::time_point> toolRuns_;
  bool stopping_ = false;
  std::thread toolThread_;

  // Handle values are unique device-wide while open, never 0, never
  // INVALID_HANDLE_VALUE, never a predefined registry key, and are not handed
  // out again soon after they are closed: the counter moves on.
  uint32_t newHandleValue() {
    while (true) {
      const uint32_t candidate = nextHandle_;
      nextHandle_ += 4;
      if (candidate == 0 || candidate == INVALID_HANDLE_VALUE || (candidate >= 0x80000000u && candidate <= 0x8000000Fu))
        continue;
      if (handles_.count(candidate) ||
          std::find(processHandles_.begin(), processHandles_.end(), candidate) != processHandles_.end())
        continue;
      return candidate;
    }
  }

  uint32_t addHandle(const Handle& handle) {
    const uint32_t value = newHandleValue();
    handles_.emplace(value, handle);
    return value;
  }

  Handle* handleOf(SessionId session, uint32_t value, Kind kind) {
    const auto it = handles_.find(value);
    if (it == handles_.end() || it->second.session != session || it->second.kind != kind) return nullptr;
    return &it->second;
  }

  bool sessionOpen(SessionId session) const { return sessions_.count(session) != 0; }

  // A predefined root for any session, or a key handle of this session.
  RegistryKey* keyOf(SessionId session, uint32_t key) {
    if (RegistryKey* root = registry_.root(key)) return root;
    Handle* handle = handleOf(session, key, Kind::Key);
    return handle ? handle->key : nullptr;
  }

  bool saveRegistry() {
    std::string error;
    return registry_.save(image::registryFile(dir_), error);
  }

  // ---- the device tool

  // Writes the data file as the tool does on the device: through the file
  // system, so a missing \Windows, a full store or the file held open without
  // write sharing make the tool fail, and the desktop finds no (new) file.
  void writeDeviceData() {
    const std::vector<uint8_t> content = deviceDataFile(identity_);
    uint32_t lastError = 0, written = 0;
    const OpenFileId file = files_.open(kDeviceDataPath, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                        lastError);
    if (file == 0) return;
    files_.write(file, content.data(), uint32_t(content.size()), written, lastError);
    files_.close(file);
  }

  void runDeviceTool() {
    if (!identity_.toolWrites) return;
    if (identity_.toolDelayMs == 0) {
      writeDeviceData();
      return;
    }
    toolRuns_.push_back(Clock::now() + std::chrono::milliseconds(identity_.toolDelayMs));
    if (!toolThread_.joinable()) toolThread_ = std::thread([this] { toolLoop(); });
    toolWake_.notify_all();
  }

  // Runs the delayed writes; waits release the device lock, so the device
  // answers other calls meanwhile.
  void toolLoop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (toolRuns_.empty()) {
        toolWake_.wait(lock);
        continue;
      }
      const auto earliest = std::min_element(toolRuns_.begin(), toolRuns_.end());
      if (Clock::now() < *earliest) {
        toolWake_.wait_until(lock, *earliest);
        continue;
      }
      toolRuns_.erase(earliest);
      writeDeviceData();
    }
  }
};

// ---------------------------------------------------------------- device

Device::Device(const std::filesystem::path& imageDir) : impl_(std::make_unique<DeviceImpl>(imageDir)) {}

Device::~Device() = default;

const Identity& Device::identity() const { return impl_->identity_; }

const std::filesystem::path& Device::imageDir() const { return impl_->dir_; }

SessionId Device::openSession() {
  std::lock_guard lock(impl_->mutex_);
  SessionId session = impl_->nextSession_++;
  if (session == 0) session = impl_->nextSession_++;
  impl_->sessions_.insert(session);
  return session;
}

void Device::closeSession(SessionId session) {
  std::lock_guard lock(impl_->mutex_);
  for (auto it = impl_->handles_.begin(); it != impl_->handles_.end();) {
    if (it->second.session != session) {
      ++it;
      continue;
    }
    if (it->second.kind == DeviceImpl::Kind::File) impl_->files_.close(it->second.file);
    it = impl_->handles_.erase(it);
  }
  impl_->sessions_.erase(session);
}

// ---------------------------------------------------------------- files

uint32_t Device::createFile(SessionId session, const std::u16string& path, uint32_t access, uint32_t share,
                            uint32_t disposition, uint32_t flagsAndAttributes, uint32_t& lastError) {
  std::lock_guard lock(impl_->mutex_);
  if (!impl_->sessionOpen(session)) {
    lastError = ERROR_INVALID_HANDLE;
    return INVALID_HANDLE_VALUE;
  }
  const OpenFileId file = impl_->files_.open(path, access, share, disposition, flagsAndAttributes, lastError);
  if (file == 0) return INVALID_HANDLE_VALUE;
  return impl_->addHandle({session, DeviceImpl::Kind::File, file, nullptr});
}

bool Device::readFile(SessionId session, uint32_t handle, uint32_t count, std::vector<uint8_t>& data,
                      uint32_t& lastError) {
  std::lock_guard lock(impl_->mutex_);
  data.clear();
  const DeviceImpl::Handle* file = impl_->handleOf(session, handle, DeviceImpl::Kind::File);
  if (!file) {
    lastError = ERROR_INVALID_HANDLE;
    return false;
  }
  return impl_->files_.read(file->file, count, data, lastError);
}

bool Device::writeFile(SessionId session, uint32_t handle, const uint8_t* data, uint32_t size, uint32_t& written,
                       uint32_t& lastError) {
  std::lock_guard lock(impl_->mutex_);
  written = 0;
  const DeviceImpl::Handle* file = impl_->handleOf(session, handle, DeviceImpl::Kind::File);
  if (!file) {
    lastError = ERROR_INVALID_HANDLE;
    return false;
  }
  if (!data && size != 0) {
    lastError = ERROR_INVALID_PARAMETER;
    return false;
  }
  return impl_->files_.write(file->file, data, size, written, lastError);
}

bool Device::closeHandle(SessionId session, uint32_t handle, uint32_t& lastError) {
  std::lock_guard lock(impl_->mutex_);
  if (const DeviceImpl::Handle* file = impl_->handleOf(session, handle, DeviceImpl::Kind::File)) {
    impl_->files_.close(file->file);
    impl_->handles_.erase(handle);
    lastError = ERROR_SUCCESS;
    return true;
  }
  auto& processes = impl_->processHandles_;
  if (const auto it = std::find(processes.begin(), processes.end(), handle); it != processes.end()) {
    processes.erase(it);
    lastError = ERROR_SUCCESS;
    return true;
  }
  lastError = ERROR_INVALID_HANDLE;
  return false;
}

uint32_t Device::getFileSize(SessionId session, uint32_t handle, uint32_t* high, uint32_t& lastError) {
  std::lock_guard lock(impl_->mutex_);
  const DeviceImpl::Handle* file = impl_->handleOf(session, handle, DeviceImpl::Kind::File);
  if (!file) {
    lastError = ERROR_INVALID_HANDLE;
    return 0xFFFFFFFFu;
  }
  uint64_t bytes = 0;
  if (!impl_->files_.size(file->file, bytes, lastError)) return 0xFFFFFFFFu;
  if (high) *high = uint32_t(bytes >> 32);
  return uint32_t(bytes);
}

bool Device::deleteFile(const std::u16string& path, uint32_t& lastError) {
  std::lock_guard lock(impl_->mutex_);
  return impl_->files_.remove(path, lastError);
}

bool Device::moveFile(const std::u16string& from, const std::u16string& to, uint32_t& lastError) {
  std::lock_guard lock(impl_->mutex_);
  return impl_->files_.move(from, to, lastError);
}

bool Device::createDirectory(const std::u16string& path, uint32_t& lastError) {
  std::lock_guard lock(impl_->mutex_);
  return impl_->files_.makeDirectory(path, lastError);
}

bool Device::findAllFiles(const std::u16string& pattern, std::vector<FindData>& entries, uint32_t& lastError) {
  std::lock_guard lock(impl_->mutex_);
  return impl_->files_.find(pattern, entries, lastError);
}

// ---------------------------------------------------------------- processes

bool Device::createProcess(const std::u16string& application, const std::u16string& /*commandLine*/,
                           ProcessInfo& info, uint32_t& lastError) {
  std::lock_guard lock(impl_->mutex_);
  info = {};
  if (application.empty()) {
    lastError = ERROR_INVALID_PARAMETER;
    return false;
  }
  if ((lastError = impl_->files_.checkFileExists(application)) != ERROR_SUCCESS) return false;

  // Every program but the device tool starts and ends at once; its handles
  // stay valid until closed, as those of an ended process do.
  auto& processes = impl_->processHandles_;
  while (processes.size() + 2 > kMaxProcessHandles) processes.pop_front();
  info.process = impl_->newHandleValue();
  processes.push_back(info.process);
  info.thread = impl_->newHandleValue();
  processes.push_back(info.thread);
  info.processId = impl_->nextProcessId_;
  info.threadId = impl_->nextProcessId_ + 4;
  impl_->nextProcessId_ += 8;
  if (impl_->nextProcessId_ < 0x400) impl_->nextProcessId_ = 0x400;

  if (sameName(application, kDeviceToolPath)) impl_->runDeviceTool();
  lastError = ERROR_SUCCESS;
  return true;
}

// ---------------------------------------------------------------- object store

void Device::storeInformation(uint32_t& storeSize, uint32_t& freeSize) {
  std::lock_guard lock(impl_->mutex_);
  storeSize = uint32_t(impl_->files_.capacityBytes());
  freeSize = uint32_t(std::min<uint64_t>(impl_->files_.freeBytes(), UINT32_MAX));
}

// ---------------------------------------------------------------- registry

uint32_t Device::regOpenKey(SessionId session, uint32_t key, const std::u16string& subKey, uint32_t& result) {
  std::lock_guard lock(impl_->mutex_);
  result = 0;
  RegistryKey* base = impl_->sessionOpen(session) ? impl_->keyOf(session, key) : nullptr;
  if (!base) return ERROR_INVALID_HANDLE;
  RegistryKey* opened = nullptr;
  if (const uint32_t status = impl_->registry_.openKey(*base, subKey, opened); status != ERROR_SUCCESS)
    return status;
  result = impl_->addHandle({session, DeviceImpl::Kind::Key, 0, opened});
  return ERROR_SUCCESS;
}

uint32_t Device::regCreateKey(SessionId session, uint32_t key, const std::u16string& subKey, uint32_t& result,
                              uint32_t& disposition) {
  std::lock_guard lock(impl_->mutex_);
  result = 0;
  disposition = 0;
  RegistryKey* base = impl_->sessionOpen(session) ? impl_->keyOf(session, key) : nullptr;
  if (!base) return ERROR_INVALID_HANDLE;
  RegistryKey *opened = nullptr, *firstCreated = nullptr;
  if (const uint32_t status = impl_->registry_.createKey(*base, subKey, opened, firstCreated);
      status != ERROR_SUCCESS)
    return status;
  if (firstCreated && !impl_->saveRegistry()) {
    // Not on disk means not made: the device would lose it on the next start.
    Registry::removeKey(*firstCreated);
    return ERROR_REGISTRY_IO_FAILED;
  }
  result = impl_->addHandle({session, DeviceImpl::Kind::Key, 0, opened});
  disposition = firstCreated ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

uint32_t Device::regCloseKey(SessionId session, uint32_t key) {
  std::lock_guard lock(impl_->mutex_);
  if (impl_->registry_.root(key)) return ERROR_SUCCESS; // predefined keys are never closed
  if (!impl_->handleOf(session, key, DeviceImpl::Kind::Key)) return ERROR_INVALID_HANDLE;
  impl_->handles_.erase(key);
  return ERROR_SUCCESS;
}

uint32_t Device::regQueryValue(SessionId session, uint32_t key, const std::u16string& valueName, uint32_t& type,
                               std::vector<uint8_t>& data, uint32_t capacity, uint32_t& size) {
  std::lock_guard lock(impl_->mutex_);
  data.clear();
  RegistryKey* base = impl_->keyOf(session, key);
  if (!base) return ERROR_INVALID_HANDLE;
  const RegistryValue* value = base->value(valueName);
  if (!value) return ERROR_FILE_NOT_FOUND;
  type = value->type;
  size = uint32_t(value->data.size());
  if (capacity < value->data.size()) return ERROR_MORE_DATA;
  data = value->data;
  return ERROR_SUCCESS;
}

uint32_t Device::regSetValue(SessionId session, uint32_t key, const std::u16string& valueName, uint32_t type,
                             const std::vector<uint8_t>& data) {
  std::lock_guard lock(impl_->mutex_);
  RegistryKey* base = impl_->keyOf(session, key);
  if (!base) return ERROR_INVALID_HANDLE;
  if (const uint32_t status = Registry::checkValue(valueName, data.size()); status != ERROR_SUCCESS) return status;
  std::optional<RegistryValue> previous;
  if (const RegistryValue* existing = base->value(valueName)) previous = *existing;
  base->setValue(RegistryValue{valueName, type, data});
  if (!impl_->saveRegistry()) {
    if (previous) base->setValue(std::move(*previous));
    else base->removeValue(valueName);
    return ERROR_REGISTRY_IO_FAILED;
  }
  return ERROR_SUCCESS;
}

size_t Device::openHandleCount() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->handles_.size();
}

} // namespace pspc
