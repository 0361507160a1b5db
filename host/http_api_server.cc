#include "host/http_api_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "host/api_client.h"
#include "host/console_page.h"
#include "host/openapi_document.h"

namespace kivhost {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kJson[] = "application/json";
constexpr uint64_t kListenId = 0;
constexpr uint64_t kWakeId = 1;
// An idle event stream sends a comment this often, so a client that went away is noticed.
constexpr auto kKeepAliveEvery = std::chrono::seconds(15);
// A client that sends requests without reading the answers gets no more answered once this
// much waits for it (and, its input then filling, nothing more read).
constexpr size_t kMaxPendingAnswerBytes = 1024 * 1024;
// What was taken or sent is cut off a connection's buffers once it is this large and more than
// half of them.
constexpr size_t kCompactAfterBytes = 64 * 1024;
// How long a connection being closed waits for its client to finish sending.
constexpr auto kDrainFor = std::chrono::seconds(5);

std::string RandomToken() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (const unsigned char byte : bytes) {
    token += kHex[byte >> 4];
    token += kHex[byte & 15];
  }
  return token;
}

bool SameSecret(const std::string& given, const std::string& token) {
  return given.size() == token.size() &&
         CRYPTO_memcmp(given.data(), token.data(), token.size()) == 0;
}

bool IsLoopback(const std::string& address) {
  return address == "127.0.0.1" || address == "::1" || address == "localhost";
}

// Headers that belong to the connection, which the server writes itself.
bool IsConnectionHeader(const std::string& name) {
  return SameHeaderName(name, "Content-Length") || SameHeaderName(name, "Transfer-Encoding") ||
         SameHeaderName(name, "Connection");
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Status";
  }
}

void WakeUp(int fd) {
  const uint64_t one = 1;
  // A full counter already means "wake up".
  [[maybe_unused]] const ssize_t written = write(fd, &one, sizeof one);
}

}  // namespace

// An answer made on the plugin thread, for the connection that asked.
struct HttpApiServer::Answers {
  explicit Answers(int fd) : wake_fd(fd) {}
  ~Answers() { close(wake_fd); }
  void Add(uint64_t id, int status, std::string content_type, std::string body,
           std::vector<std::pair<std::string, std::string>> headers) {
    {
      std::lock_guard lock(mutex);
      ready.push_back({id, status, std::move(content_type), std::move(body), std::move(headers)});
    }
    if (!signalled.exchange(true)) WakeUp(wake_fd);
  }
  struct Answer {
    uint64_t id;
    int status;
    std::string content_type;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
  };
  const int wake_fd;
  std::atomic<bool> signalled{false};
  std::mutex mutex;
  std::vector<Answer> ready;  // Guarded by mutex.
};

struct HttpApiServer::Connection {
  uint64_t id = 0;
  int fd = -1;
  std::string in;
  size_t in_begin = 0;  // in[in_begin, end) is not taken yet
  size_t needed = 0;    // bytes of input the request being read needs, once known
  std::string out;
  size_t out_sent = 0;
  bool busy = false;            // a request is with the plugin
  bool close_after = false;     // close once everything is written
  uint32_t interest = EPOLLIN;  // what epoll watches for now
  // More input than any request may be is waiting: nothing more is read until it shrinks,
  // so a client cannot fill memory while its requests are with the plugin.
  bool reading_paused = false;
  // Answered and shut for writing: what the client still sends is read and dropped until it
  // closes, so that it reads the answer instead of meeting a reset.
  bool draining = false;
  Clock::time_point drain_deadline;
  bool head_only = false;  // the request in flight is a HEAD
  std::shared_ptr<EventStream::Client> stream;
  Clock::time_point last_write;
};

std::string ErrorBodyJson(int status, const std::string& message) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("httpStatus");
  writer.Int(status);
  writer.Key("message");
  writer.String(message.c_str(), static_cast<rapidjson::SizeType>(message.size()));
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

HttpApiServer::HttpApiServer(HostSession* session, HttpServeOptions options)
    : session_(session), options_(std::move(options)) {
  if (options_.token.empty()) options_.token = RandomToken();
}

HttpApiServer::~HttpApiServer() { Stop(); }

std::string HttpApiServer::url() const {
  const bool v6 = options_.bind.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + options_.bind + "]" : options_.bind) + ":" +
         std::to_string(port_) + "/";
}

kiv::Status HttpApiServer::Start() {
  if (options_.token.empty()) return kiv::Error{"no random bytes for the access token"};
  const ApiTable* table = session_->descriptor().api;
  if (table == nullptr) return kiv::Error{"the plugin handed over no API table"};
  OpenApiInfo info;
  info.title = "kiv-login";
  info.version = "1.0.0";
  info.description = "The kiv-login plugin's endpoints, served by kivhost.";
  openapi_ = OpenApiDocument(*table, info);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port_text = std::to_string(options_.port);
  const std::string where = options_.bind + ":" + port_text;
  if (getaddrinfo(options_.bind.c_str(), port_text.c_str(), &hints, &found) != 0 || !found) {
    return kiv::Error{"cannot resolve " + options_.bind};
  }
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int on = 1;
  if (fd >= 0) (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const bool bound =
      fd >= 0 && bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0;
  freeaddrinfo(found);
  if (!bound) {
    const std::string why = std::strerror(errno);
    if (fd >= 0) close(fd);
    return kiv::Error{"cannot listen on " + where + ": " + why};
  }
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  listen_fd_ = fd;

  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  const int wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (epoll_fd_ < 0 || wake_fd < 0) {
    const std::string why = std::strerror(errno);
    if (wake_fd >= 0) close(wake_fd);
    if (epoll_fd_ >= 0) close(epoll_fd_);
    close(listen_fd_);
    listen_fd_ = epoll_fd_ = -1;
    return kiv::Error{"cannot set up the server's event loop: " + why};
  }
  answers_ = std::make_shared<Answers>(wake_fd);
  epoll_event listen_event{.events = EPOLLIN, .data = {.u64 = kListenId}};
  epoll_event wake_event{.events = EPOLLIN, .data = {.u64 = kWakeId}};
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &listen_event);
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd, &wake_event);

  std::shared_ptr<Answers> answers = answers_;
  events_.SetNotify([answers] {
    if (!answers->signalled.exchange(true)) WakeUp(answers->wake_fd);
  });
  session_->host().SetEventSink([this](const EventRecord& record) { events_.Publish(record); });
  thread_ = std::thread([this] { Loop(); });
  return {};
}

void HttpApiServer::Stop() {
  if (!thread_.joinable()) return;
  session_->host().SetEventSink(nullptr);
  events_.SetNotify(nullptr);
  events_.Close();
  stopping_.store(true);
  WakeUp(answers_->wake_fd);
  thread_.join();
  for (auto& [id, connection] : connections_) close(connection->fd);
  connections_.clear();
  close(listen_fd_);
  close(epoll_fd_);
  listen_fd_ = epoll_fd_ = -1;
  // Tasks still on the plugin thread hold the answers (and its descriptor) until they end.
  answers_.reset();
}

void HttpApiServer::Loop() {
  epoll_event events[64];
  while (!stopping_.load()) {
    const int count = epoll_wait(epoll_fd_, events, 64, 1000);
    for (int i = 0; i < count; ++i) {
      const uint64_t id = events[i].data.u64;
      if (id == kListenId) {
        Accept();
      } else if (id == kWakeId) {
        uint64_t value = 0;
        [[maybe_unused]] const ssize_t got = read(answers_->wake_fd, &value, sizeof value);
        answers_->signalled.store(false);
        TakeAnswers();
        FeedStreams();
      } else {
        const auto found = connections_.find(id);
        if (found == connections_.end()) continue;
        Connection& connection = *found->second;
        if (events[i].events & (EPOLLERR | EPOLLHUP)) {
          Close(id);
          continue;
        }
        if (events[i].events & EPOLLOUT) {
          Flush(connection);
          // Room again for the answers of requests that waited behind unread ones.
          if (connections_.count(id)) TakeRequests(connection);
        }
        if (connections_.count(id) && (events[i].events & EPOLLIN)) Read(connection);
      }
    }
    FeedStreams();  // keep-alive comments for idle streams
  }
}

void HttpApiServer::Accept() {
  for (;;) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN, or a failure the next connection may not have
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto connection = std::make_unique<Connection>();
    connection->id = next_id_++;
    connection->fd = fd;
    epoll_event event{.events = EPOLLIN, .data = {.u64 = connection->id}};
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event);
    connections_.emplace(connection->id, std::move(connection));
  }
}

void HttpApiServer::Read(Connection& connection) {
  char buffer[65536];
  for (;;) {
    const ssize_t got = recv(connection.fd, buffer, sizeof buffer, 0);
    if (got > 0) {
      // A stream's client has nothing more to say, nor one being closed; what they send is
      // dropped.
      if (!connection.stream && !connection.draining) {
        connection.in.append(buffer, static_cast<size_t>(got));
        if (connection.in.size() - connection.in_begin >
            kMaxRequestHeadBytes + kMaxRequestBodyBytes) {
          connection.reading_paused = true;
          UpdateInterest(connection);
          break;
        }
      }
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (got < 0 && errno == EINTR) continue;
    // The peer closed or failed. An answer in flight is dropped when it comes back.
    Close(connection.id);
    return;
  }
  TakeRequests(connection);
}

void HttpApiServer::TakeRequests(Connection& connection) {
  const uint64_t id = connection.id;
  // One request at a time per connection: pipelined ones wait in the input, in order.
  while (connections_.count(id) && !connection.busy && !connection.stream &&
         !connection.close_after && connection.in.size() > connection.in_begin &&
         connection.in.size() - connection.in_begin >= connection.needed &&
         connection.out.size() - connection.out_sent <= kMaxPendingAnswerBytes) {
    HttpRequest request;
    const HttpParse parse =
        ParseHttpRequest(std::string_view(connection.in).substr(connection.in_begin),
                         kMaxRequestBodyBytes, &request);
    if (parse.status == HttpParse::kIncomplete) {
      connection.needed = parse.size;
      return;
    }
    connection.needed = 0;
    if (parse.status == HttpParse::kFailed) {
      connection.close_after = true;
      connection.in.clear();
      connection.in_begin = 0;
      RespondError(connection, parse.error_status, parse.error);
      return;
    }
    // Taken requests are cut off the input now and then, not one by one: pipelined input
    // would otherwise be moved once per request.
    connection.in_begin += parse.size;
    if (connection.in_begin == connection.in.size()) {
      connection.in.clear();
      connection.in_begin = 0;
    } else if (connection.in_begin > kCompactAfterBytes &&
               connection.in_begin > connection.in.size() / 2) {
      connection.in.erase(0, connection.in_begin);
      connection.in_begin = 0;
    }
    if (connection.reading_paused &&
        connection.in.size() - connection.in_begin <= kMaxRequestHeadBytes + kMaxRequestBodyBytes) {
      connection.reading_paused = false;
      UpdateInterest(connection);
    }
    if (!request.keep_alive) connection.close_after = true;
    Handle(connection, std::move(request));
  }
}

bool HttpApiServer::Admit(const HttpRequest& request, Connection& connection) {
  // A page elsewhere that resolves its own name to 127.0.0.1 still sends its own name.
  const std::string* host_field = request.Header("Host");
  const std::string host = host_field != nullptr ? *host_field : std::string();
  const std::string port = ":" + std::to_string(port_);
  bool host_ok = false;
  for (const std::string& name :
       {std::string("127.0.0.1"), std::string("localhost"), std::string("[::1]"), options_.bind}) {
    if (host == name + port) host_ok = true;
  }
  if (!IsLoopback(options_.bind) && host == "[" + options_.bind + "]" + port) host_ok = true;
  if (!host_ok) {
    RespondError(connection, 403, "The Host header '" + host + "' does not name this server.");
    return false;
  }
  std::string given;
  const std::string* authorization = request.Header("Authorization");
  if (authorization != nullptr && authorization->rfind("Bearer ", 0) == 0) {
    given = authorization->substr(7);
  } else if (const std::string* token = request.Param("token")) {
    given = *token;
  }
  if (!SameSecret(given, options_.token)) {
    Respond(connection, 401, kJson, ErrorBodyJson(401, "The access token is missing or wrong."),
            {{"WWW-Authenticate", "Bearer"}});
    return false;
  }
  return true;
}

void HttpApiServer::Handle(Connection& connection, HttpRequest request) {
  connection.head_only = request.method == "HEAD";
  if (!Admit(request, connection)) return;
  const bool get = request.method == "GET" || request.method == "HEAD";
  if (get && request.path == "/") {
    // The page loads nothing from elsewhere, and must not be framed by another site.
    Respond(connection, 200, "text/html; charset=utf-8",
            std::string(kConsolePage, kConsolePageSize),
            {{"Content-Security-Policy",
              "default-src 'self'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
              "frame-ancestors 'none'"}});
  } else if (get && request.path == "/openapi.json") {
    Respond(connection, 200, kJson, openapi_);
  } else if (request.method == "GET" && request.path == "/events") {
    StartStream(connection, request);
  } else {
    CallPlugin(connection, std::move(request));
  }
}

void HttpApiServer::StartStream(Connection& connection, const HttpRequest& request) {
  auto parsed = EventStreamFilter::Parse(request.Param("plugin"), request.Param("filter"));
  if (!parsed.ok()) {
    RespondError(connection, 400, parsed.error());
    return;
  }
  connection.stream = events_.Join(std::move(parsed.value()));
  connection.in.clear();
  connection.in_begin = 0;
  // A stream lasts until one side closes it, whatever the request said of the connection.
  connection.close_after = false;
  // Chunked: each event (or comment) is one chunk, and the first tells the client it is
  // following from now on.
  connection.out +=
      "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
      "Transfer-Encoding: chunked\r\n\r\nd\r\n: following\n\n\r\n";
  Flush(connection);
}

void HttpApiServer::CallPlugin(Connection& connection, HttpRequest request) {
  const ApiTable& table = *session_->descriptor().api;
  uint32_t method = MethodCode(request.method);
  const ApiEndpointRecord* endpoint = FindEndpoint(table, method, request.path);
  if (endpoint == nullptr && request.method == "HEAD") {
    method = MethodCode("GET");
    endpoint = FindEndpoint(table, method, request.path);
  }
  if (endpoint == nullptr || endpoint->callback == nullptr) {
    RespondError(connection, 404, "No endpoint " + request.method + " " + request.path + ".");
    return;
  }
  auto call = std::make_shared<ApiCall>();
  call->method = method;
  call->path = std::move(request.path);
  if (const std::string* type = request.Header("Content-Type")) call->content_type = *type;
  call->body = std::move(request.body);
  for (auto& [name, value] : request.query) {
    if (name != "token") call->arguments.emplace_back(name, JsonOrString(value));
  }
  connection.busy = true;
  std::shared_ptr<Answers> answers = answers_;
  const uint64_t id = connection.id;
  // Requests that arrive together are queued together: the plugin thread runs them all in
  // one turn and their answers come back with one wake-up.
  session_->thread().Schedule(
      "kivhost.serve",
      [answers, id, endpoint, call] {
        ApiCallResult result;
        const kiv::Status sent = CallEndpoint(*endpoint, *call, &result);
        if (!sent.ok()) {
          answers->Add(id, 400, kJson, ErrorBodyJson(400, sent.error()), {});
          return;
        }
        std::string content_type = kJson;
        std::vector<std::pair<std::string, std::string>> headers;
        for (auto& [name, value] : result.headers) {
          if (SameHeaderName(name, "Content-Type")) {
            content_type = value;
          } else if (!IsConnectionHeader(name)) {
            headers.emplace_back(std::move(name), std::move(value));
          }
        }
        // The plugin leaves the status at 0 unless a handler set one. A failure without one
        // is its router refusing what it could not bind to the endpoint's parameters: the
        // request's fault, so 400.
        const int status = result.status != 0 ? result.status : (result.failed ? 400 : 200);
        if (result.failed) {
          answers->Add(id, status, kJson, ErrorBodyJson(status, result.error), std::move(headers));
        } else {
          answers->Add(id, status, content_type, std::move(result.body_json), std::move(headers));
        }
      },
      0);
}

void HttpApiServer::TakeAnswers() {
  std::vector<Answers::Answer> ready;
  {
    std::lock_guard lock(answers_->mutex);
    ready.swap(answers_->ready);
  }
  for (Answers::Answer& answer : ready) {
    const auto found = connections_.find(answer.id);
    if (found == connections_.end()) continue;  // the client went away meanwhile
    Connection& connection = *found->second;
    connection.busy = false;
    Respond(connection, answer.status, answer.content_type, answer.body, answer.headers);
    if (connections_.count(answer.id)) TakeRequests(connection);
  }
}

void HttpApiServer::FeedStreams() {
  const Clock::time_point now = Clock::now();
  std::vector<uint64_t> ended;
  std::vector<uint64_t> fed;
  for (auto& [id, connection] : connections_) {
    if (connection->draining && now >= connection->drain_deadline) ended.push_back(id);
    if (!connection->stream) continue;
    std::optional<std::string> text = connection->stream->Take(std::chrono::milliseconds(0));
    if (!text) {
      ended.push_back(id);  // dropped as too slow, or the server stops
      continue;
    }
    if (text->empty()) {
      if (now - connection->last_write < kKeepAliveEvery) continue;
      *text = ": keep-alive\n\n";
    }
    char size[24];
    std::snprintf(size, sizeof size, "%zx\r\n", text->size());
    connection->out += size;
    connection->out += *text;
    connection->out += "\r\n";
    if (connection->out.size() - connection->out_sent > kMaxStreamBacklogBytes) {
      // The client does not read: it would only hold memory.
      if (options_.notes != nullptr) {
        std::fprintf(options_.notes, "serve: dropped an event stream %zu bytes behind\n",
                     connection->out.size() - connection->out_sent);
        std::fflush(options_.notes);
      }
      ended.push_back(id);
      continue;
    }
    fed.push_back(id);
  }
  // Flushing may close a connection: not while walking the table.
  for (const uint64_t id : fed) {
    if (const auto found = connections_.find(id); found != connections_.end()) {
      Flush(*found->second);
    }
  }
  for (const uint64_t id : ended) Close(id);
}

void HttpApiServer::Respond(Connection& connection, int status, const std::string& content_type,
                            const std::string& body,
                            const std::vector<std::pair<std::string, std::string>>& headers) {
  char line[96];
  std::snprintf(line, sizeof line, "HTTP/1.1 %d %s\r\n", status, Reason(status));
  std::string& out = connection.out;
  out += line;
  for (const auto& [name, value] : headers) out += name + ": " + value + "\r\n";
  out += "Content-Type: " + content_type + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n";
  if (connection.close_after) out += "Connection: close\r\n";
  out += "\r\n";
  if (!connection.head_only) out += body;
  Flush(connection);
}

void HttpApiServer::RespondError(Connection& connection, int status, const std::string& message) {
  Respond(connection, status, kJson, ErrorBodyJson(status, message));
}

void HttpApiServer::Flush(Connection& connection) {
  while (connection.out_sent < connection.out.size()) {
    const ssize_t sent =
        send(connection.fd, connection.out.data() + connection.out_sent,
             connection.out.size() - connection.out_sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      connection.out_sent += static_cast<size_t>(sent);
      connection.last_write = Clock::now();
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (connection.out_sent > kCompactAfterBytes &&
          connection.out_sent > connection.out.size() / 2) {
        connection.out.erase(0, connection.out_sent);
        connection.out_sent = 0;
      }
      UpdateInterest(connection);
      return;
    }
    Close(connection.id);
    return;
  }
  connection.out.clear();
  connection.out_sent = 0;
  UpdateInterest(connection);
  if (connection.close_after && !connection.busy && !connection.draining) {
    shutdown(connection.fd, SHUT_WR);
    connection.draining = true;
    connection.reading_paused = false;
    UpdateInterest(connection);
    connection.drain_deadline = Clock::now() + kDrainFor;
    connection.in.clear();
    connection.in_begin = 0;
  }
}

void HttpApiServer::UpdateInterest(Connection& connection) {
  const uint32_t interest = (connection.reading_paused ? 0u : uint32_t{EPOLLIN}) |
                            (connection.out_sent < connection.out.size() ? uint32_t{EPOLLOUT} : 0u);
  if (interest == connection.interest) return;
  connection.interest = interest;
  epoll_event event{.events = interest, .data = {.u64 = connection.id}};
  epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, connection.fd, &event);
}

void HttpApiServer::Close(uint64_t id) {
  const auto found = connections_.find(id);
  if (found == connections_.end()) return;
  Connection& connection = *found->second;
  if (connection.stream) events_.Leave(connection.stream);
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, connection.fd, nullptr);
  close(connection.fd);
  connections_.erase(found);
}

}  // namespace kivhost
