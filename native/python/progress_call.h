// The progress hook of the Python face. Store.set_progress_hook(hook) keeps
// one callable per module (None: no hook); every long maintenance call
// (verify, backup_to, checkpoint_to, restore_copy, compact_copy_to,
// snapshot_to, compact_generation_to) runs its engine work under a
// ProgressCall, which hands the engine (engine/progress.h) a hook that takes
// the interpreter lock back for the call only and calls
// hook(operation, done_bytes, total_bytes), operation being the method's name.
//
// An exception raised by the hook stops the work at its next progress point:
// what the work had written was staged and is removed, so nothing is left
// half-written, and the method raises the hook's exception instead of its
// result or error. The hook is not called again for that operation.
#pragma once

#include <Python.h>

#include "engine/progress.h"
#include "python/module_state.h"

namespace ombrel::python {

class ProgressCall {
 public:
  // Installs the engine hook on the calling thread when the module has a
  // progress hook; otherwise does nothing.
  ProgressCall(const ModuleState& state, const char* operation);
  ~ProgressCall();
  ProgressCall(const ProgressCall&) = delete;
  ProgressCall& operator=(const ProgressCall&) = delete;

  // True when the hook raised; raise_kept() then sets its exception and
  // returns nullptr, for the method to return.
  bool interrupted() const { return kept_type_ != nullptr; }
  PyObject* raise_kept();

 private:
  static bool report(void* context, uint64_t done_bytes, uint64_t total_bytes);
  PyObject* callable_ = nullptr;  // strong reference, for the call's length
  const char* operation_;
  engine::ProgressHook hook_{};
  const engine::ProgressHook* previous_ = nullptr;
  bool installed_ = false;
  PyObject* kept_type_ = nullptr;
  PyObject* kept_value_ = nullptr;
  PyObject* kept_traceback_ = nullptr;
};

// Replaces the module's hook (None or a callable) and returns the previous
// one (a new reference, None when there was none); a non-callable raises
// TypeError and changes nothing.
PyObject* exchange_progress_hook(ModuleState& state, PyObject* hook);

}  // namespace ombrel::python
