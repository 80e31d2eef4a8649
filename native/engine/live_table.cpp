#include "engine/live_table.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace ombrel::engine {

namespace live_table_detail {

struct Node {
  Node* prev;
  Node* next;
  uint16_t count;
  uint16_t heap;
  uint16_t dead;
  uint16_t prefix;
  uint8_t level;
  uint8_t unused[7];
};
static_assert(sizeof(Node) == 32 && alignof(Node) <= 16);

struct Slot {
  uint32_t head;
  uint16_t offset;
  uint16_t length;
};
static_assert(sizeof(Slot) == 8);

}  // namespace live_table_detail

namespace {

using live_table_detail::Node;
using live_table_detail::Slot;

// A 4 KiB leaf holds about 30 pairs of 15-byte keys and 100-byte values: a
// lookup reads four lines of the slot array (fetched together) and the two or
// three lines of its payload, value included.
constexpr size_t kNodeBytes = 4096;
constexpr size_t kHeaderBytes = sizeof(Node);
constexpr size_t kSlotBytes = sizeof(Slot);
constexpr size_t kSizeBytes = 4;  // the payload's leading u32
constexpr size_t kRefBytes = 8;
constexpr uint16_t kLongKey = 0xFFFF;
constexpr size_t kLongKeyBytes = 16;  // u64 length, then the block pointer
constexpr uint32_t kLongValue = 0xFFFFFFFF;
constexpr size_t kMaxInlineKey = 256;
constexpr size_t kMaxInlineValue = 256;
constexpr size_t kMaxPayloadBytes = kSizeBytes + kMaxInlineKey + kMaxInlineValue;
constexpr size_t kMaxEntryBytes = kSlotBytes + kMaxPayloadBytes;
// The largest entry fits four times into a node, so that either half of a
// split has room for the entry that caused it.
static_assert(4 * kMaxEntryBytes <= kNodeBytes - kHeaderBytes);
static_assert(kMaxInlineKey >= kLongKeyBytes && kMaxInlineValue >= kRefBytes && kMaxInlineKey < kLongKey);
static_assert(kNodeBytes <= 0xFFFF);
// Nodes on one root-to-leaf path; a height of 40 needs more keys than memory.
constexpr size_t kMaxDepth = 40;

char* bytes_of(Node* n) { return reinterpret_cast<char*>(n); }
const char* bytes_of(const Node* n) { return reinterpret_cast<const char*>(n); }
Slot* slots(Node* n) { return reinterpret_cast<Slot*>(bytes_of(n) + kHeaderBytes); }
const Slot* slots(const Node* n) { return reinterpret_cast<const Slot*>(bytes_of(n) + kHeaderBytes); }

template <class T>
T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
void store(char* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

const char* payload(const Node* n, uint32_t i) { return bytes_of(n) + slots(n)[i].offset; }

size_t key_part(uint16_t length) { return length == kLongKey ? kLongKeyBytes : length; }
// Bytes of the value part: a child or block pointer, or the value itself.
size_t value_part(bool leaf, uint32_t size) { return !leaf || size > kMaxInlineValue ? kRefBytes : size; }
size_t payload_bytes(bool leaf, const char* p, uint16_t length) {
  return kSizeBytes + key_part(length) + value_part(leaf, load<uint32_t>(p));
}

std::string_view key_of_payload(const char* p, uint16_t length) {
  if (length != kLongKey) return {p + kSizeBytes, length};
  return {load<const char*>(p + kSizeBytes + 8), static_cast<size_t>(load<uint64_t>(p + kSizeBytes))};
}

std::string_view key_at(const Node* n, uint32_t i) { return key_of_payload(payload(n, i), slots(n)[i].length); }

const char* value_part_at(const char* p, uint16_t length) { return p + kSizeBytes + key_part(length); }

Node* child_at(const Node* n, uint32_t i) { return load<Node*>(value_part_at(payload(n, i), slots(n)[i].length)); }

void set_child(Node* n, uint32_t i, Node* child) {
  store(const_cast<char*>(value_part_at(payload(n, i), slots(n)[i].length)), child);
}

// A block-held value: its bytes, past the u64 length of a long one.
std::string_view block_value(const char* block, uint32_t size) {
  if (size != kLongValue) return {block, size};
  return {block + 8, static_cast<size_t>(load<uint64_t>(block))};
}

std::string_view value_of_payload(const char* p, uint16_t length) {
  const uint32_t size = load<uint32_t>(p);
  const char* v = value_part_at(p, length);
  if (size <= kMaxInlineValue) return {v, size};
  return block_value(load<const char*>(v), size);
}

// The block a leaf payload's value lives in, or nullptr when inline.
char* value_block(const char* p, uint16_t length) {
  return load<uint32_t>(p) <= kMaxInlineValue ? nullptr : load<char*>(value_part_at(p, length));
}

// The big-endian u32 of key[prefix, prefix + 4), zero-padded. A smaller head
// means a smaller key; equal heads say nothing.
uint32_t head_of(std::string_view key, size_t prefix) {
  const size_t rest = key.size() - prefix;
  if (rest >= 4) return __builtin_bswap32(load<uint32_t>(key.data() + prefix));
  uint32_t head = 0;
  for (size_t i = 0; i < rest; ++i)
    head |= static_cast<uint32_t>(static_cast<unsigned char>(key[prefix + i])) << (24 - 8 * i);
  return head;
}

size_t common_prefix(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// A node's prefix from its fences; an absent fence is unbounded.
uint16_t fence_prefix(const std::optional<std::string_view>& low, const std::optional<std::string_view>& high) {
  if (!low || !high) return 0;
  return static_cast<uint16_t>(std::min<size_t>(common_prefix(*low, *high), 0xFFFF));
}

// The shortest key above `before` and not above `after` (before < after).
std::string_view shortest_separator(std::string_view before, std::string_view after) {
  return after.substr(0, common_prefix(before, after) + 1);
}

// Asks for the whole slot array at once: the binary search's probes then
// wait for memory together instead of one after another.
void prefetch_slots(const Node* n) {
  const char* first = bytes_of(n) + kHeaderBytes;
  const char* end = first + kSlotBytes * n->count;
  for (const char* line = first + 64; line < end; line += 64) __builtin_prefetch(line);
}

struct Search {
  uint32_t slot;
  bool exact;
};

// The first slot in [first, count) whose key is not less than `key`. Every
// key routed to the node shares its prefix, so only what follows is compared.
Search search(const Node* n, std::string_view key, uint32_t first) {
  prefetch_slots(n);
  const size_t prefix = n->prefix;
  const uint32_t head = head_of(key, prefix);
  const std::string_view rest = key.substr(prefix);
  const Slot* s = slots(n);
  uint32_t lo = first, hi = n->count;
  while (lo < hi) {
    const uint32_t mid = (lo + hi) / 2;
    if (s[mid].head < head) {
      lo = mid + 1;
    } else if (s[mid].head > head) {
      hi = mid;
    } else {
      const int c = key_at(n, mid).substr(prefix).compare(rest);
      if (c < 0) {
        lo = mid + 1;
      } else if (c > 0) {
        hi = mid;
      } else {
        return {mid, true};
      }
    }
  }
  return {lo, false};
}

// The child of an inner node whose range holds `key`: the last slot whose
// separator is not above it (slot 0 has none).
uint32_t route(const Node* n, std::string_view key) {
  const Search s = search(n, key, 1);
  return s.exact ? s.slot : s.slot - 1;
}

Node* allocate_node() { return static_cast<Node*>(::operator new(kNodeBytes)); }

void init_node(Node* n, uint8_t level, uint16_t prefix) {
  n->prev = nullptr;
  n->next = nullptr;
  n->count = 0;
  n->heap = static_cast<uint16_t>(kNodeBytes);
  n->dead = 0;
  n->prefix = prefix;
  n->level = level;
  std::memset(n->unused, 0, sizeof n->unused);
}

size_t contiguous_free(const Node* n) { return n->heap - kHeaderBytes - kSlotBytes * n->count; }
size_t total_free(const Node* n) { return contiguous_free(n) + n->dead; }
constexpr size_t kCapacity = kNodeBytes - kHeaderBytes;
size_t used_bytes(const Node* n) { return kCapacity - total_free(n); }

// One entry as it moves between nodes: its payload bytes (blocks it points
// to move with their pointers) and its key for the slot head.
struct Moving {
  const char* payload;
  uint16_t length;  // the slot's length field
  uint16_t bytes;   // payload bytes
  std::string_view key;
  size_t total() const { return kSlotBytes + bytes; }
};

Moving moving(const Node* n, uint32_t i) {
  const char* p = payload(n, i);
  const uint16_t length = slots(n)[i].length;
  return Moving{p, length, static_cast<uint16_t>(payload_bytes(n->level == 0, p, length)), key_of_payload(p, length)};
}

void write_payload(Node* n, const char* bytes, size_t size) {
  n->heap = static_cast<uint16_t>(n->heap - size);
  std::memcpy(bytes_of(n) + n->heap, bytes, size);
}

// Appends an entry at the end of a node with contiguous room for it. An inner
// node's first slot keeps only the child.
void push_entry(Node* n, const Moving& e) {
  if (n->level != 0 && n->count == 0) {
    char keyless[kSizeBytes + kRefBytes] = {};
    std::memcpy(keyless + kSizeBytes, value_part_at(e.payload, e.length), kRefBytes);
    write_payload(n, keyless, sizeof keyless);
    slots(n)[0] = Slot{0, n->heap, 0};
  } else {
    write_payload(n, e.payload, e.bytes);
    slots(n)[n->count] = Slot{head_of(e.key, n->prefix), n->heap, e.length};
  }
  ++n->count;
}

void free_long_key(const char* p, uint16_t length) {
  if (length == kLongKey) ::operator delete(load<char*>(p + kSizeBytes + 8));
}

// Rewrites a node without its dead bytes and with the heads of `prefix`.
void rebuild(Node* n, uint16_t prefix) {
  alignas(16) char copy[kNodeBytes];
  std::memcpy(copy, n, kNodeBytes);
  const Node* old = reinterpret_cast<const Node*>(copy);
  init_node(n, old->level, prefix);
  n->prev = old->prev;
  n->next = old->next;
  for (uint32_t i = 0; i < old->count; ++i) push_entry(n, moving(old, i));
}

// Inserts an entry at slot `pos` of a node with room for it in all.
void insert_entry(Node* n, uint32_t pos, const Moving& e) {
  if (contiguous_free(n) < e.total()) rebuild(n, n->prefix);
  write_payload(n, e.payload, e.bytes);
  Slot* s = slots(n);
  std::memmove(s + pos + 1, s + pos, kSlotBytes * (n->count - pos));
  s[pos] = Slot{head_of(e.key, n->prefix), n->heap, e.length};
  ++n->count;
}

// Drops slot `pos`; its payload bytes become dead (blocks it points to are
// the caller's to free or keep).
void remove_entry(Node* n, uint32_t pos) {
  Slot* s = slots(n);
  n->dead = static_cast<uint16_t>(n->dead + payload_bytes(n->level == 0, payload(n, pos), s[pos].length));
  std::memmove(s + pos, s + pos + 1, kSlotBytes * (n->count - pos - 1));
  --n->count;
}

// Makes an inner node's slot 0 keyless after the slot before it went: the
// child moves to the front of the payload and the key bytes become dead.
void drop_first_key(Node* n) {
  Slot& s = slots(n)[0];
  char* p = bytes_of(n) + s.offset;
  free_long_key(p, s.length);
  Node* child = child_at(n, 0);
  store(p, uint32_t{0});
  store(p + kSizeBytes, child);
  n->dead = static_cast<uint16_t>(n->dead + key_part(s.length));
  s.length = 0;
  s.head = 0;
}

// The payload of an entry not yet in a node, holding its own key bytes (or
// a long key's block pointer).
struct NewEntry {
  std::array<char, kMaxPayloadBytes> bytes;
  uint16_t length = 0;
  uint16_t size = 0;
  std::string_view key;

  NewEntry() = default;
  NewEntry(const NewEntry&) = delete;  // `key` may point into `bytes`
  NewEntry& operator=(const NewEntry&) = delete;
  Moving moving() const { return Moving{bytes.data(), length, size, key}; }

  // The size field and key part; `long_key` is the key's own block when it
  // is longer than kMaxInlineKey. Returns where the value part goes.
  char* start(std::string_view k, uint32_t value_size, const char* long_key) {
    store(bytes.data(), value_size);
    char* at = bytes.data() + kSizeBytes;
    if (long_key != nullptr) {
      length = kLongKey;
      store(at, static_cast<uint64_t>(k.size()));
      store(at + 8, long_key);
      key = std::string_view(long_key, k.size());
      return at + kLongKeyBytes;
    }
    length = static_cast<uint16_t>(k.size());
    if (!k.empty()) std::memcpy(at, k.data(), k.size());
    key = std::string_view(at, k.size());
    return at + k.size();
  }
  // The same key part as an entry moving elsewhere (a long key's block goes
  // with it). Returns where the value part goes.
  char* start_like(const Moving& from, uint32_t value_size) {
    store(bytes.data(), value_size);
    length = from.length;
    const size_t k = key_part(from.length);
    std::memcpy(bytes.data() + kSizeBytes, from.payload + kSizeBytes, k);
    key = from.length == kLongKey ? from.key : std::string_view(bytes.data() + kSizeBytes, from.length);
    return bytes.data() + kSizeBytes + k;
  }
  void finish(const char* value_end) { size = static_cast<uint16_t>(value_end - bytes.data()); }

  // A leaf pair: the value inline, or the pointer to `block` holding it.
  void pair(std::string_view k, std::string_view value, const char* block, const char* long_key) {
    const uint32_t value_size = static_cast<uint32_t>(std::min<size_t>(value.size(), kLongValue));
    char* v = start(k, value_size, long_key);
    if (value.size() <= kMaxInlineValue) {
      if (!value.empty()) std::memcpy(v, value.data(), value.size());
      finish(v + value.size());
    } else {
      store(v, block);
      finish(v + kRefBytes);
    }
  }
  // An inner entry: a key part and a child.
  void routing(const void* child, std::string_view k, const char* long_key) {
    char* v = start(k, 0, long_key);
    store(v, child);
    finish(v + kRefBytes);
  }
  void routing_like(const Moving& from, const void* child) {
    char* v = start_like(from, 0);
    store(v, child);
    finish(v + kRefBytes);
  }
};

// A key's own block when it is too long to sit in a node, else nullptr.
char* long_key_block(std::string_view key) {
  if (key.size() <= kMaxInlineKey) return nullptr;
  char* block = static_cast<char*>(::operator new(key.size()));
  std::memcpy(block, key.data(), key.size());
  return block;
}

// Blocks taken before a change starts, so that it cannot fail midway; those
// not used are freed.
class Reserved {
 public:
  Reserved() = default;
  Reserved(const Reserved&) = delete;
  Reserved& operator=(const Reserved&) = delete;
  ~Reserved() {
    for (size_t i = 0; i < count_; ++i) ::operator delete(nodes_[i]);
    ::operator delete(long_key);
    ::operator delete(long_separator);
  }
  void reserve_node() { nodes_[count_++] = allocate_node(); }
  Node* take_node() { return nodes_[--count_]; }  // reserve_node() covered every split

  char* long_key = nullptr;        // the new key's block
  char* long_separator = nullptr;  // a leaf split's separator's block

 private:
  std::array<Node*, 2 * kMaxDepth + 1> nodes_{};
  size_t count_ = 0;
};

struct Step {
  Node* node;
  uint32_t slot;  // the child taken, or the leaf slot
};

struct Path {
  std::array<Step, kMaxDepth> steps;
  size_t depth = 0;  // steps in use; the last is the leaf

  // The separators bounding the node at `d`: the nearest ancestors' keys
  // around the slots taken; none on an unbounded side.
  std::optional<std::string_view> low(size_t d) const {
    for (size_t a = d; a-- > 0;)
      if (steps[a].slot > 0) return key_at(steps[a].node, steps[a].slot);
    return std::nullopt;
  }
  std::optional<std::string_view> high(size_t d) const {
    for (size_t a = d; a-- > 0;)
      if (steps[a].slot + 1 < steps[a].node->count) return key_at(steps[a].node, steps[a].slot + 1);
    return std::nullopt;
  }
};

Path descend(Node* root, std::string_view key) {
  Path path;
  Node* n = root;
  while (n->level != 0) {
    const uint32_t c = route(n, key);
    path.steps[path.depth++] = Step{n, c};
    n = child_at(n, c);
  }
  path.steps[path.depth++] = Step{n, 0};
  return path;
}

// The entries of node `n` with `extra` put at `pos`: inserted, or in place
// of the entry there.
struct WithExtra {
  const Node* n;
  uint32_t pos;
  Moving extra;
  bool replaces;
  uint32_t size() const { return n->count + (replaces ? 0u : 1u); }
  Moving operator[](uint32_t i) const {
    if (i < pos) return moving(n, i);
    if (i == pos) return extra;
    return moving(n, replaces ? i : i - 1);
  }
};

// Where a full node splits: entries [0, cut) stay left. A node that grows at
// its unbounded end (keys in ascending or descending order) is left full;
// otherwise the bytes are halved.
uint32_t choose_cut(const WithExtra& all, bool bounded_low, bool bounded_high) {
  const uint32_t total = all.size();
  if (!all.replaces && all.pos == total - 1 && !bounded_high) return total - 1;
  if (!all.replaces && all.pos == 0 && !bounded_low && all.n->level == 0) return 1;
  size_t bytes = 0;
  for (uint32_t i = 0; i < total; ++i) bytes += all[i].total();
  size_t left = 0;
  uint32_t cut = 0;
  while (cut + 1 < total && left + all[cut].total() <= bytes / 2) left += all[cut++].total();
  return std::clamp<uint32_t>(cut, 1, total - 1);
}

// Lowers the prefix of `n` and of every node down its edge on `side` to at
// most `prefix`: their ranges grew over a neighbour's that went.
enum class Edge { First, Last };
void widen(Node* n, uint16_t prefix, Edge side) {
  while (true) {
    if (n->prefix > prefix) rebuild(n, prefix);
    if (n->level == 0) return;
    n = child_at(n, side == Edge::First ? 0 : n->count - 1);
  }
}

void destroy(Node* n) {
  for (uint32_t i = 0; i < n->count; ++i) {
    const char* p = payload(n, i);
    const uint16_t length = slots(n)[i].length;
    free_long_key(p, length);
    if (n->level == 0)
      ::operator delete(value_block(p, length));
    else
      destroy(child_at(n, i));
  }
  ::operator delete(n);
}

}  // namespace

// ---- values --------------------------------------------------------------------------

ValueBlock::ValueBlock(std::string_view bytes) : size_(bytes.size()) {
  if (bytes.empty()) return;
  const bool long_value = bytes.size() >= kLongValue;
  data_ = static_cast<char*>(::operator new(bytes.size() + (long_value ? 8 : 0)));
  char* at = data_;
  if (long_value) {
    store(at, static_cast<uint64_t>(bytes.size()));
    at += 8;
  }
  std::memcpy(at, bytes.data(), bytes.size());
}

ValueBlock& ValueBlock::operator=(ValueBlock&& other) noexcept {
  if (this != &other) {
    ::operator delete(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

ValueBlock::~ValueBlock() { ::operator delete(data_); }

std::string_view ValueBlock::view() const {
  if (data_ == nullptr) return {};
  return {size_ >= kLongValue ? data_ + 8 : data_, size_};
}

ValueBlock LiveTable::value_out(const char* p, uint16_t key_length) {
  const uint32_t size = load<uint32_t>(p);
  if (size <= kMaxInlineValue) return ValueBlock(std::string_view(value_part_at(p, key_length), size));
  ValueBlock value;
  value.data_ = value_block(p, key_length);
  value.size_ = block_value(value.data_, size).size();
  return value;
}

// ---- iteration -----------------------------------------------------------------------

LiveTable::Entry LiveTable::const_iterator::operator*() const {
  const char* p = payload(leaf_, slot_);
  const uint16_t length = slots(leaf_)[slot_].length;
  return Entry{key_of_payload(p, length), value_of_payload(p, length)};
}

LiveTable::const_iterator& LiveTable::const_iterator::operator++() {
  if (++slot_ == leaf_->count && leaf_->next != nullptr) {
    leaf_ = leaf_->next;
    slot_ = 0;
    // A walk goes on through this leaf and probably the next: ask for the
    // next one while this one is read (its payloads lie at descending
    // addresses, which the hardware's own prefetch follows poorly).
    if (const Node* after = leaf_->next; after != nullptr)
      for (size_t line = 0; line < kNodeBytes; line += 64) __builtin_prefetch(bytes_of(after) + line);
  }
  return *this;
}

LiveTable::const_iterator& LiveTable::const_iterator::operator--() {
  if (slot_ == 0) {
    leaf_ = leaf_->prev;
    slot_ = leaf_->count;
  }
  --slot_;
  return *this;
}

LiveTable::const_iterator LiveTable::begin() const { return const_iterator(first_leaf_, 0); }

LiveTable::const_iterator LiveTable::end() const {
  return const_iterator(last_leaf_, last_leaf_ == nullptr ? 0 : last_leaf_->count);
}

bool LiveTable::operator==(const LiveTable& other) const {
  if (size_ != other.size_) return false;
  for (auto a = begin(), b = other.begin(); a != end(); ++a, ++b)
    if (a->first != b->first || a->second != b->second) return false;
  return true;
}

// ---- lookups -------------------------------------------------------------------------

LiveTable::const_iterator LiveTable::lower_bound(std::string_view key) const {
  if (root_ == nullptr) return end();
  const Node* n = root_;
  while (n->level != 0) n = child_at(n, route(n, key));
  const Search s = search(n, key, 0);
  if (s.slot == n->count && n->next != nullptr) return const_iterator(n->next, 0);
  return const_iterator(n, s.slot);
}

LiveTable::const_iterator LiveTable::find(std::string_view key) const {
  if (root_ == nullptr) return end();
  const Node* n = root_;
  while (n->level != 0) n = child_at(n, route(n, key));
  const Search s = search(n, key, 0);
  return s.exact ? const_iterator(n, s.slot) : end();
}

// ---- writes --------------------------------------------------------------------------

LiveTable::LiveTable(LiveTable&& other) noexcept
    : root_(std::exchange(other.root_, nullptr)),
      first_leaf_(std::exchange(other.first_leaf_, nullptr)),
      last_leaf_(std::exchange(other.last_leaf_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

LiveTable& LiveTable::operator=(LiveTable&& other) noexcept {
  if (this != &other) {
    clear();
    root_ = std::exchange(other.root_, nullptr);
    first_leaf_ = std::exchange(other.first_leaf_, nullptr);
    last_leaf_ = std::exchange(other.last_leaf_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

LiveTable::~LiveTable() { clear(); }

void LiveTable::clear() {
  if (root_ != nullptr) destroy(root_);
  root_ = first_leaf_ = last_leaf_ = nullptr;
  size_ = 0;
}

bool LiveTable::insert_or_assign(std::string_view key, std::string_view value) {
  bool existed = false;
  put(key, value, nullptr, false, existed);
  return !existed;
}

std::optional<ValueBlock> LiveTable::exchange(std::string_view key, std::string_view value) {
  bool existed = false;
  return put(key, value, nullptr, true, existed);
}

std::optional<ValueBlock> LiveTable::exchange(std::string_view key, ValueBlock value) {
  bool existed = false;
  return put(key, value.view(), &value, true, existed);
}

void LiveTable::append(std::string_view key, std::string_view value) {
  Node* last = last_leaf_;
  if (last != nullptr && key.size() <= kMaxInlineKey && value.size() <= kMaxInlineValue &&
      key > key_at(last, last->count - 1)) {
    NewEntry entry;
    entry.pair(key, value, nullptr, nullptr);
    if (contiguous_free(last) >= entry.moving().total()) {
      push_entry(last, entry.moving());
      ++size_;
      return;
    }
  }
  insert_or_assign(key, value);
}

std::optional<ValueBlock> LiveTable::put(std::string_view key, std::string_view value, ValueBlock* block, bool keep_old,
                                         bool& existed) {
  if (root_ == nullptr) {
    Node* leaf = allocate_node();
    init_node(leaf, 0, 0);
    root_ = first_leaf_ = last_leaf_ = leaf;
  }
  Path path = descend(root_, key);
  const size_t leaf_depth = path.depth - 1;
  Node* leaf = path.steps[leaf_depth].node;
  const Search found = search(leaf, key, 0);
  path.steps[leaf_depth].slot = found.slot;
  existed = found.exact;

  // Everything that can fail comes first: the value's block, the replaced
  // value's copy, the key's block, and for a split every node it may need.
  Reserved reserved;
  ValueBlock made;
  if (value.size() > kMaxInlineValue && block == nullptr) {
    made = ValueBlock(value);
    block = &made;
  }
  std::optional<ValueBlock> old;
  const char* old_payload = found.exact ? payload(leaf, found.slot) : nullptr;
  const uint16_t old_length = found.exact ? slots(leaf)[found.slot].length : 0;
  char* const replaced_block = found.exact ? value_block(old_payload, old_length) : nullptr;
  // An inline value is copied out now; a block is handed over once nothing
  // can fail any more.
  if (found.exact && keep_old && replaced_block == nullptr) old = value_out(old_payload, old_length);
  const uint32_t replaced_size = found.exact ? load<uint32_t>(old_payload) : 0;

  // Two buffers for the entry that climbs: one level's separator is built
  // from the entry below it, which must outlive that.
  std::array<NewEntry, 2> climbing;
  const char* value_block_data = value.size() > kMaxInlineValue ? block->data_ : nullptr;
  if (found.exact) {
    // The key part stays as it is (a long key keeps its block).
    const Moving same = moving(leaf, found.slot);
    const uint32_t value_size = static_cast<uint32_t>(std::min<size_t>(value.size(), kLongValue));
    char* v = climbing[0].start_like(same, value_size);
    if (value.size() <= kMaxInlineValue) {
      if (!value.empty()) std::memcpy(v, value.data(), value.size());
      climbing[0].finish(v + value.size());
    } else {
      store(v, value_block_data);
      climbing[0].finish(v + kRefBytes);
    }
  } else {
    reserved.long_key = long_key_block(key);
    climbing[0].pair(key, value, value_block_data, reserved.long_key);
  }
  const Moving entry = climbing[0].moving();

  auto committed = [&] {
    // The table owns the new value's block and key block now; the replaced
    // block goes to the caller or away.
    if (block != nullptr && value_block_data != nullptr) block->data_ = nullptr;
    reserved.long_key = nullptr;
    if (replaced_block != nullptr) {
      if (keep_old) {
        old.emplace();
        old->data_ = replaced_block;
        old->size_ = block_value(replaced_block, replaced_size).size();
      } else {
        ::operator delete(replaced_block);
      }
    }
    if (!found.exact) ++size_;
  };

  const size_t old_bytes = found.exact ? moving(leaf, found.slot).total() : 0;
  if (total_free(leaf) + old_bytes >= entry.total()) {
    if (found.exact) {
      const size_t old_payload_bytes = old_bytes - kSlotBytes;
      if (old_payload_bytes == entry.bytes) {
        std::memcpy(const_cast<char*>(old_payload), entry.payload, entry.bytes);
      } else {
        // The key part is kept above, so no block is freed with the slot.
        remove_entry(leaf, found.slot);
        insert_entry(leaf, found.slot, entry);
      }
    } else {
      insert_entry(leaf, found.slot, entry);
    }
    committed();
    return old;
  }

  // The leaf splits, and maybe its ancestors. An ancestor with room for the
  // largest entry ends the climb.
  const WithExtra leaf_entries{leaf, found.slot, entry, found.exact};
  const std::optional<std::string_view> leaf_low = path.low(leaf_depth);
  const std::optional<std::string_view> leaf_high = path.high(leaf_depth);
  const uint32_t leaf_cut = choose_cut(leaf_entries, leaf_low.has_value(), leaf_high.has_value());
  const std::string_view leaf_separator =
      shortest_separator(leaf_entries[leaf_cut - 1].key, leaf_entries[leaf_cut].key);
  reserved.long_separator = long_key_block(leaf_separator);
  reserved.reserve_node();
  reserved.reserve_node();
  for (size_t d = leaf_depth;; --d) {
    if (d == 0) {
      reserved.reserve_node();  // a new root
      break;
    }
    if (total_free(path.steps[d - 1].node) >= kMaxEntryBytes) break;
    reserved.reserve_node();
    reserved.reserve_node();
  }
  // Nothing fails from here on.
  committed();
  char* const long_separator = std::exchange(reserved.long_separator, nullptr);

  // Split nodes are replaced by two new halves and freed at the end, so that
  // views into them (fences, separators) stay valid during the climb.
  std::array<Node*, kMaxDepth> retired{};
  size_t retired_count = 0;
  size_t d = leaf_depth;
  uint32_t pos = found.slot;
  bool replaces = found.exact;
  size_t turn = 0;  // climbing[turn] goes into the node at depth d
  while (true) {
    Node* n = path.steps[d].node;
    const Moving extra = climbing[turn].moving();
    if (!replaces && total_free(n) >= extra.total()) {
      insert_entry(n, pos, extra);
      break;
    }
    const WithExtra all{n, pos, extra, replaces};
    const std::optional<std::string_view> low = path.low(d);
    const std::optional<std::string_view> high = path.high(d);
    const uint32_t cut = n->level == 0 ? leaf_cut : choose_cut(all, low.has_value(), high.has_value());
    const std::string_view separator = n->level == 0 ? leaf_separator : all[cut].key;
    Node* left = reserved.take_node();
    Node* right = reserved.take_node();
    init_node(left, n->level, fence_prefix(low, separator));
    init_node(right, n->level, fence_prefix(separator, high));
    for (uint32_t i = 0; i < cut; ++i) push_entry(left, all[i]);
    for (uint32_t i = cut; i < all.size(); ++i) push_entry(right, all[i]);  // an inner right drops its first key

    // The separator goes up with the right half as its child: a leaf's is
    // new bytes, an inner node's is the first right key (with its block).
    NewEntry& up = climbing[1 - turn];
    if (n->level == 0)
      up.routing(right, separator, long_separator);
    else
      up.routing_like(all[cut], right);
    if (n->level == 0) {
      left->prev = n->prev;
      left->next = right;
      right->prev = left;
      right->next = n->next;
      if (n->prev != nullptr)
        n->prev->next = left;
      else
        first_leaf_ = left;
      if (n->next != nullptr)
        n->next->prev = right;
      else
        last_leaf_ = right;
    }
    retired[retired_count++] = n;
    turn = 1 - turn;
    replaces = false;

    if (d == 0) {
      Node* root = reserved.take_node();
      init_node(root, static_cast<uint8_t>(n->level + 1), 0);
      NewEntry first;
      first.routing(left, {}, nullptr);
      push_entry(root, first.moving());
      push_entry(root, climbing[turn].moving());
      root_ = root;
      break;
    }
    --d;
    set_child(path.steps[d].node, path.steps[d].slot, left);
    pos = path.steps[d].slot + 1;
  }
  for (size_t i = 0; i < retired_count; ++i) ::operator delete(retired[i]);
  return old;
}

bool LiveTable::erase(std::string_view key) {
  bool existed = false;
  remove(key, false, existed);
  return existed;
}

std::optional<ValueBlock> LiveTable::extract(std::string_view key) {
  bool existed = false;
  return remove(key, true, existed);
}

std::optional<ValueBlock> LiveTable::remove(std::string_view key, bool keep_old, bool& existed) {
  if (root_ == nullptr) return std::nullopt;
  Path path = descend(root_, key);
  Node* leaf = path.steps[path.depth - 1].node;
  const Search found = search(leaf, key, 0);
  if (!found.exact) return std::nullopt;
  existed = true;
  const char* p = payload(leaf, found.slot);
  const uint16_t length = slots(leaf)[found.slot].length;
  std::optional<ValueBlock> before;
  if (keep_old)
    before = value_out(p, length);  // the only step that can fail
  else
    ::operator delete(value_block(p, length));
  free_long_key(p, length);
  remove_entry(leaf, found.slot);
  --size_;

  // Climb while a node is empty (it goes, a neighbour takes its range) or
  // small enough to merge with a neighbour under the same parent.
  for (size_t d = path.depth - 1; d > 0; --d) {
    Node* n = path.steps[d].node;
    Node* parent = path.steps[d - 1].node;
    const uint32_t at = path.steps[d - 1].slot;
    const uint8_t level = n->level;
    if (n->count == 0) {
      if (level == 0) {
        if (n->prev != nullptr)
          n->prev->next = n->next;
        else
          first_leaf_ = n->next;
        if (n->next != nullptr)
          n->next->prev = n->prev;
        else
          last_leaf_ = n->prev;
      }
      const uint16_t prefix = n->prefix;
      ::operator delete(n);
      free_long_key(payload(parent, at), slots(parent)[at].length);
      remove_entry(parent, at);
      if (parent->count == 0) continue;  // the parent goes next
      if (at > 0) {
        widen(child_at(parent, at - 1), prefix, Edge::Last);
      } else {
        drop_first_key(parent);
        widen(child_at(parent, 0), prefix, Edge::First);
      }
      continue;
    }
    if (used_bytes(n) >= kCapacity / 4 || parent->count < 2) break;
    // Merge with the right neighbour, or with the left one when n is last.
    const uint32_t left_at = at + 1 < parent->count ? at : at - 1;
    Node* left = child_at(parent, left_at);
    Node* right = child_at(parent, left_at + 1);
    const Moving separator = moving(parent, left_at + 1);
    // An inner right node's first slot takes the separator as its key.
    const size_t separator_bytes = level == 0 ? 0 : key_part(separator.length);
    if (used_bytes(left) + used_bytes(right) + separator_bytes > kCapacity) break;
    rebuild(left, std::min(left->prefix, right->prefix));
    for (uint32_t i = 0; i < right->count; ++i) {
      if (i == 0 && level != 0) {
        NewEntry first;
        first.routing_like(separator, child_at(right, 0));
        push_entry(left, first.moving());
      } else {
        push_entry(left, moving(right, i));
      }
    }
    if (level == 0) {
      free_long_key(separator.payload, separator.length);
      left->next = right->next;
      if (right->next != nullptr)
        right->next->prev = left;
      else
        last_leaf_ = left;
    }
    ::operator delete(right);
    remove_entry(parent, left_at + 1);
  }

  // A root with one child hands over to it; an empty root goes.
  while (root_->level != 0 && root_->count == 1) {
    Node* only = child_at(root_, 0);
    ::operator delete(root_);
    root_ = only;
  }
  if (root_->count == 0) {
    ::operator delete(root_);
    root_ = first_leaf_ = last_leaf_ = nullptr;
  }
  return before;
}

}  // namespace ombrel::engine
