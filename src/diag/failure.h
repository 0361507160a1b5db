// The failure record of the login code, and a value-or-failure result.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace Voro {

struct Failure {
  std::string id;           // log code, "ALE-" and eight hexadecimal digits
  std::string messageId;    // what a client translates, e.g. "INVALID_CREDENTIALS"
  std::string description;  // human-readable text
};

inline bool operator==(const Failure& a, const Failure& b) {
  return a.id == b.id && a.messageId == b.messageId && a.description == b.description;
}

// Either a value or a Failure. T may be void-like: use MaybeType<std::monostate>.
template <typename T>
class [[nodiscard]] MaybeType {
 public:
  MaybeType(T value) : state_(std::move(value)) {}            // NOLINT: implicit by design
  MaybeType(Failure failure) : state_(std::move(failure)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  // REQUIRES: ok().
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  // REQUIRES: !ok().
  const Failure& failure() const { return std::get<1>(state_); }

 private:
  std::variant<T, Failure> state_;
};

}  // namespace Voro
