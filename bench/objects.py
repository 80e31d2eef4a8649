#!/usr/bin/env python3
"""Object storage of Ombrel Store next to Python's sqlite3 storing the same blobs.

Cases: puts of new 1 MiB objects (one commit each) at "relaxed" and "data" durability, a put
of content already stored, whole reads, and reads of whole objects in 64 KiB chunks.
sqlite3 keeps each blob in a table with an integer row id and a unique index on its SHA-256
digest, in WAL mode with one transaction per statement; the Python side computes the digest
for sqlite exactly as Ombrel computes it inside put_object. Chunks are read from sqlite with
substr() and, separately, with incremental blob I/O (Connection.blobopen, Python 3.11+).
"relaxed" is matched by synchronous=OFF, "data" by synchronous=FULL (an fsync per commit).

    python bench/objects.py [--objects N] [--size BYTES] [--chunk BYTES] [--reads N]

Ratios are Ombrel time per operation divided by sqlite time per operation, both measured in
this run: below 1 Ombrel is faster. Everything runs in a temporary directory that is removed.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import os
import platform
import random
import sqlite3
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

try:
    import ombrel_store
except ImportError:  # running from a checkout with an in-tree build
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))
    import ombrel_store

Store = ombrel_store.Store

_SQL_PUT = "INSERT OR IGNORE INTO objects (digest, content) VALUES (?, ?)"
_SQL_GET = "SELECT content FROM objects WHERE digest = ?"
_SQL_ROWID = "SELECT id FROM objects WHERE digest = ?"
_SQL_CHUNK = "SELECT substr(content, ?, ?) FROM objects WHERE digest = ?"


def sqlite_open(path: Path, synchronous: str) -> sqlite3.Connection:
    conn = sqlite3.connect(path, isolation_level=None)  # autocommit: a transaction per statement
    mode = conn.execute("PRAGMA journal_mode=WAL").fetchone()[0]
    if mode.lower() != "wal":
        raise SystemExit(f"sqlite refused WAL mode (got {mode!r})")
    conn.execute(f"PRAGMA synchronous={synchronous}")
    conn.execute(
        "CREATE TABLE IF NOT EXISTS objects (id INTEGER PRIMARY KEY, "
        "digest BLOB NOT NULL UNIQUE, content BLOB NOT NULL)"
    )
    return conn


def timed(fn, *args):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        result = fn(*args)
        return time.perf_counter() - start, result
    finally:
        gc.enable()


@dataclass
class Row:
    case: str
    n: int
    ombrel_s: float
    sqlite_label: str
    sqlite_s: float

    def ratio(self) -> float:
        return self.ombrel_s / self.sqlite_s


ROWS: list[Row] = []


def report(row: Row, unit_bytes: int) -> None:
    ROWS.append(row)
    r = row.ratio()
    verdict = f"Ombrel {1 / r:.2f}x faster" if r < 1 else f"Ombrel {r:.2f}x slower"

    def fig(secs):
        per = secs / row.n
        mib_s = unit_bytes * row.n / secs / 2**20 if unit_bytes else 0
        return f"{per * 1e3:8.3f} ms/op" + (f" {mib_s:8.1f} MiB/s" if unit_bytes else " " * 14)

    print(f"  {row.case:<22} ombrel {fig(row.ombrel_s)}   sqlite {row.sqlite_label:<12} {fig(row.sqlite_s)}"
          f"   n={row.n:<5} ratio {r:6.3f} ({verdict})", flush=True)


# --- the work, one function per side ---------------------------------------------------


def ombrel_puts(store, blobs):
    put = store.put_object
    return [put(b) for b in blobs]


def sqlite_puts(conn, blobs):
    execute = conn.cursor().execute
    ids = []
    for b in blobs:
        digest = hashlib.sha256(b).digest()
        execute(_SQL_PUT, (digest, b))
        ids.append(digest)
    return ids


def ombrel_gets(store, ids):
    get = store.get_object
    return sum(len(get(i)) for i in ids)


def sqlite_gets(conn, ids):
    execute = conn.cursor().execute
    return sum(len(execute(_SQL_GET, (i,)).fetchone()[0]) for i in ids)


def ombrel_chunked(store, ids, chunk):
    read = store.get_object_chunk
    total = 0
    for i in ids:
        offset = 0
        while True:
            part = read(i, offset, chunk)
            if not part:
                break
            total += len(part)
            offset += len(part)
    return total


def sqlite_chunked_substr(conn, ids, chunk):
    execute = conn.cursor().execute
    total = 0
    for i in ids:
        offset = 1  # substr counts from 1
        while True:
            part = execute(_SQL_CHUNK, (offset, chunk, i)).fetchone()[0]
            if not part:
                break
            total += len(part)
            offset += len(part)
    return total


def sqlite_chunked_blobio(conn, ids, chunk):
    execute = conn.cursor().execute
    total = 0
    for i in ids:
        rowid = execute(_SQL_ROWID, (i,)).fetchone()[0]
        with conn.blobopen("objects", "content", rowid, readonly=True) as blob:
            while True:
                part = blob.read(chunk)
                if not part:
                    break
                total += len(part)
    return total


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--objects", type=int, default=64, help="distinct objects put per case (default 64)")
    parser.add_argument("--size", type=int, default=1 << 20, help="bytes per object (default 1 MiB)")
    parser.add_argument("--chunk", type=int, default=65536, help="bytes per chunk read (default 64 KiB)")
    parser.add_argument("--reads", type=int, default=5, help="read passes over every object (default 5)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--dir", type=Path, default=None,
                        help="where to make the temporary directory (a real disk: syncs matter)")
    args = parser.parse_args()
    for name in ("objects", "size", "chunk", "reads"):
        if getattr(args, name) < 1:
            raise SystemExit(f"--{name} must be positive")

    rng = random.Random(args.seed)
    base = rng.randbytes(args.size)
    # Distinct content per object: a different 8-byte head on the same random body.
    blobs = [i.to_bytes(8, "big") + base[8:] for i in range(args.objects)]
    print(f"Ombrel Store {ombrel_store.__version__} vs sqlite {sqlite3.sqlite_version} "
          f"(WAL, autocommit); Python {platform.python_version()} on {platform.machine()}, "
          f"{os.cpu_count()} CPUs")
    print(f"{args.objects} objects of {args.size:,} bytes, chunks of {args.chunk:,} bytes; "
          "ratio = Ombrel time / sqlite time (< 1: Ombrel faster); warm page cache")

    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="ombrel-bench-", dir=args.dir) as tmp:
        tmp = Path(tmp)
        print("\nput of new objects, one commit each")
        for durability, sync in (("relaxed", "OFF"), ("data", "FULL")):
            store = Store.open(tmp / f"{durability}.omb", durability=durability)
            conn = sqlite_open(tmp / f"{durability}.sqlite", sync)
            try:
                o_s, o_ids = timed(ombrel_puts, store, blobs)
                s_s, s_ids = timed(sqlite_puts, conn, blobs)
                if o_ids != s_ids:
                    raise SystemExit("the two sides computed different ids")
                report(Row(f"put {durability}", args.objects, o_s, f"sync={sync}", s_s), args.size)
                if durability == "data":
                    continue
                # Reads and the repeated put run against the relaxed pair.
                o_s, _ = timed(ombrel_puts, store, blobs)
                s_s, _ = timed(sqlite_puts, conn, blobs)
                report(Row("put existing", args.objects, o_s, "OR IGNORE", s_s), args.size)
                if conn.execute("SELECT count(*) FROM objects").fetchone()[0] != args.objects:
                    raise SystemExit("sqlite stored a duplicate")
                if len(store.scan_prefix(b"\xffomb:obj:data:")) != args.objects:
                    raise SystemExit("ombrel stored a duplicate")

                print(f"\nreads: {args.reads} passes over every object")
                ids = o_ids * args.reads
                n = len(ids)
                expected = n * args.size
                o_s, o_total = timed(ombrel_gets, store, ids)
                s_s, s_total = timed(sqlite_gets, conn, ids)
                if o_total != expected or s_total != expected:
                    raise SystemExit(f"whole reads returned {o_total} / {s_total} bytes, expected {expected}")
                report(Row("get whole", n, o_s, "SELECT", s_s), args.size)
                o_s, o_total = timed(ombrel_chunked, store, ids, args.chunk)
                for label, fn in (("substr()", sqlite_chunked_substr), ("blobopen", sqlite_chunked_blobio)):
                    s_s, s_total = timed(fn, conn, ids, args.chunk)
                    if o_total != expected or s_total != expected:
                        raise SystemExit(f"chunked reads returned {o_total} / {s_total} bytes")
                    report(Row("chunked read", n, o_s, label, s_s), args.size)
            finally:
                store.close()
                conn.close()

    print("\nsummary (ratio = Ombrel time / sqlite time):")
    for row in ROWS:
        print(f"  {row.case + ' vs ' + row.sqlite_label:<36} {row.ratio():7.3f}")
    print(f"total {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
