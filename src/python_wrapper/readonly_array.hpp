// Numbers handed to Python without a copy: a small native type owns the
// vector and exports it read-only through the buffer protocol, so that
// numpy.frombuffer, pyarrow and memoryview all read the same memory.
#pragma once

#include <cstdint>
#include <vector>

#include "py_ref.hpp"

namespace wordloom::python {

// A read-only memoryview of format "I" (uint32) or "Q" (uint64) over `items`,
// which it keeps alive.
PyRef readonly_view(std::vector<std::uint32_t> items);
PyRef readonly_view(std::vector<std::uint64_t> items);

}  // namespace wordloom::python
