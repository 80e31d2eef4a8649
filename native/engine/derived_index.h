// Derived indexes: in-memory views over the records under a few key
// prefixes, never written to the file, kept in step with the live table.
//
// Contract:
// - The engine knows no domain. A domain declares an index type T with
//     static constexpr std::array<std::string_view, N> kPrefixes;  // what it watches
//     T();                                                          // empty
//     void apply(std::string_view key, std::optional<std::string_view> before,
//                std::optional<std::string_view> after);            // one committed change
//   and asks the store for it with Store::derived_index<T>(). The first ask
//   builds it: every live pair under each prefix is applied as a creation, in
//   key order. From then on every committed put or delete of a key under one
//   of its prefixes is applied at the one place where committed writes reach
//   the live table, after the commit's sync succeeded; failed commits and
//   dropped transactions never reach it. `before`/`after` are absent when the
//   key did not exist / was deleted; the views are valid only during the call.
// - A store that never asks for an index pays one branch per committed key.
// - The live table stays the truth: an index answers with candidates (keys,
//   ids, counts); the domain reads and decodes the record as it always did,
//   and an index remembers the keys whose value it could not decode, so that
//   an operation that fails on a corrupt record still fails.
// - apply runs inside a commit and must not fail; an allocation failure
//   unwinds like any other in the apply phase (the store then reports its
//   live table incomplete until reopened).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

namespace ombrel::engine {

class DerivedIndex {
 public:
  virtual ~DerivedIndex() = default;
  virtual void apply(std::string_view key, std::optional<std::string_view> before,
                     std::optional<std::string_view> after) = 0;
};

// Wraps a domain's index type as a DerivedIndex.
template <class Index>
class DerivedIndexOf final : public DerivedIndex {
 public:
  Index index;
  void apply(std::string_view key, std::optional<std::string_view> before,
             std::optional<std::string_view> after) override {
    index.apply(key, before, after);
  }
};

// The indexes one store has built, with the prefixes each watches.
class DerivedIndexes {
 public:
  struct Entry {
    const std::type_info* type;
    std::vector<std::string> prefixes;
    std::unique_ptr<DerivedIndex> index;
  };

  bool empty() const { return entries_.empty(); }
  DerivedIndex* find(const std::type_info& type) const {
    for (const Entry& entry : entries_)
      if (*entry.type == type) return entry.index.get();
    return nullptr;
  }
  DerivedIndex& add(Entry entry) {
    entries_.push_back(std::move(entry));
    return *entries_.back().index;
  }
  // One committed change, to every index watching the key.
  void apply(std::string_view key, std::optional<std::string_view> before,
             std::optional<std::string_view> after) const {
    for (const Entry& entry : entries_) {
      for (const std::string& prefix : entry.prefixes) {
        if (key.starts_with(prefix)) {
          entry.index->apply(key, before, after);
          break;
        }
      }
    }
  }
  void clear() { entries_.clear(); }

 private:
  std::vector<Entry> entries_;
};

}  // namespace ombrel::engine
