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

import hashlib
import random
from functools import partial

import harness
from harness import Store, banner, parse, parser, sqlite_open, timed, workdir

_SCHEMA = ("CREATE TABLE IF NOT EXISTS objects (id INTEGER PRIMARY KEY, "
           "digest BLOB NOT NULL UNIQUE, content BLOB NOT NULL)")
_SQL_PUT = "INSERT OR IGNORE INTO objects (digest, content) VALUES (?, ?)"
_SQL_GET = "SELECT content FROM objects WHERE digest = ?"
_SQL_ROWID = "SELECT id FROM objects WHERE digest = ?"
_SQL_CHUNK = "SELECT substr(content, ?, ?) FROM objects WHERE digest = ?"


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
    p = parser(__doc__)
    p.add_argument("--objects", type=int, default=64, help="distinct objects put per case (default 64)")
    p.add_argument("--size", type=int, default=1 << 20, help="bytes per object (default 1 MiB)")
    p.add_argument("--chunk", type=int, default=65536, help="bytes per chunk read (default 64 KiB)")
    p.add_argument("--reads", type=int, default=5, help="read passes over every object (default 5)")
    p.add_argument("--seed", type=int, default=1)
    args = parse(p, positive=("objects", "size", "chunk", "reads"))
    report = partial(harness.report, unit="ms", unit_bytes=args.size)

    rng = random.Random(args.seed)
    base = rng.randbytes(args.size)
    # Distinct content per object: a different 8-byte head on the same random body.
    blobs = [i.to_bytes(8, "big") + base[8:] for i in range(args.objects)]
    banner(f"{args.objects} objects of {args.size:,} bytes, chunks of {args.chunk:,} bytes; "
           "sqlite in autocommit (a transaction per statement)")

    with workdir(args) as tmp:
        print("\nput of new objects, one commit each")
        for durability, sync in harness.SQLITE_SYNC.items():
            store = Store.open(tmp / f"{durability}.omb", durability=durability)
            conn = sqlite_open(tmp / f"{durability}.sqlite", sync, _SCHEMA)
            try:
                o_s, o_ids = timed(ombrel_puts, store, blobs)
                s_s, s_ids = timed(sqlite_puts, conn, blobs)
                if o_ids != s_ids:
                    raise SystemExit("the two sides computed different ids")
                report(f"put {durability}", args.objects, o_s, f"sqlite sync={sync}", s_s)
                if durability == "data":
                    continue
                # Reads and the repeated put run against the relaxed pair.
                o_s, _ = timed(ombrel_puts, store, blobs)
                s_s, _ = timed(sqlite_puts, conn, blobs)
                report("put existing", args.objects, o_s, "sqlite OR IGNORE", s_s)
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
                report("get whole", n, o_s, "sqlite SELECT", s_s)
                o_s, o_total = timed(ombrel_chunked, store, ids, args.chunk)
                for label, fn in (("substr()", sqlite_chunked_substr), ("blobopen", sqlite_chunked_blobio)):
                    s_s, s_total = timed(fn, conn, ids, args.chunk)
                    if o_total != expected or s_total != expected:
                        raise SystemExit(f"chunked reads returned {o_total} / {s_total} bytes")
                    report("chunked read", n, o_s, f"sqlite {label}", s_s)
            finally:
                store.close()
                conn.close()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
