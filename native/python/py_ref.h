// PyRef: a move-only owned reference to a Python object.
//
// Contract: a PyRef owns exactly one strong reference (or none) and drops it
// when destroyed. `steal` adopts a reference the caller already owns (the
// result of a "new reference" API, possibly nullptr after an error); `borrow`
// takes a fresh reference to a borrowed object; `new_ref` hands out another
// strong reference; `release` gives the owned reference to the caller (for
// returning it to Python or for APIs that steal). Every use requires the GIL.
#pragma once

#include <Python.h>

#include <utility>

namespace ombrel::python {

class PyRef {
 public:
  PyRef() = default;
  ~PyRef() { Py_XDECREF(object_); }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;

  static PyRef steal(PyObject* object) { return PyRef(object); }
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyObject* get() const { return object_; }
  PyObject* new_ref() const {
    Py_XINCREF(object_);
    return object_;
  }
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace ombrel::python
