#include "connection.h"

#include "call_errors.h"

#include <optional>
#include <string>

namespace rapi {

namespace {

class UniqueHandle {
public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : handle_(h) {}
  ~UniqueHandle() {
    if (handle_) CloseHandle(handle_);
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  HANDLE get() const { return handle_; }
  void reset(HANDLE h) {
    if (handle_) CloseHandle(handle_);
    handle_ = h;
  }

private:
  HANDLE handle_ = nullptr;
};

// The variable's text; `fallback` when it is not set. A text too long to be
// a setting comes back empty, and so is reported as unusable.
std::string readVariable(std::string_view name, std::string_view fallback) {
  char buffer[512];
  DWORD length = GetEnvironmentVariableA(std::string(name).c_str(), buffer, sizeof(buffer));
  if (length == 0) return std::string(fallback);
  if (length >= sizeof(buffer)) return std::string();
  return std::string(buffer, length);
}

void reportUnusable(std::string_view name, const std::string& text, const std::string& why) {
  std::string message = "rapi: " + std::string(name) + "=\"" + text + "\" is not usable: " + why + "\n";
  OutputDebugStringA(message.c_str());
}

// The route's settings: PSPC_RAPI_ENDPOINT (not set: the connection
// manager's route) and the reply time-out. E_INVALIDARG, told to a debugger,
// for one that is set but not usable.
HRESULT readSettings(std::optional<Endpoint>& endpoint, uint32_t& replyTimeoutMs) {
  std::string text = readVariable(kEndpointVariable, "");
  if (!text.empty()) {
    std::string error;
    endpoint.emplace();
    if (!parseEndpoint(text, *endpoint, error)) {
      reportUnusable(kEndpointVariable, text, error);
      return E_INVALIDARG;
    }
  }
  text = readVariable(kReplyTimeoutVariable, "");
  if (!text.empty() && !parseReplyTimeout(text, replyTimeoutMs)) {
    reportUnusable(kReplyTimeoutVariable, text,
                   "expected milliseconds from " + std::to_string(kMinReplyTimeoutMs) + " to " +
                       std::to_string(kMaxReplyTimeoutMs));
    return E_INVALIDARG;
  }
  return S_OK;
}

} // namespace

struct Connection::Attempt {
  Connection* owner = nullptr;
  std::optional<Endpoint> endpoint; // the direct route; none: ask the connection manager
  DWORD replyTimeoutMs = DeviceSocket::kDefaultReplyTimeoutMs;
  RAPIINIT* record = nullptr; // the caller's, for CeRapiInitEx; null for CeRapiInit
  HANDLE callerEvent = nullptr; // owned by the Connection
  UniqueHandle stop{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle thread;
  HMODULE module = nullptr; // the thread's reference on this DLL
  HRESULT result = E_PENDING; // written before `done` is signalled
};

Connection& Connection::instance() {
  // Never destroyed: at process exit other threads may have been stopped
  // anywhere, holding its locks. FreeLibrary releases its handles through
  // releaseAtUnload().
  static Connection* connection = new Connection();
  return *connection;
}

HRESULT Connection::beginAttempt(RAPIINIT* record, std::shared_ptr<Attempt>& started) {
  {
    std::lock_guard lock(linkMutex_);
    if (state_ != State::Idle) return CERAPI_E_ALREADYINITIALIZED;
  }
  if (record) {
    HRESULT hr = handOutCallerEvent(*record);
    if (FAILED(hr)) return hr;
  }
  std::optional<Endpoint> endpoint;
  uint32_t replyTimeoutMs = DeviceSocket::kDefaultReplyTimeoutMs;
  HRESULT hr = readSettings(endpoint, replyTimeoutMs);
  if (FAILED(hr)) return hr;
  int winsockError = 0;
  if (!startWinsock(winsockError)) return HRESULT_FROM_WIN32(DWORD(winsockError));

  auto attempt = std::make_shared<Attempt>();
  if (!attempt->stop.get() || !attempt->done.get()) return HRESULT_FROM_WIN32(GetLastError());
  attempt->owner = this;
  attempt->endpoint = std::move(endpoint);
  attempt->replyTimeoutMs = replyTimeoutMs;
  if (record) {
    attempt->record = record;
    attempt->callerEvent = record->heRapiInit;
  }
  hr = startThread(*attempt);
  if (FAILED(hr)) return hr;
  attempt_ = attempt;
  started = std::move(attempt);
  return S_OK;
}

HRESULT Connection::handOutCallerEvent(RAPIINIT& record) {
  // The event is in the record whatever happens next, so the caller can
  // always wait on it.
  record.heRapiInit = nullptr;
  record.hrRapiInit = E_PENDING;
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!event) return HRESULT_FROM_WIN32(GetLastError());
  if (callerEvent_) CloseHandle(callerEvent_);
  callerEvent_ = event;
  record.heRapiInit = event;
  return S_OK;
}

HRESULT Connection::startThread(Attempt& attempt) {
  // The attempt's thread holds a reference on this DLL, so FreeLibrary cannot
  // unmap the code it runs; it drops it as it ends (FreeLibraryAndExitThread).
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&Connection::attemptThread),
                          &self))
    return HRESULT_FROM_WIN32(GetLastError());
  attempt.module = self;
  {
    std::lock_guard lock(linkMutex_);
    state_ = State::Connecting;
  }
  HANDLE thread = CreateThread(nullptr, 0, &Connection::attemptThread, &attempt, 0, nullptr);
  if (!thread) {
    DWORD error = GetLastError();
    FreeLibrary(self);
    std::lock_guard lock(linkMutex_);
    state_ = State::Idle;
    return HRESULT_FROM_WIN32(error);
  }
  attempt.thread.reset(thread);
  return S_OK;
}

DWORD WINAPI Connection::attemptThread(void* parameter) {
  auto* attempt = static_cast<Attempt*>(parameter);
  HMODULE module = attempt->module; // the attempt may be gone once it has ended
  attempt->owner->runAttempt(*attempt);
  FreeLibraryAndExitThread(module, 0);
  return 0;
}

void Connection::runAttempt(Attempt& attempt) {
  if (attempt.endpoint) {
    endAttempt(attempt, dialEndpoint(attempt));
    return;
  }
  ManagerRoute route(attempt.stop.get(), attempt.replyTimeoutMs, refusedAttach_);
  DeviceSocket candidate;
  HRESULT result = E_ABORT; // ended by CeRapiUninit before a device was found
  switch (route.open(candidate)) {
  case ManagerRoute::Outcome::Connected:
    if (adopt(attempt, candidate)) result = S_OK;
    break;
  case ManagerRoute::Outcome::PasswordRefused:
    result = HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD);
    break;
  case ManagerRoute::Outcome::Stopped:
    break;
  }
  endAttempt(attempt, result);
  // This thread stays with the connection until CeRapiUninit.
  if (result == S_OK && route.watch()) dropGoneDevice();
}

HRESULT Connection::dialEndpoint(Attempt& attempt) {
  for (;;) {
    if (WaitForSingleObject(attempt.stop.get(), 0) == WAIT_OBJECT_0) break;
    DeviceSocket candidate;
    if (candidate.connect(*attempt.endpoint, attempt.stop.get(), kConnectWaitMs, attempt.replyTimeoutMs))
      return adopt(attempt, candidate) ? S_OK : E_ABORT;
    if (WaitForSingleObject(attempt.stop.get(), kRetryPauseMs) == WAIT_OBJECT_0) break;
  }
  return E_ABORT; // ended by CeRapiUninit before a device answered
}

bool Connection::adopt(Attempt& attempt, DeviceSocket& candidate) {
  std::lock_guard lock(linkMutex_);
  // CeRapiUninit sets `stop` before it takes this lock to close the link.
  if (WaitForSingleObject(attempt.stop.get(), 0) == WAIT_OBJECT_0) return false;
  link_ = std::move(candidate);
  {
    std::lock_guard interrupt(interruptMutex_);
    interruptible_ = link_.socket();
  }
  state_ = State::Connected;
  return true;
}

void Connection::endAttempt(Attempt& attempt, HRESULT result) {
  attempt.result = result;
  if (attempt.record) attempt.record->hrRapiInit = result;
  if (attempt.callerEvent) SetEvent(attempt.callerEvent);
  SetEvent(attempt.done.get());
}

HRESULT Connection::initAsync(RAPIINIT* record) {
  if (!record || record->cbSize != sizeof(RAPIINIT)) return E_INVALIDARG;
  std::lock_guard lifecycle(lifecycleMutex_);
  std::shared_ptr<Attempt> attempt;
  HRESULT hr = beginAttempt(record, attempt);
  if (FAILED(hr) && hr != CERAPI_E_ALREADYINITIALIZED) {
    // The attempt could not even start. A caller that waits on the event
    // rather than reading the result must still see the attempt end.
    record->hrRapiInit = hr;
    if (record->heRapiInit) SetEvent(record->heRapiInit);
  }
  return hr;
}

HRESULT Connection::initAndWait() {
  std::shared_ptr<Attempt> attempt;
  {
    std::lock_guard lifecycle(lifecycleMutex_);
    HRESULT hr = beginAttempt(nullptr, attempt);
    if (FAILED(hr)) return hr;
  }
  // Not under the lifecycle lock: CeRapiUninit on another thread may end the wait.
  WaitForSingleObject(attempt->done.get(), INFINITE);
  return attempt->result;
}

HRESULT Connection::uninit() {
  std::lock_guard lifecycle(lifecycleMutex_);
  {
    std::lock_guard lock(linkMutex_);
    if (state_ == State::Idle) return E_FAIL;
  }
  if (attempt_) {
    SetEvent(attempt_->stop.get());
    WaitForSingleObject(attempt_->thread.get(), INFINITE);
  }
  // Waits for a call in flight to finish before the link goes.
  std::lock_guard lock(linkMutex_);
  closeLinkLocked();
  state_ = State::Idle;
  attempt_.reset();
  return S_OK;
}

LinkOutcome Connection::dropLocked(LinkError error) {
  closeLinkLocked();
  state_ = State::Dropped;
  switch (error) {
  case LinkError::TimedOut: return {LinkOutcome::Dropped, HRESULT_FROM_WIN32(ERROR_TIMEOUT)};
  case LinkError::BadFrame: return {LinkOutcome::Dropped, HRESULT_FROM_WIN32(ERROR_INVALID_DATA)};
  case LinkError::OutOfMemory: return {LinkOutcome::Dropped, E_OUTOFMEMORY};
  case LinkError::Closed:
  case LinkError::None: break;
  }
  return {LinkOutcome::Dropped, HRESULT_FROM_WIN32(ERROR_CONNECTION_ABORTED)};
}

void Connection::dropGoneDevice() {
  {
    std::lock_guard interrupt(interruptMutex_);
    if (interruptible_ != INVALID_SOCKET) {
      // Shut down for the peer; the wait of a call in flight is ended by
      // cancelling it, as Wine does not end it on shutdown alone.
      shutdown(interruptible_, SD_BOTH);
      CancelIoEx(reinterpret_cast<HANDLE>(interruptible_), nullptr);
    }
  }
  std::lock_guard lock(linkMutex_);
  if (state_ != State::Connected) return; // a call in flight has dropped it already
  closeLinkLocked();
  state_ = State::Dropped;
}

void Connection::closeLinkLocked() {
  {
    std::lock_guard interrupt(interruptMutex_);
    interruptible_ = INVALID_SOCKET;
  }
  link_.close();
}

void Connection::releaseAtUnload() {
  std::lock_guard lock(linkMutex_);
  closeLinkLocked();
  state_ = State::Idle;
  attempt_.reset();
  if (callerEvent_) {
    CloseHandle(callerEvent_);
    callerEvent_ = nullptr;
  }
}

} // namespace rapi
