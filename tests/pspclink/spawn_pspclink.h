// Starts pspclink as a child process of a test, with the channel folder and
// the variables the test gives it instead of any PSPCLINK_ variable of the
// test's own environment (a developer's channel folder is never touched).
#pragma once

#include "link_channel.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace linktest {

// `program` with `args`; PSPCLINK_DIR=`folder` and `variables` (NAME=value)
// in its environment; its input /dev/null, its output into `out` and its
// errors into `err`, or into `out` too when `err` is empty. The child's
// process id, or -1 with posix_spawn's error in `error`.
inline pid_t spawnPspclink(const std::string& program, const std::vector<std::string>& args,
                           const std::filesystem::path& folder, const std::vector<std::string>& variables,
                           const std::filesystem::path& out, const std::filesystem::path& err, int& error) {
  std::vector<std::string> environment{std::string(linkchannel::kDirVariable) + "=" + folder.string()};
  for (char** entry = environ; *entry; ++entry)
    if (std::string(*entry).rfind("PSPCLINK_", 0) != 0) environment.emplace_back(*entry);
  environment.insert(environment.end(), variables.begin(), variables.end());
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> argp, envp;
  for (auto& arg : argv) argp.push_back(arg.data());
  for (auto& entry : environment) envp.push_back(entry.data());
  argp.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (err.empty())
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  else
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  error = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

} // namespace linktest
