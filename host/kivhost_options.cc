#include "host/kivhost_options.h"

#include <cstdlib>
#include <utility>

namespace kivhost {

namespace {

kiv::Result<double> ParseSeconds(const std::string& name, const std::string& text) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !(value >= 0) || value > 1e6) {
    return kiv::Error{"'--" + name + "' needs a number of seconds, not '" + text + "'"};
  }
  return value;
}

// kivhost's own options that take one value; fails on a bad value.
kiv::Status SetValueOption(const std::string& name, const std::string& value,
                           KivhostOptions* options) {
  if (name == "plugin") {
    options->plugin = value;
  } else if (name == "host-version") {
    options->version_text = value;
  } else if (name == "region-file") {
    options->region_file = value;
  } else if (name == "ca") {
    options->ca_file = value;
  } else if (name == "qsa-file") {
    options->qsa_file = value;
  } else if (name == "username") {
    options->login.username = value;
  } else if (name == "password") {
    options->login.password = value;
  } else if (name == "login-timeout" || name == "stay") {
    auto seconds = ParseSeconds(name, value);
    if (!seconds.ok()) return kiv::Error{seconds.error()};
    if (seconds.value() <= 0) {
      return kiv::Error{"'--" + name + "' needs a number of seconds above 0, not '" + value + "'"};
    }
    (name == "stay" ? options->login.stay_seconds : options->login.timeout_seconds) =
        seconds.value();
  } else if (name == "run-for" || name == "wait-timeout") {
    auto seconds = ParseSeconds(name, value);
    if (!seconds.ok()) return kiv::Error{seconds.error()};
    double& target = name == "run-for" ? options->run_seconds : options->wait_timeout_seconds;
    target = seconds.value();
  }
  return {};
}

[[nodiscard]] bool HexToBytes(const std::string& hex, std::string* bytes) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string compact;
  for (char c : hex) {
    if (c != ' ' && c != ':') compact += c;
  }
  if (compact.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < compact.size(); i += 2) {
    int high = digit(compact[i]);
    int low = digit(compact[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

std::string ToUpper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The words after "call": METHOD PATH, then the body and argument options.
kiv::Status ParseCall(const std::vector<std::string>& args, size_t first, CallOptions* call) {
  if (first + 1 >= args.size()) {
    return kiv::Error{"'call' needs a method and a path"};
  }
  call->method = ToUpper(args[first]);
  call->path = args[first + 1];
  for (size_t i = first + 2; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool body_option = arg == "--json" || arg == "--yaml" || arg == "--msgpack-hex";
    if (!body_option && arg != "--arg") {
      return kiv::Error{"unknown call argument '" + arg + "'"};
    }
    if (i + 1 >= args.size()) {
      return kiv::Error{"'" + arg + "' needs a value"};
    }
    const std::string& value = args[++i];
    if (body_option && !call->content_type.empty()) {
      return kiv::Error{"a call takes one body"};
    }
    if (arg == "--json") {
      call->content_type = "application/json";
      call->body = value;
    } else if (arg == "--yaml") {
      call->content_type = "application/x-yaml";
      call->body = value;
    } else if (arg == "--msgpack-hex") {
      call->content_type = "application/x-msgpack";
      if (!HexToBytes(value, &call->body)) {
        return kiv::Error{"'--msgpack-hex' needs pairs of hexadecimal digits, not '" + value + "'"};
      }
    } else {
      const size_t equals = value.find('=');
      if (equals == std::string::npos || equals == 0) {
        return kiv::Error{"'--arg' needs name=value, not '" + value + "'"};
      }
      call->arguments.emplace_back(value.substr(0, equals), value.substr(equals + 1));
    }
  }
  return {};
}

bool IsValueOption(const std::string& name) {
  return name == "plugin" || name == "host-version" || name == "region-file" || name == "run-for" ||
         name == "wait-timeout" || name == "ca" || name == "qsa-file" || name == "username" ||
         name == "password" || name == "login-timeout" || name == "stay";
}

// Names a command before a second one: kivhost runs one command at a time.
kiv::Status SetCommand(const std::string& command, KivhostOptions* options) {
  if (!options->command.empty()) {
    return kiv::Error{"'" + command + "' cannot follow the command '" + options->command + "'"};
  }
  options->command = command;
  return {};
}

// The login options belong to the login command, which needs both credentials.
kiv::Status CheckLogin(const KivhostOptions& options) {
  const LoginOptions& login = options.login;
  if (options.command != "login") {
    const char* stray = login.username          ? "--username"
                        : login.password        ? "--password"
                        : login.timeout_seconds ? "--login-timeout"
                        : login.stay_seconds    ? "--stay"
                                                : nullptr;
    if (stray == nullptr) return {};
    return kiv::Error{std::string("'") + stray + "' goes with the 'login' command"};
  }
  if (!login.username || !login.password) {
    return kiv::Error{"'login' needs --username USER and --password PASSWORD"};
  }
  return {};
}

}  // namespace

kiv::Status ParseKivhostOptions(const std::vector<std::string>& args, KivhostOptions* options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const std::string bare = arg.starts_with("--") ? arg.substr(2) : std::string();
    if (IsValueOption(bare)) {
      if (i + 1 >= args.size()) {
        return kiv::Error{"'" + arg + "' needs a value"};
      }
      if (auto set = SetValueOption(bare, args[++i], options); !set.ok()) return set;
    } else if (arg == "--raise") {
      if (i + 2 >= args.size()) {
        return kiv::Error{"'--raise' needs an event name and a JSON payload"};
      }
      options->raised_events.emplace_back(args[i + 1], args[i + 2]);
      i += 2;
    } else if (arg == "call") {
      if (auto set = SetCommand(arg, options); !set.ok()) return set;
      if (auto call = ParseCall(args, i + 1, &options->call); !call.ok()) return call;
      return CheckLogin(*options);
    } else if (arg == "api") {
      if (auto set = SetCommand(arg, options); !set.ok()) return set;
      if (i + 1 < args.size()) {
        return kiv::Error{"'api' takes no arguments"};
      }
      return CheckLogin(*options);
    } else if (arg == "login") {
      // Its options may come before or after it, among kivhost's own.
      if (auto set = SetCommand(arg, options); !set.ok()) return set;
    } else if (arg == "--xml-events") {
      options->xml_events = true;
    } else if (arg == "--help" || arg == "-h") {
      options->help = true;
    } else if (size_t equals = arg.find('='); arg.size() > 2 && arg.starts_with("--") &&
                                              equals != std::string::npos && equals > 2) {
      std::string name = arg.substr(2, equals - 2);
      std::string value = arg.substr(equals + 1);
      // kivhost's own options keep their meaning when written with "=".
      if (IsValueOption(name)) {
        if (auto set = SetValueOption(name, value, options); !set.ok()) return set;
      } else if (name == "xml-events" || name == "help") {
        return kiv::Error{"'--" + name + "' takes no value"};
      } else if (name == "raise") {
        return kiv::Error{"'--raise' takes an event name and a JSON payload as two arguments"};
      } else {
        options->client_args.emplace_back(std::move(name), std::move(value));
      }
    } else {
      return kiv::Error{"unknown argument '" + arg + "'"};
    }
  }
  if (options->help) return {};
  return CheckLogin(*options);
}

}  // namespace kivhost
