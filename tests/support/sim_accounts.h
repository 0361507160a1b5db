// The simulator account the whole-login tests sign in with, and the simulated platform over
// TLS they sign in to.
#pragma once

#include "sim/local_platform.h"
#include "sim/scenario.h"
#include "support/test_pki.h"

namespace Voro::testing {

inline Sim::PlatformAccount SimAlice() {
  Sim::PlatformAccount a{.username = "alice", .password = "wonderland", .account_id = 7};
  a.access_token = "at-alice";
  a.summoner_id = 70, a.summoner_name = "Alice", a.profile_icon_id = 12;
  a.ip_balance = 1200, a.vp_balance = 35, a.platform_id = "SIM1";
  return a;
}

// Any free ports, TLS with the test authority's localhost certificate.
inline Sim::LocalPlatformOptions TlsPlatformOptions(const TestPki& pki) {
  return {.rtmps_port = 0,
          .queue_port = 0,
          .certificate_file = pki.localhost_cert,
          .key_file = pki.server_key};
}

}  // namespace Voro::testing
