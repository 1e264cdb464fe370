#pragma once

// The one way a function of this project reports failure: a value, or an
// error that carries a code of the caller's own enum (so callers and tests
// tell errors apart without reading messages) and a message for people.

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace maroquint::base {

template <typename ErrorCode>
struct Error {
  ErrorCode code;
  std::string message;
};

template <typename ErrorCode>
Error<ErrorCode> Fail(ErrorCode code, std::string message) {
  return Error<ErrorCode>{code, std::move(message)};
}

template <typename T, typename ErrorCode>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error<ErrorCode> error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool Ok() const { return state_.index() == 0; }
  explicit operator bool() const { return Ok(); }

  // Only on success: reading the value of a failure is a programming error.
  const T &Value() const & { return std::get<0>(state_); }
  T &Value() & { return std::get<0>(state_); }
  T &&Value() && { return std::get<0>(std::move(state_)); }
  const T *operator->() const { return &Value(); }
  T *operator->() { return &Value(); }
  const T &operator*() const { return Value(); }
  T &operator*() { return Value(); }

  // Only on failure.
  const Error<ErrorCode> &Err() const { return std::get<1>(state_); }
  ErrorCode Code() const { return Err().code; }
  const std::string &Message() const { return Err().message; }

 private:
  std::variant<T, Error<ErrorCode>> state_;
};

// Success with nothing to return; default-constructed it is a success.
template <typename ErrorCode>
class [[nodiscard]] Result<void, ErrorCode> {
 public:
  Result() = default;
  Result(Error<ErrorCode> error) : error_(std::move(error)) {}

  bool Ok() const { return !error_; }
  explicit operator bool() const { return Ok(); }

  const Error<ErrorCode> &Err() const { return *error_; }
  ErrorCode Code() const { return error_->code; }
  const std::string &Message() const { return error_->message; }

 private:
  std::optional<Error<ErrorCode>> error_;
};

template <typename ErrorCode>
using Status = Result<void, ErrorCode>;

}  // namespace maroquint::base
