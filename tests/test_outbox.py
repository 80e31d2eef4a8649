"""The outbox: events emitted in their writing transaction, listed in transaction order,
acknowledged one by one; damaged event records refused."""

from __future__ import annotations

import struct

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Error = _native.OmbrelStoreError
PREFIX = b"\xffomb:outbox:event:"
CORRUPT = "outbox record is corrupt"
NONCE = bytes(range(16))


def event_key(tx_id: int, nonce: bytes) -> bytes:
    return PREFIX + struct.pack(">Q", tx_id) + nonce


def event_value(tx_id, nonce, created_at_ms, topic, payload, *, version=1):
    return (struct.pack("<BQ", version, tx_id) + nonce + struct.pack("<qI", created_at_ms, len(topic)) + topic
            + struct.pack("<I", len(payload)) + payload)


def event_dict(tx_id, nonce, topic, payload, created_at_ms):
    return {"id": (tx_id, nonce), "tx_id": tx_id, "nonce": nonce, "topic": topic, "payload": payload,
            "created_at_ms": created_at_ms}


def test_emit_lists_and_stores_in_transaction_order(store):
    store.put(b"user", b"data")  # transaction 1
    first = store.emit_outbox_event(b"orders", b"created", 1_000)
    second = store.emit_outbox_event(b"orders", b"", -5)
    assert [first[0], second[0]] == [2, 3]
    assert all(isinstance(n, bytes) and len(n) == 16 for _, n in (first, second)) and first[1] != second[1]
    events = store.outbox_events_after()
    assert list(events[0]) == ["id", "tx_id", "nonce", "topic", "payload", "created_at_ms"]
    assert events == [event_dict(2, first[1], b"orders", b"created", 1_000), event_dict(3, second[1], b"orders", b"", -5)]
    assert store.outbox_events_after(first[0]) == events[1:]
    assert store.outbox_len() == 2
    # 42-byte keys: prefix, big-endian transaction id, nonce.
    assert store.scan_prefix(PREFIX) == [(event_key(2, first[1]), event_value(2, first[1], 1_000, b"orders", b"created")),
                                         (event_key(3, second[1]), event_value(3, second[1], -5, b"orders", b""))]


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, [1, 2, 3, 4]),
        ((), dict(after_tx_id=0), [1, 2, 3, 4]),
        ((2,), {}, [3, 4]),
        ((4,), {}, []),
        ((2**64 - 1,), {}, []),
        ((), dict(limit=0), []),
        ((), dict(limit=1), [1]),
        ((1, 2), {}, [2, 3]),
    ],
    ids=["all", "after-0", "after-2", "after-last", "after-max", "limit-0", "limit-1", "positional"],
)
def test_events_after(store, args, kwargs, expected):
    for i in range(4):
        store.emit_outbox_event(b"t", b"%d" % i, i)
    assert [e["tx_id"] for e in store.outbox_events_after(*args, **kwargs)] == expected


def test_default_limit_is_100(open_store):
    s = open_store(durability="relaxed")
    for i in range(101):
        s.emit_outbox_event(b"t", b"", i)
    assert len(s.outbox_events_after()) == 100 and s.outbox_len() == 101


def test_ack_twice(store):
    keep = store.emit_outbox_event(b"t", b"keep", 0)
    tx_id, nonce = store.emit_outbox_event(b"t", b"go", 0)
    assert store.ack_outbox_event(tx_id, nonce) is True
    assert store.outbox_len() == 1
    assert store.ack_outbox_event(tx_id, nonce) is False
    assert store.ack_outbox_event(keep[0], bytes(16)) is False  # same transaction, another nonce
    assert [e["id"] for e in store.outbox_events_after()] == [keep]


@pytest.mark.parametrize("nonce", [b"", bytes(15), bytes(17)], ids=["0", "15", "17"])
def test_nonce_length(store, store_path, nonce):
    store.emit_outbox_event(b"t", b"p", 0)
    before = snapshot(store_path)
    with raises_exactly(Error, "outbox nonce must be exactly 16 bytes"):
        store.ack_outbox_event(1, nonce)
    assert snapshot(store_path) == before
    with pytest.raises(TypeError):
        store.ack_outbox_event(1, bytearray(16))


def test_empty_topic_writes_nothing(store, store_path):
    before = snapshot(store_path)
    with raises_exactly(Error, "outbox topic cannot be empty"):
        store.emit_outbox_event(b"", b"p", 0)
    assert snapshot(store_path) == before and store.outbox_len() == 0


@pytest.mark.parametrize(
    "call",
    [lambda s: s.emit_outbox_event(b"t", b"p", 2**63), lambda s: s.outbox_events_after(-1),
     lambda s: s.outbox_events_after(limit=-1), lambda s: s.ack_outbox_event(-1, NONCE)],
    ids=["created-at", "after", "limit", "tx-id"],
)
def test_out_of_range_arguments(store, call):
    with pytest.raises(OverflowError):
        call(store)


GOOD = event_value(7, NONCE, 1, b"topic", b"payload")


def _with(offset: int, new: bytes) -> bytes:
    return GOOD[:offset] + new + GOOD[offset + len(new):]


BAD_EVENTS = {
    "empty": b"",
    "short": GOOD[:36],
    "version-2": _with(0, b"\x02"),
    "empty-topic": event_value(7, NONCE, 1, b"", b"payload"),
    "topic-past-end": _with(33, struct.pack("<I", 1000)),
    "payload-short": GOOD[:-1],
    "trailing-byte": GOOD + b"\x00",
    "other-tx-id": _with(1, struct.pack("<Q", 8)),
    "other-nonce": _with(9, bytes(16)),
}


@pytest.mark.parametrize("value", BAD_EVENTS.values(), ids=BAD_EVENTS.keys())
def test_damaged_event_refused(store_path, open_store, value):
    log = sf.LogBuilder().put(1, event_key(7, NONCE), value).put(1, event_key(9, NONCE), event_value(9, NONCE, 0, b"t", b""))
    log.commit(1).write(store_path)
    s = open_store()
    for after in (None, 7, 8):  # decoded even when skipped, so a damaged event is never silently passed over
        with raises_exactly(Error, CORRUPT):
            s.outbox_events_after(after)
    assert s.outbox_len() == 2  # counted by key
    assert s.ack_outbox_event(7, NONCE) is True  # the relay can still remove it
    assert [e["tx_id"] for e in s.outbox_events_after()] == [9]

