// Engine and domain error mapping; see errors.h for the contract.
#include "python/errors.h"

#include <cstring>
#include <exception>
#include <new>

namespace ombrel::python {

ExceptionKind exception_for_engine_error(engine::EngineError::Kind kind) {
  using Kind = engine::EngineError::Kind;
  switch (kind) {
    case Kind::Io:
      return ExceptionKind::IoError;
    case Kind::Header:
    case Kind::Log:
    case Kind::InvalidOperation:
    case Kind::NonMonotonicSequence:
    case Kind::RecordAfterCommit:
      return ExceptionKind::CorruptionError;
    case Kind::AlreadyOpen:
      return ExceptionKind::AlreadyOpenError;
    // The store's own byte limit is a configuration limit, not a full disk.
    case Kind::StorageQuotaExceeded:
      return ExceptionKind::OmbrelStoreError;
    case Kind::StorageFull:
      return ExceptionKind::DiskFullError;
    case Kind::NamespaceQuotaExceeded:
    case Kind::NamespaceQuotaOverflow:
      return ExceptionKind::NamespaceQuotaError;
    case Kind::ReservedKey:
      return ExceptionKind::ReservedKeyError;
    case Kind::TransactionFinished:
      return ExceptionKind::TransactionFinishedError;
    case Kind::KeyTooLarge:
    case Kind::Entropy:
    case Kind::CounterExhausted:
    case Kind::ClockBeforeEpoch:
    case Kind::TimestampOverflow:
    case Kind::BackupDestinationSame:
      return ExceptionKind::OmbrelStoreError;
  }
  return ExceptionKind::OmbrelStoreError;
}

PyObject* raise_with_text(PyObject* exception_class, std::string_view message) {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(exception_class, text);
  Py_DECREF(text);
  return nullptr;
}

PyObject* raise_store_error(const ModuleState& state, ExceptionKind kind, std::string_view message) {
  PyObject* exception_class = state.exception(kind);
  if (exception_class == nullptr) {
    PyErr_SetString(PyExc_SystemError, "_native: exception classes are not initialised");
    return nullptr;
  }
  return raise_with_text(exception_class, message);
}

PyObject* raise_engine_error(const ModuleState& state, const engine::EngineError& error) {
  return raise_store_error(state, exception_for_engine_error(error.kind()), error.message());
}

PyObject* raise_domain_error(const ModuleState& state, std::string_view message) {
  return raise_store_error(state, ExceptionKind::OmbrelStoreError, message);
}

PyObject* raise_current_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    // what() may hold any bytes: decode leniently so the fault is still reported.
    const char* what = e.what();
    PyObject* detail = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "replace");
    if (detail != nullptr) {
      PyObject* text = PyUnicode_FromFormat("Ombrel Store internal error: %U", detail);
      Py_DECREF(detail);
      if (text != nullptr) {
        PyErr_SetObject(PyExc_RuntimeError, text);
        Py_DECREF(text);
      }
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Ombrel Store internal error");
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Ombrel Store internal error");
  }
  return nullptr;
}

}  // namespace ombrel::python
