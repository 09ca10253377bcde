#include "readonly_array.hpp"

#include <type_traits>

#include "py_instance.hpp"

namespace wordloom::python {

// The record of the exporting type; shape and stride live here because every
// exported buffer points at them.
template <typename Item>
struct ReadOnlyArray {
  std::vector<Item> items;
  Py_ssize_t shape = static_cast<Py_ssize_t>(items.size());
  Py_ssize_t stride = sizeof(Item);
};

namespace {

// The struct-module format of an item: native unsigned int / unsigned long long.
template <typename Item>
char* format_of() {
  static_assert(sizeof(unsigned int) == 4 && sizeof(unsigned long long) == 8);
  static_assert(std::is_same_v<Item, std::uint32_t> || std::is_same_v<Item, std::uint64_t>);
  return const_cast<char*>(sizeof(Item) == 4 ? "I" : "Q");
}

template <typename Item>
int get_buffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "the array is read-only");
    view->obj = nullptr;
    return -1;
  }
  auto& array = reinterpret_cast<PyInstance<ReadOnlyArray<Item>>*>(self)->record;
  static Item empty_array_storage;  // a valid address for a buffer of length 0
  view->buf = array.items.empty() ? &empty_array_storage : array.items.data();
  view->obj = Py_NewRef(self);
  view->len = array.shape * array.stride;
  view->readonly = 1;
  view->itemsize = array.stride;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? format_of<Item>() : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &array.shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &array.stride : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

template <typename Item>
PyType_Slot array_slots[] = {
    {Py_tp_doc, const_cast<char*>("Read-only numbers exported through the buffer protocol.")},
    {Py_tp_new, as_slot(no_constructor)},
    {Py_tp_dealloc, as_slot(dealloc_instance<ReadOnlyArray<Item>>)},
    {Py_bf_getbuffer, as_slot(get_buffer<Item>)},
    {0, nullptr},
};

template <typename Item>
PyType_Spec array_spec = {
    .name = sizeof(Item) == 4 ? "wordloom.UInt32Array" : "wordloom.UInt64Array",
    .basicsize = sizeof(PyInstance<ReadOnlyArray<Item>>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = array_slots<Item>,
};

template <typename Item>
PyRef view_of(std::vector<Item> items) {
  const PyRef array = new_instance(ReadOnlyArray<Item>{std::move(items)});
  return checked(PyMemoryView_FromObject(array.get()));
}

}  // namespace

template <>
LazyType& python_class<ReadOnlyArray<std::uint32_t>>() {
  static LazyType type(array_spec<std::uint32_t>);
  return type;
}

template <>
LazyType& python_class<ReadOnlyArray<std::uint64_t>>() {
  static LazyType type(array_spec<std::uint64_t>);
  return type;
}

PyRef readonly_view(std::vector<std::uint32_t> items) { return view_of(std::move(items)); }
PyRef readonly_view(std::vector<std::uint64_t> items) { return view_of(std::move(items)); }

}  // namespace wordloom::python
