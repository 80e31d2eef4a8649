#!/usr/bin/env python3
"""Streams and consumer groups of Ombrel Store next to Python's sqlite3 doing the same work.

Cases: appends to one stream (each its own commit) at "relaxed" and "data" durability; reads
of 100 entries from random offsets of the resulting 100,000-entry stream; a whole-stream scan
in pages of 100; topic poll + acknowledge cycles; consumer-group claim + ack cycles; trims of
the stream's head in steps of a twentieth of it (one transaction each).

The sqlite side implements the same records: a counter row per stream and one row per entry
(primary key (stream, offset), WITHOUT ROWID), a cursor row per subscription and a state row
per consumer group, each operation being one transaction that reads and writes what the
store's does (BEGIN IMMEDIATE; read; check; write; COMMIT). sqlite runs in WAL mode;
"relaxed" is matched by synchronous=OFF, "data" by synchronous=FULL (an fsync per commit)
and, for reference, NORMAL (which in WAL mode does not sync at commit).

    python bench/streams.py [--entries N] [--data-ops N] [--reads N] [--cycles N]

Ratios are Ombrel time per operation divided by sqlite time per operation, both measured in
this run: below 1 Ombrel is faster. Everything runs in a temporary directory that is removed.
"""

from __future__ import annotations

import random
from pathlib import Path

from harness import NORMAL_NOTE, Store, banner, parse, parser, report, sqlite_open, timed, workdir

STREAM = b"events"

# --- sqlite side ----------------------------------------------------------------------

_SCHEMA = """
CREATE TABLE IF NOT EXISTS streams (name BLOB PRIMARY KEY, next_offset INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS entries (stream BLOB NOT NULL, offset INTEGER NOT NULL, payload BLOB NOT NULL,
                                    PRIMARY KEY (stream, offset)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS cursors (topic BLOB NOT NULL, sub BLOB NOT NULL, next_offset INTEGER NOT NULL,
                                    PRIMARY KEY (topic, sub)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS groups (stream BLOB NOT NULL, grp BLOB NOT NULL, next_offset INTEGER NOT NULL,
                                   leased_offset INTEGER, owner BLOB NOT NULL, lease_until_ms INTEGER NOT NULL,
                                   generation INTEGER NOT NULL, PRIMARY KEY (stream, grp)) WITHOUT ROWID;
"""


class SqliteStreams:
    """The same operations as the store's, on tables, one transaction each."""

    def __init__(self, path: Path, synchronous: str):
        self.conn = sqlite_open(path, synchronous, _SCHEMA)
        self.x = self.conn.cursor().execute

    def close(self):
        self.conn.close()

    def append(self, name: bytes, payload: bytes) -> int:
        x = self.x
        x("BEGIN IMMEDIATE")
        row = x("SELECT next_offset FROM streams WHERE name = ?", (name,)).fetchone()
        offset = row[0] if row else 0
        x("INSERT OR REPLACE INTO streams (name, next_offset) VALUES (?, ?)", (name, offset + 1))
        x("INSERT INTO entries (stream, offset, payload) VALUES (?, ?, ?)", (name, offset, payload))
        x("COMMIT")
        return offset

    def read(self, name: bytes, offset: int, limit: int):
        return self.x("SELECT offset, payload FROM entries WHERE stream = ? AND offset >= ? ORDER BY offset LIMIT ?",
                      (name, offset, limit)).fetchall()

    def trim(self, before_offset: int) -> int:
        x = self.x
        x("BEGIN IMMEDIATE")
        removed = x("DELETE FROM entries WHERE stream = ? AND offset < ?", (STREAM, before_offset)).rowcount
        x("COMMIT")
        return removed

    def cursor(self, topic: bytes, sub: bytes) -> int:
        row = self.x("SELECT next_offset FROM cursors WHERE topic = ? AND sub = ?", (topic, sub)).fetchone()
        return row[0] if row else 0

    def poll(self, topic: bytes, sub: bytes, limit: int):
        return self.read(topic, self.cursor(topic, sub), limit)

    def acknowledge_through(self, topic: bytes, sub: bytes, offset: int) -> int:
        x = self.x
        x("BEGIN IMMEDIATE")
        if offset + 1 < self.cursor(topic, sub):
            x("ROLLBACK")
            raise ValueError("cursor regression")
        x("INSERT OR REPLACE INTO cursors (topic, sub, next_offset) VALUES (?, ?, ?)", (topic, sub, offset + 1))
        x("COMMIT")
        return offset + 1

    def _state(self, stream, group):
        return self.x("SELECT next_offset, leased_offset, owner, lease_until_ms, generation FROM groups "
                      "WHERE stream = ? AND grp = ?", (stream, group)).fetchone() or (0, None, b"", 0, 0)

    def _save(self, stream, group, state):
        self.x("INSERT OR REPLACE INTO groups (stream, grp, next_offset, leased_offset, owner, lease_until_ms, "
               "generation) VALUES (?, ?, ?, ?, ?, ?, ?)", (stream, group, *state))

    def claim(self, stream, group, consumer, now_ms, duration_ms):
        x = self.x
        x("BEGIN IMMEDIATE")
        next_offset, leased, owner, until, generation = self._state(stream, group)
        if leased is not None and until > now_ms:
            x("COMMIT")
            return None
        row = x("SELECT offset, payload FROM entries WHERE stream = ? AND offset >= ? ORDER BY offset LIMIT 1",
                (stream, next_offset)).fetchone()
        if row is None:
            if leased is not None:
                self._save(stream, group, (next_offset, None, b"", 0, generation))
            x("COMMIT")
            return None
        self._save(stream, group, (next_offset, row[0], consumer, now_ms + duration_ms, generation + 1))
        x("COMMIT")
        return {"offset": row[0], "payload": row[1], "lease_generation": generation + 1,
                "lease_until_ms": now_ms + duration_ms}

    def ack(self, stream, group, consumer, offset, generation):
        x = self.x
        x("BEGIN IMMEDIATE")
        _, leased, owner, _, stored_generation = self._state(stream, group)
        if leased is None or owner != consumer or stored_generation != generation or leased != offset:
            x("ROLLBACK")
            raise ValueError("lease mismatch")
        self._save(stream, group, (offset + 1, None, b"", 0, stored_generation))
        x("COMMIT")


# --- the work, one function per side --------------------------------------------------


def appends(append, payloads):
    for p in payloads:
        append(STREAM, p)


def reads(read, starts, limit):
    rows = 0
    for start in starts:
        rows += len(read(STREAM, start, limit))
    return rows


def scan(read, limit):
    offset = rows = 0
    while True:
        page = read(STREAM, offset, limit)
        if not page:
            return rows
        rows += len(page)
        offset = page[-1][0] + 1


def poll_ack(poll, ack, cycles, batch):
    seen = 0
    for _ in range(cycles):
        page = poll(STREAM, b"sub", batch)
        if not page:
            break
        ack(STREAM, b"sub", page[-1][0])
        seen += len(page)
    return seen


def claim_ack(claim, ack, cycles):
    now = 1_000_000
    done = 0
    for _ in range(cycles):
        got = claim(STREAM, b"workers", b"w1", now, 30_000)
        if got is None:
            break
        ack(STREAM, b"workers", b"w1", got["offset"], got["lease_generation"])
        now += 1
        done += 1
    return done


def trims(trim, entries, chunk):
    """Trims below chunk, 2 * chunk, ... up to half the stream: the removals, one transaction each."""
    removed = 0
    for bound in range(chunk, entries // 2 + 1, chunk):
        removed += trim(bound)
    return removed


def bench(tmp: Path, args, rng: random.Random) -> None:
    payloads = [rng.randbytes(args.payload_size) for _ in range(args.entries)]

    print(f"\nappend, relaxed durability: {args.entries:,} appends to one stream, each its own commit")
    store = Store.open(tmp / "relaxed.omb", durability="relaxed")
    sql = SqliteStreams(tmp / "relaxed.sqlite", "OFF")
    try:
        o_s, _ = timed(appends, store.append_stream, payloads)
        s_s, _ = timed(appends, sql.append, payloads)
        if store.stream_tail_offset(STREAM) != args.entries - 1 or sql.read(STREAM, args.entries - 1, 1)[0][1] != payloads[-1]:
            raise SystemExit("the streams do not hold what was appended")
        report("append relaxed", args.entries, o_s, "sqlite sync=OFF", s_s)

        starts = [rng.randrange(args.entries) for _ in range(args.reads)]
        print(f"\nread: {args.reads:,} reads of up to {args.read_limit} entries from random offsets "
              f"of the {args.entries:,}-entry stream")
        o_s, o_rows = timed(reads, store.read_stream, starts, args.read_limit)
        s_s, s_rows = timed(reads, sql.read, starts, args.read_limit)
        if o_rows != s_rows:
            raise SystemExit(f"reads returned different row counts: ombrel {o_rows}, sqlite {s_rows}")
        report(f"read {args.read_limit} at random offset", args.reads, o_s, "sqlite", s_s)

        print(f"\nscan: the whole stream in pages of {args.read_limit} (entries per second)")
        o_s, o_rows = timed(scan, store.read_stream, args.read_limit)
        s_s, s_rows = timed(scan, sql.read, args.read_limit)
        if o_rows != s_rows or o_rows != args.entries:
            raise SystemExit(f"scans returned {o_rows} and {s_rows} entries")
        report("scan in pages", args.entries, o_s, "sqlite", s_s)

        print(f"\ntopic: {args.cycles:,} poll({args.batch}) + acknowledge cycles (one commit each)")
        o_s, o_seen = timed(poll_ack, store.poll_topic, store.acknowledge_topic_through, args.cycles, args.batch)
        s_s, s_seen = timed(poll_ack, sql.poll, sql.acknowledge_through, args.cycles, args.batch)
        if o_seen != s_seen:
            raise SystemExit(f"polls saw {o_seen} and {s_seen} entries")
        report(f"poll {args.batch} + ack", args.cycles, o_s, "sqlite sync=OFF", s_s)

        print(f"\nconsumer group, relaxed durability: {args.cycles:,} claim + ack cycles (two commits each)")
        o_s, o_done = timed(claim_ack, store.consumer_group_claim, store.consumer_group_ack, args.cycles)
        s_s, s_done = timed(claim_ack, sql.claim, sql.ack, args.cycles)
        if o_done != s_done or store.consumer_group_state(STREAM, b"workers")["next_offset"] != o_done:
            raise SystemExit(f"claim cycles done: ombrel {o_done}, sqlite {s_done}")
        report("claim + ack relaxed", o_done, o_s, "sqlite sync=OFF", s_s)

        chunk = max(1, args.entries // 20)
        print(f"\nretention: the stream trimmed from its head, {chunk:,} entries per call (entries per second)")
        o_s, o_removed = timed(trims, lambda bound: store.trim_stream(STREAM, bound, force=True), args.entries, chunk)
        s_s, s_removed = timed(trims, sql.trim, args.entries, chunk)
        if o_removed != s_removed or store.read_stream(STREAM, 0, 1) != sql.read(STREAM, 0, 1):
            raise SystemExit(f"trims removed {o_removed} and {s_removed} entries")
        report(f"trim {chunk:,} per call", o_removed, o_s, "sqlite sync=OFF", s_s)
    finally:
        store.close()
        sql.close()

    n = args.data_ops
    print(f"\ndata durability: {n:,} appends, then {n // 2:,} claim + ack cycles (a sync per commit)")
    store = Store.open(tmp / "data.omb", durability="data")
    try:
        o_append, _ = timed(appends, store.append_stream, payloads[:n])
        o_claim, o_done = timed(claim_ack, store.consumer_group_claim, store.consumer_group_ack, n // 2)
    finally:
        store.close()
    for sync, label in (("FULL", "sqlite sync=FULL"), ("NORMAL", "sqlite sync=NORMAL*")):
        sql = SqliteStreams(tmp / f"data-{sync}.sqlite", sync)
        try:
            s_append, _ = timed(appends, sql.append, payloads[:n])
            s_claim, s_done = timed(claim_ack, sql.claim, sql.ack, n // 2)
        finally:
            sql.close()
        if o_done != s_done:
            raise SystemExit(f"claim cycles done: ombrel {o_done}, sqlite {s_done}")
        report("append data", n, o_append, label, s_append)
        report("claim + ack data", o_done, o_claim, label, s_claim)
    print(NORMAL_NOTE)


def main() -> int:
    p = parser(__doc__)
    p.add_argument("--entries", type=int, default=100_000, help="entries appended (default 100000)")
    p.add_argument("--data-ops", type=int, default=1_000,
                   help="appends at data durability, a sync each (default 1000)")
    p.add_argument("--reads", type=int, default=5_000, help="random-offset reads (default 5000)")
    p.add_argument("--read-limit", type=int, default=100, help="entries per read (default 100)")
    p.add_argument("--cycles", type=int, default=10_000,
                   help="poll+ack and claim+ack cycles at relaxed durability (default 10000)")
    p.add_argument("--batch", type=int, default=10, help="entries per poll (default 10)")
    p.add_argument("--payload-size", type=int, default=100, help="payload bytes (default 100)")
    p.add_argument("--seed", type=int, default=1)
    args = parse(p, positive=("entries", "data_ops", "reads", "read_limit", "cycles", "batch"))
    args.data_ops = max(2, min(args.data_ops, args.entries))
    args.cycles = min(args.cycles, args.entries // 2 or 1)

    rng = random.Random(args.seed)
    banner(f"payloads of {args.payload_size} bytes")
    with workdir(args) as tmp:
        bench(tmp, args, rng)
    return 0

if __name__ == "__main__":
    raise SystemExit(main())
