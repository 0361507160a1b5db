// Native values written straight into the host's BindingAbiValue records, without a value
// tree in between: what endpoints do with every result they return.
//
// The record is exactly the one ToAbiValue builds from the binding form of the value
// (NativeToBinding), with the registry naming enumerations: the same tags, payloads,
// allocations and keys in ascending byte order, with omit-default fields left out by the
// same rule (IsDefaultBindingValue) and the same first failure. Records whose field names
// repeat, values held as BindingProperty and fields with converters other than the
// optional one go through a value tree for that part, so they agree by construction.
//
// Threads: uses only the value given; registry lookups lock the registry.
#pragma once

#include <string>

#include "binding/types/native_kind.h"
#include "binding/types/type_registry.h"
#include "kiv/plugin_abi.h"

namespace Voro {

// Writes the host record of the native value at `native` (of kind `type`) into *out.
// Returns false with the conversion's message in *error when the value has no binding form
// (an unregistered record, a field without a converter) or cannot become a host record
// (a text or blob beyond 4 GiB, no memory: the exception's text); *out is then released.
// Throws std::length_error, with *out released, for a vector longer than a value tree may
// be (as NativeToBinding does).
// REQUIRES: *out is zeroed. Release a written record with ReleaseAbiValue.
[[nodiscard]] bool NativeToAbiValue(BindingAbiValue* out, const void* native, const KindData& type,
                                    const TypeRegistry& registry, std::string* error);

}  // namespace Voro
