// One plugin's life in the substitute host: load, Create, Initialize, inspect, Shutdown,
// unload. Every call into the plugin runs on the plugin thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/result.h"
#include "host/plugin_library.h"
#include "host/plugin_thread.h"
#include "host/substitute_host.h"
#include "kiv/plugin_abi.h"

namespace kivhost {

struct HostVersion {
  uint32_t major = 17;
  uint32_t minor = 1;
  uint32_t patch = 0;

  std::string Text() const;
  // "MAJOR.MINOR.PATCH" with decimal numbers; false on anything else.
  [[nodiscard]] static bool Parse(const std::string& text, HostVersion* version);
};

struct HandshakeResult {
  bool accepted = false;          // the plugin filled in its callbacks
  PluginDescriptor descriptor{};  // the descriptor as Create left it
  std::string short_name;
};

class HostSession {
 public:
  // Loads the plugin library.
  [[nodiscard]] static kiv::Result<std::unique_ptr<HostSession>> Load(const std::string& path);
  // Shuts the plugin down if it is still running, stops the thread, unloads the library.
  ~HostSession();

  HandshakeResult Create(const HostVersion& version);
  // REQUIRES: an accepted Create.
  bool Initialize();
  PluginMemoryStats MemoryStats();
  // Raises the client's pre-shutdown event, then shuts the plugin down at the first moment
  // it is not inside one of its own waits (after 30 s, even inside one).
  void Shutdown();

  // Asks the plugin to send its log as XML event documents to `callback`.
  void EnableXmlEvents(NativeEventCallback callback);

  SubstituteHost& host() { return *host_; }
  PluginThread& thread() { return *thread_; }
  const PluginDescriptor& descriptor() const { return descriptor_; }
  bool running() const { return descriptor_.callbacks != nullptr; }

 private:
  HostSession() = default;

  std::unique_ptr<PluginLibrary> library_;
  std::unique_ptr<PluginThread> thread_;
  std::unique_ptr<SubstituteHost> host_;
  PluginDescriptor descriptor_{};
};

}  // namespace kivhost
