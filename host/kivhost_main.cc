// kivhost: loads the kiv-login plugin the way the client's core process does and shows
// what happens at each step.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/host_session.h"

namespace {

constexpr const char* kUsage =
    "usage: kivhost [--plugin PATH] [--host-version MAJOR.MINOR.PATCH] [--xml-events]\n"
    "  Loads the plugin, runs Create with the given host plugin API version (default 17.1.0),\n"
    "  Initialize, reads the memory counters, and shuts it down, printing each step and\n"
    "  every line the plugin logs to the host.\n"
    "  --xml-events  also print the plugin's log as XML event documents\n";

int32_t PrintXmlEvent(const char* document) {
  std::printf("xml event:\n%s", document ? document : "");
  return 1;
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
  std::string plugin = KIV_DEFAULT_PLUGIN;
  std::string version_text = "17.1.0";
  bool xml_events = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--plugin" || arg == "--host-version") && i + 1 < argc) {
      (arg == "--plugin" ? plugin : version_text) = argv[++i];
    } else if (arg == "--xml-events") {
      xml_events = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "kivhost: unknown argument '%s'\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
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
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("kivhost: loaded %s\n", plugin.c_str());
  session->host().SetLogSink([](const kivhost::LogLine& line) {
    std::printf("plugin log: %s| %s%s", kivhost::SubstituteHost::LevelName(line.level),
                line.message.c_str(),
                line.message.empty() || line.message.back() != '\n' ? "\n" : "");
  });
  if (xml_events) session->EnableXmlEvents(&PrintXmlEvent);

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

  bool ready = session->Initialize();
  std::printf("initialize: %s\n", ready ? "ready" : "not ready");
  PrintMemory("after initialize", session->MemoryStats());
  session->Shutdown();
  std::printf("shutdown: done, %zu log lines from the plugin\n",
              session->host().log_lines().size());
  return ready ? 0 : 1;
}
