// Writing a call's outcome into the host's HostResponse, and releasing what it wrote.
//
// Everything written is owned by the response: texts, header pairs and the body value come
// from malloc, a body stream object is the response's from then on. The response's
// `release` is set to ReleaseRouterResponse, which frees all of it once.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/value/binding_abi.h"
#include "binding/router/call_result.h"
#include "binding/types/native_kind.h"
#include "binding/types/type_registry.h"
#include "kiv/plugin_abi.h"

namespace Voro {

inline constexpr std::string_view kInvalidFunctionMessage = "Invalid function";
inline constexpr int32_t kInvalidFunctionStatus = 404;
inline constexpr int32_t kUnconvertibleResultStatus = 400;

// Fills *response from `call`: the value as a host record (enumerations by name through
// `names`), the error text and failure flag on failure, the response flag, the response
// code (1 to 3, otherwise 0), the status, the status text ("" when none), the headers and
// the body stream. A value that cannot become a host record turns the response into that
// error with status 400.
// REQUIRES: *response is zero-filled (as the host hands it over).
void WriteCallResult(CallResult& call, HostResponse* response, const EnumNameResolver* names);

// The same for a successful call whose value is the native value at `native` (of kind
// `type`, records and enumerations looked up in `registry`): the body is written straight
// from it (native_to_abi.h), the record WriteCallResult would write for its binding form.
// A value without a binding form, or one that cannot become a host record, turns the
// response into that error with status 400.
// REQUIRES: call.ok(); *response is zero-filled.
void WriteNativeCallResult(CallResult& call, const void* native, const KindData& type,
                           HostResponse* response, const TypeRegistry& registry);

// A failed response with `message` and `status` and nothing else.
void WriteErrorResponse(HostResponse* response, std::string_view message, int32_t status);

// The release function of every response the router fills. Safe on a zeroed record.
void ReleaseRouterResponse(HostResponse* response);

}  // namespace Voro
