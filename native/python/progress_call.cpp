#include "python/progress_call.h"

namespace ombrel::python {

ProgressCall::ProgressCall(const ModuleState& state, const char* operation) : operation_(operation) {
  if (state.progress_hook == nullptr) return;
  callable_ = Py_NewRef(state.progress_hook);
  hook_ = engine::ProgressHook{&ProgressCall::report, this};
  previous_ = engine::set_progress_hook(&hook_);
  installed_ = true;
}

ProgressCall::~ProgressCall() {
  if (installed_) engine::set_progress_hook(previous_);
  Py_XDECREF(kept_type_);
  Py_XDECREF(kept_value_);
  Py_XDECREF(kept_traceback_);
  Py_XDECREF(callable_);
}

PyObject* ProgressCall::raise_kept() {
  PyErr_Restore(kept_type_, kept_value_, kept_traceback_);
  kept_type_ = kept_value_ = kept_traceback_ = nullptr;
  return nullptr;
}

// Runs inside the engine's blocking regions, where this thread has let go of
// the interpreter lock; PyGILState_Ensure takes it back (or notes that it is
// already held, outside a region) and Release restores either state.
bool ProgressCall::report(void* context, uint64_t done_bytes, uint64_t total_bytes) {
  auto* call = static_cast<ProgressCall*>(context);
  if (call->interrupted()) return false;
  PyGILState_STATE gil = PyGILState_Ensure();
  PyObject* result =
      PyObject_CallFunction(call->callable_, "sKK", call->operation_, static_cast<unsigned long long>(done_bytes),
                            static_cast<unsigned long long>(total_bytes));
  if (result == nullptr) PyErr_Fetch(&call->kept_type_, &call->kept_value_, &call->kept_traceback_);
  Py_XDECREF(result);
  const bool go_on = !call->interrupted();
  PyGILState_Release(gil);
  return go_on;
}

PyObject* exchange_progress_hook(ModuleState& state, PyObject* hook) {
  if (hook != Py_None && !PyCallable_Check(hook)) {
    PyErr_SetString(PyExc_TypeError, "progress hook must be callable or None");
    return nullptr;
  }
  PyObject* previous = state.progress_hook;
  state.progress_hook = hook == Py_None ? nullptr : Py_NewRef(hook);
  return previous != nullptr ? previous : Py_NewRef(Py_None);
}

}  // namespace ombrel::python
