#include "engine/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "engine/blocking.h"

namespace ombrel::engine {
namespace {

// Opened non-blocking so that a FIFO cannot stall the open, then checked to
// be a regular file before the flag is cleared again.
std::expected<int, IoError> open_with(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoError::from_errno(errno));
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return std::unexpected(IoError::from_errno(err));
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::unexpected(IoError::described(File::kNotRegularFile));
  }
  const int status = ::fcntl(fd, F_GETFL);
  if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    const int err = errno;
    ::close(fd);
    return std::unexpected(IoError::from_errno(err));
  }
  return fd;
}

// The directory part of `path` ("." for a bare name).
std::string parent_directory(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

File::~File() { close(); }

File::File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void File::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

std::expected<File, IoError> File::open_read_write_create(const std::string& path, bool* created) {
  // Exclusive first, so that the caller learns whether the name is new (a new
  // store file's directory entry must be synced).
  auto fd = open_with(path, O_RDWR | O_CREAT | O_EXCL, 0666);
  if (fd) {
    if (created != nullptr) *created = true;
    return File(*fd);
  }
  if (fd.error().code != EEXIST) return std::unexpected(fd.error());
  if (created != nullptr) *created = false;
  fd = open_with(path, O_RDWR | O_CREAT, 0666);
  if (!fd) return std::unexpected(fd.error());
  return File(*fd);
}

std::expected<File, IoError> File::open_read_only(const std::string& path) {
  auto fd = open_with(path, O_RDONLY, 0);
  if (!fd) return std::unexpected(fd.error());
  return File(*fd);
}

std::expected<File, IoError> File::open_read_write(const std::string& path) {
  auto fd = open_with(path, O_RDWR, 0);
  if (!fd) return std::unexpected(fd.error());
  return File(*fd);
}

std::expected<File, IoError> File::open_write_truncate(const std::string& path) {
  auto fd = open_with(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!fd) return std::unexpected(fd.error());
  return File(*fd);
}

std::expected<File, IoError> File::create_new(const std::string& path) {
  auto fd = open_with(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (!fd) return std::unexpected(fd.error());
  return File(*fd);
}

std::expected<void, IoError> File::remove(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

std::expected<void, IoError> File::sync_parent_directory(const std::string& path) {
  const std::string directory = parent_directory(path);
  int fd;
  do {
    fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoError::from_errno(errno));
  int rc;
  int err;
  {
    BlockingRegion blocking;
    rc = ::fsync(fd);
    err = errno;  // before the region's exit hook runs
  }
  ::close(fd);
  // Some file systems cannot sync a directory at all; their entries are as
  // durable as they will ever be.
  if (rc != 0 && err != EINVAL && err != ENOTSUP) return std::unexpected(IoError::from_errno(err));
  return {};
}

std::expected<void, IoError> File::rename_replacing(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

std::expected<void, IoError> File::rename_no_replace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return std::unexpected(IoError::from_errno(errno));
  // No RENAME_NOREPLACE here: a hard link never replaces either; then the
  // temporary name goes.
  if (::link(from.c_str(), to.c_str()) != 0) return std::unexpected(IoError::from_errno(errno));
  (void)::unlink(from.c_str());
  return {};
}

std::expected<uint64_t, IoError> File::size() const {
  struct stat st{};
  if (::fstat(fd_, &st) != 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<uint64_t>(st.st_size);
}

std::expected<void, IoError> File::read_exact_at(uint64_t offset, char* out, size_t length) const {
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_errno(errno));
    }
    if (n == 0) return std::unexpected(IoError::unexpected_eof());
    done += static_cast<size_t>(n);
  }
  return {};
}

std::expected<void, IoError> File::write_all_at(uint64_t offset, std::string_view data) {
  std::optional<BlockingRegion> blocking;
  if (data.size() >= kBlockingWriteBytes) blocking.emplace();
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_errno(errno));
    }
    if (n == 0) return std::unexpected(IoError::described("failed to write whole buffer"));
    done += static_cast<size_t>(n);
  }
  return {};
}

std::expected<void, IoError> File::truncate(uint64_t length) {
  BlockingRegion blocking;
  int rc;
  do {
    rc = ::ftruncate(fd_, static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

std::expected<void, IoError> File::sync_all() {
  BlockingRegion blocking;
  if (::fsync(fd_) != 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

std::expected<void, IoError> File::sync_data() {
  BlockingRegion blocking;
  if (::fdatasync(fd_) != 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

std::expected<void, IoError> File::lock_exclusive_nonblocking() {
  int rc;
  do {
    rc = ::flock(fd_, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

std::expected<void, IoError> File::lock_shared_nonblocking() {
  int rc;
  do {
    rc = ::flock(fd_, LOCK_SH | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

void File::unlock() {
  if (fd_ >= 0) (void)::flock(fd_, LOCK_UN);
}

std::expected<std::string, IoError> File::canonical_path(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::unexpected(IoError::from_errno(errno));
  std::string out(resolved);
  std::free(resolved);
  return out;
}

std::expected<bool, IoError> File::exists(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return false;
  return std::unexpected(IoError::from_errno(errno));
}

namespace {
File::Identity identity_from(const struct stat& st) {
  return File::Identity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}
}  // namespace

std::expected<File::Identity, IoError> File::identity() const {
  struct stat st{};
  if (::fstat(fd_, &st) != 0) return std::unexpected(IoError::from_errno(errno));
  return identity_from(st);
}

std::expected<File::Identity, IoError> File::identity_of(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(IoError::from_errno(errno));
  return identity_from(st);
}

std::expected<uint32_t, IoError> File::permissions_of(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<uint32_t>(st.st_mode & 07777);
}

std::expected<void, IoError> File::set_permissions(uint32_t bits) {
  if (::fchmod(fd_, static_cast<mode_t>(bits & 07777)) != 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

}  // namespace ombrel::engine
