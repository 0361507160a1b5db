// `kivhost login`: starts a login through the plugin's own endpoint, as the client's user
// interface does, follows the session resource the plugin publishes until the login has
// succeeded or failed, and shows the result and the telemetry the plugin reported.
#pragma once

#include <cstdio>

#include "host/host_session.h"
#include "host/kivhost_options.h"

namespace kivhost {

inline constexpr char kLoginSessionPath[] = "/kiv-login/v1/session";
inline constexpr char kLoginWalletPath[] = "/kiv-login/v1/wallet";

// Prints to `out` as it goes. Returns the exit status: 0 when the session succeeded, 1 when
// it failed, was closed, did not end in time, or the login could not be started.
// REQUIRES: the plugin is initialized. Call from any thread but the plugin's.
int RunLogin(HostSession& session, const LoginOptions& options, std::FILE* out);

}  // namespace kivhost
