// The simulator account the whole-login tests sign in with.
#pragma once

#include "sim/scenario.h"

namespace Voro::testing {

inline Sim::PlatformAccount SimAlice() {
  Sim::PlatformAccount alice;
  alice.username = "alice";
  alice.password = "wonderland";
  alice.account_id = 7;
  alice.summoner_id = 70;
  alice.summoner_name = "Alice";
  alice.profile_icon_id = 12;
  alice.ip_balance = 1200;
  alice.vp_balance = 35;
  alice.platform_id = "SIM1";
  alice.access_token = "at-alice";
  return alice;
}

}  // namespace Voro::testing
