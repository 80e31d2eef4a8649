// The live table against std::map under random operation sequences: after
// every burst both must hold the same pairs in the same order (forwards and
// backwards), answer find and lower_bound alike, and hand back the same
// replaced and removed values. Key shapes cover empty keys, 0x00/0xFF bytes,
// long shared prefixes and keys far longer than a node can hold inline.
#include "engine/live_table.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "native_check.h"

using ombrel::engine::LiveTable;
using ombrel::engine::ValueBlock;
using Model = std::map<std::string, std::string>;

namespace {

std::mt19937_64 rng(20261207);

size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }

enum class Shape { Tiny, Internal, Long, Mixed };

std::string key_of(Shape shape) {
  static const std::string kAlphabet(
      "\x00\x01"
      "a\xFE\xFF",
      5);
  switch (shape) {
    case Shape::Tiny: {  // few distinct keys: many overwrites, empty key, 0x00 and 0xFF
      std::string k(below(5), '\0');
      for (char& c : k) c = kAlphabet[below(kAlphabet.size())];
      return k;
    }
    case Shape::Internal:  // a long shared prefix, numbers of varying width
      return std::string("\xFFomb:job:data:", 14) + std::to_string(below(100000));
    case Shape::Long: {  // past the inline limit, sharing hundreds of bytes
      std::string k(200 + below(600), 'p');
      k += std::to_string(below(3000));
      return k;
    }
    case Shape::Mixed:
      return key_of(static_cast<Shape>(below(3)));
  }
  return {};
}

std::string value_of() {
  static const size_t kSizes[] = {0, 1, 7, 100, 300, 5000};
  std::string v(kSizes[below(std::size(kSizes))], '\0');
  for (char& c : v) c = static_cast<char>(below(256));
  return v;
}

// Every pair in order both ways, size, and probes of find and lower_bound.
void check_same(const LiveTable& table, const Model& model, Shape shape) {
  CHECK(table.size() == model.size());
  CHECK(table.empty() == model.empty());
  auto it = table.begin();
  for (const auto& [key, value] : model) {
    if (it == table.end()) {
      CHECK(false);
      return;
    }
    CHECK(it->first == key);
    CHECK(it->second == value);
    ++it;
  }
  CHECK(it == table.end());
  auto back = table.end();
  for (auto m = model.rbegin(); m != model.rend(); ++m) {
    --back;
    CHECK((*back).first == m->first);
  }
  CHECK(back == table.begin());
  for (int probe = 0; probe < 200; ++probe) {
    const std::string key = key_of(shape);
    auto found = table.find(key);
    auto expected = model.find(key);
    CHECK((found == table.end()) == (expected == model.end()));
    if (found != table.end() && expected != model.end()) CHECK(found->second == expected->second);
    auto lower = table.lower_bound(key);
    auto expected_lower = model.lower_bound(key);
    CHECK((lower == table.end()) == (expected_lower == model.end()));
    if (lower != table.end() && expected_lower != model.end()) CHECK(lower->first == expected_lower->first);
  }
}

// One random write on both; the table's answer must match the model's.
void random_write(LiveTable& table, Model& model, Shape shape, int erase_percent) {
  const std::string key = key_of(shape);
  auto had = model.find(key);
  if (static_cast<int>(below(100)) < erase_percent) {
    if (below(2) == 0) {
      CHECK(table.erase(key) == (had != model.end()));
    } else {
      auto taken = table.extract(key);
      CHECK(taken.has_value() == (had != model.end()));
      if (taken && had != model.end()) CHECK(taken->view() == had->second);
    }
    if (had != model.end()) model.erase(had);
    return;
  }
  const std::string value = value_of();
  if (below(2) == 0) {
    CHECK(table.insert_or_assign(key, value) == (had == model.end()));
  } else {
    auto replaced = table.exchange(key, ValueBlock(value));
    CHECK(replaced.has_value() == (had != model.end()));
    if (replaced && had != model.end()) CHECK(replaced->view() == had->second);
  }
  model[key] = value;
}

void random_bursts(Shape shape, int bursts, int per_burst) {
  LiveTable table;
  Model model;
  for (int b = 0; b < bursts; ++b) {
    // Grow, churn, then shrink, so that nodes split and merge.
    const int erase_percent = b < bursts / 3 ? 10 : b < 2 * bursts / 3 ? 45 : 80;
    for (int i = 0; i < per_burst; ++i) random_write(table, model, shape, erase_percent);
    check_same(table, model, shape);
  }
  for (auto it = model.begin(); it != model.end();) {  // erase the rest in order
    CHECK(table.erase(it->first));
    it = model.erase(it);
  }
  check_same(table, model, shape);
  CHECK(table.begin() == table.end());
}

// Replay's path: ascending appends fill nodes, then ordinary writes follow;
// a key not above the last one is still put correctly.
void bulk_then_writes(Shape shape) {
  Model model;
  for (int i = 0; i < 20000; ++i) model[key_of(shape)] = value_of();
  LiveTable table;
  for (const auto& [key, value] : model) table.append(key, value);
  check_same(table, model, shape);
  for (int i = 0; i < 20; ++i) {
    const std::string key = key_of(shape);
    const std::string value = value_of();
    table.append(key, value);  // mostly not above the last key
    model[key] = value;
  }
  check_same(table, model, shape);
  for (int i = 0; i < 20000; ++i) random_write(table, model, shape, 50);
  check_same(table, model, shape);
}

// Keys in ascending and descending order, and prefix ranges as the store
// takes them (lower_bound of the prefix up to lower_bound of its successor).
void ordered_inserts() {
  LiveTable table;
  Model model;
  for (int i = 0; i < 30000; ++i) {
    std::string key = "k" + std::to_string(1000000 + i);
    table.insert_or_assign(key, "v");
    model[key] = "v";
  }
  for (int i = 30000; i-- > 0;) {
    std::string key = "j" + std::to_string(1000000 + i);
    table.insert_or_assign(key, std::to_string(i));
    model[key] = std::to_string(i);
  }
  check_same(table, model, Shape::Tiny);
  for (int i = 0; i < 300; ++i) {
    const std::string prefix = (below(2) ? "k" : "j") + std::to_string(100000 + below(1000));
    std::string successor = prefix;
    successor.back() = static_cast<char>(successor.back() + 1);
    size_t counted = 0;
    for (auto it = table.lower_bound(prefix); it != table.lower_bound(successor); ++it) {
      CHECK(it->first.starts_with(prefix));
      ++counted;
    }
    CHECK(counted == 10);
  }
}

// A moved-from table is empty; a moved-to one frees what it held.
void moves() {
  LiveTable a;
  for (int i = 0; i < 5000; ++i) a.insert_or_assign(std::to_string(i), std::string(50, 'x'));
  LiveTable b(std::move(a));
  CHECK(a.empty() && a.begin() == a.end());
  CHECK(b.size() == 5000);
  LiveTable c;
  c.insert_or_assign("only", "one");
  c = std::move(b);
  CHECK(c.size() == 5000 && c.find("only") == c.end());
  c.clear();
  CHECK(c.empty() && c.find("1") == c.end());
}

}  // namespace

int main() {
  for (Shape shape : {Shape::Tiny, Shape::Internal, Shape::Long, Shape::Mixed}) random_bursts(shape, 30, 2000);
  for (Shape shape : {Shape::Internal, Shape::Long, Shape::Mixed}) bulk_then_writes(shape);
  ordered_inserts();
  moves();
  return native_check::finish("live_table_test");
}
