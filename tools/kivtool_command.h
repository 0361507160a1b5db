// A kivtool subcommand: `kivtool NAME ARGS...`. Each command file registers one with a
// static KivtoolCommandRegistration.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "common/result.h"

namespace kivtool {

struct KivtoolCommand {
  const char* name;
  const char* summary;  // one line for `kivtool --help`
  // Arguments after the command name. Returns the process exit status.
  int (*run)(const std::vector<std::string>& args);
};

const std::vector<KivtoolCommand>& Commands();

struct KivtoolCommandRegistration {
  explicit KivtoolCommandRegistration(const KivtoolCommand& command);
};

// Reads a whole file, or standard input for "-" or an empty path.
[[nodiscard]] kiv::Result<std::string> ReadInput(const std::string& path);

}  // namespace kivtool
