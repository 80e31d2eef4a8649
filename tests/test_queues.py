"""Queues: push, leased claims with generations, ack, nack, dead-letter, purge and
statistics through the Store methods, and damaged message records refused."""

from __future__ import annotations

import struct

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Error = _native.OmbrelStoreError
INVALID = "queue record has invalid encoding"
I64_MAX = 2**63 - 1
I64_MIN = -(2**63)


def queue_base(name: bytes) -> bytes:
    return b"\xffomb:q:" + struct.pack(">I", len(name)) + name


def message_key(name: bytes, message_id: int) -> bytes:
    return queue_base(name) + b":m:" + struct.pack(">Q", message_id)


def next_id_key(name: bytes) -> bytes:
    return queue_base(name) + b":next"


def message_record(message_id, payload=b"", *, state=0, attempts=0, priority=0, available_at_ms=0,
                   lease_until_ms=0, version=1, length=None):
    length = len(payload) if length is None else length
    return struct.pack("<BBQIiqqI", version, state, message_id, attempts, priority, available_at_ms,
                       lease_until_ms, length) + payload


def claimed(message_id, payload, attempts, priority, available_at_ms, lease_until_ms):
    return {"id": message_id, "payload": payload, "attempts": attempts, "priority": priority,
            "available_at_ms": available_at_ms, "lease_until_ms": lease_until_ms, "lease_generation": attempts}


def stats(ready=0, leased=0, dead=0, **lag):
    return {"ready": ready, "leased": leased, "dead": dead, "total": ready + leased + dead, **lag}


def test_ids_start_at_one_per_queue_and_are_never_reused(store):
    assert [store.push_queue(b"a", b"1"), store.push_queue(b"a", b"2"), store.push_queue(b"ab", b"x")] == [1, 2, 1]
    first = store.claim_queue(b"a", 0, 100)
    store.ack_queue(b"a", first["id"], first["lease_generation"])
    assert store.push_queue(b"a", b"3") == 3
    # A name that extends another is a different queue: "a" holds 2 and 3 only.
    assert store.queue_stats(b"a") == stats(ready=2) and store.queue_stats(b"ab") == stats(ready=1)


def test_records_as_stored_and_the_claimed_message(store):
    store.push_queue(b"jobs", b"hello", available_at_ms=-5, priority=-7)
    assert store.get(next_id_key(b"jobs")) == struct.pack("<Q", 2)
    assert store.get(message_key(b"jobs", 1)) == message_record(1, b"hello", priority=-7, available_at_ms=-5)
    assert len(store.get(message_key(b"jobs", 1))) == 38 + 5
    got = store.claim_queue(b"jobs", 10, 30)
    assert list(got) == ["id", "payload", "attempts", "priority", "available_at_ms", "lease_until_ms",
                         "lease_generation"]
    assert got == claimed(1, b"hello", 1, -7, -5, 40)
    assert store.get(message_key(b"jobs", 1)) == message_record(
        1, b"hello", state=1, attempts=1, priority=-7, available_at_ms=-5, lease_until_ms=40)
    assert store.queue_stats(b"jobs") == stats(leased=1)


@pytest.mark.parametrize(
    "pushes, order",
    [
        ([5, 10], [2, 1]),
        ([0, 0, 0], [1, 2, 3]),
        ([1, 3, 3, 2], [2, 3, 4, 1]),
        ([-(2**31), 2**31 - 1, 0], [2, 3, 1]),
    ],
    ids=["higher-priority-first", "equal-by-id", "mixed", "extremes"],
)
def test_claim_order_priority_then_id(store, pushes, order):
    for priority in pushes:
        store.push_queue(b"q", b"p%d" % priority, priority=priority)
    taken = [store.claim_queue(b"q", 0, 1000)["id"] for _ in pushes]
    assert taken == order
    assert store.claim_queue(b"q", 0, 1000) is None


@pytest.mark.parametrize("now_ms, taken", [(99, b"now"), (100, b"later"), (I64_MAX, b"later")])
def test_availability_in_the_future(store, now_ms, taken):
    store.push_queue(b"q", b"later", available_at_ms=100, priority=9)
    store.push_queue(b"q", b"now", priority=1)
    assert store.queue_stats(b"q") == stats(ready=2)  # counted as ready before its time
    assert store.claim_queue(b"q", now_ms, 0)["payload"] == taken


def test_lease_expiry_and_reclaim_with_next_generation(store):
    store.push_queue(b"q", b"m")
    assert store.claim_queue(b"q", 1_000, 100)["lease_generation"] == 1
    assert store.claim_queue(b"q", 1_099, 100) is None
    assert store.claim_queue(b"q", 1_100, 100) == claimed(1, b"m", 2, 0, 0, 1_200)


@pytest.mark.parametrize("late_call", ["ack", "nack", "dead_letter"])
def test_a_consumer_whose_lease_was_taken_over_is_fenced_off(store, store_path, late_call):
    store.push_queue(b"q", b"m")
    store.claim_queue(b"q", 0, 10)
    store.claim_queue(b"q", 10, 10)  # lease 1 ran out; generation 2 now
    before = snapshot(store_path)
    call = {"ack": lambda: store.ack_queue(b"q", 1, 1), "nack": lambda: store.nack_queue(b"q", 1, 1, 0),
            "dead_letter": lambda: store.dead_letter_queue(b"q", 1, 1)}[late_call]
    with raises_exactly(Error, "lease generation mismatch for message 1: expected 2, provided 1"):
        call()
    assert snapshot(store_path) == before
    store.ack_queue(b"q", 1, 2)
    assert store.queue_stats(b"q") == stats()


def test_an_expired_lease_not_yet_taken_over_can_still_be_acked(store):
    store.push_queue(b"q", b"m")
    store.claim_queue(b"q", 0, 10)
    store.ack_queue(b"q", 1, 1)
    assert store.claim_queue(b"q", 1_000, 10) is None


@pytest.mark.parametrize(
    "setup, message",
    [
        ("never-pushed", "queue message 7 was not found"),
        ("ready", "queue message 7 is not currently leased"),
        ("acked", "queue message 7 was not found"),
        ("nacked", "queue message 7 is not currently leased"),
        ("dead", "queue message 7 is not currently leased"),
    ],
)
@pytest.mark.parametrize("op", ["ack", "nack", "dead_letter"])
def test_not_found_and_not_leased(store, store_path, setup, message, op):
    for _ in range(7 if setup != "never-pushed" else 0):
        store.push_queue(b"q", b"m")
    if setup in ("acked", "nacked", "dead"):
        for i in range(1, 8):
            store.claim_queue(b"q", 0, 10)
        finish = {"acked": store.ack_queue, "dead": store.dead_letter_queue,
                  "nacked": lambda n, i, g: store.nack_queue(n, i, g, 0)}[setup]
        finish(b"q", 7, 1)
    before = snapshot(store_path)
    with raises_exactly(Error, message):
        {"ack": lambda: store.ack_queue(b"q", 7, 1), "nack": lambda: store.nack_queue(b"q", 7, 1, 0),
         "dead_letter": lambda: store.dead_letter_queue(b"q", 7, 1)}[op]()
    assert snapshot(store_path) == before


def test_nack_makes_it_ready_at_the_chosen_time_under_the_next_generation(store):
    store.push_queue(b"q", b"m", priority=4)
    store.claim_queue(b"q", 0, 10)
    store.nack_queue(b"q", 1, 1, 500)
    assert store.get(message_key(b"q", 1)) == message_record(1, b"m", attempts=1, priority=4, available_at_ms=500)
    assert store.claim_queue(b"q", 499, 10) is None
    assert store.claim_queue(b"q", 500, 10) == claimed(1, b"m", 2, 4, 500, 510)


def test_dead_letter_keeps_the_message_until_purged(store):
    for i in range(4):
        store.push_queue(b"q", b"%d" % i)
    for generation_holder in [store.claim_queue(b"q", 0, 10) for _ in range(3)]:
        if generation_holder["id"] != 2:
            store.dead_letter_queue(b"q", generation_holder["id"], 1)
    assert store.get(message_key(b"q", 1)) == message_record(1, b"0", state=2, attempts=1)
    assert store.queue_stats(b"q") == stats(ready=1, leased=1, dead=2)
    assert store.claim_queue(b"q", 10**6, 10)["id"] == 2  # dead ones are skipped, the expired lease is not
    assert store.purge_dead_queue(b"q") == 2
    assert store.queue_stats(b"q") == stats(ready=1, leased=1)
    assert store.get(message_key(b"q", 1)) is None and store.get(message_key(b"q", 3)) is None


@pytest.mark.parametrize("pushed", [0, 2], ids=["empty-queue", "no-dead"])
def test_purge_without_dead_messages_writes_nothing(store, store_path, pushed):
    for _ in range(pushed):
        store.push_queue(b"q", b"m")
    before = snapshot(store_path)
    assert store.purge_dead_queue(b"q") == 0
    assert snapshot(store_path) == before


@pytest.mark.parametrize(
    "available, now_ms, lag",
    [
        (None, 100, None),
        (40, 100, 60),
        (100, 100, 0),
        (500, 100, 0),
        (-1, I64_MAX, None),  # the difference does not fit a signed 64-bit integer
        (I64_MIN, -1, I64_MAX),
    ],
    ids=["none-ready", "lag", "zero", "future", "overflow", "extreme-fits"],
)
def test_ready_lag(store, available, now_ms, lag):
    store.push_queue(b"q", b"leased")
    store.claim_queue(b"q", 0, 10**6)
    if available is not None:
        store.push_queue(b"q", b"a", available_at_ms=available)
        store.push_queue(b"q", b"b", available_at_ms=10**9)
    assert "ready_lag_ms" not in store.queue_stats(b"q")
    got = store.queue_stats(b"q", now_ms=now_ms)
    assert list(got) == ["ready", "leased", "dead", "total", "ready_lag_ms"]
    assert got["ready_lag_ms"] == lag


@pytest.mark.parametrize(
    "now_ms, lease",
    [(I64_MAX, 1), (1, I64_MAX), (0, 2**63), (0, 2**64 - 1)],
    ids=["now-at-max", "sum-overflows", "lease-2-63", "lease-max"],
)
def test_claim_time_overflow_changes_nothing(store, store_path, now_ms, lease):
    store.push_queue(b"q", b"m")
    before = snapshot(store_path)
    with raises_exactly(Error, "queue time value overflowed"):
        store.claim_queue(b"q", now_ms, lease)
    assert snapshot(store_path) == before
    assert store.claim_queue(b"q", I64_MAX, 0)["lease_until_ms"] == I64_MAX


QUEUE_CALLS = {
    "push": lambda s, n: s.push_queue(n, b"p"),
    "claim": lambda s, n: s.claim_queue(n, 0, 1),
    "ack": lambda s, n: s.ack_queue(n, 1, 1),
    "nack": lambda s, n: s.nack_queue(n, 1, 1, 0),
    "dead_letter": lambda s, n: s.dead_letter_queue(n, 1, 1),
    "purge": lambda s, n: s.purge_dead_queue(n),
    "stats": lambda s, n: s.queue_stats(n, now_ms=0),
}


@pytest.mark.parametrize("call", QUEUE_CALLS.values(), ids=QUEUE_CALLS.keys())
def test_empty_name_refused(store, store_path, call):
    before = snapshot(store_path)
    with raises_exactly(Error, "queue name cannot be empty"):
        call(store, b"")
    assert snapshot(store_path) == before


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda s: s.push_queue(b"q", b"p", priority=2**31), OverflowError),
        (lambda s: s.push_queue(b"q", b"p", priority=-(2**31) - 1), OverflowError),
        (lambda s: s.push_queue(b"q", b"p", available_at_ms=2**63), OverflowError),
        (lambda s: s.push_queue(b"q", bytearray(b"p")), TypeError),
        (lambda s: s.push_queue(b"q", b"p", 0), TypeError),  # keyword-only
        (lambda s: s.claim_queue(b"q", 0, -1), OverflowError),
        (lambda s: s.ack_queue(b"q", 1, 2**32), OverflowError),
        (lambda s: s.ack_queue(b"q", -1, 1), OverflowError),
        (lambda s: s.queue_stats(b"q", now_ms="0"), TypeError),
    ],
    ids=["priority-high", "priority-low", "available-at", "bytearray", "positional-option",
         "negative-lease", "generation", "negative-id", "now-str"],
)
def test_bad_arguments_raise_and_write_nothing(store, store_path, call, exc):
    before = snapshot(store_path)
    with pytest.raises(exc):
        call(store)
    assert snapshot(store_path) == before


def test_methods_of_a_closed_store(store):
    store.close()
    for name, call in QUEUE_CALLS.items():
        with raises_exactly(_native.StoreClosedError, "store is closed"):
            call(store, b"q")


# --- damaged records, crafted in a store file ----------------------------------------

GOOD = message_record(1, b"payload", state=1, attempts=1, lease_until_ms=10)


def _with(offset: int, new: bytes) -> bytes:
    return GOOD[:offset] + new + GOOD[offset + len(new):]


BAD_RECORDS = {
    "empty": b"",
    "short": GOOD[:37],
    "version-0": _with(0, b"\x00"),
    "version-2": _with(0, b"\x02"),
    "state-3": _with(1, b"\x03"),
    "length-past-end": _with(34, struct.pack("<I", 8)),
    "length-short": _with(34, struct.pack("<I", 6)),
    "trailing-byte": GOOD + b"\x00",
    "id-of-another-key": _with(2, struct.pack("<Q", 2)),
}


def craft_queue(path, value, *, key=None):
    """A store whose queue b"q" holds a good ready message 2 and `value` under message 1's key."""
    log = sf.LogBuilder()
    log.put(1, next_id_key(b"q"), struct.pack("<Q", 3))
    log.put(1, key or message_key(b"q", 1), value)
    log.put(1, message_key(b"q", 2), message_record(2, b"good"))
    log.commit(1).write(path)


@pytest.mark.parametrize("value", BAD_RECORDS.values(), ids=BAD_RECORDS.keys())
@pytest.mark.parametrize("call", ["claim", "stats", "purge", "ack", "nack", "dead_letter"])
def test_damaged_record_refused(store_path, open_store, value, call):
    craft_queue(store_path, value)
    s = open_store()
    before = snapshot(store_path)
    with raises_exactly(Error, INVALID):
        {"claim": lambda: s.claim_queue(b"q", 100, 1), "stats": lambda: s.queue_stats(b"q"),
         "purge": lambda: s.purge_dead_queue(b"q"), "ack": lambda: s.ack_queue(b"q", 1, 1),
         "nack": lambda: s.nack_queue(b"q", 1, 1, 0), "dead_letter": lambda: s.dead_letter_queue(b"q", 1, 1)}[call]()
    assert snapshot(store_path) == before
    # The good message of the queue is untouched, and other queues work.
    assert s.get(message_key(b"q", 2)) == message_record(2, b"good")
    assert s.push_queue(b"other", b"x") == 1


@pytest.mark.parametrize("counter", [b"", struct.pack("<I", 5), struct.pack("<Q", 5) + b"\x00"],
                         ids=["empty", "4-bytes", "9-bytes"])
def test_damaged_counter_refuses_push(store_path, open_store, counter):
    sf.LogBuilder().put(1, next_id_key(b"q"), counter).commit(1).write(store_path)
    s = open_store()
    before = snapshot(store_path)
    with raises_exactly(Error, INVALID):
        s.push_queue(b"q", b"p")
    assert snapshot(store_path) == before


def test_exhausted_id_space(store_path, open_store):
    sf.LogBuilder().put(1, next_id_key(b"q"), struct.pack("<Q", 2**64 - 2)).commit(1).write(store_path)
    s = open_store()
    assert s.push_queue(b"q", b"last") == 2**64 - 2
    with raises_exactly(Error, "queue message id space is exhausted"):
        s.push_queue(b"q", b"more")
    assert s.claim_queue(b"q", 0, 1)["id"] == 2**64 - 2


def test_exhausted_attempt_counter(store_path, open_store):
    record = message_record(1, b"m", attempts=2**32 - 1)
    sf.LogBuilder().put(1, message_key(b"q", 1), record).commit(1).write(store_path)
    s = open_store()
    before = snapshot(store_path)
    with raises_exactly(Error, "queue delivery attempt counter is exhausted"):
        s.claim_queue(b"q", 0, 1)
    assert snapshot(store_path) == before
