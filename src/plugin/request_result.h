// The outcome of a request to the host: a value of the requested type, or a failure with
// the host's (or our own) status code and a message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace Voro {

struct RequestFailure {
  int32_t status = 0;
  std::string message;
};

template <typename T = void>
class [[nodiscard]] RequestResult {
 public:
  RequestResult(T value) : state_(std::move(value)) {}  // NOLINT: implicit by design
  RequestResult(RequestFailure failure) : state_(std::move(failure)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  // REQUIRES: ok().
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  // REQUIRES: !ok().
  const RequestFailure& failure() const { return std::get<1>(state_); }

 private:
  std::variant<T, RequestFailure> state_;
};

// A request without a result value.
template <>
class [[nodiscard]] RequestResult<void> {
 public:
  RequestResult() = default;
  RequestResult(RequestFailure failure) : failure_(std::move(failure)) {}  // NOLINT

  bool ok() const { return !failure_.has_value(); }
  // REQUIRES: !ok().
  const RequestFailure& failure() const { return *failure_; }

 private:
  std::optional<RequestFailure> failure_;
};

}  // namespace Voro
