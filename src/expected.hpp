// A minimal value-or-error type shaped like std::expected (C++23), so that a
// later switch to the standard one is a rename.
#pragma once

#include <optional>
#include <utility>
#include <variant>

namespace wordloom {

template <typename E>
class unexpected {
 public:
  explicit unexpected(E error) : error_(std::move(error)) {}
  E& error() & { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_;
};

template <typename T, typename E>
class expected {
 public:
  expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  expected(unexpected<E> error) : state_(std::in_place_index<1>, std::move(error).error()) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

template <typename E>
class expected<void, E> {
 public:
  expected() = default;
  expected(unexpected<E> error) : error_(std::in_place, std::move(error).error()) {}

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }
  void value() const {}

  const E& error() const& { return *error_; }
  E&& error() && { return std::move(*error_); }

 private:
  std::optional<E> error_;
};

}  // namespace wordloom
