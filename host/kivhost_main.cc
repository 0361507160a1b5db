// kivhost: loads the kiv-login plugin the way the client's core process does and shows
// what happens at each step.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/host_session.h"
#include "host/kivhost_options.h"
#include "host/wait_watch.h"

namespace {

constexpr const char* kUsage =
    "usage: kivhost [--plugin PATH] [--host-version MAJOR.MINOR.PATCH] [--xml-events]\n"
    "               [--region-file FILE] [--run-for SECONDS] [--wait-timeout SECONDS]\n"
    "               [--raise EVENT JSON ...] [--NAME=VALUE ...]\n"
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
    "  --region-file FILE  region settings as {\"globals\": {...}, \"region_data\": {...}}\n"
    "                      instead of the embedded region \"local\" on 127.0.0.1\n"
    "  --NAME=VALUE        handed to the plugin as the client's command line argument NAME,\n"
    "                      e.g. --auto-login-username=alice\n";

int32_t PrintXmlEvent(const char* document) {
  std::printf("xml event:\n%s", document ? document : "");
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
  }
  return "?";
}

void PrintMemory(const char* when, const PluginMemoryStats& s) {
  std::printf("memory (%s): peak live bytes %" PRIu64 ", live allocations at peak %" PRIu64
              ", bytes allocated %" PRIu64 ", allocations %" PRIu64 ", bytes freed %" PRIu64
              ", frees %" PRIu64 "\n",
              when, s.peak_live_bytes, s.live_allocations_at_peak, s.bytes_allocated, s.allocations,
              s.bytes_freed, s.frees);
}

}  // namespace

int main(int argc, char** argv) {
  kivhost::KivhostOptions options;
  options.plugin = KIV_DEFAULT_PLUGIN;
  std::string parse_error;
  if (!kivhost::ParseKivhostOptions(std::vector<std::string>(argv + 1, argv + argc), &options,
                                    &parse_error)) {
    std::fprintf(stderr, "kivhost: %s\n%s", parse_error.c_str(), kUsage);
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

  std::string error;
  auto session = kivhost::HostSession::Load(plugin, &error);
  if (!session) {
    std::fprintf(stderr, "kivhost: %s\n", error.c_str());
    return 1;
  }
  if (!options.region_file.empty() &&
      !session->host().endpoints().LoadRegionFile(options.region_file, &error)) {
    std::fprintf(stderr, "kivhost: %s\n", error.c_str());
    return 2;
  }
  session->host().endpoints().SetCommandLineArgs(options.client_args);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("kivhost: loaded %s\n", plugin.c_str());
  session->host().SetLogSink([](const kivhost::LogLine& line) {
    std::printf("plugin log: %s| %s%s", kivhost::SubstituteHost::LevelName(line.level),
                line.message.c_str(),
                line.message.empty() || line.message.back() != '\n' ? "\n" : "");
  });
  if (options.xml_events) session->EnableXmlEvents(&PrintXmlEvent);

  kivhost::HandshakeResult handshake = session->Create(version);
  const PluginDescriptor& d = handshake.descriptor;
  std::printf("handshake: host plugin API %s, descriptor now %u.%u.%u: %s\n",
              version.Text().c_str(), d.major, d.minor, d.patch,
              handshake.accepted ? "accepted" : "rejected");
  if (!handshake.accepted) return 1;
  std::printf("plugin: short name \"%s\"\n", handshake.short_name.c_str());
  if (d.api != nullptr) {
    std::printf("api table: %u endpoints, %u types, %u events\n", d.api->endpoint_count,
                d.api->type_count, d.api->event_count);
  }

  kivhost::WaitWatch watch(&session->host(), options.wait_timeout_seconds, stdout);
  watch.HandleSigusr1();
  bool ready = session->Initialize();
  std::printf("initialize: %s\n", ready ? "ready" : "not ready");
  for (const auto& [name, payload] : options.raised_events) {
    if (!session->host().RaiseEvent(name, payload, &error)) {
      std::printf("raise: %s: %s\n", name.c_str(), error.c_str());
    }
  }
  if (options.run_seconds > 0) {
    std::this_thread::sleep_for(std::chrono::duration<double>(options.run_seconds));
  }
  session->thread().Invoke([] {});  // what is due by now has run
  for (const kivhost::EventRecord& event : session->host().event_log()) {
    std::printf("event: %s %s %s\n", EventKindName(event.kind), event.name.c_str(),
                event.payload.c_str());
  }
  PrintMemory("after initialize", session->MemoryStats());
  session->Shutdown();
  std::printf("shutdown: done, %zu log lines from the plugin\n",
              session->host().log_lines().size());
  for (const kivhost::SinkRecord& record : session->host().endpoints().records()) {
    std::printf("host sink: %s %s %s\n", record.sink.c_str(), record.name.c_str(),
                record.arguments.c_str());
  }
  return ready ? 0 : 1;
}
