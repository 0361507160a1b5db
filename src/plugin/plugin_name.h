// How a plugin is named towards the host.
#pragma once

#include <string>
#include <string_view>

namespace Voro {

inline constexpr std::string_view kPluginTypeBackend = "backend";

struct PluginName {
  std::string full_name;
  std::string short_name;
  std::string type;
  std::string type2;  // carried along empty
};

// "zop-be-" + short name for "backend", "zop-fe-" for "frontend"; any other type logs an
// ERROR and still yields the "zop-xx-" name.
std::string GetFullNameFromShortNameAndType(std::string_view short_name, std::string_view type);

PluginName MakePluginName(std::string_view short_name, std::string_view type);

}  // namespace Voro
