#!/usr/bin/env python3
"""A mixed domain transaction in Ombrel Store next to Python's sqlite3 writing the same rows in one transaction.

Case:
  mixed commit   one `Transaction` staging a record upsert (with one index value), a queue push,
                 an outbox event and a job enqueue, then `commit()`; one commit per transaction.
                 sqlite does the equivalent in one BEGIN ... COMMIT: a record row and its index
                 row, a queue message row, an outbox row, a job row and its first history row.

sqlite3 runs in WAL mode. "relaxed" durability is matched by synchronous=OFF, "data" by
synchronous=FULL (an fsync per commit).

    python bench/transactions.py [--commits N] [--data-commits N] [--dir PATH]

Ratios are Ombrel time per transaction divided by sqlite time per transaction, both measured in
this run: below 1 Ombrel is faster. Everything runs in a temporary directory that is removed.
"""

from __future__ import annotations

import os
from functools import partial
from pathlib import Path

import harness
from harness import Store, banner, parser, sqlite_open, timed, workdir

report = partial(harness.report, unit="us")
VALUE = b"v" * 100
PAYLOAD = b"p" * 64

_SCHEMA = """
CREATE TABLE records (collection BLOB, pk BLOB, value BLOB NOT NULL, PRIMARY KEY (collection, pk)) WITHOUT ROWID;
CREATE TABLE record_index (collection BLOB, name BLOB, value BLOB, pk BLOB,
                           PRIMARY KEY (collection, name, value, pk)) WITHOUT ROWID;
CREATE TABLE queue (queue BLOB, id INTEGER, state INTEGER, attempts INTEGER, priority INTEGER,
                    available_at_ms INTEGER, lease_until_ms INTEGER, payload BLOB, PRIMARY KEY (queue, id)) WITHOUT ROWID;
CREATE TABLE outbox (tx_id INTEGER, nonce BLOB, topic BLOB, payload BLOB, created_at_ms INTEGER,
                     PRIMARY KEY (tx_id, nonce)) WITHOUT ROWID;
CREATE TABLE jobs (id BLOB PRIMARY KEY, state INTEGER, handler BLOB, payload BLOB, available_at_ms INTEGER,
                   priority INTEGER, max_attempts INTEGER, attempts INTEGER) WITHOUT ROWID;
CREATE TABLE job_history (id BLOB, seq INTEGER, at_ms INTEGER, kind INTEGER, detail BLOB,
                          PRIMARY KEY (id, seq)) WITHOUT ROWID;
"""


def ombrel_side(path: Path, n: int, durability: str) -> float:
    store = Store.open(str(path), durability=durability)
    store.create_collection(b"orders")
    store.define_index(b"orders", b"customer")

    def run():
        for i in range(n):
            key = i.to_bytes(8, "big")
            t = store.transaction()
            t.upsert_record(b"orders", key, VALUE, indexes=[(b"customer", key[-2:])])
            t.push_queue(b"work", PAYLOAD)
            t.emit_event(b"orders", PAYLOAD, i)
            t.enqueue_job(b"ship", PAYLOAD, i)
            t.commit()

    seconds, _ = timed(run)
    store.close()
    return seconds


def sqlite_side(path: Path, n: int, synchronous: str) -> float:
    conn = sqlite_open(path, synchronous, _SCHEMA)

    def run():
        for i in range(n):
            key = i.to_bytes(8, "big")
            conn.execute("BEGIN")
            conn.execute("INSERT OR REPLACE INTO records VALUES (?, ?, ?)", (b"orders", key, VALUE))
            conn.execute("INSERT OR REPLACE INTO record_index VALUES (?, ?, ?, ?)",
                         (b"orders", b"customer", key[-2:], key))
            conn.execute("INSERT INTO queue VALUES (?, ?, 0, 0, 0, 0, 0, ?)", (b"work", i + 1, PAYLOAD))
            conn.execute("INSERT INTO outbox VALUES (?, ?, ?, ?, ?)", (i, os.urandom(16), b"orders", PAYLOAD, i))
            job_id = os.urandom(16)
            conn.execute("INSERT INTO jobs VALUES (?, 0, ?, ?, 0, 0, 3, 0)", (job_id, b"ship", PAYLOAD))
            conn.execute("INSERT INTO job_history VALUES (?, 0, ?, 0, ?)", (job_id, i, b"transactional"))
            conn.execute("COMMIT")

    seconds, _ = timed(run)
    conn.close()
    return seconds


def bench_mixed(tmp: Path, n: int, durability: str, synchronous: str) -> None:
    o_s = ombrel_side(tmp / f"mixed-{durability}.omb", n, durability)
    s_s = sqlite_side(tmp / f"mixed-{durability}.sqlite", n, synchronous)
    report(f"mixed commit {durability}", n, o_s, f"sqlite sync={synchronous}", s_s)


def main() -> int:
    p = parser(__doc__)
    p.add_argument("--commits", type=int, default=10_000, help="relaxed transactions (default 10000)")
    p.add_argument("--data-commits", type=int, default=500, help="data-durability transactions (default 500)")
    args = harness.parse(p, positive=("commits", "data_commits"))
    banner()
    with workdir(args) as tmp:
        bench_mixed(tmp, args.commits, "relaxed", "OFF")
        bench_mixed(tmp, args.data_commits, "data", "FULL")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
