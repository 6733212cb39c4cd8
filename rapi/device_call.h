// The shape every exported device call shares: guard against exceptions at
// the DLL boundary, send one request, decode its reply, and record for the
// calling thread why a call failed.
#pragma once

#include "call_errors.h"
#include "connection.h"
#include "handle_map.h"

#include "../protocol/rapi_commands.h"

#include <cwchar>
#include <new>
#include <optional>
#include <string>

namespace rapi {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "device texts are UTF-16");

// Runs an exported function's body; nothing is thrown across the DLL boundary.
template <typename Result, typename Body> Result guarded(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    recordCallError(E_OUTOFMEMORY, ERROR_NOT_ENOUGH_MEMORY);
  } catch (...) {
    recordCallError(E_UNEXPECTED, ERROR_GEN_FAILURE);
  }
  return failure;
}

// Copies a caller's text for the wire. A null text stays absent; a text longer
// than the link can carry is refused (false) before anything is sent.
inline bool wireText(LPCWSTR text, std::optional<std::u16string>& out) {
  out.reset();
  if (!text) return true;
  size_t length = wcsnlen(text, rapiwire::kMaxStringUnits);
  if (length >= rapiwire::kMaxStringUnits) return false; // no room for the terminator
  out.emplace(reinterpret_cast<const char16_t*>(text), length);
  return true;
}

inline uint32_t deviceHandle(HANDLE h) { return toDeviceHandle(reinterpret_cast<uintptr_t>(h)); }
inline uint32_t deviceKey(HKEY key) { return toDeviceHandle(reinterpret_cast<uintptr_t>(key)); }
inline HANDLE hostHandle(uint32_t device) { return reinterpret_cast<HANDLE>(toHostHandle(device)); }
inline HKEY hostKey(uint32_t device) { return reinterpret_cast<HKEY>(toHostHandle(device)); }

enum class CallStatus {
  Replied, // `body` holds the device's answer; the caller records its last error
  Refused, // the device refused the call as a whole; recorded
  Failed,  // no connection or a broken link; recorded
};

template <typename Request, typename Body, typename... Context>
CallStatus deviceCall(const Request& request, Body& body, Context... context) {
  const std::vector<uint8_t> framed = rapiwire::frame(rapiwire::encodeRequest(request));
  rapiwire::ReplyStatus status = rapiwire::ReplyStatus::Malformed;
  uint32_t refusal = 0;
  LinkOutcome outcome = Connection::instance().exchange(framed, [&](const std::vector<uint8_t>& reply) {
    status = rapiwire::decodeReply(reply, body, refusal, context...);
    return status != rapiwire::ReplyStatus::Malformed;
  });
  switch (outcome.kind) {
  case LinkOutcome::NotConnected:
    recordCallError(outcome.reason, ERROR_NOT_CONNECTED);
    return CallStatus::Failed;
  case LinkOutcome::Dropped:
    recordCallError(outcome.reason, ERROR_CONNECTION_ABORTED);
    return CallStatus::Failed;
  case LinkOutcome::Replied:
    break;
  }
  if (status == rapiwire::ReplyStatus::RapiError) {
    recordCallError(HRESULT(refusal), win32CodeOf(HRESULT(refusal)));
    return CallStatus::Refused;
  }
  return CallStatus::Replied;
}

} // namespace rapi
