// The ReadOnlyStore class and Store.open_read_only: a store file that another
// process holds for writing, followed read-only (engine/log_follower.h).
//
// Contract:
// - Store.open_read_only(path) replays the committed prefix of the file
//   without taking any lock and without writing anything; the instance it
//   returns serves reads of that state until refresh() replays what was
//   committed since. A torn tail is "not yet written".
// - A ReadOnlyStore is laid out as a Store (its first member is a StoreObject
//   whose cell holds the follower's engine store), so the read methods it
//   shares with Store (kSharedReads) are the very functions of Store's table:
//   the same arguments, results, errors and binding lock. Those it adds are
//   refresh, close and the context manager.
// - refresh() raises OmbrelStoreError "store file was replaced; open it
//   again" when the path now names another file (compaction or restore renamed
//   over it, removal) or the file was rewritten in place; the instance keeps
//   serving the state it had. Replay errors raise as at open (CorruptionError,
//   IoError).
// - close() releases the file; afterwards every method but close raises
//   StoreClosedError.
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "engine/blocking.h"
#include "engine/log_follower.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method_registry.h"
#include "python/module_state.h"
#include "python/parameters.h"
#include "python/store_slot.h"

namespace ombrel::python {
namespace {

struct ReadOnlyStoreObject {
  StoreObject store;                              // first: the methods shared with Store see a Store
  std::unique_ptr<engine::LogFollower> follower;  // touched only under the cell's lock
};

ReadOnlyStoreObject& read_only_of(PyObject* self) { return *reinterpret_cast<ReadOnlyStoreObject*>(self); }

// The Store methods a ReadOnlyStore offers: those that only read the
// committed state.
constexpr std::string_view kSharedReads[] = {
    "get",
    "contains",
    "scan_prefix",
    "changes_after",
    "changes_for_transaction",
    "get_object",
    "get_object_chunk",
    "object_info",
    "verify_object",
    "resolve_object_ref",
    "list_object_refs",
    "read_stream",
    "stream_tail_offset",
    "read_topic",
    "poll_topic",
    "topic_subscription_offset",
    "consumer_group_state",
    "queue_stats",
    "outbox_events_after",
    "outbox_len",
    "pending_rpc_requests_after",
    "get_rpc_response",
    "get_record",
    "scan_collection",
    "collection_definition",
    "collection_migrations",
    "query_index_exact",
    "query_index_range",
    "get_job",
    "list_jobs",
    "job_stats",
    "job_history",
    "get_schedule",
    "get_cron_schedule",
    "list_cron_schedules",
    "get_trigger",
    "list_triggers",
    "get_workflow",
    "workflow_history",
    "workflow_children",
    "list_workflows",
    "storage_stats",
};

PyObject* raise_follow_error(const ModuleState& state, const engine::FollowError& error) {
  if (error.kind() == engine::FollowError::Kind::Engine && error.engine_error())
    return raise_engine_error(state, *error.engine_error());
  return raise_store_error(state, ExceptionKind::OmbrelStoreError, error.message());
}

PyObject* close_read_only(PyObject* self) {
  StoreCell& cell = cell_of(self);
  SlotGuard guard(cell);
  if (!guard.locked()) return nullptr;
  if (cell.state == SlotState::Open) {
    std::unique_ptr<engine::Store> closing = std::move(cell.store());
    std::unique_ptr<engine::LogFollower> follower = std::move(read_only_of(self).follower);
    cell.state = SlotState::Closed;
    engine::BlockingRegion region;  // freeing a large table takes a while
    closing.reset();
    follower.reset();
  }
  return none_result();
}

void read_only_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  {
    engine::BlockingRegion region;
    read_only_of(self).follower.~unique_ptr();
    read_only_of(self).store.cell.~shared_ptr();
  }
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

struct OpenReadOnly {
  static constexpr const char* kName = "open_read_only";
  static constexpr MethodKind kKind = MethodKind::Static;
  std::string path;
  static constexpr auto kParams = params(param<arg::Path>("path", &OpenReadOnly::path));
  static constexpr const char* kDoc =
      "Open the existing store file at `path` read-only and return a ReadOnlyStore.\n\n"
      "Meant for a store that another process holds for writing: no lock is taken and nothing is\n"
      "ever written, repaired or created. The committed prefix of the log is replayed; a torn tail\n"
      "(an append still in progress) counts as not yet written. refresh() reads what was committed\n"
      "since. Raises IoError when the file cannot be read and CorruptionError when it is damaged.";

  PyObject* call(PyObject* module) const {
    ModuleState* state = state_of_module(module);
    if (state == nullptr) return nullptr;
    auto opened = engine::LogFollower::open(path);
    if (!opened) return raise_follow_error(*state, opened.error());
    auto* type = reinterpret_cast<PyTypeObject*>(state->read_only_store_type);
    if (type == nullptr) {
      PyErr_SetString(PyExc_SystemError, "_native: ReadOnlyStore is not initialised");
      return nullptr;
    }
    auto cell = std::make_shared<StoreCell>(std::move(opened->store));
    auto follower = std::make_unique<engine::LogFollower>(std::move(opened->follower));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&read_only_of(self).store.cell) std::shared_ptr<StoreCell>(std::move(cell));
    new (&read_only_of(self).follower) std::unique_ptr<engine::LogFollower>(std::move(follower));
    return self;
  }
};

struct Refresh {
  static constexpr const char* kName = "refresh";
  static constexpr const char* kDoc =
      "Replay what the writer has committed since the last replay; return how many transactions\n"
      "that applied (0 when nothing new was committed).\n\n"
      "Only the bytes appended since are read. A transaction becomes visible at once, when its\n"
      "commit record is read. Raises OmbrelStoreError \"store file was replaced; open it again\"\n"
      "when the path now names another file (a compaction or restore moved over it) or the file\n"
      "was rewritten; the reads then go on serving the state replayed so far.";

  PyObject* call(PyObject* self) const {
    ReadOnlyStoreObject& object = read_only_of(self);
    return with_open_store<SyncErrors::Engine>(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto applied = object.follower->refresh(store);
      if (!applied) return raise_follow_error(state, applied.error());
      return int_result(*applied);
    });
  }
};

struct Close {
  static constexpr const char* kName = "close";
  static constexpr const char* kDoc = "Release the file; closing a closed ReadOnlyStore does nothing.";

  PyObject* call(PyObject* self) const { return close_read_only(self); }
};

struct Enter {
  static constexpr const char* kName = "__enter__";
  static constexpr const char* kDoc = "Return the ReadOnlyStore itself.";

  PyObject* call(PyObject* self) const { return Py_NewRef(self); }
};

struct Exit {
  static constexpr const char* kName = "__exit__";
  PyObject* exc_type;
  PyObject* exc_value;
  PyObject* traceback;
  static constexpr auto kParams =
      params(param<arg::AnyObject>("_exc_type", &Exit::exc_type), param<arg::AnyObject>("_exc_value", &Exit::exc_value),
             param<arg::AnyObject>("_traceback", &Exit::traceback));
  static constexpr const char* kDoc = "Close as close() does and return False.";

  PyObject* call(PyObject* self) const {
    PyObject* closed = close_read_only(self);
    if (closed == nullptr) return nullptr;
    Py_DECREF(closed);
    return bool_result(false);
  }
};

constexpr MethodSpec kOpenBlock[] = {method_spec<OpenReadOnly>()};
const MethodBlock kOpenMethods{TargetClass::Store, kOpenBlock};

constexpr MethodSpec kOwnMethods[] = {method_spec<Refresh>(), method_spec<Close>(), method_spec<Enter>(),
                                      method_spec<Exit>()};

// Store's definitions of the shared reads, then the class's own; built once
// and kept for the life of the process, as the registry keeps Store's.
PyMethodDef* read_only_method_table() {
  static std::deque<std::string> docs;
  static std::vector<PyMethodDef> defs;
  if (!defs.empty()) return defs.data();
  PyMethodDef* store_methods = method_table(TargetClass::Store);
  if (store_methods == nullptr) return nullptr;
  for (std::string_view name : kSharedReads) {
    PyMethodDef* found = store_methods;
    while (found->ml_name != nullptr && found->ml_name != name) ++found;
    if (found->ml_name == nullptr) {
      defs.clear();
      PyErr_Format(PyExc_SystemError, "_native: Store has no method %.*s to share", static_cast<int>(name.size()),
                   name.data());
      return nullptr;
    }
    defs.push_back(*found);
  }
  for (const MethodSpec& spec : kOwnMethods) {
    docs.push_back(text_signature_doc(spec.name, spec.params, false, spec.doc));
    defs.push_back(PyMethodDef{spec.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(spec.function)),
                               METH_FASTCALL | METH_KEYWORDS, docs.back().c_str()});
  }
  defs.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  return defs.data();
}

constexpr const char* kReadOnlyStoreDoc =
    "A store file that another process holds for writing, opened read-only.\n\n"
    "Created only by Store.open_read_only(path). Its reads are those of Store and see the state\n"
    "committed when it was opened or last refreshed; refresh() catches up. Usable as a context\n"
    "manager that closes it on exit.";

int add_read_only_store_class(PyObject* module, ModuleState& state) {
  PyMethodDef* methods = read_only_method_table();
  if (methods == nullptr) return -1;
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(&read_only_dealloc)},
      {Py_tp_methods, methods},
      {Py_tp_doc, const_cast<char*>(kReadOnlyStoreDoc)},
      {0, nullptr},
  };
  PyType_Spec spec = {
      "_native.ReadOnlyStore",
      static_cast<int>(sizeof(ReadOnlyStoreObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
  if (type == nullptr) return -1;
  return install_class(module, state.read_only_store_type, type);
}

const ClassRegistration kReadOnlyStoreClass{{4, "ReadOnlyStore", &add_read_only_store_class}};

}  // namespace
}  // namespace ombrel::python
