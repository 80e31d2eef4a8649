/* I/O fault injector for the test-suite, loaded with LD_PRELOAD into a child
 * Python process. It leaves the product untouched: it wraps the libc calls
 * the store makes and fails the chosen ones.
 *
 * Environment, read by this file alone:
 *   OMBREL_FAULT        comma-separated plans "op:nth:action[:count]"
 *                         op      write | pwrite | fsync | fdatasync |
 *                                 ftruncate | rename (rename, renameat,
 *                                 renameat2, link, linkat) | unlink (unlink,
 *                                 unlinkat) | any (every call above, counted
 *                                 together)
 *                         nth     the first call of that op to fail (1-based,
 *                                 counted since the plan was armed)
 *                         action  ENOSPC | EIO   fail without writing
 *                                 partial        write half the buffer, then
 *                                                fail with ENOSPC
 *                                 short          write half the buffer and
 *                                                report that (a short write)
 *                                 kill           die by SIGKILL instead of
 *                                                making the call
 *                                 tear           write half the buffer, then
 *                                                die by SIGKILL (other calls:
 *                                                as kill)
 *                         count   calls failing from nth on (default 1,
 *                                 0 = every later call)
 *   OMBREL_FAULT_ARM    any token; counters restart whenever it changes, so
 *                       one process can run many scenarios
 *   OMBREL_FAULT_MATCH  only descriptors whose path contains this text are
 *                       counted (default: every descriptor); for rename and
 *                       unlink, either path as given
 *   OMBREL_FAULT_LOG    file that receives one line per injected fault
 *   OMBREL_FAULT_DELAY_MS  milliseconds each injected fault waits before it
 *                       acts, so that other threads pile up behind a failing
 *                       call (a shared sync)
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

enum op { OP_WRITE, OP_PWRITE, OP_FSYNC, OP_FDATASYNC, OP_FTRUNCATE, OP_RENAME, OP_UNLINK, OP_ANY, OP_COUNT };
static const char* const op_names[OP_COUNT] = {"write",  "pwrite", "fsync", "fdatasync",
                                               "ftruncate", "rename", "unlink", "any"};

enum action { ACT_NONE, ACT_ERRNO, ACT_PARTIAL, ACT_SHORT, ACT_KILL, ACT_TEAR };

static char armed_token[256];
static long calls[OP_COUNT];

static void note(const char* what, enum op op, long nth) {
  const char* log = getenv("OMBREL_FAULT_LOG");
  if (!log || !*log) return;
  int (*real_open)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
  ssize_t (*real_write)(int, const void*, size_t) = (ssize_t (*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  int fd = real_open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[128];
  int n = snprintf(line, sizeof line, "%s %s %ld\n", op_names[op], what, nth);
  if (n > 0) (void)real_write(fd, line, (size_t)n);
  close(fd);
}

static int text_matches(const char* text) {
  const char* match = getenv("OMBREL_FAULT_MATCH");
  return !match || !*match || (text && strstr(text, match) != NULL);
}

static int descriptor_matches(int fd) {
  const char* match = getenv("OMBREL_FAULT_MATCH");
  if (!match || !*match) return 1;
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n < 0) return 0;
  target[n] = '\0';
  return text_matches(target);
}

/* Counts this call (already matched) and returns the action to take, with the errno to set. */
static enum action decide_matched(enum op op, int* err) {
  const char* plans = getenv("OMBREL_FAULT");
  if (!plans || !*plans) return ACT_NONE;
  const char* token = getenv("OMBREL_FAULT_ARM");
  if (!token) token = "";
  if (strncmp(token, armed_token, sizeof armed_token) != 0) {
    snprintf(armed_token, sizeof armed_token, "%s", token);
    memset(calls, 0, sizeof calls);
  }
  long nth_call = ++calls[op];
  long nth_any = ++calls[OP_ANY];
  char buf[512];
  snprintf(buf, sizeof buf, "%s", plans);
  char* save = NULL;
  for (char* plan = strtok_r(buf, ",", &save); plan; plan = strtok_r(NULL, ",", &save)) {
    char name[32] = {0}, act[32] = {0};
    long nth = 0, count = 1;
    if (sscanf(plan, "%31[^:]:%ld:%31[^:]:%ld", name, &nth, act, &count) < 3) continue;
    long counted = strcmp(name, "any") == 0 ? nth_any : strcmp(name, op_names[op]) == 0 ? nth_call : -1;
    if (counted < 0) continue;
    if (counted < nth || (count > 0 && counted >= nth + count)) continue;
    note(act, op, counted);
    const char* delay = getenv("OMBREL_FAULT_DELAY_MS");
    if (delay && *delay) usleep((useconds_t)(atol(delay) * 1000));
    if (strcmp(act, "kill") == 0) return ACT_KILL;
    if (strcmp(act, "tear") == 0) return ACT_TEAR;
    if (strcmp(act, "partial") == 0) { *err = ENOSPC; return ACT_PARTIAL; }
    if (strcmp(act, "short") == 0) return ACT_SHORT;
    *err = strcmp(act, "ENOSPC") == 0 ? ENOSPC : EIO;
    return ACT_ERRNO;
  }
  return ACT_NONE;
}

static enum action decide(enum op op, int fd, int* err) {
  const char* plans = getenv("OMBREL_FAULT");
  if (!plans || !*plans || !descriptor_matches(fd)) return ACT_NONE;
  return decide_matched(op, err);
}

/* The process ends here, as a crash would end it: nothing more is written. */
static void die(void) {
  raise(SIGKILL);
  _exit(137);
}

typedef ssize_t (*pwrite_fn)(int, const void*, size_t, off_t);
typedef ssize_t (*write_fn)(int, const void*, size_t);
typedef int (*fd_fn)(int);
typedef int (*truncate_fn)(int, off_t);
#define REAL(name, type) static type real_##name; if (!real_##name) real_##name = (type)dlsym(RTLD_NEXT, #name)

static ssize_t faulty_pwrite(int fd, const void* buf, size_t n, off_t off) {
  REAL(pwrite64, pwrite_fn);
  int err = 0;
  switch (decide(OP_PWRITE, fd, &err)) {
    case ACT_ERRNO: errno = err; return -1;
    case ACT_PARTIAL: if (n > 1) real_pwrite64(fd, buf, n / 2, off); errno = err; return -1;
    case ACT_SHORT: return real_pwrite64(fd, buf, n > 1 ? n / 2 : n, off);
    case ACT_TEAR: if (n > 1) real_pwrite64(fd, buf, n / 2, off); die(); return -1;
    case ACT_KILL: die(); return -1;
    default: return real_pwrite64(fd, buf, n, off);
  }
}
ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) { return faulty_pwrite(fd, buf, n, off); }
ssize_t pwrite64(int fd, const void* buf, size_t n, off_t off) { return faulty_pwrite(fd, buf, n, off); }

ssize_t write(int fd, const void* buf, size_t n) {
  REAL(write, write_fn);
  int err = 0;
  switch (decide(OP_WRITE, fd, &err)) {
    case ACT_ERRNO: errno = err; return -1;
    case ACT_PARTIAL: if (n > 1) real_write(fd, buf, n / 2); errno = err; return -1;
    case ACT_SHORT: return real_write(fd, buf, n > 1 ? n / 2 : n);
    case ACT_TEAR: if (n > 1) real_write(fd, buf, n / 2); die(); return -1;
    case ACT_KILL: die(); return -1;
    default: return real_write(fd, buf, n);
  }
}

/* The calls that write no buffer: any fault fails them, kill and tear end the process. */
static int fail_or_die(enum action action, int err) {
  if (action == ACT_KILL || action == ACT_TEAR) die();
  errno = err ? err : EIO;
  return -1;
}

static int faulty_sync(enum op op, int fd, int (*real)(int)) {
  int err = 0;
  enum action action = decide(op, fd, &err);
  if (action != ACT_NONE) return fail_or_die(action, err);
  return real(fd);
}
int fsync(int fd) { REAL(fsync, fd_fn); return faulty_sync(OP_FSYNC, fd, real_fsync); }
int fdatasync(int fd) { REAL(fdatasync, fd_fn); return faulty_sync(OP_FDATASYNC, fd, real_fdatasync); }

static int faulty_truncate(int fd, off_t length) {
  REAL(ftruncate64, truncate_fn);
  int err = 0;
  enum action action = decide(OP_FTRUNCATE, fd, &err);
  if (action != ACT_NONE) return fail_or_die(action, err);
  return real_ftruncate64(fd, length);
}
int ftruncate(int fd, off_t length) { return faulty_truncate(fd, length); }
int ftruncate64(int fd, off_t length) { return faulty_truncate(fd, length); }

/* Names: matched on the paths as given. */
static int faulty_name_op(enum op op, const char* a, const char* b) {
  const char* plans = getenv("OMBREL_FAULT");
  if (!plans || !*plans || !(text_matches(a) || (b && text_matches(b)))) return 0;
  int err = 0;
  enum action action = decide_matched(op, &err);
  return action == ACT_NONE ? 0 : fail_or_die(action, err);
}

typedef int (*rename_fn)(const char*, const char*);
typedef int (*renameat_fn)(int, const char*, int, const char*);
typedef int (*renameat2_fn)(int, const char*, int, const char*, unsigned);
typedef int (*linkat_fn)(int, const char*, int, const char*, int);
typedef int (*unlink_fn)(const char*);
typedef int (*unlinkat_fn)(int, const char*, int);

int rename(const char* from, const char* to) {
  REAL(rename, rename_fn);
  return faulty_name_op(OP_RENAME, from, to) ? -1 : real_rename(from, to);
}
int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  REAL(renameat, renameat_fn);
  return faulty_name_op(OP_RENAME, from, to) ? -1 : real_renameat(from_dir, from, to_dir, to);
}
int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  REAL(renameat2, renameat2_fn);
  return faulty_name_op(OP_RENAME, from, to) ? -1 : real_renameat2(from_dir, from, to_dir, to, flags);
}
int link(const char* from, const char* to) {
  REAL(link, rename_fn);
  return faulty_name_op(OP_RENAME, from, to) ? -1 : real_link(from, to);
}
int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  REAL(linkat, linkat_fn);
  return faulty_name_op(OP_RENAME, from, to) ? -1 : real_linkat(from_dir, from, to_dir, to, flags);
}
int unlink(const char* path) {
  REAL(unlink, unlink_fn);
  return faulty_name_op(OP_UNLINK, path, NULL) ? -1 : real_unlink(path);
}
int unlinkat(int dir, const char* path, int flags) {
  REAL(unlinkat, unlinkat_fn);
  return faulty_name_op(OP_UNLINK, path, NULL) ? -1 : real_unlinkat(dir, path, flags);
}
