// The one program uidriver drives: started by it, kept in a job object that
// ends the program when the job's last handle closes, so that the program
// never outlives its driver, however the driver ends.
#pragma once

#include <windows.h>

#include <string>

namespace uidriver {

// Owns a kernel handle.
class Handle {
public:
  Handle() = default;
  explicit Handle(HANDLE h) : handle_(h) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : handle_(other.release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = other.release();
    }
    return *this;
  }
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE release() {
    HANDLE h = handle_;
    handle_ = nullptr;
    return h;
  }
  void reset() {
    if (*this) CloseHandle(handle_);
    handle_ = nullptr;
  }

private:
  HANDLE handle_ = nullptr;
};

class TargetProcess {
public:
  // Starts `program` with `folder` as its current folder (the driver's own
  // when empty) and the driver's environment. On failure `error` says why.
  bool start(const std::wstring& program, const std::wstring& folder, std::string& error);

  DWORD id() const { return processId_; }
  bool running() const;
  // The exit code once the program has ended.
  bool exitCode(DWORD& code) const;
  // Waits up to `milliseconds` for the program to end; true once it has.
  bool waitForExit(DWORD milliseconds) const;
  // Ends the program (and anything it started) if it still runs, and waits
  // briefly for it to be gone.
  void end();

private:
  Handle job_;
  Handle process_;
  DWORD processId_ = 0;
};

} // namespace uidriver
