// The device password, kept in a file of the desktop user's own (never on a
// command line, where every local user can read it): the password alone on
// the first line, UTF-8.
#pragma once

#include "control_session.h"

#include <string>

namespace pspclink {

// The password in `path`, or the problem with the file: one that its group
// or others may read or write, that is not a regular file (a symbolic link
// included), or whose text is not one line of UTF-8 that a device can take.
PasswordSource readPasswordFile(const std::string& path);

} // namespace pspclink
