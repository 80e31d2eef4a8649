#!/usr/bin/env python3
"""Object storage of Ombrel Store next to Python's sqlite3 storing the same blobs.

Cases: puts of new 1 MiB objects (one commit each) at "relaxed" and "data" durability, a put
of content already stored, whole reads, and reads of whole objects in 64 KiB chunks.
sqlite3 keeps each blob in a table with an integer row id and a unique index on its SHA-256
digest, in WAL mode with one transaction per statement; the Python side computes the digest
for sqlite exactly as Ombrel computes it inside put_object. Chunks are read from sqlite with
substr() and, separately, with incremental blob I/O (Connection.blobopen, Python 3.11+).
"relaxed" is matched by synchronous=OFF, "data" by synchronous=FULL (an fsync per commit).

Expiry purge: N small objects (20,000 by default) carrying an "expires_at_unix" metadata entry, 100
of them expired at spread-out ids, some of those named by a reference; one
`purge_expired_objects(now, 100)` removes the expired unreferenced ones in one commit. sqlite
keeps the expiry in a column with an index, finds the expired rows through it, checks references
through an index on the referenced digest, and deletes in one transaction; it counts no rows,
while Ombrel's result also reports how many objects there are. The first call of an open store
builds the in-memory index of objects; its time and the memory it keeps per object (growth of
the resident set, after malloc_trim) are printed but not timed against anything.

    python bench/objects.py [--objects N] [--size BYTES] [--chunk BYTES] [--reads N] [--expiring N]

Ratios are Ombrel time per operation divided by sqlite time per operation, both measured in
this run: below 1 Ombrel is faster. Everything runs in a temporary directory that is removed.
"""

from __future__ import annotations

import hashlib
import random
from functools import partial

import harness
from harness import Store, banner, parse, parser, resident_bytes, sqlite_open, timed, workdir

_SCHEMA = ("CREATE TABLE IF NOT EXISTS objects (id INTEGER PRIMARY KEY, "
           "digest BLOB NOT NULL UNIQUE, content BLOB NOT NULL)")
_SQL_PUT = "INSERT OR IGNORE INTO objects (digest, content) VALUES (?, ?)"
_SQL_GET = "SELECT content FROM objects WHERE digest = ?"
_SQL_ROWID = "SELECT id FROM objects WHERE digest = ?"
_SQL_CHUNK = "SELECT substr(content, ?, ?) FROM objects WHERE digest = ?"


_PURGE_SCHEMA = """
CREATE TABLE objects (digest BLOB PRIMARY KEY, content BLOB NOT NULL, expires_at INTEGER) WITHOUT ROWID;
CREATE INDEX objects_expiry ON objects (expires_at);
CREATE TABLE refs (ns BLOB, name BLOB, digest BLOB NOT NULL, PRIMARY KEY (ns, name)) WITHOUT ROWID;
CREATE INDEX refs_digest ON refs (digest);
"""


def sqlite_purge(conn, now, limit):
    execute = conn.cursor().execute
    # Through the expiry index (ordering by digest in SQL would make sqlite walk every row instead).
    expired = sorted(execute("SELECT digest FROM objects INDEXED BY objects_expiry WHERE expires_at <= ?",
                             (now,)).fetchall())
    unreferenced = [d for (d,) in expired if execute("SELECT 1 FROM refs WHERE digest = ?", (d,)).fetchone() is None]
    execute("BEGIN")
    for digest in unreferenced[:limit]:
        execute("DELETE FROM objects WHERE digest = ?", (digest,))
    execute("COMMIT")
    return len(expired), len(unreferenced[:limit])


def bench_purge(tmp, n, expired):
    print(f"\nexpiry purge, relaxed durability: {n:,} objects, {expired} expired, a third of those referenced")
    store = Store.open(tmp / "purge.omb", durability="relaxed")
    conn = sqlite_open(tmp / "purge.sqlite", "OFF", _PURGE_SCHEMA)
    try:
        contents = [i.to_bytes(8, "big") * 2 for i in range(n)]
        digests = sorted((hashlib.sha256(c).digest(), c) for c in contents)
        step = n // expired
        expiring = {d for d, _ in digests[::step][:expired]}
        linked = sorted(expiring)[::3]
        conn.execute("BEGIN")
        for digest, content in digests:
            at = 10 if digest in expiring else 10**9
            store.put_object_with_metadata(content, {"expires_at_unix": str(at)})
            conn.execute("INSERT INTO objects VALUES (?, ?, ?)", (digest, content, at))
        for i, digest in enumerate(linked):
            store.link_object(b"ns", str(i).encode(), digest)
            conn.execute("INSERT INTO refs VALUES ('ns', ?, ?)", (str(i).encode(), digest))
        conn.execute("COMMIT")
        before = resident_bytes()
        build_s, _ = timed(store.purge_expired_objects, 0, 1)  # nothing has expired yet
        grown = resident_bytes() - before
        print(f"  (first call: {build_s * 1e3:.1f} ms; resident set +{grown / n:.0f} bytes per object)")
        o_s, result = timed(store.purge_expired_objects, 100, 100)
        s_s, (s_expired, s_removed) = timed(sqlite_purge, conn, 100, 100)
        removed = expired - len(linked)
        if result != {"scanned": n, "expired": expired, "referenced": len(linked), "removed": removed} or \
                (s_expired, s_removed) != (expired, removed):
            raise SystemExit(f"the purges disagree: {result}, {s_expired}, {s_removed}")
        harness.report(f"purge {removed} expired of {n:,}", 1, o_s, "sqlite (expires_at)", s_s, unit="ms")
    finally:
        store.close()
        conn.close()


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
    p.add_argument("--expiring", type=int, default=20_000, help="objects of the expiry purge (default 20000)")
    p.add_argument("--seed", type=int, default=1)
    args = parse(p, positive=("objects", "size", "chunk", "reads", "expiring"))
    if args.expiring < 200:
        raise SystemExit("--expiring must be at least 200")
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
        bench_purge(tmp, args.expiring, 100)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
