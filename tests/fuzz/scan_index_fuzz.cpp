// Any bytes as a sequence of schedule, cron, workflow and object operations,
// raw internal writes (damaged values, keys of odd shapes) and dropped or
// committed transactions on one store: after each step the store's derived
// indexes equal indexes rebuilt from the live table from scratch, and the
// workflow listings (every status, one status, one type) page through
// exactly what a scan of every instance finds.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/store.h"
#include "engine/transaction.h"
#include "fuzz_check.h"
#include "jobs/cron_schedule_index.h"
#include "jobs/schedule_index.h"
#include "jobs/workflow_index.h"
#include "records/object_index.h"
#include "records/objects.h"

using namespace ombrel;
using namespace ombrel::jobs;

namespace {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  int64_t small(int64_t span) { return static_cast<int64_t>(byte()) * span / 256; }
  std::string bytes(size_t most) {
    std::string out;
    for (size_t n = byte() % (most + 1); n > 0 && !done(); --n) out.push_back(static_cast<char>(byte()));
    return out;
  }
  template <class T>
  const T* pick(const std::vector<T>& items) {
    return items.empty() ? nullptr : &items[byte() % items.size()];
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

constexpr int64_t kMinute = 60'000;
const std::string_view kPrefixes[] = {kScheduleDataPrefix,        kCronDataPrefix,
                                      kWorkflowInstancePrefix,    records::kObjectDataPrefix,
                                      records::kObjectMetaPrefix, records::kObjectRefPrefix};

template <class Index>
void check_rebuilt(const engine::Store& store) {
  Index rebuilt;
  for (std::string_view prefix : Index::kPrefixes)
    for (const auto& [key, value] : store.prefix_range(prefix)) rebuilt.apply(key, std::nullopt, value);
  FUZZ_CHECK(store.derived_index<Index>() == rebuilt);
}

// Every page of each listing, against the instances a scan decodes.
void check_listings(const engine::Store& store) {
  const WorkflowIndex& index = store.derived_index<WorkflowIndex>();
  // Each status, then every status (code 5: none asked for).
  for (uint8_t code = 0; code <= 5; ++code) {
    const std::optional<WorkflowStatus> status =
        code <= 4 ? std::optional(static_cast<WorkflowStatus>(code)) : std::nullopt;
    std::vector<WorkflowId> expected, listed;
    for (const auto& [key, value] : store.prefix_range(kWorkflowInstancePrefix))
      if (auto view = view_workflow_record(key, value); view && (!status || view->status == *status))
        expected.push_back(view->id);
    std::optional<WorkflowId> after;
    while (true) {
      auto page = ids_in_order(index, status, after, 2);
      listed.insert(listed.end(), page.begin(), page.end());
      if (page.empty()) break;
      after = page.back();
    }
    FUZZ_CHECK(listed == expected);
  }
  for (std::string_view type : {"a", "b"}) {
    std::vector<WorkflowId> expected, listed;
    for (const auto& [key, value] : store.prefix_range(kWorkflowInstancePrefix))
      if (auto view = view_workflow_record(key, value); view && view->workflow_type == type)
        expected.push_back(view->id);
    std::optional<WorkflowId> after;
    while (true) {
      auto page = of_type_candidates(index, type, after, 2);
      for (const WorkflowId& id : page) {
        const auto value = store.find(workflow_key(id));
        FUZZ_CHECK(value.has_value());
        if (auto view = view_workflow_record(workflow_key(id), *value); view && view->workflow_type == type)
          listed.push_back(id);
      }
      if (page.empty()) break;
      after = page.back();
    }
    FUZZ_CHECK(listed == expected);
  }
}

// A key under one of the watched prefixes: an existing one, a well-formed
// one for a fresh id, or one of another length.
std::string raw_key(Input& in, const engine::Store& store) {
  const std::string_view prefix = kPrefixes[in.byte() % std::size(kPrefixes)];
  std::vector<std::string> existing;
  for (const auto& [key, value] : store.prefix_range(prefix)) existing.emplace_back(key);
  switch (in.byte() % 3) {
    case 0:
      if (const std::string* key = in.pick(existing)) return *key;
      [[fallthrough]];
    case 1:
      return std::string(prefix) +
             std::string(prefix == kWorkflowInstancePrefix || prefix == kScheduleDataPrefix || prefix == kCronDataPrefix
                             ? 16
                             : 32,
                         static_cast<char>(in.byte() % 4));
    default:
      return std::string(prefix) + in.bytes(40);
  }
}

// A value: a copy of an existing record (valid, under whatever key it lands)
// or bytes.
std::string raw_value(Input& in, const engine::Store& store) {
  if (in.byte() % 2 == 0) {
    std::vector<std::string> values;
    for (std::string_view prefix : kPrefixes)
      for (const auto& [key, value] : store.prefix_range(prefix)) values.emplace_back(value);
    if (const std::string* value = in.pick(values)) return *value;
  }
  return in.bytes(48);
}

JobSpec spec() {
  JobSpec job;
  job.handler = "h";
  return job;
}

void step(Input& in, engine::Store& store, int64_t& now, std::vector<JobId>& schedules, std::vector<JobId>& crons,
          std::vector<WorkflowId>& workflows, std::vector<records::ObjectId>& objects) {
  switch (in.byte() % 16) {
    case 0: {
      std::optional<uint64_t> every;
      if (in.byte() % 2) every = static_cast<uint64_t>(1 + in.small(3 * kMinute));
      if (auto id = create_schedule(store, spec(), every, now + in.small(10 * kMinute) - kMinute))
        schedules.push_back(*id);
      break;
    }
    case 1:
      if (const JobId* id = in.pick(schedules)) (void)set_schedule_enabled(store, *id, in.byte() % 2);
      break;
    case 2:
      (void)tick_schedules(store, now, in.byte() % 4);
      break;
    case 3: {
      const char* expressions[] = {"* * * * *", "*/5 * * * *", "0 * * * *"};
      if (auto id = create_cron_schedule(store, expressions[in.byte() % 3], spec(), now + in.small(10 * kMinute)))
        crons.push_back(*id);
      break;
    }
    case 4:
      if (const JobId* id = in.pick(crons)) (void)set_cron_schedule_enabled(store, *id, in.byte() % 2);
      break;
    case 5:
      (void)tick_cron_schedules(store, now, in.byte() % 4);
      break;
    case 6: {
      std::optional<WorkflowId> parent;
      if (const WorkflowId* id = in.pick(workflows); id && in.byte() % 2) parent = *id;
      if (auto id = create_workflow(store, in.byte() % 2 ? "a" : "b", "s", "", now, parent)) workflows.push_back(*id);
      break;
    }
    case 7: {
      const WorkflowId* id = in.pick(workflows);
      if (id == nullptr) break;
      switch (in.byte() % 8) {
        case 0:
          (void)set_workflow_step(store, *id, "t", "", now);
          break;
        case 1:
          (void)wait_for_signal(store, *id, "go", now);
          break;
        case 2:
          (void)wait_until(store, *id, now + in.small(4 * kMinute) - kMinute, now);
          break;
        case 3:
          (void)signal_workflow(store, *id, "go", "p", now);
          break;
        case 4:
          (void)finish_workflow(store, *id, in.byte() % 2 ? WorkflowStatus::Failed : WorkflowStatus::Completed, "",
                                now);
          break;
        case 5:
          (void)send_workflow_signal(store, *id, in.byte() % 2 ? "go" : "other", "p", now);
          break;
        case 6:
          (void)wait_for_signal_until(store, *id, "go", now + in.small(4 * kMinute) - kMinute, now);
          break;
        default:
          (void)cancel_workflow(store, *id, "", now);
          break;
      }
      break;
    }
    case 8:
      (void)resume_due_workflows(store, now, in.byte() % 4);
      break;
    case 9:
      (void)purge_finished_workflows(store, now + in.small(kMinute), in.byte() % 4);
      break;
    case 10: {
      records::ObjectMetadata metadata;
      if (uint8_t kind = in.byte() % 3; kind > 0)
        metadata.emplace_back("expires_at_unix", kind == 1 ? std::to_string(in.small(200) - 20) : "soon");
      if (auto id = records::put_object(store, in.bytes(3), metadata)) objects.push_back(*id);
      break;
    }
    case 11: {
      const std::string name(1, static_cast<char>('a' + in.byte() % 3));
      if (const records::ObjectId* id = in.pick(objects); id && in.byte() % 2)
        (void)records::link_object(store, "ns", name, *id);
      else
        (void)records::unlink_object(store, "ns", name);
      break;
    }
    case 12:
      (void)records::gc_orphan_objects(store, in.byte() % 4);
      break;
    case 13:
      (void)records::purge_expired_objects(store, now / 1000 + in.small(400), in.byte() % 4);
      break;
    case 14: {
      // Several raw writes in one transaction, committed or dropped.
      auto tx = store.begin();
      FUZZ_CHECK(tx.has_value());
      for (int n = 1 + in.byte() % 3; n > 0; --n) {
        const std::string key = raw_key(in, store);
        if (in.byte() % 3 == 0)
          (void)tx->delete_internal(key);
        else
          (void)tx->put_internal(key, raw_value(in, store));
      }
      if (in.byte() % 4 != 0) (void)tx->commit();
      break;
    }
    default:
      now += in.small(5 * kMinute);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("ombrel-scan-index-fuzz-" + std::to_string(::getpid()) + ".omb"))
          .string();
  std::filesystem::remove(path);
  engine::StoreOptions options;
  options.durability = engine::Durability::Relaxed;
  auto opened = engine::Store::open_with_options(path, options);
  FUZZ_CHECK(opened.has_value());
  engine::Store& store = **opened;
  // Built on the empty store, so that every later record reaches them by apply.
  (void)store.derived_index<ScheduleIndex>();
  (void)store.derived_index<CronScheduleIndex>();
  (void)store.derived_index<WorkflowIndex>();
  (void)store.derived_index<records::ObjectIndex>();
  Input in(data, size);
  int64_t now = 0;
  std::vector<JobId> schedules, crons;
  std::vector<WorkflowId> workflows;
  std::vector<records::ObjectId> objects;
  for (int steps = 0; !in.done() && steps < 64; ++steps) {
    step(in, store, now, schedules, crons, workflows, objects);
    check_rebuilt<ScheduleIndex>(store);
    check_rebuilt<CronScheduleIndex>(store);
    check_rebuilt<WorkflowIndex>(store);
    check_rebuilt<records::ObjectIndex>(store);
    check_listings(store);
  }
  opened->reset();
  std::filesystem::remove(path);
  return 0;
}
