#include "host/serve_command.h"

#include <chrono>
#include <optional>
#include <thread>

#include "host/event_watch.h"
#include "host/http_api_server.h"

namespace kivhost {

int RunServe(HostSession& session, const KivhostOptions& options, std::FILE* out) {
  HttpApiServer server(&session, HttpServeOptions{.bind = options.serve.bind,
                                                  .port = options.serve.port,
                                                  .token = options.serve.token,
                                                  .notes = out});
  const std::optional<double> seconds = options.observer.for_seconds;
  // Before "listening": whoever reads that line may send SIGTERM at once.
  if (!seconds) EventWatch::HandleInterrupts();
  if (auto started = server.Start(); !started.ok()) {
    std::fprintf(out, "serve: %s\n", started.error().c_str());
    return 1;
  }
  const std::string url = server.url();
  std::fprintf(out, "serve: listening on %s\n", url.c_str());
  std::fprintf(out, "serve: access token %s\n", server.token().c_str());
  std::fprintf(out, "serve: console %s?token=%s\n", url.c_str(), server.token().c_str());
  std::fprintf(out, "serve: events %sevents?token=%s\n", url.c_str(), server.token().c_str());
  std::fprintf(out, "serve: document %sopenapi.json?token=%s\n", url.c_str(),
               server.token().c_str());
  std::fflush(out);

  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(seconds.value_or(0)));
  while (seconds ? std::chrono::steady_clock::now() < until : !EventWatch::Interrupted()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::fprintf(out, "serve: stopping\n");
  server.Stop();
  return 0;
}

}  // namespace kivhost
