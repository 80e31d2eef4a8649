// Conversions of collection records shared by the Store's collection and
// query methods and by the Transaction's record staging.
#pragma once

#include <Python.h>

#include <optional>
#include <vector>

#include "records/collection.h"

namespace ombrel::python {

// The `indexes` argument: a sequence of (index name, index value) pairs;
// omitted (nullptr) means none. nullopt with a Python exception set.
std::optional<std::vector<records::IndexValue>> index_values_arg(PyObject* object);

// (primary_key, value, [(index name, index value), ...])
PyObject* collection_record_result(const records::CollectionRecord& record);

}  // namespace ombrel::python
