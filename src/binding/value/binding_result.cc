#include "binding/value/binding_result.h"

#include <string>

namespace Voro {

namespace {
constexpr std::string_view kErrorField = "error";
}  // namespace

void BindingResult::MakeError(std::string_view message) {
  // The message may live in this very value; keep a copy across the reset.
  const std::string text(message);
  value_.Reset();
  ok_ = false;
  value_.MutableField(kErrorField).SetString(text);
}

std::string_view BindingResult::error() const {
  if (ok_) return {};
  return value_.Field(kErrorField).GetString();
}

}  // namespace Voro
