// JSON text read into one BindingProperty tree.
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

// The same, read by RapidJSON's SAX reader alone: ParseJson gives exactly its results, and
// takes this path itself for every text its faster reader does not answer for (failures
// included). For the tests and the fuzz target that compare the two.
BindingResult ParseJsonWithRapidJson(std::string_view text);

}  // namespace Voro
