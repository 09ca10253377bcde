// Argument binding shared by every callable of the module: a signature row
// names the callable and its parameters, `bind` matches a call's positional
// and keyword arguments to them (raising every binding TypeError), and the
// bound arguments are then converted one by one in parameter order.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "errors.hpp"

namespace wordloom::python {

// A signature row of any length, as the non-template binding code takes it.
struct SignatureView {
  const char* full_name;
  std::span<const std::string_view> parameters;
  std::size_t required;
};

// One callable's parameters, all positional-or-keyword; the first `required`
// have no default.
template <std::size_t N>
struct Signature {
  const char* full_name;  // "Class.method()", as binding errors name the callable
  std::array<std::string_view, N> parameters;
  std::size_t required;

  SignatureView view() const { return {full_name, parameters, required}; }
};

namespace binder_detail {

// Fills `slots` (a reference to each argument given, empty when left out).
void bind_vectorcall(const SignatureView& signature, std::span<PyRef> slots, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames);
void bind_tuple_and_dict(const SignatureView& signature, std::span<PyRef> slots, PyObject* args,
                         PyObject* kwargs);

// Re-raises a pending TypeError as "argument '{parameter}': {text}", keeping
// its cause; any other pending error is left as it is.
void name_parameter_in_type_error(std::string_view parameter);

}  // namespace binder_detail

// The arguments of one call. Each is held by a reference of its own: a
// conversion can run Python code (__index__, __len__, __iter__) that drops
// the caller's references, for instance by clearing the keyword dict.
template <std::size_t N>
class BoundArguments {
 public:
  BoundArguments(const Signature<N>& signature, std::array<PyRef, N> slots)
      : signature_(signature), slots_(std::move(slots)) {}

  // The argument at `index`, which must have been given, through `converter`.
  template <typename Convert>
  auto convert(std::size_t index, Convert&& converter) const {
    try {
      return converter(slots_[index].get());
    } catch (const PythonError&) {
      binder_detail::name_parameter_in_type_error(signature_.parameters[index]);
      throw;
    }
  }

  // As convert, with `fallback` for an argument that was left out.
  template <typename T, typename Convert>
  T convert_or(std::size_t index, T fallback, Convert&& converter) const {
    return given(index) ? convert(index, converter) : std::move(fallback);
  }

  // As convert, with nothing for an argument that was left out or None.
  template <typename Convert>
  auto convert_optional(std::size_t index, Convert&& converter) const
      -> std::optional<decltype(converter(nullptr))> {
    if (!given(index) || slots_[index].get() == Py_None) return std::nullopt;
    return convert(index, converter);
  }

 private:
  bool given(std::size_t index) const { return static_cast<bool>(slots_[index]); }

  const Signature<N>& signature_;
  std::array<PyRef, N> slots_;
};

// Binds a fast call (METH_FASTCALL | METH_KEYWORDS).
template <std::size_t N>
BoundArguments<N> bind(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  std::array<PyRef, N> slots;
  binder_detail::bind_vectorcall(signature.view(), slots, args, nargs, kwnames);
  return {signature, std::move(slots)};
}

// Binds a call made with an argument tuple and a keyword dict (tp_new).
template <std::size_t N>
BoundArguments<N> bind(const Signature<N>& signature, PyObject* args, PyObject* kwargs) {
  std::array<PyRef, N> slots;
  binder_detail::bind_tuple_and_dict(signature.view(), slots, args, kwargs);
  return {signature, std::move(slots)};
}

}  // namespace wordloom::python
