// BindingAbiValue trees on the host's side: the host builds its answers as owned trees
// from JSON and frees them itself, and reads whatever the plugin sends back into JSON text
// so that it can be recorded and compared.
//
// Limits: trees nest at most kMaxAbiDepth levels in either direction; deeper input is
// refused with an error rather than followed. Strings are read up to their NUL (the count
// is not trusted); blobs are written as standard Base64 text, so they do not come back
// as blobs. Non-finite doubles are written as NaN / Infinity, which strict JSON lacks.
#pragma once

#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"
#include "kiv/plugin_abi.h"

namespace kivhost {

inline constexpr int kMaxAbiDepth = 1000;

// Each builder overwrites *out without releasing it. On success *out owns everything it
// points to (strings tag 6, blobs tag 8, collections tag 9, structures tag 10 with owned
// keys), all malloc'd, to be freed only with ReleaseAbiValue. On failure *out is left
// empty (tag 0) and the result says why.
[[nodiscard]] kiv::Status AbiFromJson(const rapidjson::Value& json, BindingAbiValue* out);
[[nodiscard]] kiv::Status AbiFromJsonText(std::string_view json, BindingAbiValue* out);
[[nodiscard]] bool MakeOwnedString(std::string_view text, BindingAbiValue* out);
// A zero-terminated copy from malloc, for records the plugin frees through their release
// function; null when there is no memory.
char* CopyText(std::string_view text);
[[nodiscard]] bool MakeOwnedBlob(const void* bytes, size_t size, BindingAbiValue* out);

// Frees what a host-built tree owns and leaves the record zeroed (tag 0). Borrowed
// strings and blobs (tags 5, 7) are left alone. REQUIRES: the tree was built by the host.
void ReleaseAbiValue(BindingAbiValue* value);

// Writes any value, borrowed or owned, as JSON text. Fails on an unknown tag, a null
// pointer with a non-zero count, a structure entry without a key, or nesting deeper than
// kMaxAbiDepth.
[[nodiscard]] kiv::Result<std::string> AbiToJson(const BindingAbiValue& value);

// Writes a request's arguments as one JSON object, in their order. A positional argument
// (null name) is written under "#" followed by its index in the array.
[[nodiscard]] kiv::Result<std::string> ArgumentsToJson(const BindingAbiNamedValue* arguments,
                                                       uint32_t count);

}  // namespace kivhost
