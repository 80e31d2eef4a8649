/* Power-loss recorder for the test-suite, loaded with LD_PRELOAD into a child
 * process. Like iofault.c it leaves the product untouched: it wraps the libc
 * calls that change files and directory entries under one directory, lets
 * each happen, and appends a record of it to a journal. From the journal,
 * tests/faults/powerloss.py rebuilds what a disk may hold if the power goes
 * after any number of those operations (a "drop point"), without running the
 * child again: what a process did after the drop point cannot change what
 * the disk held at it.
 *
 * What is recorded (only for paths at or below OMBREL_POWERLOSS_DIR, once
 * the call succeeded; each record is one "operation", marks excepted):
 *   open/openat/creat    that create a file or truncate one (O_TRUNC)
 *   write/pwrite         the bytes and their offset (write: from the file
 *                        position after the call, so O_APPEND is right too)
 *   ftruncate            the new length
 *   fsync/fdatasync      on a file (its content becomes durable) or on a
 *                        directory (its entries become durable)
 *   rename/renameat/renameat2, link/linkat, unlink/unlinkat
 *   marks                bytes written to OMBREL_POWERLOSS_MARKS, in order
 *                        with the operations: a child's acknowledgements
 * Calls that change tracked files in ways the model does not follow
 * (writev, pwritev, sendfile, copy_file_range, fallocate, truncate by path,
 * O_TMPFILE, linkat with AT_EMPTY_PATH, removing a directory) are recorded as
 * "unmodelled", and rebuilding refuses the journal instead of guessing. Not
 * seen at all: writes through memory maps and through descriptors copied
 * with dup or fcntl. Each record is one append to the journal, so threads
 * may record side by side; a sync is recorded as it begins, so that writes
 * other threads make while it runs do not count as covered by it, and syncs
 * are assumed to succeed. A little-endian machine is assumed.
 *
 * The model, applied by powerloss.py (POSIX worst case): a file holds what
 * it held at its last successful fsync or fdatasync (a file never synced is
 * empty); a directory holds the entries it had at its last fsync. Changes
 * since then may have reached the disk in order, the metadata ones (names,
 * truncations) ahead of data, so a rename whose file was not synced first
 * can carry an empty or stale file.
 *
 * Environment, read by this file alone (without DIR and JOURNAL it only
 * passes calls through):
 *   OMBREL_POWERLOSS_DIR      the directory tracked, with everything below it
 *   OMBREL_POWERLOSS_JOURNAL  file the records are appended to; successive
 *                             processes may share one
 *   OMBREL_POWERLOSS_MARKS    an existing file whose writes become marks
 *   OMBREL_POWERLOSS_STOP_AT  N: end the process with _exit(86) instead of
 *                             performing its operation N + 1 (a crash that
 *                             keeps the page cache; counted per process)
 *   OMBREL_POWERLOSS_SYNC_US  each file sync takes this many microseconds
 *                             more, as on a real disk, so that threads
 *                             committing side by side pile up behind it
 *
 * Journal record: u32 length of what follows, u8 kind, then by kind
 *   1 open      u64 inode, u8 created, u8 truncated, path
 *   2 write     u64 inode, u64 offset, bytes
 *   3 truncate  u64 inode, u64 length
 *   4 sync      u64 inode, u8 data only (fdatasync)
 *   5 sync dir  path
 *   6 rename    u32 flags, u32 length of the old path, old path, new path
 *   7 link      u32 length of the old path, old path, new path
 *   8 unlink    path
 *   9 mark      bytes
 *   10 unmodelled  name of the call
 * Paths are absolute, with the directory part resolved (realpath).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

enum record {
  REC_OPEN = 1, REC_WRITE, REC_TRUNCATE, REC_SYNC, REC_SYNC_DIR, REC_RENAME, REC_LINK, REC_UNLINK, REC_MARK,
  REC_UNMODELLED
};
enum { STOP_STATUS = 86, MAX_FDS = 4096 };
enum fd_kind { FD_NONE, FD_FILE, FD_DIR, FD_MARKS };

struct tracked {
  unsigned char kind;
  uint64_t inode;
  char* path; /* directories: for their sync records */
};

static struct {
  int ready, active, journal;
  char root[PATH_MAX];
  size_t root_len;
  char marks[PATH_MAX];
  long stop_at, operations, sync_us;
} g = {.journal = -1, .stop_at = -1};
static struct tracked fds[MAX_FDS];

/* The next definition of `name` after this library: libc's, or a sanitizer's. */
#define REAL(name)                           \
  static __typeof__(&name) real_##name;      \
  if (!real_##name) real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

static void init(void) {
  if (g.ready) return;
  g.ready = 1;
  const char* root = getenv("OMBREL_POWERLOSS_DIR");
  const char* journal = getenv("OMBREL_POWERLOSS_JOURNAL");
  if (!root || !*root || !journal || !*journal || !realpath(root, g.root)) return;
  g.root_len = strlen(g.root);
  const char* marks = getenv("OMBREL_POWERLOSS_MARKS");
  if (marks && *marks && !realpath(marks, g.marks)) g.marks[0] = '\0';
  const char* stop = getenv("OMBREL_POWERLOSS_STOP_AT");
  if (stop && *stop) g.stop_at = strtol(stop, NULL, 10);
  const char* sync_us = getenv("OMBREL_POWERLOSS_SYNC_US");
  if (sync_us && *sync_us) g.sync_us = strtol(sync_us, NULL, 10);
  REAL(openat);
  g.journal = real_openat(AT_FDCWD, journal, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  g.active = g.journal >= 0;
}

static int under_root(const char* path) {
  return strncmp(path, g.root, g.root_len) == 0 && (path[g.root_len] == '/' || path[g.root_len] == '\0');
}

static int fd_path(int fd, char* out) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, out, PATH_MAX - 1);
  if (n < 0) return -1;
  out[n] = '\0';
  return 0;
}

/* `path` (relative to `dirfd`) made absolute, its directory part resolved;
 * the last component is kept as written, since it may not exist yet. */
static int resolve(int dirfd, const char* path, char* out) {
  char joined[2 * PATH_MAX], base[PATH_MAX], directory[PATH_MAX];
  if (path[0] == '/') {
    if ((size_t)snprintf(joined, sizeof joined, "%s", path) >= sizeof joined) return -1;
  } else {
    if (dirfd == AT_FDCWD ? getcwd(base, sizeof base) == NULL : fd_path(dirfd, base) != 0) return -1;
    if ((size_t)snprintf(joined, sizeof joined, "%s/%s", base, path) >= sizeof joined) return -1;
  }
  size_t n = strlen(joined);
  while (n > 1 && joined[n - 1] == '/') joined[--n] = '\0';
  char* slash = strrchr(joined, '/');
  *slash = '\0';
  if (!realpath(joined[0] ? joined : "/", directory)) return -1;
  int n_out = snprintf(out, PATH_MAX, "%s/%s", strcmp(directory, "/") == 0 ? "" : directory, slash + 1);
  return n_out > 0 && n_out < PATH_MAX ? 0 : -1;
}

static struct tracked* entry(int fd) {
  init();
  if (!g.active || fd < 0 || fd >= MAX_FDS || fds[fd].kind == FD_NONE) return NULL;
  return &fds[fd];
}

static void append(unsigned char kind, const void* a, size_t a_len, const void* b, size_t b_len) {
  REAL(writev);
  unsigned char head[5];
  uint32_t length = (uint32_t)(1 + a_len + b_len);
  memcpy(head, &length, 4);
  head[4] = kind;
  struct iovec parts[3] = {{head, 5}, {(void*)a, a_len}, {(void*)b, b_len}};
  /* A journal cut short would make every later drop point wrong. */
  if (real_writev(g.journal, parts, 3) != (ssize_t)(5 + a_len + b_len)) abort();
  if (kind != REC_MARK) g.operations++;
}

static void append_path(unsigned char kind, const void* fixed, size_t fixed_len, const char* path) {
  append(kind, fixed, fixed_len, path, strlen(path));
}

/* A crash (not a power loss) in place of the next tracked operation. */
static void before_operation(void) {
  if (g.stop_at >= 0 && g.operations >= g.stop_at) _exit(STOP_STATUS);
}

static void unmodelled(const char* call) { append(REC_UNMODELLED, call, strlen(call), NULL, 0); }

/* ---- opening and closing ---------------------------------------------------- */

static int open_tracked(int dirfd, const char* path, int flags, mode_t mode) {
  REAL(openat);
  init();
  if (!g.active) return real_openat(dirfd, path, flags, mode);
  char resolved[PATH_MAX];
  const int changes = (flags & (O_CREAT | O_TRUNC)) != 0;
  const int tracked_name = changes && resolve(dirfd, path, resolved) == 0 && under_root(resolved);
  struct stat before;
  const int existed = !tracked_name || fstatat(dirfd, path, &before, 0) == 0;
  if (tracked_name) before_operation();
  int fd = real_openat(dirfd, path, flags, mode);
  if (fd < 0) return fd;
  if (fd >= MAX_FDS) {
    if (tracked_name) unmodelled("open beyond the descriptor table");
    return fd;
  }
  struct tracked* t = &fds[fd];
  free(t->path);
  memset(t, 0, sizeof *t);
  char canonical[PATH_MAX];
  if (fd_path(fd, canonical) != 0) return fd;
  if (g.marks[0] && strcmp(canonical, g.marks) == 0) {
    t->kind = FD_MARKS;
    return fd;
  }
  if (!under_root(canonical)) return fd;
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    unmodelled("open with O_TMPFILE");
    return fd;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) return fd;
  t->inode = (uint64_t)st.st_ino;
  if (S_ISDIR(st.st_mode)) {
    t->kind = FD_DIR;
    t->path = strdup(canonical);
    return fd;
  }
  t->kind = FD_FILE;
  const int truncated = (flags & O_TRUNC) && (flags & O_ACCMODE) != O_RDONLY;
  if (!existed || truncated) {
    unsigned char fixed[10];
    memcpy(fixed, &t->inode, 8);
    fixed[8] = !existed;
    fixed[9] = (unsigned char)truncated;
    append_path(REC_OPEN, fixed, sizeof fixed, canonical);
  }
  return fd;
}

/* The body of the variadic entry points: the mode argument exists only when
 * the flags call for one. */
#define OPEN_WITH_MODE(dirfd)                                                                   \
  va_list ap;                                                                                   \
  va_start(ap, flags);                                                                          \
  mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(ap, int) : 0; \
  va_end(ap);                                                                                   \
  return open_tracked(dirfd, path, flags, mode)

int open(const char* path, int flags, ...) { OPEN_WITH_MODE(AT_FDCWD); }
int open64(const char* path, int flags, ...) { OPEN_WITH_MODE(AT_FDCWD); }
int openat(int dirfd, const char* path, int flags, ...) { OPEN_WITH_MODE(dirfd); }
int openat64(int dirfd, const char* path, int flags, ...) { OPEN_WITH_MODE(dirfd); }
/* What fortified callers reach when the flags need no mode. */
int __open_2(const char* path, int flags) { return open_tracked(AT_FDCWD, path, flags, 0); }
int __open64_2(const char* path, int flags) { return open_tracked(AT_FDCWD, path, flags, 0); }
int creat(const char* path, mode_t mode) { return open_tracked(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode); }
int creat64(const char* path, mode_t mode) { return creat(path, mode); }

int close(int fd) {
  REAL(close);
  if (fd >= 0 && fd < MAX_FDS) {
    free(fds[fd].path);
    memset(&fds[fd], 0, sizeof fds[fd]);
  }
  return real_close(fd);
}

/* ---- data ------------------------------------------------------------------------ */

static void append_write(const struct tracked* t, uint64_t offset, const void* buf, size_t n) {
  unsigned char fixed[16];
  memcpy(fixed, &t->inode, 8);
  memcpy(fixed + 8, &offset, 8);
  append(REC_WRITE, fixed, sizeof fixed, buf, n);
}

ssize_t write(int fd, const void* buf, size_t n) {
  REAL(write);
  struct tracked* t = entry(fd);
  if (!t || t->kind == FD_DIR) return real_write(fd, buf, n);
  if (t->kind == FD_MARKS) {
    ssize_t done = real_write(fd, buf, n);
    if (done > 0) append(REC_MARK, buf, (size_t)done, NULL, 0);
    return done;
  }
  before_operation();
  ssize_t done = real_write(fd, buf, n);
  if (done > 0) append_write(t, (uint64_t)(lseek(fd, 0, SEEK_CUR) - done), buf, (size_t)done);
  return done;
}

static ssize_t pwrite_tracked(int fd, const void* buf, size_t n, off_t offset) {
  REAL(pwrite64);
  struct tracked* t = entry(fd);
  if (!t || t->kind != FD_FILE) return real_pwrite64(fd, buf, n, offset);
  before_operation();
  ssize_t done = real_pwrite64(fd, buf, n, offset);
  if (done > 0) append_write(t, (uint64_t)offset, buf, (size_t)done);
  return done;
}
ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) { return pwrite_tracked(fd, buf, n, offset); }
ssize_t pwrite64(int fd, const void* buf, size_t n, off_t offset) { return pwrite_tracked(fd, buf, n, offset); }

static int ftruncate_tracked(int fd, off_t length) {
  REAL(ftruncate64);
  struct tracked* t = entry(fd);
  if (!t || t->kind != FD_FILE) return real_ftruncate64(fd, length);
  before_operation();
  int rc = real_ftruncate64(fd, length);
  if (rc == 0) {
    unsigned char fixed[16];
    uint64_t new_length = (uint64_t)length;
    memcpy(fixed, &t->inode, 8);
    memcpy(fixed + 8, &new_length, 8);
    append(REC_TRUNCATE, fixed, sizeof fixed, NULL, 0);
  }
  return rc;
}
int ftruncate(int fd, off_t length) { return ftruncate_tracked(fd, length); }
int ftruncate64(int fd, off_t length) { return ftruncate_tracked(fd, length); }

static int sync_tracked(int fd, int data_only, int (*real)(int)) {
  struct tracked* t = entry(fd);
  if (!t || t->kind == FD_MARKS) return real(fd);
  before_operation();
  /* Recorded as it begins: what other threads write while it runs is not
     covered by it (the model assumes syncs succeed; no faults run here). */
  if (t->kind == FD_DIR) {
    append_path(REC_SYNC_DIR, NULL, 0, t->path);
  } else {
    unsigned char fixed[9];
    memcpy(fixed, &t->inode, 8);
    fixed[8] = (unsigned char)data_only;
    append(REC_SYNC, fixed, sizeof fixed, NULL, 0);
    if (g.sync_us > 0) usleep((useconds_t)g.sync_us);
  }
  return real(fd);
}
int fsync(int fd) {
  REAL(fsync);
  return sync_tracked(fd, 0, real_fsync);
}
int fdatasync(int fd) {
  REAL(fdatasync);
  return sync_tracked(fd, 1, real_fdatasync);
}

/* ---- names ---------------------------------------------------------------------- */

/* Resolves both names; true when either is tracked. */
static int tracked_pair(int dir1, const char* path1, int dir2, const char* path2, char* out1, char* out2) {
  init();
  return g.active && resolve(dir1, path1, out1) == 0 && resolve(dir2, path2, out2) == 0 &&
         (under_root(out1) || under_root(out2));
}

static void append_pair(unsigned char kind, int with_flags, unsigned int flags, const char* from, const char* to) {
  unsigned char fixed[8];
  uint32_t from_length = (uint32_t)strlen(from), flags32 = flags;
  size_t used = 0;
  if (with_flags) {
    memcpy(fixed, &flags32, 4);
    used = 4;
  }
  memcpy(fixed + used, &from_length, 4);
  used += 4;
  size_t total = from_length + strlen(to);
  char* both = malloc(total + 1);
  if (!both) abort();
  memcpy(both, from, from_length);
  memcpy(both + from_length, to, strlen(to));
  append(kind, fixed, used, both, total);
  free(both);
}

int renameat2(int olddir, const char* oldpath, int newdir, const char* newpath, unsigned int flags) {
  REAL(renameat2);
  char from[PATH_MAX], to[PATH_MAX];
  const int tracked = tracked_pair(olddir, oldpath, newdir, newpath, from, to);
  if (tracked) before_operation();
  int rc = real_renameat2(olddir, oldpath, newdir, newpath, flags);
  if (rc == 0 && tracked) append_pair(REC_RENAME, 1, flags, from, to);
  return rc;
}
int renameat(int olddir, const char* oldpath, int newdir, const char* newpath) {
  REAL(renameat);
  char from[PATH_MAX], to[PATH_MAX];
  const int tracked = tracked_pair(olddir, oldpath, newdir, newpath, from, to);
  if (tracked) before_operation();
  int rc = real_renameat(olddir, oldpath, newdir, newpath);
  if (rc == 0 && tracked) append_pair(REC_RENAME, 1, 0, from, to);
  return rc;
}
int rename(const char* oldpath, const char* newpath) { return renameat(AT_FDCWD, oldpath, AT_FDCWD, newpath); }

int linkat(int olddir, const char* oldpath, int newdir, const char* newpath, int flags) {
  REAL(linkat);
  char from[PATH_MAX], to[PATH_MAX];
  int tracked;
  if (flags & AT_EMPTY_PATH) {
    init();
    tracked = g.active && resolve(newdir, newpath, to) == 0 && under_root(to);
    int rc = real_linkat(olddir, oldpath, newdir, newpath, flags);
    if (rc == 0 && tracked) unmodelled("linkat with AT_EMPTY_PATH");
    return rc;
  }
  tracked = tracked_pair(olddir, oldpath, newdir, newpath, from, to);
  if (tracked) before_operation();
  int rc = real_linkat(olddir, oldpath, newdir, newpath, flags);
  if (rc == 0 && tracked) append_pair(REC_LINK, 0, 0, from, to);
  return rc;
}
int link(const char* oldpath, const char* newpath) { return linkat(AT_FDCWD, oldpath, AT_FDCWD, newpath, 0); }

int unlinkat(int dirfd, const char* path, int flags) {
  REAL(unlinkat);
  char resolved[PATH_MAX];
  init();
  const int tracked = g.active && resolve(dirfd, path, resolved) == 0 && under_root(resolved);
  if (tracked && !(flags & AT_REMOVEDIR)) before_operation();
  int rc = real_unlinkat(dirfd, path, flags);
  if (rc == 0 && tracked) {
    if (flags & AT_REMOVEDIR)
      unmodelled("removing a directory");
    else
      append_path(REC_UNLINK, NULL, 0, resolved);
  }
  return rc;
}
int unlink(const char* path) { return unlinkat(AT_FDCWD, path, 0); }

/* ---- calls the model does not follow ------------------------------------------- */

static void refuse_if_tracked(int fd, const char* call) {
  struct tracked* t = entry(fd);
  if (t && t->kind == FD_FILE) unmodelled(call);
}

#define UNMODELLED_ON_FD(ret, name, params, args, fd)   \
  ret name params {                                     \
    REAL(name);                          \
    refuse_if_tracked(fd, #name);                       \
    return real_##name args;                            \
  }
UNMODELLED_ON_FD(ssize_t, writev, (int fd, const struct iovec* v, int n), (fd, v, n), fd)
UNMODELLED_ON_FD(ssize_t, pwritev, (int fd, const struct iovec* v, int n, off_t o), (fd, v, n, o), fd)
UNMODELLED_ON_FD(ssize_t, pwritev64, (int fd, const struct iovec* v, int n, off_t o), (fd, v, n, o), fd)
UNMODELLED_ON_FD(ssize_t, pwritev2, (int fd, const struct iovec* v, int n, off_t o, int f), (fd, v, n, o, f), fd)
UNMODELLED_ON_FD(ssize_t, sendfile, (int out, int in, off_t* o, size_t n), (out, in, o, n), out)
UNMODELLED_ON_FD(ssize_t, sendfile64, (int out, int in, off_t* o, size_t n), (out, in, o, n), out)
UNMODELLED_ON_FD(ssize_t, copy_file_range, (int in, off_t* io, int out, off_t* oo, size_t n, unsigned f),
                 (in, io, out, oo, n, f), out)
UNMODELLED_ON_FD(int, fallocate, (int fd, int m, off_t o, off_t n), (fd, m, o, n), fd)
UNMODELLED_ON_FD(int, fallocate64, (int fd, int m, off_t o, off_t n), (fd, m, o, n), fd)
UNMODELLED_ON_FD(int, posix_fallocate, (int fd, off_t o, off_t n), (fd, o, n), fd)
UNMODELLED_ON_FD(int, posix_fallocate64, (int fd, off_t o, off_t n), (fd, o, n), fd)

static int truncate_by_path(const char* path, off_t length) {
  REAL(truncate64);
  char resolved[PATH_MAX];
  init();
  int rc = real_truncate64(path, length);
  if (rc == 0 && g.active && resolve(AT_FDCWD, path, resolved) == 0 && under_root(resolved))
    unmodelled("truncate");
  return rc;
}
int truncate(const char* path, off_t length) { return truncate_by_path(path, length); }
int truncate64(const char* path, off_t length) { return truncate_by_path(path, length); }
