// The one set of argument converters and result builders used by every method.
//
// Argument converters take the borrowed argument and the parameter name, and
// return std::optional<T>: nullopt means a Python exception is set (TypeError
// naming the argument, OverflowError for an integer out of the parameter's
// range). Converters for optional parameters return
// std::optional<std::optional<T>>, the inner nullopt standing for None.
// Methods do not call them: they declare typed parameters (parameters.h).
//
//   bytes       bytes or a subclass only; a view borrowed from the argument,
//               valid for the duration of the call (bytearray is refused)
//   byte vec    bytes, bytearray or any sequence of ints 0..255, copied; a str
//               raises TypeError "Can't extract `str` to `Vec`"
//   integers    Python int (bool included, being an int) within the width;
//               anything else TypeError, out of range OverflowError
//   byte pairs  a sequence (not str, bytes or bytearray) of 2-item sequences,
//               each item a byte vec as above; a str in place of the
//               sequence raises "Can't extract `str` to `Vec`"
//   bool        exactly bool
//   text        str, as UTF-8
//   text dict   a dict (or subclass) whose keys and values are all str, as
//               UTF-8 pairs in the dict's iteration order
//   path        str or os.PathLike whose __fspath__ returns str, encoded with
//               the file-system encoding; bytes paths and embedded NUL refused
//
// Result builders return a new reference or nullptr with an exception set.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/py_ref.h"

namespace ombrel::python {

// ---- arguments ----

std::optional<std::string_view> bytes_arg(PyObject* object, const char* name);
std::optional<std::string> byte_vec_arg(PyObject* object, const char* name);
std::optional<std::optional<std::string>> optional_byte_vec_arg(PyObject* object, const char* name);
std::optional<std::vector<std::pair<std::string, std::string>>> byte_pairs_arg(PyObject* object, const char* name);

std::optional<uint64_t> u64_arg(PyObject* object, const char* name);
std::optional<int64_t> i64_arg(PyObject* object, const char* name);
std::optional<int32_t> i32_arg(PyObject* object, const char* name);
std::optional<uint32_t> u32_arg(PyObject* object, const char* name);
std::optional<std::optional<uint64_t>> optional_u64_arg(PyObject* object, const char* name);
std::optional<std::optional<int64_t>> optional_i64_arg(PyObject* object, const char* name);

std::optional<bool> bool_arg(PyObject* object, const char* name);
std::optional<std::string> text_arg(PyObject* object, const char* name);
std::optional<std::string> path_arg(PyObject* object, const char* name);
std::optional<std::vector<std::pair<std::string, std::string>>> text_dict_arg(PyObject* object, const char* name);

// The type name of `object`, for messages.
std::string type_name(PyObject* object);

// ---- results ----

PyObject* bytes_result(std::string_view bytes);
// The raw bytes of a fixed-size identity or digest.
PyObject* bytes_result(std::span<const uint8_t> bytes);
PyObject* int_result(uint64_t value);
PyObject* int_result(int64_t value);
PyObject* optional_int_result(std::optional<uint64_t> value);
PyObject* optional_int_result(std::optional<int64_t> value);
PyObject* float_result(double value);
PyObject* bool_result(bool value);
PyObject* none_result();
PyObject* text_result(std::string_view utf8);

// A list with one item per element of `range`, each built by `make_item`
// (returning a new reference or nullptr with an exception set).
template <class Range, class MakeItem>
PyObject* list_result(const Range& range, MakeItem&& make_item) {
  const auto count = std::distance(std::begin(range), std::end(range));
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  Py_ssize_t index = 0;
  for (const auto& element : range) {
    PyObject* item = make_item(element);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), index++, item);  // steals item
  }
  return list.release();
}

// A tuple of `items`, each a new reference, which the tuple takes over. When
// any item is nullptr (its builder set an exception) the others are dropped
// and nullptr is returned.
PyObject* tuple_result(std::initializer_list<PyObject*> items);

// A (bytes, bytes) tuple from anything with .first and .second byte strings.
template <class Pair>
PyObject* bytes_pair_result(const Pair& pair) {
  return tuple_result({bytes_result(pair.first), bytes_result(pair.second)});
}

template <class Range>
PyObject* list_of_pairs_result(const Range& range) {
  return list_result(range, [](const auto& pair) { return bytes_pair_result(pair); });
}

// Builds a dict whose keys keep the order of insertion.
class DictBuilder {
 public:
  DictBuilder() : dict_(PyRef::steal(PyDict_New())) {}
  bool ok() const { return static_cast<bool>(dict_) && !failed_; }
  // Takes ownership of `value` (a new reference, or nullptr after an error).
  DictBuilder& set(const char* key, PyObject* value);
  // The dict, or nullptr with an exception set if any step failed.
  PyObject* finish();

 private:
  PyRef dict_;
  bool failed_ = false;
};

}  // namespace ombrel::python
