// Elements that fall due at a time, answered in their own order among those
// due at the caller's clock.
//
// Contract: a DueOrder<Rank> holds (time, rank) pairs, each rank at most once.
// due_at(now) is the set of ranks whose time is at or before `now`, in Rank
// order; the reference stays valid until the next insert, erase or due_at.
// The caller's clock may move either way.
//
// Cost: insert and erase are O(log n). due_at keeps the set of the last
// clock it was asked about (the watermark) and moves it to `now`, touching
// only the elements whose time lies between the two: a clock that only
// advances pays O(log n) once per element over its life, however many
// elements wait behind the watermark or ahead of it.
#pragma once

#include <absl/container/btree_set.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

namespace ombrel::messaging {

template <class Rank>
class DueOrder {
 public:
  void insert(int64_t time, const Rank& rank) {
    by_time_.insert(Timed{time, rank});
    if (time <= watermark_) due_.insert(rank);
  }

  void erase(int64_t time, const Rank& rank) {
    by_time_.erase(Timed{time, rank});
    if (time <= watermark_) due_.erase(rank);
  }

  const absl::btree_set<Rank>& due_at(int64_t now) {
    if (now > watermark_) {
      for (auto it = by_time_.upper_bound(watermark_); it != by_time_.end() && it->time <= now; ++it)
        due_.insert(it->rank);
    } else if (now < watermark_) {
      for (auto it = by_time_.upper_bound(now); it != by_time_.end() && it->time <= watermark_; ++it)
        due_.erase(it->rank);
    }
    watermark_ = now;
    return due_;
  }

  // The same timed elements, whatever clock either was last asked about.
  bool operator==(const DueOrder& other) const { return by_time_ == other.by_time_; }

  size_t size() const { return by_time_.size(); }
  bool empty() const { return by_time_.empty(); }
  // The smallest time held, or nothing when empty.
  std::optional<int64_t> earliest() const {
    if (by_time_.empty()) return std::nullopt;
    return by_time_.begin()->time;
  }

 private:
  struct Timed {
    int64_t time;
    Rank rank;
    bool operator==(const Timed&) const = default;
  };
  // Orders by time, then rank; a bare time finds the bounds of its run.
  struct ByTime {
    using is_transparent = void;
    bool operator()(const Timed& a, const Timed& b) const {
      if (a.time != b.time) return a.time < b.time;
      return a.rank < b.rank;
    }
    bool operator()(const Timed& a, int64_t time) const { return a.time < time; }
    bool operator()(int64_t time, const Timed& a) const { return time < a.time; }
  };

  absl::btree_set<Timed, ByTime> by_time_;
  absl::btree_set<Rank> due_;  // the ranks of by_time_ with time <= watermark_
  int64_t watermark_ = std::numeric_limits<int64_t>::min();
};

}  // namespace ombrel::messaging
