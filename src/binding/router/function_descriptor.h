// The description of one API function: its name, method, path template, tags, parameters,
// result type and the invoker that runs it. Built while the plugin declares its API
// (endpoint_router.h) and immutable afterwards.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/value/binding_result.h"
#include "binding/router/call_result.h"
#include "binding/types/native_kind.h"
#include "binding/router/path_template.h"
#include "kiv/plugin_abi.h"

namespace Voro {

class EndpointRouter;
struct FunctionDescriptor;

// Where a parameter's value may come from.
enum class ParameterLocation : uint32_t {
  kAnywhere = 0,
  kQuery = 1,  // a named-input source the host's request does not fill here
  kPath = 2,
  kHeader = 4,  // likewise never filled here
  kBody = 5,
};

struct ParameterDescriptor {
  std::string name;
  uint32_t name_hash = 0;  // Fnv1a(name)
  std::string description;
  const KindData* type = nullptr;  // never null; of U for an optional U
  bool optional = false;
  ParameterLocation location = ParameterLocation::kAnywhere;

  BindingKind kind() const { return type->kind; }
};

// What a function that asks for it learns about the request that called it.
struct EndpointRequest {
  std::time_t time = 0;
  std::string function_name;
  std::string path;
  uint32_t method = 0;      // 1 to 7, or 8 with method_text
  std::string method_text;  // for method 8
  std::multimap<std::string, std::string> headers;
};

// Runs a function on bound arguments. Implementations are immutable after declaration, so
// calls may run on any thread; everything a call needs lives on its own stack.
class EndpointInvoker {
 public:
  virtual ~EndpointInvoker() = default;
  // Converts the bound argument slots (one per parameter; a disengaged slot was not given)
  // into the handler's parameters, runs the handler and writes the outcome into *response
  // (response_writer.h), `call` carrying everything but the value. When a conversion
  // fails the handler does not run and the response carries call's error. `request` is
  // null unless RequestType() is the router's request description. `cookie` is the host's
  // plugin handle.
  // REQUIRES: call.ok(); *response is zero-filled.
  virtual void Call(const FunctionDescriptor& function,
                    std::vector<OptionalBindingProperty>& arguments, CallResult& call,
                    const EndpointRequest* request, void* cookie, HostResponse* response) const = 0;
  // The type hash of the request object the function wants (0 for none).
  virtual uint32_t RequestType() const = 0;
};

// The registration context handed back by the host with every request: the API object and
// the function.
struct EndpointContext {
  const EndpointRouter* api = nullptr;
  const FunctionDescriptor* function = nullptr;
};

struct FunctionDescriptor {
  std::string name;
  std::string name_space;
  uint32_t method = 0;  // 0 any method; 8 custom with method_text
  std::string method_text;
  std::string path;  // the template; the name when declared empty
  std::string description;
  std::string help;
  std::vector<std::string> tags;
  std::vector<ParameterDescriptor> parameters;
  const KindData* result_type = nullptr;  // null when the function returns nothing
  std::unique_ptr<EndpointInvoker> invoker;
  // Compiled once from `path` when the declaration completes.
  std::unique_ptr<PathTemplate> matcher;
  EndpointContext context;

  // Index of the parameter named `name`, or -1.
  int FindParameter(std::string_view name) const;
  // The first parameter that takes the request body, or -1.
  int BodyParameter() const;
};

}  // namespace Voro
