#include "login/region_settings.h"

#include <string_view>

#include "diag/format_positional.h"

namespace Voro {
namespace {

std::string TextOf(const BindingProperty& object, std::string_view name) {
  const BindingProperty* value = object.FindField(name);
  return value != nullptr && value->type() == BindingType::kString ? std::string(value->GetString())
                                                                   : std::string();
}

}  // namespace

MaybeType<RegionSettings> ReadRegionSettings(const BindingProperty& region_data,
                                             const BindingProperty& globals) {
  const std::string region = TextOf(globals, "region");
  const BindingProperty& entry = region_data.Field(region);
  const BindingProperty& lcds = entry.Field("servers").Field("lcds");
  RegionSettings settings;
  settings.login_queue_url = TextOf(lcds, "login_queue_url");
  settings.lcds_host = TextOf(lcds, "lcds_host");
  settings.qsa_platform_id = TextOf(entry, "qsa_platform_id");
  if (const BindingProperty* tls = lcds.FindField("use_tls");
      tls != nullptr && tls->type() == BindingType::kBool) {
    settings.use_tls = tls->GetBool();
  }
  if (region.empty() || entry.type() != BindingType::kStructure) {
    return Failure{"ALE-15E4AC07", "UNSPECIFIED_ERROR",
                   "Region \"" + region + "\" has no settings in the region data"};
  }
  // The port as given, so that the message shows what the settings say.
  int64_t port = kDefaultLcdsPort;
  std::string shown;
  if (const BindingProperty* value = lcds.FindField("lcds_port");
      value != nullptr && value->type() != BindingType::kEmpty) {
    shown = value->ToString();
    if (value->type() == BindingType::kUnsigned) {
      port = value->GetUnsigned() > 65535 ? 65536 : static_cast<int64_t>(value->GetUnsigned());
    } else if (value->type() == BindingType::kSigned) {
      port = value->GetSigned();
    } else {
      port = 0;  // not a whole number
    }
  }
  if (port < 1) {
    return Failure{"ALE-5B139041", "UNSPECIFIED_ERROR",
                   FormatPositional("lcds_port must be larger than 0, but was %1", shown)};
  }
  if (port > 65535) {
    return Failure{
        "ALE-58CC123E", "UNSPECIFIED_ERROR",
        FormatPositional("lcds_port cannot be larger than %1, but was %2", 65535, shown)};
  }
  settings.lcds_port = static_cast<uint16_t>(port);
  return settings;
}

}  // namespace Voro
