#include "python/blocking_call.h"

#include <Python.h>

namespace ombrel::python {
namespace {

// One per thread: the thread state saved while the thread is in a region.
thread_local PyThreadState* t_saved = nullptr;

void let_go(void*) { t_saved = PyEval_SaveThread(); }
void take_back(void*) {
  PyThreadState* saved = t_saved;
  t_saved = nullptr;
  PyEval_RestoreThread(saved);
}

constexpr engine::BlockingHook kInterpreterLockHook{&let_go, &take_back, nullptr};
thread_local bool t_installed = false;

}  // namespace

void install_blocking_hook() {
  if (t_installed) return;
  engine::set_blocking_hook(&kInterpreterLockHook);
  t_installed = true;
}

}  // namespace ombrel::python
