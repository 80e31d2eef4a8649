// The domain staging methods of Transaction, the application of every staged
// kind at commit and the result dicts of commit_with_results. The kinds and
// their results are listed in staged_operations.h.
//
// A staging method converts its arguments, checks the id lengths (a wrong
// length raises at once and stages nothing) and returns the new operation's
// position. Every other fault is found when the operation is applied, in the
// words of its domain: queue, stream, topic and object writes in those of
// engine/transaction_domains.h, job enqueues in those of jobs/transactional.h,
// the rest in their domain's own.
#include <Python.h>

#include <span>
#include <utility>

#include "jobs/transactional.h"
#include "messaging/outbox.h"
#include "messaging/queue.h"
#include "messaging/rpc.h"
#include "messaging/stream.h"
#include "python/collection_methods.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/job_spec_convert.h"
#include "python/message_id_args.h"
#include "python/method_registry.h"
#include "python/transaction.h"
#include "python/workflow_args.h"
#include "records/objects.h"
#include "util/overloaded.h"

namespace ombrel::python {

namespace {

using Outcome = std::expected<std::optional<OperationResult>, StagedFailure>;

// Maps a domain call's outcome: its error's display text, or the result that
// `make` builds from the value (std::nullopt for kinds without a result).
template <class T, class E, class Make>
Outcome outcome_of(std::expected<T, E>&& done, Make&& make) {
  if (!done) return std::unexpected(StagedFailure(DomainFailure{done.error().message()}));
  if constexpr (std::is_void_v<T>) {
    return make();
  } else {
    return make(std::move(*done));
  }
}

constexpr auto kNoResult = [](auto&&...) -> std::optional<OperationResult> { return std::nullopt; };

// The `_tx` object variants report ObjectError; a transaction words them as
// every transactional domain write.
template <class T>
std::expected<T, engine::DomainTransactionError> in_transactional_words(
    std::expected<T, records::ObjectError>&& done) {
  if (!done) return std::unexpected(records::transactional_error(done.error()));
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(*done);
  }
}

}  // namespace

std::expected<std::optional<OperationResult>, StagedFailure> apply_staged_operation(engine::Transaction& tx,
                                                                                     const StagedOperation& operation) {
  auto engine_outcome = [](const std::expected<void, engine::EngineError>& done) -> Outcome {
    if (!done) return std::unexpected(StagedFailure(done.error()));
    return std::nullopt;
  };
  return std::visit(
      Overloaded{
          [&](const staged::Put& op) { return engine_outcome(tx.put(op.key, op.value)); },
          [&](const staged::Delete& op) { return engine_outcome(tx.delete_key(op.key)); },
          [&](const staged::UpsertRecord& op) {
            return outcome_of(records::upsert_record(tx, op.collection, op.primary_key, op.value, op.indexes),
                              kNoResult);
          },
          [&](const staged::DeleteRecord& op) {
            return outcome_of(records::delete_record(tx, op.collection, op.primary_key), kNoResult);
          },
          [&](const staged::EnqueueJob& op) {
            return outcome_of(jobs::enqueue_job_transactional(tx, op.spec, op.now_ms),
                              [](jobs::JobId id) { return std::optional<OperationResult>(result::Job{id}); });
          },
          [&](const staged::PushQueue& op) {
            return outcome_of(messaging::push_queue(tx, op.queue, op.payload, op.available_at_ms, op.priority),
                              [](uint64_t id) { return std::optional<OperationResult>(result::Queue{id}); });
          },
          [&](const staged::AppendStream& op) {
            return outcome_of(messaging::append_stream(tx, op.stream, op.payload), [&](uint64_t offset) {
              return std::optional<OperationResult>(result::Stream{offset, op.as_topic});
            });
          },
          [&](const staged::EmitEvent& op) {
            return outcome_of(messaging::emit_event(tx, op.topic, op.payload, op.created_at_ms),
                              [](messaging::MessageId id) {
                                return std::optional<OperationResult>(result::Message{id, false});
                              });
          },
          [&](const staged::PutObject& op) {
            return outcome_of(in_transactional_words(records::put_object_tx(tx, op.content)),
                              [](records::ObjectId id) { return std::optional<OperationResult>(result::Object{id}); });
          },
          [&](const staged::PutLinkedObject& op) {
            return outcome_of(in_transactional_words(records::put_linked_object_tx(tx, op.content, op.ns, op.name)),
                              [](records::ObjectId id) { return std::optional<OperationResult>(result::Object{id}); });
          },
          [&](const staged::LinkObject& op) {
            return outcome_of(in_transactional_words(records::link_object_tx(tx, op.ns, op.name, op.id)), kNoResult);
          },
          [&](const staged::UnlinkObject& op) {
            return outcome_of(in_transactional_words(records::unlink_object_tx(tx, op.ns, op.name)),
                              [](bool removed) {
                                return std::optional<OperationResult>(result::ObjectUnlink{removed});
                              });
          },
          [&](const staged::RequestRpc& op) {
            return outcome_of(messaging::request_rpc(tx, op.method, op.payload, op.created_at_ms, op.deadline_ms),
                              [](messaging::MessageId id) {
                                return std::optional<OperationResult>(result::Message{id, true});
                              });
          },
          [&](const staged::CreateWorkflow& op) {
            return outcome_of(
                jobs::create_workflow(tx, op.workflow_type, op.initial_step, op.initial_state, op.now_ms, op.parent_id),
                [](jobs::WorkflowId id) { return std::optional<OperationResult>(result::Workflow{id}); });
          },
          [&](const staged::SetWorkflowStep& op) {
            return outcome_of(jobs::set_workflow_step(tx, op.id, op.step, op.state, op.now_ms), kNoResult);
          },
          [&](const staged::WaitForSignal& op) {
            return outcome_of(jobs::wait_for_signal(tx, op.id, op.signal, op.now_ms), kNoResult);
          },
          [&](const staged::SignalWorkflow& op) {
            return outcome_of(jobs::signal_workflow(tx, op.id, op.signal, op.payload, op.now_ms), [](bool signaled) {
              return std::optional<OperationResult>(result::WorkflowSignal{signaled});
            });
          },
          [&](const staged::WaitUntil& op) {
            return outcome_of(jobs::wait_until(tx, op.id, op.resume_at_ms, op.now_ms), kNoResult);
          },
          [&](const staged::FinishWorkflow& op) {
            return outcome_of(jobs::finish_workflow(tx, op.id, op.outcome, op.data, op.now_ms), kNoResult);
          },
          [&](const staged::CancelWorkflow& op) {
            return outcome_of(jobs::cancel_workflow(tx, op.id, op.reason, op.now_ms), [](bool cancelled) {
              return std::optional<OperationResult>(result::WorkflowCancel{cancelled});
            });
          },
      },
      operation);
}

PyObject* operation_result_dict(const OperationResult& operation_result) {
  DictBuilder dict;
  std::visit(Overloaded{
                 [&](const result::Job& r) {
                   dict.set("kind", text_result("job")).set("id", bytes_result(jobs::id_view(r.id)));
                 },
                 [&](const result::Queue& r) { dict.set("kind", text_result("queue")).set("id", int_result(r.id)); },
                 [&](const result::Stream& r) {
                   dict.set("kind", text_result(r.as_topic ? "topic" : "stream")).set("offset", int_result(r.offset));
                 },
                 [&](const result::Message& r) {
                   dict.set("kind", text_result(r.rpc ? "rpc" : "outbox"))
                       .set("tx_id", int_result(r.id.tx_id))
                       .set("nonce", bytes_result(messaging::nonce_bytes(r.id.nonce)));
                 },
                 [&](const result::Object& r) {
                   dict.set("kind", text_result("object")).set("id", bytes_result(records::id_bytes(r.id)));
                 },
                 [&](const result::ObjectUnlink& r) {
                   dict.set("kind", text_result("object_unlink")).set("removed", bool_result(r.removed));
                 },
                 [&](const result::Workflow& r) {
                   dict.set("kind", text_result("workflow")).set("id", bytes_result(jobs::workflow_id_view(r.id)));
                 },
                 [&](const result::WorkflowSignal& r) {
                   dict.set("kind", text_result("workflow_signal")).set("signaled", bool_result(r.signaled));
                 },
                 [&](const result::WorkflowCancel& r) {
                   dict.set("kind", text_result("workflow_cancel")).set("cancelled", bool_result(r.cancelled));
                 },
             },
             operation_result);
  return dict.finish();
}

namespace {

using Args = std::span<PyObject* const>;

constexpr const char* kObjectIdLengthMessage = "object id must be exactly 32 bytes";

PyObject* stage(PyObject* self, StagedOperation operation) { return stage_operation(self, std::move(operation), true); }

struct EnqueueJob {
  static constexpr const char* kName = "enqueue_job";
  jobs::JobSpec spec;
  int64_t now_ms;
  static constexpr auto kParams = params(job_spec_params(&EnqueueJob::spec), param("now_ms", &EnqueueJob::now_ms));
  static constexpr const char* kDoc =
      "Stage a job for `handler`, created at commit as Store.submit_job does (its \"submitted\" history\n"
      "entry says \"transactional\"), and return the operation's position. Its result is\n"
      "{\"kind\": \"job\", \"id\": <16 bytes>}: a new job, or the ready or leased job that already holds\n"
      "`idempotency_key`.";

  PyObject* call(PyObject* self) { return stage(self, staged::EnqueueJob{std::move(spec), now_ms}); }
};

struct PushQueue {
  static constexpr const char* kName = "push_queue";
  static constexpr Param kParams[] = {{"queue"}, {"payload"}, Param::keyword("available_at_ms", "0"),
                                      Param::keyword("priority", "0")};
  static constexpr const char* kDoc =
      "Stage a push of `payload` to `queue` and return the operation's position. Its result is\n"
      "{\"kind\": \"queue\", \"id\": <message id>}; pushes to one queue in one transaction take\n"
      "consecutive ids.";

  static PyObject* call(PyObject* self, Args args) {
    auto queue = copied_bytes_arg(args[0], "queue");
    if (!queue) return nullptr;
    auto payload = copied_bytes_arg(args[1], "payload");
    if (!payload) return nullptr;
    auto available_at_ms = i64_arg(args[2], "available_at_ms", 0);
    if (!available_at_ms) return nullptr;
    auto priority = i32_arg(args[3], "priority", 0);
    if (!priority) return nullptr;
    return stage(self, staged::PushQueue{std::move(*queue), std::move(*payload), *available_at_ms, *priority});
  }
};

template <bool kTopic>
struct AppendLog {
  static constexpr const char* kName = kTopic ? "publish_topic" : "append_stream";
  static constexpr Param kParams[] = {{kTopic ? "topic" : "stream"}, {"payload"}};
  static constexpr const char* kDoc =
      kTopic ? "Stage a publication of `payload` on `topic` (the stream of that name) and return the\n"
               "operation's position. Its result is {\"kind\": \"topic\", \"offset\": <entry offset>}."
             : "Stage an append of `payload` to `stream` and return the operation's position. Its result is\n"
               "{\"kind\": \"stream\", \"offset\": <entry offset>}; appends in one transaction take\n"
               "consecutive offsets.";

  static PyObject* call(PyObject* self, Args args) {
    auto name = copied_bytes_arg(args[0], kParams[0].name);
    if (!name) return nullptr;
    auto payload = copied_bytes_arg(args[1], "payload");
    if (!payload) return nullptr;
    return stage(self, staged::AppendStream{std::move(*name), std::move(*payload), kTopic});
  }
};

struct EmitEvent {
  static constexpr const char* kName = "emit_event";
  static constexpr Param kParams[] = {{"topic"}, {"payload"}, {"created_at_ms"}};
  static constexpr const char* kDoc =
      "Stage an outbox event and return the operation's position. Its result is\n"
      "{\"kind\": \"outbox\", \"tx_id\": <int>, \"nonce\": <16 bytes>}, the event's id.";

  static PyObject* call(PyObject* self, Args args) {
    auto topic = copied_bytes_arg(args[0], "topic");
    if (!topic) return nullptr;
    auto payload = copied_bytes_arg(args[1], "payload");
    if (!payload) return nullptr;
    auto created_at_ms = i64_arg(args[2], "created_at_ms");
    if (!created_at_ms) return nullptr;
    return stage(self, staged::EmitEvent{std::move(*topic), std::move(*payload), *created_at_ms});
  }
};

struct PutObject {
  static constexpr const char* kName = "put_object";
  static constexpr Param kParams[] = {{"content"}};
  static constexpr const char* kDoc =
      "Stage a put of `content` as a content-addressed object (without metadata) and return the\n"
      "operation's position. Its result is {\"kind\": \"object\", \"id\": <32-byte SHA-256>}.";

  static PyObject* call(PyObject* self, Args args) {
    auto content = copied_bytes_arg(args[0], "content");
    if (!content) return nullptr;
    return stage(self, staged::PutObject{std::move(*content)});
  }
};

struct PutLinkedObject {
  static constexpr const char* kName = "put_linked_object";
  static constexpr Param kParams[] = {{"content"}, {"namespace"}, {"name"}};
  static constexpr const char* kDoc =
      "Stage a put of `content` and a reference (namespace, name) to it, replacing any earlier one;\n"
      "return the operation's position. Its result is {\"kind\": \"object\", \"id\": <32 bytes>}.";

  static PyObject* call(PyObject* self, Args args) {
    auto content = copied_bytes_arg(args[0], "content");
    if (!content) return nullptr;
    auto ns = copied_bytes_arg(args[1], "namespace");
    if (!ns) return nullptr;
    auto name = copied_bytes_arg(args[2], "name");
    if (!name) return nullptr;
    return stage(self, staged::PutLinkedObject{std::move(*content), std::move(*ns), std::move(*name)});
  }
};

struct LinkObject {
  static constexpr const char* kName = "link_object";
  static constexpr Param kParams[] = {{"namespace"}, {"name"}, {"id"}};
  static constexpr const char* kDoc =
      "Stage a reference (namespace, name) to the object `id` and return the operation's position.\n"
      "The object may be put earlier in the same transaction; at commit an absent object raises\n"
      "\"object does not exist\". No result. A wrong id length raises at once.";

  static PyObject* call(PyObject* self, Args args) {
    auto ns = copied_bytes_arg(args[0], "namespace");
    if (!ns) return nullptr;
    auto name = copied_bytes_arg(args[1], "name");
    if (!name) return nullptr;
    auto id = fixed_length_arg(self, args[2], "id", kObjectIdLengthMessage, records::object_id_from);
    if (!id) return nullptr;
    return stage(self, staged::LinkObject{std::move(*ns), std::move(*name), *id});
  }
};

struct UnlinkObject {
  static constexpr const char* kName = "unlink_object";
  static constexpr Param kParams[] = {{"namespace"}, {"name"}};
  static constexpr const char* kDoc =
      "Stage the removal of the reference (namespace, name) and return the operation's position.\n"
      "Its result is {\"kind\": \"object_unlink\", \"removed\": <bool>}.";

  static PyObject* call(PyObject* self, Args args) {
    auto ns = copied_bytes_arg(args[0], "namespace");
    if (!ns) return nullptr;
    auto name = copied_bytes_arg(args[1], "name");
    if (!name) return nullptr;
    return stage(self, staged::UnlinkObject{std::move(*ns), std::move(*name)});
  }
};

struct RequestRpc {
  static constexpr const char* kName = "request_rpc";
  static constexpr Param kParams[] = {{"method"}, {"payload"}, {"created_at_ms"}, {"deadline_ms", "None"}};
  static constexpr const char* kDoc =
      "Stage an RPC request and return the operation's position. Its result is\n"
      "{\"kind\": \"rpc\", \"tx_id\": <int>, \"nonce\": <16 bytes>}, the request's id.";

  static PyObject* call(PyObject* self, Args args) {
    auto method = copied_bytes_arg(args[0], "method");
    if (!method) return nullptr;
    auto payload = copied_bytes_arg(args[1], "payload");
    if (!payload) return nullptr;
    auto created_at_ms = i64_arg(args[2], "created_at_ms");
    if (!created_at_ms) return nullptr;
    auto deadline_ms = optional_i64_arg(args[3], "deadline_ms");
    if (!deadline_ms) return nullptr;
    return stage(self, staged::RequestRpc{std::move(*method), std::move(*payload), *created_at_ms, *deadline_ms});
  }
};

struct CreateWorkflow {
  static constexpr const char* kName = "create_workflow";
  static constexpr Param kParams[] = {
      {"workflow_type"}, {"initial_step"}, {"initial_state"}, {"now_ms"}, {"parent_id", "None"}};
  static constexpr const char* kDoc =
      "Stage the creation of a running workflow instance and return the operation's position. Its\n"
      "result is {\"kind\": \"workflow\", \"id\": <16 bytes>}. A `parent_id` of another length than 16\n"
      "raises at once.";

  static PyObject* call(PyObject* self, Args args) {
    auto workflow_type = copied_bytes_arg(args[0], "workflow_type");
    if (!workflow_type) return nullptr;
    auto initial_step = copied_bytes_arg(args[1], "initial_step");
    if (!initial_step) return nullptr;
    auto initial_state = copied_bytes_arg(args[2], "initial_state");
    if (!initial_state) return nullptr;
    auto now_ms = i64_arg(args[3], "now_ms");
    if (!now_ms) return nullptr;
    auto parent = optional_byte_vec_arg(args[4], "parent_id");
    if (!parent) return nullptr;
    std::optional<jobs::WorkflowId> parent_id;
    if (*parent) {
      parent_id = jobs::workflow_id_from_bytes(**parent);
      if (!parent_id) {
        if (const ModuleState* state = state_of_instance(self)) raise_domain_error(*state, kWorkflowIdLengthMessage);
        return nullptr;
      }
    }
    return stage(self, staged::CreateWorkflow{std::move(*workflow_type), std::move(*initial_step),
                                              std::move(*initial_state), *now_ms, parent_id});
  }
};

// A workflow move staged with the same parameters and conversion as the
// Store method of that name (workflow_args.h).
template <class Op, const auto& Params, auto Convert>
struct StageWorkflowMove {
  static constexpr const auto& kParams = Params;
  static PyObject* call(PyObject* self, Args args) {
    std::optional<Op> op = Convert(self, args);
    if (!op) return nullptr;
    return stage(self, std::move(*op));
  }
};

std::optional<staged::FinishWorkflow> complete_args(PyObject* self, Args args) {
  return finish_workflow_args(self, args, jobs::WorkflowStatus::Completed);
}
std::optional<staged::FinishWorkflow> fail_args(PyObject* self, Args args) {
  return finish_workflow_args(self, args, jobs::WorkflowStatus::Failed);
}

struct SetWorkflowStep : StageWorkflowMove<staged::SetWorkflowStep, kSetWorkflowStepParams, set_workflow_step_args> {
  static constexpr const char* kName = "set_workflow_step";
  static constexpr const char* kDoc =
      "Stage a move of workflow `id` to `step` with `state` (running, no wait) and return the\n"
      "operation's position. No result.";
};

struct WaitForSignal : StageWorkflowMove<staged::WaitForSignal, kWaitForSignalParams, wait_for_signal_args> {
  static constexpr const char* kName = "wait_for_signal";
  static constexpr const char* kDoc =
      "Stage parking workflow `id` until `signal` arrives and return the operation's position.\n"
      "No result.";
};

struct SignalWorkflow : StageWorkflowMove<staged::SignalWorkflow, kSignalWorkflowParams, signal_workflow_args> {
  static constexpr const char* kName = "signal_workflow";
  static constexpr const char* kDoc =
      "Stage delivering `signal` with `payload` to workflow `id` and return the operation's\n"
      "position. Its result is {\"kind\": \"workflow_signal\", \"signaled\": <bool>}: False when the\n"
      "instance was not waiting for that signal (signals are not queued).";
};

struct WaitUntil : StageWorkflowMove<staged::WaitUntil, kWaitUntilParams, wait_until_args> {
  static constexpr const char* kName = "wait_until";
  static constexpr const char* kDoc =
      "Stage parking workflow `id` until `resume_at_ms` (resumed by Store.resume_due_workflows) and\n"
      "return the operation's position. No result.";
};

struct CompleteWorkflow : StageWorkflowMove<staged::FinishWorkflow, kCompleteWorkflowParams, complete_args> {
  static constexpr const char* kName = "complete_workflow";
  static constexpr const char* kDoc =
      "Stage completing workflow `id` with `final_state` as its state and return the operation's\n"
      "position. No result.";
};

struct FailWorkflow : StageWorkflowMove<staged::FinishWorkflow, kFailWorkflowParams, fail_args> {
  static constexpr const char* kName = "fail_workflow";
  static constexpr const char* kDoc =
      "Stage failing workflow `id`, keeping `error` as its state, and return the operation's\n"
      "position. No result.";
};

struct CancelWorkflow : StageWorkflowMove<staged::CancelWorkflow, kCancelWorkflowParams, cancel_workflow_args> {
  static constexpr const char* kName = "cancel_workflow";
  static constexpr const char* kDoc =
      "Stage cancelling workflow `id` with `reason` and return the operation's position. Its result\n"
      "is {\"kind\": \"workflow_cancel\", \"cancelled\": <bool>}: False for a missing or finished instance.";
};

constexpr MethodSpec kDomainMethods[] = {
    method_spec<EnqueueJob>(),
    method_spec<PushQueue>(),
    method_spec<AppendLog<false>>(),
    method_spec<AppendLog<true>>(),
    method_spec<EmitEvent>(),
    method_spec<PutObject>(),
    method_spec<PutLinkedObject>(),
    method_spec<LinkObject>(),
    method_spec<UnlinkObject>(),
    method_spec<RequestRpc>(),
    method_spec<CreateWorkflow>(),
    method_spec<SetWorkflowStep>(),
    method_spec<WaitForSignal>(),
    method_spec<SignalWorkflow>(),
    method_spec<WaitUntil>(),
    method_spec<CompleteWorkflow>(),
    method_spec<FailWorkflow>(),
    method_spec<CancelWorkflow>(),
};
const MethodBlock kDomainBlock{TargetClass::Transaction, kDomainMethods};

}  // namespace
}  // namespace ombrel::python
