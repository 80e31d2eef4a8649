#!/usr/bin/env python3
"""Index queries of Ombrel Store collections next to Python's sqlite3 doing the same work.

One collection of N records (default 100,000), each with a value and two non-unique
index values: "group" (N / 10 distinct values, so an exact query finds 10 records) and
"score" (8 random digits). Cases:

- exact: all records of one group value, sorted by primary key;
- range: the 10 records with the smallest scores >= a random bound (ascending, limit 10),
  and the 10 largest scores <= a random bound (descending, limit 10).

sqlite3 holds the same rows in a table with an index on (group, pk) and one on (score, pk),
and answers the same questions with ORDER BY ... LIMIT; both sides return the full rows.
Both stores are loaded without syncing and then only read, so durability plays no part.

    python bench/records.py [--records N] [--queries N] [--budget SECONDS]

Ratios are Ombrel time per query divided by sqlite time per query, both measured in this
run: below 1 Ombrel is faster. Everything runs in a temporary directory that is removed.
Run it against a Release build: a Debug build loads the collection some 25 times slower.
"""

from __future__ import annotations

import random
import sqlite3
import time
from pathlib import Path

from harness import Store, banner, each_within, parse, parser, report, sqlite_open, timed, workdir

COLLECTION = b"people"


def make_rows(n: int, rng: random.Random, value_size: int):
    groups = max(1, n // 10)
    value = bytes(rng.randrange(256) for _ in range(value_size))
    for i in range(n):
        yield (b"pk%09d" % i, value, b"g%07d" % rng.randrange(groups), b"%08d" % rng.randrange(100_000_000))


def load_ombrel(path: Path, rows, batch: int) -> Store:
    store = Store.open(path, durability="relaxed")
    store.create_collection(COLLECTION)
    store.define_index(COLLECTION, b"group")
    store.define_index(COLLECTION, b"score")
    tx = store.transaction()
    for i, (pk, value, group, score) in enumerate(rows, start=1):
        tx.upsert_record(COLLECTION, pk, value, indexes=[(b"group", group), (b"score", score)])
        if i % batch == 0:
            tx.commit()
            tx = store.transaction()
    tx.commit()
    return store


def load_sqlite(path: Path, rows) -> sqlite3.Connection:
    conn = sqlite_open(path, "OFF", """
        CREATE TABLE people (pk BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL,
                             grp BLOB NOT NULL, score BLOB NOT NULL) WITHOUT ROWID;
        CREATE INDEX people_grp ON people (grp, pk);
        CREATE INDEX people_score ON people (score, pk);
    """)
    conn.execute("BEGIN")
    conn.executemany("INSERT INTO people VALUES (?, ?, ?, ?)", rows)
    conn.execute("COMMIT")
    conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    return conn


def main() -> int:
    p = parser(__doc__)
    p.add_argument("--records", type=int, default=100_000, help="records (default 100000)")
    p.add_argument("--queries", type=int, default=20_000, help="queries per case (default 20000)")
    p.add_argument("--budget", type=float, default=5.0, help="seconds per case and side (default 5)")
    p.add_argument("--value-size", type=int, default=100, help="record value bytes (default 100)")
    p.add_argument("--batch", type=int, default=10_000, help="upserts per load transaction")
    p.add_argument("--seed", type=int, default=1)
    args = parse(p, positive=("records", "queries", "batch"))

    rng = random.Random(args.seed)
    banner("both stores are loaded without syncing, then only read")
    with workdir(args) as tmp:
        rows = list(make_rows(args.records, rng, args.value_size))
        t0 = time.perf_counter()
        store = load_ombrel(tmp / "records.omb", rows, args.batch)
        t1 = time.perf_counter()
        conn = load_sqlite(tmp / "records.sqlite", rows)
        t2 = time.perf_counter()
        print(f"{args.records:,} records loaded: ombrel {t1 - t0:.1f} s ({args.batch:,} upserts per "
              f"transaction), sqlite {t2 - t1:.1f} s (one transaction)")

        groups = [rng.choice(rows)[2] for _ in range(args.queries)]
        bounds = [b"%08d" % rng.randrange(100_000_000) for _ in range(args.queries)]
        execute = conn.cursor().execute
        cases = [
            ("exact (10 matches)", groups,
             lambda g: store.query_index_exact(COLLECTION, b"group", g),
             lambda g: execute("SELECT pk, value, grp, score FROM people WHERE grp = ? ORDER BY pk",
                               (g,)).fetchall()),
            ("range >= x, limit 10", bounds,
             lambda b: store.query_index_range(COLLECTION, b"score", start=b, limit=10),
             lambda b: execute("SELECT score, pk, value, grp FROM people WHERE score >= ? "
                               "ORDER BY score, pk LIMIT 10", (b,)).fetchall()),
            ("range <= x, desc, limit 10", bounds,
             lambda b: store.query_index_range(COLLECTION, b"score", end=b, descending=True, limit=10),
             lambda b: execute("SELECT score, pk, value, grp FROM people WHERE score <= ? "
                               "ORDER BY score DESC, pk DESC LIMIT 10", (b,)).fetchall()),
        ]
        try:
            for name, arguments, ombrel_query, sqlite_query in cases:
                # Same answers first: the comparison is only fair if both do the same work.
                for a in arguments[:50]:
                    mine = [r[0] for r in ombrel_query(a)] if name.startswith("exact") else \
                        [(v, r[0]) for v, r in ombrel_query(a)]
                    theirs = [r[0] for r in sqlite_query(a)] if name.startswith("exact") else \
                        [(r[0], r[1]) for r in sqlite_query(a)]
                    if mine != theirs:
                        raise SystemExit(f"{name}: answers differ for {a!r}")
                o_s, (o_n, o_rows) = timed(each_within, ombrel_query, arguments, args.budget)
                s_s, (s_n, s_rows) = timed(each_within, sqlite_query, arguments, args.budget)
                report(name, o_n, o_s, "sqlite", s_s, other_n=s_n,
                       note=f"rows per query: ombrel {o_rows / o_n:.1f}, sqlite {s_rows / s_n:.1f}")
        finally:
            store.close()
            conn.close()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
