#!/usr/bin/env python3
"""Idle schedule ticks in Ombrel Store: the cost of a tick with nothing due, as schedules pile up.

Cases, for interval schedules (`tick_schedules`) and cron schedules (`tick_cron_schedules`):
  idle tick     a tick with `limit` 100 when none of the N schedules (10,000 by default, 100,000
                with --full) is due, next to the same tick on a store holding 10 schedules: a ratio
                near 1 means the tick costs the same however many schedules there are. It is also
                compared with sqlite finding the due rows through an index on (enabled,
                next_run_ms), which reads no row when nothing is due.

The first tick of an open store builds its in-memory index of schedules by next run; that
build, and the memory the index keeps per schedule (growth of the resident set, after
malloc_trim), are printed but not timed against anything.

    python bench/schedules.py [--schedules N | --full] [--ticks N] [--budget S] [--dir PATH]

Ratios are Ombrel time per tick divided by the other side's time per tick, both measured in this
run: below 1 Ombrel is faster. Everything runs in a temporary directory that is removed.
"""

from __future__ import annotations

import os
import time
from functools import partial
from pathlib import Path

import harness
from harness import Store, banner, parser, resident_bytes, sqlite_open, timed, workdir

report = partial(harness.report, unit="us")
FULL_SCHEDULES = 100_000
FAR = 10**12  # every schedule's next run lies this far ahead
SMALL = 10

_SCHEMA = """
CREATE TABLE schedule (id BLOB PRIMARY KEY, next_run_ms INTEGER NOT NULL, enabled INTEGER NOT NULL,
                       handler BLOB NOT NULL, payload BLOB NOT NULL) WITHOUT ROWID;
CREATE INDEX schedule_due ON schedule (enabled, next_run_ms);
"""

KINDS = {
    "interval": (lambda store: store.create_schedule(b"h", b"p", FAR, mode="interval", every_ms=60_000),
                 lambda store, now: store.tick_schedules(now, 100)),
    "cron": (lambda store: store.create_cron_schedule("* * * * *", b"h", b"p", FAR),
             lambda store, now: store.tick_cron_schedules(now, 100)),
}


def sqlite_idle_ticks(conn, ticks):
    execute = conn.cursor().execute
    for now in range(ticks):
        if execute("SELECT id FROM schedule WHERE enabled = 1 AND next_run_ms <= ? ORDER BY next_run_ms LIMIT 100",
                   (now,)).fetchall():
            raise SystemExit("sqlite found a due schedule")


def ombrel_idle_ticks(store, tick, ticks, n, budget_s):
    """Idle ticks until `ticks` are done or the budget is spent; how many were done."""
    deadline = time.perf_counter() + budget_s
    for now in range(ticks):
        if tick(store, now) != (n, 0):
            raise SystemExit("an idle tick fired or miscounted")
        if time.perf_counter() > deadline:
            return now + 1
    return ticks


def bench_kind(tmp: Path, kind: str, n: int, ticks: int, budget_s: float) -> None:
    create, tick = KINDS[kind]
    print(f"\n{kind} schedules, relaxed durability: idle ticks over {SMALL} and {n:,} schedules")
    per_tick = {}
    for count in (SMALL, n):
        store = Store.open(tmp / f"{kind}-{count}.omb", durability="relaxed")
        try:
            for _ in range(count):
                create(store)
            before = resident_bytes()
            build_s, _ = timed(tick, store, 0)
            grown = resident_bytes() - before
            o_s, done = timed(ombrel_idle_ticks, store, tick, ticks, count, budget_s)
            per_tick[count] = (o_s, done)
            if count == n:
                print(f"  (first tick, which builds the index: {build_s * 1e3:.1f} ms; resident set "
                      f"+{grown / count:.0f} bytes per schedule)")
        finally:
            store.close()
    (o_s, done), (small_s, small_done) = per_tick[n], per_tick[SMALL]
    report(f"idle {kind} tick, {n:,}", done, o_s, f"ombrel, {SMALL} schedules", small_s, other_n=small_done)
    conn = sqlite_open(tmp / f"{kind}.sqlite", "OFF", _SCHEMA)
    try:
        conn.execute("BEGIN")
        conn.executemany("INSERT INTO schedule VALUES (?, ?, 1, 'h', 'p')", ((os.urandom(16), FAR) for _ in range(n)))
        conn.execute("COMMIT")
        s_s, _ = timed(sqlite_idle_ticks, conn, ticks)
        report(f"idle {kind} tick, {n:,}", done, o_s, "sqlite (enabled,next_run)", s_s, other_n=ticks)
    finally:
        conn.close()


def main() -> int:
    p = parser(__doc__)
    p.add_argument("--schedules", type=int, default=10_000, help="schedules of the large store (default 10000)")
    p.add_argument("--full", action="store_true", help=f"{FULL_SCHEDULES:,} schedules")
    p.add_argument("--ticks", type=int, default=20_000, help="idle ticks timed per store (default 20000)")
    p.add_argument("--budget", type=float, default=3.0, help="seconds at most for one store's ticks (default 3)")
    args = p.parse_args()
    n = FULL_SCHEDULES if args.full else args.schedules
    if min(n, args.ticks) < 1:
        raise SystemExit("every count must be positive")

    banner("sqlite reads the due rows through its index and counts nothing; Ombrel also reports how many "
           "schedules there are")
    with workdir(args) as tmp:
        for kind in KINDS:
            bench_kind(tmp, kind, n, args.ticks, args.budget)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
