// The result of a conversion or a decoder: a value and a success flag. On failure the value
// is the structure {"error": message}. The first failure of an operation wins: converters
// check ok() before doing more work.
#pragma once

#include <optional>
#include <string_view>
#include <utility>

#include "binding/value/binding_property.h"

namespace Voro {

// An argument that may be left out. An engaged optional may still hold an "empty" value,
// which is not the same as a value left out.
using OptionalBindingProperty = std::optional<BindingProperty>;

class [[nodiscard]] BindingResult {
 public:
  // Success with an "empty" value.
  BindingResult() = default;
  explicit BindingResult(BindingProperty value) : value_(std::move(value)) {}

  static BindingResult Error(std::string_view message) {
    BindingResult result;
    result.MakeError(message);
    return result;
  }

  bool ok() const { return ok_; }
  BindingProperty& value() { return value_; }
  const BindingProperty& value() const { return value_; }

  // Clears the flag and makes the value {"error": message}.
  void MakeError(std::string_view message);
  // Empty when ok(); otherwise the "error" field's text (empty when it is missing or is not
  // a string). Valid while the result is unchanged.
  std::string_view error() const;

 private:
  BindingProperty value_;
  bool ok_ = true;
};

}  // namespace Voro
