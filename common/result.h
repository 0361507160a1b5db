// Success or a failure's text, for the host, the simulator and the tools: Status when there
// is nothing to hand back, Result<T> when there is a value. A success carries no text.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace kiv {

// A failure, convertible to either kind of result: `return kiv::Error{"no such file"};`.
struct Error {
  std::string text;
};

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error failure) : failed_(true), error_(std::move(failure.text)) {}  // NOLINT

  bool ok() const { return !failed_; }
  // Empty when ok().
  const std::string& error() const { return error_; }

 private:
  bool failed_ = false;
  std::string error_;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}          // NOLINT
  Result(Error failure) : state_(std::in_place_index<1>, std::move(failure)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  // REQUIRES: ok().
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  // Empty when ok().
  const std::string& error() const {
    static const std::string kNone;
    return ok() ? kNone : std::get<1>(state_).text;
  }

 private:
  std::variant<T, Error> state_;
};

}  // namespace kiv
