// The connection manager's log as a test expects it to read.
#pragma once

#include "pspclink_process.h"

#include <gtest/gtest.h>

namespace testsupport {

// Waits until the log holds at least `count` lines holding `text`; the log
// is shown when it never does.
inline ::testing::AssertionResult logHolds(const PspclinkProcess& manager, const std::string& text, size_t count = 1) {
  if (manager.logs(text, count)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the manager's log never held " << count << " lines with \"" << text
                                       << "\"; it holds:\n"
                                       << manager.log();
}

} // namespace testsupport
