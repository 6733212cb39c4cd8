#include "spawn_args.h"

#include <unistd.h>

extern char** environ;

namespace uidriver {

std::vector<std::string> environmentWith(const EnvironmentOverrides& overrides) {
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& [key, value] : overrides) replaced = replaced || key == name;
    if (!replaced) environment.push_back(entry);
  }
  for (const auto& [key, value] : overrides) environment.push_back(key + "=" + value);
  return environment;
}

std::vector<char*> cStringArray(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

} // namespace uidriver
