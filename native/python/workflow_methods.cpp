// Workflow methods of Store: create, read, drive (step, wait for a signal or a
// time, signal, complete, fail, cancel), resume due timers, history,
// children, and the removal of finished instances.
//
// Contract: an instance is returned as a dict with the keys, in this order,
// "id", "workflow_type", "status", "current_step", "state", "parent_id",
// "wait" (None, {"kind": "signal", "name"} or {"kind": "timer",
// "resume_at_ms"}), "created_at_ms", "updated_at_ms"; a history entry as a
// dict with "sequence", "at_ms", "kind", "detail". Every id argument,
// parent_id included, must be 16 bytes ("workflow id must be exactly 16
// bytes", checked before the store is touched). Every WorkflowError is raised
// as OmbrelStoreError with its own display text.
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/store.h"
#include "jobs/workflow.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method_registry.h"
#include "python/store_slot.h"
#include "python/workflow_args.h"

namespace ombrel::python {

std::optional<jobs::WorkflowId> workflow_id_arg(PyObject* self, PyObject* object, const char* name) {
  return fixed_length_arg(self, object, name, kWorkflowIdLengthMessage, jobs::workflow_id_from_bytes);
}

std::optional<staged::SetWorkflowStep> set_workflow_step_args(PyObject* self, WorkflowArgs args) {
  auto id = workflow_id_arg(self, args[0], "id");
  if (!id) return std::nullopt;
  auto step = copied_bytes_arg(args[1], "step");
  if (!step) return std::nullopt;
  auto state = copied_bytes_arg(args[2], "state");
  if (!state) return std::nullopt;
  auto now_ms = i64_arg(args[3], "now_ms");
  if (!now_ms) return std::nullopt;
  return staged::SetWorkflowStep{*id, std::move(*step), std::move(*state), *now_ms};
}

std::optional<staged::WaitForSignal> wait_for_signal_args(PyObject* self, WorkflowArgs args) {
  auto id = workflow_id_arg(self, args[0], "id");
  if (!id) return std::nullopt;
  auto signal = copied_bytes_arg(args[1], "signal");
  if (!signal) return std::nullopt;
  auto now_ms = i64_arg(args[2], "now_ms");
  if (!now_ms) return std::nullopt;
  return staged::WaitForSignal{*id, std::move(*signal), *now_ms};
}

std::optional<staged::SignalWorkflow> signal_workflow_args(PyObject* self, WorkflowArgs args) {
  auto id = workflow_id_arg(self, args[0], "id");
  if (!id) return std::nullopt;
  auto signal = copied_bytes_arg(args[1], "signal");
  if (!signal) return std::nullopt;
  auto payload = copied_bytes_arg(args[2], "payload");
  if (!payload) return std::nullopt;
  auto now_ms = i64_arg(args[3], "now_ms");
  if (!now_ms) return std::nullopt;
  return staged::SignalWorkflow{*id, std::move(*signal), std::move(*payload), *now_ms};
}

std::optional<staged::WaitUntil> wait_until_args(PyObject* self, WorkflowArgs args) {
  auto id = workflow_id_arg(self, args[0], "id");
  if (!id) return std::nullopt;
  auto resume_at_ms = i64_arg(args[1], "resume_at_ms");
  if (!resume_at_ms) return std::nullopt;
  auto now_ms = i64_arg(args[2], "now_ms");
  if (!now_ms) return std::nullopt;
  return staged::WaitUntil{*id, *resume_at_ms, *now_ms};
}

std::optional<staged::FinishWorkflow> finish_workflow_args(PyObject* self, WorkflowArgs args,
                                                           jobs::WorkflowStatus outcome) {
  auto id = workflow_id_arg(self, args[0], "id");
  if (!id) return std::nullopt;
  auto data = copied_bytes_arg(args[1], outcome == jobs::WorkflowStatus::Failed ? "error" : "final_state");
  if (!data) return std::nullopt;
  auto now_ms = i64_arg(args[2], "now_ms");
  if (!now_ms) return std::nullopt;
  return staged::FinishWorkflow{*id, outcome, std::move(*data), *now_ms};
}

std::optional<staged::CancelWorkflow> cancel_workflow_args(PyObject* self, WorkflowArgs args) {
  auto id = workflow_id_arg(self, args[0], "id");
  if (!id) return std::nullopt;
  auto reason = copied_bytes_arg(args[1], "reason");
  if (!reason) return std::nullopt;
  auto now_ms = i64_arg(args[2], "now_ms");
  if (!now_ms) return std::nullopt;
  return staged::CancelWorkflow{*id, std::move(*reason), *now_ms};
}

namespace {

using Args = std::span<PyObject* const>;

PyObject* map_workflow_error(const ModuleState& state, const jobs::WorkflowError& error) {
  return raise_domain_error(state, error.message());
}

// None (or omitted) is no parent; the outer nullopt means an exception is set.
std::optional<std::optional<jobs::WorkflowId>> optional_workflow_id_arg(PyObject* self, PyObject* object,
                                                                        const char* name) {
  if (object == nullptr || object == Py_None) return std::optional<jobs::WorkflowId>{};
  auto id = workflow_id_arg(self, object, name);
  if (!id) return std::nullopt;
  return std::optional<jobs::WorkflowId>(*id);
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

PyObject* none_or_error(const ModuleState& state, const std::expected<void, jobs::WorkflowError>& done) {
  if (!done) return map_workflow_error(state, done.error());
  return none_result();
}

PyObject* bool_or_error(const ModuleState& state, const std::expected<bool, jobs::WorkflowError>& done) {
  if (!done) return map_workflow_error(state, done.error());
  return bool_result(*done);
}

struct CreateWorkflow {
  static constexpr const char* kName = "create_workflow";
  static constexpr Param kParams[] = {
      {"workflow_type"}, {"initial_step"}, {"initial_state"}, {"now_ms"}, {"parent_id", "None"}};
  static constexpr const char* kDoc =
      "Create a running workflow instance and return its new 16-byte id.\n\n"
      "`workflow_type` and `initial_step` must not be empty; `initial_state` is the application's\n"
      "data. `parent_id` (16 bytes) records a parent instance, which is not looked up. History entry 0\n"
      "(\"created\") is written with the instance.";

  static PyObject* call(PyObject* self, Args args) {
    auto type = bytes_arg(args[0], "workflow_type");
    if (!type) return nullptr;
    auto step = bytes_arg(args[1], "initial_step");
    if (!step) return nullptr;
    auto initial_state = bytes_arg(args[2], "initial_state");
    if (!initial_state) return nullptr;
    auto now_ms = i64_arg(args[3], "now_ms");
    if (!now_ms) return nullptr;
    auto parent = optional_workflow_id_arg(self, args[4], "parent_id");
    if (!parent) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto id = jobs::create_workflow(store, *type, *step, *initial_state, *now_ms, *parent);
      if (!id) return map_workflow_error(state, id.error());
      return bytes_result(jobs::workflow_id_view(*id));
    });
  }
};

struct GetWorkflow {
  static constexpr const char* kName = "get_workflow";
  static constexpr Param kParams[] = {{"id"}};
  static constexpr const char* kDoc = "Return the workflow instance with this id as a dict, or None if there is none.";

  static PyObject* call(PyObject* self, Args args) {
    auto id = workflow_id_arg(self, args[0], "id");
    if (!id) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto instance = jobs::get_workflow(store, *id);
      if (!instance) return map_workflow_error(state, instance.error());
      return *instance ? instance_dict(**instance) : none_result();
    });
  }
};

struct SetWorkflowStep {
  static constexpr const char* kName = "set_workflow_step";
  static constexpr const auto& kParams = kSetWorkflowStepParams;
  static constexpr const char* kDoc =
      "Move a running or waiting instance to `step` with `state`; it becomes running and any wait is\n"
      "cleared. Raises OmbrelStoreError for an empty step, a missing or a terminal instance.";

  static PyObject* call(PyObject* self, Args args) {
    auto op = set_workflow_step_args(self, args);
    if (!op) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      return none_or_error(state, jobs::set_workflow_step(store, op->id, op->step, op->state, op->now_ms));
    });
  }
};

struct WaitForSignal {
  static constexpr const char* kName = "wait_for_signal";
  static constexpr const auto& kParams = kWaitForSignalParams;
  static constexpr const char* kDoc =
      "Park a running or waiting instance until the signal named `signal` arrives (replacing any\n"
      "earlier wait). Raises OmbrelStoreError for an empty name, a missing or a terminal instance.";

  static PyObject* call(PyObject* self, Args args) {
    auto op = wait_for_signal_args(self, args);
    if (!op) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      return none_or_error(state, jobs::wait_for_signal(store, op->id, op->signal, op->now_ms));
    });
  }
};

struct WaitUntil {
  static constexpr const char* kName = "wait_until";
  static constexpr const auto& kParams = kWaitUntilParams;
  static constexpr const char* kDoc =
      "Park a running or waiting instance until `resume_at_ms` (any time, past ones included); a later\n"
      "resume_due_workflows wakes it. Raises OmbrelStoreError for a missing or a terminal instance.";

  static PyObject* call(PyObject* self, Args args) {
    auto op = wait_until_args(self, args);
    if (!op) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      return none_or_error(state, jobs::wait_until(store, op->id, op->resume_at_ms, op->now_ms));
    });
  }
};

struct SignalWorkflow {
  static constexpr const char* kName = "signal_workflow";
  static constexpr const auto& kParams = kSignalWorkflowParams;
  static constexpr const char* kDoc =
      "Deliver the signal `signal` with `payload`; return True if the instance was waiting for exactly\n"
      "that signal (it becomes running with `payload` as its state). Signals are not queued: in any\n"
      "other case nothing changes and False is returned. A missing instance raises OmbrelStoreError.";

  static PyObject* call(PyObject* self, Args args) {
    auto op = signal_workflow_args(self, args);
    if (!op) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      return bool_or_error(state, jobs::signal_workflow(store, op->id, op->signal, op->payload, op->now_ms));
    });
  }
};

// complete_workflow and fail_workflow: (id, bytes, now_ms) into one finishing operation.
PyObject* finish(PyObject* self, Args args, jobs::WorkflowStatus outcome) {
  auto op = finish_workflow_args(self, args, outcome);
  if (!op) return nullptr;
  return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
    return none_or_error(state, jobs::finish_workflow(store, op->id, op->outcome, op->data, op->now_ms));
  });
}

struct CompleteWorkflow {
  static constexpr const char* kName = "complete_workflow";
  static constexpr const auto& kParams = kCompleteWorkflowParams;
  static constexpr const char* kDoc =
      "Complete a running or waiting instance with `final_state` as its state. Raises OmbrelStoreError\n"
      "for a missing or a terminal instance.";

  static PyObject* call(PyObject* self, Args args) {
    return finish(self, args, jobs::WorkflowStatus::Completed);
  }
};

struct FailWorkflow {
  static constexpr const char* kName = "fail_workflow";
  static constexpr const auto& kParams = kFailWorkflowParams;
  static constexpr const char* kDoc =
      "Fail a running or waiting instance; the `error` bytes become its state and the history detail.\n"
      "Raises OmbrelStoreError for a missing or a terminal instance.";

  static PyObject* call(PyObject* self, Args args) { return finish(self, args, jobs::WorkflowStatus::Failed); }
};

struct CancelWorkflow {
  static constexpr const char* kName = "cancel_workflow";
  static constexpr const auto& kParams = kCancelWorkflowParams;
  static constexpr const char* kDoc =
      "Cancel a running or waiting instance, recording `reason` in its history; return True if\n"
      "cancelled, False when there is no such instance or it is already terminal.";

  static PyObject* call(PyObject* self, Args args) {
    auto op = cancel_workflow_args(self, args);
    if (!op) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      return bool_or_error(state, jobs::cancel_workflow(store, op->id, op->reason, op->now_ms));
    });
  }
};

struct ResumeDueWorkflows {
  static constexpr const char* kName = "resume_due_workflows";
  static constexpr Param kParams[] = {{"now_ms"}, {"limit", "100"}};
  static constexpr const char* kDoc =
      "Wake at most `limit` instances waiting for a time at or before `now_ms`, smallest id first, each\n"
      "in a commit of its own. Returns {\"scanned\": number of instances, \"resumed\": number woken};\n"
      "a limit of 0 wakes none.";

  static PyObject* call(PyObject* self, Args args) {
    auto now_ms = i64_arg(args[0], "now_ms");
    if (!now_ms) return nullptr;
    auto limit = u64_arg(args[1], "limit", 100);
    if (!limit) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto report = jobs::resume_due_workflows(store, *now_ms, *limit);
      if (!report) return map_workflow_error(state, report.error());
      DictBuilder dict;
      dict.set("scanned", int_result(report->scanned));
      dict.set("resumed", int_result(report->resumed));
      return dict.finish();
    });
  }
};

struct PurgeFinishedWorkflows {
  static constexpr const char* kName = "purge_finished_workflows";
  static constexpr Param kParams[] = {{"finished_before_ms"}, {"limit", "100"}};
  static constexpr const char* kDoc =
      "Remove at most `limit` finished (completed, failed or cancelled) instances whose last change,\n"
      "the time they finished, is before `finished_before_ms`, oldest first, each with its history, in\n"
      "one commit. Returns the number removed; a limit of 0 removes none. Children of a removed\n"
      "instance keep working, and workflow_children of its id still lists them.";

  static PyObject* call(PyObject* self, Args args) {
    auto finished_before_ms = i64_arg(args[0], "finished_before_ms");
    if (!finished_before_ms) return nullptr;
    auto limit = u64_arg(args[1], "limit", 100);
    if (!limit) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto removed = jobs::purge_finished_workflows(store, *finished_before_ms, *limit);
      if (!removed) return map_workflow_error(state, removed.error());
      return int_result(*removed);
    });
  }
};

struct WorkflowHistory {
  static constexpr const char* kName = "workflow_history";
  static constexpr Param kParams[] = {{"id"}};
  static constexpr const char* kDoc =
      "Return the instance's history as dicts (sequence, at_ms, kind, detail) in sequence order; an id\n"
      "with no history gives an empty list.";

  static PyObject* call(PyObject* self, Args args) {
    auto id = workflow_id_arg(self, args[0], "id");
    if (!id) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto entries = jobs::workflow_history(store, *id);
      if (!entries) return map_workflow_error(state, entries.error());
      return list_result(*entries, [](const jobs::WorkflowHistoryEntry& entry) { return history_dict(entry); });
    });
  }
};

struct WorkflowChildren {
  static constexpr const char* kName = "workflow_children";
  static constexpr Param kParams[] = {{"parent_id"}};
  static constexpr const char* kDoc =
      "Return the instances whose parent is `parent_id`, as dicts, oldest created_at_ms first.";

  static PyObject* call(PyObject* self, Args args) {
    auto parent = workflow_id_arg(self, args[0], "parent_id");
    if (!parent) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto children = jobs::workflow_children(store, *parent);
      if (!children) return map_workflow_error(state, children.error());
      return list_result(*children, [](const jobs::WorkflowInstance& child) { return instance_dict(child); });
    });
  }
};

constexpr MethodSpec kWorkflowMethods[] = {
    method_spec<CreateWorkflow>(),   method_spec<GetWorkflow>(),       method_spec<SetWorkflowStep>(),
    method_spec<WaitForSignal>(),    method_spec<WaitUntil>(),         method_spec<SignalWorkflow>(),
    method_spec<CompleteWorkflow>(), method_spec<FailWorkflow>(),      method_spec<CancelWorkflow>(),
    method_spec<ResumeDueWorkflows>(), method_spec<WorkflowHistory>(), method_spec<WorkflowChildren>(),
    method_spec<PurgeFinishedWorkflows>(),
};
const MethodBlock kWorkflowBlock{TargetClass::Store, kWorkflowMethods};

}  // namespace
}  // namespace ombrel::python
