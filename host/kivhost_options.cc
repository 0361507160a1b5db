#include "host/kivhost_options.h"

#include <cstdlib>
#include <utility>

namespace kivhost {

namespace {

bool ParseSeconds(const std::string& name, const std::string& text, double* seconds,
                  std::string* error) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !(value >= 0) || value > 1e6) {
    *error = "'--" + name + "' needs a number of seconds, not '" + text + "'";
    return false;
  }
  *seconds = value;
  return true;
}

// kivhost's own options that take one value; false with *error for a bad value.
bool SetValueOption(const std::string& name, const std::string& value, KivhostOptions* options,
                    std::string* error) {
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
  } else if (name == "login-timeout") {
    double seconds = 0;
    if (!ParseSeconds(name, value, &seconds, error)) return false;
    if (seconds <= 0) {
      *error = "'--login-timeout' needs a number of seconds above 0, not '" + value + "'";
      return false;
    }
    options->login.timeout_seconds = seconds;
  } else if (name == "run-for") {
    return ParseSeconds(name, value, &options->run_seconds, error);
  } else if (name == "wait-timeout") {
    return ParseSeconds(name, value, &options->wait_timeout_seconds, error);
  }
  return true;
}

bool HexToBytes(const std::string& hex, std::string* bytes) {
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
bool ParseCall(const std::vector<std::string>& args, size_t first, CallOptions* call,
               std::string* error) {
  if (first + 1 >= args.size()) {
    *error = "'call' needs a method and a path";
    return false;
  }
  call->method = ToUpper(args[first]);
  call->path = args[first + 1];
  for (size_t i = first + 2; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool body_option = arg == "--json" || arg == "--yaml" || arg == "--msgpack-hex";
    if (!body_option && arg != "--arg") {
      *error = "unknown call argument '" + arg + "'";
      return false;
    }
    if (i + 1 >= args.size()) {
      *error = "'" + arg + "' needs a value";
      return false;
    }
    const std::string& value = args[++i];
    if (body_option && !call->content_type.empty()) {
      *error = "a call takes one body";
      return false;
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
        *error = "'--msgpack-hex' needs pairs of hexadecimal digits, not '" + value + "'";
        return false;
      }
    } else {
      const size_t equals = value.find('=');
      if (equals == std::string::npos || equals == 0) {
        *error = "'--arg' needs name=value, not '" + value + "'";
        return false;
      }
      call->arguments.emplace_back(value.substr(0, equals), value.substr(equals + 1));
    }
  }
  return true;
}

bool IsValueOption(const std::string& name) {
  return name == "plugin" || name == "host-version" || name == "region-file" || name == "run-for" ||
         name == "wait-timeout" || name == "ca" || name == "qsa-file" || name == "username" ||
         name == "password" || name == "login-timeout";
}

// Names a command before a second one: kivhost runs one command at a time.
bool SetCommand(const std::string& command, KivhostOptions* options, std::string* error) {
  if (!options->command.empty()) {
    *error = "'" + command + "' cannot follow the command '" + options->command + "'";
    return false;
  }
  options->command = command;
  return true;
}

// The login options belong to the login command, which needs both credentials.
bool CheckLogin(const KivhostOptions& options, std::string* error) {
  const LoginOptions& login = options.login;
  if (options.command != "login") {
    const char* stray = login.username          ? "--username"
                        : login.password        ? "--password"
                        : login.timeout_seconds ? "--login-timeout"
                                                : nullptr;
    if (stray == nullptr) return true;
    *error = std::string("'") + stray + "' goes with the 'login' command";
    return false;
  }
  if (!login.username || !login.password) {
    *error = "'login' needs --username USER and --password PASSWORD";
    return false;
  }
  return true;
}

}  // namespace

bool ParseKivhostOptions(const std::vector<std::string>& args, KivhostOptions* options,
                         std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const std::string bare = arg.starts_with("--") ? arg.substr(2) : std::string();
    if (IsValueOption(bare)) {
      if (i + 1 >= args.size()) {
        *error = "'" + arg + "' needs a value";
        return false;
      }
      if (!SetValueOption(bare, args[++i], options, error)) return false;
    } else if (arg == "--raise") {
      if (i + 2 >= args.size()) {
        *error = "'--raise' needs an event name and a JSON payload";
        return false;
      }
      options->raised_events.emplace_back(args[i + 1], args[i + 2]);
      i += 2;
    } else if (arg == "call") {
      if (!SetCommand(arg, options, error)) return false;
      return ParseCall(args, i + 1, &options->call, error) && CheckLogin(*options, error);
    } else if (arg == "api") {
      if (!SetCommand(arg, options, error)) return false;
      if (i + 1 < args.size()) {
        *error = "'api' takes no arguments";
        return false;
      }
      return CheckLogin(*options, error);
    } else if (arg == "login") {
      // Its options may come before or after it, among kivhost's own.
      if (!SetCommand(arg, options, error)) return false;
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
        if (!SetValueOption(name, value, options, error)) return false;
      } else if (name == "xml-events" || name == "help") {
        *error = "'--" + name + "' takes no value";
        return false;
      } else if (name == "raise") {
        *error = "'--raise' takes an event name and a JSON payload as two arguments";
        return false;
      } else {
        options->client_args.emplace_back(std::move(name), std::move(value));
      }
    } else {
      *error = "unknown argument '" + arg + "'";
      return false;
    }
  }
  return options->help || CheckLogin(*options, error);
}

}  // namespace kivhost
