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

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/result.h"
#include "host/event_stream.h"
#include "host/host_session.h"
#include "host/http_request.h"

namespace kivhost {

inline constexpr size_t kMaxRequestBodyBytes = 16 * 1024 * 1024;
// An event stream whose client has this much unread is dropped.
inline constexpr size_t kMaxStreamBacklogBytes = 4 * 1024 * 1024;

struct HttpServeOptions {
  std::string bind = "127.0.0.1";
  uint16_t port = 0;  // 0: any free port
  std::string token;  // empty: a random one
  // Where the server tells what a person running it should know (a dropped stream); null:
  // nowhere.
  std::FILE* notes = nullptr;
};

// One thread does every read and write with epoll; the plugin's endpoints run as tasks on the
// plugin thread, queued all at once for the requests that arrived together, and their answers
// come back through an eventfd. So a request costs no thread of its own and no hand-off per
// connection: under load the plugin thread and the server wake once per batch.
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
  // Ends the event streams, closes every connection and waits for the server's thread.
  void Stop();

  uint16_t port() const { return port_; }
  const std::string& token() const { return options_.token; }
  // "http://BIND:PORT/".
  std::string url() const;
  EventStream& events() { return events_; }

 private:
  struct Connection;
  struct Answers;

  void Loop();
  void Accept();
  void Read(Connection& connection);
  // Takes the next complete request off the connection's input, unless one is in flight.
  void TakeRequests(Connection& connection);
  void Handle(Connection& connection, HttpRequest request);
  // True when the request may go on; otherwise it answers the refusal.
  bool Admit(const HttpRequest& request, Connection& connection);
  void StartStream(Connection& connection, const HttpRequest& request);
  void CallPlugin(Connection& connection, HttpRequest request);
  void TakeAnswers();
  void FeedStreams();
  void Respond(Connection& connection, int status, const std::string& content_type,
               const std::string& body,
               const std::vector<std::pair<std::string, std::string>>& headers = {});
  void RespondError(Connection& connection, int status, const std::string& message);
  void Flush(Connection& connection);
  void Close(uint64_t id);
  // Asks epoll for input unless reading is paused, and for room to write while output waits.
  void UpdateInterest(Connection& connection);

  HostSession* const session_;
  HttpServeOptions options_;
  uint16_t port_ = 0;
  int listen_fd_ = -1;
  int epoll_fd_ = -1;
  std::shared_ptr<Answers> answers_;  // shared with the plugin-thread tasks in flight
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  EventStream events_;
  std::string openapi_;  // made once: the table does not change

  // Server thread only.
  uint64_t next_id_ = 2;  // 0: the listening socket, 1: the wake-up descriptor
  std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections_;
};

// A JSON error answer body: {"httpStatus":STATUS,"message":MESSAGE}.
std::string ErrorBodyJson(int status, const std::string& message);

}  // namespace kivhost
