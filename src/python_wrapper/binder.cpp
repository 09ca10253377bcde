#include "binder.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace wordloom::python::binder_detail {
namespace {

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_name_list(const std::vector<std::string_view>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() == 2 ? " and " : i + 1 == names.size() ? ", and " : ", ";
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

// Whether the keyword spells the (ASCII) parameter name, compared by code
// point so that any str, with NUL or lone surrogates, can be told apart.
bool spells(PyObject* keyword, std::string_view parameter) {
  if (PyUnicode_GET_LENGTH(keyword) != static_cast<Py_ssize_t>(parameter.size())) return false;
  for (std::size_t i = 0; i < parameter.size(); ++i) {
    if (PyUnicode_READ_CHAR(keyword, static_cast<Py_ssize_t>(i)) != static_cast<Py_UCS4>(parameter[i])) return false;
  }
  return true;
}

// Places one call's arguments into the slots of its parameters.
class CallBinder {
 public:
  CallBinder(const SignatureView& signature, std::span<PyRef> slots) : signature_(signature), slots_(slots) {}

  void bind_positional(std::span<PyObject* const> positional) const {
    if (positional.size() > slots_.size()) raise_too_many_positional(positional.size());
    std::transform(positional.begin(), positional.end(), slots_.begin(), PyRef::borrow);
  }

  void bind_keyword(PyObject* keyword, PyObject* value) const {
    if (!PyUnicode_Check(keyword)) raise_error(PyExc_TypeError, "keywords must be strings");
    const auto& parameters = signature_.parameters;
    const auto found =
        std::find_if(parameters.begin(), parameters.end(), [keyword](auto name) { return spells(keyword, name); });
    if (found == parameters.end()) raise_unexpected_keyword(keyword);
    PyRef& slot = slots_[static_cast<std::size_t>(found - parameters.begin())];
    if (slot) fail("got multiple values for argument '" + std::string(*found) + "'");
    slot = PyRef::borrow(value);
  }

  // Only the leading required parameters can be missing; the others default.
  void check_required() const {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < signature_.required; ++i) {
      if (!slots_[i]) missing.push_back(signature_.parameters[i]);
    }
    if (missing.empty()) return;
    fail("missing " + std::to_string(missing.size()) + " required positional " +
         (missing.size() == 1 ? "argument: " : "arguments: ") + quoted_name_list(missing));
  }

 private:
  [[noreturn]] void raise_too_many_positional(std::size_t given) const {
    const std::size_t total = slots_.size();
    const std::string accepted = signature_.required == total
                                     ? std::to_string(total)
                                     : "from " + std::to_string(signature_.required) + " to " + std::to_string(total);
    fail("takes " + accepted + " positional arguments but " + std::to_string(given) +
         (given == 1 ? " was" : " were") + " given");
  }

  // The name is shown as the str it is (%U), not through UTF-8, which lone
  // surrogates would fail.
  [[noreturn]] void raise_unexpected_keyword(PyObject* keyword) const {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature_.full_name, keyword);
    throw PythonError{};
  }

  [[noreturn]] void fail(const std::string& text) const {
    raise_error(PyExc_TypeError, std::string(signature_.full_name) + " " + text);
  }

  const SignatureView& signature_;
  std::span<PyRef> slots_;
};

}  // namespace

void bind_vectorcall(const SignatureView& signature, std::span<PyRef> slots, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
  const CallBinder binder(signature, slots);
  binder.bind_positional({args, static_cast<std::size_t>(nargs)});
  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  // Keyword values follow the positional ones in `args`.
  for (Py_ssize_t i = 0; i < keyword_count; ++i) binder.bind_keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
  binder.check_required();
}

void bind_tuple_and_dict(const SignatureView& signature, std::span<PyRef> slots, PyObject* args,
                         PyObject* kwargs) {
  const CallBinder binder(signature, slots);
  binder.bind_positional({&PyTuple_GET_ITEM(args, 0), static_cast<std::size_t>(PyTuple_GET_SIZE(args))});
  PyObject* keyword = nullptr;
  PyObject* value = nullptr;
  for (Py_ssize_t position = 0; kwargs != nullptr && PyDict_Next(kwargs, &position, &keyword, &value);) {
    binder.bind_keyword(keyword, value);
  }
  binder.check_required();
}

void name_parameter_in_type_error(std::string_view parameter) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  const PyRef original = PyRef::steal(PyErr_GetRaisedException());
  const PyRef text = PyRef::steal(PyObject_Str(original.get()));
  if (!text) return;
  const PyRef named_text =
      PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", std::string(parameter).c_str(), text.get()));
  if (!named_text) return;
  PyRef named = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, named_text.get()));
  if (!named) return;
  if (PyObject* cause = PyException_GetCause(original.get())) PyException_SetCause(named.get(), cause);  // steals
  PyErr_SetRaisedException(named.release());  // steals
}

}  // namespace wordloom::python::binder_detail
