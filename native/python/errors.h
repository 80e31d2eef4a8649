// Turning store errors into Python exceptions, exactly once per call.
//
// Contract:
// - raise_engine_error picks the exception class by EngineError::Kind and uses
//   the engine's display text unchanged.
// - raise_domain_error raises OmbrelStoreError with a domain error's display
//   text; every domain converter passes its error's message() here.
// - raise_store_error raises one of the module's exception classes with a
//   fixed binding text ("store is closed", ...).
// - raise_current_cpp_exception is called from a catch block at the binding
//   boundary: std::bad_alloc becomes MemoryError, anything else RuntimeError,
//   so no C++ exception ever unwinds into the interpreter.
// All return nullptr so a method can `return raise_...(...)`.
#pragma once

#include <Python.h>

#include <expected>
#include <string_view>

#include "engine/errors.h"
#include "python/convert.h"
#include "python/module_state.h"

namespace ombrel::python {

PyObject* raise_engine_error(const ModuleState& state, const engine::EngineError& error);
PyObject* raise_domain_error(const ModuleState& state, std::string_view message);

// None for a successful engine write, else the mapped engine error.
inline PyObject* none_or_engine_error(const ModuleState& state, const std::expected<void, engine::EngineError>& done) {
  if (!done) return raise_engine_error(state, done.error());
  Py_RETURN_NONE;
}
PyObject* raise_store_error(const ModuleState& state, ExceptionKind kind, std::string_view message);
// Any Python exception class, with the message decoded as UTF-8 (invalid bytes
// replaced, so an odd byte in an OS description cannot hide the real error).
PyObject* raise_with_text(PyObject* exception_class, std::string_view message);
PyObject* raise_current_cpp_exception() noexcept;

// The exception class that raise_engine_error uses for `kind`.
ExceptionKind exception_for_engine_error(engine::EngineError::Kind kind);

}  // namespace ombrel::python
