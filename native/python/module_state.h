// Per-module state of _native: the ten exception classes and the type objects.
//
// Contract: the module owns one strong reference to each non-null entry (the
// module's traverse/clear visit them). Nothing here is process-global, so two
// interpreters each get their own classes. Instance methods reach the state
// through their type, state_of_instance(self) (our classes cannot be
// subclassed, so Py_TYPE(self) is the defining class); static methods, whose
// `self` is the module, use state_of_module(self). All return nullptr with a
// Python exception set when the state cannot be found.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace ombrel::python {

// In the order the module adds them; the first is the base of the others.
enum class ExceptionKind : uint8_t {
  OmbrelStoreError,
  StoreClosedError,
  StoreBusyError,
  AlreadyOpenError,
  ReservedKeyError,
  TransactionFinishedError,
  CorruptionError,
  IoError,
  DiskFullError,
  NamespaceQuotaError,
};

inline constexpr std::array<const char*, 10> kExceptionNames = {
    "OmbrelStoreError",         "StoreClosedError", "StoreBusyError", "AlreadyOpenError", "ReservedKeyError",
    "TransactionFinishedError", "CorruptionError",  "IoError",        "DiskFullError",    "NamespaceQuotaError",
};

struct ModuleState {
  std::array<PyObject*, kExceptionNames.size()> exceptions;
  PyObject* store_type;
  PyObject* transaction_type;
  PyObject* verification_report_type;
  PyObject* read_only_store_type;
  PyObject* progress_hook;  // Store.set_progress_hook's callable, or nullptr (python/progress_call.h)

  PyObject* exception(ExceptionKind kind) const { return exceptions[static_cast<size_t>(kind)]; }
};

inline ModuleState* state_of_type(PyObject* type) {
  if (type == nullptr || !PyType_Check(type)) {
    PyErr_SetString(PyExc_SystemError, "_native: method is not bound to its defining type");
    return nullptr;
  }
  void* state = PyType_GetModuleState(reinterpret_cast<PyTypeObject*>(type));
  if (state == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "_native: module state is missing");
    return nullptr;
  }
  return static_cast<ModuleState*>(state);
}

inline ModuleState* state_of_module(PyObject* module) {
  void* state = module != nullptr && PyModule_Check(module) ? PyModule_GetState(module) : nullptr;
  if (state == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "_native: module state is missing");
    return nullptr;
  }
  return static_cast<ModuleState*>(state);
}

inline ModuleState* state_of_instance(PyObject* self) {
  return state_of_type(reinterpret_cast<PyObject*>(Py_TYPE(self)));
}

}  // namespace ombrel::python
