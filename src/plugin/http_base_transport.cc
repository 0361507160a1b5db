#include "plugin/http_base_transport.h"

#include <string_view>

#include "binding/router/http_method.h"
#include "binding/codec/json_reader.h"
#include "diag/format_positional.h"
#include "plugin/app_module.h"

// The debug channel: compiled out unless KIV_DEBUG_TRACE is defined; never a log line.
#if defined(KIV_DEBUG_TRACE)
#include <syslog.h>
#define KIV_HTTP_DEBUG_TRACE(...) syslog(LOG_DEBUG, __VA_ARGS__)
#else
#define KIV_HTTP_DEBUG_TRACE(...) \
  do {                            \
  } while (false)
#endif

namespace Voro {

namespace {

constexpr const char* kDescriptionTemplate = "%1 %2";

bool IsUserAgent(std::string_view name) {
  constexpr std::string_view kName = HttpBaseTransport::kUserAgentHeader;
  if (name.size() != kName.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kName[i]) return false;
  }
  return true;
}

// The host's bytes as text; a null pointer is no text.
std::string HostBytes(const char* bytes, uint32_t length) {
  if (bytes == nullptr || length == 0) return std::string();
  return std::string(bytes, length);
}

// Hands the record back to the host, once, whatever happened before.
class ReleaseGuard {
 public:
  explicit ReleaseGuard(HostExternalResponse* response) : response_(response) {}
  ReleaseGuard(const ReleaseGuard&) = delete;
  ReleaseGuard& operator=(const ReleaseGuard&) = delete;
  ~ReleaseGuard() {
    HostExternalReleaseFn release = response_->release;
    response_->release = nullptr;
    if (release != nullptr) release(response_);
  }

 private:
  HostExternalResponse* response_;
};

// False (result state 1) when the text body cannot be read.
bool ConvertBody(const HostExternalResponse& host, const std::string& description,
                 HttpBaseTransport::Response* response) {
  if (host.body_length > 0 && host.body == nullptr) {
    response->error = FormatPositional(HttpBaseTransport::kBodyNullMessage, description);
    return false;
  }
  response->body = HostBytes(host.body, host.body_length);
  return true;
}

bool ConvertBody(const HostExternalResponse& host, const std::string& description,
                 HttpBaseTransport::JsonResponse* response) {
  if (host.body == nullptr || host.body_length == 0) {
    response->error = FormatPositional(HttpBaseTransport::kBodyEmptyMessage, description);
    return false;
  }
  const std::string_view text(host.body, host.body_length);
  BindingResult parsed = ParseJson(text);
  if (!parsed.ok()) {
    response->error = FormatPositional(HttpBaseTransport::kJsonErrorMessage, description,
                                       std::string(parsed.error()));
    response->body.SetString(text);
    return false;
  }
  response->body = std::move(parsed.value());
  return true;
}

HttpBaseTransport::Request MakeRequest(uint32_t method, const std::string& url,
                                       const std::string& body, uint32_t timeout,
                                       const std::map<std::string, std::string>& headers) {
  HttpBaseTransport::Request request;
  request.method = method;
  request.url = url;
  request.headers = headers;
  request.body = body;
  request.timeout = timeout;
  request.flag = 1;
  return request;
}

}  // namespace

HostExternalRequest HttpBaseTransport::BuildHostRequest(const Request& request,
                                                        const std::string& user_agent,
                                                        std::vector<HostHeaderPair>* pairs) {
  pairs->clear();
  bool has_user_agent = false;
  for (const auto& header : request.headers) has_user_agent |= IsUserAgent(header.first);
  pairs->reserve(request.headers.size() + (has_user_agent ? 0 : 1));
  if (!has_user_agent) pairs->push_back(HostHeaderPair{kUserAgentHeader, user_agent.c_str()});
  for (const auto& [name, value] : request.headers) {
    pairs->push_back(HostHeaderPair{name.c_str(), value.c_str()});
  }
  HostExternalRequest host{};
  host.method = request.method;
  host.url = request.url.c_str();
  host.headers = pairs->empty() ? nullptr : pairs->data();
  host.header_count = static_cast<uint32_t>(pairs->size());
  host.body = request.body.data();
  host.body_length = static_cast<uint32_t>(request.body.size());
  host.timeout = request.timeout;
  host.flag = request.flag;
  return host;
}

int32_t HttpBaseTransport::MapTransportCode(int32_t host_code) {
  if (host_code == -1 || host_code == 0 || host_code == 2) return host_code;
  return 1;
}

template <typename Body>
HttpBaseTransport::BasicResponse<Body> HttpBaseTransport::Perform(const Request& request) const {
  BasicResponse<Body> response;
  HostExternalResponse host{};
  host.transport_code = -1;
  ReleaseGuard release(&host);
  std::vector<HostHeaderPair> pairs;
  const HostExternalRequest host_request = BuildHostRequest(request, module_->user_agent(), &pairs);
  module_->SendExternalRequest(&host, &host_request);
  const std::string description =
      FormatPositional(kDescriptionTemplate, HttpMethodName(request.method), request.url);

  response.transport_status = MapTransportCode(host.transport_code);
  if (response.transport_status != 0) {
    response.error = HostBytes(host.body, host.body_length);
    KIV_HTTP_DEBUG_TRACE("Couldn't connect to %s: %d - %s", description.c_str(),
                         response.transport_status, response.error.c_str());
    return response;
  }
  response.status_code = host.http_status;
  if (host.header_count > 0 && host.headers == nullptr) {
    response.result_state = 1;
    response.error = FormatPositional(kHeadersNullMessage, description);
    KIV_HTTP_DEBUG_TRACE("Couldn't convert external request headers to %s: %s", description.c_str(),
                         response.error.c_str());
    return response;
  }
  // No reserve: the count is the host's word, and only pairs really read take memory.
  for (uint32_t i = 0; i < host.header_count; ++i) {
    const HostHeaderPair& pair = host.headers[i];
    response.headers.emplace_back(pair.name != nullptr ? pair.name : "",
                                  pair.value != nullptr ? pair.value : "");
  }
  if (ConvertBody(host, description, &response)) {
    response.result_state = 0;
  } else {
    response.result_state = 1;
    KIV_HTTP_DEBUG_TRACE("Couldn't convert external request body to %s: %s", description.c_str(),
                         response.error.c_str());
  }
  return response;
}

HttpBaseTransport::Response HttpBaseTransport::RequestText(const Request& request) const {
  return Perform<std::string>(request);
}

HttpBaseTransport::JsonResponse HttpBaseTransport::RequestJson(const Request& request) const {
  return Perform<BindingProperty>(request);
}

HttpBaseTransport::JsonResponse HttpBaseTransport::GetJson(
    const std::string& url, uint32_t timeout,
    const std::map<std::string, std::string>& headers) const {
  return RequestJson(MakeRequest(KIV_METHOD_GET, url, std::string(), timeout, headers));
}

HttpBaseTransport::Response HttpBaseTransport::PostText(
    const std::string& url, const std::string& body, uint32_t timeout,
    const std::map<std::string, std::string>& headers) const {
  return RequestText(MakeRequest(KIV_METHOD_POST, url, body, timeout, headers));
}

HttpBaseTransport::JsonResponse HttpBaseTransport::PostJson(
    const std::string& url, const std::string& body, uint32_t timeout,
    const std::map<std::string, std::string>& headers) const {
  return RequestJson(MakeRequest(KIV_METHOD_POST, url, body, timeout, headers));
}

}  // namespace Voro
