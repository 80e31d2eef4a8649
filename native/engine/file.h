// The engine's one door to the file system: a move-only owner of a POSIX file
// descriptor with positioned reads and writes, size, truncate, the two sync
// flavours and whole-file advisory locks. Every store, verification and copy
// goes through it, so tests can inject faults beneath it (an LD_PRELOAD shim
// over write/pwrite/fsync/fdatasync/ftruncate) without changing the product.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "engine/io_error.h"

namespace ombrel::engine {

class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Read-write, created with mode 0666 (before umask) if missing, never truncated.
  // `created` (optional) tells whether this call made the file.
  static std::expected<File, IoError> open_read_write_create(const std::string& path, bool* created = nullptr);
  static std::expected<File, IoError> open_read_only(const std::string& path);
  // Read-write; the file must exist.
  static std::expected<File, IoError> open_read_write(const std::string& path);
  // Write-only, created with mode 0666 (before umask) if missing, truncated.
  static std::expected<File, IoError> open_write_truncate(const std::string& path);
  // Write-only, created with mode 0666 (before umask); fails with EEXIST when
  // the name exists in any form, a dangling symbolic link included.
  static std::expected<File, IoError> create_new(const std::string& path);
  // Removes the name from its directory.
  static std::expected<void, IoError> remove(const std::string& path);
  // Every open refuses what is not a regular file (a FIFO, a device, a
  // directory) with NotRegularFile, promptly: the open itself never waits
  // for a FIFO's other end.
  static constexpr const char* kNotRegularFile = "not a regular file";

  // Directory entries reach the disk only when their directory is synced:
  // after creating, renaming or removing a name that must survive a power
  // loss, sync the directory that holds it.
  static std::expected<void, IoError> sync_parent_directory(const std::string& path);
  // Moves `from` to `to`, replacing an existing `to` atomically.
  static std::expected<void, IoError> rename_replacing(const std::string& from, const std::string& to);
  // Moves `from` to `to` only if `to` does not exist (EEXIST otherwise), in
  // one step; never replaces, even when another process creates `to` at the
  // same moment.
  static std::expected<void, IoError> rename_no_replace(const std::string& from, const std::string& to);

  std::expected<uint64_t, IoError> size() const;
  // Reads exactly out.size() bytes at `offset`; a short file is unexpected_eof.
  std::expected<void, IoError> read_exact_at(uint64_t offset, char* out, size_t length) const;
  // Writes all of `data` at `offset`, in one request when the kernel allows.
  std::expected<void, IoError> write_all_at(uint64_t offset, std::string_view data);
  std::expected<void, IoError> truncate(uint64_t length);
  std::expected<void, IoError> sync_all();
  std::expected<void, IoError> sync_data();
  std::expected<void, IoError> lock_exclusive_nonblocking();
  std::expected<void, IoError> lock_shared_nonblocking();
  void unlock();  // errors ignored: the lock goes with the descriptor anyway
  // Absolute path with links and relative parts resolved.
  static std::expected<std::string, IoError> canonical_path(const std::string& path);
  // Whether the path names an existing file (links followed); ENOENT and
  // ENOTDIR are "no", any other failure is an error.
  static std::expected<bool, IoError> exists(const std::string& path);

  // The (device, inode) pair: two names of one file, hard links included,
  // have the same identity.
  struct Identity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const Identity&) const = default;
  };
  std::expected<Identity, IoError> identity() const;
  static std::expected<Identity, IoError> identity_of(const std::string& path);

  // Permission bits (the low 12 bits of the mode) of the file a path names,
  // links followed; and setting them on this file. A file that replaces
  // another keeps that one's permissions this way.
  static std::expected<uint32_t, IoError> permissions_of(const std::string& path);
  std::expected<void, IoError> set_permissions(uint32_t bits);

  void close();

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace ombrel::engine
