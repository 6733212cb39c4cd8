// Arguments and environment for a native program that starts a Windows
// program under Wine (posix_spawn takes both as arrays of C strings).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace uidriver {

using EnvironmentOverrides = std::vector<std::pair<std::string, std::string>>;

// This process's environment with each of `overrides` set, replacing a
// variable of the same name.
std::vector<std::string> environmentWith(const EnvironmentOverrides& overrides);

// Pointers to each string and a null pointer after them; valid while
// `strings` lives unchanged.
std::vector<char*> cStringArray(std::vector<std::string>& strings);

} // namespace uidriver
