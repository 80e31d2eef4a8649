#!/usr/bin/env python3
"""Key-value throughput of Ombrel Store next to Python's sqlite3 doing the same work.

Cases: single-key puts (one commit per put) at "relaxed" and "data" durability, point gets,
scans of a 1,000-key prefix in a large store, and the open (replay) of a large log.
sqlite3 runs in WAL mode with one transaction per statement (autocommit); "relaxed" is matched
by synchronous=OFF, "data" by synchronous=NORMAL (which in WAL mode does not fsync at commit)
and by synchronous=FULL (an fsync per commit, the strictly comparable setting).

    python bench/kv.py [--ops N] [--keys N] [--data-ops N] [--records N]

Ratios are Ombrel time per operation divided by sqlite time per operation, both measured in
this run: below 1 Ombrel is faster. Everything runs in a temporary directory that is removed.
"""

from __future__ import annotations

import os
import random
import sqlite3
import statistics
import struct
import time
import zlib
from pathlib import Path

from harness import NORMAL_NOTE, Store, banner, each_within, parse, parser, report, sqlite_open, timed, workdir

# --- crafting store files -------------------------------------------------------------
# Building a million-key store through a million single puts would dominate the run, so the
# large stores are written directly in the store's file format: a header, then for each key
# a put record and the commit record of its own transaction (what replay needs; the change
# records that a real put also writes are left out).

_HEADER_BODY = struct.Struct("<8sHH16sQQ16s")  # magic, major, minor, id, created, reserved, pad
_RECORD_HEAD = struct.Struct("<4sBQQI")  # magic, kind, tx_id, sequence, payload length
_U32 = struct.Struct("<I")
_PUT, _COMMIT = 1, 3


def _header() -> bytes:
    body = _HEADER_BODY.pack(
        b"OSTORE01", 1, 0, os.urandom(16), time.time_ns() // 1_000_000, 0, bytes(16)
    )
    return body + _U32.pack(zlib.crc32(body))


def _record(kind: int, tx_id: int, sequence: int, payload: bytes) -> bytes:
    body = _RECORD_HEAD.pack(b"OMB1", kind, tx_id, sequence, len(payload)) + payload
    return body + _U32.pack(zlib.crc32(body))


def craft_store(path: Path, items, per_transaction: int = 1) -> int:
    """Writes the (key, value) pairs as committed transactions of `per_transaction` puts each;
    returns the record count."""
    records = 0
    tx_id = 1
    in_transaction = 0
    with open(path, "wb") as f:
        f.write(_header())
        chunk: list[bytes] = []
        for key, value in items:
            records += 1
            chunk.append(_record(_PUT, tx_id, records, _U32.pack(len(key)) + key + value))
            in_transaction += 1
            if in_transaction == per_transaction:
                records += 1
                chunk.append(_record(_COMMIT, tx_id, records, b""))
                tx_id += 1
                in_transaction = 0
            if len(chunk) >= 65536:
                f.write(b"".join(chunk))
                chunk.clear()
        if in_transaction:
            records += 1
            chunk.append(_record(_COMMIT, tx_id, records, b""))
        f.write(b"".join(chunk))
    return records


# --- sqlite side ----------------------------------------------------------------------

_SQL_PUT = "INSERT OR REPLACE INTO kv (k, v) VALUES (?, ?)"
_SQL_GET = "SELECT v FROM kv WHERE k = ?"
_SQL_SCAN = "SELECT k, v FROM kv WHERE k >= ? AND k < ? ORDER BY k"


_SCHEMA = "CREATE TABLE IF NOT EXISTS kv (k BLOB PRIMARY KEY NOT NULL, v BLOB NOT NULL) WITHOUT ROWID"


def sqlite_bulk_load(path: Path, items) -> None:
    conn = sqlite_open(path, "OFF", _SCHEMA)
    conn.execute("BEGIN")
    conn.executemany(_SQL_PUT, items)
    conn.execute("COMMIT")
    # Leave the rows in the main database file, not in a large WAL, so reads are not penalised.
    conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    conn.close()


def prefix_end(prefix: bytes) -> bytes:
    """The smallest key above every key that starts with `prefix` (prefix has no 0xFF tail)."""
    return prefix[:-1] + bytes([prefix[-1] + 1])


# --- the work, one function per side --------------------------------------------------


def run_puts_ombrel(store, keys, value):
    put = store.put
    for k in keys:
        put(k, value)


def run_puts_sqlite(conn, keys, value):
    execute = conn.cursor().execute
    for k in keys:
        execute(_SQL_PUT, (k, value))


def run_gets_ombrel(store, keys):
    get = store.get
    misses = 0
    for k in keys:
        if get(k) is None:
            misses += 1
    return misses


def run_gets_sqlite(conn, keys):
    execute = conn.cursor().execute
    misses = 0
    for k in keys:
        if execute(_SQL_GET, (k,)).fetchone() is None:
            misses += 1
    return misses


def bench_puts_and_gets(tmp: Path, args, rng: random.Random, value: bytes) -> None:
    keys = [b"key%010d" % i for i in range(args.ops)]
    rng.shuffle(keys)
    lookups = keys[:]
    rng.shuffle(lookups)

    print(f"\nput, relaxed durability: {args.ops:,} single-key puts, each its own commit")
    store = Store.open(tmp / "put-relaxed.omb", durability="relaxed")
    conn = sqlite_open(tmp / "put-relaxed.sqlite", "OFF", _SCHEMA)
    try:
        o_s, _ = timed(run_puts_ombrel, store, keys, value)
        s_s, _ = timed(run_puts_sqlite, conn, keys, value)
        report("put relaxed", args.ops, o_s, "sqlite sync=OFF", s_s)

        print(f"\nget: {args.ops:,} point reads of existing keys in random order")
        o_s, o_miss = timed(run_gets_ombrel, store, lookups)
        s_s, s_miss = timed(run_gets_sqlite, conn, lookups)
        if o_miss or s_miss:
            raise SystemExit(f"get missed keys: ombrel {o_miss}, sqlite {s_miss}")
        report("get", args.ops, o_s, "sqlite", s_s)
    finally:
        store.close()
        conn.close()

    n = args.data_ops
    note = "" if n == args.ops else f" (scaled down from {args.ops:,}: a sync per put; --data-ops)"
    print(f"\nput, data durability: {n:,} single-key puts, each its own commit{note}")
    data_keys = keys[:n]
    store = Store.open(tmp / "put-data.omb", durability="data")
    try:
        o_s, _ = timed(run_puts_ombrel, store, data_keys, value)
    finally:
        store.close()
    for sync in ("NORMAL", "FULL"):
        conn = sqlite_open(tmp / f"put-data-{sync.lower()}.sqlite", sync, _SCHEMA)
        try:
            s_s, _ = timed(run_puts_sqlite, conn, data_keys, value)
        finally:
            conn.close()
        report("put data", n, o_s, "sqlite sync=NORMAL*" if sync == "NORMAL" else "sqlite sync=FULL", s_s)
    print(NORMAL_NOTE)


def bench_scan(tmp: Path, args, rng: random.Random, value: bytes) -> None:
    width = args.scan_width
    groups = args.keys // width
    if groups < 1:
        raise SystemExit(f"--keys must be at least {width}")
    total = groups * width

    def items():
        for g in range(groups):
            for i in range(width):
                yield b"grp%07d:%06d" % (g, i), value

    print(f"\nscan: {width:,}-key prefix in a {total:,}-key store")
    omb_path, sql_path = tmp / "scan.omb", tmp / "scan.sqlite"
    c_s, records = timed(craft_store, omb_path, items())
    l_s, _ = timed(sqlite_bulk_load, sql_path, items())
    print(f"  (built: store file crafted in {c_s:.1f} s, {records:,} records; "
          f"sqlite bulk-loaded in {l_s:.1f} s)")

    prefixes = [b"grp%07d:" % rng.randrange(groups) for _ in range(args.scans)]
    store = Store.open(omb_path, durability="relaxed")
    conn = sqlite_open(sql_path, "OFF", _SCHEMA)
    try:
        execute = conn.cursor().execute

        def sqlite_scan(p):
            return execute(_SQL_SCAN, (p, prefix_end(p))).fetchall()

        o_s, (o_n, o_rows) = timed(each_within, store.scan_prefix, prefixes, args.scan_budget)
        s_s, (s_n, s_rows) = timed(each_within, sqlite_scan, prefixes, args.scan_budget)
        if o_rows != o_n * width or s_rows != s_n * width:
            raise SystemExit(f"scan returned wrong row counts: ombrel {o_rows}, sqlite {s_rows}")
        if min(o_n, s_n) < args.scans:
            print(f"  (time-boxed at {args.scan_budget:g} s a side; the rate is per scan done)")
        report(f"scan {width:,} of {total:,}", o_n, o_s, "sqlite", s_s, other_n=s_n)
    finally:
        store.close()
        conn.close()
    omb_path.unlink()
    sql_path.unlink()


def bench_open(tmp: Path, args, value: bytes) -> None:
    puts = args.records // 2
    items = [(b"key%010d" % i, value) for i in range(puts)]
    print(f"\nopen: replay of a {puts * 2:,}-record file ({puts:,} puts, each with its commit)")
    omb_path, sql_path = tmp / "open.omb", tmp / "open.sqlite"
    craft_store(omb_path, items)
    sqlite_bulk_load(sql_path, items)
    check = Store.verify(omb_path)
    if (check.records, check.keys, check.pending_transactions, check.has_torn_tail) != (
        puts * 2, puts, 0, False
    ):
        raise SystemExit(f"crafted store does not verify as expected: {check!r}")
    probe = items[puts // 2][0]
    del items

    def ombrel_open():
        store = Store.open(omb_path, durability="relaxed")
        return store

    def sqlite_first_get():
        conn = sqlite3.connect(sql_path, isolation_level=None)
        row = conn.execute(_SQL_GET, (probe,)).fetchone()
        return conn, row

    def sqlite_read_all():
        conn = sqlite3.connect(sql_path, isolation_level=None)
        row = conn.execute("SELECT count(*), sum(length(v)) FROM kv").fetchone()
        return conn, row

    o_times, a_times, b_times = [], [], []
    for _ in range(args.repeats):
        secs, store = timed(ombrel_open)
        found = store.contains(probe)
        store.close()
        if not found:
            raise SystemExit("replayed store lacks a key it was written with")
        o_times.append(secs)
        secs, (conn, row) = timed(sqlite_first_get)
        conn.close()
        a_times.append(secs)
        secs, (conn, row) = timed(sqlite_read_all)
        conn.close()
        if row[0] != puts:
            raise SystemExit(f"sqlite holds {row[0]} rows, expected {puts}")
        b_times.append(secs)
    o_s = statistics.median(o_times)
    print(f"  (median of {args.repeats} opens; sqlite has no replay: it is shown opening and "
          "answering one get, and opening and reading every row)")
    report("open (replay)", 1, o_s, "sqlite open+1 get", statistics.median(a_times), unit="s")
    report("open (replay)", 1, o_s, "sqlite open+read all", statistics.median(b_times), unit="s")
    omb_path.unlink()
    sql_path.unlink()


def main() -> int:
    p = parser(__doc__)
    p.add_argument("--ops", type=int, default=100_000,
                   help="operations for the relaxed put and the get cases (default 100000)")
    p.add_argument("--data-ops", type=int, default=2_000,
                   help="puts for the data-durability cases, a sync each (default 2000)")
    p.add_argument("--keys", type=int, default=1_000_000,
                   help="keys in the store that is scanned (default 1000000)")
    p.add_argument("--scan-width", type=int, default=1_000,
                   help="keys under each scanned prefix (default 1000)")
    p.add_argument("--scans", type=int, default=None,
                   help="prefix scans to run (default: --ops, time-boxed)")
    p.add_argument("--scan-budget", type=float, default=10.0,
                   help="seconds each side may spend scanning (default 10)")
    p.add_argument("--records", type=int, default=1_000_000,
                   help="records in the file that is opened (default 1000000)")
    p.add_argument("--repeats", type=int, default=3, help="opens to take the median of")
    p.add_argument("--value-size", type=int, default=100, help="value bytes (default 100)")
    p.add_argument("--seed", type=int, default=1)
    args = parse(p, positive=("ops", "data_ops", "scans", "repeats", "scan_width"))
    if args.scans is None:
        args.scans = args.ops
    if args.records < 2:
        raise SystemExit("--records must be at least 2")
    args.data_ops = min(args.data_ops, args.ops)

    rng = random.Random(args.seed)
    value = bytes(rng.randrange(256) for _ in range(args.value_size))
    banner(f"values of {args.value_size} bytes; sqlite in autocommit (a transaction per statement)")
    with workdir(args) as tmp:
        bench_puts_and_gets(tmp, args, rng, value)
        bench_scan(tmp, args, rng, value)
        bench_open(tmp, args, value)
    return 0

if __name__ == "__main__":
    raise SystemExit(main())
