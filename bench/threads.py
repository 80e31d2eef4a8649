#!/usr/bin/env python3
"""Threads around one store: what other threads keep while it waits on the disk, and how
commits from several threads share syncs.

Cases:
- a pure-Python thread's speed beside a thread committing "data" puts, as a share of its speed
  alone, next to the same thread beside sqlite3 committing the same puts (synchronous=FULL);
- the longest stall of another thread while the main thread compacts into a new generation,
  checkpoints or opens a store of --megabytes;
- commits per second of 1, 4 and 16 threads committing "data" puts, and the syncs per commit
  (counted by a small preloaded counter in a child process);
- a "relaxed" put next to a Python loop issuing the same system calls (three positioned
  writes of the same sizes).

    python bench/threads.py [--seconds S] [--megabytes N]
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from harness import Store, banner, parse, parser, report, sqlite_open, workdir

HERE = Path(__file__).resolve().parent


def spin_rate(seconds: float, stop: threading.Event | None = None) -> float:
    """Iterations per second of a pure-Python loop."""
    n = 0
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline and not (stop and stop.is_set()):
        for _ in range(1000):
            n += 1
    return n / seconds


def beside(writer, seconds: float) -> float:
    """The spin rate while `writer(stop)` runs on another thread."""
    stop = threading.Event()
    thread = threading.Thread(target=writer, args=(stop,))
    thread.start()
    time.sleep(0.05)
    rate = spin_rate(seconds)
    stop.set()
    thread.join()
    return rate


def python_thread_beside_writers(tmp: Path, seconds: float) -> None:
    alone = spin_rate(seconds)
    store = Store.open(str(tmp / "spin.omb"), durability="data")

    def ombrel_writer(stop):
        i = 0
        while not stop.is_set():
            store.put(b"k%d" % (i % 1000), b"v" * 100)
            i += 1

    conn = sqlite_open(tmp / "spin.db", "FULL", "CREATE TABLE kv (k BLOB PRIMARY KEY, v BLOB)")
    conn.close()

    def sqlite_writer(stop):
        c = sqlite_open(tmp / "spin.db", "FULL")
        i = 0
        while not stop.is_set():
            c.execute("INSERT OR REPLACE INTO kv VALUES (?, ?)", (b"k%d" % (i % 1000), b"v" * 100))
            i += 1
        c.close()

    with_ombrel = beside(ombrel_writer, seconds)
    with_sqlite = beside(sqlite_writer, seconds)
    store.close()
    print(f"  pure-Python thread alone {alone:,.0f} it/s; beside an Ombrel 'data' writer keeps "
          f"{with_ombrel / alone:.2f}, beside sqlite FULL keeps {with_sqlite / alone:.2f}")
    # Time per unit of work: the share kept, inverted, so that < 1 means Ombrel leaves more.
    report("python thread beside writer", 1, alone / with_ombrel, "beside sqlite FULL", alone / with_sqlite,
           unit="s", note="(seconds per second of work alone)")


def fill(path: Path, megabytes: int) -> None:
    with Store.open(str(path), durability="relaxed") as s:
        value = os.urandom(1000)
        count = megabytes * 1000
        with s.transaction() as t:
            for i in range(count):
                t.put(b"key%09d" % i, value)


def longest_stall(action) -> tuple[float, float]:
    """(seconds the action took, longest gap another thread saw between 1 ms naps)."""
    stop = threading.Event()
    gaps = [0.0]

    def ticker():
        last = time.perf_counter()
        while not stop.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            gaps[0] = max(gaps[0], now - last - 0.001)
            last = now

    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.02)
    started = time.perf_counter()
    action()
    took = time.perf_counter() - started
    stop.set()
    thread.join()
    return took, gaps[0]


def stalls(tmp: Path, megabytes: int) -> None:
    path = tmp / "big.omb"
    fill(path, megabytes)
    print(f"  store of {path.stat().st_size / 2**20:.0f} MiB")
    s = Store.open(str(path))
    for name, action in [
        ("compact_generation_to", lambda: s.compact_generation_to(str(tmp / "gen.omb"))),
        ("checkpoint_to", lambda: s.checkpoint_to(str(tmp / "ckpt.omb"))),
    ]:
        took, gap = longest_stall(action)
        print(f"  {name:<24} took {took * 1e3:8.1f} ms; another thread's longest stall {gap * 1e3:6.2f} ms")
    s.close()
    took, gap = longest_stall(lambda: Store.open(str(path)).close())
    print(f"  {'Store.open':<24} took {took * 1e3:8.1f} ms; another thread's longest stall {gap * 1e3:6.2f} ms")


COMMITTERS = r"""
import json, sys, threading, time
sys.path.insert(0, sys.argv[4])
from harness import Store
path, threads, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
s = Store.open(path, durability="data")
counts = [0] * threads
stop = threading.Event()
def run(i):
    n = 0
    while not stop.is_set():
        s.put(b"t%d:%d" % (i, n % 500), b"v" * 100)
        n += 1
    counts[i] = n
ts = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
start = time.perf_counter()
for t in ts: t.start()
time.sleep(seconds)
stop.set()
for t in ts: t.join()
took = time.perf_counter() - start
s.close()
print(json.dumps({"commits": sum(counts), "seconds": took}))
"""

COUNTER = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
static atomic_long syncs;
int fdatasync(int fd) { static int (*real)(int); if (!real) real = dlsym(RTLD_NEXT, "fdatasync"); atomic_fetch_add(&syncs, 1); return real(fd); }
int fsync(int fd) { static int (*real)(int); if (!real) real = dlsym(RTLD_NEXT, "fsync"); atomic_fetch_add(&syncs, 1); return real(fd); }
__attribute__((destructor)) static void done(void) {
  const char* out = getenv("SYNC_COUNT_FILE");
  if (out) { FILE* f = fopen(out, "w"); if (f) { fprintf(f, "%ld\n", atomic_load(&syncs)); fclose(f); } }
}
"""


def sync_counter(tmp: Path) -> Path | None:
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None
    source, library = tmp / "count.c", tmp / "count.so"
    source.write_text(COUNTER)
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(source), "-ldl"], check=True)
    return library


def group_commit(tmp: Path, seconds: float) -> None:
    counter = sync_counter(tmp)
    base = None
    for threads in (1, 4, 16):
        path = tmp / f"group-{threads}.omb"
        env = dict(os.environ)
        count_file = tmp / f"syncs-{threads}"
        if counter:
            env.update(LD_PRELOAD=str(counter), SYNC_COUNT_FILE=str(count_file))
        done = subprocess.run([sys.executable, "-c", COMMITTERS, str(path), str(threads), str(seconds), str(HERE)],
                              env=env, capture_output=True, text=True, check=True)
        result = json.loads(done.stdout)
        rate = result["commits"] / result["seconds"]
        base = base or rate
        syncs = int(count_file.read_text()) if counter and count_file.exists() else None
        per = f"{syncs / result['commits']:.3f} syncs/commit" if syncs else "syncs not counted"
        print(f"  {threads:2d} threads: {rate:9,.0f} commits/s ({rate / base:4.2f}x one thread), {per}")


def relaxed_put_vs_syscalls(tmp: Path, seconds: float) -> None:
    s = Store.open(str(tmp / "relaxed.omb"), durability="relaxed")
    n = 0
    deadline = time.perf_counter() + seconds
    start = time.perf_counter()
    while time.perf_counter() < deadline:
        for _ in range(100):
            s.put(b"key%06d" % (n % 1000), b"v" * 100)
            n += 1
    ombrel_s = time.perf_counter() - start
    s.close()
    # The same system calls: a put record (29 + 4 + 9 + 100), its change record (29 + 4 + 28 + 68)
    # and a commit record (29), each one positioned write at the end of the file.
    sizes = (142, 129, 29)
    payload = [b"x" * size for size in sizes]
    fd = os.open(tmp / "raw.bin", os.O_RDWR | os.O_CREAT, 0o644)
    offset = 0
    m = 0
    deadline = time.perf_counter() + seconds
    start = time.perf_counter()
    while time.perf_counter() < deadline:
        for _ in range(100):
            for chunk in payload:
                os.pwrite(fd, chunk, offset)
                offset += len(chunk)
            m += 1
    raw_s = time.perf_counter() - start
    os.close(fd)
    report("relaxed put", n, ombrel_s, "3 os.pwrite calls", raw_s, other_n=m, unit="us")


def main() -> None:
    p = parser(__doc__)
    p.add_argument("--seconds", type=float, default=1.5)
    p.add_argument("--megabytes", type=int, default=50)
    args = parse(p, positive=("megabytes",))
    banner()
    with workdir(args) as tmp:
        python_thread_beside_writers(tmp, args.seconds)
        stalls(tmp, args.megabytes)
        group_commit(tmp, args.seconds)
        relaxed_put_vs_syscalls(tmp, args.seconds)


if __name__ == "__main__":
    main()
