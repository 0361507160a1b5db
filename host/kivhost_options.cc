#include "host/kivhost_options.h"

#include <cstdint>
#include <cstdlib>
#include <utility>

#include "host/event_filter.h"

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

kiv::Result<uint32_t> ParsePluginId(const std::string& name, const std::string& text) {
  const bool digits = !text.empty() && text.size() <= 10 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  const unsigned long long value = digits ? std::strtoull(text.c_str(), nullptr, 10) : 0;
  if (value == 0 || value > UINT32_MAX) {
    return kiv::Error{"'--" + name + "' needs a whole number from 1 to 4294967295, not '" + text +
                      "'"};
  }
  return static_cast<uint32_t>(value);
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
  } else if (name == "as-plugin") {
    auto id = ParsePluginId(name, value);
    if (!id.ok()) return kiv::Error{id.error()};
    options->observer.plugin_id = id.value();
  } else if (name == "filter") {
    if (!IsEventFilter(value)) {
      constexpr const char* kForms = "an event name, or the start of one followed by '*'";
      return kiv::Error{std::string("'--filter' needs ") + kForms + ", not '" + value + "'"};
    }
    options->observer.filter = value;
  } else if (name == "for" || name == "events-for") {
    auto seconds = ParseSeconds(name, value);
    if (!seconds.ok()) return kiv::Error{seconds.error()};
    (name == "for" ? options->observer.for_seconds : options->observer.events_for_seconds) =
        seconds.value();
  } else if (name == "port") {
    const bool digits = !value.empty() && value.size() <= 5 &&
                        value.find_first_not_of("0123456789") == std::string::npos;
    const unsigned long port = digits ? std::strtoul(value.c_str(), nullptr, 10) : 0;
    if (!digits || port > 65535) {
      return kiv::Error{"'--port' needs a port number from 0 to 65535, not '" + value + "'"};
    }
    options->serve.port = static_cast<uint16_t>(port);
    options->serve.port_given = true;
  } else if (name == "bind") {
    if (value.empty()) return kiv::Error{"'--bind' needs an address"};
    options->serve.bind = value;
    options->serve.bind_given = true;
  } else if (name == "token") {
    // Sent in headers and query strings: keep it to characters that need no escaping.
    if (value.size() < 16 ||
        value.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyz"
                                "ABCDEFGHIJKLMNOPQRSTUVWXYZ-_.~") != std::string::npos) {
      return kiv::Error{"'--token' needs at least 16 letters, digits or '-', '_', '.', '~'"};
    }
    options->serve.token = value;
    options->serve.token_given = true;
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

bool IsCallObserverOption(const std::string& arg) {
  return arg == "--as-plugin" || arg == "--events-for" || arg == "--filter";
}

// The words after "call": METHOD PATH, then the body, argument and observer options.
kiv::Status ParseCall(const std::vector<std::string>& args, size_t first, KivhostOptions* options) {
  CallOptions* call = &options->call;
  if (first + 1 >= args.size()) {
    return kiv::Error{"'call' needs a method and a path"};
  }
  call->method = ToUpper(args[first]);
  call->path = args[first + 1];
  for (size_t i = first + 2; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool body_option = arg == "--json" || arg == "--yaml" || arg == "--msgpack-hex";
    if (!body_option && arg != "--arg" && !IsCallObserverOption(arg)) {
      return kiv::Error{"unknown call argument '" + arg + "'"};
    }
    if (i + 1 >= args.size()) {
      return kiv::Error{"'" + arg + "' needs a value"};
    }
    const std::string& value = args[++i];
    if (IsCallObserverOption(arg)) {
      if (auto set = SetValueOption(arg.substr(2), value, options); !set.ok()) return set;
      continue;
    }
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
         name == "password" || name == "login-timeout" || name == "stay" || name == "as-plugin" ||
         name == "filter" || name == "for" || name == "events-for" || name == "port" ||
         name == "bind" || name == "token";
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

// The observer's options belong to the commands that run the plugin past Initialize.
kiv::Status CheckObserver(const KivhostOptions& options) {
  const ObserverOptions& observer = options.observer;
  if (observer.for_seconds && options.command != "events" && options.command != "serve") {
    return kiv::Error{"'--for' goes with the 'events' or 'serve' command"};
  }
  if (observer.events_for_seconds && options.command != "call") {
    return kiv::Error{"'--events-for' goes with the 'call' command"};
  }
  if (observer.plugin_id &&
      (options.command == "api" || options.command == "login" || options.command == "serve")) {
    return kiv::Error{"'--as-plugin' does not go with the '" + options.command + "' command"};
  }
  if (observer.filter && !ObserverPluginId(options)) {
    return kiv::Error{"'--filter' goes with the 'events' command, --as-plugin or --events-for"};
  }
  return {};
}

kiv::Status CheckCommandOptions(const KivhostOptions& options) {
  if (auto login = CheckLogin(options); !login.ok()) return login;
  const ServeOptions& serve = options.serve;
  if ((serve.port_given || serve.bind_given || serve.token_given) && options.command != "serve") {
    return kiv::Error{std::string("'") +
                      (serve.port_given   ? "--port"
                       : serve.bind_given ? "--bind"
                                          : "--token") +
                      "' goes with the 'serve' command"};
  }
  return CheckObserver(options);
}

}  // namespace

std::optional<uint32_t> ObserverPluginId(const KivhostOptions& options) {
  const std::string& command = options.command;
  if (command == "api" || command == "login" || command == "serve") return std::nullopt;
  if (command == "events" || (command == "call" && options.observer.events_for_seconds)) {
    return options.observer.plugin_id.value_or(kDefaultObserverId);
  }
  return options.observer.plugin_id;
}

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
      if (auto call = ParseCall(args, i + 1, options); !call.ok()) return call;
      return CheckCommandOptions(*options);
    } else if (arg == "openapi") {
      // --plugin may come before or after it.
      if (auto set = SetCommand(arg, options); !set.ok()) return set;
    } else if (arg == "api") {
      if (auto set = SetCommand(arg, options); !set.ok()) return set;
      if (i + 1 < args.size()) {
        return kiv::Error{"'api' takes no arguments"};
      }
      return CheckCommandOptions(*options);
    } else if (arg == "login" || arg == "events" || arg == "serve") {
      // Their options may come before or after them, among kivhost's own.
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
  return CheckCommandOptions(*options);
}

}  // namespace kivhost
