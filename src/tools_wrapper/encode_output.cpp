// Text i of an encoded batch has ids[offsets[i]:offsets[i + 1]]. Each text
// becomes one piece of output per field: the field's entries for those ids
// joined by its separator, between its prefix and suffix. The text is built
// with the interpreter lock released, so that a writer thread formats one
// batch while the next one is encoded.
#include "encode_output.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arguments.hpp"
#include "binder.hpp"
#include "conversions.hpp"
#include "interpreter_lock.hpp"

namespace wordloom::python {
namespace {

// A one-dimensional buffer of native unsigned integers of struct code
// `code`, held (so that its exporter keeps it unchanged) while this lives.
template <typename Item, char code>
class HeldNumbers {
 public:
  explicit HeldNumbers(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) throw PythonError{};
    if (view_.ndim != 1 || view_.itemsize != sizeof(Item) || !is_native_code(view_.format)) {
      PyBuffer_Release(&view_);
      PyErr_Format(PyExc_TypeError, "expected a one-dimensional buffer of format '%c'", code);
      throw PythonError{};
    }
  }
  ~HeldNumbers() { PyBuffer_Release(&view_); }
  HeldNumbers(const HeldNumbers&) = delete;
  HeldNumbers& operator=(const HeldNumbers&) = delete;

  std::span<const Item> items() const {
    return {static_cast<const Item*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(Item)};
  }

 private:
  // "I", "@I" or "=I" for code I: native byte order.
  static bool is_native_code(const char* format) {
    const std::string_view text = format != nullptr ? format : "B";
    const std::string_view bare = text.starts_with('@') || text.starts_with('=') ? text.substr(1) : text;
    return bare.size() == 1 && bare[0] == code;
  }

  Py_buffer view_{};
};

using HeldIds = HeldNumbers<TokenId, 'I'>;
using HeldOffsets = HeldNumbers<std::uint64_t, 'Q'>;

template <typename Held>
Held to_held(PyObject* object) {
  return Held(object);
}

// Byte strings by index, stored one after another.
class Table {
 public:
  void add(std::string_view entry) {
    text_ += entry;
    ends_.push_back(text_.size());
  }
  std::size_t size() const { return ends_.size(); }
  std::string_view operator[](std::size_t index) const {
    const std::size_t start = index == 0 ? 0 : ends_[index - 1];
    return std::string_view(text_).substr(start, ends_[index] - start);
  }

 private:
  std::string text_;
  std::vector<std::size_t> ends_;
};

struct Field {
  std::string prefix;
  std::optional<Table> table;  // none: the ids themselves in decimal
  std::string separator;
  std::string suffix;
};

Table to_table(PyObject* object) {
  const PyRef entries = checked(PySequence_Fast(object, "a table must be a sequence of bytes"));
  Table table;
  for (PyObject* entry : std::span(PySequence_Fast_ITEMS(entries.get()), PySequence_Fast_GET_SIZE(entries.get()))) {
    table.add(to_bytes(entry));
  }
  return table;
}

// (prefix, table or None, separator, suffix), the texts as bytes.
Field to_field(PyObject* object) {
  if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) != 4) {
    raise_cannot_convert(object, "tuple (prefix, table, separator, suffix)");
  }
  PyObject* table = PyTuple_GET_ITEM(object, 1);
  return {std::string(to_bytes(PyTuple_GET_ITEM(object, 0))),
          table == Py_None ? std::nullopt : std::optional(to_table(table)),
          std::string(to_bytes(PyTuple_GET_ITEM(object, 2))), std::string(to_bytes(PyTuple_GET_ITEM(object, 3)))};
}

std::vector<Field> to_fields(PyObject* object) {
  const PyRef items = checked(PySequence_Fast(object, "fields must be a sequence"));
  std::vector<Field> fields;
  for (PyObject* item : std::span(PySequence_Fast_ITEMS(items.get()), PySequence_Fast_GET_SIZE(items.get()))) {
    fields.push_back(to_field(item));
  }
  return fields;
}

// ValueError unless every text's ids lie within `ids` and within each table.
void check_indices(std::span<const TokenId> ids, std::span<const std::uint64_t> offsets,
                   const std::vector<Field>& fields) {
  if (!std::ranges::is_sorted(offsets) || (!offsets.empty() && offsets.back() > ids.size())) {
    raise_error(PyExc_ValueError, "offsets must not decrease nor go past the end of the ids");
  }
  const TokenId largest = ids.empty() ? 0 : std::ranges::max(ids);
  for (const Field& field : fields) {
    if (field.table && !ids.empty() && largest >= field.table->size()) {
      raise_error(PyExc_ValueError, "id " + std::to_string(largest) + " is past the end of a table of " +
                                        std::to_string(field.table->size()) + " entries");
    }
  }
}

void append_entry(std::string& out, const Field& field, TokenId id) {
  if (field.table) {
    out += (*field.table)[id];
    return;
  }
  char digits[10];  // 2**32 - 1 has ten
  out.append(digits, std::to_chars(digits, std::end(digits), id).ptr);
}

void append_field(std::string& out, const Field& field, std::span<const TokenId> ids) {
  out += field.prefix;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i != 0) out += field.separator;
    append_entry(out, field, ids[i]);
  }
  out += field.suffix;
}

std::string joined_lines(std::span<const TokenId> ids, std::span<const std::uint64_t> offsets,
                         const std::vector<Field>& fields) {
  std::string out;
  out.reserve(ids.size() * 8 * fields.size());
  for (std::size_t text = 0; text + 1 < offsets.size(); ++text) {
    const std::span<const TokenId> text_ids = ids.subspan(offsets[text], offsets[text + 1] - offsets[text]);
    for (const Field& field : fields) append_field(out, field, text_ids);
  }
  return out;
}

// Each number plus `amount`, as native uint64 bytes; OverflowError past 2**64 - 1.
std::string shifted(std::span<const std::uint64_t> numbers, std::uint64_t amount) {
  if (!numbers.empty() && std::ranges::max(numbers) > UINT64_MAX - amount) {
    raise_error(PyExc_OverflowError, "a shifted number exceeds 2**64 - 1");
  }
  std::string bytes(numbers.size() * sizeof(std::uint64_t), '\0');
  auto* out = reinterpret_cast<std::uint64_t*>(bytes.data());
  std::ranges::transform(numbers, out, [amount](std::uint64_t number) { return number + amount; });
  return bytes;
}

PyRef to_python_bytes(const std::string& bytes) {
  return checked(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

constexpr Signature<3> kJoinedLines{"joined_lines()", {"ids", "offsets", "fields"}, 3};
constexpr Signature<2> kShifted{"shifted()", {"numbers", "amount"}, 2};

}  // namespace

PyObject* joined_lines_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto arguments = bind(kJoinedLines, args, nargs, kwnames);
    const HeldIds ids = arguments.convert(0, to_held<HeldIds>);
    const HeldOffsets offsets = arguments.convert(1, to_held<HeldOffsets>);
    const std::vector<Field> fields = arguments.convert(2, to_fields);
    check_indices(ids.items(), offsets.items(), fields);
    std::string text;
    {
      const InterpreterLockReleased unlocked;
      text = joined_lines(ids.items(), offsets.items(), fields);
    }
    return to_python_bytes(text);
  });
}

PyObject* shifted_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto arguments = bind(kShifted, args, nargs, kwnames);
    const HeldOffsets numbers = arguments.convert(0, to_held<HeldOffsets>);
    return to_python_bytes(shifted(numbers.items(), arguments.convert(1, to_u64)));
  });
}

}  // namespace wordloom::python
