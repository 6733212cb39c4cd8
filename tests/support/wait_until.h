// Waiting for an outcome that must come, on the Linux and the Windows side
// alike. Every such wait in the tests is bounded by the one hang guard: long
// enough never to be reached by a test that passes on a machine kept busy by
// other work, so that a test that would hang fails instead. Nothing is ever
// waited for by time alone.
#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

using namespace std::chrono_literals;

constexpr std::chrono::seconds kHangGuard{60};

// Asks `holds` again and again until it says yes; false once the hang guard
// has run out.
template <typename Check> bool waitUntil(Check holds) {
  const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
  while (!holds()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

} // namespace testsupport
