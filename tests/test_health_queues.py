"""The health report's queue backlog and object read figures, once queues and objects exist."""

import struct
import time

import pytest

import storefile as sf
from expect import raises_exactly
from ombrel_store import _native

Store = _native.Store
QUEUE_KEYS = ["queue_ready", "queue_leased", "queue_dead", "queue_total"]


def message_key(name, message_id):
    return b"\xffomb:q:" + struct.pack(">I", len(name)) + name + b":m:" + struct.pack(">Q", message_id)


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
    sf.LogBuilder().put(1, message_key(b"q", 1), value).commit(1).write(store_path)
    with Store.open(str(store_path)) as store:
        with raises_exactly(_native.OmbrelStoreError, "queue health error: queue record has invalid encoding"):
            store.health_report()
        assert store.storage_stats()["internal_keys"] == 1
