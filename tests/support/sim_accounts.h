// The simulator account the whole-login tests sign in with.
#pragma once

#include "sim/scenario.h"

namespace Voro::testing {

inline Sim::PlatformAccount SimAlice() {
  Sim::PlatformAccount a{.username = "alice", .password = "wonderland", .account_id = 7};
  a.access_token = "at-alice";
  a.summoner_id = 70, a.summoner_name = "Alice", a.profile_icon_id = 12;
  a.ip_balance = 1200, a.vp_balance = 35, a.platform_id = "SIM1";
  return a;
}

}  // namespace Voro::testing
