// The Store class and its main method block: lifecycle (open, verify, close,
// context manager) and the plain key-value methods.
//
// Contract: a Store instance is a StoreObject whose cell owns the engine
// store; only Store.open makes one. Every method except the static ones,
// close and __enter__ runs inside with_open_store (binding lock, slot check);
// engine errors are raised through raise_engine_error with their own text.
// Dropping the last reference to a Store closes the engine store if the slot
// still holds it; a Transaction holding the cell keeps it alive until it ends.
#include <memory>
#include <new>
#include <span>
#include <string>

#include "engine/store.h"
#include "engine/verification.h"
#include "maintenance/salvage.h"
#include "python/blocking_call.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method_registry.h"
#include "python/module_state.h"
#include "python/progress_call.h"
#include "python/store_slot.h"
#include "python/verification_report.h"

namespace ombrel::python {
namespace {

PyObject* new_store_object(const ModuleState& state, std::unique_ptr<engine::Store> store) {
  auto* type = reinterpret_cast<PyTypeObject*>(state.store_type);
  if (type == nullptr) {
    PyErr_SetString(PyExc_SystemError, "_native: Store is not initialised");
    return nullptr;
  }
  auto cell = std::make_shared<StoreCell>(std::move(store));
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;  // the cell, and with it the engine store, is closed here
  new (&reinterpret_cast<StoreObject*>(self)->cell) std::shared_ptr<StoreCell>(std::move(cell));
  return self;
}

void store_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Closes the engine store unless a live Transaction still shares the cell.
  {
    engine::BlockingRegion region;
    reinterpret_cast<StoreObject*>(self)->cell.~shared_ptr();
  }
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

// close() and __exit__: Open -> Closed, Closed stays, Borrowed refuses. A
// poisoned lock does not stop a close: whatever an internal fault left, the
// file and its lock are released. In a forked child nothing is touched: the
// child's copy is let go of when the object is dropped, without unlocking.
PyObject* close_store(PyObject* self) {
  ModuleState* state = state_of_instance(self);
  if (state == nullptr) return nullptr;
  StoreCell& cell = cell_of(self);
  if (!cell.opened_by_this_process()) return none_result();
  SlotGuard guard(cell);
  if (!guard.locked()) return nullptr;
  // Calls still awaiting a sync use the engine store without the lock.
  if (cell.state == SlotState::Open && cell.waiters() > 0)
    cell.wait_for_slot(/*for_waiters=*/true, std::chrono::steady_clock::time_point::max());
  switch (cell.state) {
    case SlotState::Open: {
      std::unique_ptr<engine::Store> closing = std::move(cell.store());
      cell.state = SlotState::Closed;
      {
        // Freeing a large table takes a while; other threads run meanwhile.
        engine::BlockingRegion region;
        closing.reset();  // releases the file, its lock and the writer registry entry
      }
      return none_result();
    }
    case SlotState::Closed:
      return none_result();
    case SlotState::Borrowed:
      break;
  }
  return raise_store_error(*state, ExceptionKind::StoreBusyError, "cannot close store while a transaction is active");
}

std::optional<engine::Durability> durability_from_text(std::string_view text) {
  if (text == "strict") return engine::Durability::Strict;
  if (text == "data") return engine::Durability::Data;
  if (text == "relaxed") return engine::Durability::Relaxed;
  return std::nullopt;
}

struct Open {
  static constexpr const char* kName = "open";
  static constexpr MethodKind kKind = MethodKind::Static;
  std::string path;
  std::string durability;
  bool repair_torn_tail;
  std::optional<uint64_t> max_bytes;
  std::optional<uint64_t> namespace_max_bytes;
  static constexpr auto kParams =
      params(param<arg::Path>("path", &Open::path), keyword<arg::Text>("durability", &Open::durability, "data"),
             keyword("repair_torn_tail", &Open::repair_torn_tail, true), keyword("max_bytes", &Open::max_bytes, kNone),
             keyword("namespace_max_bytes", &Open::namespace_max_bytes, kNone));
  static constexpr const char* kDoc =
      "Open the store file at `path`, creating it if it does not exist, and return a new Store.\n\n"
      "durability: \"strict\" (full sync at each commit), \"data\" (data sync) or \"relaxed\" (no sync).\n"
      "repair_torn_tail: cut an incomplete last record left by a crash off the file.\n"
      "max_bytes: upper bound on the file length, or None for no limit.\n"
      "namespace_max_bytes: upper bound on the value bytes held by each key namespace, or None.\n\n"
      "Raises AlreadyOpenError while another writer (in this or another process) holds the file,\n"
      "CorruptionError for a damaged header or log and IoError for an operating-system failure.";

  PyObject* call(PyObject* module) const {
    ModuleState* state = state_of_module(module);
    if (state == nullptr) return nullptr;
    if (max_bytes == uint64_t{0}) {
      PyErr_SetString(PyExc_ValueError, "max_bytes must be positive");
      return nullptr;
    }
    if (namespace_max_bytes == uint64_t{0}) {
      PyErr_SetString(PyExc_ValueError, "namespace_max_bytes must be positive");
      return nullptr;
    }
    auto mode = durability_from_text(durability);
    if (!mode) {
      PyErr_SetString(PyExc_ValueError, "durability must be one of: 'strict', 'data', 'relaxed'");
      return nullptr;
    }

    engine::StoreOptions options;
    options.max_bytes = max_bytes;
    options.namespace_max_bytes = namespace_max_bytes;
    options.repair_torn_tail = repair_torn_tail;
    options.durability = *mode;
    auto store = engine::Store::open_with_options(path, options);
    if (!store) return raise_engine_error(*state, store.error());
    (*store)->enable_group_commit();
    return new_store_object(*state, std::move(*store));
  }
};

struct Verify {
  static constexpr const char* kName = "verify";
  static constexpr MethodKind kKind = MethodKind::Static;
  std::string path;
  static constexpr auto kParams = params(param<arg::Path>("path", &Verify::path));
  static constexpr const char* kDoc =
      "Check the store file at `path` without opening it for writing and return a VerificationReport.\n\n"
      "The file is replayed read-only under a shared lock; a torn tail is reported, never repaired.\n"
      "Raises AlreadyOpenError while a writer holds the file, IoError when it cannot be read and\n"
      "CorruptionError when its header or log is damaged.";

  PyObject* call(PyObject* module) const {
    ModuleState* state = state_of_module(module);
    if (state == nullptr) return nullptr;
    ProgressCall progress(*state, kName);
    auto report = engine::verify_store(path);
    if (progress.interrupted()) return progress.raise_kept();
    if (!report) return raise_engine_error(*state, report.error());
    return new_verification_report(*state, *report);
  }
};

struct Salvage {
  static constexpr const char* kName = "salvage";
  static constexpr MethodKind kKind = MethodKind::Static;
  std::string path;
  static constexpr auto kParams = params(param<arg::Path>("path", &Salvage::path));
  static constexpr const char* kDoc =
      "Cut a damaged store file back to the longest prefix of its log that replays, keeping the cut\n"
      "bytes in a side file, and return a dict describing the cut.\n\n"
      "Opening refuses a log that is damaged before its end (CorruptionError) and never cuts past a\n"
      "valid record on its own; this is the owner's knowing way out. The bytes after the prefix are\n"
      "written to \"<path>.salvage-<offset>\" and synced before the store file is cut. A file that\n"
      "replays to its end is left unchanged. The store must not be open anywhere (AlreadyOpenError).\n\n"
      "Returns {\"file_bytes\": length before, \"valid_bytes\": length after, \"cut_bytes\": bytes moved\n"
      "out, \"side_file\": its path or None, \"damage\": the error text that stopped the replay, or\n"
      "None for a clean end or a torn tail}. A damaged header raises CorruptionError.";

  PyObject* call(PyObject* module) const {
    ModuleState* state = state_of_module(module);
    if (state == nullptr) return nullptr;
    auto report = run_blocking([&] { return maintenance::salvage_store(path); });
    if (!report) return raise_engine_error(*state, report.error());
    DictBuilder dict;
    dict.set("file_bytes", int_result(report->file_bytes))
        .set("valid_bytes", int_result(report->valid_bytes))
        .set("cut_bytes", int_result(report->file_bytes - report->valid_bytes))
        .set("side_file", report->side_file.empty() ? none_result() : text_result(report->side_file))
        .set("damage", report->damage ? text_result(report->damage->message()) : none_result());
    return dict.finish();
  }
};

struct Close {
  static constexpr const char* kName = "close";
  static constexpr const char* kDoc =
      "Close the store: release its file and writer lock. Closing a closed store does nothing.\n\n"
      "Nothing is written or synced. Raises StoreBusyError while a transaction holds the store.";

  PyObject* call(PyObject* self) const { return close_store(self); }
};

struct Flush {
  static constexpr const char* kName = "flush";
  static constexpr const char* kDoc = "Make everything written so far durable on disk.";

  PyObject* call(PyObject* self) const {
    return with_open_store<SyncErrors::Engine>(self, [](engine::Store& store, const ModuleState& state) -> PyObject* {
      return none_or_engine_error(state, store.flush());
    });
  }
};

struct Get {
  static constexpr const char* kName = "get";
  std::string_view key;
  static constexpr auto kParams = params(param("key", &Get::key));
  static constexpr const char* kDoc =
      "Return the committed value of `key` as bytes, or None when the key is absent.\n\n"
      "Any key may be read, internal keys included.";

  PyObject* call(PyObject* self) const {
    return with_open_store<SyncErrors::Engine>(self, [&](engine::Store& store, const ModuleState&) -> PyObject* {
      const auto value = store.find(key);
      return value ? bytes_result(*value) : none_result();
    });
  }
};

struct Contains {
  static constexpr const char* kName = "contains";
  std::string_view key;
  static constexpr auto kParams = params(param("key", &Contains::key));
  static constexpr const char* kDoc = "Return True when `key` is live in the store (any key, internal ones included).";

  PyObject* call(PyObject* self) const {
    return with_open_store<SyncErrors::Engine>(self, [&](engine::Store& store, const ModuleState&) -> PyObject* {
      return bool_result(store.contains_key(key));
    });
  }
};

struct Put {
  static constexpr const char* kName = "put";
  std::string_view key;
  std::string_view value;
  static constexpr auto kParams = params(param("key", &Put::key), param("value", &Put::value));
  static constexpr const char* kDoc =
      "Write `value` under `key` in a transaction of its own, committed at once.\n\n"
      "Raises ReservedKeyError for a key in the internal namespace (b\"\\xffomb:...\"),\n"
      "NamespaceQuotaError, DiskFullError or OmbrelStoreError when a limit is reached.";

  PyObject* call(PyObject* self) const {
    return with_open_store<SyncErrors::Engine>(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      return none_or_engine_error(state, store.put(key, value));
    });
  }
};

struct Delete {
  static constexpr const char* kName = "delete";
  std::string_view key;
  static constexpr auto kParams = params(param("key", &Delete::key));
  static constexpr const char* kDoc =
      "Remove `key` in a transaction of its own, committed at once; an absent key is not an error.\n\n"
      "Raises ReservedKeyError for a key in the internal namespace.";

  PyObject* call(PyObject* self) const {
    return with_open_store<SyncErrors::Engine>(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      return none_or_engine_error(state, store.delete_key(key));
    });
  }
};

struct ScanPrefix {
  static constexpr const char* kName = "scan_prefix";
  std::string_view prefix;
  static constexpr auto kParams = params(param("prefix", &ScanPrefix::prefix));
  static constexpr const char* kDoc =
      "Return every live (key, value) pair whose key starts with `prefix`, in ascending key order.\n\n"
      "The empty prefix returns every key; internal keys are included when the prefix matches them.";

  PyObject* call(PyObject* self) const {
    return with_open_store<SyncErrors::Engine>(self, [&](engine::Store& store, const ModuleState&) -> PyObject* {
      return list_of_pairs_result(store.prefix_range(prefix));
    });
  }
};

struct Enter {
  static constexpr const char* kName = "__enter__";
  static constexpr const char* kDoc = "Return the store itself.";

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
  static constexpr const char* kDoc =
      "Close the store as close() does and return False, so an exception raised in the block propagates.";

  PyObject* call(PyObject* self) const {
    PyObject* closed = close_store(self);
    if (closed == nullptr) return nullptr;
    Py_DECREF(closed);
    return bool_result(false);
  }
};

constexpr MethodSpec kMainBlock[] = {
    method_spec<Open>(),   method_spec<Verify>(),     method_spec<Salvage>(),  method_spec<Close>(),
    method_spec<Flush>(),  method_spec<Get>(),        method_spec<Contains>(), method_spec<Put>(),
    method_spec<Delete>(), method_spec<ScanPrefix>(), method_spec<Enter>(),    method_spec<Exit>(),
};
const MethodBlock kMainMethods{TargetClass::Store, kMainBlock};

// The busy timeout, in seconds as sqlite3 counts it; 0 refuses at once.
PyObject* get_busy_timeout(PyObject* self, void*) {
  if (!store_precheck(self, "busy_timeout")) return nullptr;
  return PyFloat_FromDouble(static_cast<double>(cell_of(self).busy_timeout_ms.load()) / 1000.0);
}

int set_busy_timeout(PyObject* self, PyObject* value, void*) {
  if (!store_precheck(self, "busy_timeout")) return -1;
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "busy_timeout cannot be deleted");
    return -1;
  }
  if (PyBool_Check(value) || !(PyFloat_Check(value) || PyLong_Check(value))) {
    PyErr_Format(PyExc_TypeError, "busy_timeout must be a number of seconds, not %s", type_name(value).c_str());
    return -1;
  }
  const double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred()) return -1;
  // Up to a day: longer is a hang, not a timeout.
  if (!(seconds >= 0.0 && seconds <= 86400.0)) {
    PyErr_SetString(PyExc_ValueError, "busy_timeout must be between 0 and 86400 seconds");
    return -1;
  }
  cell_of(self).busy_timeout_ms.store(static_cast<uint64_t>(seconds * 1000.0 + 0.5));
  return 0;
}

PyGetSetDef kStoreGetSet[] = {
    {"busy_timeout", &get_busy_timeout, &set_busy_timeout,
     "Seconds a call from another thread waits while a Transaction holds the store before it raises\n"
     "StoreBusyError (0, the default, raises at once). The thread that holds the transaction is\n"
     "always refused at once.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kStoreDoc =
    "An open Ombrel Store file: byte-string keys and values in one transactional, single-writer file.\n\n"
    "Created only by Store.open(path, ...). Usable as a context manager that closes the store on exit.";

int add_store_class(PyObject* module, ModuleState& state) {
  PyMethodDef* methods = method_table(TargetClass::Store);
  if (methods == nullptr) return -1;
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(&store_dealloc)},
      {Py_tp_methods, methods},
      {Py_tp_getset, kStoreGetSet},
      {Py_tp_doc, const_cast<char*>(kStoreDoc)},
      {0, nullptr},
  };
  PyType_Spec spec = {
      "_native.Store", static_cast<int>(sizeof(StoreObject)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
  if (type == nullptr) return -1;
  if (add_static_methods(type, TargetClass::Store, module) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return install_class(module, state.store_type, type);
}

const ClassRegistration kStoreClass{{1, "Store", &add_store_class}};

}  // namespace
}  // namespace ombrel::python
