// The WordCounts class of wordloom_tools._native.
#pragma once

#include "py_instance.hpp"
#include "word_counts_state.hpp"

namespace wordloom::python {

using PyWordCounts = PyInstance<CountedCorpus>;

template <>
LazyType& python_class<CountedCorpus>();

}  // namespace wordloom::python
