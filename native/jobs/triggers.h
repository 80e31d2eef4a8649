// Triggers: named, durable rules that submit a job from their template when
// the application reports that their event happened. The store does not watch
// collections, streams or topics; the source is stored, validated and shown.
//
// Contract: create_trigger and set_trigger_enabled are single writes that
// commit by themselves. fire_trigger is one engine transaction: read the
// trigger, enqueue its job exactly as a Transaction's enqueue_job does (the
// "submitted" entry says "transactional"; an active job under the template's
// idempotency key is taken instead of a new one), count the firing, rewrite
// the trigger, commit. Any failure writes nothing. The job payload is the
// event payload, or the template payload when the event payload is empty.
// list_triggers orders by name bytes, then id bytes. Triggers are never
// deleted; names need not be unique.
//
//   state       event         next
//   (none)      create        enabled, fire_count 0, never fired
//   enabled     fire          enabled, fire_count + 1, last_fired_at_ms = now; one job (or the active one)
//   disabled    fire          unchanged; no job, result none
//   any         set enabled   flag as asked, nothing else
//
// Key: 0xFF "omb:trigger:data:" | id (16)                       34 bytes
//
// Record value (little-endian, no gaps):
//   width         field
//   1             format version, 1
//   16            id (must be the id of the record's key)
//   4 + N         name length, name
//   1             source code: 0 manual, 1 collection, 2 stream, 3 topic
//   4 + S, 4 + O  collection only: source_name, then operation (both non-empty)
//   4 + S         stream and topic only: source_name (non-empty)
//   ...           job template (job_spec.h layout)
//   1             enabled (0 or 1)
//   8             fire_count
//   1 (+8)        1 then last_fired_at_ms (signed), or 0 when never fired
// Anything else (another version, a code above 3, a bad flag, an overrun, a
// leftover byte, a source breaking its rule, another key's id) is
// "trigger record is corrupt"; so is a field too long for its 32-bit length.
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
#include "jobs/job_spec.h"
#include "jobs/jobs.h"
#include "jobs/transactional.h"
#include "util/byte_codec.h"

namespace ombrel::jobs {

inline constexpr engine::KeyArea kTriggerArea{"triggers", {"\xFFomb:trigger:", 13}};
inline constexpr std::string_view kTriggerDataPrefix{"\xFFomb:trigger:data:", 18};
static_assert(kTriggerArea.holds(kTriggerDataPrefix));

struct TriggerErrorTexts {
  enum class Kind : uint8_t { Engine, Job, Transactional, NotFound, EmptyName, Corrupt, FireCountOverflow, NoEntropy };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::Job, "job error: {}"},
      {Kind::Transactional, "transactional job error: {}"},
      {Kind::NotFound, "trigger not found"},
      {Kind::EmptyName, "trigger name cannot be empty"},
      {Kind::Corrupt, "trigger record is corrupt"},
      {Kind::FireCountOverflow, "trigger fire count overflow"},
      {Kind::NoEntropy, "OS entropy unavailable"},
  });
};
using TriggerError = engine::DomainError<TriggerErrorTexts>;

enum class TriggerSourceKind : uint8_t { Manual = 0, Collection = 1, Stream = 2, Topic = 3 };

// "manual", "collection", "stream" or "topic".
std::string_view trigger_source_name(TriggerSourceKind kind);
// The kind of one of those exact (case-sensitive) names.
std::optional<TriggerSourceKind> trigger_source_from_name(std::string_view name);

// Where a trigger's event comes from. source_name is used by collection,
// stream and topic sources, operation by collection sources only; a field a
// kind does not use is empty.
struct TriggerSource {
  TriggerSourceKind kind = TriggerSourceKind::Manual;
  Bytes source_name;
  Bytes operation;

  bool has_source_name() const { return kind != TriggerSourceKind::Manual; }
  bool has_operation() const { return kind == TriggerSourceKind::Collection; }
  // Every field the kind uses is non-empty.
  bool is_valid() const;
};

using TriggerId = JobId;

struct DurableTrigger {
  TriggerId id{};
  Bytes name;
  TriggerSource source;
  JobSpec job;
  bool enabled = true;
  uint64_t fire_count = 0;
  std::optional<int64_t> last_fired_at_ms;
};

Bytes trigger_key(const TriggerId& id);
std::expected<Bytes, TriggerError> encode_trigger(const DurableTrigger& trigger);
// Accepts the record only as the one stored under `key_id`'s key.
std::expected<DurableTrigger, TriggerError> decode_trigger(BytesView value, const TriggerId& key_id);

// Fails with EmptyName for an empty name, then Corrupt for a source that
// breaks its rule or a template with an empty handler or no attempts. Fields
// a source kind does not use are dropped.
std::expected<TriggerId, TriggerError> create_trigger(engine::Store& store, BytesView name, const TriggerSource& source,
                                                      const JobSpec& spec);
std::expected<std::optional<DurableTrigger>, TriggerError> get_trigger(const engine::Store& store, const TriggerId& id);
std::expected<std::vector<DurableTrigger>, TriggerError> list_triggers(const engine::Store& store);
// False when there is no such trigger.
std::expected<bool, TriggerError> set_trigger_enabled(engine::Store& store, const TriggerId& id, bool enabled);
// The job's id (an existing one under the template's idempotency key), or
// none for a disabled trigger.
std::expected<std::optional<JobId>, TriggerError> fire_trigger(engine::Store& store, const TriggerId& id,
                                                               BytesView event_payload, int64_t now_ms);

}  // namespace ombrel::jobs
