// Workflows: durable records of long-running processes that the application
// drives step by step. The store runs no workflow code: it keeps each
// instance (type, current step, opaque state, optional parent, status, wait
// condition) and an append-only history of every change, and wakes
// timer-parked instances when the caller asks (resume_due_workflows), since
// the store has no timers of its own. Time moves only through now_ms.
//
// Contract: every changing operation comes in two forms. The engine::Store&
// form reads the committed state and writes through one transaction of its
// own that it commits (it runs the Transaction form in in_own_transaction).
// The engine::Transaction& form reads through the open transaction (so it
// sees what was staged earlier in it) and stages its writes without
// committing. Each change writes the instance record and exactly one history
// entry together, so a failed operation leaves the instance as it was. Input
// checks (empty type, step or signal name) come before any read. Records and
// history stay until purge_finished_workflows removes finished ones. The
// scans (due timers, children, purge) find their records through the
// workflow index (jobs/workflow_index.h) and cost what they return.
//
// State machine (a missing instance is "workflow was not found", except for
// cancel, which yields false):
//   from                          operation            to                        history
//   (none)                        create               running                   created, ""
//   running, waiting              set step            running (wait cleared)    step_changed, the step
//   running, waiting              wait for signal     waiting (signal)          waiting_signal, the name
//   running, waiting              wait until          waiting (timer)           waiting_timer, resume_at_ms i64 LE
//   waiting for that signal       signal              running (state=payload)   signal_received, the name -> true
//   waiting (timer due)           resume due          running (wait cleared)    timer_fired, ""
//   running, waiting              wait for signal     waiting (signal, timeout) waiting_signal_until, timeout i64 LE |
//   name
//                                 until
//   waiting for that signal with  resume due, at the  running (wait cleared)    timed_out, the name
//   a timeout                     timeout
//   waiting for that signal       send signal         running (state=payload)   signal_received, the name ->
//   "delivered" running, waiting (otherwise)  send signal         as it was, signal kept    signal_kept, the name ->
//   "kept" completed, failed, cancelled  send signal         unchanged, nothing written                    -> "ignored"
//   running, waiting, a signal of wait for signal     running (state=payload),  signal_consumed, the name
//   that name kept                (with or without    the oldest kept one gone
//                                 timeout)
//   running, waiting              complete            completed                 completed, the final state
//   running, waiting              fail                failed (state=error)      failed, the error bytes
//   running, waiting              cancel              cancelled                 cancelled, the reason -> true
//   completed, failed, cancelled  set step, wait,     error "workflow is already terminal", nothing written
//                                 complete, fail
//   completed, failed, cancelled  cancel, signal      unchanged, false, nothing written
//   any other signal (not waiting, another name, a timer): unchanged, false (signal_workflow drops
//   it; send_workflow_signal keeps it for the next wait for that name)
// A signal wait with a timeout ("signal until") is a signal wait to every
// signal, and a timer wait to the resume of due timers.
//
// Keys:
//   instance        0xFF "omb:wf:instance:" | id (16)                    33 bytes
//   history entry   0xFF "omb:wf:history:"  | id (16) | seq u64 BE       40 bytes
//   kept signal     0xFF "omb:wf:kept:" | id (16) | name length u32 BE | name | seq u64 BE
//                   (per instance and name, in the order sent; seq counts on
//                   from the largest kept one of that name, 0 when none)
//   (the first 32 bytes of a history key are the instance's history prefix)
//
// Instance value (little-endian):
//   offset      width  field
//   0           1      format version, 1
//   1           16     id
//   17          1      status code (0..4)
//   18          8      created_at_ms (signed)
//   26          8      updated_at_ms (signed)
//   34          1      parent flag (0 or 1)
//   35          16     parent_id                  (flag 1 only)
//   35 or 51    4      workflow_type length T, then T bytes
//   next        4      current_step length S, then S bytes
//   next        4      state length D, then D bytes
//   next        1      wait kind: 0 none, 1 signal, 2 timer, 3 signal until
//   next        4      signal name length N, then N bytes   (wait kinds 1 and 3)
//   next        8      resume_at_ms (signed)                (wait kind 2; kind 3: the timeout)
//   Wait kind 3 is newer than the others: records written before it never
//   carry it, and decode as they always did.
//   The value ends exactly after the wait fields. The operations and reads
//   also refuse, as corrupt, a record whose id differs from its key's.
//
// Kept signal value (little-endian):
//   offset  width  field
//   0       1      format version, 1
//   1       8      sent at (now_ms of send_workflow_signal, signed)
//   9       4      payload length P
//   13      P      payload
//   The value ends exactly after the payload.
//
// History entry value: util/history_entry.h, kind codes 0..12.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/domain_error.h"
#include "engine/errors.h"
#include "engine/key_area.h"
#include "engine/store.h"
#include "engine/transaction.h"
#include "util/byte_codec.h"

namespace ombrel::jobs {

struct WorkflowErrorTexts {
  enum class Kind : uint8_t {
    Engine,
    EmptyType,
    EmptyStep,
    EmptySignalName,
    NotFound,
    Terminal,
    FieldTooLarge,
    Corrupt,
    HistorySequenceExhausted,
    NoEntropy,
    AlreadyExists,
  };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::EmptyType, "workflow type cannot be empty"},
      {Kind::EmptyStep, "workflow step cannot be empty"},
      {Kind::EmptySignalName, "signal name cannot be empty"},
      {Kind::NotFound, "workflow was not found"},
      {Kind::Terminal, "workflow is already terminal"},
      {Kind::FieldTooLarge, "workflow field is too large"},
      {Kind::Corrupt, "workflow record is corrupt or unsupported"},
      {Kind::HistorySequenceExhausted, "workflow history sequence exhausted"},
      {Kind::NoEntropy, "operating-system entropy is unavailable"},
      {Kind::AlreadyExists, "workflow already exists"},
  });
};
using WorkflowError = engine::DomainError<WorkflowErrorTexts>;

inline constexpr size_t kWorkflowIdBytes = 16;
using WorkflowId = std::array<unsigned char, 16>;

enum class WorkflowStatus : uint8_t { Running = 0, Waiting = 1, Completed = 2, Failed = 3, Cancelled = 4 };
enum class WorkflowHistoryKind : uint8_t {
  Created = 0,
  StepChanged = 1,
  WaitingSignal = 2,
  SignalReceived = 3,
  WaitingTimer = 4,
  TimerFired = 5,
  Completed = 6,
  Failed = 7,
  Cancelled = 8,
  SignalKept = 9,
  SignalConsumed = 10,
  WaitingSignalUntil = 11,
  TimedOut = 12,
};
enum class WorkflowWaitKind : uint8_t { None = 0, Signal = 1, Timer = 2, SignalUntil = 3 };
// What send_workflow_signal did with a signal.
enum class SignalOutcome : uint8_t { Delivered, Kept, Ignored };

// "running", "waiting", ...; "created", "step_changed", ...
std::string_view workflow_status_name(WorkflowStatus status);
std::string_view workflow_history_kind_name(WorkflowHistoryKind kind);
bool workflow_status_terminal(WorkflowStatus status);
// "delivered", "kept", "ignored"
std::string_view signal_outcome_name(SignalOutcome outcome);
// nullopt for a name that is no status.
std::optional<WorkflowStatus> workflow_status_from_name(std::string_view name);

inline BytesView workflow_id_view(const WorkflowId& id) {
  return BytesView(reinterpret_cast<const char*>(id.data()), id.size());
}
// nullopt unless `bytes` is exactly 16 bytes long.
std::optional<WorkflowId> workflow_id_from_bytes(BytesView bytes);

struct WorkflowWait {
  WorkflowWaitKind kind = WorkflowWaitKind::None;
  Bytes signal;              // kinds Signal and SignalUntil
  int64_t resume_at_ms = 0;  // kind Timer; kind SignalUntil: the timeout
  bool for_signal(BytesView name) const {
    return (kind == WorkflowWaitKind::Signal || kind == WorkflowWaitKind::SignalUntil) && signal == name;
  }
};

struct WorkflowInstance {
  WorkflowId id{};
  Bytes workflow_type;
  Bytes current_step;
  Bytes state;
  std::optional<WorkflowId> parent_id;
  WorkflowStatus status = WorkflowStatus::Running;
  WorkflowWait wait;
  int64_t created_at_ms = 0;
  int64_t updated_at_ms = 0;
};

struct WorkflowHistoryEntry {
  uint64_t sequence = 0;
  int64_t at_ms = 0;
  WorkflowHistoryKind kind = WorkflowHistoryKind::Created;
  Bytes detail;
};

// The fields of an instance record, borrowed from the stored value (valid
// while it is), so that scans validate records without copying the states
// they do not keep.
struct WorkflowRecordView {
  WorkflowId id{};
  WorkflowStatus status = WorkflowStatus::Running;
  int64_t created_at_ms = 0;
  int64_t updated_at_ms = 0;
  std::optional<WorkflowId> parent_id;
  BytesView workflow_type;
  BytesView current_step;
  BytesView state;
  WorkflowWaitKind wait_kind = WorkflowWaitKind::None;
  BytesView signal;
  int64_t resume_at_ms = 0;

  // Waiting for a time: a timer, or the timeout of a signal wait.
  bool parked_on_time() const {
    return status == WorkflowStatus::Waiting &&
           (wait_kind == WorkflowWaitKind::Timer || wait_kind == WorkflowWaitKind::SignalUntil);
  }
  bool timer_due(int64_t now_ms) const { return parked_on_time() && resume_at_ms <= now_ms; }
};

struct WorkflowWake {
  WorkflowId id{};
  bool timed_out = false;  // a signal wait's timeout, not a timer
};

struct WorkflowResumeReport {
  uint64_t scanned = 0;
  uint64_t resumed = 0;
  std::vector<WorkflowWake> woken;  // in wake order
};

struct WorkflowListing {
  std::optional<WorkflowStatus> status;
  std::optional<BytesView> workflow_type;
  std::optional<WorkflowId> after_id;
  uint64_t limit = 100;
};

struct KeptSignal {
  int64_t sent_at_ms = 0;
  Bytes payload;
};

inline constexpr engine::KeyArea kWorkflowArea{"workflows", {"\xFFomb:wf:", 8}};
inline constexpr std::string_view kWorkflowInstancePrefix{"\xFFomb:wf:instance:", 17};
inline constexpr std::string_view kWorkflowHistoryPrefix{"\xFFomb:wf:history:", 16};
inline constexpr std::string_view kWorkflowKeptSignalPrefix{"\xFFomb:wf:kept:", 13};
static_assert(kWorkflowArea.holds(kWorkflowInstancePrefix) && kWorkflowArea.holds(kWorkflowHistoryPrefix) &&
              kWorkflowArea.holds(kWorkflowKeptSignalPrefix));

Bytes workflow_key(const WorkflowId& id);
Bytes workflow_history_prefix(const WorkflowId& id);
Bytes workflow_history_key(const WorkflowId& id, uint64_t sequence);
// Every kept signal of the instance / of one name of it.
Bytes workflow_kept_signals_prefix(const WorkflowId& id);
std::optional<Bytes> workflow_kept_signal_prefix(const WorkflowId& id, BytesView signal);

std::expected<Bytes, WorkflowError> encode_workflow(const WorkflowInstance& instance);
std::expected<WorkflowInstance, WorkflowError> decode_workflow(BytesView value);
// The record stored under `key`, or nullopt when every read refuses it as
// corrupt: a bad value, a key that is not 33 bytes, or an id that is not the
// key's (a change of that instance would land on another instance's key).
std::optional<WorkflowRecordView> view_workflow_record(BytesView key, BytesView value);
std::expected<Bytes, WorkflowError> encode_workflow_history(const WorkflowHistoryEntry& entry);
std::expected<WorkflowHistoryEntry, WorkflowError> decode_workflow_history(BytesView value);
std::expected<Bytes, WorkflowError> encode_kept_signal(const KeptSignal& kept);
std::expected<KeptSignal, WorkflowError> decode_kept_signal(BytesView value);

// Engine-transaction forms: read through `tx`, stage the writes, never commit.
std::expected<WorkflowId, WorkflowError> create_workflow(engine::Transaction& tx, BytesView workflow_type,
                                                         BytesView initial_step, BytesView initial_state,
                                                         int64_t now_ms, const std::optional<WorkflowId>& parent_id);
std::expected<void, WorkflowError> set_workflow_step(engine::Transaction& tx, const WorkflowId& id, BytesView step,
                                                     BytesView state, int64_t now_ms);
std::expected<void, WorkflowError> wait_for_signal(engine::Transaction& tx, const WorkflowId& id, BytesView signal,
                                                   int64_t now_ms);
std::expected<void, WorkflowError> wait_until(engine::Transaction& tx, const WorkflowId& id, int64_t resume_at_ms,
                                              int64_t now_ms);
std::expected<bool, WorkflowError> signal_workflow(engine::Transaction& tx, const WorkflowId& id, BytesView signal,
                                                   BytesView payload, int64_t now_ms);
// complete (status Completed) and fail (status Failed) share this one operation;
// any outcome other than Failed completes.
std::expected<void, WorkflowError> finish_workflow(engine::Transaction& tx, const WorkflowId& id,
                                                   WorkflowStatus outcome, BytesView final_state_or_error,
                                                   int64_t now_ms);
std::expected<bool, WorkflowError> cancel_workflow(engine::Transaction& tx, const WorkflowId& id, BytesView reason,
                                                   int64_t now_ms);
// create_workflow under an id the caller chose, so that later operations of
// the same transaction can name it; an id in use is "workflow already exists".
std::expected<void, WorkflowError> create_workflow_with_id(engine::Transaction& tx, const WorkflowId& id,
                                                           BytesView workflow_type, BytesView initial_step,
                                                           BytesView initial_state, int64_t now_ms,
                                                           const std::optional<WorkflowId>& parent_id);
// Delivers as signal_workflow does when the instance waits for `signal`;
// otherwise keeps it for the next wait for that name (nothing kept for a
// terminal instance). A missing instance is "workflow was not found".
std::expected<SignalOutcome, WorkflowError> send_workflow_signal(engine::Transaction& tx, const WorkflowId& id,
                                                                 BytesView signal, BytesView payload, int64_t now_ms);
// wait_for_signal with a timeout: resume_due_workflows wakes the instance at
// timeout_at_ms ("timed_out") unless the signal came first. A kept signal of
// that name is consumed at once, as by wait_for_signal.
std::expected<void, WorkflowError> wait_for_signal_until(engine::Transaction& tx, const WorkflowId& id,
                                                         BytesView signal, int64_t timeout_at_ms, int64_t now_ms);

// Store forms: each runs the transaction form above in a transaction of its
// own that commits when the operation succeeds.
std::expected<WorkflowId, WorkflowError> create_workflow(engine::Store& store, BytesView workflow_type,
                                                         BytesView initial_step, BytesView initial_state,
                                                         int64_t now_ms, const std::optional<WorkflowId>& parent_id);
std::expected<void, WorkflowError> set_workflow_step(engine::Store& store, const WorkflowId& id, BytesView step,
                                                     BytesView state, int64_t now_ms);
std::expected<void, WorkflowError> wait_for_signal(engine::Store& store, const WorkflowId& id, BytesView signal,
                                                   int64_t now_ms);
std::expected<void, WorkflowError> wait_until(engine::Store& store, const WorkflowId& id, int64_t resume_at_ms,
                                              int64_t now_ms);
std::expected<bool, WorkflowError> signal_workflow(engine::Store& store, const WorkflowId& id, BytesView signal,
                                                   BytesView payload, int64_t now_ms);
std::expected<void, WorkflowError> finish_workflow(engine::Store& store, const WorkflowId& id, WorkflowStatus outcome,
                                                   BytesView final_state_or_error, int64_t now_ms);
std::expected<bool, WorkflowError> cancel_workflow(engine::Store& store, const WorkflowId& id, BytesView reason,
                                                   int64_t now_ms);
std::expected<void, WorkflowError> create_workflow_with_id(engine::Store& store, const WorkflowId& id,
                                                           BytesView workflow_type, BytesView initial_step,
                                                           BytesView initial_state, int64_t now_ms,
                                                           const std::optional<WorkflowId>& parent_id);
std::expected<SignalOutcome, WorkflowError> send_workflow_signal(engine::Store& store, const WorkflowId& id,
                                                                 BytesView signal, BytesView payload, int64_t now_ms);
std::expected<void, WorkflowError> wait_for_signal_until(engine::Store& store, const WorkflowId& id, BytesView signal,
                                                         int64_t timeout_at_ms, int64_t now_ms);

// Store-only reads of the committed state.
std::expected<std::optional<WorkflowInstance>, WorkflowError> get_workflow(const engine::Store& store,
                                                                           const WorkflowId& id);
// In sequence order; an id with no entries yields an empty list (the
// instance is not looked up).
std::expected<std::vector<WorkflowHistoryEntry>, WorkflowError> workflow_history(const engine::Store& store,
                                                                                 const WorkflowId& id);
// Every instance whose parent is `parent_id`, by created_at_ms (then id);
// any damaged instance record fails the call.
std::expected<std::vector<WorkflowInstance>, WorkflowError> workflow_children(const engine::Store& store,
                                                                              const WorkflowId& parent_id);
// Up to `limit` instances after `after_id`, in id order, of the status and
// the type asked for (either, both or neither), found through the workflow
// index; any damaged instance record fails the call.
std::expected<std::vector<WorkflowInstance>, WorkflowError> list_workflows(const engine::Store& store,
                                                                           const WorkflowListing& listing);
// Counts every instance ("scanned"), collects in key order at most `limit`
// waiting instances whose timer (or signal wait's timeout) is due at now_ms (decoding no record once
// `limit` are collected; limit 0 collects none) and resumes each in a commit
// of its own ("resumed"). An error ends the call; instances already resumed
// stay so. A timer wakes with "timer_fired", a signal wait's timeout with
// "timed_out" and the signal name; `woken` lists both, in wake order.
std::expected<WorkflowResumeReport, WorkflowError> resume_due_workflows(engine::Store& store, int64_t now_ms,
                                                                        uint64_t limit);
// Removes, in one commit with change capture, at most `limit` finished
// (completed, failed or cancelled) instances whose updated_at_ms, the time
// they finished, is before finished_before_ms, oldest first (then id), each
// with its whole history and the signals kept for it; returns how many. A limit of 0 removes none and
// writes nothing. Children of a removed instance are untouched: the store
// never looks a parent up, so they go on working, and workflow_children of
// the removed id still lists them.
std::expected<uint64_t, WorkflowError> purge_finished_workflows(engine::Store& store, int64_t finished_before_ms,
                                                                uint64_t limit);

}  // namespace ombrel::jobs
