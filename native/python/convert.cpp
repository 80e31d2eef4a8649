// Argument converters and result builders; see convert.h for the contract.
#include "python/convert.h"

#include <algorithm>
#include <limits>

namespace ombrel::python {
namespace {

constexpr const char* kStrToVecMessage = "Can't extract `str` to `Vec`";

PyObject* raise_wrong_type(const char* name, const char* expected, PyObject* object) {
  const std::string actual = type_name(object);
  PyErr_Format(PyExc_TypeError, "argument '%s' must be %s, not %s", name, expected, actual.c_str());
  return nullptr;
}

void raise_out_of_range(const char* name, const char* width) {
  PyErr_Format(PyExc_OverflowError, "argument '%s' is out of range for %s", name, width);
}

// Reads a Python int as an unsigned value no larger than `max`.
std::optional<uint64_t> unsigned_in_range(PyObject* object, const char* name, uint64_t max, const char* width) {
  if (object == nullptr) {
    PyErr_Format(PyExc_TypeError, "argument '%s' is required", name);
    return std::nullopt;
  }
  if (!PyLong_Check(object)) {
    raise_wrong_type(name, "int", object);
    return std::nullopt;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    // Negative numbers and numbers above 2**64 - 1 both land here.
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
    PyErr_Clear();
    raise_out_of_range(name, width);
    return std::nullopt;
  }
  if (value > max) {
    raise_out_of_range(name, width);
    return std::nullopt;
  }
  return static_cast<uint64_t>(value);
}

template <class Result, class Convert>
std::optional<std::optional<Result>> optional_of(PyObject* object, Convert&& convert) {
  if (object == nullptr || object == Py_None) return std::optional<Result>{};
  auto value = convert();
  if (!value) return std::nullopt;
  return std::optional<Result>{std::move(*value)};
}

std::optional<std::string> copy_bytes(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) return std::nullopt;
  return std::string(data, static_cast<size_t>(size));
}

std::optional<std::string> bytes_from_int_sequence(PyObject* object, const char* name) {
  const Py_ssize_t size = PySequence_Size(object);
  if (size < 0) return std::nullopt;
  std::string out;
  // A huge lazy sequence (a range) must not make us allocate up front.
  out.reserve(static_cast<size_t>(std::min<Py_ssize_t>(size, Py_ssize_t{1} << 20)));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(object, i));
    if (!item) return std::nullopt;
    if (!PyLong_Check(item.get())) {
      const std::string actual = type_name(item.get());
      PyErr_Format(PyExc_TypeError, "argument '%s' must contain ints in range 0..255, not %s", name, actual.c_str());
      return std::nullopt;
    }
    const long value = PyLong_AsLong(item.get());
    if (value == -1 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
      PyErr_Clear();
    }
    if (value < 0 || value > 255) {
      PyErr_Format(PyExc_OverflowError, "argument '%s' must contain ints in range 0..255", name);
      return std::nullopt;
    }
    out.push_back(static_cast<char>(value));
  }
  return out;
}

}  // namespace

std::string type_name(PyObject* object) {
  if (object == nullptr) return "NULL";
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text != nullptr) return std::string(text, static_cast<size_t>(size));
  }
  // The name is only decoration for a message: never let it replace the error.
  PyErr_Clear();
  return "object";
}

// ---- arguments ----

std::optional<std::string_view> bytes_arg(PyObject* object, const char* name) {
  if (object == nullptr || !PyBytes_Check(object)) {
    raise_wrong_type(name, "bytes", object);
    return std::nullopt;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return std::nullopt;
  return std::string_view(data, static_cast<size_t>(size));
}

std::optional<std::string> byte_vec_arg(PyObject* object, const char* name) {
  if (object == nullptr) {
    raise_wrong_type(name, "bytes", object);
    return std::nullopt;
  }
  if (PyBytes_Check(object)) return copy_bytes(object);
  if (PyByteArray_Check(object)) {
    const char* data = PyByteArray_AsString(object);
    const Py_ssize_t size = PyByteArray_Size(object);
    if (data == nullptr || size < 0) return std::nullopt;
    return std::string(data, static_cast<size_t>(size));
  }
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, kStrToVecMessage);
    return std::nullopt;
  }
  if (!PySequence_Check(object)) {
    raise_wrong_type(name, "bytes, bytearray or a sequence of ints", object);
    return std::nullopt;
  }
  return bytes_from_int_sequence(object, name);
}

std::optional<std::optional<std::string>> optional_byte_vec_arg(PyObject* object, const char* name) {
  return optional_of<std::string>(object, [&] { return byte_vec_arg(object, name); });
}

std::optional<std::vector<std::pair<std::string, std::string>>> byte_pairs_arg(PyObject* object, const char* name) {
  std::vector<std::pair<std::string, std::string>> pairs;
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, kStrToVecMessage);
    return std::nullopt;
  }
  // bytes would pass as a sequence of ints, which are no pairs.
  if (PyBytes_Check(object) || PyByteArray_Check(object) || !PySequence_Check(object)) {
    raise_wrong_type(name, "a sequence of (bytes, bytes) pairs", object);
    return std::nullopt;
  }
  const Py_ssize_t size = PySequence_Size(object);
  if (size < 0) return std::nullopt;
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(object, i));
    if (!item) return std::nullopt;
    if (PyUnicode_Check(item.get()) || PyBytes_Check(item.get()) || PyByteArray_Check(item.get()) ||
        !PySequence_Check(item.get())) {
      const std::string actual = type_name(item.get());
      PyErr_Format(PyExc_TypeError, "argument '%s' must contain (bytes, bytes) pairs, not %s", name, actual.c_str());
      return std::nullopt;
    }
    const Py_ssize_t width = PySequence_Size(item.get());
    if (width < 0) return std::nullopt;
    if (width != 2) {
      PyErr_Format(PyExc_ValueError, "argument '%s' must contain pairs, not a sequence of %zd items", name, width);
      return std::nullopt;
    }
    PyRef first_item = PyRef::steal(PySequence_GetItem(item.get(), 0));
    if (!first_item) return std::nullopt;
    auto first = byte_vec_arg(first_item.get(), name);
    if (!first) return std::nullopt;
    PyRef second_item = PyRef::steal(PySequence_GetItem(item.get(), 1));
    if (!second_item) return std::nullopt;
    auto second = byte_vec_arg(second_item.get(), name);
    if (!second) return std::nullopt;
    pairs.emplace_back(std::move(*first), std::move(*second));
  }
  return pairs;
}

std::optional<uint64_t> u64_arg(PyObject* object, const char* name) {
  return unsigned_in_range(object, name, std::numeric_limits<uint64_t>::max(), "an unsigned 64-bit integer");
}

template <class T>
std::optional<T> narrow_unsigned_arg(PyObject* object, const char* name, const char* width) {
  auto value = unsigned_in_range(object, name, std::numeric_limits<T>::max(), width);
  if (!value) return std::nullopt;
  return static_cast<T>(*value);
}

std::optional<uint32_t> u32_arg(PyObject* object, const char* name) {
  return narrow_unsigned_arg<uint32_t>(object, name, "an unsigned 32-bit integer");
}

std::optional<int64_t> i64_arg(PyObject* object, const char* name) {
  if (object == nullptr || !PyLong_Check(object)) {
    raise_wrong_type(name, "int", object);
    return std::nullopt;
  }
  const long long value = PyLong_AsLongLong(object);
  if (value == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
    PyErr_Clear();
    raise_out_of_range(name, "a signed 64-bit integer");
    return std::nullopt;
  }
  return static_cast<int64_t>(value);
}

std::optional<int32_t> i32_arg(PyObject* object, const char* name) {
  auto value = i64_arg(object, name);
  if (!value) return std::nullopt;
  if (*value < std::numeric_limits<int32_t>::min() || *value > std::numeric_limits<int32_t>::max()) {
    raise_out_of_range(name, "a signed 32-bit integer");
    return std::nullopt;
  }
  return static_cast<int32_t>(*value);
}

std::optional<std::optional<uint64_t>> optional_u64_arg(PyObject* object, const char* name) {
  return optional_of<uint64_t>(object, [&] { return u64_arg(object, name); });
}

std::optional<std::optional<int64_t>> optional_i64_arg(PyObject* object, const char* name) {
  return optional_of<int64_t>(object, [&] { return i64_arg(object, name); });
}

std::optional<bool> bool_arg(PyObject* object, const char* name) {
  if (object == nullptr || !PyBool_Check(object)) {
    raise_wrong_type(name, "bool", object);
    return std::nullopt;
  }
  return object == Py_True;
}

std::optional<std::string> text_arg(PyObject* object, const char* name) {
  if (object == nullptr || !PyUnicode_Check(object)) {
    raise_wrong_type(name, "str", object);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return std::nullopt;
  return std::string(text, static_cast<size_t>(size));
}

std::optional<std::string> path_arg(PyObject* object, const char* name) {
  constexpr const char* kExpected = "str or os.PathLike returning str";
  if (object == nullptr) {
    raise_wrong_type(name, kExpected, object);
    return std::nullopt;
  }
  PyRef path;
  if (PyUnicode_Check(object)) {
    path = PyRef::borrow(object);
  } else {
    if (PyBytes_Check(object) || !PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__fspath__")) {
      raise_wrong_type(name, kExpected, object);
      return std::nullopt;
    }
    path = PyRef::steal(PyOS_FSPath(object));
    if (!path) return std::nullopt;
    if (!PyUnicode_Check(path.get())) {
      const std::string actual = type_name(path.get());
      PyErr_Format(PyExc_TypeError, "argument '%s' must be %s, but __fspath__ returned %s", name, kExpected,
                   actual.c_str());
      return std::nullopt;
    }
  }
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return std::nullopt;
  auto bytes = copy_bytes(encoded.get());
  if (!bytes) return std::nullopt;
  // The OS would silently cut the path at the first NUL and open another file.
  if (bytes->find('\0') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "argument '%s': embedded null byte", name);
    return std::nullopt;
  }
  return bytes;
}

std::optional<std::vector<std::pair<std::string, std::string>>> text_dict_arg(PyObject* object, const char* name) {
  if (object == nullptr || !PyDict_Check(object)) {
    raise_wrong_type(name, "dict", object);
    return std::nullopt;
  }
  std::vector<std::pair<std::string, std::string>> pairs;
  pairs.reserve(static_cast<size_t>(PyDict_Size(object)));
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  // Encoding runs no Python code, so the dict cannot change under the walk.
  while (PyDict_Next(object, &position, &key, &value)) {
    if (!PyUnicode_Check(key) || !PyUnicode_Check(value)) {
      const std::string actual = type_name(PyUnicode_Check(key) ? value : key);
      PyErr_Format(PyExc_TypeError, "argument '%s' must map str to str, not %s", name, actual.c_str());
      return std::nullopt;
    }
    Py_ssize_t key_size = 0;
    const char* key_text = PyUnicode_AsUTF8AndSize(key, &key_size);
    if (key_text == nullptr) return std::nullopt;
    Py_ssize_t value_size = 0;
    const char* value_text = PyUnicode_AsUTF8AndSize(value, &value_size);
    if (value_text == nullptr) return std::nullopt;
    pairs.emplace_back(std::string(key_text, static_cast<size_t>(key_size)),
                       std::string(value_text, static_cast<size_t>(value_size)));
  }
  return pairs;
}

// ---- results ----

PyObject* bytes_result(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* bytes_result(std::span<const uint8_t> bytes) {
  return bytes_result(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

PyObject* int_result(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* int_result(int64_t value) { return PyLong_FromLongLong(value); }

PyObject* optional_int_result(std::optional<uint64_t> value) {
  if (!value) return none_result();
  return int_result(*value);
}

PyObject* optional_int_result(std::optional<int64_t> value) {
  if (!value) return none_result();
  return int_result(*value);
}

PyObject* float_result(double value) { return PyFloat_FromDouble(value); }

PyObject* bool_result(bool value) { return PyBool_FromLong(value ? 1 : 0); }

PyObject* none_result() { return Py_NewRef(Py_None); }

PyObject* text_result(std::string_view utf8) {
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
}

PyObject* tuple_result(std::initializer_list<PyObject*> items) {
  PyRef tuple;
  if (std::ranges::none_of(items, [](PyObject* item) { return item == nullptr; })) {
    tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  }
  Py_ssize_t index = 0;
  for (PyObject* item : items) {
    if (tuple) {
      PyTuple_SetItem(tuple.get(), index++, item);  // steals item
    } else {
      Py_XDECREF(item);
    }
  }
  return tuple.release();
}

DictBuilder& DictBuilder::set(const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  if (!ok()) return *this;
  if (!owned || PyDict_SetItemString(dict_.get(), key, owned.get()) < 0) failed_ = true;
  return *this;
}

PyObject* DictBuilder::finish() {
  if (!ok()) return nullptr;
  return dict_.release();
}

}  // namespace ombrel::python
