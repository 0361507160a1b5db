// The fast path of the JSON reader: simdjson parses, and the tree is built from its
// document. It only answers for texts whose result it can vouch for; the RapidJSON reader
// gives every other result, failures included.
#pragma once

#include <string_view>

#include "binding/value/binding_property.h"

namespace Voro {

// Reads `text` into `root` (an "empty" root) and returns true when the result is certainly
// the one the RapidJSON reader gives. Returns false, with `root` left "empty", when the text
// fails to parse, nests deeper than kMaxJsonNesting, is larger than the fast path takes,
// or holds a number that RapidJSON might refuse; the caller then reads it with RapidJSON.
bool ReadJsonWithSimdjson(std::string_view text, BindingProperty* root);

}  // namespace Voro
