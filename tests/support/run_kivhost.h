// Runs the kivhost command as a person would and collects what it prints.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace kivhost::testing {

struct CommandRun {
  int exit_code = -1;
  std::string output;  // standard output and standard error together
};

inline CommandRun RunKivhost(const std::string& args) {
  CommandRun run;
  std::string command = std::string(KIV_KIVHOST_PATH) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.output.append(buffer, n);
  int status = pclose(pipe);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace kivhost::testing
