// The plugin's API as HTTP-like endpoints: declaration, and the dispatch of the host's
// requests to the declared handlers.
//
// Declaring (in AppModule::RegisterApi, on the plugin's thread, before the host calls in):
//
//   EndpointRouter& api = router();
//   // GET /kiv-login/v1/session, named "GetKivLoginV1Session".
//   api.Declare(KIV_METHOD_GET, "/kiv-login/v1/session")
//       .Description("The current login session.")
//       .Handle([this]() -> EndpointReply<LoginSession> {
//         if (!HasSession()) return NotFound(kNoSessionMessage);  // status 404
//         return CurrentSession();
//       });
//   // A body parameter; 201 on success, 409 otherwise.
//   api.Declare(KIV_METHOD_POST, "/kiv-login/v1/session")
//       .Parameter("credentials", "User name and password", ParameterLocation::kBody)
//       .Handle([this](UsernameAndPassword credentials) -> EndpointReply<LoginSession> {
//         if (LoginRunning()) return EndpointReply<LoginSession>::Error(409, "...");
//         return EndpointReply<LoginSession>(StartLogin(credentials)).Status(201);
//       });
//   // Path variables, then a named argument (the host's arguments or a dotted name).
//   api.Declare(KIV_METHOD_DELETE,
//               "/kiv-login/v1/service-proxy-async-requests/{serviceName}/{methodName}")
//       .Parameter("serviceName", "", ParameterLocation::kPath)
//       .Parameter("methodName", "", ParameterLocation::kPath)
//       .Parameter("pluginId")
//       .Handle([this](const std::string& service, const std::string& method,
//                      const std::string& plugin_id) { Unsubscribe(service, method, plugin_id); });
//
// Parameter types come from the handler's signature (std::optional<U> makes a parameter
// optional); records and enumerations must be registered with the module's TypeRegistry.
// Every declared function carries the default tags (the module's help tags).
//
// Requests: the host calls RequestCallback with the registration context of the endpoint
// record (api_table.h). The router matches the path against the endpoint's template (the
// matcher is compiled once, at declaration), binds the arguments (argument_binder.h),
// converts them, runs the handler and writes the outcome into the HostResponse
// (response_writer.h). No match answers "Invalid function" with status 404.
//
// Threads: declarations happen on one thread before any request; afterwards the router is
// immutable and Dispatch may run on any thread (registry lookups take its lock).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/router/endpoint_builder.h"
#include "binding/router/endpoint_reply.h"
#include "binding/router/function_descriptor.h"
#include "binding/router/path_template.h"
#include "binding/types/type_registry.h"
#include "kiv/plugin_abi.h"

namespace Voro {

class EndpointRouter {
 public:
  // REQUIRES: registry outlives the router.
  explicit EndpointRouter(const TypeRegistry* registry);
  EndpointRouter(const EndpointRouter&) = delete;
  EndpointRouter& operator=(const EndpointRouter&) = delete;

  // An endpoint named after its method and path (DeriveFunctionName). `method` is a
  // KIV_METHOD_* code.
  EndpointBuilder Declare(uint32_t method, std::string path_template);
  // An endpoint with an explicit name. Method 0 takes every method; 8 is custom, with
  // `method_text`. An empty path template makes the name the path.
  EndpointBuilder DeclareNamed(std::string name, uint32_t method, std::string path_template,
                               std::string method_text = {});

  // Tags added to every function declared from now on.
  void SetDefaultTags(std::vector<std::string> tags) { default_tags_ = std::move(tags); }
  const std::vector<std::string>& default_tags() const { return default_tags_; }

  // Declared functions in declaration order.
  const std::vector<std::unique_ptr<FunctionDescriptor>>& functions() const { return functions_; }
  const FunctionDescriptor* Find(std::string_view name) const;
  const TypeRegistry& registry() const { return *registry_; }

  // A candidate for Dispatch: the function and the matcher to use for it.
  struct Endpoint {
    const FunctionDescriptor* function = nullptr;
    const PathTemplate* matcher = nullptr;
  };
  // Chooses among `endpoints` (method filter; a match without variables wins at once,
  // otherwise the one with the shortest captured text, ties to the earlier), binds, runs
  // and writes the outcome into *response.
  // REQUIRES: *response is zero-filled; request.plugin_handle is handed to the handler.
  void Dispatch(HostResponse* response, const HostRequest& request,
                std::span<const Endpoint> endpoints) const;

  // The host's entry for every endpoint: dispatches to the one function named by
  // request->context (an EndpointContext). Never throws.
  static void RequestCallback(HostResponse* response, const HostRequest* request);

 private:
  friend class EndpointBuilder;
  // Takes a complete function; false (logged) when its name is already declared.
  [[nodiscard]] bool Add(std::unique_ptr<FunctionDescriptor> function);

  const TypeRegistry* registry_;
  std::vector<std::string> default_tags_;
  std::vector<std::unique_ptr<FunctionDescriptor>> functions_;
};

}  // namespace Voro
