// Random sequences of job operations on a real store, with now and then a
// record or history entry overwritten by garbage: after every operation the
// store's job index equals one rebuilt from the live table.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/store.h"
#include "engine/transaction.h"
#include "fuzz_check.h"
#include "jobs/job_index.h"
#include "jobs/jobs.h"
#include "jobs/transactional.h"

using namespace ombrel;
using namespace ombrel::jobs;

namespace {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint8_t below(uint8_t n) { return static_cast<uint8_t>(byte() % n); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

JobIndex rebuilt(const engine::Store& store) {
  JobIndex index;
  for (std::string_view prefix : JobIndex::kPrefixes) {
    for (const auto& [key, value] : store.prefix_range(prefix)) index.apply(key, std::nullopt, std::string_view(value));
  }
  return index;
}

const std::string& store_path() {
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("ombrel-job-index-fuzz-" + std::to_string(::getpid()) + ".omb"))
          .string();
  return path;
}

std::optional<Bytes> key_of(Input& in) {
  static const Bytes keys[] = {"k1", "k2"};
  const uint8_t pick = in.below(3);
  if (pick == 2) return std::nullopt;
  return keys[pick];
}

JobSpec spec_of(Input& in, int64_t now) {
  static const Bytes handlers[] = {"a", "b", "c"};
  JobSpec spec;
  spec.handler = handlers[in.below(3)];
  spec.payload = "p";
  spec.priority = static_cast<int32_t>(in.below(3)) - 1;
  spec.available_at_ms = now + in.below(20) - 5;
  if (const uint8_t d = in.byte(); d % 3 != 0) spec.deadline_ms = now + d % 30 - 5;
  spec.max_attempts = 1 + in.below(3);
  spec.retry_backoff_ms = in.below(10);
  spec.idempotency_key = key_of(in);
  return spec;
}

std::vector<Bytes> handlers_of(Input& in) {
  switch (in.below(4)) {
    case 0:
      return {};
    case 1:
      return {"a"};
    case 2:
      return {"b", "c"};
    default:
      return {"c", "c", "x"};
  }
}

void run(engine::Store& store, Input& in, int64_t& now, std::vector<JobId>& ids) {
  auto some_id = [&]() -> JobId {
    if (ids.empty()) return JobId{};
    return ids[in.byte() % ids.size()];
  };
  // The generation a lease holder would give: mostly the current one.
  auto generation_of = [&](const JobId& id) -> uint32_t {
    const uint8_t stale = in.below(4);
    auto job = get_job(store, id);
    if (stale == 0 || !job || !*job) return stale;
    return (*job)->lease_generation;
  };
  switch (in.below(14)) {
    case 0: {
      if (auto id = submit_job(store, spec_of(in, now), now)) ids.push_back(*id);
      break;
    }
    case 1: {
      const auto handlers = handlers_of(in);
      (void)claim_job_for_handlers(store, now, in.below(30), handlers);
      break;
    }
    case 2: {
      const JobId id = some_id();
      (void)heartbeat_job(store, id, generation_of(id), now, in.below(30));
      break;
    }
    case 3: {
      const JobId id = some_id();
      (void)complete_job(store, id, generation_of(id), now);
      break;
    }
    case 4: {
      const JobId id = some_id();
      (void)fail_job(store, id, generation_of(id), now, "x");
      break;
    }
    case 5: {
      const JobId id = some_id();
      (void)release_job(store, id, generation_of(id), now);
      break;
    }
    case 6:
      (void)release_expired_jobs(store, now);
      break;
    case 7:
      (void)retry_job(store, some_id(), now);
      break;
    case 8:
      (void)cancel_job(store, some_id(), now);
      break;
    case 9:
      (void)purge_finished_jobs(store, now - in.below(20), in.below(4));
      break;
    case 10: {
      auto tx = store.begin();
      FUZZ_CHECK(tx.has_value());
      const int enqueues = 1 + in.below(2);
      for (int i = 0; i < enqueues; ++i) {
        if (auto id = enqueue_job_transactional(*tx, spec_of(in, now), now)) ids.push_back(*id);
      }
      if (in.below(4) != 0) (void)tx->commit();
      break;
    }
    case 11:
      now += in.below(30);
      break;
    case 12:
      if (in.below(8) == 0) {  // garbage over a job record
        (void)store.put_internal(job_key(some_id()), Bytes(in.below(80), static_cast<char>(in.byte())));
      }
      break;
    default:
      if (in.below(8) == 0 && !ids.empty()) {  // garbage as a job's newest history entry
        const JobId id = some_id();
        const Bytes prefix = job_history_prefix(id);
        auto range = store.prefix_range(prefix);
        uint64_t next = 0;
        if (range.first != range.last)
          next = *ByteReader(BytesView(std::prev(range.last)->first).substr(prefix.size())).u64_be() + 1;
        (void)store.put_internal(job_history_key(id, next), Bytes(in.below(30), '\x01'));
      }
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::filesystem::remove(store_path());
  engine::StoreOptions options;
  options.durability = engine::Durability::Relaxed;
  auto opened = engine::Store::open_with_options(store_path(), options);
  FUZZ_CHECK(opened.has_value());
  engine::Store& store = **opened;
  const JobIndex& index = store.derived_index<JobIndex>();
  Input in(data, size);
  int64_t now = 0;
  std::vector<JobId> ids;
  while (!in.done()) {
    run(store, in, now, ids);
    FUZZ_CHECK(index == rebuilt(store));
  }
  return 0;
}
