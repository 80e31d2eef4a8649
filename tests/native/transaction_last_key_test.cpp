// The last key under a prefix in a transaction's view, which history appends
// use to find the next sequence: it must agree with the full merged scan
// whatever mix of committed keys, own puts and own deletes lies at the top of
// the range. Built and run by `make test` (target native_tests).
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <string>

#include "engine/store.h"
#include "engine/transaction.h"
#include "native_check.h"

using namespace ombrel::engine;

namespace {

std::filesystem::path temp_dir() {
  return std::filesystem::temp_directory_path() / ("ombrel-last-key-test-" + std::to_string(::getpid()));
}

std::string temp_store(const char* name) {
  std::filesystem::create_directories(temp_dir());
  auto path = temp_dir() / name;
  std::filesystem::remove(path);
  return path.string();
}

std::optional<std::string> last_by_scan(const Transaction& tx, std::string_view prefix) {
  auto all = tx.scan_prefix_internal(prefix);
  if (all.empty()) return std::nullopt;
  return all.back().first;
}

void fixed_cases() {
  auto store = Store::open(temp_store("fixed.omb"));
  REQUIRE(store.has_value());
  Store& s = **store;
  CHECK(s.put("p1", "c").has_value());
  CHECK(s.put("p3", "c").has_value());
  CHECK(s.put("q", "c").has_value());

  auto tx = s.begin();
  REQUIRE(tx.has_value());
  CHECK(tx->last_key_internal("p") == std::optional<std::string>("p3"));
  CHECK(!tx->last_key_internal("r").has_value());
  CHECK(tx->last_key_internal("") == last_by_scan(*tx, ""));  // the change records sort last
  CHECK(tx->put("p2", "own").has_value());
  CHECK(tx->last_key_internal("p") == std::optional<std::string>("p3"));  // a committed key above the own one
  CHECK(tx->put("p4", "own").has_value());
  CHECK(tx->last_key_internal("p") == std::optional<std::string>("p4"));
  CHECK(tx->delete_key("p4").has_value());
  CHECK(tx->delete_key("p3").has_value());
  CHECK(tx->last_key_internal("p") == std::optional<std::string>("p2"));  // deletes at the top are skipped
  CHECK(tx->delete_key("p2").has_value());
  CHECK(tx->delete_key("p1").has_value());
  CHECK(!tx->last_key_internal("p").has_value());
  CHECK(tx->put("p3", "again").has_value());
  CHECK(tx->last_key_internal("p") == std::optional<std::string>("p3"));
  // A prefix of 0xFF bytes has no successor: its range runs to the end.
  CHECK(tx->put_internal("\xff\xff", "x").has_value());
  CHECK(tx->last_key_internal("\xff") == std::optional<std::string>("\xff\xff"));
}

void agrees_with_the_scan() {
  std::mt19937 random(7);
  for (int round = 0; round < 40; ++round) {
    auto store = Store::open(temp_store("random.omb"));
    REQUIRE(store.has_value());
    Store& s = **store;
    auto key = [&] { return std::string(1, "abc"[random() % 3]) + std::to_string(random() % 6); };
    for (int i = 0; i < 8; ++i) CHECK(s.put(key(), "c").has_value());
    auto tx = s.begin();
    REQUIRE(tx.has_value());
    for (int step = 0; step < 30; ++step) {
      const std::string k = key();
      CHECK((random() % 2 ? tx->put(k, "o") : tx->delete_key(k)).has_value());
      for (std::string_view prefix : {"a", "b", "c", "b5", ""}) {
        CHECK(tx->last_key_internal(prefix) == last_by_scan(*tx, prefix));
      }
    }
  }
}

}  // namespace

int main() {
  fixed_cases();
  agrees_with_the_scan();
  std::filesystem::remove_all(temp_dir());
  return native_check::finish("transaction last-key tests");
}
