#include "binding/router/endpoint_router.h"

#include <chrono>
#include <exception>
#include <optional>

#include "binding/router/argument_binder.h"
#include "binding/router/function_name.h"
#include "binding/router/http_method.h"
#include "binding/router/response_writer.h"
#include "binding/types/static_type.h"
#include "diag/log.h"

namespace Voro {
namespace {

std::string_view TextOrEmpty(const char* text) { return text != nullptr ? text : ""; }

bool MethodMatches(const FunctionDescriptor& function, const HostRequest& request) {
  if (function.method == 0) return true;
  if (function.method != request.method) return false;
  return function.method != KIV_METHOD_CUSTOM ||
         function.method_text == TextOrEmpty(request.method_text);
}

size_t CapturedLength(const std::vector<PathVariable>& variables) {
  size_t total = 0;
  for (const PathVariable& variable : variables) total += variable.second.size();
  return total;
}

EndpointRequest DescribeRequest(const FunctionDescriptor& function, const HostRequest& request,
                                std::string_view path) {
  EndpointRequest description;
  description.time = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  description.function_name = function.name;
  description.path = std::string(path);
  description.method = request.method;
  if (request.method == KIV_METHOD_CUSTOM) {
    description.method_text = std::string(TextOrEmpty(request.method_text));
  }
  if (request.headers != nullptr) {
    for (uint32_t i = 0; i < request.header_count; ++i) {
      description.headers.emplace(TextOrEmpty(request.headers[i].name),
                                  TextOrEmpty(request.headers[i].value));
    }
  }
  return description;
}

}  // namespace

EndpointRouter::EndpointRouter(const TypeRegistry* registry) : registry_(registry) {}

EndpointBuilder EndpointRouter::Declare(uint32_t method, std::string path_template) {
  std::string name = DeriveFunctionName(HttpMethodName(method), path_template);
  return DeclareNamed(std::move(name), method, std::move(path_template));
}

EndpointBuilder EndpointRouter::DeclareNamed(std::string name, uint32_t method,
                                             std::string path_template, std::string method_text) {
  auto function = std::make_unique<FunctionDescriptor>();
  function->name = std::move(name);
  function->method = method;
  function->method_text = std::move(method_text);
  function->path = path_template.empty() ? function->name : std::move(path_template);
  function->tags = default_tags_;
  return EndpointBuilder(this, std::move(function));
}

const FunctionDescriptor* EndpointRouter::Find(std::string_view name) const {
  for (const auto& function : functions_) {
    if (function->name == name) return function.get();
  }
  return nullptr;
}

bool EndpointRouter::Add(std::unique_ptr<FunctionDescriptor> function) {
  if (Find(function->name) != nullptr) {
    Log(kLevelError, Tag::DBG, "Endpoint %s is declared twice; the first stays",
        function->name.c_str());
    return false;
  }
  function->matcher = std::make_unique<PathTemplate>(function->path);
  function->context = EndpointContext{this, function.get()};
  functions_.push_back(std::move(function));
  return true;
}

void EndpointRouter::Dispatch(HostResponse* response, const HostRequest& request,
                              std::span<const Endpoint> endpoints) const {
  std::string_view path = TextOrEmpty(request.path);
  const FunctionDescriptor* chosen = nullptr;
  std::vector<PathVariable> kept;
  std::vector<PathVariable> captured;
  size_t kept_length = 0;
  for (const Endpoint& endpoint : endpoints) {
    if (endpoint.function == nullptr || endpoint.matcher == nullptr) continue;
    if (!MethodMatches(*endpoint.function, request)) continue;
    if (!endpoint.matcher->Match(path, &captured)) continue;
    if (captured.empty()) {
      chosen = endpoint.function;
      kept.clear();
      break;
    }
    size_t length = CapturedLength(captured);
    if (chosen == nullptr || length < kept_length) {
      chosen = endpoint.function;
      kept_length = length;
      kept.swap(captured);
    }
  }
  if (chosen == nullptr) {
    WriteErrorResponse(response, kInvalidFunctionMessage, kInvalidFunctionStatus);
    return;
  }

  const FunctionDescriptor& function = *chosen;
  CallResult call;
  std::vector<OptionalBindingProperty> arguments;
  BindArguments(function, kept, request, &arguments, call.result);
  if (!call.ok()) {
    WriteCallResult(call, response, registry_);
    return;
  }
  uint32_t request_type = function.invoker->RequestType();
  if (request_type != 0 && request_type == StaticType::HashCode<EndpointRequest>().hash) {
    const EndpointRequest description = DescribeRequest(function, request, path);
    function.invoker->Call(function, arguments, call, &description, request.plugin_handle,
                           response);
  } else {
    function.invoker->Call(function, arguments, call, nullptr, request.plugin_handle, response);
  }
}

void EndpointRouter::RequestCallback(HostResponse* response, const HostRequest* request) {
  if (response == nullptr) return;
  // Called by the host through a C table: nothing may escape.
  try {
    const auto* context =
        request != nullptr ? static_cast<const EndpointContext*>(request->context) : nullptr;
    if (context == nullptr || context->api == nullptr || context->function == nullptr) {
      WriteErrorResponse(response, kInvalidFunctionMessage, kInvalidFunctionStatus);
      return;
    }
    const Endpoint endpoint{context->function, context->function->matcher.get()};
    context->api->Dispatch(response, *request, std::span<const Endpoint>(&endpoint, 1));
  } catch (const std::exception& e) {
    ReleaseRouterResponse(response);
    Log(kLevelError, Tag::DBG, "Endpoint call failed: %s", e.what());
    try {
      WriteErrorResponse(response, e.what(), 500);
    } catch (...) {
    }
  } catch (...) {
    ReleaseRouterResponse(response);
  }
}

}  // namespace Voro
