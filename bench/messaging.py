#!/usr/bin/env python3
"""Messaging throughput of Ombrel Store next to Python's sqlite3 doing the same work.

Each section is one function taking (tmp_dir, args) and reporting rows; add a section by
writing another and listing it in SECTIONS.

queues: pushes, and claim+ack cycles, on a queue that already holds 1,000, 10,000 and
100,000 ready messages. The sqlite queue is a table with an index on (state, priority, id);
its claim is one immediate transaction that picks the best ready message (and the best
expired lease) through the index and marks it leased, its ack a delete: two transactions
per cycle, as in Ombrel. Durability is matched: "relaxed" with synchronous=OFF, "data" with
synchronous=FULL (WAL mode, a sync per commit).

    python bench/messaging.py [--backlogs 1000,10000,100000] [--pushes N] [--cycles N]
                              [--claim-budget S] [--durability relaxed|data]

Ratios are Ombrel time per operation divided by sqlite time per operation, both measured in
this run: below 1 Ombrel is faster. Everything runs in a temporary directory that is removed.
"""

from __future__ import annotations

import os
import time
from functools import partial
from pathlib import Path

import harness
from harness import SQLITE_SYNC, Store, banner, parse, parser, sqlite_open, timed, workdir

report = partial(harness.report, unit="us")


# --- queues ---------------------------------------------------------------------------

_SQL_SCHEMA = """
CREATE TABLE q (id INTEGER PRIMARY KEY, state INTEGER NOT NULL, attempts INTEGER NOT NULL,
                priority INTEGER NOT NULL, available_at_ms INTEGER NOT NULL, lease_until_ms INTEGER NOT NULL,
                payload BLOB NOT NULL);
CREATE INDEX q_claim ON q (state, priority DESC, id);
"""
_SQL_PUSH = "INSERT INTO q (state, attempts, priority, available_at_ms, lease_until_ms, payload) VALUES (0, 0, ?, ?, 0, ?)"
_SQL_READY = ("SELECT id, priority FROM q WHERE state = 0 AND available_at_ms <= ?"
              " ORDER BY priority DESC, id LIMIT 1")
_SQL_EXPIRED = ("SELECT id, priority FROM q WHERE state = 1 AND lease_until_ms <= ?"
                " ORDER BY priority DESC, id LIMIT 1")
_SQL_LEASE = ("UPDATE q SET state = 1, attempts = attempts + 1, lease_until_ms = ? WHERE id = ?"
              " RETURNING id, payload, attempts")
_SQL_ACK = "DELETE FROM q WHERE id = ? AND state = 1 AND attempts = ?"


class SqliteQueue:
    """The same queue in sqlite: claim by priority then id among ready messages and expired leases."""

    def __init__(self, path: Path, synchronous: str):
        self.conn = sqlite_open(path, synchronous, _SQL_SCHEMA)
        self.cur = self.conn.cursor()

    def fill(self, count: int, payload: bytes) -> None:
        self.cur.execute("BEGIN")
        self.cur.executemany(_SQL_PUSH, ((0, 0, payload) for _ in range(count)))
        self.cur.execute("COMMIT")

    def push(self, payload: bytes) -> int:
        return self.cur.execute(_SQL_PUSH, (0, 0, payload)).lastrowid

    def claim(self, now_ms: int, lease_ms: int):
        cur = self.cur
        cur.execute("BEGIN IMMEDIATE")
        ready = cur.execute(_SQL_READY, (now_ms,)).fetchone()
        expired = cur.execute(_SQL_EXPIRED, (now_ms,)).fetchone()
        candidates = [c for c in (ready, expired) if c is not None]
        if not candidates:
            cur.execute("COMMIT")
            return None
        best = min(candidates, key=lambda c: (-c[1], c[0]))
        row = cur.execute(_SQL_LEASE, (now_ms + lease_ms, best[0])).fetchone()
        cur.execute("COMMIT")
        return row

    def ack(self, message_id: int, generation: int) -> None:
        if self.cur.execute(_SQL_ACK, (message_id, generation)).rowcount != 1:
            raise SystemExit(f"sqlite ack of {message_id} matched nothing")

    def close(self) -> None:
        self.conn.close()


def fill_ombrel(path: Path, count: int, payload: bytes) -> None:
    # Filled at relaxed durability (no sync per push), then reopened as measured.
    with Store.open(path, durability="relaxed") as store:
        push = store.push_queue
        for _ in range(count):
            push(b"work", payload)


def ombrel_pushes(store, count: int, payload: bytes) -> None:
    push = store.push_queue
    for _ in range(count):
        push(b"work", payload)


def sqlite_pushes(queue: SqliteQueue, count: int, payload: bytes) -> None:
    push = queue.push
    for _ in range(count):
        push(payload)


def ombrel_cycles(store, count: int, budget_s: float) -> int:
    """Claim+ack cycles until `count` are done or the time budget is spent; returns the number done."""
    claim, ack = store.claim_queue, store.ack_queue
    deadline = time.perf_counter() + budget_s
    for i in range(count):
        message = claim(b"work", i, 30_000)
        if message is None:
            raise SystemExit("ombrel queue ran dry")
        ack(b"work", message["id"], message["lease_generation"])
        if time.perf_counter() > deadline:
            return i + 1
    return count


def sqlite_cycles(queue: SqliteQueue, count: int) -> None:
    claim, ack = queue.claim, queue.ack
    for i in range(count):
        row = claim(i, 30_000)
        if row is None:
            raise SystemExit("sqlite queue ran dry")
        ack(row[0], row[2])


def bench_queues(tmp: Path, args) -> None:
    payload = os.urandom(args.payload_size)
    sync = SQLITE_SYNC[args.durability]
    claim_us: list[tuple[int, float, float]] = []
    for backlog in args.backlogs:
        print(f"\nqueue holding {backlog:,} ready messages of {args.payload_size} bytes"
              f" ({args.durability} durability, sqlite synchronous={sync})")
        omb_path, sql_path = tmp / f"q{backlog}.omb", tmp / f"q{backlog}.sqlite"
        fill_s, _ = timed(fill_ombrel, omb_path, backlog, payload)
        sq = SqliteQueue(sql_path, sync)
        sq.fill(backlog, payload)
        print(f"  (filled: ombrel {backlog:,} pushes in {fill_s:.1f} s; sqlite one bulk insert)")
        store = Store.open(omb_path, durability=args.durability)
        try:
            o_s, _ = timed(ombrel_pushes, store, args.pushes, payload)
            s_s, _ = timed(sqlite_pushes, sq, args.pushes, payload)
            report(f"push @ {backlog:,}", args.pushes, o_s, f"sqlite sync={sync}", s_s)
            o_s, done = timed(ombrel_cycles, store, args.cycles, args.claim_budget)
            s_s, _ = timed(sqlite_cycles, sq, done)
            if done < args.cycles:
                print(f"  (claims time-boxed at {args.claim_budget:g} s: {done} cycles on both sides)")
            row = report(f"claim+ack @ {backlog:,}", done, o_s, f"sqlite sync={sync}", s_s)
            claim_us.append((backlog, row.ombrel_per_op() * 1e6, row.other_per_op() * 1e6))
            stats = store.queue_stats(b"work")
            expected = backlog + args.pushes - done
            if stats["ready"] != expected or stats["leased"] != 0:
                raise SystemExit(f"ombrel queue holds {stats}, expected {expected} ready")
        finally:
            store.close()
            sq.close()
        omb_path.unlink()
    if len(claim_us) > 1:
        print("\nclaim+ack cost as the backlog grows (per cycle):")
        base_backlog, base_o, base_s = claim_us[0]
        for backlog, o_us, s_us in claim_us:
            print(f"  {backlog:>9,} ready: ombrel {o_us:10.1f} us (x{o_us / base_o:6.1f}),"
                  f" sqlite {s_us:8.1f} us (x{s_us / base_s:4.1f}) vs {base_backlog:,}")


SECTIONS = {"queues": bench_queues}


def main() -> int:
    p = parser(__doc__)
    p.add_argument("--sections", default=",".join(SECTIONS),
                   help=f"comma-separated sections to run (default all: {','.join(SECTIONS)})")
    p.add_argument("--backlogs", default="1000,10000,100000",
                   help="ready messages already queued, comma-separated (default 1000,10000,100000)")
    p.add_argument("--pushes", type=int, default=2_000, help="pushes measured per backlog (default 2000)")
    p.add_argument("--cycles", type=int, default=300, help="claim+ack cycles per backlog (default 300)")
    p.add_argument("--claim-budget", type=float, default=5.0,
                   help="seconds Ombrel may spend on the claim+ack cycles of one backlog; sqlite then"
                        " runs as many (default 5)")
    p.add_argument("--payload-size", type=int, default=100, help="payload bytes (default 100)")
    p.add_argument("--durability", choices=sorted(SQLITE_SYNC), default="relaxed",
                   help="store durability, matched in sqlite (default relaxed)")
    args = parse(p, positive=("pushes", "cycles"))
    args.backlogs = [int(b) for b in args.backlogs.split(",") if b]
    sections = [s for s in args.sections.split(",") if s]
    for name in sections:
        if name not in SECTIONS:
            raise SystemExit(f"unknown section {name!r}")
    if any(b < 0 for b in args.backlogs):
        raise SystemExit("backlogs must not be negative")
    if any(b + args.pushes < args.cycles for b in args.backlogs):
        raise SystemExit("--cycles must not exceed backlog + pushes")

    banner()
    with workdir(args) as tmp:
        for name in sections:
            SECTIONS[name](tmp, args)
    return 0

if __name__ == "__main__":
    raise SystemExit(main())
