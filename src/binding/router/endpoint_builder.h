// Declaring one endpoint: method and path (or an explicit name), description, tags, the
// parameters in order, and the handler whose signature gives the native parameter and
// result types. See endpoint_router.h for an example.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/router/endpoint_reply.h"
#include "binding/router/function_descriptor.h"
#include "binding/router/typed_invoker.h"
#include "binding/types/native_kind.h"

namespace Voro {

class EndpointRouter;

// Returned by EndpointRouter::Declare; the endpoint exists once Handle() succeeds. Used by
// one thread, while the API is declared.
class EndpointBuilder {
 public:
  EndpointBuilder(EndpointRouter* router, std::unique_ptr<FunctionDescriptor> function);
  EndpointBuilder(EndpointBuilder&&) noexcept = default;
  EndpointBuilder(const EndpointBuilder&) = delete;
  EndpointBuilder& operator=(const EndpointBuilder&) = delete;
  // A declaration that never reached Handle() is logged as an error.
  ~EndpointBuilder();

  EndpointBuilder& Description(std::string text);
  EndpointBuilder& Help(std::string text);
  EndpointBuilder& Tag(std::string tag);
  EndpointBuilder& NameSpace(std::string name_space);
  // The next parameter of the handler, in order. Its type (and whether it is optional:
  // a std::optional<U> handler parameter) comes from the handler's signature.
  EndpointBuilder& Parameter(std::string name, std::string description = {},
                             ParameterLocation location = ParameterLocation::kAnywhere);

  // Completes the declaration with `handler`, a callable taking, optionally first, a
  // `const EndpointRequest&` (the request description), then one argument per declared
  // parameter (by value, const reference or rvalue reference); it returns
  // EndpointReply<T>, a plain T, or nothing. T and the parameters are bool, integers,
  // floating point, std::string, BindingProperty, blobs, vectors, maps, registered
  // enumerations and records; parameters may be std::optional of those.
  // False (logged) when the parameter count does not match or the name is taken; the
  // endpoint is then not declared.
  template <typename Handler>
  bool Handle(Handler handler);

 private:
  template <typename Handler, typename Result, typename... A>
  [[nodiscard]] bool HandleWith(Handler handler, std::tuple<A...>*);
  template <typename Handler, bool kWantsRequest, typename Result, typename... Params>
  [[nodiscard]] bool Finish(Handler handler);
  template <typename Param>
  void DescribeParameter(size_t index);
  [[nodiscard]] bool CheckParameterCount(size_t handler_parameters) const;
  [[nodiscard]] bool Commit(std::unique_ptr<EndpointInvoker> invoker, const KindData* result_type);
  const TypeRegistry* registry() const;

  EndpointRouter* router_;
  std::unique_ptr<FunctionDescriptor> function_;
};

template <typename Handler>
bool EndpointBuilder::Handle(Handler handler) {
  if (function_ == nullptr) return false;  // already handled
  using Traits = internal::CallableTraits<Handler>;
  return HandleWith<Handler, typename Traits::Result>(
      std::move(handler), static_cast<typename Traits::Arguments*>(nullptr));
}

template <typename Handler, typename Result, typename... A>
bool EndpointBuilder::HandleWith(Handler handler, std::tuple<A...>*) {
  if constexpr (internal::FirstIsRequest<A...>::value) {
    return [&]<typename First, typename... Rest>(std::tuple<First, Rest...>*) {
      return Finish<Handler, true, Result, Rest...>(std::move(handler));
    }(static_cast<std::tuple<A...>*>(nullptr));
  } else {
    return Finish<Handler, false, Result, A...>(std::move(handler));
  }
}

template <typename Handler, bool kWantsRequest, typename Result, typename... Params>
bool EndpointBuilder::Finish(Handler handler) {
  static_assert(((!std::is_lvalue_reference_v<Params> ||
                  std::is_const_v<std::remove_reference_t<Params>>)&&...),
                "handler parameters are taken by value, const reference or rvalue reference");
  if (!CheckParameterCount(sizeof...(Params))) {
    function_.reset();
    return false;
  }
  size_t index = 0;
  (DescribeParameter<Params>(index++), ...);
  using Value = typename internal::ReplyTraits<Result>::Value;
  const KindData* result_type = nullptr;
  if constexpr (!std::is_void_v<Value>) result_type = &KindDataOf<Value>();
  auto invoker =
      std::make_unique<internal::TypedInvoker<Handler, kWantsRequest, Result, Params...>>(
          std::move(handler), registry());
  return Commit(std::move(invoker), result_type);
}

template <typename Param>
void EndpointBuilder::DescribeParameter(size_t index) {
  using Traits = internal::ParameterTraits<Param>;
  ParameterDescriptor& parameter = function_->parameters[index];
  parameter.type = &KindDataOf<typename Traits::Value>();
  parameter.optional = Traits::kOptional;
}

}  // namespace Voro
