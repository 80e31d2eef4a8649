// What a Python Transaction stages, and what applying a staged operation at
// commit yields.
//
// Every staged operation is a copy of its arguments, checked only for id
// lengths; everything else is checked when it is applied. Results exist for
// the kinds that produce something the caller cannot know in advance (an id,
// an offset, whether something happened); plain writes, record operations,
// links and most workflow moves yield none.
//
//   staged kind          result (dict "kind" and further keys)
//   Put, Delete          -
//   UpsertRecord         -
//   DeleteRecord         -
//   EnqueueJob           "job": id (16 bytes)
//   PushQueue            "queue": id (int)
//   AppendStream         "stream" or "topic": offset (int)
//   EmitEvent            "outbox": tx_id, nonce
//   PutObject            "object": id (32 bytes)
//   PutLinkedObject      "object": id
//   LinkObject           -
//   UnlinkObject         "object_unlink": removed
//   RequestRpc           "rpc": tx_id, nonce
//   CreateWorkflow       "workflow": id (16 bytes)
//   SetWorkflowStep, WaitForSignal, WaitUntil, FinishWorkflow   -
//   SignalWorkflow       "workflow_signal": signaled
//   CancelWorkflow       "workflow_cancel": cancelled
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "jobs/job_spec.h"
#include "jobs/jobs.h"
#include "jobs/workflow.h"
#include "messaging/message_id.h"
#include "records/collection.h"
#include "records/object_codec.h"

namespace ombrel::python {

namespace staged {

struct Put {
  std::string key;
  std::string value;
};
struct Delete {
  std::string key;
};
struct UpsertRecord {
  std::string collection;
  std::string primary_key;
  std::string value;
  std::vector<records::IndexValue> indexes;
};
struct DeleteRecord {
  std::string collection;
  std::string primary_key;
};
struct EnqueueJob {
  jobs::JobSpec spec;
  int64_t now_ms;
};
struct PushQueue {
  std::string queue;
  std::string payload;
  int64_t available_at_ms;
  int32_t priority;
};
// A topic is a stream under another name; only the result's kind differs.
struct AppendStream {
  std::string stream;
  std::string payload;
  bool as_topic;
};
struct EmitEvent {
  std::string topic;
  std::string payload;
  int64_t created_at_ms;
};
struct PutObject {
  std::string content;
};
struct PutLinkedObject {
  std::string content;
  std::string ns;
  std::string name;
};
struct LinkObject {
  std::string ns;
  std::string name;
  records::ObjectId id;
};
struct UnlinkObject {
  std::string ns;
  std::string name;
};
struct RequestRpc {
  std::string method;
  std::string payload;
  int64_t created_at_ms;
  std::optional<int64_t> deadline_ms;
};
struct CreateWorkflow {
  std::string workflow_type;
  std::string initial_step;
  std::string initial_state;
  int64_t now_ms;
  std::optional<jobs::WorkflowId> parent_id;
};
struct SetWorkflowStep {
  jobs::WorkflowId id;
  std::string step;
  std::string state;
  int64_t now_ms;
};
struct WaitForSignal {
  jobs::WorkflowId id;
  std::string signal;
  int64_t now_ms;
};
struct SignalWorkflow {
  jobs::WorkflowId id;
  std::string signal;
  std::string payload;
  int64_t now_ms;
};
struct WaitUntil {
  jobs::WorkflowId id;
  int64_t resume_at_ms;
  int64_t now_ms;
};
// Complete (outcome Completed, `data` the final state) or fail (Failed, `data`
// the error bytes).
struct FinishWorkflow {
  jobs::WorkflowId id;
  jobs::WorkflowStatus outcome;
  std::string data;
  int64_t now_ms;
};
struct CancelWorkflow {
  jobs::WorkflowId id;
  std::string reason;
  int64_t now_ms;
};

}  // namespace staged

using StagedOperation =
    std::variant<staged::Put, staged::Delete, staged::UpsertRecord, staged::DeleteRecord, staged::EnqueueJob,
                 staged::PushQueue, staged::AppendStream, staged::EmitEvent, staged::PutObject,
                 staged::PutLinkedObject, staged::LinkObject, staged::UnlinkObject, staged::RequestRpc,
                 staged::CreateWorkflow, staged::SetWorkflowStep, staged::WaitForSignal, staged::SignalWorkflow,
                 staged::WaitUntil, staged::FinishWorkflow, staged::CancelWorkflow>;

namespace result {

struct Job {
  jobs::JobId id;
};
struct Queue {
  uint64_t id;
};
struct Stream {
  uint64_t offset;
  bool as_topic;
};
// An outbox event or an RPC request: the id the transaction gave it.
struct Message {
  messaging::MessageId id;
  bool rpc;
};
struct Object {
  records::ObjectId id;
};
struct ObjectUnlink {
  bool removed;
};
struct Workflow {
  jobs::WorkflowId id;
};
struct WorkflowSignal {
  bool signaled;
};
struct WorkflowCancel {
  bool cancelled;
};

}  // namespace result

using OperationResult = std::variant<result::Job, result::Queue, result::Stream, result::Message, result::Object,
                                     result::ObjectUnlink, result::Workflow, result::WorkflowSignal,
                                     result::WorkflowCancel>;

}  // namespace ombrel::python
