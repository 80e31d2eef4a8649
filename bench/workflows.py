#!/usr/bin/env python3
"""Workflow instances in Ombrel Store next to Python's sqlite3 doing the same work.

Cases:
  resume        one `resume_due_workflows(now, 100)` over N instances (20,000 by default, 100,000
                with --full) of which 100 wait for a timer that is due: the store's in-memory index
                of timers names the due instances, and each is resumed in a commit of its own
                (record + "timer_fired" history entry). It is compared with sqlite finding the due
                rows through an index on (status, resume_at_ms) and updating each (row + history
                row, one transaction each), and with the same sqlite work forced to a full table
                scan (NOT INDEXED).
  resume, none due  the same call when nothing is due, next to sqlite counting every row by a full
                scan (the result reports how many instances there are).
  purge         `purge_finished_workflows(now, 100)` removing the 100 oldest finished instances
                with their history in one commit, next to sqlite selecting them through an index
                on (status, updated_at_ms) and deleting the rows and their history rows in one
                transaction.
  step          `set_workflow_step`: the instance record and one history entry in one commit,
                next to sqlite updating the instance row and inserting a history row (its sequence
                from max(sequence) + 1 through the history primary key) in one transaction.

The first call of an open store builds the index; that build, and the memory the index keeps per
instance (growth of the resident set, after malloc_trim), are printed but not timed against
anything.

sqlite3 runs in WAL mode; every Ombrel commit is matched by one sqlite transaction holding the
same rows. "relaxed" durability is matched by synchronous=OFF, "data" by synchronous=FULL (an
fsync per commit).

    python bench/workflows.py [--instances N | --full] [--due N] [--steps N] [--data-steps N] [--dir PATH]

Ratios are Ombrel time per operation divided by sqlite time per operation, both measured in
this run: below 1 Ombrel is faster. Everything runs in a temporary directory that is removed.
"""

from __future__ import annotations

import os
from functools import partial
from pathlib import Path

import harness
from harness import Store, banner, parser, resident_bytes, sqlite_open, timed, workdir

report = partial(harness.report, unit="us")
STATE = b"s" * 64
RUNNING, WAITING = 0, 1
FULL_INSTANCES = 100_000

# --- sqlite side ----------------------------------------------------------------------

_SCHEMA = """
CREATE TABLE IF NOT EXISTS wf (
  id BLOB PRIMARY KEY, workflow_type BLOB NOT NULL, status INTEGER NOT NULL, current_step BLOB NOT NULL,
  state BLOB NOT NULL, parent_id BLOB, wait_kind INTEGER NOT NULL, wait_signal BLOB, resume_at_ms INTEGER,
  created_at_ms INTEGER NOT NULL, updated_at_ms INTEGER NOT NULL
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS wf_timer ON wf (status, resume_at_ms);
CREATE INDEX IF NOT EXISTS wf_finished ON wf (status, updated_at_ms);
CREATE TABLE IF NOT EXISTS wf_history (
  id BLOB NOT NULL, sequence INTEGER NOT NULL, at_ms INTEGER NOT NULL, kind INTEGER NOT NULL, detail BLOB NOT NULL,
  PRIMARY KEY (id, sequence)
) WITHOUT ROWID;
"""


def _append_history(conn, wf_id, now_ms, kind, detail):
    seq = conn.execute("SELECT max(sequence) FROM wf_history WHERE id = ?", (wf_id,)).fetchone()[0] + 1
    conn.execute("INSERT INTO wf_history VALUES (?, ?, ?, ?, ?)", (wf_id, seq, now_ms, kind, detail))


def sqlite_create(conn, n):
    ids = [os.urandom(16) for _ in range(n)]
    conn.execute("BEGIN")
    for wf_id in ids:
        conn.execute("INSERT INTO wf VALUES (?, 'order', 0, 'start', ?, NULL, 0, NULL, NULL, 0, 0)", (wf_id, STATE))
        conn.execute("INSERT INTO wf_history VALUES (?, 0, 0, 0, x'')", (wf_id,))
    conn.execute("COMMIT")
    return ids


def sqlite_wait_until(conn, wf_id, resume_at_ms, now_ms):
    conn.execute("BEGIN")
    conn.execute("UPDATE wf SET status = 1, wait_kind = 2, wait_signal = NULL, resume_at_ms = ?, updated_at_ms = ? "
                 "WHERE id = ?", (resume_at_ms, now_ms, wf_id))
    _append_history(conn, wf_id, now_ms, 4, resume_at_ms.to_bytes(8, "little", signed=True))
    conn.execute("COMMIT")


def sqlite_resume(conn, now_ms, limit, indexed=True):
    total = conn.execute("SELECT count(*) FROM wf").fetchone()[0]
    source = "wf" if indexed else "wf NOT INDEXED"
    due = conn.execute(f"SELECT id FROM {source} WHERE status = 1 AND wait_kind = 2 AND resume_at_ms <= ? "
                       "ORDER BY id LIMIT ?", (now_ms, limit)).fetchall()
    for (wf_id,) in due:
        conn.execute("BEGIN")
        conn.execute("UPDATE wf SET status = 0, wait_kind = 0, resume_at_ms = NULL, updated_at_ms = ? WHERE id = ?",
                     (now_ms, wf_id))
        _append_history(conn, wf_id, now_ms, 5, b"")
        conn.execute("COMMIT")
    return total, len(due)


def sqlite_complete(conn, wf_id, now_ms):
    conn.execute("BEGIN")
    conn.execute("UPDATE wf SET status = 2, wait_kind = 0, resume_at_ms = NULL, updated_at_ms = ? WHERE id = ?",
                 (now_ms, wf_id))
    _append_history(conn, wf_id, now_ms, 6, b"")
    conn.execute("COMMIT")


def sqlite_purge(conn, before_ms, limit):
    finished = conn.execute("SELECT id FROM wf WHERE status IN (2, 3, 4) AND updated_at_ms < ? "
                            "ORDER BY updated_at_ms, id LIMIT ?", (before_ms, limit)).fetchall()
    conn.execute("BEGIN")
    for (wf_id,) in finished:
        conn.execute("DELETE FROM wf_history WHERE id = ?", (wf_id,))
        conn.execute("DELETE FROM wf WHERE id = ?", (wf_id,))
    conn.execute("COMMIT")
    return len(finished)


def sqlite_step(conn, wf_id, now_ms):
    conn.execute("BEGIN")
    conn.execute("UPDATE wf SET status = 0, current_step = 'next', state = ?, wait_kind = 0, wait_signal = NULL, "
                 "resume_at_ms = NULL, updated_at_ms = ? WHERE id = ?", (STATE, now_ms, wf_id))
    _append_history(conn, wf_id, now_ms, 1, b"next")
    conn.execute("COMMIT")


# --- cases ----------------------------------------------------------------------------


def bench_resume(tmp: Path, n: int, due: int) -> None:
    print(f"\nresume, relaxed durability: {n:,} instances, {due:,} due")
    store = Store.open(tmp / "resume.omb", durability="relaxed")
    conn = sqlite_open(tmp / "resume.sqlite", "OFF", _SCHEMA)
    try:
        build_s, ids = timed(lambda: [store.create_workflow(b"order", b"start", STATE, 0) for _ in range(n)])
        sqlite_ids = sqlite_create(conn, n)
        print(f"  (built: {n:,} creates in {build_s:.1f} s)")
        # Park the due instances at spread-out key positions, and as many more on a future timer.
        step = max(1, n // (2 * due))
        parked = sorted(ids)[::step][: 2 * due]
        sqlite_parked = sorted(sqlite_ids)[::step][: 2 * due]
        for i, (wf_id, sqlite_id) in enumerate(zip(parked, sqlite_parked)):
            at = 10 if i % 2 == 0 else 10**12
            store.wait_until(wf_id, at, 1)
            sqlite_wait_until(conn, sqlite_id, at, 1)

        before = resident_bytes()
        build_s, _ = timed(store.resume_due_workflows, 5, 0)  # counts only; builds the index if there is one
        grown = resident_bytes() - before
        print(f"  (first call: {build_s * 1e3:.1f} ms; resident set +{grown / n:.0f} bytes per instance)")
        o_s, counts = timed(store.resume_due_workflows, 5, due)  # nothing due yet
        s_s, (total, resumed) = timed(sqlite_resume, conn, 5, due, False)
        if counts != {"scanned": n, "resumed": 0} or (total, resumed) != (n, 0):
            raise SystemExit(f"a resume with nothing due woke something: {counts}, {resumed}")
        report(f"resume of {n:,}, none due", 1, o_s, "sqlite full scan", s_s)

        o_s, counts = timed(store.resume_due_workflows, 100, due)
        s_s, (total, resumed) = timed(sqlite_resume, conn, 100, due, True)
        if counts != {"scanned": n, "resumed": due} or (total, resumed) != (n, due):
            raise SystemExit(f"resume woke the wrong number of instances: {counts}, {resumed}")
        report(f"resume {due} of {n:,}", 1, o_s, "sqlite (status,resume_at)", s_s)

        for i, sqlite_id in enumerate(sqlite_parked):  # park sqlite's due rows again
            if i % 2 == 0:
                sqlite_wait_until(conn, sqlite_id, 10, 2)
        s_s, (total, resumed) = timed(sqlite_resume, conn, 100, due, False)
        if (total, resumed) != (n, due):
            raise SystemExit("sqlite's full-scan resume woke the wrong number of rows")
        report(f"resume {due} of {n:,}", 1, o_s, "sqlite full scan", s_s)

        if not hasattr(store, "purge_finished_workflows"):
            return
        for wf_id, sqlite_id in zip(parked[::2], sqlite_parked[::2]):
            store.complete_workflow(wf_id, b"done", 200)
            sqlite_complete(conn, sqlite_id, 200)
        o_s, removed = timed(store.purge_finished_workflows, 300, due)
        s_s, sqlite_removed = timed(sqlite_purge, conn, 300, due)
        if removed != due or sqlite_removed != due:
            raise SystemExit(f"purge removed the wrong number of instances: {removed}, {sqlite_removed}")
        report(f"purge {due} of {n:,}", 1, o_s, "sqlite (status,updated_at)", s_s)
    finally:
        store.close()
        conn.close()


def bench_steps(tmp: Path, n: int, durability: str, synchronous: str) -> None:
    print(f"\nstep changes, {durability} durability: {n:,} set_workflow_step calls on 1,000 instances")
    store = Store.open(tmp / f"step-{durability}.omb", durability=durability)
    conn = sqlite_open(tmp / f"step-{durability}.sqlite", synchronous, _SCHEMA)
    try:
        ids = [store.create_workflow(b"order", b"start", STATE, 0) for _ in range(1_000)]
        sqlite_ids = sqlite_create(conn, 1_000)
        o_s, _ = timed(lambda: [store.set_workflow_step(ids[i % 1_000], b"next", STATE, i) for i in range(n)])
        s_s, _ = timed(lambda: [sqlite_step(conn, sqlite_ids[i % 1_000], i) for i in range(n)])
        if len(store.workflow_history(ids[0])) != 1 + (n + 999) // 1_000:
            raise SystemExit("ombrel lost step changes")
        report(f"step {durability}", n, o_s, f"sqlite sync={synchronous}", s_s, unit="/s")
    finally:
        store.close()
        conn.close()


def main() -> int:
    p = parser(__doc__)
    p.add_argument("--instances", type=int, default=20_000, help="instances of the resume case (default 20000)")
    p.add_argument("--full", action="store_true", help=f"resume over {FULL_INSTANCES:,} instances")
    p.add_argument("--due", type=int, default=100, help="due instances, also the resume limit (default 100)")
    p.add_argument("--steps", type=int, default=20_000, help="relaxed step changes (default 20000)")
    p.add_argument("--data-steps", type=int, default=1_000, help="data-durability step changes (default 1000)")
    args = p.parse_args()
    instances = FULL_INSTANCES if args.full else args.instances
    if min(instances, args.due, args.steps, args.data_steps) < 1:
        raise SystemExit("every count must be positive")
    if 2 * args.due > instances:
        raise SystemExit("--due must be at most half of the instances")

    banner()
    with workdir(args) as tmp:
        bench_resume(tmp, instances, args.due)
        bench_steps(tmp, args.steps, "relaxed", "OFF")
        bench_steps(tmp, args.data_steps, "data", "FULL")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
