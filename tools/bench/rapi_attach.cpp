// bench_attach: CeRapiInit on the connection manager's route (PSPCLINK_DIR
// set, PSPC_RAPI_ENDPOINT not), for timing a device's call from outside:
//
//   bench_attach.exe
//
// Prints "waiting" once rapi.dll has asked the manager for a device (it tells
// a debugger so, through OutputDebugString, just before its wait-device
// request), and "attached" at once when CeRapiInit has returned. pspc-bench
// makes the device call between the two and times the call to the second
// line. Then one call proves the link works, and the program ends.
#include "win_bench.h"

#include "rapi.h"

#include <cstring>
#include <string>

namespace {

// What rapi.dll tells a debugger just before it asks the manager to wait for
// a device.
constexpr char kWaitingReport[] = "rapi: waiting for a device to attach";
constexpr DWORD kGuardMs = 120000;

// Hears this process's OutputDebugString messages as a debugger does when
// none is attached: through the DBWIN buffer. Once rapi.dll has said that it
// waits for a device, the listener lets the buffer go before it prints
// "waiting", so that rapi.dll's later messages, made while the call is being
// timed, find no one to wait for.
class WaitingReport {
public:
  bool start() {
    ready_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
    data_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
    mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Buffer), "DBWIN_BUFFER");
    if (mapping_) buffer_ = static_cast<const Buffer*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, sizeof(Buffer)));
    if (!ready_ || !data_ || !buffer_) return false;
    thread_ = CreateThread(nullptr, 0, &WaitingReport::listen, this, 0, nullptr);
    return thread_ != nullptr;
  }

private:
  struct Buffer {
    DWORD processId;
    char text[4096 - sizeof(DWORD)];
  };

  static DWORD WINAPI listen(void* self) {
    auto* report = static_cast<WaitingReport*>(self);
    bool heard = false;
    while (!heard) {
      SetEvent(report->ready_);
      if (WaitForSingleObject(report->data_, kGuardMs) != WAIT_OBJECT_0) break;
      heard = report->buffer_->processId == GetCurrentProcessId() &&
              std::strstr(report->buffer_->text, kWaitingReport) != nullptr;
    }
    report->release();
    if (heard) {
      std::printf("waiting\n");
      std::fflush(stdout);
    }
    return 0;
  }

  void release() {
    UnmapViewOfFile(buffer_);
    CloseHandle(mapping_);
    CloseHandle(data_);
    CloseHandle(ready_);
  }

  HANDLE ready_ = nullptr, data_ = nullptr, mapping_ = nullptr, thread_ = nullptr;
  const Buffer* buffer_ = nullptr;
};

} // namespace

int main(int argc, char**) {
  if (argc != 1) return bench::usage("bench_attach.exe (with PSPCLINK_DIR set and PSPC_RAPI_ENDPOINT not)");
  WaitingReport report;
  if (!report.start()) return bench::failure("the DBWIN buffer cannot be made");
  const HRESULT init = CeRapiInit();
  std::printf("attached\n");
  std::fflush(stdout);
  if (FAILED(init)) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08lx", static_cast<unsigned long>(init));
    return bench::failure(std::string("CeRapiInit failed: 0x") + hex);
  }
  STORE_INFORMATION store{};
  const bool answered = CeGetStoreInformation(&store) != FALSE;
  CeRapiUninit();
  if (!answered) return bench::failure("the device did not answer CeGetStoreInformation");
  return 0;
}
