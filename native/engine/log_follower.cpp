#include "engine/log_follower.h"

#include <cerrno>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "engine/blocking.h"
#include "engine/log_record.h"
#include "util/byte_codec.h"

namespace ombrel::engine {

std::string FollowError::message() const {
  if (kind_ == Kind::Replaced) return kReplacedMessage;
  return engine_ ? engine_->message() : std::string();
}

// ---- TransactionIdSet ------------------------------------------------------------

bool TransactionIdSet::contains(uint64_t id) const {
  auto after = ranges_.upper_bound(id);
  if (after == ranges_.begin()) return false;
  return std::prev(after)->second >= id;
}

void TransactionIdSet::insert(uint64_t id) {
  auto after = ranges_.upper_bound(id);
  const bool joins_next = after != ranges_.end() && id != UINT64_MAX && after->first == id + 1;
  if (after != ranges_.begin()) {
    auto before = std::prev(after);
    if (before->second >= id) return;
    if (before->second + 1 == id) {
      before->second = joins_next ? after->second : id;
      if (joins_next) ranges_.erase(after);
      return;
    }
  }
  if (joins_next) {
    const uint64_t last = after->second;
    ranges_.erase(after);
    ranges_.emplace(id, last);
    return;
  }
  ranges_.emplace(id, id);
}

// ---- opening -----------------------------------------------------------------------

std::expected<LogFollower::Opened, FollowError> LogFollower::open(const std::string& path) {
  BlockingRegion blocking;
  auto fail = [](EngineError error) { return std::unexpected(FollowError::engine(std::move(error))); };
  auto file = File::open_read_only(path);
  if (!file) return fail(EngineError::io(file.error()));
  auto identity = file->identity();
  if (!identity) return fail(EngineError::io(identity.error()));

  LogFollower follower;
  follower.path_ = path;
  follower.identity_ = *identity;
  if (auto read = file->read_exact_at(0, follower.header_bytes_.data(), kStoreHeaderSize); !read)
    return fail(EngineError::io(read.error()));
  auto header = StoreHeader::decode(std::string_view(follower.header_bytes_.data(), kStoreHeaderSize));
  if (!header) return fail(EngineError::header(header.error()));

  auto size = file->size();
  if (!size) return fail(EngineError::io(size.error()));
  std::string log(*size > kStoreHeaderSize ? static_cast<size_t>(*size - kStoreHeaderSize) : 0, '\0');
  if (auto read = file->read_exact_at(kStoreHeaderSize, log.data(), log.size()); !read)
    return fail(EngineError::io(read.error()));
  ReplayCarry carry;
  ReplayOutcome outcome = replay_log(log, &carry);
  std::string().swap(log);
  if (outcome.failure) {
    const EngineError& error = outcome.failure->error;
    const bool damaged_frame =
        error.kind() == EngineError::Kind::Log && error.log_error().kind == StoreError::Kind::DamagedFrame;
    if (!damaged_frame) return fail(std::move(outcome.failure->error));
    follower.deferred_damage_ = DeferredDamage{outcome.failure->offset, *size};
  }
  RecoveryState* replayed = &outcome.state;
  follower.replayed_bytes_ = replayed->valid_bytes;
  follower.previous_sequence_ = replayed->last_sequence;
  follower.records_ = replayed->records;
  follower.max_tx_id_ = replayed->max_tx_id;
  for (uint64_t id : carry.committed_tx_ids) follower.committed_.insert(id);
  for (ReplayCarry::PendingOperation& op : carry.pending)
    follower.pending_[op.tx_id].push_back(Operation{op.is_delete, std::move(op.key), std::move(op.value)});
  if (auto remembered = follower.remember_last_checksum(*file); !remembered) return fail(remembered.error());

  std::unique_ptr<Store> store(
      new Store(path, StoreOptions{}, ProcessWriterGuard(std::string()), std::move(*file), *header));
  store->live_ = std::move(replayed->live);
  store->metrics_.recovery_records = replayed->records;
  store->next_tx_id_ = replayed->max_tx_id == UINT64_MAX ? UINT64_MAX : replayed->max_tx_id + 1;
  store->next_sequence_ = replayed->last_sequence == UINT64_MAX ? UINT64_MAX : replayed->last_sequence + 1;
  store->file_end_ = replayed->valid_bytes;
  store->write_refusal_ = EngineError::io(IoError::described(kReadOnlyMessage));
  return Opened{std::move(store), std::move(follower)};
}

bool LogFollower::damage_is_settled(uint64_t offset, uint64_t file_size) {
  const DeferredDamage seen{offset, file_size};
  if (deferred_damage_ == seen) return true;
  deferred_damage_ = seen;
  return false;
}

std::expected<void, EngineError> LogFollower::remember_last_checksum(const File& file) {
  if (replayed_bytes_ < kStoreHeaderSize + kRecordFrameSize) return {};
  char bytes[4];
  if (auto read = file.read_exact_at(replayed_bytes_ - sizeof bytes, bytes, sizeof bytes); !read)
    return std::unexpected(EngineError::io(read.error()));
  last_checksum_ = load_u32_le(bytes);
  return {};
}

// ---- refreshing --------------------------------------------------------------------

std::optional<FollowError> LogFollower::check_same_file(Store& store, uint64_t file_size) const {
  auto named = File::identity_of(path_);
  if (!named) {
    const int code = named.error().code;
    if (code == ENOENT || code == ENOTDIR) return FollowError::replaced();
    return FollowError::engine(EngineError::io(named.error()));
  }
  if (!(*named == identity_) || file_size < replayed_bytes_) return FollowError::replaced();
  char header[kStoreHeaderSize];
  if (auto read = store.file().read_exact_at(0, header, sizeof header); !read)
    return FollowError::engine(EngineError::io(read.error()));
  if (std::memcmp(header, header_bytes_.data(), sizeof header) != 0) return FollowError::replaced();
  if (replayed_bytes_ >= kStoreHeaderSize + kRecordFrameSize) {
    char checksum[4];
    if (auto read = store.file().read_exact_at(replayed_bytes_ - sizeof checksum, checksum, sizeof checksum); !read)
      return FollowError::engine(EngineError::io(read.error()));
    if (load_u32_le(checksum) != last_checksum_) return FollowError::replaced();
  }
  return std::nullopt;
}

std::expected<uint64_t, FollowError> LogFollower::refresh(Store& store) {
  BlockingRegion blocking;
  auto size = store.file().size();
  if (!size) return std::unexpected(FollowError::engine(EngineError::io(size.error())));
  if (auto changed = check_same_file(store, *size)) return std::unexpected(std::move(*changed));
  if (*size == replayed_bytes_) return 0;

  std::string appended(static_cast<size_t>(*size - replayed_bytes_), '\0');
  if (auto read = store.file().read_exact_at(replayed_bytes_, appended.data(), appended.size()); !read)
    return std::unexpected(FollowError::engine(EngineError::io(read.error())));

  uint64_t applied = 0;
  size_t p = 0;
  std::optional<EngineError> failure;
  while (true) {
    auto framed = next_log_record(appended, p, previous_sequence_);
    if (!framed) {
      StoreError error = framed.error();
      if (error.kind == StoreError::Kind::DamagedFrame) {
        // The walk counts offsets from the start of what it was given: this refresh's bytes.
        error.offset += replayed_bytes_ - kStoreHeaderSize;
        error.valid_offset += replayed_bytes_ - kStoreHeaderSize;
        if (!damage_is_settled(error.offset, *size)) break;
      }
      failure = EngineError::log(error);
      break;
    }
    if (!*framed) break;  // the end, or an append not yet complete
    const LogRecordView& record = (*framed)->record;
    if (auto broken = check_replayed_record(record, previous_sequence_, committed_.contains(record.tx_id), records_)) {
      failure = std::move(*broken);
      break;
    }
    switch (record.kind) {
      case RecordKind::Put: {
        auto put = parse_put_payload(record.payload);
        if (!put)
          failure = put.error();
        else
          pending_[record.tx_id].push_back(Operation{false, std::string(put->key), std::string(put->value)});
        break;
      }
      case RecordKind::Delete: {
        auto key = parse_delete_payload(record.payload);
        if (!key)
          failure = key.error();
        else
          pending_[record.tx_id].push_back(Operation{true, std::string(*key), {}});
        break;
      }
      case RecordKind::Commit: {
        if (auto it = pending_.find(record.tx_id); it != pending_.end()) {
          try {
            for (const Operation& op : it->second) {
              if (op.is_delete)
                store.apply_delete(op.key);
              else
                store.apply_put(op.key, op.value);
            }
          } catch (const std::bad_alloc&) {
            // As a writer's commit would: part of it reached the table, so nothing may be read.
            store.live_table_incomplete_ = true;
            throw;
          }
          pending_.erase(it);
        }
        committed_.insert(record.tx_id);
        ++applied;
        break;
      }
    }
    if (failure) break;
    if (record.tx_id > max_tx_id_) max_tx_id_ = record.tx_id;
    ++records_;
    previous_sequence_ = record.sequence;
    p += (*framed)->size;
    last_checksum_ = load_u32_le(appended.data() + p - 4);
  }

  replayed_bytes_ += p;
  store.file_end_ = replayed_bytes_;
  store.metrics_.recovery_records = records_;
  store.next_tx_id_ = max_tx_id_ == UINT64_MAX ? UINT64_MAX : max_tx_id_ + 1;
  store.next_sequence_ = previous_sequence_ == UINT64_MAX ? UINT64_MAX : previous_sequence_ + 1;
  if (failure) return std::unexpected(FollowError::engine(std::move(*failure)));
  return applied;
}

}  // namespace ombrel::engine
