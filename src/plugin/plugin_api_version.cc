#include "plugin/plugin_api_version.h"

namespace Voro {

std::string PluginApiVersion::Text() const {
  std::string text =
      std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
  if (!prerelease.empty()) text += "-" + prerelease;
  if (!build.empty()) text += "+" + build;
  return text;
}

const PluginApiVersion& PluginOwnApiVersion() {
  static const PluginApiVersion version{17, 1, 0, "", ""};
  return version;
}

bool IsCompatibleHostVersion(const PluginApiVersion& plugin, const PluginApiVersion& host) {
  if (host.major != plugin.major) return false;
  if (host.minor > plugin.minor) return true;
  return host.minor == plugin.minor && host.patch >= plugin.patch;
}

}  // namespace Voro
