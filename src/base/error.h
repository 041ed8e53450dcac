// Error values and Result<T>: how every fallible operation in dovek reports
// failure. Domain failures are values, never exceptions; an exception means a
// broken invariant (or std::bad_alloc) and is caught at the Python boundary.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace dovek {

// A message plus an optional chain of causes. Plain display (message()) is
// the outermost message only, which is all Python ever sees; chain() shows
// every cause for diagnostics.
//
// Thread safety: immutable after construction; copies share the cause chain.
class Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  Error(std::string message, Error cause)
      : message_(std::move(message)), cause_(std::make_shared<const Error>(std::move(cause))) {}

  const std::string& message() const { return message_; }
  // The error directly under this one, or nullptr.
  const Error* cause() const { return cause_.get(); }
  // The innermost error of the chain (this one when there is no cause).
  const Error& root_cause() const {
    const Error* e = this;
    while (e->cause_) e = e->cause_.get();
    return *e;
  }
  // "outer: cause: inner cause", for logs and test failure output.
  std::string chain() const {
    std::string out = message_;
    for (const Error* e = cause(); e != nullptr; e = e->cause()) {
      out += ": ";
      out += e->message_;
    }
    return out;
  }

 private:
  std::string message_;
  std::shared_ptr<const Error> cause_;
};

// Wraps `cause` in a context message: context("read x", e).message() == "read x".
inline Error context(std::string message, Error cause) {
  return Error(std::move(message), std::move(cause));
}

struct Unit {};

// Either a T or an Error. Our own small expected-like type: libstdc++ 12's
// std::expected does not compile under clang, which the fuzzers need.
template <class T>
class [[nodiscard]] Result {
 public:
  using value_type = T;

  Result(const T& value) : v_(std::in_place_index<0>, value) {}  // NOLINT: implicit by design
  Result(T&& value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  // The value built in place from `args`.
  template <class... Args>
  explicit Result(std::in_place_t, Args&&... args)
      : v_(std::in_place_index<0>, std::forward<Args>(args)...) {}
  template <class U, class = std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                              !std::is_same_v<std::decay_t<U>, T> &&
                                              !std::is_same_v<std::decay_t<U>, Error> &&
                                              !std::is_same_v<std::decay_t<U>, Result>>>
  Result(U&& value) : v_(std::in_place_index<0>, T(std::forward<U>(value))) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok().
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }

  // REQUIRES: !ok().
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

// Result of an operation that returns nothing on success.
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

// Wraps the error of a failed result in a context message; passes success through.
template <class T>
Result<T> with_context(Result<T> result, std::string message) {
  if (result.ok()) return result;
  return context(std::move(message), std::move(result).error());
}

}  // namespace dovek

#define DOVEK_CONCAT_INNER_(a, b) a##b
#define DOVEK_CONCAT_(a, b) DOVEK_CONCAT_INNER_(a, b)

// Evaluates `expr` (a Result or Status); on failure returns its error from the
// enclosing function.
#define DOVEK_TRY(expr)                                                       \
  do {                                                                        \
    auto&& dovek_try_result_ = (expr);                                        \
    if (!dovek_try_result_.ok()) return std::move(dovek_try_result_).error(); \
  } while (0)

// `DOVEK_ASSIGN_OR_RETURN(auto x, f());` declares x from a successful result,
// or returns the error from the enclosing function.
#define DOVEK_ASSIGN_OR_RETURN(lhs, expr) \
  DOVEK_ASSIGN_OR_RETURN_IMPL_(DOVEK_CONCAT_(dovek_result_, __LINE__), lhs, expr)
#define DOVEK_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr) \
  auto tmp = (expr);                                 \
  if (!tmp.ok()) return std::move(tmp).error();      \
  lhs = std::move(tmp).value()
