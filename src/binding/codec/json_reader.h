// JSON text read into one BindingProperty tree with RapidJSON's SAX reader.
#pragma once

#include <cstddef>
#include <string_view>

#include "binding/value/binding_result.h"

namespace Voro {

// Deeper containers are refused rather than decoded.
inline constexpr size_t kMaxJsonNesting = 1000;

// One document over the whole text. An empty or all-whitespace text gives success with an
// "empty" value; a reader error gives "Error: <reader message> at offset <n>."
BindingResult ParseJson(std::string_view text);

}  // namespace Voro
