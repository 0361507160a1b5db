// One-line makers of scalar BindingProperty values for test tables.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/binding_property.h"

namespace Voro::testing {

inline BindingProperty Str(std::string_view text) {
  BindingProperty v;
  v = text;
  return v;
}
inline BindingProperty Signed(int64_t n) {
  BindingProperty v;
  v.SetSigned(n);
  return v;
}
inline BindingProperty Unsigned(uint64_t n) {
  BindingProperty v;
  v.SetUnsigned(n);
  return v;
}
inline BindingProperty Float(double d) {
  BindingProperty v;
  v.SetFloat(d);
  return v;
}
inline BindingProperty Bool(bool b) {
  BindingProperty v;
  v.SetBool(b);
  return v;
}

}  // namespace Voro::testing
