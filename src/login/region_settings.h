// The region's server settings a login uses, read from the host's data store.
#pragma once

#include <cstdint>
#include <string>

#include "binding/value/binding_property.h"
#include "diag/failure.h"

namespace Voro {

inline constexpr char kRegionDataPath[] = "/data-store/v1/system-settings/region_data";
inline constexpr char kGlobalsPath[] = "/data-store/v1/install-settings/globals";
inline constexpr uint16_t kDefaultLcdsPort = 2099;

struct RegionSettings {
  std::string login_queue_url;
  std::string lcds_host;
  uint16_t lcds_port = kDefaultLcdsPort;
  bool use_tls = true;
  std::string qsa_platform_id;  // empty: no sign-on service
};

// The settings of the region that `globals`' "region" names, from its entry in
// `region_data` ("servers"."lcds" and the entry's "qsa_platform_id"). A port outside
// 1..65535 fails with its log code; the failure names the cause.
MaybeType<RegionSettings> ReadRegionSettings(const BindingProperty& region_data,
                                             const BindingProperty& globals);

}  // namespace Voro
