// One-line makers of scalar BindingProperty values for test tables.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/value/binding_property.h"

namespace Voro::testing {

template <typename T>
BindingProperty Scalar(T value) {
  BindingProperty v;
  v = value;
  return v;
}
inline BindingProperty Str(std::string_view text) { return Scalar(text); }
inline BindingProperty Signed(int64_t n) { return Scalar(n); }
inline BindingProperty Unsigned(uint64_t n) { return Scalar(n); }
inline BindingProperty Float(double d) { return Scalar(d); }
inline BindingProperty Bool(bool b) { return Scalar(b); }

}  // namespace Voro::testing
