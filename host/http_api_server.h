// `kivhost serve`: the plugin's API over HTTP on loopback, as the client's core offers it to
// other programs. Every endpoint of the plugin's API table is served at its own method and
// path (named arguments from the query string, the body with its Content-Type); GET /events
// streams the plugin's events (server-sent events), GET /openapi.json describes the table,
// GET / is the console page.
//
// A local server is reachable by every web page the user opens, so: it listens on loopback
// unless told otherwise; every request must carry the access token (bearer or ?token=); a
// Host header naming anything but this server is refused (DNS rebinding); no CORS headers
// are sent; bodies above 16 MiB are refused with 413.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "common/result.h"
#include "host/event_stream.h"
#include "host/host_session.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace kivhost {

inline constexpr size_t kMaxRequestBodyBytes = 16 * 1024 * 1024;
// Connections served at once: every event stream holds one while it is open.
inline constexpr size_t kServerThreads = 64;

struct HttpServeOptions {
  std::string bind = "127.0.0.1";
  uint16_t port = 0;  // 0: any free port
  std::string token;  // empty: a random one
};

class HttpApiServer {
 public:
  // REQUIRES: `session` has run Create and Initialize and outlives the server.
  HttpApiServer(HostSession* session, HttpServeOptions options);
  // Stops if still serving.
  ~HttpApiServer();
  HttpApiServer(const HttpApiServer&) = delete;
  HttpApiServer& operator=(const HttpApiServer&) = delete;

  // Binds and starts serving on a thread of its own.
  [[nodiscard]] kiv::Status Start();
  // Ends the event streams, stops accepting and waits for the server's threads.
  void Stop();

  uint16_t port() const { return port_; }
  const std::string& token() const { return options_.token; }
  // "http://BIND:PORT/".
  std::string url() const;
  EventStream& events() { return events_; }

 private:
  // Token and Host checks for every request; true when it may go on.
  bool Admit(const httplib::Request& request, httplib::Response& response) const;
  void ServeEvents(const httplib::Request& request, httplib::Response& response);
  void ServeEndpoint(const httplib::Request& request, httplib::Response& response);

  HostSession* const session_;
  HttpServeOptions options_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  uint16_t port_ = 0;
  EventStream events_;
  std::string openapi_;  // made once: the table does not change
};

// A JSON error answer body: {"httpStatus":STATUS,"message":MESSAGE}.
std::string ErrorBodyJson(int status, const std::string& message);

}  // namespace kivhost
