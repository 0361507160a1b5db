// The kivhost command line. Options kivhost does not know itself, written as
// `--name=value`, are handed to the plugin as the client's own command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/result.h"

namespace kivhost {

// `kivhost call METHOD PATH ...`: a request to one of the plugin's endpoints.
struct CallOptions {
  std::string method;  // upper case
  std::string path;
  std::string content_type;  // set by --json, --yaml or --msgpack-hex
  std::string body;
  // --arg name=value: the value as JSON when it parses as JSON, otherwise as a string.
  std::vector<std::pair<std::string, std::string>> arguments;
};

inline constexpr double kDefaultLoginTimeout = 360;

// `kivhost login --username U --password P [--login-timeout SECONDS]`.
struct LoginOptions {
  std::optional<std::string> username;
  std::optional<std::string> password;
  // How long to wait for the session to succeed or fail; unset: kDefaultLoginTimeout.
  std::optional<double> timeout_seconds;
  // After a success, keep the session this long, showing what happens to it, then log out.
  std::optional<double> stay_seconds;
};

// The plugin id kivhost stands for when `events` or `--events-for` is given without
// `--as-plugin`.
inline constexpr uint32_t kDefaultObserverId = 1;

// `--as-plugin ID`, `kivhost events [--filter NAME] [--for SECONDS]` and
// `kivhost call ... --events-for SECONDS`: kivhost also acts as another plugin of the client,
// which hears what the plugin publishes to every plugin or to it.
struct ObserverOptions {
  std::optional<uint32_t> plugin_id;  // --as-plugin
  std::optional<std::string> filter;  // an event name or a prefix ending in '*'; unset: all
  // How long `events` prints what arrives; unset: until interrupted.
  std::optional<double> for_seconds;
  // How long `call` goes on printing what arrives after its answer; unset: it does not.
  std::optional<double> events_for_seconds;
};

// `kivhost serve [--port N] [--bind ADDRESS] [--token TOKEN] [--for SECONDS]`.
struct ServeOptions {
  std::string bind = "127.0.0.1";
  uint16_t port = 0;  // 0: any free port
  std::string token;  // empty: a random one
  bool bind_given = false;
  bool port_given = false;
  bool token_given = false;
};

struct KivhostOptions {
  std::string plugin;
  std::string version_text = "17.1.0";
  bool xml_events = false;
  bool help = false;
  std::string region_file;  // empty: the embedded region settings
  // A PEM file whose certificates external HTTPS trusts besides the system's; empty: none.
  std::string ca_file;
  // The sign-on service's accounts and failures (see host/qsa_service.h); empty: kivhost
  // offers no sign-on service.
  std::string qsa_file;
  // How long the plugin keeps running after Initialize before kivhost shuts it down.
  double run_seconds = 0;
  // A wait open longer than this is reported with the whole wait stack; 0: never.
  double wait_timeout_seconds = 0;
  // Events raised after Initialize, as (event name, JSON payload), in order.
  std::vector<std::pair<std::string, std::string>> raised_events;
  // "" runs the plugin's life; "call" calls one endpoint; "api" prints the API table;
  // "login" logs in and follows the session; "events" prints what an observer receives;
  // "serve" serves the plugin's API over HTTP.
  std::string command;
  CallOptions call;
  LoginOptions login;
  ObserverOptions observer;
  ServeOptions serve;
  // For "/voroclient/command-line-args", names without the leading dashes, in order.
  std::vector<std::pair<std::string, std::string>> client_args;
};

// The id of the plugin kivhost also acts as, if it acts as one.
std::optional<uint32_t> ObserverPluginId(const KivhostOptions& options);

// Parses argv[1..]; fails on an unknown or incomplete option. `options` keeps the defaults
// it came with for everything not given.
[[nodiscard]] kiv::Status ParseKivhostOptions(const std::vector<std::string>& args,
                                              KivhostOptions* options);

}  // namespace kivhost
