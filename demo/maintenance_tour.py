#!/usr/bin/env python3
"""A tour of the maintenance operations: backup, checkpoint, restore, snapshot, compaction,
a new generation, storage statistics and the health report, each checked on real files."""

from __future__ import annotations

import os
from pathlib import Path

from ombrel_store import AlreadyOpenError, IoError, OmbrelStoreError, Store


def tour(workdir, step, check):
    workdir = Path(workdir)
    path = workdir / "live.ombrel"

    step("a store whose keys were overwritten many times")
    store = Store.open(path)
    for round_ in range(20):
        for i in range(10):
            store.put(b"sensor:%d" % i, b"reading %d of round %d" % (i, round_))
    store.delete(b"sensor:9")
    stats = store.storage_stats()
    print(f"   {stats['file_bytes']:,} file bytes for {stats['live_bytes']:,} live bytes "
          f"(amplification {stats['amplification_ratio']:.1f})")
    check(stats["user_keys"] == 9 and stats["internal_keys"] == 201,
          "9 user keys and 201 change records (200 puts and a delete)")

    step("backup: a byte-for-byte copy")
    copied = store.backup_to(workdir / "backup.ombrel")
    check(copied == path.stat().st_size and (workdir / "backup.ombrel").read_bytes() == path.read_bytes(),
          f"backup_to copied all {copied:,} bytes")
    try:
        store.backup_to(path)
    except OmbrelStoreError as exc:
        print(f"   OmbrelStoreError: {exc}")
    else:
        check(False, "a backup onto the store itself is refused")

    step("checkpoint: a copy proved by verification")
    report = store.checkpoint_to(workdir / "checkpoint.ombrel")
    check(report["checkpoint_store_id"] == report["source_store_id"], "the copy carries the store's identity")
    check(not [n for n in os.listdir(workdir) if n.endswith(".tmp")], "no temporary file is left behind")
    try:
        store.checkpoint_to(workdir / "checkpoint.ombrel")
    except OmbrelStoreError as exc:
        print(f"   OmbrelStoreError: {exc}")
    else:
        check(False, "a checkpoint never overwrites an existing file")

    step("restore: only from a closed store, only onto a new path")
    try:
        Store.restore_copy(path, workdir / "restored.ombrel")
    except AlreadyOpenError as exc:
        print(f"   AlreadyOpenError: {exc}")
    else:
        check(False, "an open store cannot be restored")
    restored = Store.restore_copy(workdir / "checkpoint.ombrel", workdir / "restored.ombrel")
    check(restored["keys"] == 210, f"restored {restored['bytes']:,} bytes holding {restored['keys']} keys")
    try:
        Store.restore_copy(workdir / "checkpoint.ombrel", workdir / "restored.ombrel")
    except IoError as exc:
        print(f"   IoError: {exc}")
    else:
        check(False, "a restore never overwrites an existing file")

    step("snapshot: the live keys under a new identity")
    snap = store.snapshot_to(workdir / "snapshot.ombrel")
    check(snap["snapshot_store_id"] != snap["source_store_id"], "a snapshot is a different store")
    print(f"   {snap['destination'].name}: {snap['source_bytes']:,} -> {snap['snapshot_bytes']:,} bytes")

    step("health report")
    health = store.health_report()
    metrics = health["metrics"]
    print(f"   format {health['format_major']}.{health['format_minor']}, backlog "
          f"{health['compaction_backlog_bytes']:,} bytes, within limit: {health['within_limit']}")
    print(f"   {metrics['commits']} commits, {metrics['records_appended']} records, "
          f"max commit latency {metrics['commit_latency_max_us']} us")
    used = [f"{row['name']}={row['keys']}" for row in health["namespaces"] if row["keys"]]
    print(f"   internal areas in use: {', '.join(used)} (of {len(health['namespaces'])})")
    check(metrics["commits"] == 201 and health["queue_oldest_ready_at_ms"] is None,
          "201 commits since open, no queued message")

    step("compaction into a new generation, then swap it in")
    generation = store.compact_generation_to(workdir / "next.ombrel")
    print(f"   {generation['source_bytes']:,} -> {generation['generation_bytes']:,} bytes "
          f"({generation['bytes_reclaimed']:,} reclaimed); numbering continues after tx "
          f"{generation['high_water_tx_id']}")
    expected = store.scan_prefix(b"")
    store.close()
    os.replace(workdir / "next.ombrel", path)
    with Store.open(path) as again:
        check(again.scan_prefix(b"") == expected, "every live key survived the compaction")
        again.put(b"sensor:0", b"after the swap")
        last = again.changes_after(limit=1000)[-1]
        check(last["tx_id"] > generation["high_water_tx_id"], f"the next transaction is {last['tx_id']}")
        check(again.health_report()["store_id"] == generation["store_id"], "the store kept its identity")

