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

// Fills `slots` (one borrowed argument per parameter, NULL when left out).
void bind_vectorcall(const SignatureView& signature, std::span<PyObject*> slots, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames);
void bind_tuple_and_dict(const SignatureView& signature, std::span<PyObject*> slots, PyObject* args,
                         PyObject* kwargs);

// Re-raises a pending TypeError as "argument '{parameter}': {text}", keeping
// its cause; any other pending error is left as it is.
void name_parameter_in_type_error(std::string_view parameter);

}  // namespace binder_detail

template <std::size_t N>
class BoundArguments {
 public:
  BoundArguments(const Signature<N>& signature, const std::array<PyObject*, N>& slots)
      : signature_(signature), slots_(slots) {}

  // The argument at `index`, which must have been given, through `converter`.
  template <typename Convert>
  auto convert(std::size_t index, Convert&& converter) const {
    try {
      return converter(slots_[index]);
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
    if (!given(index) || slots_[index] == Py_None) return std::nullopt;
    return convert(index, converter);
  }

 private:
  bool given(std::size_t index) const { return slots_[index] != nullptr; }

  const Signature<N>& signature_;
  std::array<PyObject*, N> slots_;
};

// Binds a fast call (METH_FASTCALL | METH_KEYWORDS).
template <std::size_t N>
BoundArguments<N> bind(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  std::array<PyObject*, N> slots{};
  binder_detail::bind_vectorcall(signature.view(), slots, args, nargs, kwnames);
  return {signature, slots};
}

// Binds a call made with an argument tuple and a keyword dict (tp_new).
template <std::size_t N>
BoundArguments<N> bind(const Signature<N>& signature, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, N> slots{};
  binder_detail::bind_tuple_and_dict(signature.view(), slots, args, kwargs);
  return {signature, slots};
}

}  // namespace wordloom::python
