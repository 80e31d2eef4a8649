// The live table: an ordered map from byte-string keys to byte-string values,
// laid out so that a lookup among millions of keys touches few cache lines.
//
// Contract:
// - Keys are ordered by unsigned bytes, shorter before longer (a prefix sorts
//   before its extensions), so the keys under a prefix form one range.
// - Iteration yields Entry{first = key, second = value} as views into the
//   table; every write (insert, assign, erase, append, clear) invalidates all
//   iterators and views.
// - Allocation failure throws std::bad_alloc and leaves the table as it was.
// - exchange/extract hand back a replaced or removed value as a ValueBlock:
//   a value held in its own block is handed over without copying its bytes,
//   a small one held in its leaf is copied out.
// - append is the fast path for keys given in ascending order (replay); a key
//   not above the last one is put the ordinary way.
//
// Layout: a B+tree. Leaves hold the pairs, inner nodes route by separator
// keys, and leaves are chained both ways for iteration. Every node is one
// 4 KiB allocation in the slotted format below, so a search reads a node's
// compact slot array (fetched at once) and then one payload. Slots grow up
// from the header, payloads down from the end. Keys of up to 256 bytes sit in
// the node; longer ones (kLongKey) have a block of their own. A value of up
// to 256 bytes (kMaxInlineValue) sits in its leaf next to its key: a lookup
// reads a line more, not an allocation more. A longer value is a ValueBlock
// of its own, so that it moves in and out of the table without being copied.
// Nodes split in halves by bytes, except that a node growing at the unbounded
// end of its level (ascending or descending keys, and replay) is left full;
// a node under a quarter full merges with a neighbour when both fit in one.
//
//   node header
//   offset  width  field
//   0       8      prev     leaves: the leaf before (nullptr in inner nodes)
//   8       8      next     leaves: the leaf after
//   16      2      count    slots in use
//   18      2      heap     offset of the lowest payload byte
//   20      2      dead     payload bytes freed but not yet compacted away
//   22      2      prefix   bytes that every key routed to this node shares
//   24      1      level    0 for a leaf, the height above the leaves otherwise
//   25      7      unused
//   32      8*n    slots    sorted by key, below
//
//   slot (8 bytes)
//   0       4      head     the 4 key bytes after `prefix`, big-endian,
//                           zero-padded: a differing head orders two keys
//                           without reading them; equal heads compare keys
//   4       2      offset   where the slot's payload starts in the node
//   6       2      length   key length, or kLongKey when stored outside
//
//   payload
//   0       4      size     leaf: the value length (kLongValue when it does
//                           not fit 32 bits); inner: 0
//   4       k      key      the key bytes, or for a kLongKey slot the u64
//                           key length and the pointer to its own block
//   4+k     v      value    leaf: the value bytes when size <= kMaxInlineValue,
//                           else the 8-byte pointer to its ValueBlock (which
//                           starts with a u64 length when size is kLongValue);
//                           inner: the 8-byte pointer to the child node
//
// `prefix` is the common prefix of the node's fences (the separators that
// bound the keys the node may ever hold), so it stays true as keys come and
// go; the first and last node of each level are unbounded on one side and
// have prefix 0. An inner node's first slot routes everything below its second
// separator; its key is never compared and is stored empty. Separators are
// the shortest byte strings that tell the neighbouring keys apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

namespace ombrel::engine {

namespace live_table_detail {
struct Node;
}

// A value held outside the table's nodes: the bytes of one value in one
// allocation, moved in and out of the table without copying.
class ValueBlock {
 public:
  ValueBlock() = default;
  explicit ValueBlock(std::string_view bytes);
  ValueBlock(ValueBlock&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  ValueBlock& operator=(ValueBlock&& other) noexcept;
  ValueBlock(const ValueBlock&) = delete;
  ValueBlock& operator=(const ValueBlock&) = delete;
  ~ValueBlock();

  std::string_view view() const;
  size_t size() const { return size_; }

 private:
  friend class LiveTable;
  // A long value's block starts with its u64 length (see kLongValue).
  char* data_ = nullptr;
  size_t size_ = 0;
};

class LiveTable {
 public:
  struct Entry {
    std::string_view first;   // the key
    std::string_view second;  // the value
  };

  class const_iterator {
   public:
    using iterator_category = std::bidirectional_iterator_tag;
    using iterator_concept = std::bidirectional_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using reference = Entry;
    struct pointer {
      Entry entry;
      const Entry* operator->() const { return &entry; }
    };

    const_iterator() = default;
    Entry operator*() const;
    pointer operator->() const { return pointer{**this}; }
    const_iterator& operator++();
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    const_iterator& operator--();
    const_iterator operator--(int) {
      const_iterator before = *this;
      --*this;
      return before;
    }
    bool operator==(const const_iterator&) const = default;

   private:
    friend class LiveTable;
    const_iterator(const live_table_detail::Node* leaf, uint32_t slot) : leaf_(leaf), slot_(slot) {}
    // end() is one past the last leaf's last slot, so that --end() works.
    const live_table_detail::Node* leaf_ = nullptr;
    uint32_t slot_ = 0;
  };
  using iterator = const_iterator;

  LiveTable() = default;
  LiveTable(LiveTable&& other) noexcept;
  LiveTable& operator=(LiveTable&& other) noexcept;
  LiveTable(const LiveTable&) = delete;
  LiveTable& operator=(const LiveTable&) = delete;
  ~LiveTable();

  // The same pairs in both.
  bool operator==(const LiveTable& other) const;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const_iterator begin() const;
  const_iterator end() const;
  const_iterator find(std::string_view key) const;
  // The first key not less than `key`.
  const_iterator lower_bound(std::string_view key) const;

  // Puts `value` under `key`; whether the key was new.
  bool insert_or_assign(std::string_view key, std::string_view value);
  // Puts `value` under `key` and hands back the value it replaced.
  std::optional<ValueBlock> exchange(std::string_view key, std::string_view value);
  std::optional<ValueBlock> exchange(std::string_view key, ValueBlock value);
  // Removes `key`; whether it was there.
  bool erase(std::string_view key);
  // Removes `key` and hands back its value.
  std::optional<ValueBlock> extract(std::string_view key);
  // Puts a pair whose key is above every key in the table at the end,
  // filling nodes completely; any other key is put the ordinary way.
  void append(std::string_view key, std::string_view value);
  void clear();

 private:
  // The one write path: `block`, when given, holds `value` and is taken
  // over; `keep_old` asks for the replaced value; `existed` tells whether
  // there was one.
  std::optional<ValueBlock> put(std::string_view key, std::string_view value, ValueBlock* block, bool keep_old,
                                bool& existed);
  // The one removal path, the same way.
  std::optional<ValueBlock> remove(std::string_view key, bool keep_old, bool& existed);
  // The value of a leaf payload as a ValueBlock: a block is taken over, an
  // inline value copied.
  static ValueBlock value_out(const char* entry_payload, uint16_t key_length);

  live_table_detail::Node* root_ = nullptr;
  live_table_detail::Node* first_leaf_ = nullptr;
  live_table_detail::Node* last_leaf_ = nullptr;
  size_t size_ = 0;
};

}  // namespace ombrel::engine
