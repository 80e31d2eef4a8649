#include "jobs/triggers.h"

#include <algorithm>
#include <array>
#include <limits>

#include "records/own_transaction.h"
#include "util/component_key.h"
#include "util/entropy.h"

namespace ombrel::jobs {
namespace {

constexpr uint8_t kFormatVersion = 1;
constexpr std::array<std::string_view, 4> kSourceNames{"manual", "collection", "stream", "topic"};

TriggerError corrupt() { return TriggerError::of(TriggerError::Kind::Corrupt); }

bool source_fields_fit(const TriggerSource& source) {
  return (!source.has_source_name() || component_fits(source.source_name)) &&
         (!source.has_operation() || component_fits(source.operation));
}

// The source fields after the code byte; false on an overrun.
bool decode_source_fields(ByteReader& reader, TriggerSource& source) {
  if (source.has_source_name()) {
    auto name = reader.field_le();
    if (!name) return false;
    source.source_name.assign(*name);
  }
  if (source.has_operation()) {
    auto operation = reader.field_le();
    if (!operation) return false;
    source.operation.assign(*operation);
  }
  return true;
}

std::expected<void, TriggerError> write_trigger(engine::Transaction& tx, const DurableTrigger& trigger) {
  auto record = encode_trigger(trigger);
  if (!record) return std::unexpected(record.error());
  if (auto put = tx.put_internal(trigger_key(trigger.id), *record); !put) {
    return std::unexpected(TriggerError::engine(put.error()));
  }
  return {};
}

// One write of the trigger record, committed at once.
std::expected<void, TriggerError> store_trigger(engine::Store& store, const DurableTrigger& trigger) {
  return records::in_own_transaction(store, [&](engine::Transaction& tx) { return write_trigger(tx, trigger); });
}

}  // namespace

std::string_view trigger_source_name(TriggerSourceKind kind) { return kSourceNames[static_cast<size_t>(kind)]; }

std::optional<TriggerSourceKind> trigger_source_from_name(std::string_view name) {
  for (size_t code = 0; code < kSourceNames.size(); ++code) {
    if (kSourceNames[code] == name) return static_cast<TriggerSourceKind>(code);
  }
  return std::nullopt;
}

bool TriggerSource::is_valid() const {
  return (!has_source_name() || !source_name.empty()) && (!has_operation() || !operation.empty());
}

Bytes trigger_key(const TriggerId& id) {
  ComponentKey key(kTriggerDataPrefix);
  key.raw(id_view(id));
  return std::move(key).take();
}

std::expected<Bytes, TriggerError> encode_trigger(const DurableTrigger& trigger) {
  if (!component_fits(trigger.name) || !source_fields_fit(trigger.source) || !job_spec_fields_fit(trigger.job)) {
    return std::unexpected(corrupt());
  }
  Bytes out;
  ByteWriter w(out);
  w.u8(kFormatVersion);
  w.bytes(id_view(trigger.id));
  w.field_le(trigger.name);
  w.u8(static_cast<uint8_t>(trigger.source.kind));
  if (trigger.source.has_source_name()) w.field_le(trigger.source.source_name);
  if (trigger.source.has_operation()) w.field_le(trigger.source.operation);
  encode_job_template(w, trigger.job);
  w.flag(trigger.enabled);
  w.u64_le(trigger.fire_count);
  w.optional_i64_le(trigger.last_fired_at_ms);
  return out;
}

std::expected<DurableTrigger, TriggerError> decode_trigger(BytesView value, const TriggerId& key_id) {
  ByteReader r(value);
  auto version = r.u8();
  if (!version || *version != kFormatVersion) return std::unexpected(corrupt());
  auto id = r.bytes(kIdBytes);
  if (!id || *id != id_view(key_id)) return std::unexpected(corrupt());
  auto name = r.field_le();
  auto code = name ? r.u8() : std::nullopt;
  if (!code || *code >= kSourceNames.size()) return std::unexpected(corrupt());
  DurableTrigger trigger;
  trigger.source.kind = static_cast<TriggerSourceKind>(*code);
  if (!decode_source_fields(r, trigger.source) || !trigger.source.is_valid()) return std::unexpected(corrupt());
  auto spec = decode_job_template(r);
  if (!spec) return std::unexpected(corrupt());
  auto enabled = r.flag();
  auto fire_count = enabled ? r.u64_le() : std::nullopt;
  auto last_fired = fire_count ? r.optional_i64_le() : std::nullopt;
  if (!last_fired || !r.at_end()) return std::unexpected(corrupt());
  trigger.id = key_id;
  trigger.name.assign(*name);
  trigger.job = std::move(*spec);
  trigger.enabled = *enabled;
  trigger.fire_count = *fire_count;
  trigger.last_fired_at_ms = *last_fired;
  return trigger;
}

std::expected<TriggerId, TriggerError> create_trigger(engine::Store& store, BytesView name, const TriggerSource& source,
                                                      const JobSpec& spec) {
  if (name.empty()) return std::unexpected(TriggerError::of(TriggerError::Kind::EmptyName));
  if (!source.is_valid() || check_job_spec(spec)) return std::unexpected(corrupt());
  DurableTrigger trigger;
  if (!fill_random(trigger.id)) return std::unexpected(TriggerError::of(TriggerError::Kind::NoEntropy));
  trigger.name.assign(name);
  trigger.source.kind = source.kind;
  if (source.has_source_name()) trigger.source.source_name = source.source_name;
  if (source.has_operation()) trigger.source.operation = source.operation;
  trigger.job = spec;
  if (auto stored = store_trigger(store, trigger); !stored) return std::unexpected(stored.error());
  return trigger.id;
}

std::expected<std::optional<DurableTrigger>, TriggerError> get_trigger(const engine::Store& store,
                                                                       const TriggerId& id) {
  const auto value = store.find(trigger_key(id));
  if (!value) return std::optional<DurableTrigger>{};
  auto trigger = decode_trigger(*value, id);
  if (!trigger) return std::unexpected(trigger.error());
  return std::optional<DurableTrigger>(std::move(*trigger));
}

std::expected<std::vector<DurableTrigger>, TriggerError> list_triggers(const engine::Store& store) {
  std::vector<DurableTrigger> triggers;
  for (const auto& [key, value] : store.prefix_range(kTriggerDataPrefix)) {
    auto key_id = id_from_bytes(BytesView(key).substr(kTriggerDataPrefix.size()));
    if (!key_id) return std::unexpected(corrupt());
    auto trigger = decode_trigger(value, *key_id);
    if (!trigger) return std::unexpected(trigger.error());
    triggers.push_back(std::move(*trigger));
  }
  std::sort(triggers.begin(), triggers.end(), [](const DurableTrigger& a, const DurableTrigger& b) {
    if (a.name != b.name) return a.name < b.name;
    return a.id < b.id;
  });
  return triggers;
}

std::expected<bool, TriggerError> set_trigger_enabled(engine::Store& store, const TriggerId& id, bool enabled) {
  auto trigger = get_trigger(store, id);
  if (!trigger) return std::unexpected(trigger.error());
  if (!*trigger) return false;
  (*trigger)->enabled = enabled;
  if (auto stored = store_trigger(store, **trigger); !stored) return std::unexpected(stored.error());
  return true;
}

std::expected<std::optional<JobId>, TriggerError> fire_trigger(engine::Store& store, const TriggerId& id,
                                                               BytesView event_payload, int64_t now_ms) {
  // Dropping `tx` on any early return is its rollback: nothing of the firing
  // becomes visible unless the commit at the end succeeds.
  auto tx = store.begin();
  if (!tx) return std::unexpected(TriggerError::engine(tx.error()));
  auto value = tx->get_internal(trigger_key(id));
  if (!value) return std::unexpected(TriggerError::of(TriggerError::Kind::NotFound));
  auto trigger = decode_trigger(*value, id);
  if (!trigger) return std::unexpected(trigger.error());
  if (!trigger->enabled) return std::optional<JobId>{};

  JobSpec spec = trigger->job;
  if (!event_payload.empty()) spec.payload.assign(event_payload);
  if (check_job_spec(spec)) return std::unexpected(corrupt());
  // A firing that cannot be counted is refused before its job is staged, so
  // that not even uncommitted records reach the log.
  if (trigger->fire_count == std::numeric_limits<uint64_t>::max()) {
    return std::unexpected(TriggerError::of(TriggerError::Kind::FireCountOverflow));
  }
  auto job_id = enqueue_job_transactional(*tx, spec, now_ms);
  if (!job_id) return std::unexpected(TriggerError::of(TriggerError::Kind::Transactional, job_id.error()));

  trigger->fire_count += 1;
  trigger->last_fired_at_ms = now_ms;
  if (auto written = write_trigger(*tx, *trigger); !written) return std::unexpected(written.error());
  if (auto committed = tx->commit(); !committed) return std::unexpected(TriggerError::engine(committed.error()));
  return std::optional<JobId>(*job_id);
}

}  // namespace ombrel::jobs
