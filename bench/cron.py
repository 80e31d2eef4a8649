#!/usr/bin/env python3
"""Cron schedules whose expression matches once a year, in Ombrel Store and in Python's sqlite3.

Each case makes the store search for the next matching minute of "0 0 1 1 *" (midnight on
1 January), roughly a year ahead of the starting time:

  create   `create_cron_schedule` from a random starting time: one search and one commit.
  fire     `tick_cron_schedules` on a store holding one yearly schedule, ticked at its due
           time: a job submission (one commit), a search from the fired occurrence to the
           next year and the schedule write (a second commit). Every firing adds a job and
           the submission's idempotency check reads every job record, so this case slows
           down as jobs pile up (the store holds up to N jobs at the end of it).

sqlite3 does the same work in WAL mode at the matching durability: Python computes the next
occurrence (a walk over calendar days with datetime, which is how a program without a cron
engine would do it; "walk") or in closed form (the storage cost alone; "direct"), and the rows
are inserted/updated in the same number of commits.
"relaxed" is matched by synchronous=OFF, "data" by synchronous=FULL (an fsync per commit).

Also shown, without a sqlite counterpart: the cost of a search that never succeeds
("0 0 31 2 *"), which walks the whole 2928-day horizon before failing, next to a create
whose expression matches every minute (search cost close to nothing).

    python bench/cron.py [--ops N] [--fires N] [--data-ops N] [--seed N] [--dir PATH]

Ratios are Ombrel time per operation divided by sqlite time per operation, both measured in
this run: below 1 Ombrel is faster.
"""

from __future__ import annotations

import datetime as dt
import os
import random
from pathlib import Path

from harness import Store, banner, ombrel_store, parse, parser, report, sqlite_open, timed, workdir

YEARLY = "0 0 1 1 *"
NEVER = "0 0 31 2 *"
EVERY_MINUTE = "* * * * *"
EPOCH = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)
DAY = dt.timedelta(days=1)


def next_new_year_ms(after_ms: int) -> int:
    """The first midnight of a 1 January strictly after after_ms, walking day by day."""
    t = EPOCH + dt.timedelta(milliseconds=after_ms)
    day = dt.datetime(t.year, t.month, t.day, tzinfo=dt.timezone.utc) + DAY
    while not (day.month == 1 and day.day == 1):
        day += DAY
    return (day - EPOCH) // dt.timedelta(milliseconds=1)


def new_year_direct_ms(after_ms: int) -> int:
    """The same instant computed in closed form, as only this one expression allows."""
    t = EPOCH + dt.timedelta(milliseconds=after_ms)
    return (dt.datetime(t.year + 1, 1, 1, tzinfo=dt.timezone.utc) - EPOCH) // dt.timedelta(milliseconds=1)


NEXT_TIME = {"walk": next_new_year_ms, "direct": new_year_direct_ms}
# datetime stops at year 9999: long firing runs start a fresh schedule every this many years.
FIRES_PER_SCHEDULE = 5_000


_SCHEMA = """
CREATE TABLE schedule (id BLOB PRIMARY KEY, expression TEXT, handler BLOB, payload BLOB,
                       next_run_ms INTEGER, enabled INTEGER, fire_count INTEGER, last_fired_at_ms INTEGER);
CREATE INDEX schedule_next ON schedule (next_run_ms);
CREATE TABLE job (id BLOB PRIMARY KEY, handler BLOB, payload BLOB, available_at_ms INTEGER,
                  idempotency_key BLOB UNIQUE);
"""


def ombrel_creates(store, starts):
    create = store.create_cron_schedule
    for after in starts:
        create(YEARLY, b"handler", b"payload", after)


def sqlite_creates(conn, starts, next_time):
    execute = conn.cursor().execute
    for after in starts:
        execute("INSERT INTO schedule VALUES (?, ?, ?, ?, ?, 1, 0, NULL)",
                (os.urandom(16), YEARLY, b"handler", b"payload", next_time(after)))


def ombrel_fires(store, n):
    get, tick = store.get_cron_schedule, store.tick_cron_schedules
    for i in range(n):
        if i % FIRES_PER_SCHEDULE == 0:
            if i:
                store.set_cron_schedule_enabled(schedule_id, False)
            schedule_id = store.create_cron_schedule(YEARLY, b"handler", b"payload", 0)
        if tick(get(schedule_id)["next_run_ms"], 1)[1] != 1:
            raise SystemExit("a due yearly schedule did not fire")


def sqlite_fires(conn, n, next_time):
    execute = conn.cursor().execute
    for i in range(n):
        if i % FIRES_PER_SCHEDULE == 0:
            if i:
                execute("UPDATE schedule SET enabled = 0 WHERE id = ?", (schedule_id,))
            schedule_id = os.urandom(16)
            execute("INSERT INTO schedule VALUES (?, ?, ?, ?, ?, 1, 0, NULL)",
                    (schedule_id, YEARLY, b"handler", b"payload", next_time(0)))
        (due,) = execute("SELECT next_run_ms FROM schedule WHERE id = ?", (schedule_id,)).fetchone()
        key = b"omb:cron:" + schedule_id + due.to_bytes(8, "big", signed=True)
        execute("INSERT OR IGNORE INTO job VALUES (?, ?, ?, ?, ?)", (os.urandom(16), b"handler", b"payload", due, key))
        execute("UPDATE schedule SET fire_count = fire_count + 1, last_fired_at_ms = ?, next_run_ms = ? WHERE id = ?",
                (due, next_time(due), schedule_id))


def bench(tmp: Path, args, rng: random.Random) -> None:
    for durability, sync, n, fires in (("relaxed", "OFF", args.ops, args.fires),
                                       ("data", "FULL", args.data_ops, args.data_ops)):
        starts = [rng.randrange(0, 4_102_444_800_000) for _ in range(n)]  # 1970 to 2100
        print(f"\n{durability} durability: {n:,} creates, {fires:,} firings")
        for case, ombrel_run, sqlite_run, arg in (("create yearly", ombrel_creates, sqlite_creates, starts),
                                                  ("fire yearly", ombrel_fires, sqlite_fires, fires)):
            store = Store.open(tmp / f"{case}-{durability}.omb", durability=durability)
            try:
                o_s, _ = timed(ombrel_run, store, arg)
            finally:
                store.close()
            for how, next_time in NEXT_TIME.items():
                conn = sqlite_open(tmp / f"{case}-{durability}-{how}.sqlite", sync, _SCHEMA)
                try:
                    s_s, _ = timed(sqlite_run, conn, arg, next_time)
                finally:
                    conn.close()
                report(case, len(arg) if isinstance(arg, list) else arg, o_s, f"sqlite sync={sync} {how}", s_s)
    print("  walk: Python steps day by day to the next 1 January (a generic search);"
          " direct: computes it in closed form (storage cost alone)")

    print("\nsearch extremes (Ombrel only, relaxed durability):")
    store = Store.open(tmp / "extremes.omb", durability="relaxed")
    try:
        n = args.ops
        o_s, _ = timed(lambda: [store.create_cron_schedule(EVERY_MINUTE, b"h", b"", 0) for _ in range(n)])
        print(f"  create, every minute (next minute):      {o_s / n * 1e6:9.1f} us each, n={n:,}")
        o_y, _ = timed(ombrel_creates, store, [0] * n)
        print(f"  create, yearly (about 365 days ahead):   {o_y / n * 1e6:9.1f} us each, n={n:,}")
        failures = max(1, n // 100)

        def never():
            for _ in range(failures):
                try:
                    store.create_cron_schedule(NEVER, b"h", b"", 0)
                except ombrel_store.OmbrelStoreError:
                    pass
                else:
                    raise SystemExit(f"{NEVER!r} unexpectedly matched")

        o_n, _ = timed(never)
        print(f"  create, never matching (whole horizon):  {o_n / failures * 1e6:9.1f} us each, n={failures:,}")
    finally:
        store.close()


def main() -> int:
    p = parser(__doc__)
    p.add_argument("--ops", type=int, default=20_000, help="operations per relaxed case (default 20000)")
    p.add_argument("--fires", type=int, default=5_000,
                   help="firings of the relaxed fire case; each reads every job so far (default 5000)")
    p.add_argument("--data-ops", type=int, default=500,
                   help="operations per data-durability case, a sync per commit (default 500)")
    p.add_argument("--seed", type=int, default=1)
    args = parse(p, positive=("ops", "fires", "data_ops"))
    if not hasattr(Store, "create_cron_schedule"):
        raise SystemExit("this build has no cron schedules")

    banner(f"expression {YEARLY!r}; sqlite in autocommit (a transaction per statement)")
    with workdir(args) as tmp:
        bench(tmp, args, random.Random(args.seed))
    return 0

if __name__ == "__main__":
    raise SystemExit(main())
