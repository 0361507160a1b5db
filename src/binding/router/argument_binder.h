// Binding a request's inputs to a function's parameters: path variables, the host's named
// and positional arguments, and the body, in that order. The first failure stops binding
// and becomes the call's error.
//
// Limits, for untrusted input: an element index in a dotted argument name above
// kMaxArgumentIndex fails like one beyond the 32-bit range ("Index %1 is out of range"),
// so a short name cannot make the router allocate a huge collection.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "binding/value/binding_result.h"
#include "binding/router/function_descriptor.h"
#include "binding/router/path_template.h"
#include "kiv/plugin_abi.h"

namespace Voro {

inline constexpr std::string_view kUnknownArgumentMessage = "Unknown argument '%1' for '%2'.";
inline constexpr std::string_view kInvalidLocationMessage =
    "Argument '%1' for '%2' was specified in an invalid location.";
inline constexpr std::string_view kIndexFormatMessage = "Index %1 is in an incorrect format";
inline constexpr std::string_view kIndexRangeMessage = "Index %1 is out of range";
inline constexpr std::string_view kExpectedValueMessage = "Expected value for argument '%1'.";
inline constexpr std::string_view kExtraMsgpackMessage = "Extra MessgePack data found in body";
inline constexpr std::string_view kUnsupportedBodyTypeMessage = "Unsupported body content type";
inline constexpr std::string_view kMsgpackArgumentMessage =
    "Couldn't deserialize MessagePack value for parameter '%1' of '%2': %3";
inline constexpr std::string_view kJsonArgumentMessage =
    "Couldn't deserialize JSON value for parameter '%1' of '%2': %3";
inline constexpr std::string_view kYamlArgumentMessage =
    "Couldn't deserialize YAML value for parameter '%1' of '%2': %3";

// Indices of 2^31 or more are out of range; ours stop far lower (see above).
inline constexpr size_t kMaxArgumentIndex = 65535;

// Whether `text` starts with `prefix`, ignoring ASCII case.
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix);

// Decodes one argument text by its content type (compared case-insensitively as a
// prefix): MessagePack, JSON, YAML, raw bytes as a "blob", or else the text as a "string".
// With `sniff` and no content type, the text's first bytes choose MessagePack, JSON or
// YAML. Decoder failures are wrapped with the parameter's and the function's names.
BindingResult DecodeArgumentText(std::string_view text, std::string_view content_type, bool sniff,
                                 std::string_view parameter, std::string_view function);

// Binds everything the request carries for `function` into *arguments (resized to the
// parameter count; a disengaged slot was not given). `path_variables` are the captures of
// the path match, in capture order. On failure sets result's error and stops.
void BindArguments(const FunctionDescriptor& function,
                   const std::vector<PathVariable>& path_variables, const HostRequest& request,
                   std::vector<OptionalBindingProperty>* arguments, BindingResult& result);

}  // namespace Voro
