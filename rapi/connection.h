// The one connection to the device that serves every thread of the process.
//
// Lifecycle: Idle -> Connecting (a background thread waits for the device)
// -> Connected -> Dropped (the link broke; it stays broken until the caller
// ends the connection and asks for a new one) -> Idle (CeRapiUninit).
//
// Two routes lead to the device. With PSPC_RAPI_ENDPOINT=host:port set, the
// attempt dials that endpoint, pausing kRetryPauseMs between tries, until it
// answers (tests and benchmarks). Without it, the attempt asks the desktop's connection manager
// for an attached device (manager_route.h); its thread then stays with the
// connection and drops the link when the manager says the device is gone.
//
// Device calls are serialised: linkMutex_ is held for a whole request and its
// reply, and CeRapiUninit takes it too, so the link is never closed under a
// running call. Init and uninit are serialised among themselves by
// lifecycleMutex_, which device calls never take.
#pragma once

#include "device_socket.h"
#include "manager_route.h"
#include "rapi.h"

#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace rapi {

// How a device call got on. For anything but Replied, `reason` is the
// HRESULT CeRapiGetError reports.
struct LinkOutcome {
  enum Kind { Replied, NotConnected, Dropped } kind = Replied;
  HRESULT reason = S_OK;
};

class Connection {
public:
  static Connection& instance();

  HRESULT initAsync(RAPIINIT* record); // CeRapiInitEx
  HRESULT initAndWait();               // CeRapiInit
  HRESULT uninit();                    // CeRapiUninit

  // Sends one request and hands the reply packet to `decode`, all under the
  // link lock. `decode` returns false for a reply that does not parse: the
  // device and this side no longer agree, so the link is dropped.
  template <typename Decode>
  LinkOutcome exchange(const std::vector<uint8_t>& framedRequest, Decode&& decode) {
    std::lock_guard lock(linkMutex_);
    if (state_ == State::Dropped) return {LinkOutcome::Dropped, HRESULT_FROM_WIN32(ERROR_CONNECTION_ABORTED)};
    if (state_ != State::Connected) return {LinkOutcome::NotConnected, HRESULT_FROM_WIN32(ERROR_NOT_CONNECTED)};
    std::vector<uint8_t> reply;
    LinkError error = link_.exchange(framedRequest, reply);
    if (error != LinkError::None) return dropLocked(error);
    bool decoded = false;
    try {
      decoded = decode(reply);
    } catch (const std::bad_alloc&) {
      return dropLocked(LinkError::OutOfMemory);
    }
    if (!decoded) return dropLocked(LinkError::BadFrame);
    return {};
  }

  // DLL unload by FreeLibrary: closes what is still open. No connection
  // attempt runs then: each holds a reference on the DLL.
  void releaseAtUnload();

private:
  enum class State { Idle, Connecting, Connected, Dropped };
  struct Attempt;

  Connection() = default;

  // Starts a connection attempt; lifecycleMutex_ held.
  HRESULT beginAttempt(RAPIINIT* record, std::shared_ptr<Attempt>& started);
  // Puts a new event in the caller's record, for CeRapiInitEx.
  HRESULT handOutCallerEvent(RAPIINIT& record);
  // Starts the attempt's thread; the connection is Connecting while it runs.
  HRESULT startThread(Attempt& attempt);
  void runAttempt(Attempt& attempt);
  HRESULT dialEndpoint(Attempt& attempt);
  // Takes `candidate` as the link, unless CeRapiUninit has begun meanwhile.
  bool adopt(Attempt& attempt, DeviceSocket& candidate);
  void endAttempt(Attempt& attempt, HRESULT result);
  static DWORD WINAPI attemptThread(void* parameter);
  LinkOutcome dropLocked(LinkError error);
  // The device has gone: a call in flight fails at once, and the link stays
  // dropped until the caller ends the connection.
  void dropGoneDevice();
  void closeLinkLocked();

  std::mutex lifecycleMutex_;
  std::mutex linkMutex_;
  State state_ = State::Idle;     // guarded by linkMutex_
  DeviceSocket link_;               // guarded by linkMutex_
  std::shared_ptr<Attempt> attempt_; // guarded by lifecycleMutex_
  // The open link's socket, for the watching thread to shut it down under a
  // call in flight; the link is not closed without taking this lock.
  std::mutex interruptMutex_;
  SOCKET interruptible_ = INVALID_SOCKET; // guarded by interruptMutex_
  // Written by one attempt's thread, read by the next one's, which starts
  // only after CeRapiUninit has waited for the first to end.
  RefusedAttach refusedAttach_;
  // The event handed out by the last CeRapiInitEx. The caller may still wait
  // on it after the connection has ended, so it is closed only when a new
  // one replaces it or the DLL unloads.
  HANDLE callerEvent_ = nullptr;  // guarded by lifecycleMutex_
};

} // namespace rapi
