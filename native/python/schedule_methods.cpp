// Schedule methods of Store: interval schedules (create, get, enable, tick)
// and cron schedules (create, get, list, enable, tick).
//
// Contract: an interval schedule is returned as a dict with the keys "id",
// "job" (the template dict), "mode" ("once"/"interval"), "every_ms" (None in
// once mode), "next_run_ms", "enabled"; a cron schedule with "id",
// "expression" (bytes), "job", "next_run_ms", "enabled", "fire_count",
// "last_fired_at_ms". Ticks return (records read or listed, schedules fired).
// Ids must be 16 bytes ("schedule id must be exactly 16 bytes", "cron
// schedule id must be exactly 16 bytes"). Interval-schedule errors are
// JobError values, cron-schedule errors CronSchedulerError values; both are
// raised as OmbrelStoreError with their display text.
#include <span>
#include <string_view>

#include "engine/store.h"
#include "jobs/cron_schedules.h"
#include "jobs/schedules.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/job_spec_convert.h"
#include "python/method_registry.h"
#include "python/store_slot.h"

namespace ombrel::python {
namespace {

PyObject* map_error(const ModuleState& state, const jobs::JobError& error) {
  return raise_domain_error(state, error.message());
}

PyObject* map_error(const ModuleState& state, const jobs::CronSchedulerError& error) {
  return raise_domain_error(state, error.message());
}

PyObject* pair_result(const std::pair<uint64_t, uint64_t>& pair) {
  return tuple_result({int_result(pair.first), int_result(pair.second)});
}

// ---- interval schedules ----

constexpr char kScheduleIdMessage[] = "schedule id must be exactly 16 bytes";
using ScheduleIdArg = arg::FixedLengthId<&jobs::id_from_bytes, kScheduleIdMessage>;

PyObject* schedule_dict(const jobs::DurableSchedule& schedule) {
  DictBuilder dict;
  dict.set("id", bytes_result(jobs::id_view(schedule.id)));
  dict.set("job", job_template_dict(schedule.job));
  dict.set("mode", text_result(schedule.every_ms ? "interval" : "once"));
  dict.set("every_ms", optional_int_result(schedule.every_ms));
  dict.set("next_run_ms", int_result(schedule.next_run_ms));
  dict.set("enabled", bool_result(schedule.enabled));
  return dict.finish();
}

// The every_ms of a schedule of `mode`: none for "once"; nullopt with
// OmbrelStoreError raised for another mode or an interval without every_ms.
std::optional<std::optional<uint64_t>> interval_of(PyObject* self, std::string_view mode,
                                                   std::optional<uint64_t> every_ms) {
  ModuleState* module_state = state_of_instance(self);
  if (module_state == nullptr) return std::nullopt;
  if (mode != "once" && mode != "interval") {
    raise_domain_error(*module_state, "schedule mode must be 'once' or 'interval'");
    return std::nullopt;
  }
  if (mode == "once") return std::optional<uint64_t>{};
  if (!every_ms) {
    raise_domain_error(*module_state, "interval schedule requires every_ms");
    return std::nullopt;
  }
  return every_ms;
}

struct CreateSchedule {
  static constexpr const char* kName = "create_schedule";
  jobs::JobSpec spec;
  int64_t first_run_ms;
  std::string mode;
  std::optional<uint64_t> every_ms;
  static constexpr auto kParams = params(
      job_spec_params(&CreateSchedule::spec), param("first_run_ms", &CreateSchedule::first_run_ms),
      keyword<arg::Text>("mode", &CreateSchedule::mode, "once"), keyword("every_ms", &CreateSchedule::every_ms, kNone));
  static constexpr const char* kDoc =
      "Create an enabled schedule that submits a job from this template and return its 16-byte id.\n\n"
      "mode \"once\" runs once at `first_run_ms` (every_ms is ignored); mode \"interval\" runs at\n"
      "`first_run_ms` and then every `every_ms` milliseconds. Runs happen only when tick_schedules is\n"
      "called; missed intervals are not made up.";

  PyObject* call(PyObject* self) const {
    auto every = interval_of(self, mode, every_ms);
    if (!every) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto id = jobs::create_schedule(store, spec, *every, first_run_ms);
      if (!id) return map_error(state, id.error());
      return bytes_result(jobs::id_view(*id));
    });
  }
};

// The {"id", "created"} dict of the ensure methods.
PyObject* ensured_dict(const std::pair<jobs::JobId, bool>& ensured) {
  DictBuilder dict;
  dict.set("id", bytes_result(jobs::id_view(ensured.first)));
  dict.set("created", bool_result(ensured.second));
  return dict.finish();
}

struct EnsureSchedule {
  static constexpr const char* kName = "ensure_schedule";
  std::string_view name;
  jobs::JobSpec spec;
  int64_t first_run_ms;
  std::string mode;
  std::optional<uint64_t> every_ms;
  static constexpr auto kParams = params(param("name", &EnsureSchedule::name), job_spec_params(&EnsureSchedule::spec),
                                         param("first_run_ms", &EnsureSchedule::first_run_ms),
                                         keyword<arg::Text>("mode", &EnsureSchedule::mode, "once"),
                                         keyword("every_ms", &EnsureSchedule::every_ms, kNone));
  static constexpr const char* kDoc =
      "Return the interval schedule named `name` (bytes, not empty), or create it as create_schedule\n"
      "does and name it, in one commit: {\"id\": 16 bytes, \"created\": bool}. A schedule found by\n"
      "its name is returned as it is (the other arguments are not compared), so that a service can\n"
      "ensure its schedules at every start without adding one per start.";

  PyObject* call(PyObject* self) const {
    auto every = interval_of(self, mode, every_ms);
    if (!every) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto ensured = jobs::ensure_schedule(store, name, spec, *every, first_run_ms);
      if (!ensured) return map_error(state, ensured.error());
      return ensured_dict(*ensured);
    });
  }
};

struct GetSchedule {
  static constexpr const char* kName = "get_schedule";
  jobs::JobId id;
  static constexpr auto kParams = params(param<ScheduleIdArg>("id", &GetSchedule::id));
  static constexpr const char* kDoc = "Return the interval schedule with this id as a dict, or None.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto schedule = jobs::get_schedule(store, id);
      if (!schedule) return map_error(state, schedule.error());
      return *schedule ? schedule_dict(**schedule) : none_result();
    });
  }
};

struct SetScheduleEnabled {
  static constexpr const char* kName = "set_schedule_enabled";
  jobs::JobId id;
  bool enabled;
  static constexpr auto kParams =
      params(param<ScheduleIdArg>("id", &SetScheduleEnabled::id), param("enabled", &SetScheduleEnabled::enabled));
  static constexpr const char* kDoc =
      "Enable or disable an interval schedule (its next_run_ms is kept); False if there is none.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto found = jobs::set_schedule_enabled(store, id, enabled);
      if (!found) return map_error(state, found.error());
      return bool_result(*found);
    });
  }
};

struct TickSchedules {
  static constexpr const char* kName = "tick_schedules";
  int64_t now_ms;
  uint64_t limit;
  static constexpr auto kParams =
      params(param("now_ms", &TickSchedules::now_ms), param("limit", &TickSchedules::limit));
  static constexpr const char* kDoc =
      "Fire up to `limit` due interval schedules, in id order, one job and one commit each; return\n"
      "(schedule records read, schedules fired).";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto counts = jobs::tick_schedules(store, now_ms, limit);
      if (!counts) return map_error(state, counts.error());
      return pair_result(*counts);
    });
  }
};

// ---- cron schedules ----

constexpr char kCronScheduleIdMessage[] = "cron schedule id must be exactly 16 bytes";
using CronScheduleIdArg = arg::FixedLengthId<&jobs::id_from_bytes, kCronScheduleIdMessage>;

PyObject* cron_schedule_dict(const jobs::DurableCronSchedule& schedule) {
  DictBuilder dict;
  dict.set("id", bytes_result(jobs::id_view(schedule.id)));
  dict.set("expression", bytes_result(schedule.expression));
  dict.set("job", job_template_dict(schedule.job));
  dict.set("next_run_ms", int_result(schedule.next_run_ms));
  dict.set("enabled", bool_result(schedule.enabled));
  dict.set("fire_count", int_result(schedule.fire_count));
  dict.set("last_fired_at_ms", schedule.last_fired_at_ms ? int_result(*schedule.last_fired_at_ms) : none_result());
  return dict.finish();
}

struct CreateCronSchedule {
  static constexpr const char* kName = "create_cron_schedule";
  std::string expression;
  jobs::JobSpec spec;
  int64_t after_ms;
  static constexpr auto kParams =
      params(param<arg::Text>("expression", &CreateCronSchedule::expression),
             job_spec_params(&CreateCronSchedule::spec), param("after_ms", &CreateCronSchedule::after_ms));
  static constexpr const char* kDoc =
      "Create an enabled cron schedule and return its 16-byte id.\n\n"
      "`expression` has five fields (minute, hour, day of month, month, day of week), matched in UTC.\n"
      "The first run is the first matching minute after `after_ms`. Each run submits a job from this\n"
      "template, available at the run's minute; runs happen only when tick_cron_schedules is called.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto id = jobs::create_cron_schedule(store, expression, spec, after_ms);
      if (!id) return map_error(state, id.error());
      return bytes_result(jobs::id_view(*id));
    });
  }
};

// A cron schedule's missed-run policy: "catch_up" or "skip", checked.
struct MissedRunsArg {
  using Value = std::string;
  using Default = std::string_view;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char* name) {
    auto text = text_arg(object, name);
    if (!text) return std::nullopt;
    if (!jobs::missed_runs_from_name(*text)) {
      PyErr_Format(PyExc_ValueError, "%s must be 'catch_up' or 'skip'", name);
      return std::nullopt;
    }
    return text;
  }
};

struct EnsureCronSchedule {
  static constexpr const char* kName = "ensure_cron_schedule";
  std::string_view name;
  std::string expression;
  jobs::JobSpec spec;
  int64_t after_ms;
  std::string missed_runs;
  static constexpr auto kParams =
      params(param("name", &EnsureCronSchedule::name), param<arg::Text>("expression", &EnsureCronSchedule::expression),
             job_spec_params(&EnsureCronSchedule::spec), param("after_ms", &EnsureCronSchedule::after_ms),
             keyword<MissedRunsArg>("missed_runs", &EnsureCronSchedule::missed_runs, "catch_up"));
  static constexpr const char* kDoc =
      "Return the cron schedule named `name` (bytes, not empty), or create it as create_cron_schedule\n"
      "does and name it, in one commit: {\"id\": 16 bytes, \"created\": bool}. A schedule found by\n"
      "its name is returned as it is. `missed_runs` says what a tick does for a schedule that is\n"
      "behind: \"catch_up\" fires one missed run per tick, in order (as create_cron_schedule's\n"
      "schedules do); \"skip\" fires the oldest missed run once and moves on to the first run after\n"
      "the tick's now_ms.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      const jobs::MissedRuns policy = jobs::missed_runs_from_name(missed_runs).value_or(jobs::MissedRuns::CatchUp);
      auto ensured = jobs::ensure_cron_schedule(store, name, expression, spec, after_ms, policy);
      if (!ensured) return map_error(state, ensured.error());
      return ensured_dict(*ensured);
    });
  }
};

struct GetCronSchedule {
  static constexpr const char* kName = "get_cron_schedule";
  jobs::JobId id;
  static constexpr auto kParams = params(param<CronScheduleIdArg>("id", &GetCronSchedule::id));
  static constexpr const char* kDoc = "Return the cron schedule with this id as a dict, or None.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto schedule = jobs::get_cron_schedule(store, id);
      if (!schedule) return map_error(state, schedule.error());
      return *schedule ? cron_schedule_dict(**schedule) : none_result();
    });
  }
};

struct ListCronSchedules {
  static constexpr const char* kName = "list_cron_schedules";
  static constexpr const char* kDoc = "Return every cron schedule as a dict, by next_run_ms.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto schedules = jobs::list_cron_schedules(store);
      if (!schedules) return map_error(state, schedules.error());
      return list_result(*schedules,
                         [](const jobs::DurableCronSchedule& schedule) { return cron_schedule_dict(schedule); });
    });
  }
};

struct SetCronScheduleEnabled {
  static constexpr const char* kName = "set_cron_schedule_enabled";
  jobs::JobId id;
  bool enabled;
  static constexpr auto kParams = params(param<CronScheduleIdArg>("id", &SetCronScheduleEnabled::id),
                                         param("enabled", &SetCronScheduleEnabled::enabled));
  static constexpr const char* kDoc =
      "Enable or disable a cron schedule (its next_run_ms is kept, so missed runs follow at the next\n"
      "ticks); False if there is none.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto found = jobs::set_cron_schedule_enabled(store, id, enabled);
      if (!found) return map_error(state, found.error());
      return bool_result(*found);
    });
  }
};

struct TickCronSchedules {
  static constexpr const char* kName = "tick_cron_schedules";
  int64_t now_ms;
  uint64_t limit;
  static constexpr auto kParams =
      params(param("now_ms", &TickCronSchedules::now_ms), param("limit", &TickCronSchedules::limit));
  static constexpr const char* kDoc =
      "Fire up to `limit` due cron schedules, earliest run first, each for its oldest missed run only;\n"
      "return (schedules listed, schedules fired). Tick again to catch up further runs.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto counts = jobs::tick_cron_schedules(store, now_ms, limit);
      if (!counts) return map_error(state, counts.error());
      return pair_result(*counts);
    });
  }
};

constexpr MethodSpec kScheduleMethods[] = {
    method_spec<CreateSchedule>(),     method_spec<GetSchedule>(),
    method_spec<SetScheduleEnabled>(), method_spec<TickSchedules>(),
    method_spec<CreateCronSchedule>(), method_spec<GetCronSchedule>(),
    method_spec<ListCronSchedules>(),  method_spec<SetCronScheduleEnabled>(),
    method_spec<TickCronSchedules>(),  method_spec<EnsureSchedule>(),
    method_spec<EnsureCronSchedule>(),
};
const MethodBlock kScheduleBlock{TargetClass::Store, kScheduleMethods};

}  // namespace
}  // namespace ombrel::python
