#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "kivtool_command.h"

namespace kivtool {

namespace {

std::vector<KivtoolCommand>& MutableCommands() {
  static std::vector<KivtoolCommand> commands;
  return commands;
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "usage: kivtool COMMAND [ARGS...]\n\ncommands:\n");
  for (const KivtoolCommand& command : Commands()) {
    std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
  }
  std::fprintf(out, "\n`kivtool COMMAND --help` describes a command.\n");
}

}  // namespace

const std::vector<KivtoolCommand>& Commands() { return MutableCommands(); }

KivtoolCommandRegistration::KivtoolCommandRegistration(const KivtoolCommand& command) {
  MutableCommands().push_back(command);
}

kiv::Result<std::string> ReadInput(const std::string& path) {
  if (path.empty() || path == "-") {
    std::ostringstream buffer;
    buffer << std::cin.rdbuf();
    if (std::cin.bad()) return kiv::Error{"cannot read standard input"};
    return buffer.str();
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) return kiv::Error{"cannot open " + path + ": " + std::strerror(errno)};
  std::string bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>{});
  if (file.bad()) return kiv::Error{"cannot read " + path};
  return bytes;
}

}  // namespace kivtool

int main(int argc, char** argv) {
  using kivtool::Commands;
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    kivtool::PrintUsage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  for (const kivtool::KivtoolCommand& command : Commands()) {
    if (std::strcmp(command.name, argv[1]) == 0) {
      return command.run(std::vector<std::string>(argv + 2, argv + argc));
    }
  }
  std::fprintf(stderr, "kivtool: unknown command '%s'\n", argv[1]);
  kivtool::PrintUsage(stderr);
  return 2;
}
