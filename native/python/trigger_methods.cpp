// Trigger methods of Store: create, get, list, enable and fire triggers.
//
// Contract: a trigger is returned as a dict with the keys, in this order,
// "id", "name", "source" ("manual", "collection", "stream" or "topic"),
// "source_name" and "operation" (bytes, or None where the source has none),
// "job" (the template dict), "enabled", "fire_count", "last_fired_at_ms"
// (None before the first firing). create_trigger checks its source arguments
// before the store is touched:
//   source        requires                          otherwise
//   "manual"      nothing (source_name, operation ignored)
//   "collection"  source_name, then operation       "collection trigger requires source_name" / "... operation"
//   "stream"      source_name (operation ignored)   "stream trigger requires source_name"
//   "topic"       source_name (operation ignored)   "topic trigger requires source_name"
//   other         -                                 "trigger source must be one of: manual, collection, stream, topic"
// An empty byte string counts as given; the store refuses it as a corrupt
// definition. Ids must be 16 bytes ("trigger id must be exactly 16 bytes").
// Every TriggerError is raised as OmbrelStoreError with its display text.
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/store.h"
#include "jobs/triggers.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/job_spec_convert.h"
#include "python/method_registry.h"
#include "python/store_slot.h"

namespace ombrel::python {
namespace {

constexpr char kTriggerIdMessage[] = "trigger id must be exactly 16 bytes";
using TriggerIdArg = arg::FixedLengthId<&jobs::id_from_bytes, kTriggerIdMessage>;

PyObject* map_error(const ModuleState& state, const jobs::TriggerError& error) {
  return raise_domain_error(state, error.message());
}

PyObject* trigger_dict(const jobs::DurableTrigger& trigger) {
  const jobs::TriggerSource& source = trigger.source;
  DictBuilder dict;
  dict.set("id", bytes_result(jobs::id_view(trigger.id)));
  dict.set("name", bytes_result(trigger.name));
  dict.set("source", text_result(jobs::trigger_source_name(source.kind)));
  dict.set("source_name", source.has_source_name() ? bytes_result(source.source_name) : none_result());
  dict.set("operation", source.has_operation() ? bytes_result(source.operation) : none_result());
  dict.set("job", job_template_dict(trigger.job));
  dict.set("enabled", bool_result(trigger.enabled));
  dict.set("fire_count", int_result(trigger.fire_count));
  dict.set("last_fired_at_ms", optional_int_result(trigger.last_fired_at_ms));
  return dict.finish();
}

// The source from the `source`, `source_name` and `operation` arguments, or
// the message refusing them.
std::expected<jobs::TriggerSource, std::string_view> source_from(std::string_view kind_name,
                                                                 std::optional<std::string> source_name,
                                                                 std::optional<std::string> operation) {
  auto kind = jobs::trigger_source_from_name(kind_name);
  if (!kind) return std::unexpected("trigger source must be one of: manual, collection, stream, topic");
  jobs::TriggerSource source{*kind, {}, {}};
  switch (*kind) {
    case jobs::TriggerSourceKind::Manual:
      return source;
    case jobs::TriggerSourceKind::Collection:
      if (!source_name) return std::unexpected("collection trigger requires source_name");
      if (!operation) return std::unexpected("collection trigger requires operation");
      break;
    case jobs::TriggerSourceKind::Stream:
      if (!source_name) return std::unexpected("stream trigger requires source_name");
      break;
    case jobs::TriggerSourceKind::Topic:
      if (!source_name) return std::unexpected("topic trigger requires source_name");
      break;
  }
  source.source_name = std::move(*source_name);
  if (source.has_operation()) source.operation = std::move(*operation);
  return source;
}

struct CreateTrigger {
  static constexpr const char* kName = "create_trigger";
  std::string_view name;
  std::string source;
  jobs::JobSpec spec;
  std::optional<std::string> source_name;
  std::optional<std::string> operation;
  static constexpr auto kParams =
      params(param("name", &CreateTrigger::name), param<arg::Text>("source", &CreateTrigger::source),
             job_spec_params(&CreateTrigger::spec), keyword("source_name", &CreateTrigger::source_name, kNone),
             keyword("operation", &CreateTrigger::operation, kNone));
  static constexpr const char* kDoc =
      "Create an enabled trigger that submits a job from this template when fired; return its 16-byte id.\n\n"
      "`source` is \"manual\", \"collection\" (needs source_name and operation), \"stream\" or \"topic\"\n"
      "(each needs source_name). The source is stored and shown only: the store does not watch it, and\n"
      "the application calls fire_trigger when the event happens.";

  PyObject* call(PyObject* self) const {
    ModuleState* module_state = state_of_instance(self);
    if (module_state == nullptr) return nullptr;
    auto trigger_source = source_from(source, source_name, operation);
    if (!trigger_source) return raise_domain_error(*module_state, trigger_source.error());
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto id = jobs::create_trigger(store, name, *trigger_source, spec);
      if (!id) return map_error(state, id.error());
      return bytes_result(jobs::id_view(*id));
    });
  }
};

struct GetTrigger {
  static constexpr const char* kName = "get_trigger";
  jobs::TriggerId id;
  static constexpr auto kParams = params(param<TriggerIdArg>("id", &GetTrigger::id));
  static constexpr const char* kDoc = "Return the trigger with this id as a dict, or None.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto trigger = jobs::get_trigger(store, id);
      if (!trigger) return map_error(state, trigger.error());
      return *trigger ? trigger_dict(**trigger) : none_result();
    });
  }
};

struct ListTriggers {
  static constexpr const char* kName = "list_triggers";
  static constexpr const char* kDoc = "Return every trigger as a dict, by name and then id.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto triggers = jobs::list_triggers(store);
      if (!triggers) return map_error(state, triggers.error());
      return list_result(*triggers, [](const jobs::DurableTrigger& trigger) { return trigger_dict(trigger); });
    });
  }
};

struct SetTriggerEnabled {
  static constexpr const char* kName = "set_trigger_enabled";
  jobs::TriggerId id;
  bool enabled;
  static constexpr auto kParams =
      params(param<TriggerIdArg>("id", &SetTriggerEnabled::id), param("enabled", &SetTriggerEnabled::enabled));
  static constexpr const char* kDoc = "Enable or disable a trigger (its counters are kept); False if there is none.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto found = jobs::set_trigger_enabled(store, id, enabled);
      if (!found) return map_error(state, found.error());
      return bool_result(*found);
    });
  }
};

struct FireTrigger {
  static constexpr const char* kName = "fire_trigger";
  jobs::TriggerId id;
  std::string_view event_payload;
  int64_t now_ms;
  static constexpr auto kParams =
      params(param<TriggerIdArg>("id", &FireTrigger::id), param("event_payload", &FireTrigger::event_payload),
             param("now_ms", &FireTrigger::now_ms));
  static constexpr const char* kDoc =
      "Submit the trigger's job and count the firing, in one commit; return the job's 16-byte id, or\n"
      "None for a disabled trigger (nothing is written then).\n\n"
      "The job's payload is `event_payload`, or the template's payload when it is empty. Under a\n"
      "template idempotency key, a ready or leased job with that key is returned instead of a new one\n"
      "(the firing still counts).";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto job_id = jobs::fire_trigger(store, id, event_payload, now_ms);
      if (!job_id) return map_error(state, job_id.error());
      return *job_id ? bytes_result(jobs::id_view(**job_id)) : none_result();
    });
  }
};

constexpr MethodSpec kTriggerMethods[] = {
    method_spec<CreateTrigger>(),     method_spec<GetTrigger>(),  method_spec<ListTriggers>(),
    method_spec<SetTriggerEnabled>(), method_spec<FireTrigger>(),
};
const MethodBlock kTriggerBlock{TargetClass::Store, kTriggerMethods};

}  // namespace
}  // namespace ombrel::python
