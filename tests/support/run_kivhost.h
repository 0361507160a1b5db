// Runs our commands (kivhost, kivtool) as a person would and collects what they print.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace kivhost::testing {

struct CommandRun {
  int exit_code = -1;
  std::string output;  // standard output and standard error together
};

// `args` go through the shell as written.
inline CommandRun RunProgram(const std::string& program, const std::string& args) {
  CommandRun run;
  std::string command = program + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.output.append(buffer, n);
  int status = pclose(pipe);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

inline CommandRun RunKivhost(const std::string& args) { return RunProgram(KIV_KIVHOST_PATH, args); }

}  // namespace kivhost::testing
