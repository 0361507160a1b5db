#include "host/http_api_server.h"

#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <strings.h>

#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

#include "host/api_client.h"
#include "host/console_page.h"
#include "host/openapi_document.h"

namespace kivhost {
namespace {

constexpr char kJson[] = "application/json";
// An idle event stream sends a comment this often, so a client that went away is noticed.
constexpr auto kKeepAliveEvery = std::chrono::seconds(15);

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

void Answer(httplib::Response& response, int status, const std::string& message) {
  response.status = status;
  response.set_content(ErrorBodyJson(status, message), kJson);
}

bool SameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// Headers that belong to the connection, which the server writes itself.
bool IsConnectionHeader(const std::string& name) {
  return SameName(name, "Content-Length") || SameName(name, "Transfer-Encoding") ||
         SameName(name, "Connection");
}

}  // namespace

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

  server_ = std::make_unique<httplib::Server>();
  server_->new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  server_->set_payload_max_length(kMaxRequestBodyBytes);
  server_->set_keep_alive_max_count(1'000'000);
  // Headers and body leave as separate writes: without this a client waits out the delayed
  // acknowledgement (some 40 ms) on every answer.
  server_->set_tcp_nodelay(true);
  server_->set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        return Admit(request, response) ? httplib::Server::HandlerResponse::Unhandled
                                        : httplib::Server::HandlerResponse::Handled;
      });
  server_->Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(kConsolePage, kConsolePageSize, "text/html; charset=utf-8");
    // The page loads nothing from elsewhere, and must not be framed by another site.
    response.set_header("Content-Security-Policy",
                        "default-src 'self'; script-src 'unsafe-inline'; style-src "
                        "'unsafe-inline'; frame-ancestors 'none'");
  });
  server_->Get("/openapi.json", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(openapi_, kJson);
  });
  server_->Get("/events", [this](const httplib::Request& request, httplib::Response& response) {
    ServeEvents(request, response);
  });
  const auto endpoint = [this](const httplib::Request& request, httplib::Response& response) {
    ServeEndpoint(request, response);
  };
  server_->Get(".*", endpoint);
  server_->Post(".*", endpoint);
  server_->Put(".*", endpoint);
  server_->Patch(".*", endpoint);
  server_->Delete(".*", endpoint);
  server_->Options(".*", endpoint);

  session_->host().SetEventSink([this](const EventRecord& record) { events_.Publish(record); });
  const int port = options_.port == 0
                       ? server_->bind_to_any_port(options_.bind)
                       : (server_->bind_to_port(options_.bind, options_.port) ? options_.port : -1);
  if (port <= 0) {
    session_->host().SetEventSink(nullptr);
    return kiv::Error{"cannot listen on " + options_.bind + ":" + std::to_string(options_.port)};
  }
  port_ = static_cast<uint16_t>(port);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  return {};
}

void HttpApiServer::Stop() {
  if (!server_) return;
  session_->host().SetEventSink(nullptr);
  events_.Close();
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

bool HttpApiServer::Admit(const httplib::Request& request, httplib::Response& response) const {
  // A page elsewhere that resolves its own name to 127.0.0.1 still sends its own name.
  const std::string host = request.get_header_value("Host");
  const std::string port = ":" + std::to_string(port_);
  bool host_ok = false;
  for (const std::string& name :
       {std::string("127.0.0.1"), std::string("localhost"), std::string("[::1]"), options_.bind}) {
    if (host == name + port) host_ok = true;
  }
  if (!IsLoopback(options_.bind) && host == "[" + options_.bind + "]" + port) host_ok = true;
  if (!host_ok) {
    Answer(response, 403, "The Host header '" + host + "' does not name this server.");
    return false;
  }
  std::string given;
  const std::string authorization = request.get_header_value("Authorization");
  if (authorization.rfind("Bearer ", 0) == 0) {
    given = authorization.substr(7);
  } else if (request.has_param("token")) {
    given = request.get_param_value("token");
  }
  if (!SameSecret(given, options_.token)) {
    Answer(response, 401, "The access token is missing or wrong.");
    response.set_header("WWW-Authenticate", "Bearer");
    return false;
  }
  return true;
}

void HttpApiServer::ServeEvents(const httplib::Request& request, httplib::Response& response) {
  const std::string plugin = request.get_param_value("plugin");
  const std::string filter = request.get_param_value("filter");
  auto parsed = EventStreamFilter::Parse(request.has_param("plugin") ? &plugin : nullptr,
                                         request.has_param("filter") ? &filter : nullptr);
  if (!parsed.ok()) {
    Answer(response, 400, parsed.error());
    return;
  }
  std::shared_ptr<EventStream::Client> client = events_.Join(std::move(parsed.value()));
  response.set_header("Cache-Control", "no-cache");
  response.set_chunked_content_provider(
      "text/event-stream",
      [client](size_t offset, httplib::DataSink& sink) {
        // The first chunk tells the client it is following from now on.
        if (offset == 0) {
          static constexpr char kOpen[] = ": following\n\n";
          return sink.write(kOpen, sizeof kOpen - 1);
        }
        std::optional<std::string> text = client->Take(kKeepAliveEvery);
        if (!text) return false;  // dropped as too slow, or the server stops
        if (text->empty()) *text = ": keep-alive\n\n";
        return sink.write(text->data(), text->size());
      },
      [this, client](bool) { events_.Leave(client); });
}

void HttpApiServer::ServeEndpoint(const httplib::Request& request, httplib::Response& response) {
  const ApiTable& table = *session_->descriptor().api;
  uint32_t method = MethodCode(request.method);
  const ApiEndpointRecord* endpoint = FindEndpoint(table, method, request.path);
  if (endpoint == nullptr && request.method == "HEAD") {
    method = MethodCode("GET");
    endpoint = FindEndpoint(table, method, request.path);
  }
  if (endpoint == nullptr || endpoint->callback == nullptr) {
    Answer(response, 404, "No endpoint " + request.method + " " + request.path + ".");
    return;
  }
  ApiCall call;
  call.method = method;
  call.path = request.path;
  call.content_type = request.get_header_value("Content-Type");
  call.body = request.body;
  for (const auto& [name, value] : request.params) {
    if (name != "token") call.arguments.emplace_back(name, JsonOrString(value));
  }
  ApiCallResult result;
  kiv::Status sent;
  session_->thread().Invoke([&] { sent = CallEndpoint(*endpoint, call, &result); });
  if (!sent.ok()) {
    Answer(response, 400, sent.error());
    return;
  }
  std::string content_type = kJson;
  for (const auto& [name, value] : result.headers) {
    if (SameName(name, "Content-Type")) {
      content_type = value;
    } else if (!IsConnectionHeader(name)) {
      response.set_header(name, value);
    }
  }
  // The plugin leaves the status at 0 unless a handler set one. A failure without one is
  // its router refusing what it could not bind to the endpoint's parameters: the request's
  // fault, so 400.
  const int status = result.status != 0 ? result.status : (result.failed ? 400 : 200);
  if (result.failed) {
    Answer(response, status, result.error);
    return;
  }
  response.status = status;
  response.set_content(result.body_json, content_type);
}

}  // namespace kivhost
