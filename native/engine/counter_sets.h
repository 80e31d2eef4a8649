// Counter sets: what an open store counts in memory, for its health report.
// They start at zero when the store opens, are never written to the file,
// and saturate at 2^64 - 1.
//
// Contract:
// - A set is a struct of uint64_t fields that names them, in report order:
//     struct QueueCounters {
//       uint64_t claims = 0;
//       uint64_t acks = 0;
//       static constexpr std::array<CounterName<QueueCounters>, 2> kNames{{
//           {"queue_claims", &QueueCounters::claims}, {"queue_acks", &QueueCounters::acks}}};
//     };
//   The engine keeps its own set (StoreMetrics). It knows no domain: a
//   domain declares its set beside its operations and counts through
//   Store::domain_counters<Set>(), which the store makes on first use and
//   keeps until it closes. Store::read_domain_counters<Set>() copies a set
//   without making it (all zero when nothing was counted).
#pragma once

#include <cstdint>
#include <memory>
#include <typeinfo>
#include <vector>

namespace ombrel::engine {

template <class Set>
struct CounterName {
  const char* name;
  uint64_t Set::* field;
};

// The domain counter sets of one store, one per type.
class DomainCounterSets {
 public:
  template <class Set>
  Set& get() {
    if (Set* found = find<Set>()) return *found;
    slots_.push_back(Slot{&typeid(Set), Erased(new Set{}, [](void* set) { delete static_cast<Set*>(set); })});
    return *static_cast<Set*>(slots_.back().set.get());
  }
  template <class Set>
  Set read() const {
    const Set* found = find<Set>();
    return found != nullptr ? *found : Set{};
  }

 private:
  using Erased = std::unique_ptr<void, void (*)(void*)>;
  struct Slot {
    const std::type_info* type;
    Erased set;
  };
  template <class Set>
  Set* find() const {
    for (const Slot& slot : slots_)
      if (*slot.type == typeid(Set)) return static_cast<Set*>(slot.set.get());
    return nullptr;
  }
  std::vector<Slot> slots_;
};

}  // namespace ombrel::engine
