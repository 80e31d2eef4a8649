#!/usr/bin/env python3
"""Messaging throughput of Ombrel Store next to Python's sqlite3 and two SQLite-backed queue libraries.

Each section is one function taking (tmp_dir, args) and reporting rows; add a section by
writing another and listing it in SECTIONS.

queues: pushes, and push+claim+ack cycles (the push keeps the backlog where it was), on a
queue that already holds 1,000, 10,000 and 100,000 ready messages. The sqlite queue is a table
with an index on (state, priority, id); its claim is one immediate transaction that picks the
best ready message (and the best expired lease) through the index and marks it leased, its ack
a delete. The same cycle runs against persist-queue's SQLiteAckQueue (put, get, ack) and huey's
SqliteStorage (enqueue, dequeue: huey takes and deletes in one step, with no lease) when they
are installed; they are benchmark-only tools, never dependencies of the package. Durability is
matched: "relaxed" with synchronous=OFF everywhere, "data" with synchronous=FULL (WAL mode, a
sync per commit). The section also prints the heap memory the queue's index takes per message.

rpc: expire_rpc_requests with nothing due, and outbox_len, on stores holding 1,000 and 50,000
requests (deadlines in the future) or events, next to sqlite with an index on the deadline and
a COUNT(*) of the event table.

    python bench/messaging.py [--backlogs 1000,10000,100000] [--pushes N] [--cycles N]
                              [--claim-budget S] [--records 1000,50000] [--calls N]
                              [--durability relaxed|data]

Ratios are Ombrel time per operation divided by the other side's time per operation, both
measured in this run: below 1 Ombrel is faster. Everything runs in a temporary directory that
is removed.
"""

from __future__ import annotations

import ctypes
import gc
import os
import time
from functools import partial
from pathlib import Path

import harness
from harness import SQLITE_SYNC, Store, banner, parse, parser, sqlite_open, timed, workdir

report = partial(harness.report, unit="us")

try:
    import persistqueue
except ImportError:
    persistqueue = None
try:
    from huey.storage import SqliteStorage as HueySqliteStorage
except ImportError:
    HueySqliteStorage = None


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def heap_in_use() -> int:
    """Bytes the C allocator has handed out and not had back (glibc's mallinfo2), or 0 where it is not there."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return 0
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


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


def ombrel_cycles(store, count: int, budget_s: float, payload: bytes) -> int:
    """Push+claim+ack cycles until `count` are done or the time budget is spent; returns the number done."""
    push, claim, ack = store.push_queue, store.claim_queue, store.ack_queue
    deadline = time.perf_counter() + budget_s
    for i in range(count):
        push(b"work", payload)
        message = claim(b"work", i, 30_000)
        if message is None:
            raise SystemExit("ombrel queue ran dry")
        ack(b"work", message["id"], message["lease_generation"])
        if time.perf_counter() > deadline:
            return i + 1
    return count


def sqlite_cycles(queue: SqliteQueue, count: int, payload: bytes) -> None:
    push, claim, ack = queue.push, queue.claim, queue.ack
    for i in range(count):
        push(payload)
        row = claim(i, 30_000)
        if row is None:
            raise SystemExit("sqlite queue ran dry")
        ack(row[0], row[2])


def persist_queue_open(path: Path, synchronous: str):
    queue = persistqueue.SQLiteAckQueue(str(path), multithreading=False)
    # The library leaves sqlite's default; match the durability measured.
    for conn in {id(c): c for c in (queue._putter, queue._getter)}.values():
        conn.execute(f"PRAGMA synchronous={synchronous}")
    return queue


def persist_queue_cycles(queue, count: int, payload: bytes) -> None:
    for _ in range(count):
        queue.put(payload)
        item = queue.get(block=False, raw=True)
        queue.ack(id=item["pqid"])


def huey_open(path: Path, synchronous: str):
    return HueySqliteStorage(name="work", filename=str(path), fsync=synchronous == "FULL")


def huey_cycles(storage, count: int, payload: bytes) -> None:
    for _ in range(count):
        storage.enqueue(payload)
        if storage.dequeue() is None:
            raise SystemExit("huey queue ran dry")


def fill_each(put, count: int, payload: bytes) -> None:
    for _ in range(count):
        put(payload)


def bench_libraries(tmp: Path, backlog: int, done: int, payload: bytes, sync: str, ombrel_s: float,
                    cycles: dict) -> None:
    """The same cycles against persist-queue and huey, each filled to the same backlog first."""
    sides = [("persist-queue", persistqueue, persist_queue_open, lambda q: q.put, persist_queue_cycles),
             ("huey", HueySqliteStorage, huey_open, lambda s: s.enqueue, huey_cycles)]
    for label, module, opener, putter, run in sides:
        if module is None:
            print(f"  ({label} is not installed: skipped; pip install {label} to compare)")
            continue
        side = opener(tmp / f"{label}-{backlog}.db", sync)
        fill_each(putter(side), backlog, payload)
        other_s, _ = timed(run, side, done, payload)
        row = report(f"cycle @ {backlog:,}", done, ombrel_s, f"{label} sync={sync}", other_s)
        cycles.setdefault(label, []).append((backlog, row.other_per_op() * 1e6))
        del side
        gc.collect()


def bench_queues(tmp: Path, args) -> None:
    payload = os.urandom(args.payload_size)
    sync = SQLITE_SYNC[args.durability]
    cycles: dict[str, list[tuple[int, float]]] = {}
    for backlog in args.backlogs:
        print(f"\nqueue holding {backlog:,} ready messages of {args.payload_size} bytes"
              f" ({args.durability} durability, synchronous={sync} on the other sides)")
        omb_path, sql_path = tmp / f"q{backlog}.omb", tmp / f"q{backlog}.sqlite"
        fill_s, _ = timed(fill_ombrel, omb_path, backlog, payload)
        sq = SqliteQueue(sql_path, sync)
        sq.fill(backlog, payload)
        print(f"  (filled: ombrel {backlog:,} pushes in {fill_s:.1f} s; sqlite one bulk insert)")
        store = Store.open(omb_path, durability=args.durability)
        try:
            gc.collect()
            heap = heap_in_use()
            store.queue_stats(b"work")  # the first question builds the queue's index
            built = heap_in_use() - heap
            got = store.claim_queue(b"work", 0, 1)  # every message is due from now on
            store.nack_queue(b"work", got["id"], got["lease_generation"], 0)
            due = heap_in_use() - heap
            if heap:
                print(f"  (heap taken by the queue's index: {built / backlog:.1f} bytes per message once built,"
                      f" {due / backlog:.1f} once every message is due)")
            o_s, _ = timed(ombrel_pushes, store, args.pushes, payload)
            s_s, _ = timed(sqlite_pushes, sq, args.pushes, payload)
            report(f"push @ {backlog:,}", args.pushes, o_s, f"sqlite sync={sync}", s_s)
            o_s, done = timed(ombrel_cycles, store, args.cycles, args.claim_budget, payload)
            s_s, _ = timed(sqlite_cycles, sq, done, payload)
            if done < args.cycles:
                print(f"  (cycles time-boxed at {args.claim_budget:g} s: {done} on every side)")
            row = report(f"cycle @ {backlog:,}", done, o_s, f"sqlite sync={sync}", s_s)
            cycles.setdefault("ombrel", []).append((backlog, row.ombrel_per_op() * 1e6))
            cycles.setdefault("sqlite", []).append((backlog, row.other_per_op() * 1e6))
            stats = store.queue_stats(b"work")
            expected = backlog + args.pushes
            if stats["ready"] != expected or stats["leased"] != 0:
                raise SystemExit(f"ombrel queue holds {stats}, expected {expected} ready")
            bench_libraries(tmp, backlog, done, payload, sync, o_s, cycles)
        finally:
            store.close()
            sq.close()
        omb_path.unlink()
    if len(args.backlogs) > 1:
        print("\npush+claim+ack cost per cycle as the backlog grows:")
        for label, points in cycles.items():
            base_backlog, base = points[0]
            growth = ", ".join(f"{b:,}: {us:8.1f} us (x{us / base:5.2f})" for b, us in points)
            print(f"  {label:<14} {growth}")


# --- RPC expiry and outbox length -------------------------------------------------------

_SQL_RPC_SCHEMA = """
CREATE TABLE req (tx_id INTEGER NOT NULL, nonce BLOB NOT NULL, deadline_ms INTEGER, payload BLOB NOT NULL,
                  PRIMARY KEY (tx_id, nonce)) WITHOUT ROWID;
CREATE INDEX req_deadline ON req (deadline_ms) WHERE deadline_ms IS NOT NULL;
CREATE TABLE outbox (tx_id INTEGER NOT NULL, nonce BLOB NOT NULL, payload BLOB NOT NULL,
                     PRIMARY KEY (tx_id, nonce)) WITHOUT ROWID;
"""
_SQL_DUE = ("SELECT tx_id, nonce FROM req WHERE deadline_ms IS NOT NULL AND deadline_ms <= ?"
            " ORDER BY tx_id, nonce LIMIT ?")


def bench_rpc(tmp: Path, args) -> None:
    sync = SQLITE_SYNC[args.durability]
    payload = os.urandom(args.payload_size)
    far = 10**15
    for records in args.records:
        print(f"\n{records:,} pending RPC requests (deadlines not yet reached) and {records:,} outbox events")
        path = tmp / f"rpc{records}.omb"
        with Store.open(path, durability="relaxed") as store:
            for i in range(records):
                store.submit_rpc_request(b"method", payload, i, far + i)
                store.emit_outbox_event(b"topic", payload, i)
        conn = sqlite_open(tmp / f"rpc{records}.sqlite", sync, _SQL_RPC_SCHEMA)
        conn.execute("BEGIN")
        conn.executemany("INSERT INTO req VALUES (?, ?, ?, ?)",
                         ((i, os.urandom(16), far + i, payload) for i in range(records)))
        conn.executemany("INSERT INTO outbox VALUES (?, ?, ?)", ((i, os.urandom(16), payload) for i in range(records)))
        conn.execute("COMMIT")
        store = Store.open(path, durability=args.durability)
        try:
            expire, length = store.expire_rpc_requests, store.outbox_len
            expire(0)  # built on first use
            length()
            calls = args.calls

            def ombrel_expiries():
                for _ in range(calls):
                    if expire(0, 100) != 0:
                        raise SystemExit("a request expired early")

            def sqlite_expiries():
                for _ in range(calls):
                    if conn.execute(_SQL_DUE, (0, 100)).fetchall():
                        raise SystemExit("a request expired early")

            def ombrel_lengths():
                for _ in range(calls):
                    length()

            def sqlite_lengths():
                for _ in range(calls):
                    conn.execute("SELECT COUNT(*) FROM outbox").fetchone()

            o_s, _ = timed(ombrel_expiries)
            s_s, _ = timed(sqlite_expiries)
            report(f"expire, none due @ {records:,}", calls, o_s, f"sqlite sync={sync}", s_s)
            o_s, _ = timed(ombrel_lengths)
            s_s, _ = timed(sqlite_lengths)
            report(f"outbox_len @ {records:,}", calls, o_s, f"sqlite sync={sync}", s_s)
        finally:
            store.close()
            conn.close()


SECTIONS = {"queues": bench_queues, "rpc": bench_rpc}


def main() -> int:
    p = parser(__doc__)
    p.add_argument("--sections", default=",".join(SECTIONS),
                   help=f"comma-separated sections to run (default all: {','.join(SECTIONS)})")
    p.add_argument("--backlogs", default="1000,10000,100000",
                   help="ready messages already queued, comma-separated (default 1000,10000,100000)")
    p.add_argument("--pushes", type=int, default=2_000, help="pushes measured per backlog (default 2000)")
    p.add_argument("--cycles", type=int, default=2_000, help="push+claim+ack cycles per backlog (default 2000)")
    p.add_argument("--claim-budget", type=float, default=5.0,
                   help="seconds Ombrel may spend on the cycles of one backlog; the other sides then"
                        " run as many (default 5)")
    p.add_argument("--records", default="1000,50000",
                   help="pending RPC requests and outbox events, comma-separated (default 1000,50000)")
    p.add_argument("--calls", type=int, default=2_000, help="expiry and length calls per size (default 2000)")
    p.add_argument("--payload-size", type=int, default=100, help="payload bytes (default 100)")
    p.add_argument("--durability", choices=sorted(SQLITE_SYNC), default="relaxed",
                   help="store durability, matched in sqlite (default relaxed)")
    args = parse(p, positive=("pushes", "cycles", "calls"))
    args.backlogs = [int(b) for b in args.backlogs.split(",") if b]
    args.records = [int(r) for r in args.records.split(",") if r]
    sections = [s for s in args.sections.split(",") if s]
    for name in sections:
        if name not in SECTIONS:
            raise SystemExit(f"unknown section {name!r}")
    if any(b < 1 for b in args.backlogs) or any(r < 0 for r in args.records):
        raise SystemExit("backlogs must be positive and record counts not negative")

    banner()
    with workdir(args) as tmp:
        for name in sections:
            SECTIONS[name](tmp, args)
    return 0

if __name__ == "__main__":
    raise SystemExit(main())
