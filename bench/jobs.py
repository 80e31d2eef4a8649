#!/usr/bin/env python3
"""Durable jobs and interval schedules in Ombrel Store next to Python's sqlite3 doing the same work.

Cases:
  submit        `submit_job`: the job record and its first history entry, one commit per job.
  claim+complete  one `claim_job` (lease) and one `complete_job`, two commits, on stores that
                hold 1,000, 10,000 and 100,000 ready jobs; sqlite picks the job through an index on
                (state, priority, available_at, id). The first claim builds the store's job index
                from every record, a one-time cost that these cycles carry (see backlog).
  backlog       one `claim_job`, its `complete_job` and one `submit_job` (so that the backlog stays
                constant), three commits, on stores that hold 1,000 and 100,000 ready jobs and as many
                finished (cancelled) ones; sqlite does the same through its claim index. Reports the
                growth from the smallest to the largest backlog on each side, the first claim on the
                largest store (which builds the store's job index) and the resident memory that claim
                added, per job held.
  tick          one `tick_schedules` over 10,000 due interval schedules: a job, its history
                entry and the schedule update per schedule, one commit each; and a tick over the
                same 10,000 schedules when none is due (the read cost alone).

sqlite3 runs in WAL mode; every Ombrel commit is matched by one sqlite transaction holding the
same rows. "relaxed" durability is matched by synchronous=OFF, "data" by synchronous=FULL (an
fsync per commit).

    python bench/jobs.py [--submits N] [--data-submits N] [--cycles N] [--budget S]
                         [--sizes 1000,10000,100000] [--backlogs 1000,100000] [--backlog-cycles N]
                         [--schedules N] [--dir PATH]

Ratios are Ombrel time per operation divided by sqlite time per operation, both measured in
this run: below 1 Ombrel is faster. Everything runs in a temporary directory that is removed.
"""

from __future__ import annotations

import gc
import os
import time
from functools import partial
from pathlib import Path

import harness
from harness import Row, Store, banner, parser, sqlite_open, timed, workdir

report = partial(harness.report, unit="us")
PAYLOAD = b"x" * 64
LEASE_MS = 30_000

# --- sqlite side ----------------------------------------------------------------------

_SCHEMA = """
CREATE TABLE IF NOT EXISTS jobs (
  id BLOB PRIMARY KEY, state INTEGER NOT NULL, handler BLOB NOT NULL, payload BLOB NOT NULL,
  idempotency_key BLOB, deadline_ms INTEGER, available_at_ms INTEGER NOT NULL,
  retry_backoff_ms INTEGER NOT NULL, priority INTEGER NOT NULL, max_attempts INTEGER NOT NULL,
  attempts INTEGER NOT NULL, lease_until_ms INTEGER NOT NULL, lease_generation INTEGER NOT NULL
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS jobs_claim ON jobs (state, priority DESC, available_at_ms, id);
CREATE TABLE IF NOT EXISTS job_history (
  id BLOB NOT NULL, seq INTEGER NOT NULL, at_ms INTEGER NOT NULL, kind INTEGER NOT NULL, detail BLOB NOT NULL,
  PRIMARY KEY (id, seq)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS schedules (
  id BLOB PRIMARY KEY, every_ms INTEGER, next_run_ms INTEGER NOT NULL, enabled INTEGER NOT NULL,
  handler BLOB NOT NULL, payload BLOB NOT NULL
) WITHOUT ROWID;
"""


def sqlite_submit(conn, now_ms):
    job_id = os.urandom(16)
    conn.execute("BEGIN")
    conn.execute("INSERT INTO jobs VALUES (?, 0, ?, ?, NULL, NULL, 0, 1000, 0, 3, 0, 0, 0)", (job_id, b"work", PAYLOAD))
    conn.execute("INSERT INTO job_history VALUES (?, 0, ?, 0, x'')", (job_id, now_ms))
    conn.execute("COMMIT")
    return job_id


def _next_seq(conn, job_id):
    return conn.execute("SELECT max(seq) FROM job_history WHERE id = ?", (job_id,)).fetchone()[0] + 1


def sqlite_claim(conn, now_ms):
    conn.execute("BEGIN IMMEDIATE")
    row = conn.execute("SELECT id, attempts FROM jobs WHERE state = 0 AND available_at_ms <= ? "
                       "ORDER BY priority DESC, available_at_ms, id LIMIT 1", (now_ms,)).fetchone()
    if row is None:
        conn.execute("COMMIT")
        return None
    job_id, attempts = row
    conn.execute("UPDATE jobs SET state = 1, attempts = ?, lease_until_ms = ?, lease_generation = ? WHERE id = ?",
                 (attempts + 1, now_ms + LEASE_MS, attempts + 1, job_id))
    conn.execute("INSERT INTO job_history VALUES (?, ?, ?, 1, x'')", (job_id, _next_seq(conn, job_id), now_ms))
    conn.execute("COMMIT")
    return job_id, attempts + 1


def sqlite_complete(conn, job_id, generation, now_ms):
    conn.execute("BEGIN IMMEDIATE")
    state, stored = conn.execute("SELECT state, lease_generation FROM jobs WHERE id = ?", (job_id,)).fetchone()
    if state != 1 or stored != generation:
        raise SystemExit("sqlite lost a lease")
    conn.execute("UPDATE jobs SET state = 2, lease_until_ms = 0 WHERE id = ?", (job_id,))
    conn.execute("INSERT INTO job_history VALUES (?, ?, ?, 2, x'')", (job_id, _next_seq(conn, job_id), now_ms))
    conn.execute("COMMIT")


def sqlite_tick(conn, now_ms):
    due = conn.execute("SELECT id, every_ms, next_run_ms, handler, payload FROM schedules "
                       "WHERE enabled = 1 AND next_run_ms <= ? ORDER BY id", (now_ms,)).fetchall()
    for schedule_id, every_ms, next_run_ms, handler, payload in due:
        job_id = os.urandom(16)
        steps = (now_ms - next_run_ms) // every_ms + 1
        conn.execute("BEGIN")
        conn.execute("INSERT INTO jobs VALUES (?, 0, ?, ?, NULL, NULL, ?, 1000, 0, 3, 0, 0, 0)",
                     (job_id, handler, payload, next_run_ms))
        conn.execute("INSERT INTO job_history VALUES (?, 0, ?, 0, 'scheduled')", (job_id, now_ms))
        conn.execute("UPDATE schedules SET next_run_ms = ? WHERE id = ?", (next_run_ms + steps * every_ms, schedule_id))
        conn.execute("COMMIT")
    return len(due)


# --- cases ----------------------------------------------------------------------------


def time_boxed(cycle, first_ms: int, cycles: int, budget_s: float) -> int:
    """Runs cycle(now_ms) for now_ms = first_ms, first_ms + 1, ... until `cycles` ran or the budget is spent."""
    deadline = time.perf_counter() + budget_s
    for i in range(cycles):
        cycle(first_ms + i)
        if time.perf_counter() > deadline:
            return i + 1
    return cycles


def bench_submit(tmp: Path, n: int, durability: str, synchronous: str) -> None:
    print(f"\nsubmit, {durability} durability: {n:,} jobs, one commit each")
    store = Store.open(tmp / f"submit-{durability}.omb", durability=durability)
    conn = sqlite_open(tmp / f"submit-{durability}.sqlite", synchronous, _SCHEMA)
    try:
        o_s, _ = timed(lambda: [store.submit_job(b"work", PAYLOAD, i) for i in range(n)])
        s_s, _ = timed(lambda: [sqlite_submit(conn, i) for i in range(n)])
        if store.job_stats()["ready"] != n:
            raise SystemExit("ombrel lost submitted jobs")
        report(f"submit {durability}", n, o_s, f"sqlite sync={synchronous}", s_s)
    finally:
        store.close()
        conn.close()


def bench_claims(tmp: Path, size: int, cycles: int, budget_s: float) -> Row:
    print(f"\nclaim+complete, relaxed durability: {cycles:,} cycles on {size:,} ready jobs")
    store = Store.open(tmp / f"claim-{size}.omb", durability="relaxed")
    conn = sqlite_open(tmp / f"claim-{size}.sqlite", "OFF", _SCHEMA)
    try:
        build_s, _ = timed(lambda: [store.submit_job(b"work", PAYLOAD, 0) for _ in range(size)])
        conn.execute("BEGIN")
        for _ in range(size):
            job_id = os.urandom(16)
            conn.execute("INSERT INTO jobs VALUES (?, 0, ?, ?, NULL, NULL, 0, 1000, 0, 3, 0, 0, 0)",
                         (job_id, b"work", PAYLOAD))
            conn.execute("INSERT INTO job_history VALUES (?, 0, 0, 0, x'')", (job_id,))
        conn.execute("COMMIT")
        print(f"  (built: {size:,} submits in {build_s:.1f} s)")

        def ombrel_cycle(now_ms):
            job = store.claim_job(now_ms, LEASE_MS)
            store.complete_job(job["id"], job["lease_generation"], now_ms)

        def sqlite_cycles(done):
            for i in range(done):
                job_id, generation = sqlite_claim(conn, 1 + i)
                sqlite_complete(conn, job_id, generation, 1 + i)

        o_s, done = timed(time_boxed, ombrel_cycle, 1, cycles, budget_s)
        s_s, _ = timed(sqlite_cycles, done)
        if store.job_stats()["completed"] != done:
            raise SystemExit("ombrel completed the wrong number of jobs")
        if done < cycles:
            print(f"  (time-boxed at {budget_s:g} s: {done:,} cycles on each side)")
        return report(f"claim+complete {size:,} jobs", done, o_s, "sqlite sync=OFF", s_s)
    finally:
        store.close()
        conn.close()


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def bench_backlog(tmp: Path, size: int, cycles: int, budget_s: float, first_claim: bool) -> Row:
    print(f"\nclaim+complete+submit, relaxed durability: {cycles:,} cycles at a backlog of {size:,} ready "
          f"and {size:,} finished jobs")
    store = Store.open(tmp / f"backlog-{size}.omb", durability="relaxed")
    conn = sqlite_open(tmp / f"backlog-{size}.sqlite", "OFF", _SCHEMA)
    try:
        def build():
            ids = [store.submit_job(b"work", PAYLOAD, 0) for _ in range(2 * size)]
            for job_id in ids[1::2]:
                store.cancel_job(job_id, 0)
        build_s, _ = timed(build)
        conn.execute("BEGIN")
        for i in range(2 * size):
            job_id = os.urandom(16)
            conn.execute("INSERT INTO jobs VALUES (?, ?, ?, ?, NULL, NULL, 0, 1000, 0, 3, 0, 0, 0)",
                         (job_id, 4 * (i % 2), b"work", PAYLOAD))
            conn.execute("INSERT INTO job_history VALUES (?, 0, 0, 0, x'')", (job_id,))
            if i % 2:
                conn.execute("INSERT INTO job_history VALUES (?, 1, 0, 5, x'')", (job_id,))
        conn.execute("COMMIT")
        print(f"  (built: {2 * size:,} submits and {size:,} cancels in {build_s:.1f} s)")

        def cycle(now_ms):
            job = store.claim_job(now_ms, LEASE_MS)
            store.complete_job(job["id"], job["lease_generation"], now_ms)
            store.submit_job(b"work", PAYLOAD, now_ms, available_at_ms=now_ms)

        gc.collect()
        rss_before = resident_bytes()
        first_s, _ = timed(cycle, 1)
        rss_added = resident_bytes() - rss_before
        if first_claim:
            print(f"  first claim+complete+submit on {2 * size:,} jobs: {first_s * 1e3:.1f} ms; resident memory "
                  f"added {rss_added / 2**20:.1f} MiB, {rss_added / (2 * size):.1f} bytes per job")

        def sqlite_cycles(done):
            for i in range(done):
                job_id, generation = sqlite_claim(conn, 2 + i)
                sqlite_complete(conn, job_id, generation, 2 + i)
                sqlite_submit(conn, 2 + i)

        o_s, done = timed(time_boxed, cycle, 2, cycles, budget_s)
        s_s, _ = timed(sqlite_cycles, done)
        if store.job_stats()["ready"] != size:
            raise SystemExit("ombrel's backlog changed size")
        if done < cycles:
            print(f"  (time-boxed at {budget_s:g} s: {done:,} cycles on each side)")
        return report(f"claim+complete+submit {size:,}", done, o_s, "sqlite sync=OFF", s_s)
    finally:
        store.close()
        conn.close()


def backlog_growth(rows) -> None:
    if len(rows) < 2:
        return
    first, last = rows[0], rows[-1]
    print(f"\nclaim+complete+submit growth, {first.case.split()[-1]} to {last.case.split()[-1]} ready jobs: "
          f"Ombrel x{last.ombrel_per_op() / first.ombrel_per_op():.2f}, "
          f"sqlite x{last.other_per_op() / first.other_per_op():.2f}")


def bench_tick(tmp: Path, n: int) -> None:
    print(f"\ntick, relaxed durability: {n:,} interval schedules")
    store = Store.open(tmp / "tick.omb", durability="relaxed")
    conn = sqlite_open(tmp / "tick.sqlite", "OFF", _SCHEMA)
    try:
        for _ in range(n):
            store.create_schedule(b"work", PAYLOAD, 0, mode="interval", every_ms=60_000)
        conn.execute("BEGIN")
        for _ in range(n):
            conn.execute("INSERT INTO schedules VALUES (?, 60000, 0, 1, ?, ?)", (os.urandom(16), b"work", PAYLOAD))
        conn.execute("COMMIT")
        o_s, counts = timed(store.tick_schedules, 1000, n)
        s_s, fired = timed(sqlite_tick, conn, 1000)
        if counts != (n, n) or fired != n:
            raise SystemExit(f"ticks fired the wrong number of schedules: {counts}, {fired}")
        report(f"tick firing {n:,}", n, o_s, "sqlite sync=OFF", s_s)
        o_s, counts = timed(store.tick_schedules, 2000, n)
        s_s, fired = timed(sqlite_tick, conn, 2000)
        if counts != (n, 0) or fired != 0:
            raise SystemExit("a tick with nothing due fired something")
        report(f"tick of {n:,}, none due", 1, o_s, "sqlite sync=OFF", s_s)
    finally:
        store.close()
        conn.close()


def claim_growth(rows) -> None:
    if len(rows) < 2:
        return
    base = rows[0]
    print("\nclaim+complete cost as the number of jobs grows (Ombrel; sqlite):")
    for row in rows:
        print(f"  {row.case:<28} {row.ombrel_per_op() * 1e6:10.1f} us "
              f"(x{row.ombrel_per_op() / base.ombrel_per_op():6.1f});"
              f" sqlite {row.other_per_op() * 1e6:8.1f} us"
              f" (x{row.other_per_op() / base.other_per_op():5.1f})")


def main() -> int:
    p = parser(__doc__)
    p.add_argument("--submits", type=int, default=20_000, help="relaxed submits (default 20000)")
    p.add_argument("--data-submits", type=int, default=1_000, help="data-durability submits (default 1000)")
    p.add_argument("--sizes", default="1000,10000,100000", help="ready jobs of the claim cases")
    p.add_argument("--cycles", type=int, default=200, help="claim+complete cycles per size (default 200)")
    p.add_argument("--budget", type=float, default=8.0,
                   help="seconds the Ombrel side of one claim case may take (default 8)")
    p.add_argument("--backlogs", default="1000,100000", help="ready (and finished) jobs of the backlog cases")
    p.add_argument("--backlog-cycles", type=int, default=2000,
                   help="claim+complete+submit cycles per backlog (default 2000)")
    p.add_argument("--schedules", type=int, default=10_000, help="interval schedules ticked (default 10000)")
    args = p.parse_args()
    sizes = [int(s) for s in args.sizes.split(",") if s]
    backlogs = [int(s) for s in args.backlogs.split(",") if s]
    if min([args.submits, args.data_submits, args.cycles, args.backlog_cycles, args.schedules]
           + sizes + backlogs) < 1:
        raise SystemExit("every count must be positive")
    if args.cycles > min(sizes):
        raise SystemExit("--cycles must not exceed the smallest size")

    banner()
    with workdir(args) as tmp:
        bench_submit(tmp, args.submits, "relaxed", "OFF")
        bench_submit(tmp, args.data_submits, "data", "FULL")
        claim_growth([bench_claims(tmp, size, args.cycles, args.budget) for size in sizes])
        backlog_growth([bench_backlog(tmp, size, args.backlog_cycles, args.budget, size == max(backlogs))
                        for size in backlogs])
        bench_tick(tmp, args.schedules)
    return 0

if __name__ == "__main__":
    raise SystemExit(main())
