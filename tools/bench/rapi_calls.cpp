// bench_rapi: the published RAPI calls at work, through rapi.dll to the
// device at PSPC_RAPI_ENDPOINT: a file written in chunks as the setup
// program writes its package files, then a cheap call asked many times.
//
//   bench_rapi.exe DEVICE-PATH BYTES CHUNK SIZE-CALLS BATCHES
//
// Creates DEVICE-PATH (replacing it), writes BYTES in CeWriteFile calls of
// CHUNK bytes, then asks CeGetFileSize SIZE-CALLS times (0: not at all), and
// deletes the file; BATCHES times over, the fastest batch of each counting
// (the others met more of whatever else the machine was doing). Prints:
//   write calls=<n> bytes=<b> seconds=<s>
//   getfilesize calls=<n> seconds=<s>
// Only the calls themselves are timed; connecting and creating are not.
#include "win_bench.h"

#include "rapi.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kMaxChunkBytes = 1u << 20; // the most one call carries

bool parseNumber(const char* text, uint64_t cap, uint64_t& value) {
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || parsed > cap) return false;
  value = parsed;
  return true;
}

std::wstring widen(const char* text) {
  std::wstring out;
  for (const char* p = text; *p; ++p) out.push_back(wchar_t(static_cast<unsigned char>(*p)));
  return out;
}

std::string lastErrors() {
  return "device error " + std::to_string(CeGetLastError()) + ", link result 0x" +
         [] {
           char hex[16];
           std::snprintf(hex, sizeof hex, "%08lx", static_cast<unsigned long>(CeRapiGetError()));
           return std::string(hex);
         }();
}

struct BatchTimes {
  uint64_t calls = 0;
  double writeSeconds = 0, sizeSeconds = 0;
};

int runBatch(const std::wstring& path, uint64_t bytes, uint32_t chunk, uint64_t sizeCalls, BatchTimes& times) {
  HANDLE file = CeCreateFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bench::failure("CeCreateFile failed: " + lastErrors());

  std::vector<uint8_t> block(chunk);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 31 + 1);
  uint64_t calls = 0;
  bench::Stopwatch writing;
  for (uint64_t done = 0; done < bytes;) {
    const DWORD step = DWORD(bytes - done < chunk ? bytes - done : chunk);
    DWORD written = 0;
    if (!CeWriteFile(file, block.data(), step, &written, nullptr) || written != step) {
      CeCloseHandle(file);
      return bench::failure("CeWriteFile failed after " + std::to_string(done) + " bytes: " + lastErrors());
    }
    done += step;
    ++calls;
  }
  times.writeSeconds = writing.seconds();
  times.calls = calls;

  if (sizeCalls > 0) {
    bench::Stopwatch asking;
    for (uint64_t i = 0; i < sizeCalls; ++i) {
      DWORD high = 0;
      DWORD low = CeGetFileSize(file, &high);
      if ((uint64_t(high) << 32 | low) != bytes) {
        CeCloseHandle(file);
        return bench::failure("CeGetFileSize answered " + std::to_string(uint64_t(high) << 32 | low) + ": " +
                              lastErrors());
      }
    }
    times.sizeSeconds = asking.seconds();
  }
  CeCloseHandle(file);
  CeDeleteFile(path.c_str());
  return 0;
}

int run(const std::wstring& path, uint64_t bytes, uint32_t chunk, uint64_t sizeCalls, uint32_t batches) {
  BatchTimes best;
  for (uint32_t batch = 0; batch < batches; ++batch) {
    BatchTimes times;
    if (const int status = runBatch(path, bytes, chunk, sizeCalls, times); status != 0) return status;
    if (batch == 0 || times.writeSeconds < best.writeSeconds) {
      best.writeSeconds = times.writeSeconds;
      best.calls = times.calls;
    }
    if (batch == 0 || times.sizeSeconds < best.sizeSeconds) best.sizeSeconds = times.sizeSeconds;
  }
  std::printf("write calls=%llu bytes=%llu seconds=%.6f\n", static_cast<unsigned long long>(best.calls),
              static_cast<unsigned long long>(bytes), best.writeSeconds);
  if (sizeCalls > 0)
    std::printf("getfilesize calls=%llu seconds=%.6f\n", static_cast<unsigned long long>(sizeCalls), best.sizeSeconds);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 6) return bench::usage("bench_rapi.exe DEVICE-PATH BYTES CHUNK SIZE-CALLS BATCHES");
  uint64_t bytes = 0, chunk = 0, sizeCalls = 0, batches = 0;
  if (!parseNumber(argv[2], uint64_t(1) << 32, bytes)) return bench::usage("BYTES: 0 to 4294967296");
  if (!parseNumber(argv[3], kMaxChunkBytes, chunk) || chunk == 0) return bench::usage("CHUNK: 1 to 1048576");
  if (!parseNumber(argv[4], 10000000, sizeCalls)) return bench::usage("SIZE-CALLS: 0 to 10000000");
  if (!parseNumber(argv[5], 100, batches) || batches == 0) return bench::usage("BATCHES: 1 to 100");

  if (FAILED(CeRapiInit())) return bench::failure("no device answered (is PSPC_RAPI_ENDPOINT set?)");
  const int status = run(widen(argv[1]), bytes, uint32_t(chunk), sizeCalls, uint32_t(batches));
  std::fflush(stdout);
  CeRapiUninit();
  return status;
}
