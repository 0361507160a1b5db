// The plugin's side of the start-up contract: the version handshake that Create runs, and
// the three callbacks through which the host initialises, inspects and stops a module.
#pragma once

#include <memory>
#include <string_view>

#include "kiv/plugin_abi.h"
#include "plugin/app_module.h"

namespace Voro {

inline constexpr const char* kIncompatibleHostCode = "ALE-EECF0606";
inline constexpr const char* kIncompatibleHostMessage =
    "%1 which supports plugin API %2 is not compatible with core's plugin API %3";
inline constexpr const char* kUserAgentTemplate = "VoroClient/%1 (%2)";
inline constexpr const char* kPluginLineFormat = "#D| #L| #G| #M";
inline constexpr const char* kLocationTagName = "LOC";

class PluginRuntime {
 public:
  // Runs the handshake for a freshly constructed module and fills the descriptor. On an
  // incompatible host version the assertion is reported, the module is deleted, words 0-2
  // keep the host's version and words 3-6 are cleared, so the host sees no callbacks and
  // discards the plugin. Returns whether start-up continued.
  [[nodiscard]] static bool Create(PluginDescriptor* descriptor, std::unique_ptr<AppModule> module,
                                   std::string_view short_name);

  // The callback table's entries; `module` is the AppModule from descriptor word 4.
  [[nodiscard]] static bool Initialize(void* module, HostServices* services);
  static void Shutdown(void* module);
  static void GetMemoryStats(void* module, PluginMemoryStats* stats);

 private:
  [[nodiscard]] static bool InitializeModule(AppModule* module, HostServices* services);
};

}  // namespace Voro
