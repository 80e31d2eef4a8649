// The binding lock and the slot moves; see store_slot.h for the contract.
#include "python/store_slot.h"

#include <unistd.h>

#include "engine/blocking.h"
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
    borrower = std::thread::id{};
    notify_slot_changed();
  }
  // Otherwise the slot no longer waits for it: closed as `parked` goes.
}

void StoreCell::end_wait() {
  if (waiters_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    // close() may be waiting for the last one, asleep under the mutex; taking
    // the mutex orders this wake-up after its check. The holder of the mutex
    // may need the interpreter lock to finish, so it is let go meanwhile.
    engine::BlockingRegion region;
    std::lock_guard lock(mutex_);
    slot_changed_.notify_all();
  }
}

void StoreCell::wait_for_slot(bool for_waiters, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_, std::adopt_lock);
  owner_.store(std::thread::id{}, std::memory_order_release);
  {
    engine::BlockingRegion region;  // the interpreter lock too
    auto done = [&] { return for_waiters ? waiters() == 0 : state != SlotState::Borrowed; };
    if (deadline == std::chrono::steady_clock::time_point::max())
      slot_changed_.wait(lock, done);
    else
      slot_changed_.wait_until(lock, deadline, done);
  }
  owner_.store(std::this_thread::get_id(), std::memory_order_release);
  lock.release();  // the SlotGuard still owns it
}

SlotState wait_while_borrowed(StoreCell& cell) {
  const uint64_t timeout_ms = cell.busy_timeout_ms.load(std::memory_order_relaxed);
  if (cell.state != SlotState::Borrowed || timeout_ms == 0 || cell.borrower == std::this_thread::get_id())
    return cell.state;
  cell.wait_for_slot(false, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms));
  return cell.state;
}

PyObject* await_durable_then_return(const ModuleState& state, StoreCell& cell, engine::Store& store, uint64_t ticket,
                                    PyObject* result, SyncErrors errors) {
  std::expected<void, engine::EngineError> durable;
  {
    engine::BlockingRegion region;
    durable = store.await_durable(ticket);
  }
  if (durable) {
    cell.end_wait();
    return result;
  }
  {
    // Undo what the failed sync covered before anyone reads it; a store lent
    // to a transaction is settled when it comes back.
    SlotGuard guard(cell, /*quiet=*/true);
    if (guard.locked() && cell.state == SlotState::Open && cell.store().get() == &store) store.settle();
  }
  cell.end_wait();
  Py_XDECREF(result);
  PyErr_Clear();
  if (errors == SyncErrors::Domain) return raise_domain_error(state, "store error: " + durable.error().message());
  return raise_engine_error(state, durable.error());
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
    switch (wait_while_borrowed(cell)) {
      case SlotState::Open:
        cell.store()->settle();
        taken = std::move(cell.store());
        cell.state = SlotState::Borrowed;
        cell.borrower = std::this_thread::get_id();
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
        cell.borrower = std::thread::id{};
        cell.notify_slot_changed();
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
    cell.borrower = std::thread::id{};
    cell.notify_slot_changed();
  }
  // Otherwise the store is closed as `store` goes out of scope.
}

}  // namespace ombrel::python
