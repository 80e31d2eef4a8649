"""storage_stats and health_report: read-only measures of an open store, queue backlog and
object read figures included."""

import random
import struct
import time

import pytest

import storefile as sf
from expect import raises_exactly
from ombrel_store import _native
from test_queues import qkey

Store = _native.Store
STORAGE_KEYS = ["file_bytes", "live_keys", "user_keys", "internal_keys", "key_bytes", "value_bytes", "live_bytes",
                "amplification_ratio"]
HEALTH_KEYS = ["store_id", "format_major", "format_minor", "max_bytes", "namespace_max_bytes",
               "compaction_backlog_bytes", "lock_contentions_total", "object_reads_total", "object_bytes_read_total",
               "queue_ready", "queue_leased", "queue_dead", "queue_total", "queue_oldest_ready_at_ms",
               "queue_ready_lag_ms", "metrics", "within_limit", "storage", "namespaces"]
METRIC_KEYS = ["commits", "puts", "deletes", "records_appended", "bytes_appended", "recovery_records",
               "commit_latency_total_us", "commit_latency_max_us", "fsync_latency_total_us", "fsync_latency_max_us",
               "commit_errors", "queue_claims", "queue_acks", "object_puts", "object_bytes_written", "object_gc_runs",
               "object_gc_removed"]
QUEUE_KEYS = ["queue_ready", "queue_leased", "queue_dead", "queue_total"]
AREAS = [("ttl", b"ttl:"), ("collections", b"col:"), ("queues", b"q:"), ("jobs", b"job:"),
         ("schedules", b"schedule:"), ("cron", b"cron:"), ("triggers", b"trigger:"), ("outbox", b"outbox:"),
         ("rpc", b"rpc:"), ("cdc", b"cdc:"), ("streams", b"stream:"), ("subscriptions", b"sub:"),
         ("consumer_groups", b"cg:"), ("objects", b"obj:"), ("workflows", b"wf:")]


def test_an_empty_store(store, store_path):
    stats = store.storage_stats()
    assert list(stats) == STORAGE_KEYS
    assert stats == {"file_bytes": 64, "live_keys": 0, "user_keys": 0, "internal_keys": 0, "key_bytes": 0,
                     "value_bytes": 0, "live_bytes": 0, "amplification_ratio": 64.0}
    assert type(stats["amplification_ratio"]) is float
    health = store.health_report()
    assert list(health) == HEALTH_KEYS
    assert health["storage"] == stats
    assert health["compaction_backlog_bytes"] == 64
    assert [row["name"] for row in health["namespaces"]] == [name for name, _ in AREAS]
    assert all(row == {"name": row["name"], "keys": 0, "value_bytes": 0} for row in health["namespaces"])
    assert health["store_id"] == store_path.read_bytes()[12:28] and type(health["store_id"]) is bytes
    assert [health[k] for k in HEALTH_KEYS[1:5]] == [1, 0, None, None] and health["within_limit"] is True
    assert [health[k] for k in HEALTH_KEYS[9:15]] == [0, 0, 0, 0, None, None]


def test_after_one_put_and_reports_write_nothing(store, store_path):
    store.put(b"abc", b"12345")
    before = store_path.read_bytes()
    stats = store.storage_stats()
    size = store_path.stat().st_size
    assert stats == {"file_bytes": size, "live_keys": 2, "user_keys": 1, "internal_keys": 1, "key_bytes": 31,
                     "value_bytes": 67, "live_bytes": 98, "amplification_ratio": size / 98}
    health = store.health_report()
    assert health["compaction_backlog_bytes"] == size - 98
    rows = {row["name"]: (row["keys"], row["value_bytes"]) for row in health["namespaces"]}
    assert rows.pop("cdc") == (1, 62) and set(rows.values()) == {(0, 0)}
    metrics = health["metrics"]
    assert list(metrics) == METRIC_KEYS
    assert [metrics[k] for k in ["commits", "puts", "deletes", "records_appended", "bytes_appended",
                                 "recovery_records", "commit_errors"]] == [1, 2, 0, 3, size - 64, 0, 0]
    assert metrics["commit_latency_total_us"] == metrics["commit_latency_max_us"] >= metrics["fsync_latency_max_us"]
    assert store.health_report()["metrics"] == metrics and store_path.read_bytes() == before


@pytest.mark.parametrize("over, within", [(-1000, True), (0, True), (1, False), (None, True)])
def test_quotas_and_within_limit(open_store, store_path, over, within):
    first = open_store()
    for i in range(10):
        first.put(b"k%d" % i, b"v" * 20)
    first.close()
    max_bytes = None if over is None else store_path.stat().st_size - over  # exactly at the limit is within it
    store = open_store(max_bytes=max_bytes, namespace_max_bytes=5000)
    health = store.health_report()
    assert (health["max_bytes"], health["namespace_max_bytes"], health["within_limit"]) == (max_bytes, 5000, within)


def test_every_area_is_counted_under_its_own_prefix_of_a_crafted_file(store_path):
    log = sf.LogBuilder(sf.encode_header(minor=7))
    for tx, (name, prefix) in enumerate(AREAS, start=1):
        for j in range(tx):
            log.put(tx, sf.INTERNAL_PREFIX + prefix + b"%d" % j, b"x" * tx)
        log.commit(tx)
    tx = len(AREAS) + 1
    log.put(tx, sf.INTERNAL_PREFIX + b"other:1", b"elsewhere").put(tx, sf.INTERNAL_PREFIX + b"q", b"no colon")
    log.put(tx, b"q:user", b"user key").commit(tx)
    log.write(store_path)
    with Store.open(str(store_path)) as s:
        health = s.health_report()
        stats = s.storage_stats()
    assert [(row["name"], row["keys"], row["value_bytes"]) for row in health["namespaces"]] == [
        (name, i, i * i) for i, (name, _) in enumerate(AREAS, start=1)]
    assert (stats["internal_keys"], stats["user_keys"]) == (sum(range(1, 16)) + 2, 1)
    assert (health["format_major"], health["format_minor"], health["metrics"]["recovery_records"]) == (1, 7, 139)


def test_metrics_restart_at_reopen_while_process_counters_do_not(open_store, store_path):
    store = open_store()
    store.put(b"k", b"v")
    contentions = store.health_report()["lock_contentions_total"]
    with raises_exactly(_native.AlreadyOpenError, "store is already open by another writer"):
        Store.open(str(store_path))
    health = store.health_report()
    assert health["lock_contentions_total"] == contentions + 1 and health["metrics"]["commits"] == 1
    store.close()
    again = open_store()
    health = again.health_report()
    assert health["metrics"] == dict.fromkeys(METRIC_KEYS, 0) | {"recovery_records": 3}
    assert health["lock_contentions_total"] == contentions + 1


def scanned_counts(store):
    """storage_stats' counts and each area's usage, recomputed from every live key."""
    items = store.scan_prefix(b"")
    internal = [(k, v) for k, v in items if k.startswith(sf.INTERNAL_PREFIX)]
    counts = {"live_keys": len(items), "user_keys": len(items) - len(internal), "internal_keys": len(internal),
              "key_bytes": sum(len(k) for k, _ in items), "value_bytes": sum(len(v) for _, v in items)}
    areas = [{"name": name, "keys": len(inside), "value_bytes": sum(len(v) for _, v in inside)}
             for name, prefix in AREAS
             for inside in [[(k, v) for k, v in internal if k[len(sf.INTERNAL_PREFIX):].startswith(prefix)]]]
    return counts, areas


@pytest.mark.parametrize("seed", [1, 2])
def test_counts_kept_by_commits_match_a_walk_over_every_key(store, seed):
    rng = random.Random(seed)
    store.storage_stats()  # the counts are kept from here on
    store.health_report()
    for step in range(300):
        key = b"k%d" % rng.randrange(40)
        choice = rng.randrange(6)
        if choice == 0:
            store.put(key, b"v" * rng.randrange(50))
        elif choice == 1:
            store.delete(key)
        elif choice == 2:
            store.push_queue(b"q", b"m" * rng.randrange(20))
        elif choice == 3:
            with store.transaction() as t:
                t.put(key, b"t")
                t.delete(b"k%d" % rng.randrange(40))
                t.append_stream(b"s", b"e")
        elif choice == 4:
            t = store.transaction()
            t.put(key, b"dropped")
            t.rollback()
        else:
            store.prune_changes_through(rng.randrange(step + 2), limit=rng.randrange(1, 20))
        if step % 50 == 49:
            counts, areas = scanned_counts(store)
            stats = store.storage_stats()
            assert {k: stats[k] for k in counts} == counts
            assert store.health_report()["namespaces"] == areas


def test_queue_and_object_counters_of_this_store(open_store):
    store = open_store()
    for i in range(3):
        store.push_queue(b"q", b"m%d" % i)
    for _ in range(2):
        message = store.claim_queue(b"q", 0, 1000)
        store.ack_queue(b"q", message["id"], message["lease_generation"])
    store.claim_queue(b"q", 0, 1000)
    store.put_object(b"kept")
    store.put_object(b"kept")
    store.put_object(b"orphan!")
    store.link_object(b"ns", b"name", store.put_object(b"linked"))
    store.gc_orphan_objects()
    metrics = store.health_report()["metrics"]
    assert [metrics[k] for k in METRIC_KEYS[11:]] == [3, 2, 3, 17, 1, 2]
    store.close()
    metrics = open_store().health_report()["metrics"]
    assert [metrics[k] for k in METRIC_KEYS[11:]] == [0] * 6


def queue_figures(store):
    health = store.health_report()
    return [health[k] for k in QUEUE_KEYS], health["queue_oldest_ready_at_ms"], health["queue_ready_lag_ms"]


def test_backlog_over_every_queue(store):
    now = int(time.time() * 1000)
    store.push_queue(b"a", b"1", available_at_ms=now - 5_000)
    store.push_queue(b"a", b"2", available_at_ms=now - 1_000)
    store.push_queue(b"b", b"3", available_at_ms=now - 2_000)
    counts, oldest, lag = queue_figures(store)
    assert (counts, oldest) == ([3, 0, 0, 3], now - 5_000)
    assert lag >= 5_000  # the clock only moves forward
    claimed = store.claim_queue(b"a", now, 60_000)
    assert claimed["payload"] == b"1"
    counts, oldest, _ = queue_figures(store)
    assert (counts, oldest) == ([2, 1, 0, 3], now - 2_000)
    store.dead_letter_queue(b"a", claimed["id"], claimed["lease_generation"])
    assert queue_figures(store)[0] == [2, 0, 1, 3]
    assert store.health_report()["namespaces"][2]["keys"] > 0  # "queues"
    store.claim_queue(b"a", now, 60_000)
    store.claim_queue(b"b", now, 60_000)
    assert queue_figures(store) == ([0, 2, 1, 3], None, None)  # only leased or dead: no oldest ready time


@pytest.mark.parametrize("available_at_ms", [2**62, 10**15])
def test_a_ready_message_in_the_future_lags_zero(store, available_at_ms):
    store.push_queue(b"q", b"later", available_at_ms=available_at_ms)
    counts, oldest, lag = queue_figures(store)
    assert (counts, oldest, lag) == ([1, 0, 0, 1], available_at_ms, 0)


def test_object_reads_are_counted_process_wide(open_store):
    store = open_store()
    object_id = store.put_object(b"abcd")
    before = store.health_report()
    assert store.get_object(object_id) == b"abcd"
    after = store.health_report()
    assert after["object_reads_total"] >= before["object_reads_total"] + 1
    assert after["object_bytes_read_total"] >= before["object_bytes_read_total"] + 4
    store.close()
    again = open_store()
    assert again.health_report()["object_reads_total"] >= after["object_reads_total"]


@pytest.mark.parametrize("value", [b"", b"\x02" + bytes(37), struct.pack("<BBQIiqqI", 1, 0, 9, 0, 0, 0, 0, 0)])
def test_a_corrupt_queue_message_fails_the_health_report_only(store_path, value):
    # An undecodable message, or one whose id is not its key's (9 under id 1).
    sf.committed_file(store_path, [(qkey(b"q", 1), value)])
    with Store.open(str(store_path)) as store:
        with raises_exactly(_native.OmbrelStoreError, "queue health error: queue record has invalid encoding"):
            store.health_report()
        assert store.storage_stats()["internal_keys"] == 1
