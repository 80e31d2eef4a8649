#!/usr/bin/env python3
"""A short tour of Ombrel Store: every step runs against a real store file and is checked."""

import hashlib
import sys
import tempfile
from pathlib import Path

try:
    import ombrel_store
except ImportError:  # running from a checkout with an in-tree build
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))
    import ombrel_store

from ombrel_store import ReservedKeyError, Store, StoreClosedError

import jobs_tour  # noqa: E402  (the tours live next to this script)
import maintenance_tour  # noqa: E402
import objects_tour  # noqa: E402
import queue_tour  # noqa: E402
import records_tour  # noqa: E402
import topic_tour  # noqa: E402
import workflow_tour  # noqa: E402


def step(title):
    print(f"\n== {title}")


def check(ok, what):
    if not ok:
        print(f"   UNEXPECTED: {what}", file=sys.stderr)
        sys.exit(1)
    print(f"   ok: {what}")


def basics_tour(workdir, step, check):
    """Keys and values, the change feed, reserved keys, verification and reopening."""
    path = Path(workdir) / "demo.ombrel"
    step(f"open a new store at {path}")
    store = Store.open(path)  # durability "data": each commit is synced
    check(path.stat().st_size == 64, "a new store file holds only its 64-byte header")

    step("write and read keys")
    for key, value in [(b"user:1", b"Ada"), (b"user:2", b"Grace"), (b"config", b"dark")]:
        store.put(key, value)
        print(f"   put {key!r} = {value!r}")
    check(store.get(b"user:1") == b"Ada", "get(b'user:1') returns b'Ada'")
    check(store.get(b"nobody") is None, "get of a key never written returns None")
    store.delete(b"config")
    check(not store.contains(b"config"), "after delete(b'config') the key is gone")

    step("prefix scan")
    rows = store.scan_prefix(b"user:")
    for key, value in rows:
        print(f"   {key!r} -> {value!r}")
    check(rows == [(b"user:1", b"Ada"), (b"user:2", b"Grace")], "sorted (key, value) pairs")

    step("a batch of ten writes, one commit each")
    for i in range(10):
        store.put(b"item:%02d" % i, b"value %d" % i)
    check(len(store.scan_prefix(b"item:")) == 10, "ten items are readable")

    step("change feed")
    changes = store.changes_after()
    for c in changes[:4]:
        print(f"   tx {c['tx_id']} #{c['sequence']} {c['kind']:<6} {c['key']!r} "
              f"value_len={c['value_len']}")
    print(f"   ... {len(changes)} changes in all")
    check(len(changes) == 14, "13 puts and 1 delete were captured")
    first, deleted, last = changes[0], changes[3], changes[-1]
    check(first["value_sha256"] == hashlib.sha256(b"Ada").digest(),
          "a put change carries the value's length and SHA-256, not the value")
    check(deleted["kind"] == "delete" and deleted["value_len"] is None, "a delete change")
    check(store.changes_for_transaction(last["tx_id"]) == [last],
          f"changes_for_transaction({last['tx_id']}) finds the last put")
    after = store.changes_after(after_tx_id=deleted["tx_id"], limit=3)
    check([c["key"] for c in after] == [b"item:00", b"item:01", b"item:02"],
          "changes_after(the delete's tx, limit=3) lists the next three puts")
    pruned = store.prune_changes_through(deleted["tx_id"])
    check(pruned == 4, f"prune_changes_through({deleted['tx_id']}) deleted {pruned} changes")
    check(store.changes_after()[0] == changes[4], "the feed now starts at the first item")

    step("reserved internal keys")
    try:
        store.put(b"\xffomb:mine", b"x")
    except ReservedKeyError as exc:
        print(f"   ReservedKeyError: {exc}")
    else:
        check(False, "writing an internal key was refused")
    check(store.get(b"\xffomb:mine") is None, "nothing was written")

    everything = store.scan_prefix(b"")  # user keys, then the change feed's internal keys
    step("close and verify the file")
    store.close()
    try:
        store.get(b"user:1")
    except StoreClosedError as exc:
        print(f"   StoreClosedError: {exc}")
    else:
        check(False, "a closed store refuses calls")
    report = Store.verify(path)
    print(f"   {report!r}")
    check(report.valid_bytes == report.file_bytes == path.stat().st_size
          and not report.has_torn_tail, "the whole file is a valid log")
    check(report.keys == len(everything), f"{report.keys} live keys, as before closing")
    check((report.committed_transactions, report.pending_transactions) == (15, 0),
          "15 committed transactions (13 puts, a delete, a prune), none pending")

    step("reopen: the data survived")
    with Store.open(path) as again:
        check(again.scan_prefix(b"") == everything, "every key and value is back")
        print(f"   user:2 = {again.get(b'user:2')!r}, item:09 = {again.get(b'item:09')!r}")


# Each tour runs against its own store file in the demo's temporary directory;
# the last one ends with a health report and a compaction.
TOURS = [
    ("keys, values and the change feed", basics_tour),
    ("collections, index queries and explicit transactions", records_tour.tour),
    ("content-addressed objects", objects_tour.tour),
    ("queues", queue_tour.tour),
    ("streams, topics and subscriptions", topic_tour.tour),
    ("durable jobs and schedules", jobs_tour.tour),
    ("workflows, triggers and transactions across domains", workflow_tour.tour),
    ("maintenance: backup, checkpoint, restore, compaction, health", maintenance_tour.tour),
]


def main():
    print(f"Ombrel Store {ombrel_store.__version__}")
    with tempfile.TemporaryDirectory(prefix="ombrel-demo-") as tmp:
        for number, (title, tour) in enumerate(TOURS, 1):
            print(f"\n######## {number}. {title}")
            workdir = Path(tmp) / f"tour-{number}"
            workdir.mkdir()
            tour(workdir, step, check)
    print("\ndemo finished: every step behaved as expected")


if __name__ == "__main__":
    main()
