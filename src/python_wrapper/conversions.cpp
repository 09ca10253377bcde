#include "conversions.hpp"

#include <algorithm>
#include <limits>

namespace wordloom::python {
namespace {

PyRef index_of(PyObject* object) { return checked(PyNumber_Index(object)); }

// A str passes PySequence_Check too, but is never taken as a list.
void check_list_like(PyObject* object) {
  if (PyUnicode_Check(object)) raise_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) raise_cannot_convert(object, "Sequence");
}

// __len__ may claim far more items than iteration yields, so at most this
// many are reserved up front; past it the vector grows as the items come.
constexpr std::size_t kMaxReservedItems = 4096;

std::size_t size_hint(PyObject* sequence) {
  const Py_ssize_t size = PySequence_Size(sequence);
  if (size >= 0) return std::min(static_cast<std::size_t>(size), kMaxReservedItems);
  PyErr_Clear();  // only a hint: iteration decides
  return 0;
}

// Appends the items of an iterable, converted one by one.
template <auto convert_item, typename Item>
void append_items(PyObject* iterable, std::vector<Item>& items) {
  const PyRef iterator = checked(PyObject_GetIter(iterable));
  PyRef item;
  while ((item = PyRef::steal(PyIter_Next(iterator.get())))) items.push_back(convert_item(item.get()));
  if (PyErr_Occurred()) throw PythonError{};
}

// The items of a sequence, converted one by one through the iteration protocol.
template <auto convert_item>
auto to_vector(PyObject* object) {
  check_list_like(object);
  std::vector<decltype(convert_item(object))> items;
  items.reserve(size_hint(object));
  append_items<convert_item>(object, items);
  return items;
}

// Writes the UTF-8 form of code units [units, units + count) from `out`,
// and returns its end, or nullptr at a surrogate, which UTF-8 cannot hold.
// Runs of ASCII, the common case, go eight code units at a time.
template <typename Unit>
char* write_utf8(const Unit* units, std::size_t count, char* out) {
  constexpr std::size_t kBlock = 8;
  std::size_t i = 0;
  while (i < count) {
    if (count - i >= kBlock) {
      Unit all = 0;
      for (std::size_t k = 0; k < kBlock; ++k) all |= units[i + k];
      if (all < 0x80) {
        for (std::size_t k = 0; k < kBlock; ++k) out[k] = static_cast<char>(units[i + k]);
        out += kBlock;
        i += kBlock;
        continue;
      }
    }
    const char32_t c = units[i++];
    if (c < 0x80) {
      *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *out++ = static_cast<char>(0xC0 | c >> 6);
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return nullptr;
    } else if (c < 0x10000) {
      *out++ = static_cast<char>(0xE0 | c >> 12);
      *out++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *out++ = static_cast<char>(0xF0 | c >> 18);
      *out++ = static_cast<char>(0x80 | (c >> 12 & 0x3F));
      *out++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// The most UTF-8 bytes one character of a str of this kind can take.
std::size_t utf8_bytes_per_char(int kind) {
  switch (kind) {
    case PyUnicode_1BYTE_KIND: return 2;
    case PyUnicode_2BYTE_KIND: return 3;
    default: return 4;
  }
}

// The end of the UTF-8 form of a str that is not ASCII, written from `out`,
// which has room for utf8_bytes_per_char() per character; nullptr at a surrogate.
char* write_utf8(PyObject* text, char* out) {
  const void* data = PyUnicode_DATA(text);
  const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: return write_utf8(static_cast<const Py_UCS1*>(data), length, out);
    case PyUnicode_2BYTE_KIND: return write_utf8(static_cast<const Py_UCS2*>(data), length, out);
    default: return write_utf8(static_cast<const Py_UCS4*>(data), length, out);
  }
}

}  // namespace

Utf8Text to_utf8_text(PyObject* object) {
  if (!PyUnicode_Check(object) || PyUnicode_IS_ASCII(object)) return {nullptr, to_utf8(object)};
  const std::size_t room =
      utf8_bytes_per_char(PyUnicode_KIND(object)) * static_cast<std::size_t>(PyUnicode_GET_LENGTH(object));
  Utf8Text utf8{std::make_unique_for_overwrite<char[]>(room), {}};
  const char* end = write_utf8(object, utf8.storage.get());
  // The interpreter raises its own error for the surrogate.
  if (end == nullptr) return {nullptr, to_utf8(object)};
  utf8.text = {utf8.storage.get(), static_cast<std::size_t>(end - utf8.storage.get())};
  return utf8;
}

std::string_view to_utf8(PyObject* object) {
  if (!PyUnicode_Check(object)) raise_cannot_convert(object, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) throw PythonError{};
  return {data, static_cast<std::size_t>(size)};
}

std::string to_string(PyObject* object) { return std::string(to_utf8(object)); }

std::string to_path(PyObject* object) {
  std::string path = to_string(object);
  if (path.find('\0') != std::string::npos) raise_error(PyExc_ValueError, "embedded null byte");
  return path;
}

std::uint32_t to_u32(PyObject* object) {
  const long long value = PyLong_AsLongLong(index_of(object).get());
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  if (value < 0 || value > std::numeric_limits<std::uint32_t>::max()) {
    raise_error(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::uint32_t>(value);
}

std::uint64_t to_u64(PyObject* object) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(index_of(object).get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return value;
}

bool to_bool(PyObject* object) {
  if (!PyBool_Check(object)) raise_cannot_convert(object, "PyBool");
  return object == Py_True;
}

std::vector<std::string> to_string_list(PyObject* object) { return to_vector<to_string>(object); }

std::vector<TokenId> to_id_list(PyObject* object) { return to_vector<to_u32>(object); }

TextViews to_text_views(PyObject* object) {
  if (PyUnicode_Check(object)) raise_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
  TextViews views;
  const PyRef iterator = checked(PyObject_GetIter(object));
  PyRef item;
  while ((item = PyRef::steal(PyIter_Next(iterator.get())))) {
    if (!PyUnicode_Check(item.get())) raise_cannot_convert(item.get(), "PyString");
    if (PyUnicode_IS_ASCII(item.get())) {
      views.texts.push_back(to_utf8(item.get()));  // ASCII is its own UTF-8: no copy
    } else {
      item = checked(PyUnicode_AsUTF8String(item.get()));
      views.texts.emplace_back(PyBytes_AS_STRING(item.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(item.get())));
    }
    views.owners.push_back(std::move(item));
  }
  if (PyErr_Occurred()) throw PythonError{};
  return views;
}

std::string to_fs_path(PyObject* object) {
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(object, &encoded) == 0) throw PythonError{};
  const PyRef bytes = PyRef::steal(encoded);
  return {PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))};
}

PyRef to_python_str(std::string_view text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef to_python_int(long value) { return checked(PyLong_FromLong(value)); }

PyRef to_python_path(std::string_view path) {
  return checked(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

}  // namespace wordloom::python
