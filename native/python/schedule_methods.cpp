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

struct CreateSchedule {
  static constexpr const char* kName = "create_schedule";
  jobs::JobSpec spec;
  int64_t first_run_ms;
  std::string mode;
  std::optional<uint64_t> every_ms;
  static constexpr auto kParams =
      params(job_spec_params(&CreateSchedule::spec), param("first_run_ms", &CreateSchedule::first_run_ms),
             keyword<arg::Text>("mode", &CreateSchedule::mode, "once"), keyword("every_ms", &CreateSchedule::every_ms, kNone));
  static constexpr const char* kDoc =
      "Create an enabled schedule that submits a job from this template and return its 16-byte id.\n\n"
      "mode \"once\" runs once at `first_run_ms` (every_ms is ignored); mode \"interval\" runs at\n"
      "`first_run_ms` and then every `every_ms` milliseconds. Runs happen only when tick_schedules is\n"
      "called; missed intervals are not made up.";

  PyObject* call(PyObject* self) const {
    ModuleState* module_state = state_of_instance(self);
    if (module_state == nullptr) return nullptr;
    if (mode != "once" && mode != "interval") {
      return raise_domain_error(*module_state, "schedule mode must be 'once' or 'interval'");
    }
    std::optional<uint64_t> every;
    if (mode == "interval") {
      if (!every_ms) return raise_domain_error(*module_state, "interval schedule requires every_ms");
      every = every_ms;
    }
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto id = jobs::create_schedule(store, spec, every, first_run_ms);
      if (!id) return map_error(state, id.error());
      return bytes_result(jobs::id_view(*id));
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
  static constexpr auto kParams = params(param("now_ms", &TickSchedules::now_ms), param("limit", &TickSchedules::limit));
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
      params(param<arg::Text>("expression", &CreateCronSchedule::expression), job_spec_params(&CreateCronSchedule::spec),
             param("after_ms", &CreateCronSchedule::after_ms));
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
    method_spec<CreateSchedule>(),     method_spec<GetSchedule>(),       method_spec<SetScheduleEnabled>(),
    method_spec<TickSchedules>(),      method_spec<CreateCronSchedule>(), method_spec<GetCronSchedule>(),
    method_spec<ListCronSchedules>(),  method_spec<SetCronScheduleEnabled>(), method_spec<TickCronSchedules>(),
};
const MethodBlock kScheduleBlock{TargetClass::Store, kScheduleMethods};

}  // namespace
}  // namespace ombrel::python
