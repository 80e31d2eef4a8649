// Maintenance methods of Store: byte-for-byte copies (backup, checkpoint,
// restore), compacted copies (compaction, snapshot, generation), the two
// reports (storage statistics, health) and the progress hook that the long
// ones report to (python/progress_call.h).
//
// Contract: paths are str or os.PathLike. backup_to, restore_copy and
// compact_copy_to raise the engine error mapping; checkpoint_to, snapshot_to,
// compact_generation_to, storage_stats and health_report raise
// OmbrelStoreError with their own error's display text. Every result dict
// keeps the key order below.
#include <Python.h>

#include <span>
#include <string_view>

#include "engine/store.h"
#include "maintenance/checkpoint.h"
#include "maintenance/generation.h"
#include "maintenance/operations.h"
#include "maintenance/restore.h"
#include "maintenance/snapshot.h"
#include "python/blocking_call.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method_registry.h"
#include "python/progress_call.h"
#include "python/py_ref.h"
#include "python/store_slot.h"

namespace ombrel::python {
namespace {

uint64_t reclaimed(uint64_t source_bytes, uint64_t copy_bytes) {
  return source_bytes > copy_bytes ? source_bytes - copy_bytes : 0;
}

// pathlib.Path of a path given as file-system bytes.
PyObject* pathlib_path_result(const std::string& path) {
  PyRef text = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!text) return nullptr;
  PyRef pathlib = PyRef::steal(PyImport_ImportModule("pathlib"));
  if (!pathlib) return nullptr;
  PyRef path_class = PyRef::steal(PyObject_GetAttrString(pathlib.get(), "Path"));
  if (!path_class) return nullptr;
  return PyObject_CallFunctionObjArgs(path_class.get(), text.get(), nullptr);
}

PyObject* storage_dict(const maintenance::StorageStats& stats) {
  DictBuilder dict;
  dict.set("file_bytes", int_result(stats.file_bytes));
  dict.set("live_keys", int_result(stats.live_keys));
  dict.set("user_keys", int_result(stats.user_keys));
  dict.set("internal_keys", int_result(stats.internal_keys));
  dict.set("key_bytes", int_result(stats.key_bytes));
  dict.set("value_bytes", int_result(stats.value_bytes));
  dict.set("live_bytes", int_result(stats.live_bytes));
  dict.set("amplification_ratio", float_result(stats.amplification_ratio()));
  return dict.finish();
}

PyObject* metrics_dict(const std::vector<maintenance::NamedCounter>& metrics) {
  DictBuilder dict;
  for (const auto& counter : metrics) dict.set(counter.name, int_result(counter.value));
  return dict.finish();
}

PyObject* namespace_dict(const maintenance::NamespaceUsage& usage) {
  DictBuilder dict;
  dict.set("name", text_result(usage.name));
  dict.set("keys", int_result(usage.keys));
  dict.set("value_bytes", int_result(usage.value_bytes));
  return dict.finish();
}

PyObject* health_dict(const maintenance::HealthReport& report) {
  DictBuilder dict;
  dict.set("store_id", bytes_result(report.store_id));
  dict.set("format_major", int_result(uint64_t{report.format_major}));
  dict.set("format_minor", int_result(uint64_t{report.format_minor}));
  dict.set("max_bytes", optional_int_result(report.max_bytes));
  dict.set("namespace_max_bytes", optional_int_result(report.namespace_max_bytes));
  dict.set("compaction_backlog_bytes", int_result(report.compaction_backlog_bytes));
  dict.set("lock_contentions_total", int_result(report.lock_contentions_total));
  dict.set("object_reads_total", int_result(report.object_reads_total));
  dict.set("object_bytes_read_total", int_result(report.object_bytes_read_total));
  dict.set("queue_ready", int_result(report.queue_ready));
  dict.set("queue_leased", int_result(report.queue_leased));
  dict.set("queue_dead", int_result(report.queue_dead));
  dict.set("queue_total", int_result(report.queue_total));
  dict.set("queue_oldest_ready_at_ms", optional_int_result(report.queue_oldest_ready_at_ms));
  dict.set("queue_ready_lag_ms", optional_int_result(report.queue_ready_lag_ms));
  dict.set("metrics", metrics_dict(report.metrics));
  dict.set("within_limit", bool_result(report.within_limit));
  dict.set("storage", storage_dict(report.storage));
  dict.set("namespaces", list_result(report.namespaces, namespace_dict));
  return dict.finish();
}

struct BackupTo {
  static constexpr const char* kName = "backup_to";
  std::string destination;
  static constexpr auto kParams = params(param<arg::Path>("destination", &BackupTo::destination));
  static constexpr const char* kDoc =
      "Copy the store file byte for byte to `destination`, replacing any file there, and return the\n"
      "number of bytes copied.\n\n"
      "The store is fully synced first. The copy is not verified. Raises OmbrelStoreError when\n"
      "`destination` is the store's own file under any name, IoError when the copy fails (what was\n"
      "written stays).";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      ProgressCall progress(state, kName);
      auto copied = run_blocking([&] { return maintenance::backup_to(store, destination); });
      if (progress.interrupted()) return progress.raise_kept();
      if (!copied) return raise_engine_error(state, copied.error());
      return int_result(*copied);
    });
  }
};

struct CheckpointTo {
  static constexpr const char* kName = "checkpoint_to";
  std::string destination;
  static constexpr auto kParams = params(param<arg::Path>("destination", &CheckpointTo::destination));
  static constexpr const char* kDoc =
      "Copy the store file to the new path `destination` through a temporary file beside it, verify\n"
      "the copy against the store's identity and size, and return a dict: source_store_id,\n"
      "checkpoint_store_id, file_bytes, valid_bytes, keys, committed_transactions,\n"
      "pending_transactions.\n\n"
      "An existing destination is never touched; no temporary file is left behind, and a copy that\n"
      "fails its check is removed. Raises OmbrelStoreError on every failure.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      ProgressCall progress(state, kName);
      auto report = run_blocking([&] { return maintenance::checkpoint_to(store, destination); });
      if (progress.interrupted()) return progress.raise_kept();
      if (!report) return raise_domain_error(state, report.error().message());
      DictBuilder dict;
      dict.set("source_store_id", bytes_result(report->source_store_id));
      dict.set("checkpoint_store_id", bytes_result(report->checkpoint_store_id));
      dict.set("file_bytes", int_result(report->file_bytes));
      dict.set("valid_bytes", int_result(report->valid_bytes));
      dict.set("keys", int_result(report->keys));
      dict.set("committed_transactions", int_result(report->committed_transactions));
      dict.set("pending_transactions", int_result(report->pending_transactions));
      return dict.finish();
    });
  }
};

struct RestoreCopy {
  static constexpr const char* kName = "restore_copy";
  static constexpr MethodKind kKind = MethodKind::Static;
  std::string source;
  std::string destination;
  static constexpr auto kParams = params(param<arg::Path>("source", &RestoreCopy::source),
                                         param<arg::Path>("destination", &RestoreCopy::destination));
  static constexpr const char* kDoc =
      "Copy the closed store file `source` to the new path `destination` and prove the copy, then\n"
      "return a dict: bytes, keys, store_id.\n\n"
      "The source is verified first and refused when it has a torn tail or a writer holds it\n"
      "(AlreadyOpenError). The destination is created exclusively, so an existing file is left as it\n"
      "was; a copy that does not verify to the source's identity and state is removed.";

  PyObject* call(PyObject* module) const {
    ModuleState* state = state_of_module(module);
    if (state == nullptr) return nullptr;
    ProgressCall progress(*state, kName);
    auto report = run_blocking([&] { return maintenance::restore_copy(source, destination); });
    if (progress.interrupted()) return progress.raise_kept();
    if (!report) return raise_engine_error(*state, report.error());
    DictBuilder dict;
    dict.set("bytes", int_result(report->bytes));
    dict.set("keys", int_result(report->keys));
    dict.set("store_id", bytes_result(report->store_id));
    return dict.finish();
  }
};

struct CompactCopyTo {
  static constexpr const char* kName = "compact_copy_to";
  std::string destination;
  static constexpr auto kParams = params(param<arg::Path>("destination", &CompactCopyTo::destination));
  static constexpr const char* kDoc =
      "Write the live keys (internal keys included) into a new store file at `destination`, with a\n"
      "new identity, and return a dict: source_bytes, compacted_bytes, bytes_reclaimed, keys.\n\n"
      "An existing destination is refused and never written to; a copy that fails is removed.\n"
      "The store itself is not changed.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      ProgressCall progress(state, kName);
      auto report = run_blocking([&] { return maintenance::compact_copy_to(store, destination); });
      if (progress.interrupted()) return progress.raise_kept();
      if (!report) return raise_engine_error(state, report.error());
      DictBuilder dict;
      dict.set("source_bytes", int_result(report->source_bytes));
      dict.set("compacted_bytes", int_result(report->compacted_bytes));
      dict.set("bytes_reclaimed", int_result(reclaimed(report->source_bytes, report->compacted_bytes)));
      dict.set("keys", int_result(report->keys));
      return dict.finish();
    });
  }
};

struct SnapshotTo {
  static constexpr const char* kName = "snapshot_to";
  std::string destination;
  static constexpr auto kParams = params(param<arg::Path>("destination", &SnapshotTo::destination));
  static constexpr const char* kDoc =
      "Write a compacted copy of the store with a new identity to `destination`, verify it, and\n"
      "return a dict: destination (pathlib.Path), source_store_id, snapshot_store_id, keys,\n"
      "source_bytes, snapshot_bytes.\n\n"
      "Raises OmbrelStoreError on every failure; an existing destination is never written to.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      ProgressCall progress(state, kName);
      auto report = run_blocking([&] { return maintenance::snapshot_to(store, destination); });
      if (progress.interrupted()) return progress.raise_kept();
      if (!report) return raise_domain_error(state, report.error().message());
      DictBuilder dict;
      dict.set("destination", pathlib_path_result(report->destination));
      dict.set("source_store_id", bytes_result(report->source_store_id));
      dict.set("snapshot_store_id", bytes_result(report->snapshot_store_id));
      dict.set("keys", int_result(report->keys));
      dict.set("source_bytes", int_result(report->source_bytes));
      dict.set("snapshot_bytes", int_result(report->snapshot_bytes));
      return dict.finish();
    });
  }
};

struct CompactGenerationTo {
  static constexpr const char* kName = "compact_generation_to";
  std::string destination;
  static constexpr auto kParams = params(param<arg::Path>("destination", &CompactGenerationTo::destination));
  static constexpr const char* kDoc =
      "Write a new generation of the store to `destination`: the live keys under the same identity,\n"
      "ending with a commit record that carries the store's transaction and sequence high-water\n"
      "marks, so that numbering continues past them once the generation is opened. Return a dict:\n"
      "store_id, source_bytes, generation_bytes, bytes_reclaimed, keys, high_water_tx_id,\n"
      "high_water_sequence.\n\n"
      "Raises OmbrelStoreError on every failure, after removing the destination and the temporary\n"
      "source image.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      ProgressCall progress(state, kName);
      auto report = run_blocking([&] { return maintenance::compact_generation_to(store, destination); });
      if (progress.interrupted()) return progress.raise_kept();
      if (!report) return raise_domain_error(state, report.error().message());
      DictBuilder dict;
      dict.set("store_id", bytes_result(report->store_id));
      dict.set("source_bytes", int_result(report->source_bytes));
      dict.set("generation_bytes", int_result(report->generation_bytes));
      dict.set("bytes_reclaimed", int_result(reclaimed(report->source_bytes, report->generation_bytes)));
      dict.set("keys", int_result(report->keys));
      dict.set("high_water_tx_id", int_result(report->high_water_tx_id));
      dict.set("high_water_sequence", int_result(report->high_water_sequence));
      return dict.finish();
    });
  }
};

struct SetProgressHook {
  static constexpr const char* kName = "set_progress_hook";
  static constexpr MethodKind kKind = MethodKind::Static;
  PyObject* hook = nullptr;
  static constexpr auto kParams = params(param<arg::AnyObject>("hook", &SetProgressHook::hook));
  static constexpr const char* kDoc =
      "Set the callable that long maintenance calls report their progress to (None: no reports)\n"
      "and return the previous one (or None).\n\n"
      "verify, backup_to, checkpoint_to, restore_copy, compact_copy_to, snapshot_to and\n"
      "compact_generation_to call hook(operation, done_bytes, total_bytes) every 4 MiB and at the\n"
      "end of each pass, operation being the method's name; a call with several passes (a copy,\n"
      "then its verification) counts from 0 again in each. The hook runs on the calling thread with\n"
      "the interpreter lock taken back for it alone, while the store's own lock stays held (calls on\n"
      "that store raise). An exception raised by the hook stops the operation at its next progress\n"
      "point: nothing of it stays on disk, the hook is not called again, and the method raises the\n"
      "hook's exception. The hook belongs to the process (one per interpreter), not to one store.\n"
      "Raises TypeError for anything neither callable nor None.";

  PyObject* call(PyObject* module) const {
    ModuleState* state = state_of_module(module);
    if (state == nullptr) return nullptr;
    return exchange_progress_hook(*state, hook);
  }
};

struct StorageStatsMethod {
  static constexpr const char* kName = "storage_stats";
  static constexpr const char* kDoc =
      "Measure the store file against its live data and return a dict: file_bytes, live_keys,\n"
      "user_keys, internal_keys, key_bytes, value_bytes, live_bytes, amplification_ratio.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto stats = run_blocking([&] { return maintenance::storage_stats(store); });
      if (!stats) return raise_domain_error(state, stats.error().message());
      return storage_dict(*stats);
    });
  }
};

struct HealthReportMethod {
  static constexpr const char* kName = "health_report";
  static constexpr const char* kDoc =
      "Return a dict describing the store's health: identity and format, quotas, compaction\n"
      "backlog, process-wide counters, queue backlog, the engine counters (\"metrics\"), whether the\n"
      "file is within its byte limit, the storage statistics and the key counts of the 15 internal\n"
      "areas (\"namespaces\").";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto report = run_blocking([&] { return maintenance::health_report(store); });
      if (!report) return raise_domain_error(state, report.error().message());
      return health_dict(*report);
    });
  }
};

constexpr MethodSpec kOperationsMethods[] = {
    method_spec<BackupTo>(),           method_spec<CheckpointTo>(),       method_spec<RestoreCopy>(),
    method_spec<CompactCopyTo>(),      method_spec<SnapshotTo>(),         method_spec<CompactGenerationTo>(),
    method_spec<StorageStatsMethod>(), method_spec<HealthReportMethod>(), method_spec<SetProgressHook>(),
};
const MethodBlock kOperationsBlock{TargetClass::Store, kOperationsMethods};

}  // namespace
}  // namespace ombrel::python
