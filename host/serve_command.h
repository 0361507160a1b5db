// `kivhost serve`: serves the plugin's API over HTTP (host/http_api_server.h) until SIGINT,
// SIGTERM or the --for time.
#pragma once

#include <cstdio>

#include "host/host_session.h"
#include "host/kivhost_options.h"

namespace kivhost {

// Prints where it serves and the access token, serves, then stops the server (the caller
// shuts the plugin down). Returns the exit status.
int RunServe(HostSession& session, const KivhostOptions& options, std::FILE* out);

}  // namespace kivhost
