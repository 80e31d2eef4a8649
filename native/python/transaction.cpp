// The Transaction class and Store.transaction(); see transaction.h for the
// contract.
#include "python/transaction.h"

#include <unistd.h>

#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/store.h"
#include "engine/write_overlay.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method_registry.h"
#include "python/operation.h"
#include "python/store_slot.h"
#include "util/overloaded.h"
#include "util/process_id.h"

namespace ombrel::python {

namespace {

constexpr const char* kFinishedMessage = "transaction is finished";
constexpr const char* kInUseMessage = "Transaction is already borrowed by a call in progress";

struct TransactionObject {
  PyObject_HEAD std::unique_ptr<engine::Store> store;  // null once given back
  // In staging order; each operation stays at its address, so the views in
  // `overlay` stay valid as operations are added.
  std::vector<std::unique_ptr<StagedOperation>> operations;
  // The staged puts and deletes that reads see, and the staged record
  // changes that record reads see; other kinds take no part.
  engine::WriteOverlay overlay;
  records::RecordOverlay record_overlay;
  std::shared_ptr<StoreCell> cell;
  int owner_pid;  // the process that began it
  bool finished;
  bool in_call;  // refuses re-entrant use (a finaliser calling back in)
};

TransactionObject* as_transaction(PyObject* self) { return reinterpret_cast<TransactionObject*>(self); }

bool is_finished(const TransactionObject& t) { return t.finished || !t.store; }

// The frame of every method that needs a live transaction: the re-entrancy
// and finished checks, then fn(TransactionObject&, const ModuleState&).
template <class Fn>
PyObject* with_live_transaction(PyObject* self, Fn&& fn) {
  ModuleState* state = state_of_instance(self);
  if (state == nullptr) return nullptr;
  TransactionObject& t = *as_transaction(self);
  if (t.in_call) {
    PyErr_SetString(PyExc_RuntimeError, kInUseMessage);
    return nullptr;
  }
  if (is_finished(t)) return raise_store_error(*state, ExceptionKind::TransactionFinishedError, kFinishedMessage);
  t.in_call = true;
  PyObject* result = nullptr;
  try {
    result = fn(t, static_cast<const ModuleState&>(*state));
  } catch (...) {
    result = raise_current_cpp_exception();
  }
  t.in_call = false;
  return result;
}

// Gives the store back and lets go of the slot holder: when the Store object
// is already gone, this was its last owner and the store closes here, not
// whenever the finished transaction object happens to be collected.
bool hand_back(TransactionObject& t, std::unique_ptr<engine::Store> store) {
  const bool ok = give_back(*t.cell, std::move(store));
  t.cell.reset();
  return ok;
}

PyObject* raise_failure(const ModuleState& state, const StagedFailure& failure) {
  return std::visit(Overloaded{
                        [&](const engine::EngineError& error) { return raise_engine_error(state, error); },
                        [&](const DomainFailure& error) { return raise_domain_error(state, error.message); },
                    },
                    failure);
}

PyObject* result_value(const OperationResult::Value& value) {
  return std::visit(Overloaded{
                        [](const std::string& bytes) { return bytes_result(bytes); },
                        [](uint64_t number) { return int_result(number); },
                        [](bool flag) { return bool_result(flag); },
                        [](const ResultText& text) { return text_result(text.text); },
                    },
                    value);
}

PyObject* results_dict(const std::vector<std::pair<size_t, OperationResult>>& results) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [position, result] : results) {
    PyRef key = PyRef::steal(int_result(uint64_t{position}));
    if (!key) return nullptr;
    PyRef value = PyRef::steal(operation_result_dict(result));
    if (!value) return nullptr;
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

// Commit shared by commit, commit_with_results and __exit__: the result
// entries by position, or nullptr with the exception set. The store goes back
// to the slot before the commit's sync is awaited, so that other threads'
// commits can join that sync.
PyObject* commit_transaction(TransactionObject& t, const ModuleState& state, bool want_results) {
  // From here on the transaction counts as finished whatever happens.
  std::unique_ptr<engine::Store> store = std::move(t.store);
  t.finished = true;
  t.overlay.clear();
  t.record_overlay.clear();
  const std::vector<std::unique_ptr<StagedOperation>> operations = std::move(t.operations);
  t.operations.clear();

  std::vector<std::pair<size_t, OperationResult>> results;
  std::optional<StagedFailure> failure;
  try {
    auto tx = store->begin();
    if (!tx) {
      failure = StagedFailure(tx.error());
    } else {
      for (size_t position = 0; position < operations.size(); ++position) {
        auto applied = operations[position]->apply(*tx);
        if (!applied) {
          failure = std::move(applied.error());
          break;  // the engine transaction is dropped uncommitted below
        }
        if (*applied) results.emplace_back(position, std::move(**applied));
      }
      if (!failure) {
        if (auto committed = tx->commit(); !committed) {
          failure = StagedFailure(committed.error());
        } else {
          for (const auto& operation : operations) operation->after_commit(*store);
        }
      }
    }
  } catch (...) {
    give_back_quietly(*t.cell, std::move(store));
    t.cell.reset();
    throw;
  }

  std::shared_ptr<StoreCell> cell = t.cell;
  engine::Store* committed = store.get();
  const std::optional<uint64_t> ticket = store->durability_ticket();
  if (ticket) cell->begin_wait();  // before the store is back where close() can reach it
  if (!hand_back(t, std::move(store))) {
    if (ticket) cell->end_wait();
    return nullptr;
  }
  PyObject* result = failure ? raise_failure(state, *failure) : want_results ? results_dict(results) : none_result();
  if (!ticket) return result;
  return await_durable_then_return(state, *cell, *committed, *ticket, result, SyncErrors::Engine);
}

PyObject* rollback_transaction(TransactionObject& t) {
  t.finished = true;
  t.overlay.clear();
  t.record_overlay.clear();
  t.operations.clear();
  if (!hand_back(t, std::move(t.store))) return nullptr;
  return none_result();
}

struct Get {
  static constexpr const char* kName = "get";
  std::string_view key;
  static constexpr auto kParams = params(param("key", &Get::key));
  static constexpr const char* kDoc =
      "Return the value of `key` as this transaction sees it: its own newest staged put or delete of\n"
      "the key, else the committed value; None when absent. Any key may be read.";

  PyObject* call(PyObject* self) const {
    return with_live_transaction(self, [&](TransactionObject& t, const ModuleState&) -> PyObject* {
      auto value = t.overlay.get(*t.store, key);
      return value ? bytes_result(*value) : none_result();
    });
  }
};

struct Contains {
  static constexpr const char* kName = "contains";
  std::string_view key;
  static constexpr auto kParams = params(param("key", &Contains::key));
  static constexpr const char* kDoc =
      "Return True when `key` is live as this transaction sees it (its staged puts and deletes first).";

  PyObject* call(PyObject* self) const {
    return with_live_transaction(self, [&](TransactionObject& t, const ModuleState&) -> PyObject* {
      return bool_result(t.overlay.get(*t.store, key).has_value());
    });
  }
};

struct ScanPrefix {
  static constexpr const char* kName = "scan_prefix";
  std::string_view prefix;
  static constexpr auto kParams = params(param("prefix", &ScanPrefix::prefix));
  static constexpr const char* kDoc =
      "Return the (key, value) pairs whose key starts with `prefix`, in ascending key order: the\n"
      "committed ones with this transaction's staged puts and deletes applied over them.";

  PyObject* call(PyObject* self) const {
    return with_live_transaction(self, [&](TransactionObject& t, const ModuleState&) -> PyObject* {
      return list_of_pairs_result(t.overlay.scan_prefix(*t.store, prefix));
    });
  }
};

// The plain writes: staged without a check, applied as the engine
// transaction's own (reserved and oversized keys are refused at commit), and
// seen by the transaction's reads.
struct Put {
  static constexpr const char* kName = "put";
  static constexpr bool kReturnsPosition = false;
  std::string key;
  std::string value;
  static constexpr auto kParams = params(param("key", &Put::key), param("value", &Put::value));
  static constexpr const char* kStagedDoc =
      "Stage a write of `value` under `key`. Nothing is checked until commit, where a key in the\n"
      "internal namespace raises ReservedKeyError and nothing of the transaction is written.";

  auto run(engine::Transaction& tx) const { return tx.put(key, value); }
  void add_to_reads(engine::WriteOverlay& overlay) const { overlay.put(key, value); }
};

struct Delete {
  static constexpr const char* kName = "delete";
  static constexpr bool kReturnsPosition = false;
  std::string key;
  static constexpr auto kParams = params(param("key", &Delete::key));
  static constexpr const char* kStagedDoc =
      "Stage the removal of `key` (an absent key is no error). A key in the internal namespace raises\n"
      "ReservedKeyError at commit.";

  auto run(engine::Transaction& tx) const { return tx.delete_key(key); }
  void add_to_reads(engine::WriteOverlay& overlay) const { overlay.erase(key); }
};

struct Commit {
  static constexpr const char* kName = "commit";
  static constexpr const char* kDoc =
      "Apply the staged operations in order in one engine transaction and commit it. The first\n"
      "failure stops it, nothing of the transaction becomes visible and its error is raised. Either\n"
      "way the transaction is finished and the store usable again.";

  PyObject* call(PyObject* self) const {
    return with_live_transaction(
        self, [](TransactionObject& t, const ModuleState& state) { return commit_transaction(t, state, false); });
  }
};

struct CommitWithResults {
  static constexpr const char* kName = "commit_with_results";
  static constexpr const char* kDoc =
      "Commit as commit() does and return a dict from operation position to the result of each\n"
      "operation that yields one (plain writes and record operations yield none).";

  PyObject* call(PyObject* self) const {
    return with_live_transaction(
        self, [](TransactionObject& t, const ModuleState& state) { return commit_transaction(t, state, true); });
  }
};

struct Rollback {
  static constexpr const char* kName = "rollback";
  static constexpr const char* kDoc = "Discard the staged operations and give the store back; nothing is written.";

  PyObject* call(PyObject* self) const {
    return with_live_transaction(self,
                                 [](TransactionObject& t, const ModuleState&) { return rollback_transaction(t); });
  }
};

struct Enter {
  static constexpr const char* kName = "__enter__";
  static constexpr const char* kDoc = "Return the transaction itself.";

  PyObject* call(PyObject* self) const { return Py_NewRef(self); }
};

struct Exit {
  static constexpr const char* kName = "__exit__";
  PyObject* exc_type;
  PyObject* exc_value;
  PyObject* traceback;
  static constexpr auto kParams =
      params(param<arg::AnyObject>("exc_type", &Exit::exc_type), param<arg::AnyObject>("_exc_value", &Exit::exc_value),
             param<arg::AnyObject>("_traceback", &Exit::traceback));
  static constexpr const char* kDoc =
      "Commit when the block ended normally (a commit error propagates), roll back when it raised;\n"
      "do nothing when already finished. Returns False, so the block's exception propagates.";

  PyObject* call(PyObject* self) const {
    if (is_finished(*as_transaction(self))) return bool_result(false);
    const bool failed = exc_type != Py_None;
    PyObject* outcome = with_live_transaction(self, [&](TransactionObject& t, const ModuleState& state) {
      return failed ? rollback_transaction(t) : commit_transaction(t, state, false);
    });
    if (outcome == nullptr) return nullptr;
    Py_DECREF(outcome);
    return bool_result(false);
  }
};

constexpr MethodSpec kTransactionMethods[] = {
    method_spec<Get>(),
    method_spec<Contains>(),
    method_spec<ScanPrefix>(),
    method_spec<Staged<Put>>(),
    method_spec<Staged<Delete>>(),
    method_spec<Commit>(),
    method_spec<CommitWithResults>(),
    method_spec<Rollback>(),
    method_spec<Enter>(),
    method_spec<Exit>(),
};
const MethodBlock kTransactionBlock{TargetClass::Transaction, kTransactionMethods};

void transaction_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  TransactionObject& t = *as_transaction(self);
  // Neither committed nor rolled back: the staged operations are dropped and
  // the store goes back (or is closed if the slot cannot take it). In a
  // forked child it is only let go of (give_back_quietly knows).
  if (t.store) give_back_quietly(*t.cell, std::move(t.store));
  t.cell.~shared_ptr();
  t.overlay.~WriteOverlay();
  t.record_overlay.~RecordOverlay();
  t.operations.~vector();
  t.store.~unique_ptr();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

constexpr const char* kTransactionDoc =
    "An explicit transaction on a Store, made by Store.transaction().\n\n"
    "It holds the store exclusively: writes are staged and applied together at commit, reads see\n"
    "the staged writes over the committed state. Domain operations (jobs, queues, streams, topics,\n"
    "outbox events, objects, RPC requests, workflow moves and the acknowledgements of jobs, queue\n"
    "messages, consumer groups, outbox events and RPC responses) are staged alongside and return\n"
    "their position; commit_with_results() returns what they produced, keyed by position. Staged\n"
    "domain operations take effect at commit: reads before it (get_job, get_workflow, ...) do not\n"
    "see them, while the record reads see the staged upsert_record and delete_record. Usable as a\n"
    "context manager that commits when the block ends normally and rolls back when it raises.";

int add_transaction_class(PyObject* module, ModuleState& state) {
  PyMethodDef* methods = method_table(TargetClass::Transaction);
  if (methods == nullptr) return -1;
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(&transaction_dealloc)},
      {Py_tp_methods, methods},
      {Py_tp_doc, const_cast<char*>(kTransactionDoc)},
      {0, nullptr},
  };
  PyType_Spec spec = {
      "_native.Transaction",
      static_cast<int>(sizeof(TransactionObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
  if (type == nullptr) return -1;
  return install_class(module, state.transaction_type, type);
}

const ClassRegistration kTransactionClass{{2, "Transaction", &add_transaction_class}};

struct BeginTransaction {
  static constexpr const char* kName = "transaction";
  static constexpr const char* kDoc =
      "Return a new Transaction that holds the store until it commits, rolls back or is dropped.\n\n"
      "Meanwhile every other Store call raises StoreBusyError; a second transaction() raises\n"
      "StoreBusyError \"a transaction is already active\".";

  PyObject* call(PyObject* self) const {
    ModuleState* state = state_of_instance(self);
    if (state == nullptr) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(state->transaction_type);
    if (type == nullptr) {
      PyErr_SetString(PyExc_SystemError, "_native: Transaction is not initialised");
      return nullptr;
    }
    std::shared_ptr<StoreCell> cell = reinterpret_cast<StoreObject*>(self)->cell;
    std::unique_ptr<engine::Store> store = take_for_transaction(*state, *cell);
    if (!store) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* created = alloc(type, 0);
    if (created == nullptr) {
      give_back_quietly(*cell, std::move(store));
      return nullptr;
    }
    TransactionObject& t = *as_transaction(created);
    new (&t.store) std::unique_ptr<engine::Store>(std::move(store));
    new (&t.operations) std::vector<std::unique_ptr<StagedOperation>>();
    new (&t.overlay) engine::WriteOverlay();
    new (&t.record_overlay) records::RecordOverlay();
    new (&t.cell) std::shared_ptr<StoreCell>(std::move(cell));
    t.owner_pid = current_process_id();
    t.finished = false;
    t.in_call = false;
    return created;
  }
};

constexpr MethodSpec kStoreTransactionMethods[] = {method_spec<BeginTransaction>()};
const MethodBlock kStoreTransactionBlock{TargetClass::Store, kStoreTransactionMethods};

}  // namespace

bool transaction_precheck(PyObject* self, std::string_view method_name) {
  ModuleState* state = state_of_instance(self);
  if (state == nullptr) return false;
  const TransactionObject& t = *as_transaction(self);
  if (t.owner_pid != current_process_id()) {
    raise_store_error(*state, ExceptionKind::OmbrelStoreError, kOtherProcessMessage);
    return false;
  }
  if (method_name == "__enter__" || method_name == "__exit__" || !is_finished(t)) return true;
  raise_store_error(*state, ExceptionKind::TransactionFinishedError, kFinishedMessage);
  return false;
}

PyObject* stage_operation(PyObject* self, std::unique_ptr<StagedOperation> operation, bool return_position) {
  return with_live_transaction(self, [&](TransactionObject& t, const ModuleState&) -> PyObject* {
    const uint64_t position = t.operations.size();
    const StagedOperation& staged = *t.operations.emplace_back(std::move(operation));
    staged.add_to_reads(t.overlay);
    staged.add_to_record_reads(t.record_overlay);
    return return_position ? int_result(position) : none_result();
  });
}

PyObject* read_in_transaction(PyObject* self,
                              const std::function<PyObject*(const TransactionView&, const ModuleState&)>& read) {
  return with_live_transaction(self, [&](TransactionObject& t, const ModuleState& state) -> PyObject* {
    return read(TransactionView{*t.store, t.overlay, t.record_overlay}, state);
  });
}

PyObject* operation_result_dict(const OperationResult& result) {
  DictBuilder dict;
  dict.set("kind", text_result(result.kind));
  for (const auto& [name, value] : result.fields) dict.set(name, result_value(value));
  return dict.finish();
}

}  // namespace ombrel::python
