#!/usr/bin/env python3
"""Many processes, one store: the store server and its client next to processes sharing one sqlite3 file.

Cases:
  get round trip  one client's `get` through the server, next to a `SELECT` on a local sqlite3
                  connection, and next to `Store.get` in the process that holds the store.
  relaxed puts    puts per second from 1, 4 and 16 client processes ("relaxed": no sync), next to
                  as many processes inserting into one sqlite3 file (WAL, synchronous=OFF, a busy
                  timeout), one row per statement.
  jobs            4 worker processes, each submitting a job, claiming one and completing it, through
                  the server at "data" and at "relaxed" durability, next to 4 processes doing the same
                  on one sqlite3 file (WAL, synchronous FULL or OFF, BEGIN IMMEDIATE, a busy timeout),
                  with the job rows and history rows of bench/jobs.py.
  threads         4 threads sharing one client (a connection each), next to the same threads taking a
                  lock around each call (as one shared connection would).

    python bench/server.py [--gets N] [--puts N] [--cycles N] [--data-cycles N] [--dir PATH]

Ratios are Ombrel time per operation divided by the other side's, both measured in this run:
below 1 Ombrel is faster.
"""

from __future__ import annotations

import multiprocessing
import os
import select
import signal
import subprocess
import sys
import threading
import time
from functools import partial
from pathlib import Path

import harness
import jobs
from harness import Store, banner, parse, parser, sqlite_open, workdir

ombrel_store = harness.ombrel_store
report = partial(harness.report, unit="us")
FORK = multiprocessing.get_context("fork")
BUSY_TIMEOUT_MS = 60_000
VALUE = b"v" * 100


class Served:
    """A store server in a child process, stopped with SIGTERM."""

    def __init__(self, path: Path, durability: str):
        env = dict(os.environ)
        package_root = str(Path(ombrel_store.__file__).resolve().parent.parent)
        env["PYTHONPATH"] = os.pathsep.join([package_root, *filter(None, env.get("PYTHONPATH", "").split(os.pathsep))])
        self.socket = str(path) + ".sock"
        self.process = subprocess.Popen([sys.executable, "-m", "ombrel_store.server", str(path), "--durability",
                                         durability], stdout=subprocess.PIPE, text=True, env=env)
        ready, _, _ = select.select([self.process.stdout], [], [], 60)
        if not ready or not self.process.stdout.readline().startswith("ombrel-store serving"):
            raise SystemExit("the store server did not start")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(60)
        self.process.stdout.close()


def in_processes(count: int, prepare, work) -> float:
    """Seconds from a common start until `count` forked processes have each run work(prepare(i), i)."""
    start = FORK.Event()
    ready = FORK.Semaphore(0)

    def child(i):
        state = prepare(i)
        ready.release()
        start.wait()
        work(state, i)

    children = [FORK.Process(target=child, args=(i,)) for i in range(count)]
    for c in children:
        c.start()
    for _ in children:
        ready.acquire()
    began = time.perf_counter()
    start.set()
    for c in children:
        c.join()
    elapsed = time.perf_counter() - began
    if any(c.exitcode != 0 for c in children):
        raise SystemExit("a worker process failed")
    return elapsed


# --- cases ----------------------------------------------------------------------------


def bench_get(tmp: Path, n: int) -> None:
    print(f"\nget round trip: {n:,} gets of 1,000 keys")
    keys = [b"key%04d" % i for i in range(1000)]
    with Served(tmp / "get.omb", "relaxed") as served, ombrel_store.connect(served.socket) as client:
        for key in keys:
            client.put(key, VALUE)
        remote_s, _ = harness.timed(lambda: [client.get(keys[i % 1000]) for i in range(n)])
    conn = sqlite_open(tmp / "get.sqlite", "OFF", "CREATE TABLE kv (k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID")
    conn.executemany("INSERT INTO kv VALUES (?, ?)", [(k, VALUE) for k in keys])
    sqlite_s, _ = harness.timed(lambda: [conn.execute("SELECT v FROM kv WHERE k = ?", (keys[i % 1000],)).fetchone()
                                         for i in range(n)])
    conn.close()
    with Store.open(tmp / "get-local.omb", durability="relaxed") as store:
        for key in keys:
            store.put(key, VALUE)
        local_s, _ = harness.timed(lambda: [store.get(keys[i % 1000]) for i in range(n)])
    report("remote get", n, remote_s, "sqlite local SELECT", sqlite_s)
    report("remote get", n, remote_s, "Store.get in-process", local_s)


def bench_puts(tmp: Path, processes: int, n: int) -> None:
    per = n // processes
    print(f"\nrelaxed puts from {processes} processes: {per * processes:,} puts")
    path = tmp / f"puts-{processes}.omb"
    with Served(path, "relaxed") as served:
        remote_s = in_processes(processes, lambda i: ombrel_store.connect(served.socket),
                                lambda client, i: [client.put(b"p%d-%d" % (i, j), VALUE) for j in range(per)])
    with Store.open(path) as store:
        if store.get(b"p%d-%d" % (processes - 1, per - 1)) != VALUE:
            raise SystemExit("a put was lost")
    db = tmp / f"puts-{processes}.sqlite"
    sqlite_open(db, "OFF", "CREATE TABLE kv (k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID").close()

    def sqlite_connection(i):
        conn = sqlite_open(db, "OFF")
        conn.execute(f"PRAGMA busy_timeout={BUSY_TIMEOUT_MS}")
        return conn

    sqlite_s = in_processes(processes, sqlite_connection, lambda conn, i: [
        conn.execute("INSERT OR REPLACE INTO kv VALUES (?, ?)", (b"p%d-%d" % (i, j), VALUE)) for j in range(per)])
    report(f"relaxed put x{processes} procs", per * processes, remote_s, "sqlite sync=OFF procs", sqlite_s,
           unit="/s")


def bench_jobs(tmp: Path, durability: str, synchronous: str, cycles: int, workers: int = 4) -> None:
    per = cycles // workers
    print(f"\njobs, {durability} durability: {workers} processes x {per:,} (submit, claim, complete)")
    path = tmp / f"jobs-{durability}.omb"
    now = 1_000

    def ombrel_work(client, i):
        for _ in range(per):
            client.submit_job(b"work", jobs.PAYLOAD, now)
            job = client.claim_job(now, jobs.LEASE_MS)
            if job is not None:
                client.complete_job(job["id"], job["lease_generation"], now)

    with Served(path, durability) as served:
        remote_s = in_processes(workers, lambda i: ombrel_store.connect(served.socket), ombrel_work)
        with ombrel_store.connect(served.socket) as client:
            stats = client.job_stats()
    if stats["total"] != per * workers or stats["ready"] + stats["completed"] != stats["total"]:
        raise SystemExit(f"ombrel jobs went astray: {stats}")
    db = tmp / f"jobs-{durability}.sqlite"
    sqlite_open(db, synchronous, jobs._SCHEMA).close()

    def sqlite_connection(i):
        conn = sqlite_open(db, synchronous)
        conn.execute(f"PRAGMA busy_timeout={BUSY_TIMEOUT_MS}")
        return conn

    def sqlite_work(conn, i):
        for _ in range(per):
            jobs.sqlite_submit(conn, now)
            claimed = jobs.sqlite_claim(conn, now)
            if claimed is not None:
                jobs.sqlite_complete(conn, claimed[0], claimed[1], now)

    sqlite_s = in_processes(workers, sqlite_connection, sqlite_work)
    report(f"jobs {durability} x{workers} procs", per * workers, remote_s, f"sqlite sync={synchronous} procs",
           sqlite_s, note="one op = submit + claim + complete")


def bench_threads(tmp: Path, n: int, threads: int = 4) -> None:
    per = n // threads
    print(f"\n{threads} threads sharing one client: {per * threads:,} relaxed puts")
    with Served(tmp / "threads.omb", "relaxed") as served, ombrel_store.connect(served.socket) as client:
        lock = threading.Lock()

        def run(locked):
            def work(i):
                for j in range(per):
                    if locked:
                        with lock:
                            client.put(b"t%d-%d" % (i, j), VALUE)
                    else:
                        client.put(b"t%d-%d" % (i, j), VALUE)

            pool = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
            for t in pool:
                t.start()
            for t in pool:
                t.join()

        client.get(b"warm")  # the main thread's connection, as each thread's is made on its first call
        separate_s, _ = harness.timed(run, False)
        locked_s, _ = harness.timed(run, True)
    report(f"{threads} threads, a connection each", per * threads, separate_s, "one lock around calls", locked_s,
           unit="/s")


def main() -> None:
    p = parser(__doc__)
    p.add_argument("--gets", type=int, default=20_000)
    p.add_argument("--puts", type=int, default=16_000)
    p.add_argument("--cycles", type=int, default=4_000, help="job cycles at relaxed durability, all workers")
    p.add_argument("--data-cycles", type=int, default=400, help="job cycles at data durability, all workers")
    args = parse(p, ("gets", "puts", "cycles", "data_cycles"))
    banner(f"sqlite busy timeout {BUSY_TIMEOUT_MS} ms; processes forked from this one")
    with workdir(args) as tmp:
        bench_get(tmp, args.gets)
        for processes in (1, 4, 16):
            bench_puts(tmp, processes, args.puts)
        bench_jobs(tmp, "data", "FULL", args.data_cycles)
        bench_jobs(tmp, "relaxed", "OFF", args.cycles)
        bench_threads(tmp, args.puts)


if __name__ == "__main__":
    main()
