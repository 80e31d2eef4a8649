// The binding lock and the slot moves; see store_slot.h for the contract.
#include "python/store_slot.h"

#include <unistd.h>

#include "python/convert.h"
#include "util/process_id.h"

namespace ombrel::python {

StoreCell::StoreCell(std::unique_ptr<engine::Store> store)
    : owner_pid_(current_process_id()), store_(std::move(store)) {}

bool StoreCell::opened_by_this_process() const { return current_process_id() == owner_pid_; }

void StoreCell::park_returned_store(std::unique_ptr<engine::Store> store) {
  std::lock_guard lock(parked_mutex_);
  parked_ = std::move(store);
}

void StoreCell::settle_parked_store() {
  std::unique_ptr<engine::Store> parked;
  {
    std::lock_guard lock(parked_mutex_);
    parked = std::move(parked_);
  }
  if (!parked) return;
  if (state == SlotState::Borrowed && !poisoned_) {
    store_ = std::move(parked);
    state = SlotState::Open;
  }
  // Otherwise the slot no longer waits for it: closed as `parked` goes.
}

bool store_precheck(PyObject* self, std::string_view method_name) {
  if (cell_of(self).opened_by_this_process() || method_name == "close" || method_name == "__exit__") return true;
  ModuleState* state = state_of_instance(self);
  if (state != nullptr) raise_store_error(*state, ExceptionKind::OmbrelStoreError, kOtherProcessMessage);
  return false;
}

SlotGuard::SlotGuard(StoreCell& cell, bool quiet) : cell_(cell) {
  const std::thread::id me = std::this_thread::get_id();
  try {
    if (!cell.mutex_.try_lock()) {
      if (cell.owner_.load(std::memory_order_acquire) == me) {
        reentrant_ = true;
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
  cell.settle_parked_store();
}

SlotGuard::~SlotGuard() {
  if (!locked_) return;
  cell_.settle_parked_store();
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
  // A forked child never hands back: the parent's slot is not its to fill,
  // and the lock may be held by a thread that does not exist here.
  if (!cell.opened_by_this_process()) return;
  SlotGuard guard(cell, /*quiet=*/true);
  if (guard.reentrant()) {
    cell.park_returned_store(std::move(store));
    return;
  }
  if (guard.locked() && !cell.poisoned() && cell.state == SlotState::Borrowed) {
    cell.store() = std::move(store);
    cell.state = SlotState::Open;
  }
  // Otherwise the store is closed as `store` goes out of scope.
}

}  // namespace ombrel::python
