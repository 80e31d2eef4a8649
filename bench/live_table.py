#!/usr/bin/env python3
"""The in-memory table of live keys: point gets, memory, open, scans and full walks at a million keys.

A store of --keys keys (15-byte keys, --value-size-byte values, written in random key order in
transactions of --per-transaction puts) is crafted in the file format and opened; the same pairs
are loaded into py-lmdb (when installed; `pip install lmdb` in the benchmark's environment) and
into sqlite3. Cases:
  get random   Store.get of every key in random order, against lmdb and sqlite (sqlite on a
               sample: it is an order of magnitude slower)
  get hot      one key read over and over: the cost of the call itself
  memory       resident bytes per key that an open adds beyond the key and value bytes,
               measured in a fresh process
  open         Store.open against a plain C++ loop that reads the file and checks every
               record's CRC-32 (bench/record_scan.cpp, compiled here with g++ -O2 -lz)
  scan         scan_prefix of 1,000-key prefixes, against sqlite
  walk         storage_stats, which visits every live pair, against a sqlite full-table sum
The gets of every side run in alternating rounds, so that load which comes and goes on a shared
machine weighs on each side alike.

    python bench/live_table.py [--keys N] [--value-size N] [--per-transaction N] [--repeats N]
"""

from __future__ import annotations

import random
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

from harness import Store, banner, each_within, parse, parser, report, sqlite_open, timed, workdir
from kv import craft_store, prefix_end, sqlite_bulk_load

try:
    import lmdb
except ImportError:
    lmdb = None

HERE = Path(__file__).resolve().parent
_SQL_GET = "SELECT v FROM kv WHERE k = ?"
_SQL_SCAN = "SELECT k, v FROM kv WHERE k >= ? AND k < ? ORDER BY k"
_SQL_WALK = "SELECT count(*), sum(length(k) + length(v)) FROM kv"


def make_items(n: int, value_size: int, rng: random.Random) -> list[tuple[bytes, bytes]]:
    """n pairs of 15-byte keys and values drawn from a pool, in random key order."""
    pool = [rng.randbytes(value_size) for _ in range(1024)]
    items = [(b"key%012d" % i, pool[i % len(pool)]) for i in range(n)]
    rng.shuffle(items)
    return items


def gets(get, keys) -> int:
    misses = 0
    for k in keys:
        if get(k) is None:
            misses += 1
    return misses


ROUNDS = 10


def interleaved(sides) -> dict:
    """Times each side's gets in ROUNDS alternating slices of its keys, so that load coming and going
    on the machine falls on every side alike: {name: (seconds, misses)}."""
    totals = {name: (0.0, 0) for name, _, _ in sides}
    for r in range(ROUNDS):
        for name, get, keys in sides:
            part = keys[r * len(keys) // ROUNDS:(r + 1) * len(keys) // ROUNDS]
            secs, misses = timed(gets, get, part)
            totals[name] = (totals[name][0] + secs, totals[name][1] + misses)
    return totals


def sqlite_get(conn):
    execute = conn.cursor().execute
    return lambda k: execute(_SQL_GET, (k,)).fetchone()


def lmdb_load(path: Path, items) -> "lmdb.Environment":
    env = lmdb.open(str(path), map_size=8 << 30, subdir=True, sync=False, metasync=False,
                    writemap=True, readahead=False)
    with env.begin(write=True) as txn:
        cursor = txn.cursor()
        cursor.putmulti(sorted(items), append=True)
    return env


_MEMORY_PROBE = """
import gc, os, sys
sys.path[:0] = {path!r}
import ombrel_store
page = os.sysconf("SC_PAGE_SIZE")
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page
gc.collect()
before = rss()
store = ombrel_store.Store.open({file!r}, durability="relaxed")
gc.collect()
print(rss() - before)
store.close()
"""


def resident_bytes_of_open(path: Path) -> int:
    code = _MEMORY_PROBE.format(path=[p for p in sys.path if p], file=str(path))
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return int(out.stdout.split()[-1])


def compile_record_scan(tmp: Path) -> Path | None:
    compiler = shutil.which("g++")
    if compiler is None:
        return None
    exe = tmp / "record_scan"
    subprocess.run([compiler, "-O2", "-std=c++20", str(HERE / "record_scan.cpp"), "-lz", "-o", str(exe)],
                   check=True)
    return exe


def record_scan_seconds(exe: Path, path: Path, records: int) -> float:
    out = subprocess.run([str(exe), str(path)], check=True, capture_output=True, text=True).stdout.split()
    if int(out[0]) != records:
        raise SystemExit(f"reference reader found {out[0]} records, expected {records}")
    return float(out[1])


def main() -> int:
    p = parser(__doc__)
    p.add_argument("--keys", type=int, default=1_000_000, help="live keys (default 1000000)")
    p.add_argument("--value-size", type=int, default=100, help="value bytes (default 100)")
    p.add_argument("--per-transaction", type=int, default=1000,
                   help="puts per committed transaction in the crafted file (default 1000)")
    p.add_argument("--sqlite-gets", type=int, default=100_000,
                   help="random gets on the sqlite side (default 100000)")
    p.add_argument("--scans", type=int, default=2_000, help="prefix scans a side (default 2000)")
    p.add_argument("--repeats", type=int, default=3, help="opens to take the median of (default 3)")
    p.add_argument("--seed", type=int, default=1)
    args = parse(p, positive=("keys", "value_size", "per_transaction", "sqlite_gets", "scans", "repeats"))
    if args.keys < 1000:
        raise SystemExit("--keys must be at least 1000")

    rng = random.Random(args.seed)
    banner(f"{args.keys:,} keys of 15 bytes, values of {args.value_size} bytes",
           "py-lmdb " + (lmdb.__version__ if lmdb else "not installed: its cases are skipped"))
    with workdir(args) as tmp:
        items = make_items(args.keys, args.value_size, rng)
        omb_path, sql_path = tmp / "table.omb", tmp / "table.sqlite"
        records = craft_store(omb_path, items, args.per_transaction)
        sqlite_bulk_load(sql_path, items)
        env = lmdb_load(tmp / "table.lmdb", items) if lmdb else None
        keys = [k for k, _ in items]
        rng.shuffle(keys)
        live_bytes = sum(len(k) + len(v) for k, v in items)
        hot = keys[len(keys) // 2]
        del items

        print(f"\nopen: {records:,} records ({args.keys:,} puts in transactions of {args.per_transaction:,})")
        exe = compile_record_scan(tmp)
        o_times, r_times = [], []
        for _ in range(args.repeats):
            secs, store = timed(lambda: Store.open(omb_path, durability="relaxed"))
            store.close()
            del store
            o_times.append(secs)
            if exe:
                r_times.append(record_scan_seconds(exe, omb_path, records))
        if exe:
            report("open", 1, statistics.median(o_times), "read + CRC (C++)", statistics.median(r_times), unit="s")
        else:
            print(f"  open {statistics.median(o_times):.3f} s (no g++: the read + CRC reference is skipped)")

        resident = resident_bytes_of_open(omb_path)
        print(f"\nmemory: {resident / args.keys:.1f} resident bytes per key after open, "
              f"{(resident - live_bytes) / args.keys:.1f} beyond its key and value bytes "
              f"({resident / live_bytes:.2f}x the live bytes)")

        store = Store.open(omb_path, durability="relaxed")
        conn = sqlite_open(sql_path, "OFF")
        try:
            n = len(keys)
            s_n = min(n, args.sqlite_gets)
            txn = env.begin(buffers=False) if env else None
            for case, order in (("get random", keys), ("get hot", [hot] * n)):
                what = "point reads in random order" if case == "get random" else "reads of one key"
                print(f"\n{case}: {n:,} {what} (sqlite: {s_n:,}), interleaved in {ROUNDS} rounds")
                sides = [("ombrel", store.get, order), ("sqlite", sqlite_get(conn), order[:s_n])]
                if txn:
                    sides.append(("lmdb", txn.get, order))
                took = interleaved(sides)
                if any(misses for _, misses in took.values()):
                    raise SystemExit(f"{case} missed keys: {took}")
                if txn:
                    report(case, n, took["ombrel"][0], "lmdb", took["lmdb"][0])
                report(case, n, took["ombrel"][0], "sqlite", took["sqlite"][0], other_n=s_n)
            if txn:
                txn.abort()

            groups = args.keys // 1000
            prefixes = [b"key%09d" % rng.randrange(groups) for _ in range(args.scans)]
            print(f"\nscan: {args.scans:,} scans of a 1,000-key prefix")
            execute = conn.cursor().execute
            o_s, (o_n, o_rows) = timed(each_within, store.scan_prefix, prefixes, 60.0)
            s_s, (s_n, s_rows) = timed(each_within, lambda q: execute(_SQL_SCAN, (q, prefix_end(q))).fetchall(),
                                       prefixes, 60.0)
            if o_rows != o_n * 1000 or s_rows != s_n * 1000:
                raise SystemExit(f"scan returned wrong row counts: ombrel {o_rows}, sqlite {s_rows}")
            report("scan 1,000", o_n, o_s, "sqlite", s_s, other_n=s_n, unit="us")

            print("\nwalk: every live pair visited once (storage_stats; sqlite count and sum)")
            w_times, q_times = [], []
            for _ in range(args.repeats):
                secs, stats = timed(store.storage_stats)
                if stats["live_keys"] != args.keys:
                    raise SystemExit(f"storage_stats counted {stats['live_keys']} keys")
                w_times.append(secs)
                q_times.append(timed(lambda: execute(_SQL_WALK).fetchone())[0])
            report("walk", 1, statistics.median(w_times), "sqlite", statistics.median(q_times), unit="ms")
        finally:
            store.close()
            conn.close()
            if env:
                env.close()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
