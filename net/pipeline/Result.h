#pragma once
// Result is the outcome of turning a finished HTTP exchange into a typed value: `success` with the
// value, or `failure` with the error that stopped it. AnyError, in this header too, is the error
// currency of the whole client: one shared, immutable error object behind a handle, so that every
// copy of a result, response or thrown error refers to the very same error.
//
// Throwing: where the client's operations can fail they throw an AnyError (the module's stand-in
// for a thrown error). Callbacks handed to Result may throw anything; what they throw is turned
// into an AnyError by AnyError::fromCurrentException (an AnyError passes through untouched).
//
// Result<V> is a value: copying copies the value and shares the error. It never blocks and is safe
// to read from any thread; it is not safe to assign to while another thread reads it.
#include <charconv>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

namespace pipeline {

namespace detail {

// The readable name of a C++ type, for errors and values that describe themselves no better.
std::string typeName(const std::type_info& type);

template <class T>
concept HasDescription = requires(const T& t) {
  { t.description() } -> std::convertible_to<std::string>;
};
template <class T>
concept HasLocalizedDescription = requires(const T& t) {
  { t.localizedDescription() } -> std::convertible_to<std::string>;
};
template <class T>
concept HasErrorDescription = requires(const T& t) {
  { t.errorDescription() } -> std::convertible_to<std::optional<std::string>>;
};
template <class T>
concept HasWhat = requires(const T& t) {
  { t.what() } -> std::convertible_to<std::string>;
};
template <class T>
concept Streamable = requires(std::ostream& out, const T& t) { out << t; };

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsSharedPtr : std::false_type {};
template <class T>
struct IsSharedPtr<std::shared_ptr<T>> : std::true_type {};
template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};

}  // namespace detail

// The plain textual form of a value, as string interpolation would show it: text as itself,
// Booleans as true/false, numbers in their shortest form, bytes as "N bytes", absent values as
// "nil", lists as "[a, b]", objects through their description(). Never fails.
template <class T>
std::string textualForm(const T& value) {
  if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return std::string(std::string_view(value));
  } else if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_arithmetic_v<T>) {
    char buffer[64];
    auto [end, code] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return code == std::errc() ? std::string(buffer, end) : std::string("?");
  } else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>) {
    return std::to_string(value.size()) + " bytes";
  } else if constexpr (detail::HasDescription<T>) {
    return value.description();
  } else if constexpr (detail::IsOptional<T>::value || detail::IsSharedPtr<T>::value) {
    return value ? textualForm(*value) : std::string("nil");
  } else if constexpr (detail::IsVector<T>::value) {
    std::string out = "[";
    for (std::size_t i = 0; i < value.size(); ++i) out += (i ? ", " : "") + textualForm(value[i]);
    return out + "]";
  } else if constexpr (detail::Streamable<T>) {
    std::ostringstream out;
    out << value;
    return out.str();
  } else {
    return detail::typeName(typeid(T));
  }
}

// A shared handle on one immutable error of any type: a PipelineError, a foundation::Error from
// the platform, an AdaptError, or whatever a caller's callback raised. Copies share the error
// object; two handles are equal only when they refer to the same object. Never empty.
// Thread-safe to copy and read.
class AnyError {
 public:
  // Wraps `error` in a new shared error object.
  template <class E>
    requires(std::is_class_v<std::decay_t<E>> && !std::is_same_v<std::decay_t<E>, AnyError>)
  AnyError(E&& error) : box_(std::make_shared<const Box<std::decay_t<E>>>(std::forward<E>(error))) {}

  // The wrapped error when it is exactly of type E, else nullptr. The pointer lives as long as
  // any handle on this error.
  template <class E>
  const E* as() const {
    return box_->type() == typeid(E) ? static_cast<const E*>(box_->get()) : nullptr;
  }
  template <class E>
  bool is() const { return as<E>() != nullptr; }
  const std::type_info& type() const { return box_->type(); }

  // The user-facing message: a platform error's localized description, a PipelineError's
  // errorDescription, else the platform's generic "The operation couldn’t be completed." text.
  std::string localizedDescription() const { return box_->localizedDescription(); }
  // The full textual form of the error value, as a debugging print shows it.
  std::string description() const { return box_->description(); }

  // Identity: the same error object.
  bool operator==(const AnyError& other) const { return box_ == other.box_; }
  const void* identity() const { return box_.get(); }

  // Throws this handle (the same error object, not a copy of the error).
  [[noreturn]] void raise() const { throw *this; }

  // Call only inside a catch block: the error being handled as an AnyError. An AnyError passes
  // through with its identity; PipelineError, foundation::Error and AdaptError values are wrapped;
  // standard exceptions keep their what() text; anything else becomes a generic error.
  static AnyError fromCurrentException();

 private:
  struct Concept {
    virtual ~Concept() = default;
    virtual const std::type_info& type() const = 0;
    virtual const void* get() const = 0;
    virtual std::string localizedDescription() const = 0;
    virtual std::string description() const = 0;
  };

  template <class E>
  struct Box final : Concept {
    template <class Arg>
    explicit Box(Arg&& arg) : value(std::forward<Arg>(arg)) {}
    const std::type_info& type() const override { return typeid(E); }
    const void* get() const override { return &value; }
    std::string localizedDescription() const override {
      if constexpr (detail::HasLocalizedDescription<E>) {
        return value.localizedDescription();
      } else if constexpr (detail::HasErrorDescription<E>) {
        if (auto text = value.errorDescription()) return *text;
        return genericDescription(typeid(E));
      } else if constexpr (detail::HasWhat<E>) {
        return value.what();
      } else {
        return genericDescription(typeid(E));
      }
    }
    std::string description() const override {
      if constexpr (detail::HasDescription<E>) {
        return value.description();
      } else if constexpr (detail::HasWhat<E>) {
        return value.what();
      } else {
        return detail::typeName(typeid(E));
      }
    }
    E value;
  };

  static std::string genericDescription(const std::type_info& type);

  std::shared_ptr<const Concept> box_;
};

// Thrown text that was not an error type of this system, kept as an error value: a standard
// exception's what() text, or a note that something unknown was thrown.
struct ThrownException {
  std::string typeName;
  std::string message;
  std::string localizedDescription() const { return message; }
  std::string description() const { return typeName + "(\"" + message + "\")"; }
};

// The value-or-error outcome. `success` and `failure` are the two cases, in this order; a Result
// always holds one of them.
template <class V>
class Result {
 public:
  using ValueType = V;
  struct Success {
    V value;
  };
  struct Failure {
    AnyError error;
  };

  static Result success(V value) { return Result(Success{std::move(value)}); }
  static Result failure(AnyError error) { return Result(Failure{std::move(error)}); }
  explicit Result(Success s) : storage_(std::move(s)) {}
  explicit Result(Failure f) : storage_(std::move(f)) {}

  // init(value:): calls `value` once; `success` with what it returns, `failure` with what it
  // throws (see AnyError::fromCurrentException). Never throws itself.
  template <class F>
    requires(std::is_invocable_r_v<V, F&> && !std::is_convertible_v<F, V> &&
             !std::is_same_v<std::decay_t<F>, Success> && !std::is_same_v<std::decay_t<F>, Failure>)
  explicit Result(F&& value) : storage_(capture(value)) {}

  bool isSuccess() const { return std::holds_alternative<Success>(storage_); }
  bool isFailure() const { return !isSuccess(); }
  // The success payload (a copy), or nothing for a failure.
  std::optional<V> value() const {
    if (auto* s = std::get_if<Success>(&storage_)) return s->value;
    return std::nullopt;
  }
  // The failure's error (the same object), or nothing for a success.
  std::optional<AnyError> error() const {
    if (auto* f = std::get_if<Failure>(&storage_)) return f->error;
    return std::nullopt;
  }
  // The cases for pattern matching.
  const std::variant<Success, Failure>& cases() const { return storage_; }

  // "SUCCESS" or "FAILURE"; the payload is not shown.
  std::string description() const { return isSuccess() ? "SUCCESS" : "FAILURE"; }
  // "SUCCESS: " or "FAILURE: " followed by the payload's textual form.
  std::string debugDescription() const {
    if (auto* s = std::get_if<Success>(&storage_)) return "SUCCESS: " + textualForm(s->value);
    return "FAILURE: " + std::get<Failure>(storage_).error.description();
  }

  // The success payload; for a failure, throws the stored AnyError itself.
  const V& unwrap() const {
    if (auto* s = std::get_if<Success>(&storage_)) return s->value;
    std::get<Failure>(storage_).error.raise();
  }

  // `success(transform(v))`; a failure passes through with the same error, transform not called.
  template <class F>
  auto map(F&& transform) const -> Result<std::decay_t<std::invoke_result_t<F&, const V&>>> {
    using W = std::decay_t<std::invoke_result_t<F&, const V&>>;
    if (auto* s = std::get_if<Success>(&storage_)) return Result<W>::success(transform(s->value));
    return Result<W>::failure(std::get<Failure>(storage_).error);
  }
  // As map, but what `transform` throws becomes the failure; nothing reaches the caller.
  template <class F>
  auto flatMap(F&& transform) const -> Result<std::decay_t<std::invoke_result_t<F&, const V&>>> {
    using W = std::decay_t<std::invoke_result_t<F&, const V&>>;
    if (auto* s = std::get_if<Success>(&storage_)) {
      try {
        return Result<W>::success(transform(s->value));
      } catch (...) {
        return Result<W>::failure(AnyError::fromCurrentException());
      }
    }
    return Result<W>::failure(std::get<Failure>(storage_).error);
  }
  // `failure(transform(e))` (any error type; an AnyError is kept as it is); a success passes
  // through, transform not called.
  template <class F>
  Result mapError(F&& transform) const {
    if (auto* f = std::get_if<Failure>(&storage_)) return failure(AnyError(transform(f->error)));
    return *this;
  }
  // As mapError, but what `transform` throws becomes the stored error.
  template <class F>
  Result flatMapError(F&& transform) const {
    if (auto* f = std::get_if<Failure>(&storage_)) {
      try {
        return failure(AnyError(transform(f->error)));
      } catch (...) {
        return failure(AnyError::fromCurrentException());
      }
    }
    return *this;
  }

  // Side effects; each returns a copy of this result. What the callback throws reaches the caller.
  template <class F>
  Result withValue(F&& callback) const {
    if (auto* s = std::get_if<Success>(&storage_)) callback(s->value);
    return *this;
  }
  template <class F>
  Result withError(F&& callback) const {
    if (auto* f = std::get_if<Failure>(&storage_)) callback(f->error);
    return *this;
  }
  template <class F>
  Result ifSuccess(F&& callback) const {
    if (isSuccess()) callback();
    return *this;
  }
  template <class F>
  Result ifFailure(F&& callback) const {
    if (isFailure()) callback();
    return *this;
  }

 private:
  template <class F>
  static std::variant<Success, Failure> capture(F& callback) {
    try {
      return Success{callback()};
    } catch (...) {
      return Failure{AnyError::fromCurrentException()};
    }
  }

  std::variant<Success, Failure> storage_;
};

}  // namespace pipeline
