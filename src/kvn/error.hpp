// CodecError and Result: how every fallible operation of the library reports
// failure. Errors travel as values up to the binding; nothing throws out of
// the library.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace kelvane::kvn {

enum class ErrorKind : std::uint8_t { InvalidData, UnexpectedEof, Other };

// The display text of an error is its message alone.
struct CodecError {
  ErrorKind kind = ErrorKind::Other;
  std::string message;

  const std::string& what() const noexcept { return message; }
  friend bool operator==(const CodecError&, const CodecError&) = default;
};

inline CodecError invalid_data(std::string message) {
  return {ErrorKind::InvalidData, std::move(message)};
}
inline CodecError unexpected_eof(std::string message) {
  return {ErrorKind::UnexpectedEof, std::move(message)};
}
inline CodecError other_error(std::string message) {
  return {ErrorKind::Other, std::move(message)};
}

// The message used wherever an allocation fails.
inline constexpr const char* kOutOfMemory = "out of memory";

// A value or a CodecError.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(CodecError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }

  const CodecError& error() const& { return std::get<1>(state_); }
  CodecError&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, CodecError> state_;
};

// Success or a CodecError.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(CodecError error) : error_(std::move(error)) {}

  bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }

  const CodecError& error() const& { return *error_; }
  CodecError&& error() && { return std::move(*error_); }

 private:
  std::optional<CodecError> error_;
};

using Status = Result<void>;

// Runs `body` (which returns a Result) and turns an allocation failure inside
// it into a CodecError of kind Other, so no std::bad_alloc leaves the library.
template <class F>
auto guard_alloc(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return other_error(kOutOfMemory);
  } catch (const std::length_error&) {
    return other_error(kOutOfMemory);
  }
}

}  // namespace kelvane::kvn

#define KVN_CONCAT_INNER(a, b) a##b
#define KVN_CONCAT(a, b) KVN_CONCAT_INNER(a, b)

// Returns a CodecError of the given kind and message when `cond` holds.
#define KVN_RETURN_ERROR_IF(cond, kind, message)                                      \
  do {                                                                                \
    if (cond) {                                                                       \
      return ::kelvane::kvn::CodecError{::kelvane::kvn::ErrorKind::kind, (message)};  \
    }                                                                                 \
  } while (0)

// Passes an error of `expr` (a Result) up to the caller.
#define KVN_RETURN_IF_ERROR(expr)                            \
  do {                                                       \
    auto&& kvn_status_ = (expr);                             \
    if (!kvn_status_.ok()) return std::move(kvn_status_).error(); \
  } while (0)

// Evaluates `expr` (a Result<T>); on error returns it, else moves the value
// into `lhs` (a declaration such as `auto x` or an existing variable).
#define KVN_ASSIGN_OR_RETURN(lhs, expr)                                  \
  auto KVN_CONCAT(kvn_result_, __LINE__) = (expr);                       \
  if (!KVN_CONCAT(kvn_result_, __LINE__).ok())                           \
    return std::move(KVN_CONCAT(kvn_result_, __LINE__)).error();         \
  lhs = std::move(KVN_CONCAT(kvn_result_, __LINE__)).value()
