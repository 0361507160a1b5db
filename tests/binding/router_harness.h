// Calls declared endpoints the way the host does: a HostRequest with the function's
// registration context through the router's request callback, and the HostResponse read
// back field by field and released.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "binding/binding_abi.h"
#include "binding/endpoint_router.h"
#include "binding/json_writer.h"
#include "binding/record_builder.h"
#include "binding/type_registry.h"
#include "kiv/plugin_abi.h"

namespace Voro::testing {

struct RouterRequest {
  uint32_t method = KIV_METHOD_GET;
  std::string path;
  std::string method_text;
  // Named (or, without a name, positional) arguments in the host's wire form.
  std::vector<std::pair<std::optional<std::string>, BindingProperty>> arguments;
  std::optional<std::string> content_type;
  std::optional<std::string> body;
  std::vector<std::pair<std::string, std::string>> headers;
};

struct RouterResponse {
  bool failed = false;
  std::string error;
  int32_t status = 0;
  bool status_text_set = false;
  std::string status_text;
  uint8_t response_flag = 0;
  uint32_t response_code = 0;
  std::string body;  // compact JSON of the body value
  std::map<std::string, std::string> headers;
  bool streamed = false;
  bool released = false;  // the release function left the record zeroed
};

// Sends `request` to the endpoint whose registration context is `context`.
inline RouterResponse CallEndpoint(const void* context, const RouterRequest& request) {
  std::vector<BindingAbiNamedValue> arguments(request.arguments.size());
  for (size_t i = 0; i < request.arguments.size(); ++i) {
    arguments[i].name = request.arguments[i].first ? request.arguments[i].first->c_str() : nullptr;
    ToAbiValue(request.arguments[i].second, &arguments[i].value);
  }
  std::vector<HostHeaderPair> headers;
  for (const auto& [name, value] : request.headers)
    headers.push_back({name.c_str(), value.c_str()});

  HostRequest host{};
  host.method = request.method;
  host.path = request.path.c_str();
  host.arguments = arguments.empty() ? nullptr : arguments.data();
  host.argument_count = static_cast<uint32_t>(arguments.size());
  host.context = context;
  host.headers = headers.empty() ? nullptr : headers.data();
  host.header_count = static_cast<uint32_t>(headers.size());
  host.content_type = request.content_type ? request.content_type->c_str() : nullptr;
  host.body = request.body ? request.body->data() : nullptr;
  host.body_length = request.body ? static_cast<uint32_t>(request.body->size()) : 0;
  host.method_text = request.method_text.empty() ? nullptr : request.method_text.c_str();

  HostResponse response{};
  EndpointRouter::RequestCallback(&response, &host);

  RouterResponse out;
  out.failed = response.failed != 0;
  if (response.error_text != nullptr) out.error = response.error_text;
  out.status = response.status_code;
  out.status_text_set = response.status_text != nullptr;
  if (response.status_text != nullptr) out.status_text = response.status_text;
  out.response_flag = response.response_flag;
  out.response_code = response.response_code;
  BindingResult body = FromAbiValue(response.body, "<result>");
  out.body = body.ok() ? WriteJson(body.value()) : "<unreadable>";
  for (uint32_t i = 0; i < response.header_count; ++i) {
    out.headers[response.headers[i].name] = response.headers[i].value;
  }
  out.streamed = response.stream_context != nullptr;
  if (response.release != nullptr) {
    response.release(&response);
    HostResponse zero{};
    out.released = std::memcmp(&response, &zero, sizeof(zero)) == 0;
  }
  for (BindingAbiNamedValue& argument : arguments) ReleaseAbiValue(&argument.value);
  return out;
}

// A registry and a router to declare test endpoints on.
class RouterHarness {
 public:
  TypeRegistry registry;
  EndpointRouter router{&registry};

  const FunctionDescriptor& Function(const std::string& name) const {
    const FunctionDescriptor* function = router.Find(name);
    if (function == nullptr) throw std::runtime_error("no function " + name);
    return *function;
  }
  RouterResponse Call(const std::string& function_name, const RouterRequest& request) const {
    return CallEndpoint(&Function(function_name).context, request);
  }
  RouterResponse Get(const std::string& function_name, const std::string& path) const {
    RouterRequest request;
    request.path = path;
    return Call(function_name, request);
  }
};

}  // namespace Voro::testing
