// Derived indexes follow exactly the committed writes: built from the live
// table on first use, then changed by each commit as it reaches the table,
// and never by a failed commit or a dropped transaction. The index here keeps
// a copy of what it saw, which must equal a rebuild after every step.
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>

#include "engine/store.h"
#include "engine/transaction.h"
#include "native_check.h"

using namespace ombrel::engine;

namespace {

const std::string kWatched = std::string("\xFFomb:tst:", 9);

struct MirrorIndex {
  static constexpr std::array<std::string_view, 1> kPrefixes{std::string_view("\xFFomb:tst:", 9)};
  std::map<std::string, std::string> seen;
  int applied = 0;
  void apply(std::string_view key, std::optional<std::string_view> before, std::optional<std::string_view> after) {
    ++applied;
    auto it = seen.find(std::string(key));
    CHECK(before.has_value() == (it != seen.end()));
    if (before && it != seen.end()) CHECK(*before == it->second);
    if (after)
      seen[std::string(key)] = std::string(*after);
    else if (it != seen.end())
      seen.erase(it);
  }
};

std::map<std::string, std::string> rebuilt(const Store& store) {
  std::map<std::string, std::string> out;
  for (const auto& [key, value] : store.prefix_range(kWatched)) out.emplace(key, value);
  return out;
}

std::string temp_store() {
  auto dir = std::filesystem::temp_directory_path() / ("ombrel-derived-index-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto path = dir / "store.omb";
  std::filesystem::remove(path);
  return path.string();
}

}  // namespace

int main() {
  const std::string path = temp_store();
  StoreOptions options;
  options.durability = Durability::Relaxed;
  auto opened = Store::open_with_options(path, options);
  REQUIRE(opened.has_value());
  Store& store = **opened;
  CHECK(store.put_internal(kWatched + "before", "1").has_value());
  CHECK(store.put("user", "x").has_value());

  MirrorIndex& index = store.derived_index<MirrorIndex>();
  CHECK(&index == &store.derived_index<MirrorIndex>());  // built once
  CHECK(index.seen == rebuilt(store) && index.seen.size() == 1);

  std::mt19937 rng(7);
  for (int step = 0; step < 2000; ++step) {
    std::optional<Transaction> tx;
    if (auto begun = store.begin()) tx.emplace(std::move(*begun));
    REQUIRE(tx.has_value());
    const int writes = 1 + static_cast<int>(rng() % 4);
    for (int w = 0; w < writes; ++w) {
      std::string key = (rng() % 5 == 0 ? std::string("\xFFomb:other:", 11) : kWatched) + std::to_string(rng() % 40);
      if (rng() % 3 == 0)
        CHECK(tx->delete_internal(key).has_value());
      else
        CHECK(tx->put_internal(key, std::to_string(rng())).has_value());
    }
    const int applied = index.applied;
    if (rng() % 4 == 0) {
      tx.reset();  // dropped: nothing reaches the index
      CHECK(index.applied == applied);
    } else {
      CHECK(tx->commit().has_value());
    }
    CHECK(index.seen == rebuilt(store));
  }
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
  return native_check::finish("derived_index_test");
}
