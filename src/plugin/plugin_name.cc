#include "plugin/plugin_name.h"

#include "diag/format_positional.h"
#include "diag/log.h"

namespace Voro {

namespace {
constexpr const char* kUnknownTypeMessage =
    "GetFullNameFromShortNameAndType(\"%1\", \"%2\") called with an unknown type";
}  // namespace

std::string GetFullNameFromShortNameAndType(std::string_view short_name, std::string_view type) {
  const char* prefix = "zop-xx-";
  if (type == "backend") {
    prefix = "zop-be-";
  } else if (type == "frontend") {
    prefix = "zop-fe-";
  } else {
    std::string message = FormatPositional(kUnknownTypeMessage, short_name, type);
    Log(kLevelError, Tag::DBG, "            Plugin Manager| %s", message.c_str());
  }
  return std::string(prefix).append(short_name);
}

PluginName MakePluginName(std::string_view short_name, std::string_view type) {
  return PluginName{GetFullNameFromShortNameAndType(short_name, type), std::string(short_name),
                    std::string(type), std::string()};
}

}  // namespace Voro
