// kivhost: loads the kiv-login plugin the way the client's core process does and shows
// what happens at each step.
#include <chrono>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/api_client.h"
#include "host/event_watch.h"
#include "host/host_session.h"
#include "host/kivhost_options.h"
#include "host/login_command.h"
#include "host/openapi_document.h"
#include "host/qsa_service.h"
#include "host/serve_command.h"
#include "host/wait_watch.h"

namespace {

constexpr const char* kUsage =
    "usage: kivhost [--plugin PATH] [--host-version MAJOR.MINOR.PATCH] [--xml-events]\n"
    "               [--region-file FILE] [--run-for SECONDS] [--wait-timeout SECONDS]\n"
    "               [--ca FILE] [--qsa-file FILE] [--as-plugin ID [--filter NAME]]\n"
    "               [--raise EVENT JSON ...] [--NAME=VALUE ...] [COMMAND]\n"
    "  Loads the plugin, runs Create with the given host plugin API version (default 17.1.0),\n"
    "  Initialize, raises the plugin manager's PluginsInitialized update, reads the memory\n"
    "  counters, and shuts it down, printing each step, every line the plugin logs to the\n"
    "  host and every event that passes through the host.\n"
    "  --xml-events        also print the plugin's log as XML event documents\n"
    "  --run-for SECONDS   keep the plugin running this long before shutting it down\n"
    "  --wait-timeout SECONDS\n"
    "                      print the plugin's wait stack when a wait stays open this long\n"
    "                      (SIGUSR1 prints it at any time)\n"
    "  --raise EVENT JSON  raise EVENT with the JSON payload after Initialize, as another\n"
    "                      part of the client would\n"
    "  --as-plugin ID      act also as another plugin with the id ID (1 to 4294967295): it\n"
    "                      hears every event the plugin publishes to all plugins or to ID\n"
    "                      (pass-through ID), shown as \"event: delivered to plugin ID\"\n"
    "  --filter NAME       what that plugin listens to: the event NAME, or the events whose\n"
    "                      names start with PREFIX when NAME is PREFIX* (default: all)\n"
    "commands:\n"
    "  api                 print the API table the plugin handed over: endpoints with their\n"
    "                      methods, paths and parameters, types with fields, events\n"
    "  openapi             print the API table as an OpenAPI 3.0 document (JSON) on standard\n"
    "                      output, the one `serve` offers at /openapi.json; everything\n"
    "                      else goes to standard error\n"
    "  call METHOD PATH [--json BODY | --yaml BODY | --msgpack-hex HEX] [--arg NAME=VALUE ...]\n"
    "       [--as-plugin ID] [--filter NAME] [--events-for SECONDS]\n"
    "                      call one of the plugin's endpoints through its API table after\n"
    "                      Initialize and print the status, headers, error and body (as\n"
    "                      indented JSON); VALUE is taken as JSON when it parses as JSON,\n"
    "                      otherwise as a string. Exits with 1 when the call failed.\n"
    "                      With --events-for, then print what the plugin --as-plugin ID\n"
    "                      (default 1) received, as `events` does, for SECONDS more.\n"
    "  events [--as-plugin ID] [--filter NAME] [--for SECONDS]\n"
    "                      after Initialize and the raised events, print each event the\n"
    "                      plugin --as-plugin ID (default 1) receives as one JSON line,\n"
    "                      {\"event\":NAME,\"payload\":PAYLOAD}, on standard output, for\n"
    "                      SECONDS or until interrupted; everything else goes to standard\n"
    "                      error. Then shut the plugin down.\n"
    "  login --username USER --password PASSWORD [--login-timeout SECONDS] [--stay SECONDS]\n"
    "                      after Initialize, start a login with POST /kiv-login/v1/session,\n"
    "                      print each change of the session (state, queue position) until\n"
    "                      it is SUCCEEDED or ERROR or the time-out (default 360 s) passes,\n"
    "                      then the session and wallet (on success) or the session's error,\n"
    "                      and the telemetry the plugin sent. Exits with 0 on success, 1 on\n"
    "                      failure or time-out. With --stay, a session that succeeded is kept\n"
    "                      SECONDS longer, showing every state change, lost connection,\n"
    "                      reconnect attempt and kick as it happens, then logged out; the\n"
    "                      exit status is then 0 only if it was still logged in at the end.\n"
    "  serve [--port N] [--bind ADDRESS] [--token TOKEN] [--for SECONDS]\n"
    "                      after Initialize, serve the plugin's API over HTTP on ADDRESS\n"
    "                      (default 127.0.0.1) and port N (default: any free one) until\n"
    "                      interrupted or SECONDS pass: every endpoint at its method and\n"
    "                      path (named arguments from the query string, the body with its\n"
    "                      Content-Type), GET /events as a server-sent-event stream\n"
    "                      (?plugin=ID, ?filter=NAME, NAME* or /resource/path), GET\n"
    "                      /openapi.json, and the console page at GET /. Every request\n"
    "                      needs the access token (printed at start; random unless\n"
    "                      --token), as 'Authorization: Bearer TOKEN' or ?token=TOKEN.\n"
    "  --ca FILE           trust the PEM certificates in FILE for the plugin's external\n"
    "                      HTTPS requests, besides the system's trust store\n"
    "  --region-file FILE  region settings as {\"globals\": {...}, \"region_data\": {...}}\n"
    "                      instead of the embedded region \"local\" on 127.0.0.1\n"
    "  --qsa-file FILE     offer the client's sign-on service (/qsa-auth/v1/...) with the\n"
    "                      platforms, accounts and injected failures in FILE, a JSON object:\n"
    "                        {\"enabledPlatforms\": [\"LOC1\"],\n"
    "                         \"accounts\": [{\"username\": \"alice\", \"password\": \"pw\",\n"
    "                           \"puuid\": \"p-1\", \"platformId\": \"LOC1\", \"accountId\": 7,\n"
    "                           \"idToken\": {\"token\": \"...\", \"expiry\": 0},\n"
    "                           \"gasToken\": {...},\n"
    "                           \"accessToken\": {\"token\": \"...\", \"scopes\": [],\n"
    "                             \"expiry\": 0},\n"
    "                           \"refusal\": \"account_state_disabled\"}],\n"
    "                         \"failures\": {\"gas\": {\"status\": 400,\n"
    "                           \"errorDescription\": \"account_state_creating\"},\n"
    "                           \"access-token\": {\"status\": 503, \"message\": \"down\"}}}\n"
    "                      every member optional except an account's username, password\n"
    "                      and puuid; failure keys: status, gas, id-token, gas-token,\n"
    "                      access-token, error; \"refusal\" and \"errorDescription\" are\n"
    "                      what /qsa-auth/v1/authorization/error then tells. Without it\n"
    "                      the status endpoint answers 404 and logins skip the sign-on.\n"
    "                      The access token's update is raised with\n"
    "                      --raise OnJsonApiEvent_qsa-auth_v1_authorization \\\n"
    "                        '{\"uri\":\"/qsa-auth/v1/authorization/access-token\",\n"
    "                          \"eventType\":\"Update\",\"data\":{\"token\":...}}'\n"
    "  --NAME=VALUE        handed to the plugin as the client's command line argument NAME,\n"
    "                      e.g. --auto-login-username=alice\n";

// Where kivhost reports its steps: standard output, except for `events`, whose standard
// output carries only the JSON lines.
std::FILE* info = stdout;

int32_t PrintXmlEvent(const char* document) {
  std::fprintf(info, "xml event:\n%s", document ? document : "");
  return 1;
}

const char* EventKindName(kivhost::EventRecord::Kind kind) {
  switch (kind) {
    case kivhost::EventRecord::kPublished:
      return "published";
    case kivhost::EventRecord::kRaised:
      return "raised";
    case kivhost::EventRecord::kDelivered:
      return "delivered";
    case kivhost::EventRecord::kObserved:
      return "delivered to plugin";
  }
  return "?";
}

void PrintEventRecord(const kivhost::EventRecord& event) {
  std::string kind = EventKindName(event.kind);
  if (event.kind == kivhost::EventRecord::kObserved) {
    kind += " " + std::to_string(event.plugin_id);
  } else if (event.kind == kivhost::EventRecord::kPublished && event.plugin_id != 0) {
    kind += " to plugin " + std::to_string(event.plugin_id);
  }
  std::printf("event: %s %s %s\n", kind.c_str(), event.name.c_str(), event.payload.c_str());
}

// Prints what the observer receives for `seconds` (nullopt: until interrupted, for which the
// caller called HandleInterrupts before saying it listens), then stops it listening and prints
// what reached it before it stopped.
void PrintObservedEvents(kivhost::HostSession& session, uint32_t plugin_id,
                         kivhost::EventWatch& watch, std::optional<double> seconds) {
  watch.PrintFor(seconds, stdout);
  session.host().RemoveObservers(plugin_id);
  session.thread().Invoke([] {});  // a delivery under way has ended
  watch.PrintQueued(stdout);
}

void PrintMemory(const char* when, const PluginMemoryStats& s) {
  std::printf("memory (%s): peak live bytes %" PRIu64 ", live allocations at peak %" PRIu64
              ", bytes allocated %" PRIu64 ", allocations %" PRIu64 ", bytes freed %" PRIu64
              ", frees %" PRIu64 "\n",
              when, s.peak_live_bytes, s.live_allocations_at_peak, s.bytes_allocated, s.allocations,
              s.bytes_freed, s.frees);
}

// Calls the endpoint on the plugin thread; returns the exit status.
int RunCall(kivhost::HostSession& session, const kivhost::CallOptions& options) {
  const ApiTable* table = session.descriptor().api;
  const uint32_t method = kivhost::MethodCode(options.method);
  if (method == 0) {
    std::printf("call: '%s' is not a method\n", options.method.c_str());
    return 2;
  }
  const ApiEndpointRecord* endpoint =
      table != nullptr ? kivhost::FindEndpoint(*table, method, options.path) : nullptr;
  if (endpoint == nullptr || endpoint->callback == nullptr) {
    std::printf("call: the plugin has no endpoint %s %s\n", options.method.c_str(),
                options.path.c_str());
    return 1;
  }
  kivhost::ApiCall call;
  call.method = method;
  call.path = options.path;
  call.content_type = options.content_type;
  call.body = options.body;
  for (const auto& [name, value] : options.arguments) {
    call.arguments.emplace_back(name, kivhost::JsonOrString(value));
  }
  kivhost::ApiCallResult result;
  kiv::Status sent;
  session.thread().Invoke([&] { sent = kivhost::CallEndpoint(*endpoint, call, &result); });
  if (!sent.ok()) {
    std::printf("call: %s\n", sent.error().c_str());
    return 2;
  }
  std::printf("call: %s %s -> %s\n", options.method.c_str(), options.path.c_str(),
              endpoint->name != nullptr ? endpoint->name : "");
  // The plugin leaves the status at 0 unless a handler or the router set one.
  if (result.status != 0) {
    std::printf("status: %d\n", result.status);
  } else {
    std::printf("status: none set (%s)\n", result.failed ? "failed" : "succeeded");
  }
  for (const auto& [name, value] : result.headers) {
    std::printf("header: %s: %s\n", name.c_str(), value.c_str());
  }
  if (result.failed) std::printf("error: %s\n", result.error.c_str());
  std::printf("body:\n%s\n", kivhost::IndentedJson(result.body_json).c_str());
  return result.failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  kivhost::KivhostOptions options;
  options.plugin = KIV_DEFAULT_PLUGIN;
  if (auto parsed =
          kivhost::ParseKivhostOptions(std::vector<std::string>(argv + 1, argv + argc), &options);
      !parsed.ok()) {
    std::fprintf(stderr, "kivhost: %s\n%s", parsed.error().c_str(), kUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const std::string& plugin = options.plugin;
  const std::string& version_text = options.version_text;
  kivhost::HostVersion version;
  if (!kivhost::HostVersion::Parse(version_text, &version)) {
    std::fprintf(stderr, "kivhost: '%s' is not a version (MAJOR.MINOR.PATCH)\n",
                 version_text.c_str());
    return 2;
  }

  auto loaded = kivhost::HostSession::Load(plugin);
  if (!loaded.ok()) {
    std::fprintf(stderr, "kivhost: %s\n", loaded.error().c_str());
    return 1;
  }
  std::unique_ptr<kivhost::HostSession> session = std::move(loaded.value());
  if (!options.region_file.empty()) {
    if (auto read = session->host().endpoints().LoadRegionFile(options.region_file); !read.ok()) {
      std::fprintf(stderr, "kivhost: %s\n", read.error().c_str());
      return 2;
    }
  }
  if (!options.ca_file.empty()) {
    if (auto read = session->host().external_http().SetExtraCaFile(options.ca_file); !read.ok()) {
      std::fprintf(stderr, "kivhost: %s\n", read.error().c_str());
      return 2;
    }
  }
  if (!options.qsa_file.empty()) {
    if (auto read = session->host().qsa().LoadFile(options.qsa_file); !read.ok()) {
      std::fprintf(stderr, "kivhost: %s\n", read.error().c_str());
      return 2;
    }
    session->host().qsa().Install(&session->host().endpoints());
  }
  session->host().endpoints().SetCommandLineArgs(options.client_args);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (options.command == "events" || options.command == "openapi") info = stderr;
  std::fprintf(info, "kivhost: loaded %s\n", plugin.c_str());
  session->host().SetLogSink([](const kivhost::LogLine& line) {
    std::fprintf(info, "plugin log: %s| %s%s", kivhost::SubstituteHost::LevelName(line.level),
                 line.message.c_str(),
                 line.message.empty() || line.message.back() != '\n' ? "\n" : "");
  });
  if (options.xml_events) session->EnableXmlEvents(&PrintXmlEvent);

  kivhost::HandshakeResult handshake = session->Create(version);
  const PluginDescriptor& d = handshake.descriptor;
  std::fprintf(info, "handshake: host plugin API %s, descriptor now %u.%u.%u: %s\n",
               version.Text().c_str(), d.major, d.minor, d.patch,
               handshake.accepted ? "accepted" : "rejected");
  if (!handshake.accepted) return 1;
  std::fprintf(info, "plugin: short name \"%s\"\n", handshake.short_name.c_str());
  if (d.api != nullptr) {
    std::fprintf(info, "api table: %u endpoints, %u types, %u events\n", d.api->endpoint_count,
                 d.api->type_count, d.api->event_count);
  }
  if (options.command == "api") {
    if (d.api != nullptr) std::fputs(kivhost::DescribeApiTable(*d.api).c_str(), stdout);
    session->Shutdown();
    return 0;
  }
  if (options.command == "openapi") {
    kivhost::OpenApiInfo api_info;
    api_info.title = handshake.short_name;
    api_info.version =
        std::to_string(d.major) + "." + std::to_string(d.minor) + "." + std::to_string(d.patch);
    const ApiTable none{};
    std::puts(kivhost::OpenApiDocument(d.api != nullptr ? *d.api : none, api_info).c_str());
    session->Shutdown();
    return 0;
  }

  // Listening from before Initialize: what the plugin publishes from then on is heard.
  const std::optional<uint32_t> observer = kivhost::ObserverPluginId(options);
  const bool print_observed =
      options.command == "events" || options.observer.events_for_seconds.has_value();
  kivhost::EventWatch observed;
  if (observer) {
    kivhost::ObserverCallback print;
    if (print_observed) print = [&observed](const kivhost::EventRecord& r) { observed.Push(r); };
    if (auto added = session->host().AddObserver(*observer, options.observer.filter.value_or(""),
                                                 std::move(print));
        !added.ok()) {
      std::fprintf(stderr, "kivhost: %s\n", added.error().c_str());
      return 2;
    }
  }

  kivhost::WaitWatch watch(&session->host(), options.wait_timeout_seconds, info);
  watch.HandleSigusr1();
  bool ready = session->Initialize();
  std::fprintf(info, "initialize: %s\n", ready ? "ready" : "not ready");
  for (const auto& [name, payload] : options.raised_events) {
    if (auto raised = session->host().RaiseEvent(name, payload); !raised.ok()) {
      std::fprintf(info, "raise: %s: %s\n", name.c_str(), raised.error().c_str());
    }
  }
  if (options.run_seconds > 0) {
    std::this_thread::sleep_for(std::chrono::duration<double>(options.run_seconds));
  }
  if (options.command == "events") {
    if (ready) {
      const std::optional<double> seconds = options.observer.for_seconds;
      const std::string filter = options.observer.filter.value_or("");
      // Before the line that tells a waiting program it may now interrupt us.
      if (!seconds) kivhost::EventWatch::HandleInterrupts();
      std::fprintf(info, "events: listening as plugin %u to %s ", *observer,
                   filter.empty() ? "every event" : ("'" + filter + "'").c_str());
      if (seconds) {
        std::fprintf(info, "for %g s\n", *seconds);
      } else {
        std::fprintf(info, "until interrupted\n");
      }
      PrintObservedEvents(*session, *observer, observed, seconds);
    }
    session->Shutdown();
    std::fprintf(info, "shutdown: done, %zu log lines from the plugin\n",
                 session->host().log_lines().size());
    return ready ? 0 : 1;
  }
  if (options.command == "serve") {
    const int status = ready ? kivhost::RunServe(*session, options, stdout) : 1;
    session->Shutdown();
    std::printf("shutdown: done, %zu log lines from the plugin\n",
                session->host().log_lines().size());
    return status;
  }
  int call_status = 0;
  if (options.command == "call" && ready) {
    call_status = RunCall(*session, options.call);
    if (options.observer.events_for_seconds) {
      PrintObservedEvents(*session, *observer, observed, options.observer.events_for_seconds);
    }
  }
  if (options.command == "login" && ready) {
    call_status = kivhost::RunLogin(*session, options.login, stdout);
    if (!session->host().open_waits().empty()) {
      // Its wait would return into a module that Shutdown unloads: leave without it.
      std::printf("kivhost: the plugin is still waiting (%s); leaving without Shutdown\n",
                  session->host().open_waits().back().c_str());
      std::fflush(stdout);
      std::_Exit(call_status == 0 ? 1 : call_status);
    }
    session->Shutdown();
    std::printf("shutdown: done, %zu log lines from the plugin\n",
                session->host().log_lines().size());
    return call_status;
  }
  session->thread().Invoke([] {});  // what is due by now has run
  for (const kivhost::EventRecord& event : session->host().event_log()) PrintEventRecord(event);
  PrintMemory("after initialize", session->MemoryStats());
  session->Shutdown();
  std::printf("shutdown: done, %zu log lines from the plugin\n",
              session->host().log_lines().size());
  for (const kivhost::SinkRecord& record : session->host().endpoints().records()) {
    std::printf("host sink: %s %s %s\n", record.sink.c_str(), record.name.c_str(),
                record.arguments.c_str());
  }
  return ready ? call_status : 1;
}
