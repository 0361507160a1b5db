// What an endpoint handler returns: a value of the declared result type T (nothing for
// void), or an error with a status and a message; either may carry a status (such as 201),
// a status text, response headers and a body stream.
//
//   EndpointReply<LoginSession> GetSession() {
//     if (!session) return EndpointReply<LoginSession>::Error(404, "No session ...");
//     return *session;                                  // a value, status left at 0
//   }
//   return EndpointReply<LoginSession>(session).Status(201);
//   return NotFound("...");   // any {status, message} record converts implicitly
#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "binding/router/call_result.h"

namespace Voro {

// A record with an integer `status` and a text `message` (for example EndpointError).
template <typename E>
concept EndpointErrorLike = requires(const E& e) {
  { e.status } -> std::convertible_to<int32_t>;
  { e.message } -> std::convertible_to<std::string_view>;
};

namespace internal {

// What replies of every result type share.
template <typename Derived>
class EndpointReplyBase {
 public:
  Derived& Status(int32_t status) & {
    status_ = status;
    return static_cast<Derived&>(*this);
  }
  Derived&& Status(int32_t status) && { return std::move(Status(status)); }
  Derived& StatusText(std::string text) & {
    status_text_ = std::move(text);
    return static_cast<Derived&>(*this);
  }
  Derived&& StatusText(std::string text) && { return std::move(StatusText(std::move(text))); }
  Derived& Header(std::string name, std::string value) & {
    headers_.insert_or_assign(std::move(name), std::move(value));
    return static_cast<Derived&>(*this);
  }
  Derived&& Header(std::string name, std::string value) && {
    return std::move(Header(std::move(name), std::move(value)));
  }
  // The response flag byte and response code, handed to the host unread.
  Derived& Flags(uint8_t response_flag, uint32_t response_code) & {
    response_flag_ = response_flag;
    response_code_ = response_code;
    return static_cast<Derived&>(*this);
  }
  Derived&& Flags(uint8_t response_flag, uint32_t response_code) && {
    return std::move(Flags(response_flag, response_code));
  }
  Derived& Stream(std::unique_ptr<ResponseBodyStream> stream) & {
    stream_ = std::move(stream);
    return static_cast<Derived&>(*this);
  }
  Derived&& Stream(std::unique_ptr<ResponseBodyStream> stream) && {
    return std::move(Stream(std::move(stream)));
  }

  bool failed() const { return error_.has_value(); }
  int32_t status() const { return status_; }
  // The error message; empty unless failed().
  std::string_view error() const { return error_ ? std::string_view(*error_) : std::string_view(); }

  // Moves everything but the value into *call; an error becomes the call's error.
  void MoveInto(CallResult* call) {
    call->status = status_;
    call->status_text = std::move(status_text_);
    call->headers = std::move(headers_);
    call->response_flag = response_flag_;
    call->response_code = response_code_;
    call->body_stream = std::move(stream_);
    if (error_) call->MakeError(*error_);
  }

 protected:
  EndpointReplyBase() = default;
  EndpointReplyBase(int32_t status, std::string message)
      : status_(status), error_(std::move(message)) {}

 private:
  int32_t status_ = 0;
  std::string status_text_;
  std::map<std::string, std::string> headers_;
  uint8_t response_flag_ = 0;
  uint32_t response_code_ = 0;
  std::unique_ptr<ResponseBodyStream> stream_;
  std::optional<std::string> error_;
};

}  // namespace internal

template <typename T = void>
class [[nodiscard]] EndpointReply : public internal::EndpointReplyBase<EndpointReply<T>> {
  using Base = internal::EndpointReplyBase<EndpointReply<T>>;

 public:
  using ValueType = T;

  // A default value of T.
  EndpointReply() : value_() {}
  // NOLINTNEXTLINE(google-explicit-constructor): handlers return plain values
  EndpointReply(T value) : value_(std::move(value)) {}
  template <EndpointErrorLike E>
  // NOLINTNEXTLINE(google-explicit-constructor): handlers return NotFound(...) and the like
  EndpointReply(const E& error) : Base(error.status, std::string(error.message)) {}

  static EndpointReply Error(int32_t status, std::string message) {
    return EndpointReply(status, std::move(message));
  }

  // REQUIRES: !failed() for a meaningful value.
  T& value() { return value_; }
  const T& value() const { return value_; }

 private:
  EndpointReply(int32_t status, std::string message) : Base(status, std::move(message)), value_() {}

  T value_;
};

template <>
class [[nodiscard]] EndpointReply<void> : public internal::EndpointReplyBase<EndpointReply<void>> {
  using Base = internal::EndpointReplyBase<EndpointReply<void>>;

 public:
  using ValueType = void;

  EndpointReply() = default;
  template <EndpointErrorLike E>
  // NOLINTNEXTLINE(google-explicit-constructor)
  EndpointReply(const E& error) : Base(error.status, std::string(error.message)) {}

  static EndpointReply Error(int32_t status, std::string message) {
    return EndpointReply(status, std::move(message));
  }

 private:
  EndpointReply(int32_t status, std::string message) : Base(status, std::move(message)) {}
};

}  // namespace Voro
