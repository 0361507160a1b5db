// kivtool decode: what a MessagePack, JSON or YAML body means to the plugin, as JSON.
#include <cstdio>
#include <string>
#include <vector>

#include "binding/codec/json_reader.h"
#include "binding/codec/json_writer.h"
#include "binding/codec/msgpack_reader.h"
#include "binding/codec/yaml_reader.h"
#include "kivtool_command.h"

namespace kivtool {
namespace {

constexpr const char* kDecodeHelp =
    "usage: kivtool decode --type msgpack|json|yaml [--compact] [FILE|-]\n"
    "  Decodes FILE (standard input when absent or \"-\") the way the plugin decodes a\n"
    "  request body of that type and prints the value as JSON, indented by four spaces\n"
    "  unless --compact is given. Enumerations cannot appear in a body; blobs print as\n"
    "  Base64 strings. A body the plugin would refuse prints the plugin's message on\n"
    "  standard error and exits with status 1. MessagePack data after the first value is\n"
    "  refused, as a body.\n";

// The plugin's own message for trailing MessagePack data in a body.
constexpr const char* kExtraMsgpackMessage = "Extra MessgePack data found in body";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "kivtool decode: %s\n%s", problem.c_str(), kDecodeHelp);
  return 2;
}

int RunDecode(const std::vector<std::string>& args) {
  std::string type;
  std::string path;
  bool compact = false;
  bool have_path = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kDecodeHelp, stdout);
      return 0;
    } else if (arg == "--compact") {
      compact = true;
    } else if (arg == "--type") {
      if (i + 1 >= args.size()) return Usage("'--type' needs msgpack, json or yaml");
      type = args[++i];
    } else if (arg.starts_with("--type=")) {
      type = arg.substr(7);
    } else if (arg != "-" && arg.starts_with("-")) {
      return Usage("unknown option '" + arg + "'");
    } else if (have_path) {
      return Usage("only one input may be given");
    } else {
      path = arg;
      have_path = true;
    }
  }
  if (type != "msgpack" && type != "json" && type != "yaml") {
    return Usage(type.empty() ? "'--type' is required" : "unknown type '" + type + "'");
  }
  auto input = ReadInput(path);
  if (!input.ok()) {
    std::fprintf(stderr, "kivtool decode: %s\n", input.error().c_str());
    return 1;
  }
  const std::string& bytes = input.value();

  Voro::BindingResult result;
  if (type == "msgpack") {
    Voro::MsgpackDecodeResult decoded = Voro::DecodeMsgpack(bytes);
    result = std::move(decoded.result);
    if (result.ok() && decoded.consumed < bytes.size()) {
      result = Voro::BindingResult::Error(kExtraMsgpackMessage);
    }
  } else if (type == "json") {
    result = Voro::ParseJson(bytes);
  } else {
    result = Voro::ParseYaml(bytes);
  }
  if (!result.ok()) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(result.error().size()), result.error().data());
    return 1;
  }
  const std::string json = Voro::WriteJson(result.value(), nullptr, compact ? "" : "\n");
  std::fwrite(json.data(), 1, json.size(), stdout);
  std::fputc('\n', stdout);
  return 0;
}

const KivtoolCommandRegistration kRegistration({"decode",
                                                "print a MessagePack, JSON or YAML body as JSON",
                                                &RunDecode});

}  // namespace
}  // namespace kivtool
