// The store slot: the one engine store a Python `Store` owns, behind the
// binding lock.
//
// Contract:
// - StoreCell is shared (std::shared_ptr) by the Python Store object and by a
//   Transaction that has borrowed the engine store; the engine store is closed
//   when the cell is destroyed while it still holds it.
// - The binding lock is a mutex with a poisoned flag. A C++ exception thrown
//   while it is held marks it poisoned; from then on every locked call raises
//   RuntimeError "Ombrel Store binding lock was poisoned".
// - Waiting for a lock held by another thread releases the GIL (the holder may
//   need the GIL to finish); a second acquisition by the holding thread (a
//   finaliser or other re-entrant call) raises RuntimeError instead of
//   deadlocking.
// - with_open_store is the frame of every Store method that needs the engine
//   store: lock, poison check, slot check (Borrowed -> StoreBusyError,
//   Closed -> StoreClosedError), then fn(engine::Store&, const ModuleState&)
//   with the lock held.
// - take_for_transaction / give_back move the engine store out of and back
//   into the slot for a Transaction; give_back_quietly is for destructors.
//   A destructor that runs while its own thread holds the lock (the cyclic
//   garbage collector freeing a Transaction inside a locked call) cannot take
//   the lock: it parks the store in the cell, and the lock's holder puts it
//   back into the slot before it lets go of the lock.
// - An allocation failure (MemoryError) does not poison the lock: every
//   engine operation leaves the store as it was when std::bad_alloc unwinds
//   through it, except the one window that the engine reports itself
//   (live_table_incomplete). Any other C++ exception poisons it. close()
//   ignores the poison and always releases the file and its lock.
// - A Store belongs to the process that opened it. In a forked child every
//   method raises OmbrelStoreError (kOtherProcessMessage) before it looks at
//   its arguments, except close() and __exit__, which only let go of the
//   child's copy: nothing is written and the lock (which the child's
//   descriptor shares with the parent's) is never released.
// - Group commit (engine/commit_sync.h): the engine store is opened with group
//   commit on. A call that leaves a commit applied but not yet durable, or
//   that read one, lets go of the lock and of the interpreter lock and awaits
//   the sync before it returns (await_durable_then_return); meanwhile other
//   threads use the store and their commits join the next sync. A failed sync
//   raises its error in every call that waited on it, after the commits it
//   covered were undone. close() waits for the waiting calls (waiters) first.
// - Busy timeout: with busy_timeout_ms > 0, a call from another thread than
//   the one that borrowed the store for a Transaction waits (without the
//   interpreter lock) until the slot is given back or the timeout passes,
//   and only then raises StoreBusyError; the borrowing thread is refused at
//   once, since waiting would deadlock.
#pragma once

#include <Python.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "engine/store.h"
#include "python/errors.h"
#include "python/module_state.h"

namespace ombrel::python {

enum class SlotState : uint8_t { Open, Borrowed, Closed };

class StoreCell {
 public:
  explicit StoreCell(std::unique_ptr<engine::Store> store);
  StoreCell(const StoreCell&) = delete;
  StoreCell& operator=(const StoreCell&) = delete;

  // The slot; touch only while holding the lock (SlotGuard).
  SlotState state = SlotState::Open;
  std::unique_ptr<engine::Store>& store() { return store_; }
  bool poisoned() const { return poisoned_; }
  void poison() { poisoned_ = true; }
  bool opened_by_this_process() const;
  // Parks a store that a destructor could not hand back (see the contract).
  void park_returned_store(std::unique_ptr<engine::Store> store);

  // Busy timeout, in milliseconds; 0 refuses at once.
  std::atomic<uint64_t> busy_timeout_ms{0};
  // The thread that borrowed the store for a Transaction (slot Borrowed).
  std::thread::id borrower{};
  // Calls awaiting a sync after letting go of the lock; the engine store
  // must outlive them.
  void begin_wait() { waiters_.fetch_add(1, std::memory_order_acq_rel); }
  void end_wait();
  // With the lock held through `guard`'s mutex: lets go of it and of the
  // interpreter lock until the slot leaves Borrowed (or no call waits for a
  // sync, with `for_waiters`), or `deadline`; then holds it again.
  void wait_for_slot(bool for_waiters, std::chrono::steady_clock::time_point deadline);
  // After the slot left Borrowed.
  void notify_slot_changed() { slot_changed_.notify_all(); }
  int waiters() const { return waiters_.load(std::memory_order_acquire); }

 private:
  friend class SlotGuard;
  // With the lock held: a parked store goes back into a Borrowed slot, or is
  // closed when the slot no longer waits for it.
  void settle_parked_store();

  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  bool poisoned_ = false;
  int owner_pid_;
  std::unique_ptr<engine::Store> store_;
  std::mutex parked_mutex_;
  std::unique_ptr<engine::Store> parked_;
  std::atomic<int> waiters_{0};
  std::condition_variable slot_changed_;
};

// Holds the binding lock of one cell for its lifetime. Must be created and
// destroyed with the GIL held.
// When the lock cannot be taken (re-entrant use, a failing mutex) locked() is
// false and, unless `quiet`, a RuntimeError is set.
class SlotGuard {
 public:
  explicit SlotGuard(StoreCell& cell, bool quiet = false);
  ~SlotGuard();
  SlotGuard(const SlotGuard&) = delete;
  SlotGuard& operator=(const SlotGuard&) = delete;

  bool locked() const { return locked_; }
  // The lock was not taken because this thread already holds it.
  bool reentrant() const { return reentrant_; }

 private:
  StoreCell& cell_;
  bool locked_ = false;
  bool reentrant_ = false;
};

// Layout of a Python `Store` instance.
struct StoreObject {
  PyObject_HEAD std::shared_ptr<StoreCell> cell;
};

inline StoreCell& cell_of(PyObject* store_self) { return *reinterpret_cast<StoreObject*>(store_self)->cell; }

inline constexpr const char* kPoisonedMessage = "Ombrel Store binding lock was poisoned";
inline constexpr const char* kReentrantMessage =
    "Ombrel Store binding lock is already held by this thread (re-entrant call on the same store)";
inline constexpr const char* kBusyMessage = "store is exclusively borrowed by an active transaction";
inline constexpr const char* kClosedMessage = "store is closed";
inline constexpr const char* kOtherProcessMessage =
    "store was opened by another process; open it again in this process";

// The check every Store method makes before it looks at its arguments: the
// calling process must be the one that opened the store (close and __exit__
// are let through; they handle a child themselves). False with the exception set.
bool store_precheck(PyObject* self, std::string_view method_name);

// Takes the lock and checks the poisoned flag, then runs fn() (which returns a
// new reference or nullptr with an exception set). A C++ exception from fn
// poisons the lock and becomes MemoryError or RuntimeError.
template <class Fn>
PyObject* with_locked_cell(StoreCell& cell, Fn&& fn) {
  SlotGuard guard(cell);
  if (!guard.locked()) return nullptr;
  if (cell.poisoned()) {
    PyErr_SetString(PyExc_RuntimeError, kPoisonedMessage);
    return nullptr;
  }
  try {
    return std::forward<Fn>(fn)();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    cell.poison();
    return raise_current_cpp_exception();
  }
}

// With the lock held: waits out a Borrowed slot when a busy timeout allows
// it (see the contract). Returns the slot's state afterwards.
SlotState wait_while_borrowed(StoreCell& cell);

// How a method reports a failed sync of its commits: as the engine error
// itself (the key-value methods and Transaction.commit: IoError, DiskFullError
// ...) or as its domain does (OmbrelStoreError "store error: " + the engine
// text, every domain error's wrapping of an engine error).
enum class SyncErrors : uint8_t { Engine, Domain };

// After a call whose result (or exception) `result` may show commits that
// are not yet durable: awaits `ticket` with neither lock held, then returns
// `result`, or raises the failed sync's error instead (the commits it
// covered undone first). The caller has counted itself in cell.begin_wait().
PyObject* await_durable_then_return(const ModuleState& state, StoreCell& cell, engine::Store& store, uint64_t ticket,
                                    PyObject* result, SyncErrors errors);

// The frame of every Store method that runs against the open engine store.
// fn(engine::Store&, const ModuleState&) returns a new reference or nullptr
// with an exception set (the state is there for mapping errors).
template <SyncErrors kSyncErrors = SyncErrors::Domain, class Fn>
PyObject* with_open_store(PyObject* self, Fn&& fn) {
  ModuleState* state = state_of_instance(self);
  if (state == nullptr) return nullptr;
  StoreCell& cell = cell_of(self);
  engine::Store* used = nullptr;
  std::optional<uint64_t> ticket;
  PyObject* result = with_locked_cell(cell, [&]() -> PyObject* {
    switch (wait_while_borrowed(cell)) {
      case SlotState::Open: {
        engine::Store& store = *cell.store();
        store.settle();
        if (store.live_table_incomplete())
          return raise_store_error(*state, ExceptionKind::OmbrelStoreError, engine::kIncompleteTableMessage);
        PyObject* out = fn(store, static_cast<const ModuleState&>(*state));
        ticket = store.durability_ticket();
        if (ticket) {
          used = &store;
          cell.begin_wait();
        }
        return out;
      }
      case SlotState::Borrowed:
        return raise_store_error(*state, ExceptionKind::StoreBusyError, kBusyMessage);
      case SlotState::Closed:
        return raise_store_error(*state, ExceptionKind::StoreClosedError, kClosedMessage);
    }
    return raise_store_error(*state, ExceptionKind::StoreClosedError, kClosedMessage);
  });
  if (used == nullptr) return result;
  return await_durable_then_return(*state, cell, *used, *ticket, result, kSyncErrors);
}

// Moves the engine store out of an Open slot, leaving it Borrowed. On failure
// returns nullptr with StoreBusyError "a transaction is already active",
// StoreClosedError "store is closed" or the poisoned-lock RuntimeError set.
std::unique_ptr<engine::Store> take_for_transaction(const ModuleState& state, StoreCell& cell);

// Puts a borrowed engine store back (slot Borrowed -> Open). Returns false
// with RuntimeError set when the slot is not Borrowed or the lock is poisoned;
// the store is then closed.
bool give_back(StoreCell& cell, std::unique_ptr<engine::Store> store);

// As give_back, for destructors: never raises; any failure closes the store.
void give_back_quietly(StoreCell& cell, std::unique_ptr<engine::Store> store) noexcept;

}  // namespace ombrel::python
