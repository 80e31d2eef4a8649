// Durable-job methods of Store: submit, claim, heartbeat, complete, fail,
// release, release of expired leases, manual retry, cancel, get, list, stats,
// history and the purge of finished jobs.
//
// Contract: a job is returned as a dict with the keys, in this order, "id",
// "state", "handler", "payload", "available_at_ms", "deadline_ms",
// "priority", "attempts", "max_attempts", "retry_backoff_ms",
// "lease_until_ms", "lease_generation", "idempotency_key"; a history entry as
// a (seq, at_ms, kind name, detail) tuple. Ids must be 16 bytes ("job id must
// be exactly 16 bytes", checked before the store is touched). Every JobError
// is raised as OmbrelStoreError with its own display text.
#include <span>
#include <string_view>
#include <vector>

#include "engine/store.h"
#include "jobs/jobs.h"
#include "jobs/transactional.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/job_spec_convert.h"
#include "python/method_registry.h"
#include "python/operation.h"
#include "python/store_slot.h"
#include "python/transaction.h"

namespace ombrel::python {
namespace {

PyObject* map_job_error(const ModuleState& state, const jobs::JobError& error) {
  return raise_domain_error(state, error.message());
}

PyObject* job_dict(const jobs::DurableJob& job) {
  DictBuilder dict;
  dict.set("id", bytes_result(jobs::id_view(job.id)));
  dict.set("state", text_result(jobs::job_state_name(job.state)));
  dict.set("handler", bytes_result(job.handler));
  dict.set("payload", bytes_result(job.payload));
  dict.set("available_at_ms", int_result(job.available_at_ms));
  dict.set("deadline_ms", job.deadline_ms ? int_result(*job.deadline_ms) : none_result());
  dict.set("priority", int_result(int64_t{job.priority}));
  dict.set("attempts", int_result(uint64_t{job.attempts}));
  dict.set("max_attempts", int_result(uint64_t{job.max_attempts}));
  dict.set("retry_backoff_ms", int_result(job.retry_backoff_ms));
  dict.set("lease_until_ms", int_result(job.lease_until_ms));
  dict.set("lease_generation", int_result(uint64_t{job.lease_generation}));
  dict.set("idempotency_key", job.idempotency_key ? bytes_result(*job.idempotency_key) : none_result());
  return dict.finish();
}

PyObject* optional_job_dict(const std::optional<jobs::DurableJob>& job) { return job ? job_dict(*job) : none_result(); }

PyObject* history_tuple(const jobs::JobHistoryEntry& entry) {
  return tuple_result({int_result(entry.seq), int_result(entry.at_ms),
                       text_result(jobs::job_history_kind_name(entry.kind)), bytes_result(entry.detail)});
}

constexpr char kJobIdLengthMessage[] = "job id must be exactly 16 bytes";
// The id argument of a job method, checked before the store is locked.
using JobIdArg = arg::FixedLengthId<&jobs::id_from_bytes, kJobIdLengthMessage>;

// The lease that heartbeat, complete, fail and release act under: the job id,
// the generation its claim handed out, and the caller's clock.
struct Lease {
  jobs::JobId id;
  uint32_t generation;
  int64_t now_ms;
  static constexpr auto kParams =
      params(param<JobIdArg>("id", &Lease::id), param("lease_generation", &Lease::generation),
             param("now_ms", &Lease::now_ms));
  Lease to_value() && { return *this; }
};

// A sequence of bytes handler names; omitted or None admits every handler.
struct HandlersArg {
  using Value = std::vector<Bytes>;
  static constexpr bool kEmptyWhenOmitted = true;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char*) {
    std::vector<Bytes> handlers;
    if (object == Py_None) return handlers;
    if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object) || !PySequence_Check(object)) {
      const std::string actual = type_name(object);
      PyErr_Format(PyExc_TypeError, "argument 'handlers' must be a sequence of bytes, not %s", actual.c_str());
      return std::nullopt;
    }
    const Py_ssize_t size = PySequence_Size(object);
    if (size < 0) return std::nullopt;
    handlers.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyRef item = PyRef::steal(PySequence_GetItem(object, i));
      if (!item) return std::nullopt;
      if (!PyBytes_Check(item.get())) {
        const std::string actual = type_name(item.get());
        PyErr_Format(PyExc_TypeError, "argument 'handlers' must contain bytes, not %s", actual.c_str());
        return std::nullopt;
      }
      auto handler = bytes_arg(item.get(), "handlers");
      if (!handler) return std::nullopt;
      handlers.emplace_back(*handler);
    }
    return handlers;
  }
};

struct SubmitJob {
  static constexpr const char* kName = "submit_job";
  jobs::JobSpec spec;
  int64_t now_ms;
  static constexpr auto kParams = params(job_spec_params(&SubmitJob::spec), param("now_ms", &SubmitJob::now_ms));
  static constexpr const char* kDoc =
      "Create a ready job for `handler` and return its 16-byte id.\n\n"
      "The job is handed out from `available_at_ms` on, most urgent `priority` first, at most\n"
      "`max_attempts` times; a failed attempt is retried after `retry_backoff_ms` times the attempt\n"
      "number (with a small per-job jitter). A job whose `deadline_ms` has passed is given up. With an\n"
      "`idempotency_key` that a ready or leased job already carries, that job's id is returned and\n"
      "nothing is written.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto id = jobs::submit_job(store, spec, now_ms);
      if (!id) return map_job_error(state, id.error());
      return bytes_result(jobs::id_view(*id));
    });
  }
};

// The Transaction's job: created at commit as submit_job creates one, its
// "submitted" history entry saying "transactional"; its errors are worded as
// jobs/transactional.h words them.
struct EnqueueJob {
  static constexpr const char* kName = "enqueue_job";
  jobs::JobSpec spec;
  int64_t now_ms;
  static constexpr auto kParams = params(job_spec_params(&EnqueueJob::spec), param("now_ms", &EnqueueJob::now_ms));
  static constexpr const char* kStagedDoc =
      "Stage a job for `handler`, created at commit as Store.submit_job does (its \"submitted\" history\n"
      "entry says \"transactional\"), and return the operation's position. Its result is\n"
      "{\"kind\": \"job\", \"id\": <16 bytes>}: a new job, or the ready or leased job that already holds\n"
      "`idempotency_key`.";

  auto run(engine::Transaction& tx) const { return jobs::enqueue_job_transactional(tx, spec, now_ms); }
  static std::optional<OperationResult> staged_result(const jobs::JobId& id) {
    return OperationResult("job", {{"id", std::string(jobs::id_view(id))}});
  }
};

struct GetJob {
  static constexpr const char* kName = "get_job";
  jobs::JobId id;
  static constexpr auto kParams = params(param<JobIdArg>("id", &GetJob::id));
  static constexpr const char* kDoc = "Return the job with this id as a dict, or None if there is none.";
  static constexpr const char* kTransactionDoc =
      "Return the job with this id as a dict, or None, as committed: jobs staged in this transaction\n"
      "(enqueue_job, complete_job, ...) take effect at commit and are not seen before it.";

  PyObject* answer(const engine::Store& store, const ModuleState& state) const {
    auto job = jobs::get_job(store, id);
    if (!job) return map_job_error(state, job.error());
    return optional_job_dict(*job);
  }

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) { return answer(store, state); });
  }
};

struct ClaimJob {
  static constexpr const char* kName = "claim_job";
  int64_t now_ms;
  uint64_t lease_duration_ms;
  std::vector<Bytes> handlers;
  static constexpr auto kParams =
      params(param("now_ms", &ClaimJob::now_ms), param("lease_duration_ms", &ClaimJob::lease_duration_ms),
             keyword<HandlersArg>("handlers", &ClaimJob::handlers, kEmpty));
  static constexpr const char* kDoc =
      "Lease the most urgent claimable job for `lease_duration_ms` and return it as a dict, or None.\n\n"
      "Only jobs of the given `handlers` (bytes names) are considered; omitted or empty, every handler.\n"
      "A ready job is claimable from its available_at_ms on; a leased job whose lease has ended may be\n"
      "taken over. Jobs past their deadline are made dead on the way. The returned lease_generation is\n"
      "the token that heartbeat, complete, fail and release require. When the chosen job has used up\n"
      "its attempts it is made dead and None is returned.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto job = jobs::claim_job_for_handlers(store, now_ms, lease_duration_ms, handlers);
      if (!job) return map_job_error(state, job.error());
      return optional_job_dict(*job);
    });
  }
};

// Heartbeat, complete, fail and release: on the store at once, or staged in a
// Transaction and applied at commit through the transaction's view, so that
// a job completed earlier in it is no longer leased.
struct HeartbeatJob {
  static constexpr const char* kName = "heartbeat_job";
  Lease lease;
  uint64_t lease_duration_ms;
  static constexpr auto kParams =
      params(group<Lease>(&HeartbeatJob::lease), param("lease_duration_ms", &HeartbeatJob::lease_duration_ms));
  static constexpr const char* kStoreDoc =
      "Extend the lease of a leased job to `now_ms` + `lease_duration_ms`; return True if extended.\n\n"
      "False when the job is missing, not leased, or leased under another generation.";
  static constexpr const char* kStagedDoc =
      "Stage a lease extension, applied at commit as Store.heartbeat_job does, and return the\n"
      "operation's position. Its result is {\"kind\": \"job_heartbeat\", \"extended\": <bool>}: False\n"
      "when the job is missing or no longer leased under `lease_generation` (the rest still commits).";

  auto run(auto& target) const {
    return jobs::heartbeat_job(target, lease.id, lease.generation, lease.now_ms, lease_duration_ms);
  }
  static PyObject* store_result(bool extended) { return bool_result(extended); }
  static std::optional<OperationResult> staged_result(bool extended) {
    return OperationResult("job_heartbeat", {{"extended", extended}});
  }
};

struct CompleteJob {
  static constexpr const char* kName = "complete_job";
  Lease lease;
  static constexpr auto kParams = params(group<Lease>(&CompleteJob::lease));
  static constexpr const char* kStoreDoc =
      "Mark a leased job completed. Raises OmbrelStoreError when the job is missing, not leased, or\n"
      "leased under another generation.";
  static constexpr const char* kStagedDoc =
      "Stage the completion of a leased job and return the operation's position. At commit a job\n"
      "that is missing, not leased or leased under another generation (a lost lease) fails the\n"
      "whole commit with Store.complete_job's error, so nothing staged with it is written. No result.";

  auto run(auto& target) const { return jobs::complete_job(target, lease.id, lease.generation, lease.now_ms); }
};

template <class B>
struct FailJob {
  static constexpr const char* kName = "fail_job";
  using Bytes = B;
  Lease lease;
  Bytes detail;
  static constexpr auto kParams = params(group<Lease>(&FailJob::lease), param("detail", &FailJob::detail));
  static constexpr const char* kStoreDoc =
      "Report a failed attempt of a leased job; return its new state, \"ready\" (a retry is scheduled\n"
      "after the back-off) or \"dead\" (its attempts are used up). `detail` goes to the job's history.\n"
      "Raises OmbrelStoreError like complete_job.";
  static constexpr const char* kStagedDoc =
      "Stage a failed attempt of a leased job, applied at commit as Store.fail_job does (a lost lease\n"
      "fails the whole commit), and return the operation's position. Its result is\n"
      "{\"kind\": \"job_fail\", \"state\": \"ready\" | \"dead\"}.";

  auto run(auto& target) const { return jobs::fail_job(target, lease.id, lease.generation, lease.now_ms, detail); }
  static PyObject* store_result(jobs::JobState next) { return text_result(jobs::job_state_name(next)); }
  static std::optional<OperationResult> staged_result(jobs::JobState next) {
    return OperationResult("job_fail", {{"state", ResultText{std::string(jobs::job_state_name(next))}}});
  }
};

struct ReleaseJob {
  static constexpr const char* kName = "release_job";
  Lease lease;
  static constexpr auto kParams = params(group<Lease>(&ReleaseJob::lease));
  static constexpr const char* kStoreDoc =
      "Give a leased job back, ready at once and without using up an attempt; return True if released\n"
      "(False when the job is missing, not leased, or leased under another generation).";
  static constexpr const char* kStagedDoc =
      "Stage giving a leased job back, applied at commit as Store.release_job does, and return the\n"
      "operation's position. Its result is {\"kind\": \"job_release\", \"released\": <bool>}: False\n"
      "when the job is missing or no longer leased under `lease_generation` (the rest still commits).";

  auto run(auto& target) const { return jobs::release_job(target, lease.id, lease.generation, lease.now_ms); }
  static PyObject* store_result(bool released) { return bool_result(released); }
  static std::optional<OperationResult> staged_result(bool released) {
    return OperationResult("job_release", {{"released", released}});
  }
};

struct ReleaseExpiredJobs {
  static constexpr const char* kName = "release_expired_jobs";
  int64_t now_ms;
  static constexpr auto kParams = params(param("now_ms", &ReleaseExpiredJobs::now_ms));
  static constexpr const char* kDoc =
      "Make every job whose lease ended by `now_ms` ready again (dead once its attempts are used up),\n"
      "one commit per job, and return how many were handled.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto count = jobs::release_expired_jobs(store, now_ms);
      if (!count) return map_job_error(state, count.error());
      return int_result(*count);
    });
  }
};

struct RetryJob {
  static constexpr const char* kName = "retry_job";
  jobs::JobId id;
  int64_t now_ms;
  static constexpr auto kParams = params(param<JobIdArg>("id", &RetryJob::id), param("now_ms", &RetryJob::now_ms));
  static constexpr const char* kDoc =
      "Revive a dead job: ready at `now_ms` with its attempts reset. Return the revived job as a dict,\n"
      "or None when the job is missing or not dead.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto job = jobs::retry_job(store, id, now_ms);
      if (!job) return map_job_error(state, job.error());
      return optional_job_dict(*job);
    });
  }
};

struct CancelJob {
  static constexpr const char* kName = "cancel_job";
  jobs::JobId id;
  int64_t now_ms;
  static constexpr auto kParams = params(param<JobIdArg>("id", &CancelJob::id), param("now_ms", &CancelJob::now_ms));
  static constexpr const char* kDoc =
      "Cancel a ready or leased job; return True if cancelled (False when it is missing or already\n"
      "completed, dead or cancelled). The holder of a lease is not told; its complete or fail fails.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto cancelled = jobs::cancel_job(store, id, now_ms);
      if (!cancelled) return map_job_error(state, cancelled.error());
      return bool_result(*cancelled);
    });
  }
};

struct ListJobs {
  static constexpr const char* kName = "list_jobs";
  static constexpr const char* kDoc = "Return every job as a dict, by available_at_ms and then id.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto all = jobs::list_jobs(store);
      if (!all) return map_job_error(state, all.error());
      return list_result(*all, [](const jobs::DurableJob& job) { return job_dict(job); });
    });
  }
};

struct JobStats {
  static constexpr const char* kName = "job_stats";
  static constexpr const char* kDoc =
      "Return the number of jobs: a dict with \"total\", \"ready\", \"leased\", \"completed\", \"dead\"\n"
      "and \"cancelled\" (jobs whose lease has run out still count as leased).";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto stats = jobs::job_stats(store);
      if (!stats) return map_job_error(state, stats.error());
      DictBuilder dict;
      dict.set("total", int_result(stats->total));
      dict.set("ready", int_result(stats->ready));
      dict.set("leased", int_result(stats->leased));
      dict.set("completed", int_result(stats->completed));
      dict.set("dead", int_result(stats->dead));
      dict.set("cancelled", int_result(stats->cancelled));
      return dict.finish();
    });
  }
};

struct JobHistory {
  static constexpr const char* kName = "job_history";
  jobs::JobId id;
  static constexpr auto kParams = params(param<JobIdArg>("id", &JobHistory::id));
  static constexpr const char* kDoc =
      "Return the job's history as (seq, at_ms, kind, detail) tuples in order; kind is one of\n"
      "\"submitted\", \"claimed\", \"completed\", \"retry_scheduled\", \"dead\", \"cancelled\".\n"
      "An unknown id gives an empty list.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto entries = jobs::job_history(store, id);
      if (!entries) return map_job_error(state, entries.error());
      return list_result(*entries, [](const jobs::JobHistoryEntry& entry) { return history_tuple(entry); });
    });
  }
};

struct PurgeFinishedJobs {
  static constexpr const char* kName = "purge_finished_jobs";
  int64_t finished_before_ms;
  uint64_t limit;
  static constexpr auto kParams = params(param("finished_before_ms", &PurgeFinishedJobs::finished_before_ms),
                                         param("limit", &PurgeFinishedJobs::limit, 100));
  static constexpr const char* kDoc =
      "Delete up to `limit` finished jobs (completed, dead or cancelled) that finished before\n"
      "`finished_before_ms`, oldest first, each with its whole history, in one commit; return how many.\n\n"
      "A ready or leased job is never removed. A limit of 0 removes nothing and writes nothing. The\n"
      "file space is reclaimed by compact_copy_to or a new generation.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto removed = jobs::purge_finished_jobs(store, finished_before_ms, limit);
      if (!removed) return map_job_error(state, removed.error());
      return int_result(*removed);
    });
  }
};

constexpr MethodSpec kJobMethods[] = {
    method_spec<SubmitJob>(),
    method_spec<GetJob>(),
    method_spec<ClaimJob>(),
    method_spec<OnStore<HeartbeatJob>>(),
    method_spec<OnStore<CompleteJob>>(),
    method_spec<OnStore<FailJob<Borrowed>>>(),
    method_spec<OnStore<ReleaseJob>>(),
    method_spec<ReleaseExpiredJobs>(),
    method_spec<RetryJob>(),
    method_spec<CancelJob>(),
    method_spec<ListJobs>(),
    method_spec<JobStats>(),
    method_spec<JobHistory>(),
    method_spec<PurgeFinishedJobs>(),
};
const MethodBlock kJobBlock{TargetClass::Store, kJobMethods};

constexpr MethodSpec kJobTransactionReads[] = {
    method_spec<TransactionRead<GetJob>>(),
};
const MethodBlock kJobTransactionReadsBlock{TargetClass::Transaction, kJobTransactionReads};

constexpr MethodSpec kJobStagingMethods[] = {
    method_spec<Staged<EnqueueJob>>(),     method_spec<Staged<HeartbeatJob>>(), method_spec<Staged<CompleteJob>>(),
    method_spec<Staged<FailJob<Owned>>>(), method_spec<Staged<ReleaseJob>>(),
};
const MethodBlock kJobStagingBlock{TargetClass::Transaction, kJobStagingMethods};

}  // namespace
}  // namespace ombrel::python
