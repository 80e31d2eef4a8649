"""The outbox: events listed in transaction order, acknowledged one by one; damaged events refused."""

from __future__ import annotations

import struct

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Error = _native.OmbrelStoreError
PREFIX = b"\xffomb:outbox:event:"
NONCE = bytes(range(16))
NONCE_TEXT = "outbox nonce must be exactly 16 bytes"


def event_key(tx_id: int, nonce: bytes) -> bytes:
    return PREFIX + struct.pack(">Q", tx_id) + nonce


def event_value(tx_id, nonce, created_at_ms, topic, payload):
    return (struct.pack("<BQ", 1, tx_id) + nonce + struct.pack("<qI", created_at_ms, len(topic)) + topic
            + struct.pack("<I", len(payload)) + payload)


def event_dict(tx_id, nonce, topic, payload, created_at_ms):
    return {"id": (tx_id, nonce), "tx_id": tx_id, "nonce": nonce, "topic": topic, "payload": payload,
            "created_at_ms": created_at_ms}


def test_emit_lists_and_stores_in_transaction_order(store):
    store.put(b"user", b"data")  # transaction 1
    first = store.emit_outbox_event(b"orders", b"created", 1_000)
    second = store.emit_outbox_event(b"orders", b"", -5)
    assert [first[0], second[0]] == [2, 3] and first[1] != second[1]
    assert all(isinstance(n, bytes) and len(n) == 16 for _, n in (first, second))
    events = store.outbox_events_after()
    assert list(events[0]) == list(event_dict(0, 0, 0, 0, 0))
    assert events == [event_dict(2, first[1], b"orders", b"created", 1_000), event_dict(3, second[1], b"orders", b"", -5)]
    assert store.outbox_events_after(first[0]) == events[1:] and store.outbox_len() == 2
    assert store.scan_prefix(PREFIX) == [(event_key(2, first[1]), event_value(2, first[1], 1_000, b"orders", b"created")),
                                         (event_key(3, second[1]), event_value(3, second[1], -5, b"orders", b""))]


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, [1, 2, 3, 4]), ((0,), {}, [1, 2, 3, 4]), ((2,), {}, [3, 4]), ((4,), {}, []), ((2**64 - 1,), {}, []),
    ((), dict(limit=0), []), ((), dict(limit=1), [1]), ((1, 2), {}, [2, 3]),
])
def test_events_after(store, args, kwargs, expected):
    for i in range(4):
        store.emit_outbox_event(b"t", b"%d" % i, i)
    assert [e["tx_id"] for e in store.outbox_events_after(*args, **kwargs)] == expected


def test_ack_twice_and_the_default_limit(open_store):
    store = open_store(durability="relaxed")
    keep = store.emit_outbox_event(b"t", b"keep", 0)
    tx_id, nonce = store.emit_outbox_event(b"t", b"go", 0)
    assert store.ack_outbox_event(tx_id, nonce) is True and store.outbox_len() == 1
    assert store.ack_outbox_event(tx_id, nonce) is False
    assert store.ack_outbox_event(keep[0], bytes(16)) is False  # same transaction, another nonce
    assert [e["id"] for e in store.outbox_events_after()] == [keep]
    for i in range(100):
        store.emit_outbox_event(b"t", b"", i)
    assert len(store.outbox_events_after()) == 100 and store.outbox_len() == 101


@pytest.mark.parametrize("call, message", [
    *[(lambda s, n=n: s.ack_outbox_event(1, n), NONCE_TEXT) for n in (b"", bytes(15), bytes(17))],
    (lambda s: s.emit_outbox_event(b"", b"p", 0), "outbox topic cannot be empty"),
])
def test_refused_calls_write_nothing(store, store_path, call, message):
    store.emit_outbox_event(b"t", b"p", 0)
    before = snapshot(store_path)
    with raises_exactly(Error, message):
        call(store)
    assert snapshot(store_path) == before and store.outbox_len() == 1


GOOD = event_value(7, NONCE, 1, b"topic", b"payload")


def patched(offset: int, new: bytes) -> bytes:
    return GOOD[:offset] + new + GOOD[offset + len(new):]


@pytest.mark.parametrize("value", [
    b"", GOOD[:36], patched(0, b"\x02"), event_value(7, NONCE, 1, b"", b"payload"),
    patched(33, struct.pack("<I", 1000)), GOOD[:-1], GOOD + b"\x00",
    patched(1, struct.pack("<Q", 8)), patched(9, bytes(16)),  # a value stored under another event's key
], ids=["empty", "short", "version-2", "empty-topic", "topic-past-end", "payload-short", "trailing", "other-tx-id",
        "other-nonce"])
def test_damaged_event_refused(store_path, open_store, value):
    log = sf.LogBuilder().put(1, event_key(7, NONCE), value)
    log.put(1, event_key(9, NONCE), event_value(9, NONCE, 0, b"t", b"")).commit(1).write(store_path)
    s = open_store()
    for after in (None, 7, 8):  # decoded even when skipped, so a damaged event is never silently passed over
        with raises_exactly(Error, "outbox record is corrupt"):
            s.outbox_events_after(after)
    assert s.outbox_len() == 2  # counted by key
    assert s.ack_outbox_event(7, NONCE) is True  # the relay can still remove it
    assert [e["tx_id"] for e in s.outbox_events_after()] == [9]
