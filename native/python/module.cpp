// PyInit__native: multi-phase initialisation of the _native module.
//
// Contract: executing the module adds, in this order, every registered class
// (Store, Transaction, VerificationReport, ReadOnlyStore by their order numbers), the ten
// exception classes (OmbrelStoreError first, the others deriving from it) and
// __version__. Any failure fails the import with that Python exception.
// Everything the module creates lives in its ModuleState, so each interpreter
// that imports it gets its own classes.
#include <Python.h>

#include <cstring>
#include <string>

#include "python/errors.h"
#include "python/method_registry.h"
#include "python/module_state.h"

namespace ombrel::python {
namespace {

// The package version, stated once in pyproject.toml; CMake passes it on.
#ifndef OMBREL_VERSION
#error "OMBREL_VERSION must be defined by the build (CMakeLists.txt reads pyproject.toml)"
#endif
constexpr const char* kVersion = OMBREL_VERSION;

ModuleState* module_state(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

int add_classes(PyObject* module, ModuleState& state) {
  const std::vector<ClassSpec> ordered = registered_classes();
  for (size_t i = 0; i < ordered.size(); ++i) {
    if (i > 0 && ordered[i].order == ordered[i - 1].order) {
      PyErr_Format(PyExc_SystemError, "_native: classes %s and %s share order %d", ordered[i - 1].name, ordered[i].name,
                   ordered[i].order);
      return -1;
    }
    if (ordered[i].add_to_module(module, state) < 0) return -1;
  }
  return 0;
}

int add_exceptions(PyObject* module, ModuleState& state) {
  for (size_t i = 0; i < kExceptionNames.size(); ++i) {
    const std::string qualified = std::string("_native.") + kExceptionNames[i];
    PyObject* base = i == 0 ? PyExc_Exception : state.exceptions[0];
    PyObject* exception = PyErr_NewException(qualified.c_str(), base, nullptr);
    if (exception == nullptr) return -1;
    PyObject* previous = state.exceptions[i];
    state.exceptions[i] = exception;
    Py_XDECREF(previous);
    if (PyModule_AddObjectRef(module, kExceptionNames[i], exception) < 0) return -1;
  }
  return 0;
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_SystemError, "_native: initialised with an object that is not a module");
    return -1;
  }
  ModuleState* state = module_state(module);
  if (state == nullptr) return -1;
  try {
    if (add_classes(module, *state) < 0) return -1;
    if (add_exceptions(module, *state) < 0) return -1;
  } catch (...) {
    raise_current_cpp_exception();
    return -1;
  }
  return PyModule_AddStringConstant(module, "__version__", kVersion);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = module_state(module);
  if (state == nullptr) return 0;
  for (PyObject* exception : state->exceptions) Py_VISIT(exception);
  Py_VISIT(state->store_type);
  Py_VISIT(state->transaction_type);
  Py_VISIT(state->verification_report_type);
  Py_VISIT(state->read_only_store_type);
  Py_VISIT(state->progress_hook);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState* state = module_state(module);
  if (state == nullptr) return 0;
  for (PyObject*& exception : state->exceptions) Py_CLEAR(exception);
  Py_CLEAR(state->store_type);
  Py_CLEAR(state->transaction_type);
  Py_CLEAR(state->verification_report_type);
  Py_CLEAR(state->read_only_store_type);
  Py_CLEAR(state->progress_hook);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Native core of Ombrel Store: the Store, Transaction and VerificationReport classes and the store's "
    "exceptions.",
    static_cast<Py_ssize_t>(sizeof(ModuleState)),
    nullptr,
    kModuleSlots,
    &traverse_module,
    &clear_module,
    &free_module,
};

}  // namespace
}  // namespace ombrel::python

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&ombrel::python::kModuleDef); }
