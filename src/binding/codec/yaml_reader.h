// YAML text read into one BindingProperty tree with libyaml's event parser.
#pragma once

#include <cstddef>
#include <string_view>

#include "binding/value/binding_result.h"

namespace Voro {

// Deeper containers are refused rather than decoded.
inline constexpr size_t kMaxYamlNesting = 1000;
// Values copied through aliases in one document; beyond it decoding fails, so that a
// document of nested aliases cannot expand without bound.
inline constexpr size_t kMaxYamlAliasNodes = 1000000;

// One document; a second one fails with "Multi-document YAML is not supported."
BindingResult ParseYaml(std::string_view text);

}  // namespace Voro
