// The record result shared by the Store's collection and query methods.
#pragma once

#include <Python.h>

#include "records/collection.h"

namespace ombrel::python {

// (primary_key, value, [(index name, index value), ...])
PyObject* collection_record_result(const records::CollectionRecord& record);

}  // namespace ombrel::python
