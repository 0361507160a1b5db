// The plugin API version exchanged with the host at start-up.
#pragma once

#include <cstdint>
#include <string>

namespace Voro {

struct PluginApiVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t patch = 0;
  std::string prerelease;
  std::string build;

  // "major.minor.patch", then "-prerelease" and "+build" when not empty.
  std::string Text() const;
};

// The version this plugin implements: 17.1.0.
const PluginApiVersion& PluginOwnApiVersion();

// A host is compatible when the majors match and the host's minor is newer, or the minors
// match and the host's patch is at least ours.
bool IsCompatibleHostVersion(const PluginApiVersion& plugin, const PluginApiVersion& host);

}  // namespace Voro
