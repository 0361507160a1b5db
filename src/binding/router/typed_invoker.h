// The invoker behind a declared handler: converts the bound argument slots into the
// handler's native parameter types (through the type registry), calls it, and converts its
// reply into the call result. Internal to the router; modules use endpoint_builder.h.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/router/endpoint_reply.h"
#include "binding/router/function_descriptor.h"
#include "binding/types/native_conversion.h"
#include "binding/types/native_kind.h"
#include "binding/router/response_writer.h"
#include "binding/types/static_type.h"
#include "binding/types/type_registry.h"

namespace Voro::internal {

// A handler's parameter as stored (cv and references removed) and whether it is optional.
template <typename S>
struct StoredParameterTraits {
  using Stored = S;
  using Value = S;
  static constexpr bool kOptional = false;
};
template <typename U>
struct StoredParameterTraits<std::optional<U>> {
  using Stored = std::optional<U>;
  using Value = U;
  static constexpr bool kOptional = true;
};
template <typename A>
struct ParameterTraits : StoredParameterTraits<std::remove_cvref_t<A>> {};

// The reply type of a handler result R: EndpointReply<T> as is, anything else wrapped.
template <typename R>
struct ReplyTraits {
  using Reply = EndpointReply<R>;
  using Value = R;
};
template <typename T>
struct ReplyTraits<EndpointReply<T>> {
  using Reply = EndpointReply<T>;
  using Value = T;
};

// Result and parameter types of a callable.
template <typename F>
struct CallableTraits : CallableTraits<decltype(&std::remove_cvref_t<F>::operator())> {};
template <typename R, typename... A>
struct CallableTraits<R(A...)> {
  using Result = R;
  using Arguments = std::tuple<A...>;
};
template <typename R, typename... A>
struct CallableTraits<R (*)(A...)> : CallableTraits<R(A...)> {};
template <typename C, typename R, typename... A>
struct CallableTraits<R (C::*)(A...) const> : CallableTraits<R(A...)> {};
template <typename C, typename R, typename... A>
struct CallableTraits<R (C::*)(A...)> : CallableTraits<R(A...)> {};

template <typename A>
inline constexpr bool kIsRequestArgument = std::is_same_v<std::remove_cvref_t<A>, EndpointRequest>;

// Whether a handler's first parameter is the request description.
template <typename... A>
struct FirstIsRequest : std::false_type {};
template <typename First, typename... Rest>
struct FirstIsRequest<First, Rest...> : std::bool_constant<kIsRequestArgument<First>> {};

// Converts one slot into a native parameter. Disengaged and "empty" optional slots stay
// absent; any other slot is a top-level argument.
template <typename A>
void ConvertArgument(const ParameterDescriptor& parameter, const OptionalBindingProperty& slot,
                     typename ParameterTraits<A>::Stored* out, const TypeRegistry& registry,
                     BindingResult& result) {
  if (!result.ok()) return;
  using Traits = ParameterTraits<A>;
  if constexpr (Traits::kOptional) {
    if (!slot.has_value() || slot->type() == BindingType::kEmpty) return;
    out->emplace();
    BindingToNative(result, &**out, *slot, parameter.name, *parameter.type, registry,
                    {.top_level = true});
  } else {
    const BindingProperty& input = slot.has_value() ? *slot : BindingProperty::EmptyValue();
    BindingToNative(result, out, input, parameter.name, *parameter.type, registry,
                    {.top_level = true});
  }
}

template <typename Handler, bool kWantsRequest, typename Result, typename... Params>
class TypedInvoker final : public EndpointInvoker {
  using Reply = typename ReplyTraits<Result>::Reply;
  using Value = typename ReplyTraits<Result>::Value;
  using Context = std::tuple<typename ParameterTraits<Params>::Stored...>;

 public:
  TypedInvoker(Handler handler, const TypeRegistry* registry)
      : handler_(std::move(handler)), registry_(registry) {}

  void Call(const FunctionDescriptor& function, std::vector<OptionalBindingProperty>& arguments,
            CallResult& call, const EndpointRequest* request, void* /*cookie*/,
            HostResponse* response) const override {
    Context context{};
    ConvertAll(function, arguments, context, call.result, std::index_sequence_for<Params...>());
    if (!call.ok()) {
      WriteCallResult(call, response, registry_);
      return;
    }
    Reply reply = std::apply(
        [&](auto&... native) -> Reply {
          // The handler, with the request description first when it asks for one.
          auto call_handler = [&]() -> decltype(auto) {
            if constexpr (kWantsRequest) {
              static const EndpointRequest kNoRequest;
              return handler_(request != nullptr ? *request : kNoRequest, std::move(native)...);
            } else {
              return handler_(std::move(native)...);
            }
          };
          if constexpr (std::is_void_v<Result>) {
            call_handler();
            return Reply();
          } else {
            return Reply(call_handler());
          }
        },
        context);
    reply.MoveInto(&call);
    if constexpr (!std::is_void_v<Value>) {
      if (!reply.failed()) {
        if constexpr (std::is_same_v<Value, BindingProperty>) {
          call.result.value() = std::move(reply.value());
        } else {
          // Straight from the native value into the response: no value tree in between.
          WriteNativeCallResult(call, &reply.value(), KindDataOf<Value>(), response, *registry_);
          return;
        }
      }
    }
    WriteCallResult(call, response, registry_);
  }

  uint32_t RequestType() const override {
    return kWantsRequest ? StaticType::HashCode<EndpointRequest>().hash : 0;
  }

 private:
  template <size_t... I>
  void ConvertAll(const FunctionDescriptor& function,
                  std::vector<OptionalBindingProperty>& arguments, Context& context,
                  BindingResult& result, std::index_sequence<I...>) const {
    (ConvertArgument<Params>(function.parameters[I], arguments[I], &std::get<I>(context),
                             *registry_, result),
     ...);
  }

  // Mutable so that handlers with state (mutable lambdas) can be called.
  mutable Handler handler_;
  const TypeRegistry* registry_;
};

}  // namespace Voro::internal
