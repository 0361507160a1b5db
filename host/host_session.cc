#include "host/host_session.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace kivhost {

namespace {

constexpr const char* kPluginManagerEventName = "OnJsonApiEvent_plugin-manager_v1_status";
constexpr const char* kPreShutdownEventName = "OnJsonApiEvent_voroclient_pre-shutdown_begin";
constexpr const char* kPreShutdownEvent =
    R"({"uri":"/voroclient/pre-shutdown/begin","eventType":"Create","data":{}})";
constexpr auto kShutdownWaitLimit = std::chrono::seconds(30);
constexpr const char* kPluginsInitializedEvent =
    R"({"uri":"/plugin-manager/v1/status","eventType":"Update",)"
    R"("data":{"state":"PluginsInitialized"}})";

}  // namespace

std::string HostVersion::Text() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

bool HostVersion::Parse(const std::string& text, HostVersion* version) {
  uint32_t parts[3] = {0, 0, 0};
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    size_t end = text.find('.', start);
    if (i < 2 && end == std::string::npos) return false;
    if (i == 2) end = text.size();
    std::string piece = text.substr(start, end - start);
    if (piece.empty() || piece.size() > 9 ||
        piece.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    parts[i] = static_cast<uint32_t>(std::strtoul(piece.c_str(), nullptr, 10));
    start = end + 1;
  }
  *version = HostVersion{parts[0], parts[1], parts[2]};
  return true;
}

kiv::Result<std::unique_ptr<HostSession>> HostSession::Load(const std::string& path) {
  auto library = PluginLibrary::Open(path);
  if (!library.ok()) return kiv::Error{library.error()};
  std::unique_ptr<HostSession> session(new HostSession());
  session->library_ = std::move(library.value());
  session->thread_ = std::make_unique<PluginThread>();
  session->host_ = std::make_unique<SubstituteHost>(session->thread_.get());
  return session;
}

HostSession::~HostSession() {
  if (running()) Shutdown();
  // The thread goes first: queued callbacks point into the library's code, and queued
  // event deliveries into the host.
  thread_.reset();
  host_.reset();
  library_.reset();
}

HandshakeResult HostSession::Create(const HostVersion& version) {
  HandshakeResult result;
  PluginDescriptor descriptor{};
  descriptor.major = version.major;
  descriptor.minor = version.minor;
  descriptor.patch = version.patch;
  thread_->Invoke([&] { library_->create()(&descriptor); });
  result.descriptor = descriptor;
  result.accepted = descriptor.callbacks != nullptr && descriptor.module != nullptr;
  if (descriptor.short_name != nullptr) result.short_name = descriptor.short_name;
  descriptor_ = result.accepted ? descriptor : PluginDescriptor{};
  return result;
}

bool HostSession::Initialize() {
  if (!running()) return false;
  bool ready = false;
  thread_->Invoke(
      [&] { ready = descriptor_.callbacks->Initialize(descriptor_.module, host_->services()); });
  // As a client core does once every plugin has come up: the resource changes, and its
  // subscribers hear of it.
  if (ready) {
    host_->endpoints().SetPluginState("PluginsInitialized");
    for (const char* name : {kPluginManagerEventName, "OnJsonApiEvent"}) {
      // Refused only for a payload that is not JSON, and this one is fixed.
      (void)host_->RaiseEvent(name, kPluginsInitializedEvent);
    }
  }
  return ready;
}

PluginMemoryStats HostSession::MemoryStats() {
  PluginMemoryStats stats{};
  if (running()) {
    thread_->Invoke([&] { descriptor_.callbacks->GetMemoryStats(descriptor_.module, &stats); });
  }
  return stats;
}

void HostSession::Shutdown() {
  if (!running()) return;
  // As a client core does before it stops: its plugins hear that shutdown begins, so that
  // work still under way can end.
  for (const char* name : {kPreShutdownEventName, "OnJsonApiEvent"}) {
    // Refused only for a payload that is not JSON, and this one is fixed.
    (void)host_->RaiseEvent(name, kPreShutdownEvent);
  }
  // The plugin goes only between its waits: a wait's callers are still on the plugin
  // thread's stack, inside the module, and must not outlive it.
  const auto deadline = std::chrono::steady_clock::now() + kShutdownWaitLimit;
  for (bool done = false; !done;) {
    thread_->Invoke([&] {
      const bool waiting = !host_->open_waits().empty();
      if (waiting && std::chrono::steady_clock::now() < deadline) return;
      if (waiting)
        std::fprintf(stderr, "kivhost: the plugin is still waiting; shutting it down anyway\n");
      descriptor_.callbacks->Shutdown(descriptor_.module);
      // What the plugin scheduled points into the module that is gone now.
      thread_->DropPending();
      done = true;
    });
    if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  descriptor_ = PluginDescriptor{};
}

void HostSession::EnableXmlEvents(NativeEventCallback callback) {
  thread_->Invoke([&] {
    if (library_->register_native_event_callback()) {
      library_->register_native_event_callback()(callback);
    }
    if (library_->enable_event_xml_log_target()) library_->enable_event_xml_log_target()();
  });
}

}  // namespace kivhost
