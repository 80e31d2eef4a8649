// Workflow methods of Store: create, read, drive (step, wait for a signal or a
// time, signal, complete, fail, cancel), resume due timers, history,
// children, and the removal of finished instances; and the workflow staging
// methods of Transaction, each move declared once with the Store's.
//
// Contract: an instance is returned as a dict with the keys, in this order,
// "id", "workflow_type", "status", "current_step", "state", "parent_id",
// "wait" (None, {"kind": "signal", "name"}, {"kind": "signal", "name",
// "timeout_at_ms"} or {"kind": "timer", "resume_at_ms"}), "created_at_ms",
// "updated_at_ms"; a history entry as a
// dict with "sequence", "at_ms", "kind", "detail". Every id argument,
// parent_id included, must be 16 bytes ("workflow id must be exactly 16
// bytes", checked before the store is touched; a Transaction's parent_id may
// also be a bytearray or a sequence of ints). Every WorkflowError is raised
// as OmbrelStoreError with its own display text.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/store.h"
#include "jobs/workflow.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method_registry.h"
#include "python/operation.h"
#include "python/store_slot.h"
#include "python/transaction.h"

namespace ombrel::python {
namespace {

constexpr char kWorkflowIdLengthMessage[] = "workflow id must be exactly 16 bytes";
using WorkflowIdArg = arg::FixedLengthId<&jobs::workflow_id_from_bytes, kWorkflowIdLengthMessage>;

// A staged workflow's parent: None, or bytes, a bytearray or a sequence of
// ints of 16 bytes.
struct ParentIdArg {
  using Value = std::optional<jobs::WorkflowId>;
  static constexpr bool kAcceptsNone = true;
  static std::optional<Value> convert(PyObject* self, PyObject* object, const char* name) {
    auto bytes = optional_byte_vec_arg(object, name);
    if (!bytes) return std::nullopt;
    if (!*bytes) return Value{};
    auto id = jobs::workflow_id_from_bytes(**bytes);
    if (!id) {
      if (const ModuleState* state = state_of_instance(self)) raise_domain_error(*state, kWorkflowIdLengthMessage);
      return std::nullopt;
    }
    return Value(*id);
  }
};

// A listing's status: None, or one of the status names.
struct StatusFilterArg {
  using Value = std::optional<jobs::WorkflowStatus>;
  static constexpr bool kAcceptsNone = true;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char* name) {
    // Built in place: g++ 12 at -O3 takes a copied empty optional of an
    // enum for a read of uninitialized bytes.
    std::optional<Value> out(std::in_place, std::nullopt);
    if (object == Py_None) return out;
    auto text = text_arg(object, name);
    if (!text) return std::nullopt;
    auto status = jobs::workflow_status_from_name(*text);
    if (!status) {
      PyErr_Format(PyExc_ValueError, "%s must be one of 'running', 'waiting', 'completed', 'failed', 'cancelled'",
                   name);
      return std::nullopt;
    }
    out->emplace(*status);
    return out;
  }
};

PyObject* map_workflow_error(const ModuleState& state, const jobs::WorkflowError& error) {
  return raise_domain_error(state, error.message());
}

PyObject* wait_dict(const jobs::WorkflowWait& wait) {
  if (wait.kind == jobs::WorkflowWaitKind::None) return none_result();
  DictBuilder dict;
  switch (wait.kind) {
    case jobs::WorkflowWaitKind::None:
      break;
    case jobs::WorkflowWaitKind::Signal:
      dict.set("kind", text_result("signal"));
      dict.set("name", bytes_result(wait.signal));
      break;
    case jobs::WorkflowWaitKind::SignalUntil:
      dict.set("kind", text_result("signal"));
      dict.set("name", bytes_result(wait.signal));
      dict.set("timeout_at_ms", int_result(wait.resume_at_ms));
      break;
    case jobs::WorkflowWaitKind::Timer:
      dict.set("kind", text_result("timer"));
      dict.set("resume_at_ms", int_result(wait.resume_at_ms));
      break;
  }
  return dict.finish();
}

PyObject* instance_dict(const jobs::WorkflowInstance& instance) {
  DictBuilder dict;
  dict.set("id", bytes_result(jobs::workflow_id_view(instance.id)));
  dict.set("workflow_type", bytes_result(instance.workflow_type));
  dict.set("status", text_result(jobs::workflow_status_name(instance.status)));
  dict.set("current_step", bytes_result(instance.current_step));
  dict.set("state", bytes_result(instance.state));
  dict.set("parent_id", instance.parent_id ? bytes_result(jobs::workflow_id_view(*instance.parent_id)) : none_result());
  dict.set("wait", wait_dict(instance.wait));
  dict.set("created_at_ms", int_result(instance.created_at_ms));
  dict.set("updated_at_ms", int_result(instance.updated_at_ms));
  return dict.finish();
}

PyObject* history_dict(const jobs::WorkflowHistoryEntry& entry) {
  DictBuilder dict;
  dict.set("sequence", int_result(entry.sequence));
  dict.set("at_ms", int_result(entry.at_ms));
  dict.set("kind", text_result(jobs::workflow_history_kind_name(entry.kind)));
  dict.set("detail", bytes_result(entry.detail));
  return dict.finish();
}

struct CreateWorkflow {
  static constexpr const char* kName = "create_workflow";
  std::string_view workflow_type;
  std::string_view initial_step;
  std::string_view initial_state;
  int64_t now_ms;
  std::optional<jobs::WorkflowId> parent_id;
  static constexpr auto kParams = params(
      param("workflow_type", &CreateWorkflow::workflow_type), param("initial_step", &CreateWorkflow::initial_step),
      param("initial_state", &CreateWorkflow::initial_state), param("now_ms", &CreateWorkflow::now_ms),
      param<arg::OptionalFixedLengthId<&jobs::workflow_id_from_bytes, kWorkflowIdLengthMessage>>(
          "parent_id", &CreateWorkflow::parent_id, kNone));
  static constexpr const char* kDoc =
      "Create a running workflow instance and return its new 16-byte id.\n\n"
      "`workflow_type` and `initial_step` must not be empty; `initial_state` is the application's\n"
      "data. `parent_id` (16 bytes) records a parent instance, which is not looked up. History entry 0\n"
      "(\"created\") is written with the instance.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto id = jobs::create_workflow(store, workflow_type, initial_step, initial_state, now_ms, parent_id);
      if (!id) return map_workflow_error(state, id.error());
      return bytes_result(jobs::workflow_id_view(*id));
    });
  }
};

// The Transaction's create_workflow: its parent_id is also accepted as a
// bytearray or a sequence of ints.
struct StageCreateWorkflow {
  static constexpr const char* kName = "create_workflow";
  std::string workflow_type;
  std::string initial_step;
  std::string initial_state;
  int64_t now_ms;
  std::optional<jobs::WorkflowId> parent_id;
  static constexpr auto kParams =
      params(param("workflow_type", &StageCreateWorkflow::workflow_type),
             param("initial_step", &StageCreateWorkflow::initial_step),
             param("initial_state", &StageCreateWorkflow::initial_state), param("now_ms", &StageCreateWorkflow::now_ms),
             param<ParentIdArg>("parent_id", &StageCreateWorkflow::parent_id, kNone));
  static constexpr const char* kStagedDoc =
      "Stage the creation of a running workflow instance and return the operation's position. Its\n"
      "result is {\"kind\": \"workflow\", \"id\": <16 bytes>}. A `parent_id` of another length than 16\n"
      "raises at once.";

  auto run(engine::Transaction& tx) const {
    return jobs::create_workflow(tx, workflow_type, initial_step, initial_state, now_ms, parent_id);
  }
  static std::optional<OperationResult> staged_result(const jobs::WorkflowId& id) {
    return OperationResult("workflow", {{"id", std::string(jobs::workflow_id_view(id))}});
  }
};

// The moves: one declaration each for the Store method, which runs it at
// once, and the Transaction method, which stages it.

template <class B>
struct SetWorkflowStep {
  static constexpr const char* kName = "set_workflow_step";
  using Bytes = B;
  jobs::WorkflowId id;
  Bytes step;
  Bytes state;
  int64_t now_ms;
  static constexpr auto kParams =
      params(param<WorkflowIdArg>("id", &SetWorkflowStep::id), param("step", &SetWorkflowStep::step),
             param("state", &SetWorkflowStep::state), param("now_ms", &SetWorkflowStep::now_ms));
  static constexpr const char* kStoreDoc =
      "Move a running or waiting instance to `step` with `state`; it becomes running and any wait is\n"
      "cleared. Raises OmbrelStoreError for an empty step, a missing or a terminal instance.";
  static constexpr const char* kStagedDoc =
      "Stage a move of workflow `id` to `step` with `state` (running, no wait) and return the\n"
      "operation's position. No result.";

  auto run(auto& target) const { return jobs::set_workflow_step(target, id, step, state, now_ms); }
};

template <class B>
struct WaitForSignal {
  static constexpr const char* kName = "wait_for_signal";
  using Bytes = B;
  jobs::WorkflowId id;
  Bytes signal;
  int64_t now_ms;
  static constexpr auto kParams =
      params(param<WorkflowIdArg>("id", &WaitForSignal::id), param("signal", &WaitForSignal::signal),
             param("now_ms", &WaitForSignal::now_ms));
  static constexpr const char* kStoreDoc =
      "Park a running or waiting instance until the signal named `signal` arrives (replacing any\n"
      "earlier wait). Raises OmbrelStoreError for an empty name, a missing or a terminal instance.";
  static constexpr const char* kStagedDoc =
      "Stage parking workflow `id` until `signal` arrives and return the operation's position.\n"
      "No result.";

  auto run(auto& target) const { return jobs::wait_for_signal(target, id, signal, now_ms); }
};

struct WaitUntil {
  static constexpr const char* kName = "wait_until";
  jobs::WorkflowId id;
  int64_t resume_at_ms;
  int64_t now_ms;
  static constexpr auto kParams =
      params(param<WorkflowIdArg>("id", &WaitUntil::id), param("resume_at_ms", &WaitUntil::resume_at_ms),
             param("now_ms", &WaitUntil::now_ms));
  static constexpr const char* kStoreDoc =
      "Park a running or waiting instance until `resume_at_ms` (any time, past ones included); a later\n"
      "resume_due_workflows wakes it. Raises OmbrelStoreError for a missing or a terminal instance.";
  static constexpr const char* kStagedDoc =
      "Stage parking workflow `id` until `resume_at_ms` (resumed by Store.resume_due_workflows) and\n"
      "return the operation's position. No result.";

  auto run(auto& target) const { return jobs::wait_until(target, id, resume_at_ms, now_ms); }
};

template <class B>
struct SignalWorkflow {
  static constexpr const char* kName = "signal_workflow";
  using Bytes = B;
  jobs::WorkflowId id;
  Bytes signal;
  Bytes payload;
  int64_t now_ms;
  static constexpr auto kParams =
      params(param<WorkflowIdArg>("id", &SignalWorkflow::id), param("signal", &SignalWorkflow::signal),
             param("payload", &SignalWorkflow::payload), param("now_ms", &SignalWorkflow::now_ms));
  static constexpr const char* kStoreDoc =
      "Deliver the signal `signal` with `payload`; return True if the instance was waiting for exactly\n"
      "that signal (it becomes running with `payload` as its state). Signals are not queued: in any\n"
      "other case nothing changes and False is returned. A missing instance raises OmbrelStoreError.";
  static constexpr const char* kStagedDoc =
      "Stage delivering `signal` with `payload` to workflow `id` and return the operation's\n"
      "position. Its result is {\"kind\": \"workflow_signal\", \"signaled\": <bool>}: False when the\n"
      "instance was not waiting for that signal (signals are not queued).";

  auto run(auto& target) const { return jobs::signal_workflow(target, id, signal, payload, now_ms); }
  static PyObject* store_result(bool signaled) { return bool_result(signaled); }
  static std::optional<OperationResult> staged_result(bool signaled) {
    return OperationResult("workflow_signal", {{"signaled", signaled}});
  }
};

template <class B>
struct CompleteWorkflow {
  static constexpr const char* kName = "complete_workflow";
  using Bytes = B;
  jobs::WorkflowId id;
  Bytes final_state;
  int64_t now_ms;
  static constexpr auto kParams =
      params(param<WorkflowIdArg>("id", &CompleteWorkflow::id), param("final_state", &CompleteWorkflow::final_state),
             param("now_ms", &CompleteWorkflow::now_ms));
  static constexpr const char* kStoreDoc =
      "Complete a running or waiting instance with `final_state` as its state. Raises OmbrelStoreError\n"
      "for a missing or a terminal instance.";
  static constexpr const char* kStagedDoc =
      "Stage completing workflow `id` with `final_state` as its state and return the operation's\n"
      "position. No result.";

  auto run(auto& target) const {
    return jobs::finish_workflow(target, id, jobs::WorkflowStatus::Completed, final_state, now_ms);
  }
};

template <class B>
struct FailWorkflow {
  static constexpr const char* kName = "fail_workflow";
  using Bytes = B;
  jobs::WorkflowId id;
  Bytes error;
  int64_t now_ms;
  static constexpr auto kParams = params(param<WorkflowIdArg>("id", &FailWorkflow::id),
                                         param("error", &FailWorkflow::error), param("now_ms", &FailWorkflow::now_ms));
  static constexpr const char* kStoreDoc =
      "Fail a running or waiting instance; the `error` bytes become its state and the history detail.\n"
      "Raises OmbrelStoreError for a missing or a terminal instance.";
  static constexpr const char* kStagedDoc =
      "Stage failing workflow `id`, keeping `error` as its state, and return the operation's\n"
      "position. No result.";

  auto run(auto& target) const {
    return jobs::finish_workflow(target, id, jobs::WorkflowStatus::Failed, error, now_ms);
  }
};

template <class B>
struct CancelWorkflow {
  static constexpr const char* kName = "cancel_workflow";
  using Bytes = B;
  jobs::WorkflowId id;
  Bytes reason;
  int64_t now_ms;
  static constexpr auto kParams =
      params(param<WorkflowIdArg>("id", &CancelWorkflow::id), param("reason", &CancelWorkflow::reason),
             param("now_ms", &CancelWorkflow::now_ms));
  static constexpr const char* kStoreDoc =
      "Cancel a running or waiting instance, recording `reason` in its history; return True if\n"
      "cancelled, False when there is no such instance or it is already terminal.";
  static constexpr const char* kStagedDoc =
      "Stage cancelling workflow `id` with `reason` and return the operation's position. Its result\n"
      "is {\"kind\": \"workflow_cancel\", \"cancelled\": <bool>}: False for a missing or finished instance.";

  auto run(auto& target) const { return jobs::cancel_workflow(target, id, reason, now_ms); }
  static PyObject* store_result(bool cancelled) { return bool_result(cancelled); }
  static std::optional<OperationResult> staged_result(bool cancelled) {
    return OperationResult("workflow_cancel", {{"cancelled", cancelled}});
  }
};

template <class B>
struct CreateWorkflowWithId {
  static constexpr const char* kName = "create_workflow_with_id";
  using Bytes = B;
  jobs::WorkflowId id;
  Bytes workflow_type;
  Bytes initial_step;
  Bytes initial_state;
  int64_t now_ms;
  std::optional<jobs::WorkflowId> parent_id;
  static constexpr auto kParams = params(param<WorkflowIdArg>("id", &CreateWorkflowWithId::id),
                                         param("workflow_type", &CreateWorkflowWithId::workflow_type),
                                         param("initial_step", &CreateWorkflowWithId::initial_step),
                                         param("initial_state", &CreateWorkflowWithId::initial_state),
                                         param("now_ms", &CreateWorkflowWithId::now_ms),
                                         param<ParentIdArg>("parent_id", &CreateWorkflowWithId::parent_id, kNone));
  static constexpr const char* kStoreDoc =
      "Create a running workflow instance under `id`, 16 bytes of the caller's choosing (e.g.\n"
      "ombrel_store.new_workflow_id()); otherwise as create_workflow. Raises OmbrelStoreError\n"
      "\"workflow already exists\" when the id is in use.";
  static constexpr const char* kStagedDoc =
      "Stage the creation of a running workflow instance under `id` (16 bytes, e.g.\n"
      "ombrel_store.new_workflow_id()) and return the operation's position, so that operations\n"
      "staged after it can name the instance. No result; an id in use fails the commit with\n"
      "\"workflow already exists\".";

  auto run(auto& target) const {
    return jobs::create_workflow_with_id(target, id, workflow_type, initial_step, initial_state, now_ms, parent_id);
  }
};

template <class B>
struct SendWorkflowSignal {
  static constexpr const char* kName = "send_workflow_signal";
  using Bytes = B;
  jobs::WorkflowId id;
  Bytes signal;
  Bytes payload;
  int64_t now_ms;
  static constexpr auto kParams =
      params(param<WorkflowIdArg>("id", &SendWorkflowSignal::id), param("signal", &SendWorkflowSignal::signal),
             param("payload", &SendWorkflowSignal::payload), param("now_ms", &SendWorkflowSignal::now_ms));
  static constexpr const char* kStoreDoc =
      "Send the signal `signal` with `payload` and return what became of it: \"delivered\" when the\n"
      "instance waits for exactly that signal (it runs on with `payload` as its state, as with\n"
      "signal_workflow); \"kept\" otherwise, in order, for the next wait_for_signal or\n"
      "wait_for_signal_until of that name, which consumes the oldest at once; \"ignored\" for a\n"
      "finished instance, for which nothing is kept. A missing instance raises OmbrelStoreError.";
  static constexpr const char* kStagedDoc =
      "Stage sending `signal` with `payload` to workflow `id` and return the operation's position.\n"
      "Its result is {\"kind\": \"workflow_send\", \"delivered\": <bool>, \"kept\": <bool>}: both\n"
      "False when the instance is finished and the signal was ignored.";

  auto run(auto& target) const { return jobs::send_workflow_signal(target, id, signal, payload, now_ms); }
  static PyObject* store_result(jobs::SignalOutcome outcome) { return text_result(jobs::signal_outcome_name(outcome)); }
  static std::optional<OperationResult> staged_result(jobs::SignalOutcome outcome) {
    return OperationResult("workflow_send", {{"delivered", outcome == jobs::SignalOutcome::Delivered},
                                             {"kept", outcome == jobs::SignalOutcome::Kept}});
  }
};

template <class B>
struct WaitForSignalUntil {
  static constexpr const char* kName = "wait_for_signal_until";
  using Bytes = B;
  jobs::WorkflowId id;
  Bytes signal;
  int64_t timeout_at_ms;
  int64_t now_ms;
  static constexpr auto kParams =
      params(param<WorkflowIdArg>("id", &WaitForSignalUntil::id), param("signal", &WaitForSignalUntil::signal),
             param("timeout_at_ms", &WaitForSignalUntil::timeout_at_ms), param("now_ms", &WaitForSignalUntil::now_ms));
  static constexpr const char* kStoreDoc =
      "Park a running or waiting instance until the signal named `signal` arrives or, failing that,\n"
      "until `timeout_at_ms`, when resume_due_workflows (or wake_due_workflows) wakes it with history\n"
      "\"timed_out\". A signal of that name kept by send_workflow_signal is consumed at once. Raises\n"
      "OmbrelStoreError for an empty name, a missing or a terminal instance.";
  static constexpr const char* kStagedDoc =
      "Stage parking workflow `id` until `signal` arrives or `timeout_at_ms` passes and return the\n"
      "operation's position. No result.";

  auto run(auto& target) const { return jobs::wait_for_signal_until(target, id, signal, timeout_at_ms, now_ms); }
};

struct GetWorkflow {
  static constexpr const char* kName = "get_workflow";
  jobs::WorkflowId id;
  static constexpr auto kParams = params(param<WorkflowIdArg>("id", &GetWorkflow::id));
  static constexpr const char* kDoc = "Return the workflow instance with this id as a dict, or None if there is none.";
  static constexpr const char* kTransactionDoc =
      "Return the workflow instance with this id as a dict, or None, as committed: staged workflow\n"
      "operations take effect at commit and are not seen before it.";

  PyObject* answer(const engine::Store& store, const ModuleState& state) const {
    auto instance = jobs::get_workflow(store, id);
    if (!instance) return map_workflow_error(state, instance.error());
    return *instance ? instance_dict(**instance) : none_result();
  }

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) { return answer(store, state); });
  }
};

struct ResumeDueWorkflows {
  static constexpr const char* kName = "resume_due_workflows";
  int64_t now_ms;
  uint64_t limit;
  static constexpr auto kParams =
      params(param("now_ms", &ResumeDueWorkflows::now_ms), param("limit", &ResumeDueWorkflows::limit, 100));
  static constexpr const char* kDoc =
      "Wake at most `limit` instances waiting for a time at or before `now_ms` (a timer, or the\n"
      "timeout of wait_for_signal_until), smallest id first, each in a commit of its own. Returns\n"
      "{\"scanned\": number of instances, \"resumed\": number woken}; a limit of 0 wakes none.\n"
      "wake_due_workflows does the same and also names the instances woken.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto report = jobs::resume_due_workflows(store, now_ms, limit);
      if (!report) return map_workflow_error(state, report.error());
      DictBuilder dict;
      dict.set("scanned", int_result(report->scanned));
      dict.set("resumed", int_result(report->resumed));
      return dict.finish();
    });
  }
};

struct WakeDueWorkflows {
  static constexpr const char* kName = "wake_due_workflows";
  int64_t now_ms;
  uint64_t limit;
  static constexpr auto kParams =
      params(param("now_ms", &WakeDueWorkflows::now_ms), param("limit", &WakeDueWorkflows::limit, 100));
  static constexpr const char* kDoc =
      "Wake what resume_due_workflows wakes and say which: returns {\"scanned\", \"resumed\" (as\n"
      "resume_due_workflows), \"woken\": the ids woken, in wake order, \"timed_out\": those of them\n"
      "whose signal wait timed out (the others' timers fired)}.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto report = jobs::resume_due_workflows(store, now_ms, limit);
      if (!report) return map_workflow_error(state, report.error());
      std::vector<jobs::WorkflowId> timed_out;
      for (const jobs::WorkflowWake& wake : report->woken)
        if (wake.timed_out) timed_out.push_back(wake.id);
      DictBuilder dict;
      dict.set("scanned", int_result(report->scanned));
      dict.set("resumed", int_result(report->resumed));
      dict.set("woken", list_result(report->woken, [](const jobs::WorkflowWake& wake) {
                 return bytes_result(jobs::workflow_id_view(wake.id));
               }));
      dict.set("timed_out", list_result(timed_out, [](const jobs::WorkflowId& id) {
                 return bytes_result(jobs::workflow_id_view(id));
               }));
      return dict.finish();
    });
  }
};

struct ListWorkflows {
  static constexpr const char* kName = "list_workflows";
  std::optional<jobs::WorkflowStatus> status;
  std::optional<std::string_view> workflow_type;
  std::optional<jobs::WorkflowId> after_id;
  uint64_t limit;
  static constexpr auto kParams =
      params(keyword<StatusFilterArg>("status", &ListWorkflows::status, kNone),
             keyword("workflow_type", &ListWorkflows::workflow_type, kNone),
             keyword<arg::OptionalFixedLengthId<&jobs::workflow_id_from_bytes, kWorkflowIdLengthMessage>>(
                 "after_id", &ListWorkflows::after_id, kNone),
             keyword("limit", &ListWorkflows::limit, 100));
  static constexpr const char* kDoc =
      "Return up to `limit` instances as dicts, in id order, after `after_id` when given (pass the\n"
      "last id of a page to get the next); only those with `status` (\"running\", \"waiting\",\n"
      "\"completed\", \"failed\" or \"cancelled\") and of `workflow_type`, when given.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto found = jobs::list_workflows(store, jobs::WorkflowListing{status, workflow_type, after_id, limit});
      if (!found) return map_workflow_error(state, found.error());
      return list_result(*found, [](const jobs::WorkflowInstance& instance) { return instance_dict(instance); });
    });
  }
};

struct PurgeFinishedWorkflows {
  static constexpr const char* kName = "purge_finished_workflows";
  int64_t finished_before_ms;
  uint64_t limit;
  static constexpr auto kParams = params(param("finished_before_ms", &PurgeFinishedWorkflows::finished_before_ms),
                                         param("limit", &PurgeFinishedWorkflows::limit, 100));
  static constexpr const char* kDoc =
      "Remove at most `limit` finished (completed, failed or cancelled) instances whose last change,\n"
      "the time they finished, is before `finished_before_ms`, oldest first, each with its history, in\n"
      "one commit. Returns the number removed; a limit of 0 removes none. Children of a removed\n"
      "instance keep working, and workflow_children of its id still lists them.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto removed = jobs::purge_finished_workflows(store, finished_before_ms, limit);
      if (!removed) return map_workflow_error(state, removed.error());
      return int_result(*removed);
    });
  }
};

struct WorkflowHistory {
  static constexpr const char* kName = "workflow_history";
  jobs::WorkflowId id;
  static constexpr auto kParams = params(param<WorkflowIdArg>("id", &WorkflowHistory::id));
  static constexpr const char* kDoc =
      "Return the instance's history as dicts (sequence, at_ms, kind, detail) in sequence order; an id\n"
      "with no history gives an empty list.";
  static constexpr const char* kTransactionDoc =
      "Return the instance's committed history as Store.workflow_history does; staged workflow\n"
      "operations take effect at commit and are not seen before it.";

  PyObject* answer(const engine::Store& store, const ModuleState& state) const {
    auto entries = jobs::workflow_history(store, id);
    if (!entries) return map_workflow_error(state, entries.error());
    return list_result(*entries, [](const jobs::WorkflowHistoryEntry& entry) { return history_dict(entry); });
  }

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) { return answer(store, state); });
  }
};

struct WorkflowChildren {
  static constexpr const char* kName = "workflow_children";
  jobs::WorkflowId parent_id;
  static constexpr auto kParams = params(param<WorkflowIdArg>("parent_id", &WorkflowChildren::parent_id));
  static constexpr const char* kDoc =
      "Return the instances whose parent is `parent_id`, as dicts, oldest created_at_ms first.";
  static constexpr const char* kTransactionDoc =
      "Return the committed instances whose parent is `parent_id`, as Store.workflow_children does;\n"
      "workflows staged in this transaction take effect at commit and are not seen before it.";

  PyObject* answer(const engine::Store& store, const ModuleState& state) const {
    auto children = jobs::workflow_children(store, parent_id);
    if (!children) return map_workflow_error(state, children.error());
    return list_result(*children, [](const jobs::WorkflowInstance& child) { return instance_dict(child); });
  }

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) { return answer(store, state); });
  }
};

constexpr MethodSpec kWorkflowMethods[] = {
    method_spec<CreateWorkflow>(),
    method_spec<GetWorkflow>(),
    method_spec<OnStore<SetWorkflowStep<Borrowed>>>(),
    method_spec<OnStore<WaitForSignal<Borrowed>>>(),
    method_spec<OnStore<WaitUntil>>(),
    method_spec<OnStore<SignalWorkflow<Borrowed>>>(),
    method_spec<OnStore<CompleteWorkflow<Borrowed>>>(),
    method_spec<OnStore<FailWorkflow<Borrowed>>>(),
    method_spec<OnStore<CancelWorkflow<Borrowed>>>(),
    method_spec<ResumeDueWorkflows>(),
    method_spec<WorkflowHistory>(),
    method_spec<WorkflowChildren>(),
    method_spec<PurgeFinishedWorkflows>(),
    method_spec<OnStore<CreateWorkflowWithId<Borrowed>>>(),
    method_spec<OnStore<SendWorkflowSignal<Borrowed>>>(),
    method_spec<OnStore<WaitForSignalUntil<Borrowed>>>(),
    method_spec<WakeDueWorkflows>(),
    method_spec<ListWorkflows>(),
};
const MethodBlock kWorkflowBlock{TargetClass::Store, kWorkflowMethods};

constexpr MethodSpec kWorkflowTransactionReads[] = {
    method_spec<TransactionRead<GetWorkflow>>(),
    method_spec<TransactionRead<WorkflowHistory>>(),
    method_spec<TransactionRead<WorkflowChildren>>(),
};
const MethodBlock kWorkflowTransactionReadsBlock{TargetClass::Transaction, kWorkflowTransactionReads};

constexpr MethodSpec kWorkflowStagingMethods[] = {
    method_spec<Staged<StageCreateWorkflow>>(),
    method_spec<Staged<SetWorkflowStep<Owned>>>(),
    method_spec<Staged<WaitForSignal<Owned>>>(),
    method_spec<Staged<SignalWorkflow<Owned>>>(),
    method_spec<Staged<WaitUntil>>(),
    method_spec<Staged<CompleteWorkflow<Owned>>>(),
    method_spec<Staged<FailWorkflow<Owned>>>(),
    method_spec<Staged<CancelWorkflow<Owned>>>(),
    method_spec<Staged<CreateWorkflowWithId<Owned>>>(),
    method_spec<Staged<SendWorkflowSignal<Owned>>>(),
    method_spec<Staged<WaitForSignalUntil<Owned>>>(),
};
const MethodBlock kWorkflowStagingBlock{TargetClass::Transaction, kWorkflowStagingMethods};

}  // namespace
}  // namespace ombrel::python
