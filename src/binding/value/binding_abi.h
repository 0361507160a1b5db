// Conversions between value trees and the host's fixed-layout BindingAbiValue records.
//
// Records the plugin builds (ToAbiValue) own everything they point to: strings and blobs
// are copied (tags 6 and 8), arrays and structure keys are allocated for the record. All of
// it comes from malloc and is freed by ReleaseAbiValue, so either side of the boundary can
// release a record. Records read from the host (FromAbiValue) are only read, never freed.
//
// Limits on host records, which are untrusted:
//   - at most 1000 nested collections and structures (kMaxAbiNesting); deeper input fails
//     with kAbiTooDeepMessage instead of exhausting any stack;
//   - a collection may not claim more than BindingProperty::kMaxCollectionSize elements;
//   - a null text reads as "", a null array or blob pointer as no elements or bytes.
// Every walk is iterative, so trees of any depth convert and release safely.
//
// Thread-safe as far as the trees and records given are used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "binding/value/binding_property.h"
#include "binding/value/binding_result.h"
#include "kiv/plugin_abi.h"

namespace Voro {

inline constexpr std::string_view kAbiIncompatibleTypeMessage =
    "Couldn't assign value to '%1' of type object because the input is of an incompatible "
    "type '%2'.";
inline constexpr std::string_view kAbiTooDeepMessage =
    "Couldn't assign value to '%1' because it is nested deeper than 1000 levels.";
inline constexpr size_t kMaxAbiNesting = 1000;

// Names enumeration values for the host. The type registry implements it.
class EnumNameResolver {
 public:
  virtual ~EnumNameResolver() = default;
  // Writes the name that `value` has in the enumeration whose type hash is `type_hash`;
  // false when the type is not registered or has no value with that number.
  // May be called from any thread.
  [[nodiscard]] virtual bool FindEnumValueName(uint32_t type_hash, int32_t value,
                                               std::string* name) const = 0;
};

// The error record of a conversion from a host record: the same layout as the first fields
// of HostResponse (a value area, an owned message, a failure flag). Zero-initialise it.
struct BindingAbiError {
  BindingAbiValue value;
  char* message;  // owned, from malloc; null when no failure was recorded
  uint32_t failed;
};
static_assert(offsetof(BindingAbiError, value) == offsetof(HostResponse, body));
static_assert(offsetof(BindingAbiError, message) == offsetof(HostResponse, error_text));
static_assert(offsetof(BindingAbiError, failed) == offsetof(HostResponse, failed));

// "bool", "signed", "unsigned", "float", "string" (5, 6), "blob" (7, 8), "collection",
// "structure" for tags 1 to 10; an empty text otherwise (also for tag 0).
std::string_view BindingAbiTagName(uint32_t tag);

// Builds the host record of `value`. Enums become "signed" unless `names` knows the name of
// their value, which is then sent as a string. Fields go in ascending key order.
// REQUIRES: *out holds nothing that needs releasing (it is overwritten).
// Release the result with ReleaseAbiValue. Throws std::bad_alloc when out of memory (out
// is then left "empty") and std::length_error for a blob beyond 4 GiB.
void ToAbiValue(const BindingProperty& value, BindingAbiValue* out,
                const EnumNameResolver* names = nullptr);

// Converts a host record into *out (whose old payload is replaced). On failure, fills
// *error (released and cleared first) with the message, sets its flag and returns false;
// what was converted before the failure stays in *out. `name` is what the message calls
// the value (e.g. "<result>").
[[nodiscard]] bool FromAbiValue(const BindingAbiValue& in, std::string_view name,
                                BindingProperty* out, BindingAbiError* error);
// The same, reporting through a BindingResult.
BindingResult FromAbiValue(const BindingAbiValue& in, std::string_view name);

// Frees owned strings, blobs, keys and arrays, recursively, and leaves the record zeroed
// with tag 0. Borrowed strings and blobs (tags 5 and 7) are not freed.
// REQUIRES: everything the record owns came from malloc.
void ReleaseAbiValue(BindingAbiValue* value);
// Releases the value area and the message and zeroes the record.
void ReleaseAbiError(BindingAbiError* error);

}  // namespace Voro
