// The binding lock and the slot moves; see store_slot.h for the contract.
#include "python/store_slot.h"

#include "python/convert.h"

namespace ombrel::python {

SlotGuard::SlotGuard(StoreCell& cell, bool quiet) : cell_(cell) {
  const std::thread::id me = std::this_thread::get_id();
  try {
    if (!cell.mutex_.try_lock()) {
      if (cell.owner_.load(std::memory_order_acquire) == me) {
        if (!quiet) PyErr_SetString(PyExc_RuntimeError, kReentrantMessage);
        return;
      }
      // The holder may be waiting for the GIL to finish its call.
      PyThreadState* saved = PyEval_SaveThread();
      try {
        cell.mutex_.lock();
      } catch (...) {
        PyEval_RestoreThread(saved);
        throw;
      }
      PyEval_RestoreThread(saved);
    }
  } catch (...) {
    if (!quiet) raise_current_cpp_exception();
    return;
  }
  cell.owner_.store(me, std::memory_order_release);
  locked_ = true;
}

SlotGuard::~SlotGuard() {
  if (!locked_) return;
  cell_.owner_.store(std::thread::id{}, std::memory_order_release);
  cell_.mutex_.unlock();
}

std::unique_ptr<engine::Store> take_for_transaction(const ModuleState& state, StoreCell& cell) {
  std::unique_ptr<engine::Store> taken;
  PyObject* outcome = with_locked_cell(cell, [&]() -> PyObject* {
    switch (cell.state) {
      case SlotState::Open:
        taken = std::move(cell.store());
        cell.state = SlotState::Borrowed;
        return none_result();
      case SlotState::Borrowed:
        return raise_store_error(state, ExceptionKind::StoreBusyError, "a transaction is already active");
      case SlotState::Closed:
        break;
    }
    return raise_store_error(state, ExceptionKind::StoreClosedError, kClosedMessage);
  });
  if (outcome == nullptr) return nullptr;
  Py_DECREF(outcome);
  return taken;
}

bool give_back(StoreCell& cell, std::unique_ptr<engine::Store> store) {
  // On every failure path `store` is still ours and is closed on return.
  PyObject* outcome = with_locked_cell(cell, [&]() -> PyObject* {
    switch (cell.state) {
      case SlotState::Borrowed:
        cell.store() = std::move(store);
        cell.state = SlotState::Open;
        return none_result();
      case SlotState::Open:
        PyErr_SetString(PyExc_RuntimeError, "internal binding error: store unexpectedly available");
        return nullptr;
      case SlotState::Closed:
        break;
    }
    PyErr_SetString(PyExc_RuntimeError, "internal binding error: store closed during transaction");
    return nullptr;
  });
  if (outcome == nullptr) return false;
  Py_DECREF(outcome);
  return true;
}

void give_back_quietly(StoreCell& cell, std::unique_ptr<engine::Store> store) noexcept {
  SlotGuard guard(cell, /*quiet=*/true);
  if (guard.locked() && !cell.poisoned() && cell.state == SlotState::Borrowed) {
    cell.store() = std::move(store);
    cell.state = SlotState::Open;
  }
  // Otherwise the store is closed as `store` goes out of scope.
}

}  // namespace ombrel::python
