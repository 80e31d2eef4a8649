#!/usr/bin/env python3
"""Whole-file maintenance of Ombrel Store next to the plain work it stands in for.

Cases:
  - backup_to, checkpoint_to, compact_copy_to and compact_generation_to of a store of about
    100 MB (keys overwritten several times, so compaction has something to reclaim), each
    against shutil.copyfile of the same file followed by an fsync of the copy (every Ombrel copy
    ends with a full sync of what it wrote), measured in the same run;
  - health_report on a store of 1,000,000 keys against sqlite3 running
    SELECT count(*), sum(length(k)), sum(length(v)) over the same rows.

    python bench/maintenance.py [--mb N] [--keys N] [--repeats N] [--dir PATH]

Ratios are Ombrel time divided by the reference time (< 1: Ombrel faster). The median of
--repeats runs is taken for each side. Everything runs in a temporary directory that is removed.
"""

from __future__ import annotations

import os
import shutil
import sqlite3
import statistics
from functools import partial
from pathlib import Path

import harness
from harness import Store, banner, parse, parser, timed, workdir
from kv import craft_store, sqlite_bulk_load  # the large-store crafting lives there

report = partial(harness.report, unit="s")


def median_time(fn, repeats, cleanup=None):
    times = []
    for _ in range(repeats):
        seconds, _ = timed(fn)
        times.append(seconds)
        if cleanup:
            cleanup()
    return statistics.median(times)


def overwritten_items(distinct, rounds, value_size):
    for r in range(rounds):
        for i in range(distinct):
            yield b"key:%010d" % i, (b"%02d" % r) * (value_size // 2)


def copy_and_sync(source, destination):
    shutil.copyfile(source, destination)
    with open(destination, "rb+") as f:
        os.fsync(f.fileno())


def bench_copies(tmp: Path, args) -> None:
    value_size, rounds = 100, 4
    per_write = 29 + 4 + 14 + value_size + 29  # put record + its commit
    distinct = max(1, args.mb * 1_000_000 // (per_write * rounds))
    source = tmp / "big.omb"
    craft_store(source, overwritten_items(distinct, rounds, value_size))
    size = source.stat().st_size
    print(f"\nstore of {size / 1e6:.1f} MB: {distinct:,} keys written {rounds} times each")
    destination = tmp / "copy.omb"

    def remove_copy():
        destination.unlink(missing_ok=True)

    reference = median_time(lambda: copy_and_sync(source, destination), args.repeats, remove_copy)
    plain = median_time(lambda: shutil.copyfile(source, destination), args.repeats, remove_copy)
    print(f"  (shutil.copyfile alone, without the fsync: {plain:.3f} s)")
    store = Store.open(source, durability="relaxed")
    try:
        for case in ("backup_to", "checkpoint_to", "compact_copy_to", "compact_generation_to"):
            method = getattr(store, case)
            seconds = median_time(lambda: method(destination), args.repeats, remove_copy)
            report(case, 1, seconds, "copyfile + fsync", reference)
        result = store.compact_copy_to(destination)
        print(f"  compaction: {result['source_bytes']:,} -> {result['compacted_bytes']:,} bytes "
              f"({result['keys']:,} keys)")
        remove_copy()
    finally:
        store.close()
    source.unlink()


def bench_health(tmp: Path, args) -> None:
    value_size = 32
    items = [(b"user:%012d" % i, b"%032d" % i) for i in range(args.keys)]
    assert all(len(v) == value_size for _, v in items[:1])
    path = tmp / "health.omb"
    craft_store(path, items)
    sqlite_path = tmp / "health.sqlite"
    sqlite_bulk_load(sqlite_path, items)
    del items
    print(f"\nstore of {args.keys:,} keys ({path.stat().st_size / 1e6:.1f} MB)")
    conn = sqlite3.connect(sqlite_path)
    query = "SELECT count(*), sum(length(k)), sum(length(v)) FROM kv"
    with Store.open(path) as store:
        health = store.health_report()
        assert health["storage"]["live_keys"] == args.keys
        expected = (args.keys, health["storage"]["key_bytes"], health["storage"]["value_bytes"])
        assert conn.execute(query).fetchone() == expected, "both sides must measure the same rows"
        ombrel_s = median_time(store.health_report, args.repeats)
        stats_s = median_time(store.storage_stats, args.repeats)
    sqlite_s = median_time(lambda: conn.execute(query).fetchone(), args.repeats)
    conn.close()
    report("health_report", 1, ombrel_s, "sqlite count/sum", sqlite_s)
    report("storage_stats", 1, stats_s, "sqlite count/sum", sqlite_s)


def main() -> int:
    p = parser(__doc__)
    p.add_argument("--mb", type=int, default=100, help="size of the copied store in MB (default 100)")
    p.add_argument("--keys", type=int, default=1_000_000,
                   help="keys of the store given a health report (default 1000000)")
    p.add_argument("--repeats", type=int, default=3, help="runs to take the median of (default 3)")
    args = parse(p, positive=("mb", "keys", "repeats"))
    banner(f"each time is the median of {args.repeats} run{'s' if args.repeats > 1 else ''}")
    with workdir(args) as tmp:
        bench_copies(tmp, args)
        bench_health(tmp, args)
    return 0

if __name__ == "__main__":
    raise SystemExit(main())
