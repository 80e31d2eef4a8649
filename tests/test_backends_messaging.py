"""Queues, the outbox and keys and values, the same contract on a store file and on PostgreSQL."""

from __future__ import annotations

import pytest

from expect import raises_exactly
from ombrel_store import _native

Error = _native.OmbrelStoreError
MESSAGE_KEYS = ["id", "payload", "attempts", "priority", "available_at_ms", "lease_until_ms", "lease_generation"]
EVENT_KEYS = ["id", "tx_id", "nonce", "topic", "payload", "created_at_ms"]


def test_queue_claims_by_priority_then_id_and_fences_generations(backend):
    assert [backend.push_queue(b"q", p, priority=n) for n, p in [(5, b"a"), (10, b"b"), (5, b"c")]] == [1, 2, 3]
    backend.push_queue(b"q", b"later", available_at_ms=100, priority=99)
    claimed = backend.claim_queue(b"q", 0, 10)
    assert list(claimed) == MESSAGE_KEYS
    assert claimed == dict(id=2, payload=b"b", attempts=1, priority=10, available_at_ms=0, lease_until_ms=10,
                           lease_generation=1)
    assert backend.claim_queue(b"q", 0, 10)["id"] == 1
    assert backend.claim_queue(b"q", 10, 5)["id"] == 2  # its lease ended: taken over
    with raises_exactly(Error, "lease generation mismatch for message 2: expected 2, provided 1"):
        backend.ack_queue(b"q", 2, 1)
    backend.ack_queue(b"q", 2, 2)
    with raises_exactly(Error, "queue message 2 was not found"):
        backend.ack_queue(b"q", 2, 2)
    with raises_exactly(Error, "queue message 3 is not currently leased"):
        backend.nack_queue(b"q", 3, 0, 0)
    backend.nack_queue(b"q", 1, 1, 50)
    assert backend.queue_stats(b"q") == {"ready": 3, "leased": 0, "dead": 0, "total": 3}
    assert backend.queue_stats(b"q", now_ms=70)["ready_lag_ms"] == 70
    assert backend.claim_queue(b"q", 50, 100)["id"] == 1
    assert backend.claim_queue(b"q", 60, 10) == dict(id=3, payload=b"c", attempts=1, priority=5, available_at_ms=0,
                                                     lease_until_ms=70, lease_generation=1)
    backend.dead_letter_queue(b"q", 3, 1)
    assert backend.queue_stats(b"q", now_ms=0) == {"ready": 1, "leased": 1, "dead": 1, "total": 3,
                                                   "ready_lag_ms": 0}
    assert backend.purge_dead_queue(b"q") == 1 and backend.purge_dead_queue(b"q") == 0
    assert backend.queue_stats(b"other", now_ms=5) == {"ready": 0, "leased": 0, "dead": 0, "total": 0,
                                                       "ready_lag_ms": None}


@pytest.mark.parametrize("call, text", [
    (lambda s: s.push_queue(b"", b"x"), "queue name cannot be empty"),
    (lambda s: s.claim_queue(b"q", 2**63 - 1, 1), "queue time value overflowed"),
    (lambda s: s.claim_queue(b"q", 0, 2**63), "queue time value overflowed"),
    (lambda s: s.ack_queue(b"q", 7, 1), "queue message 7 was not found"),
    (lambda s: s.ack_queue(b"q", 2**64 - 1, 1), f"queue message {2**64 - 1} was not found"),
    (lambda s: s.ack_outbox_event(1, bytes(15)), "outbox nonce must be exactly 16 bytes"),
    (lambda s: s.emit_outbox_event(b"", b"x", 0), "outbox topic cannot be empty"),
])
def test_queue_and_outbox_faults_carry_the_store_files_texts(backend, call, text):
    with raises_exactly(Error, text):
        call(backend)
    assert backend.outbox_len() == 0


def test_outbox_events_come_in_transaction_order_and_ack_once(backend):
    first = backend.emit_outbox_event(b"t", b"one", 10)
    second = backend.emit_outbox_event(b"t", b"two", 20)
    assert first[0] < second[0] and len(first[1]) == 16
    events = backend.outbox_events_after()
    assert [list(e) for e in events] == [EVENT_KEYS] * 2
    assert events[0] == {"id": first, "tx_id": first[0], "nonce": first[1], "topic": b"t", "payload": b"one",
                         "created_at_ms": 10}
    assert [e["id"] for e in backend.outbox_events_after(first[0])] == [second]
    assert backend.outbox_events_after(None, 1) == events[:1] and backend.outbox_events_after(None, 0) == []
    assert backend.outbox_events_after(2**64 - 1) == []
    assert backend.ack_outbox_event(*first) is True and backend.ack_outbox_event(*first) is False
    assert backend.outbox_len() == 1


def test_keys_scan_in_unsigned_byte_order_and_internal_keys_are_reserved(backend):
    for key in [b"a\xff\xff", b"a\x01", b"a", b"b", b"a\xff\x00"]:
        backend.put(key, key * 2)
    assert backend.scan_prefix(b"a\xff") == [(b"a\xff\x00", b"a\xff\x00" * 2), (b"a\xff\xff", b"a\xff\xff" * 2)]
    assert [k for k, _ in backend.scan_prefix(b"a")] == [b"a", b"a\x01", b"a\xff\x00", b"a\xff\xff"]
    backend.delete(b"a")
    backend.delete(b"never")
    assert backend.get(b"a") is None and backend.contains(b"b") and not backend.contains(b"a")
    for write in (lambda: backend.put(b"\xffomb:x", b""), lambda: backend.delete(b"\xffomb:")):
        with raises_exactly(_native.ReservedKeyError,
                            "keys beginning with the Ombrel Store internal namespace are reserved"):
            write()
    backend.put(b"omb:x", b"fine")
    with raises_exactly(TypeError):
        backend.put(bytearray(b"k"), b"v")
