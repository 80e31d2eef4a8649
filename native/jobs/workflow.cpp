#include "jobs/workflow.h"

#include <algorithm>
#include <iterator>
#include <limits>

#include "jobs/workflow_index.h"
#include "records/own_transaction.h"
#include "util/component_key.h"
#include "util/entropy.h"
#include "util/history_entry.h"
#include "util/invariant.h"

namespace ombrel::jobs {
namespace {

constexpr uint8_t kFormatVersion = 1;
// The instance record's fixed part (workflow.h); the parent id, when
// flagged, and the variable fields follow it.
constexpr size_t kInstanceVersionOffset = 0;
constexpr size_t kInstanceIdOffset = 1;
constexpr size_t kInstanceStatusOffset = 17;
constexpr size_t kInstanceCreatedAtOffset = 18;
constexpr size_t kInstanceUpdatedAtOffset = 26;
constexpr size_t kInstanceParentFlagOffset = 34;
constexpr size_t kInstanceFixedBytes = 35;
static_assert(contiguous_fields({{kInstanceVersionOffset, 1},
                                 {kInstanceIdOffset, kWorkflowIdBytes},
                                 {kInstanceStatusOffset, 1},
                                 {kInstanceCreatedAtOffset, 8},
                                 {kInstanceUpdatedAtOffset, 8},
                                 {kInstanceParentFlagOffset, 1}},
                                kInstanceFixedBytes));
// The smallest variable part: no parent, three empty fields, no wait.
constexpr size_t kInstanceMinVariableBytes = 3 * 4 + 1;

using Kind = WorkflowError::Kind;

WorkflowError corrupt() { return WorkflowError::of(Kind::Corrupt); }

std::expected<void, WorkflowError> engine_result(const std::expected<void, engine::EngineError>& done) {
  if (!done) return std::unexpected(WorkflowError::engine(done.error()));
  return {};
}

WorkflowId id_at(BytesView sixteen) {
  WorkflowId id{};
  std::copy(sixteen.begin(), sixteen.end(), id.begin());
  return id;
}

bool waits_for_signal(WorkflowWaitKind kind) {
  return kind == WorkflowWaitKind::Signal || kind == WorkflowWaitKind::SignalUntil;
}
bool waits_for_time(WorkflowWaitKind kind) {
  return kind == WorkflowWaitKind::Timer || kind == WorkflowWaitKind::SignalUntil;
}

// The kept signal record (workflow.h).
constexpr size_t kKeptVersionOffset = 0;
constexpr size_t kKeptSentAtOffset = 1;
constexpr size_t kKeptPayloadLengthOffset = 9;
constexpr size_t kKeptFixedBytes = 13;
static_assert(contiguous_fields({{kKeptVersionOffset, 1}, {kKeptSentAtOffset, 8}, {kKeptPayloadLengthOffset, 4}},
                                kKeptFixedBytes));

std::optional<WorkflowRecordView> view_instance(BytesView value) {
  const auto fixed = FixedPart<kInstanceFixedBytes>::of(value);
  if (!fixed) return std::nullopt;
  WorkflowRecordView v;
  const uint8_t version = fixed->u8<kInstanceVersionOffset>();
  const uint8_t status = fixed->u8<kInstanceStatusOffset>();
  const uint8_t has_parent = fixed->u8<kInstanceParentFlagOffset>();
  if (version != kFormatVersion || status > static_cast<uint8_t>(WorkflowStatus::Cancelled) || has_parent > 1)
    return std::nullopt;
  v.id = fixed->byte_array<kInstanceIdOffset, kWorkflowIdBytes>();
  v.status = static_cast<WorkflowStatus>(status);
  v.created_at_ms = fixed->i64_le<kInstanceCreatedAtOffset>();
  v.updated_at_ms = fixed->i64_le<kInstanceUpdatedAtOffset>();
  ByteReader r(value.substr(kInstanceFixedBytes));
  if (has_parent == 1) {
    auto parent = r.bytes(kWorkflowIdBytes);
    if (!parent) return std::nullopt;
    v.parent_id = id_at(*parent);
  }
  auto type = r.field_le();
  if (!type) return std::nullopt;
  auto step = r.field_le();
  if (!step) return std::nullopt;
  auto state = r.field_le();
  if (!state) return std::nullopt;
  auto wait = r.u8();
  if (!wait || *wait > static_cast<uint8_t>(WorkflowWaitKind::SignalUntil)) return std::nullopt;
  v.wait_kind = static_cast<WorkflowWaitKind>(*wait);
  if (waits_for_signal(v.wait_kind)) {
    auto signal = r.field_le();
    if (!signal) return std::nullopt;
    v.signal = *signal;
  }
  if (waits_for_time(v.wait_kind)) {
    auto resume = r.i64_le();
    if (!resume) return std::nullopt;
    v.resume_at_ms = *resume;
  }
  if (!r.at_end()) return std::nullopt;
  v.workflow_type = *type;
  v.current_step = *step;
  v.state = *state;
  return v;
}

WorkflowInstance materialize(const WorkflowRecordView& v) {
  WorkflowInstance instance;
  instance.id = v.id;
  instance.workflow_type.assign(v.workflow_type);
  instance.current_step.assign(v.current_step);
  instance.state.assign(v.state);
  instance.parent_id = v.parent_id;
  instance.status = v.status;
  instance.wait.kind = v.wait_kind;
  instance.wait.signal.assign(v.signal);
  instance.wait.resume_at_ms = v.resume_at_ms;
  instance.created_at_ms = v.created_at_ms;
  instance.updated_at_ms = v.updated_at_ms;
  return instance;
}

// The sequence after the largest one under the instance's history prefix in
// the transaction's view (committed entries plus those staged in it); 0 when
// there is none. Only the last key is read.
std::expected<uint64_t, WorkflowError> next_history_sequence(const engine::Transaction& tx, const WorkflowId& id) {
  const Bytes prefix = workflow_history_prefix(id);
  auto next = sequence_after(tx.last_key_internal(prefix), prefix);
  if (!next) {
    return std::unexpected(next.error() == SequenceFault::Exhausted ? WorkflowError::of(Kind::HistorySequenceExhausted)
                                                                    : corrupt());
  }
  return *next;
}

// Stages `instance` (its updated_at_ms set to now_ms) and its next history
// entry. Both values are encoded before either is written, so that a field
// too large stages nothing.
std::expected<void, WorkflowError> stage_change(engine::Transaction& tx, WorkflowInstance& instance, int64_t now_ms,
                                                WorkflowHistoryKind kind, BytesView detail) {
  auto sequence = next_history_sequence(tx, instance.id);
  if (!sequence) return std::unexpected(sequence.error());
  instance.updated_at_ms = now_ms;
  auto record = encode_workflow(instance);
  if (!record) return std::unexpected(record.error());
  auto entry = encode_workflow_history(WorkflowHistoryEntry{*sequence, now_ms, kind, Bytes(detail)});
  if (!entry) return std::unexpected(entry.error());
  if (auto put = engine_result(tx.put_internal(workflow_key(instance.id), *record)); !put) return put;
  return engine_result(tx.put_internal(workflow_history_key(instance.id, *sequence), *entry));
}

std::expected<std::optional<WorkflowInstance>, WorkflowError> load(const engine::Transaction& tx,
                                                                   const WorkflowId& id) {
  const Bytes key = workflow_key(id);
  auto value = tx.get_internal(key);
  if (!value) return std::optional<WorkflowInstance>{};
  auto view = view_workflow_record(key, *value);
  if (!view) return std::unexpected(corrupt());
  return std::optional<WorkflowInstance>(materialize(*view));
}

// The instance, which must exist and must not be terminal.
std::expected<WorkflowInstance, WorkflowError> load_live(const engine::Transaction& tx, const WorkflowId& id) {
  auto instance = load(tx, id);
  if (!instance) return std::unexpected(instance.error());
  if (!*instance) return std::unexpected(WorkflowError::of(Kind::NotFound));
  if (workflow_status_terminal((*instance)->status)) return std::unexpected(WorkflowError::of(Kind::Terminal));
  return std::move(**instance);
}

}  // namespace

// ---- errors and names ----

std::string_view workflow_status_name(WorkflowStatus status) {
  switch (status) {
    case WorkflowStatus::Running:
      return "running";
    case WorkflowStatus::Waiting:
      return "waiting";
    case WorkflowStatus::Completed:
      return "completed";
    case WorkflowStatus::Failed:
      return "failed";
    case WorkflowStatus::Cancelled:
      return "cancelled";
  }
  return {};
}

std::string_view workflow_history_kind_name(WorkflowHistoryKind kind) {
  switch (kind) {
    case WorkflowHistoryKind::Created:
      return "created";
    case WorkflowHistoryKind::StepChanged:
      return "step_changed";
    case WorkflowHistoryKind::WaitingSignal:
      return "waiting_signal";
    case WorkflowHistoryKind::SignalReceived:
      return "signal_received";
    case WorkflowHistoryKind::WaitingTimer:
      return "waiting_timer";
    case WorkflowHistoryKind::TimerFired:
      return "timer_fired";
    case WorkflowHistoryKind::Completed:
      return "completed";
    case WorkflowHistoryKind::Failed:
      return "failed";
    case WorkflowHistoryKind::Cancelled:
      return "cancelled";
    case WorkflowHistoryKind::SignalKept:
      return "signal_kept";
    case WorkflowHistoryKind::SignalConsumed:
      return "signal_consumed";
    case WorkflowHistoryKind::WaitingSignalUntil:
      return "waiting_signal_until";
    case WorkflowHistoryKind::TimedOut:
      return "timed_out";
  }
  return {};
}

std::string_view signal_outcome_name(SignalOutcome outcome) {
  switch (outcome) {
    case SignalOutcome::Delivered:
      return "delivered";
    case SignalOutcome::Kept:
      return "kept";
    case SignalOutcome::Ignored:
      return "ignored";
  }
  return {};
}

std::optional<WorkflowStatus> workflow_status_from_name(std::string_view name) {
  for (WorkflowStatus status : {WorkflowStatus::Running, WorkflowStatus::Waiting, WorkflowStatus::Completed,
                                WorkflowStatus::Failed, WorkflowStatus::Cancelled}) {
    if (workflow_status_name(status) == name) return status;
  }
  return std::nullopt;
}

bool workflow_status_terminal(WorkflowStatus status) {
  return status == WorkflowStatus::Completed || status == WorkflowStatus::Failed || status == WorkflowStatus::Cancelled;
}

std::optional<WorkflowId> workflow_id_from_bytes(BytesView bytes) {
  if (bytes.size() != kWorkflowIdBytes) return std::nullopt;
  return id_at(bytes);
}

// ---- keys and codecs ----

Bytes workflow_key(const WorkflowId& id) {
  ComponentKey key(kWorkflowInstancePrefix);
  key.raw(workflow_id_view(id));
  return std::move(key).take();
}

Bytes workflow_history_prefix(const WorkflowId& id) {
  ComponentKey key(kWorkflowHistoryPrefix);
  key.raw(workflow_id_view(id));
  return std::move(key).take();
}

Bytes workflow_history_key(const WorkflowId& id, uint64_t sequence) {
  ComponentKey key(kWorkflowHistoryPrefix);
  key.raw(workflow_id_view(id)).number(sequence);
  return std::move(key).take();
}

Bytes workflow_kept_signals_prefix(const WorkflowId& id) {
  ComponentKey key(kWorkflowKeptSignalPrefix);
  key.raw(workflow_id_view(id));
  return std::move(key).take();
}

std::optional<Bytes> workflow_kept_signal_prefix(const WorkflowId& id, BytesView signal) {
  ComponentKey key(kWorkflowKeptSignalPrefix);
  key.raw(workflow_id_view(id)).component(signal);
  if (!key.ok()) return std::nullopt;
  return std::move(key).take();
}

std::expected<Bytes, WorkflowError> encode_kept_signal(const KeptSignal& kept) {
  if (!component_fits(kept.payload)) return std::unexpected(WorkflowError::of(Kind::FieldTooLarge));
  Bytes out;
  out.reserve(kKeptFixedBytes + kept.payload.size());
  ByteWriter w(out);
  w.u8(kFormatVersion);
  w.i64_le(kept.sent_at_ms);
  w.field_le(kept.payload);
  return out;
}

std::expected<KeptSignal, WorkflowError> decode_kept_signal(BytesView value) {
  const auto fixed = FixedPart<kKeptFixedBytes>::of(value);
  if (!fixed || fixed->u8<kKeptVersionOffset>() != kFormatVersion) return std::unexpected(corrupt());
  ByteReader r(value.substr(kKeptPayloadLengthOffset));
  auto payload = r.field_le();
  if (!payload || !r.at_end()) return std::unexpected(corrupt());
  return KeptSignal{fixed->i64_le<kKeptSentAtOffset>(), Bytes(*payload)};
}

std::optional<WorkflowRecordView> view_workflow_record(BytesView key, BytesView value) {
  if (key.size() != kWorkflowInstancePrefix.size() + kWorkflowIdBytes) return std::nullopt;
  auto view = view_instance(value);
  if (!view || key.substr(kWorkflowInstancePrefix.size()) != workflow_id_view(view->id)) return std::nullopt;
  return view;
}

std::expected<Bytes, WorkflowError> encode_workflow(const WorkflowInstance& instance) {
  const bool signal = waits_for_signal(instance.wait.kind);
  if (!component_fits(instance.workflow_type) || !component_fits(instance.current_step) ||
      !component_fits(instance.state) || (signal && !component_fits(instance.wait.signal))) {
    return std::unexpected(WorkflowError::of(Kind::FieldTooLarge));
  }
  Bytes out;
  out.reserve(kInstanceFixedBytes + kWorkflowIdBytes + kInstanceMinVariableBytes + 4 + 8 +
              instance.workflow_type.size() + instance.current_step.size() + instance.state.size() +
              (signal ? instance.wait.signal.size() : 0));
  ByteWriter w(out);
  w.u8(kFormatVersion);
  w.bytes(workflow_id_view(instance.id));
  w.u8(static_cast<uint8_t>(instance.status));
  w.i64_le(instance.created_at_ms);
  w.i64_le(instance.updated_at_ms);
  w.flag(instance.parent_id.has_value());
  OMBREL_ASSERT(out.size() == kInstanceFixedBytes);
  if (instance.parent_id) w.bytes(workflow_id_view(*instance.parent_id));
  w.field_le(instance.workflow_type);
  w.field_le(instance.current_step);
  w.field_le(instance.state);
  w.u8(static_cast<uint8_t>(instance.wait.kind));
  if (signal) w.field_le(instance.wait.signal);
  if (waits_for_time(instance.wait.kind)) w.i64_le(instance.wait.resume_at_ms);
  return out;
}

std::expected<WorkflowInstance, WorkflowError> decode_workflow(BytesView value) {
  auto view = view_instance(value);
  if (!view) return std::unexpected(corrupt());
  return materialize(*view);
}

std::expected<Bytes, WorkflowError> encode_workflow_history(const WorkflowHistoryEntry& entry) {
  if (!component_fits(entry.detail)) return std::unexpected(WorkflowError::of(Kind::FieldTooLarge));
  return encode_history_entry(entry.sequence, entry.at_ms, static_cast<uint8_t>(entry.kind), entry.detail);
}

std::expected<WorkflowHistoryEntry, WorkflowError> decode_workflow_history(BytesView value) {
  auto entry = decode_history_entry(value, static_cast<uint8_t>(WorkflowHistoryKind::TimedOut));
  if (!entry) return std::unexpected(corrupt());
  return WorkflowHistoryEntry{entry->sequence, entry->at_ms, static_cast<WorkflowHistoryKind>(entry->kind),
                              Bytes(entry->detail)};
}

// ---- engine-transaction operations ----

namespace {

// Stages a new running instance under `id` and its history entry 0.
std::expected<void, WorkflowError> stage_creation(engine::Transaction& tx, const WorkflowId& id,
                                                  BytesView workflow_type, BytesView initial_step,
                                                  BytesView initial_state, int64_t now_ms,
                                                  const std::optional<WorkflowId>& parent_id) {
  WorkflowInstance instance;
  instance.id = id;
  instance.workflow_type.assign(workflow_type);
  instance.current_step.assign(initial_step);
  instance.state.assign(initial_state);
  instance.parent_id = parent_id;
  instance.status = WorkflowStatus::Running;
  instance.created_at_ms = now_ms;
  instance.updated_at_ms = now_ms;
  auto record = encode_workflow(instance);
  if (!record) return std::unexpected(record.error());
  auto entry = encode_workflow_history(WorkflowHistoryEntry{0, now_ms, WorkflowHistoryKind::Created, {}});
  if (!entry) return std::unexpected(entry.error());
  if (auto put = engine_result(tx.put_internal(workflow_key(instance.id), *record)); !put) {
    return std::unexpected(put.error());
  }
  return engine_result(tx.put_internal(workflow_history_key(instance.id, 0), *entry));
}

std::expected<void, WorkflowError> check_creation(BytesView workflow_type, BytesView initial_step) {
  if (workflow_type.empty()) return std::unexpected(WorkflowError::of(Kind::EmptyType));
  if (initial_step.empty()) return std::unexpected(WorkflowError::of(Kind::EmptyStep));
  return {};
}

// The oldest signal of this name kept for the instance, consumed: its
// record is deleted and its payload returned; nullopt when none is kept.
std::expected<std::optional<Bytes>, WorkflowError> consume_kept_signal(engine::Transaction& tx, const WorkflowId& id,
                                                                       BytesView signal) {
  auto prefix = workflow_kept_signal_prefix(id, signal);
  if (!prefix) return std::unexpected(WorkflowError::of(Kind::FieldTooLarge));
  const std::vector<engine::KeyValue> kept = tx.scan_prefix_internal(*prefix);
  if (kept.empty()) return std::optional<Bytes>{};
  auto oldest = decode_kept_signal(kept.front().second);
  if (!oldest) return std::unexpected(oldest.error());
  if (auto deleted = engine_result(tx.delete_internal(kept.front().first)); !deleted) {
    return std::unexpected(deleted.error());
  }
  return std::optional<Bytes>(std::move(oldest->payload));
}

// Parks a live instance on `wait`, unless a kept signal of its name is
// waiting already: then that one is consumed and the instance runs on with
// its payload as state.
std::expected<void, WorkflowError> park_on_signal(engine::Transaction& tx, const WorkflowId& id, WorkflowWait wait,
                                                  WorkflowHistoryKind parked_kind, BytesView parked_detail,
                                                  int64_t now_ms) {
  auto instance = load_live(tx, id);
  if (!instance) return std::unexpected(instance.error());
  auto kept = consume_kept_signal(tx, id, wait.signal);
  if (!kept) return std::unexpected(kept.error());
  if (*kept) {
    instance->status = WorkflowStatus::Running;
    instance->wait = WorkflowWait{};
    instance->state = std::move(**kept);
    return stage_change(tx, *instance, now_ms, WorkflowHistoryKind::SignalConsumed, wait.signal);
  }
  instance->status = WorkflowStatus::Waiting;
  instance->wait = std::move(wait);
  return stage_change(tx, *instance, now_ms, parked_kind, parked_detail);
}

}  // namespace

std::expected<WorkflowId, WorkflowError> create_workflow(engine::Transaction& tx, BytesView workflow_type,
                                                         BytesView initial_step, BytesView initial_state,
                                                         int64_t now_ms, const std::optional<WorkflowId>& parent_id) {
  if (auto checked = check_creation(workflow_type, initial_step); !checked) return std::unexpected(checked.error());
  WorkflowId id{};
  if (!fill_random(id)) return std::unexpected(WorkflowError::of(Kind::NoEntropy));
  auto staged = stage_creation(tx, id, workflow_type, initial_step, initial_state, now_ms, parent_id);
  if (!staged) return std::unexpected(staged.error());
  return id;
}

std::expected<void, WorkflowError> create_workflow_with_id(engine::Transaction& tx, const WorkflowId& id,
                                                           BytesView workflow_type, BytesView initial_step,
                                                           BytesView initial_state, int64_t now_ms,
                                                           const std::optional<WorkflowId>& parent_id) {
  if (auto checked = check_creation(workflow_type, initial_step); !checked) return checked;
  // History left without its instance (a damaged file, a key removed by
  // hand) would become the new instance's: refuse any trace of the id.
  if (tx.get_internal(workflow_key(id)) || tx.last_key_internal(workflow_history_prefix(id))) {
    return std::unexpected(WorkflowError::of(Kind::AlreadyExists));
  }
  return stage_creation(tx, id, workflow_type, initial_step, initial_state, now_ms, parent_id);
}

std::expected<void, WorkflowError> set_workflow_step(engine::Transaction& tx, const WorkflowId& id, BytesView step,
                                                     BytesView state, int64_t now_ms) {
  if (step.empty()) return std::unexpected(WorkflowError::of(Kind::EmptyStep));
  auto instance = load_live(tx, id);
  if (!instance) return std::unexpected(instance.error());
  instance->status = WorkflowStatus::Running;
  instance->current_step.assign(step);
  instance->state.assign(state);
  instance->wait = WorkflowWait{};
  return stage_change(tx, *instance, now_ms, WorkflowHistoryKind::StepChanged, step);
}

std::expected<void, WorkflowError> wait_for_signal(engine::Transaction& tx, const WorkflowId& id, BytesView signal,
                                                   int64_t now_ms) {
  if (signal.empty()) return std::unexpected(WorkflowError::of(Kind::EmptySignalName));
  return park_on_signal(tx, id, WorkflowWait{WorkflowWaitKind::Signal, Bytes(signal), 0},
                        WorkflowHistoryKind::WaitingSignal, signal, now_ms);
}

std::expected<void, WorkflowError> wait_for_signal_until(engine::Transaction& tx, const WorkflowId& id,
                                                         BytesView signal, int64_t timeout_at_ms, int64_t now_ms) {
  if (signal.empty()) return std::unexpected(WorkflowError::of(Kind::EmptySignalName));
  Bytes detail;
  ByteWriter(detail).i64_le(timeout_at_ms);
  detail.append(signal);
  return park_on_signal(tx, id, WorkflowWait{WorkflowWaitKind::SignalUntil, Bytes(signal), timeout_at_ms},
                        WorkflowHistoryKind::WaitingSignalUntil, detail, now_ms);
}

std::expected<void, WorkflowError> wait_until(engine::Transaction& tx, const WorkflowId& id, int64_t resume_at_ms,
                                              int64_t now_ms) {
  auto instance = load_live(tx, id);
  if (!instance) return std::unexpected(instance.error());
  instance->status = WorkflowStatus::Waiting;
  instance->wait = WorkflowWait{WorkflowWaitKind::Timer, {}, resume_at_ms};
  Bytes detail;
  ByteWriter(detail).i64_le(resume_at_ms);
  return stage_change(tx, *instance, now_ms, WorkflowHistoryKind::WaitingTimer, detail);
}

std::expected<bool, WorkflowError> signal_workflow(engine::Transaction& tx, const WorkflowId& id, BytesView signal,
                                                   BytesView payload, int64_t now_ms) {
  if (signal.empty()) return std::unexpected(WorkflowError::of(Kind::EmptySignalName));
  auto loaded = load(tx, id);
  if (!loaded) return std::unexpected(loaded.error());
  if (!*loaded) return std::unexpected(WorkflowError::of(Kind::NotFound));
  WorkflowInstance& instance = **loaded;
  // signal_workflow keeps nothing: one that nobody waits for is dropped.
  if (instance.status != WorkflowStatus::Waiting || !instance.wait.for_signal(signal)) return false;
  instance.status = WorkflowStatus::Running;
  instance.wait = WorkflowWait{};
  instance.state.assign(payload);
  auto staged = stage_change(tx, instance, now_ms, WorkflowHistoryKind::SignalReceived, signal);
  if (!staged) return std::unexpected(staged.error());
  return true;
}

std::expected<SignalOutcome, WorkflowError> send_workflow_signal(engine::Transaction& tx, const WorkflowId& id,
                                                                 BytesView signal, BytesView payload, int64_t now_ms) {
  if (signal.empty()) return std::unexpected(WorkflowError::of(Kind::EmptySignalName));
  auto loaded = load(tx, id);
  if (!loaded) return std::unexpected(loaded.error());
  if (!*loaded) return std::unexpected(WorkflowError::of(Kind::NotFound));
  WorkflowInstance& instance = **loaded;
  if (workflow_status_terminal(instance.status)) return SignalOutcome::Ignored;
  if (instance.status == WorkflowStatus::Waiting && instance.wait.for_signal(signal)) {
    auto delivered = signal_workflow(tx, id, signal, payload, now_ms);
    if (!delivered) return std::unexpected(delivered.error());
    return SignalOutcome::Delivered;
  }
  auto prefix = workflow_kept_signal_prefix(id, signal);
  if (!prefix) return std::unexpected(WorkflowError::of(Kind::FieldTooLarge));
  auto sequence = sequence_after(tx.last_key_internal(*prefix), *prefix);
  if (!sequence) {
    return std::unexpected(
        sequence.error() == SequenceFault::Exhausted ? WorkflowError::of(Kind::HistorySequenceExhausted) : corrupt());
  }
  auto kept = encode_kept_signal(KeptSignal{now_ms, Bytes(payload)});
  if (!kept) return std::unexpected(kept.error());
  ComponentKey key(*prefix);
  key.number(*sequence);
  // The history entry (and the instance's updated_at_ms) first: a failure
  // there leaves nothing kept.
  auto staged = stage_change(tx, instance, now_ms, WorkflowHistoryKind::SignalKept, signal);
  if (!staged) return std::unexpected(staged.error());
  if (auto put = engine_result(tx.put_internal(key.bytes(), *kept)); !put) return std::unexpected(put.error());
  return SignalOutcome::Kept;
}

std::expected<void, WorkflowError> finish_workflow(engine::Transaction& tx, const WorkflowId& id,
                                                   WorkflowStatus outcome, BytesView final_state_or_error,
                                                   int64_t now_ms) {
  const bool failed = outcome == WorkflowStatus::Failed;
  auto instance = load_live(tx, id);
  if (!instance) return std::unexpected(instance.error());
  instance->status = failed ? WorkflowStatus::Failed : WorkflowStatus::Completed;
  instance->wait = WorkflowWait{};
  instance->state.assign(final_state_or_error);
  return stage_change(tx, *instance, now_ms, failed ? WorkflowHistoryKind::Failed : WorkflowHistoryKind::Completed,
                      final_state_or_error);
}

std::expected<bool, WorkflowError> cancel_workflow(engine::Transaction& tx, const WorkflowId& id, BytesView reason,
                                                   int64_t now_ms) {
  auto loaded = load(tx, id);
  if (!loaded) return std::unexpected(loaded.error());
  if (!*loaded || workflow_status_terminal((*loaded)->status)) return false;
  WorkflowInstance& instance = **loaded;
  instance.status = WorkflowStatus::Cancelled;
  instance.wait = WorkflowWait{};
  auto staged = stage_change(tx, instance, now_ms, WorkflowHistoryKind::Cancelled, reason);
  if (!staged) return std::unexpected(staged.error());
  return true;
}

// ---- store operations ----

std::expected<WorkflowId, WorkflowError> create_workflow(engine::Store& store, BytesView workflow_type,
                                                         BytesView initial_step, BytesView initial_state,
                                                         int64_t now_ms, const std::optional<WorkflowId>& parent_id) {
  return records::in_own_transaction(store, [&](engine::Transaction& tx) {
    return create_workflow(tx, workflow_type, initial_step, initial_state, now_ms, parent_id);
  });
}

std::expected<void, WorkflowError> create_workflow_with_id(engine::Store& store, const WorkflowId& id,
                                                           BytesView workflow_type, BytesView initial_step,
                                                           BytesView initial_state, int64_t now_ms,
                                                           const std::optional<WorkflowId>& parent_id) {
  return records::in_own_transaction(store, [&](engine::Transaction& tx) {
    return create_workflow_with_id(tx, id, workflow_type, initial_step, initial_state, now_ms, parent_id);
  });
}

std::expected<SignalOutcome, WorkflowError> send_workflow_signal(engine::Store& store, const WorkflowId& id,
                                                                 BytesView signal, BytesView payload, int64_t now_ms) {
  if (signal.empty()) return std::unexpected(WorkflowError::of(Kind::EmptySignalName));
  return records::in_own_transaction(
      store, [&](engine::Transaction& tx) { return send_workflow_signal(tx, id, signal, payload, now_ms); },
      records::EmptyTransaction::Drop);
}

std::expected<void, WorkflowError> wait_for_signal_until(engine::Store& store, const WorkflowId& id, BytesView signal,
                                                         int64_t timeout_at_ms, int64_t now_ms) {
  return records::in_own_transaction(
      store, [&](engine::Transaction& tx) { return wait_for_signal_until(tx, id, signal, timeout_at_ms, now_ms); });
}

std::expected<void, WorkflowError> set_workflow_step(engine::Store& store, const WorkflowId& id, BytesView step,
                                                     BytesView state, int64_t now_ms) {
  return records::in_own_transaction(
      store, [&](engine::Transaction& tx) { return set_workflow_step(tx, id, step, state, now_ms); });
}

std::expected<void, WorkflowError> wait_for_signal(engine::Store& store, const WorkflowId& id, BytesView signal,
                                                   int64_t now_ms) {
  return records::in_own_transaction(store,
                                     [&](engine::Transaction& tx) { return wait_for_signal(tx, id, signal, now_ms); });
}

std::expected<void, WorkflowError> wait_until(engine::Store& store, const WorkflowId& id, int64_t resume_at_ms,
                                              int64_t now_ms) {
  return records::in_own_transaction(store,
                                     [&](engine::Transaction& tx) { return wait_until(tx, id, resume_at_ms, now_ms); });
}

std::expected<bool, WorkflowError> signal_workflow(engine::Store& store, const WorkflowId& id, BytesView signal,
                                                   BytesView payload, int64_t now_ms) {
  if (signal.empty()) return std::unexpected(WorkflowError::of(Kind::EmptySignalName));
  return records::in_own_transaction(
      store, [&](engine::Transaction& tx) { return signal_workflow(tx, id, signal, payload, now_ms); },
      records::EmptyTransaction::Drop);
}

std::expected<void, WorkflowError> finish_workflow(engine::Store& store, const WorkflowId& id, WorkflowStatus outcome,
                                                   BytesView final_state_or_error, int64_t now_ms) {
  return records::in_own_transaction(
      store, [&](engine::Transaction& tx) { return finish_workflow(tx, id, outcome, final_state_or_error, now_ms); });
}

std::expected<bool, WorkflowError> cancel_workflow(engine::Store& store, const WorkflowId& id, BytesView reason,
                                                   int64_t now_ms) {
  return records::in_own_transaction(
      store, [&](engine::Transaction& tx) { return cancel_workflow(tx, id, reason, now_ms); },
      records::EmptyTransaction::Drop);
}

// ---- reads ----

std::expected<std::optional<WorkflowInstance>, WorkflowError> get_workflow(const engine::Store& store,
                                                                           const WorkflowId& id) {
  const Bytes key = workflow_key(id);
  const auto value = store.find(key);
  if (!value) return std::optional<WorkflowInstance>{};
  auto view = view_workflow_record(key, *value);
  if (!view) return std::unexpected(corrupt());
  return std::optional<WorkflowInstance>(materialize(*view));
}

std::expected<std::vector<WorkflowHistoryEntry>, WorkflowError> workflow_history(const engine::Store& store,
                                                                                 const WorkflowId& id) {
  std::vector<WorkflowHistoryEntry> entries;
  for (const auto& [key, value] : store.prefix_range(workflow_history_prefix(id))) {
    auto entry = decode_workflow_history(value);
    if (!entry) return std::unexpected(entry.error());
    entries.push_back(std::move(*entry));
  }
  // Key order is sequence order for every entry this layer wrote; sorting by
  // the stored sequence keeps the promise even for one that was not.
  std::stable_sort(entries.begin(), entries.end(), [](const WorkflowHistoryEntry& a, const WorkflowHistoryEntry& b) {
    return a.sequence < b.sequence;
  });
  return entries;
}

namespace {

// The instance under `key` as every read sees it; nullopt when it is gone.
std::expected<std::optional<WorkflowRecordView>, WorkflowError> read_view(const engine::Store& store, BytesView key) {
  const auto value = store.find(key);
  if (!value) return std::optional<WorkflowRecordView>{};
  auto view = view_workflow_record(key, *value);
  if (!view) return std::unexpected(corrupt());
  return view;
}

}  // namespace

std::expected<std::vector<WorkflowInstance>, WorkflowError> workflow_children(const engine::Store& store,
                                                                              const WorkflowId& parent_id) {
  const WorkflowIndex& index = store.derived_index<WorkflowIndex>();
  // Any damaged instance fails the call, as reading every record did.
  if (!index.unindexed().empty()) return std::unexpected(corrupt());
  std::vector<WorkflowInstance> children;
  for (const WorkflowId& id : children_of(index, parent_id)) {
    auto view = read_view(store, workflow_key(id));
    if (!view) return std::unexpected(view.error());
    if (*view && (*view)->parent_id == parent_id) children.push_back(materialize(**view));
  }
  // Stable: children created in the same millisecond stay in id order.
  std::stable_sort(children.begin(), children.end(), [](const WorkflowInstance& a, const WorkflowInstance& b) {
    return a.created_at_ms < b.created_at_ms;
  });
  return children;
}

std::expected<std::vector<WorkflowInstance>, WorkflowError> list_workflows(const engine::Store& store,
                                                                           const WorkflowListing& listing) {
  const WorkflowIndex& index = store.derived_index<WorkflowIndex>();
  // Any damaged instance fails the call, as reading every record would.
  if (!index.unindexed().empty()) return std::unexpected(corrupt());
  std::vector<WorkflowInstance> found;
  std::optional<WorkflowId> after = listing.after_id;
  // Candidates come a page at a time; a type's hash may be shared, and a
  // record confirms both the type and the status.
  const size_t page = static_cast<size_t>(std::clamp<uint64_t>(listing.limit, 1, 1024));
  while (found.size() < listing.limit) {
    const std::vector<WorkflowId> candidates = listing.workflow_type
                                                   ? of_type_candidates(index, *listing.workflow_type, after, page)
                                                   : ids_in_order(index, listing.status, after, page);
    for (const WorkflowId& id : candidates) {
      if (found.size() == listing.limit) break;
      auto view = read_view(store, workflow_key(id));
      if (!view) return std::unexpected(view.error());
      if (!*view) continue;
      if (listing.workflow_type && (*view)->workflow_type != *listing.workflow_type) continue;
      if (listing.status && (*view)->status != *listing.status) continue;
      found.push_back(materialize(**view));
    }
    if (candidates.size() < page) break;
    after = candidates.back();
  }
  return found;
}

std::expected<WorkflowResumeReport, WorkflowError> resume_due_workflows(engine::Store& store, int64_t now_ms,
                                                                        uint64_t limit) {
  const WorkflowIndex& index = store.derived_index<WorkflowIndex>();
  WorkflowResumeReport report{index.record_count(), 0, {}};
  // Collect first: each resume commits, and a commit changes the index.
  std::vector<WorkflowInstance> due;
  for (const std::string& key : due_timer_candidates(index, now_ms, limit)) {
    if (due.size() == limit) break;
    auto view = read_view(store, key);
    if (!view) return std::unexpected(view.error());
    if (*view && (*view)->timer_due(now_ms)) due.push_back(materialize(**view));
  }
  for (WorkflowInstance& instance : due) {
    const bool timed_out = instance.wait.kind == WorkflowWaitKind::SignalUntil;
    const Bytes signal = std::move(instance.wait.signal);
    auto resumed = records::in_own_transaction(store, [&](engine::Transaction& tx) {
      instance.status = WorkflowStatus::Running;
      instance.wait = WorkflowWait{};
      return timed_out ? stage_change(tx, instance, now_ms, WorkflowHistoryKind::TimedOut, signal)
                       : stage_change(tx, instance, now_ms, WorkflowHistoryKind::TimerFired, {});
    });
    if (!resumed) return std::unexpected(resumed.error());
    ++report.resumed;
    report.woken.push_back(WorkflowWake{instance.id, timed_out});
  }
  return report;
}

std::expected<uint64_t, WorkflowError> purge_finished_workflows(engine::Store& store, int64_t finished_before_ms,
                                                                uint64_t limit) {
  const WorkflowIndex& index = store.derived_index<WorkflowIndex>();
  // Every key first: the transaction below changes the index and the table.
  std::vector<Bytes> keys;
  uint64_t removed = 0;
  for (const WorkflowId& id : finished_before(index, finished_before_ms, limit)) {
    Bytes key = workflow_key(id);
    auto view = read_view(store, key);
    if (!view) return std::unexpected(view.error());
    if (!*view || !workflow_status_terminal((*view)->status) || (*view)->updated_at_ms >= finished_before_ms) continue;
    keys.push_back(std::move(key));
    for (const auto& [history_key, value] : store.prefix_range(workflow_history_prefix(id)))
      keys.emplace_back(history_key);
    for (const auto& [kept_key, value] : store.prefix_range(workflow_kept_signals_prefix(id)))
      keys.emplace_back(kept_key);
    ++removed;
  }
  return records::in_own_transaction(
      store,
      [&](engine::Transaction& tx) -> std::expected<uint64_t, WorkflowError> {
        for (const Bytes& key : keys) {
          if (auto deleted = engine_result(tx.delete_internal(key)); !deleted) return std::unexpected(deleted.error());
        }
        return removed;
      },
      records::EmptyTransaction::Drop);
}

}  // namespace ombrel::jobs
