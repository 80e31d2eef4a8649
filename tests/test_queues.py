"""Queues: leased claims with generations, ack, nack, dead-letter, purge, stats, damaged records."""

from __future__ import annotations

import os
import shutil
import struct
import tempfile

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Error = _native.OmbrelStoreError
INVALID = "queue record has invalid encoding"
I64_MAX = 2**63 - 1
I64_MIN = -(2**63)


def qkey(name: bytes, message_id: int | None = None) -> bytes:
    base = b"\xffomb:q:" + struct.pack(">I", len(name)) + name
    return base + (b":next" if message_id is None else b":m:" + struct.pack(">Q", message_id))


def record(message_id, payload=b"", *, state=0, attempts=0, priority=0, available_at_ms=0, lease_until_ms=0):
    return struct.pack("<BBQIiqqI", 1, state, message_id, attempts, priority, available_at_ms,
                       lease_until_ms, len(payload)) + payload


def claimed(message_id, payload, attempts, priority, available_at_ms, lease_until_ms):
    return {"id": message_id, "payload": payload, "attempts": attempts, "priority": priority,
            "available_at_ms": available_at_ms, "lease_until_ms": lease_until_ms, "lease_generation": attempts}


def stats(ready=0, leased=0, dead=0, **lag):
    return {"ready": ready, "leased": leased, "dead": dead, "total": ready + leased + dead, **lag}


# (store, name, id, generation) -> the settle call
SETTLE = {"ack": lambda s, n, i, g: s.ack_queue(n, i, g), "nack": lambda s, n, i, g: s.nack_queue(n, i, g, 0),
          "dead_letter": lambda s, n, i, g: s.dead_letter_queue(n, i, g)}


def test_ids_records_and_the_claimed_message(store):
    assert [store.push_queue(b"a", b"1"), store.push_queue(b"a", b"2"), store.push_queue(b"ab", b"x")] == [1, 2, 1]
    store.ack_queue(b"a", 1, store.claim_queue(b"a", 0, 100)["lease_generation"])
    assert store.push_queue(b"a", b"3") == 3  # ids are never reused
    assert store.queue_stats(b"a") == stats(ready=2) and store.queue_stats(b"ab") == stats(ready=1)
    store.push_queue(b"jobs", b"hello", available_at_ms=-5, priority=-7)
    assert store.get(qkey(b"jobs")) == struct.pack("<Q", 2)
    assert store.get(qkey(b"jobs", 1)) == record(1, b"hello", priority=-7, available_at_ms=-5)
    got = store.claim_queue(b"jobs", 10, 30)
    assert list(got) == list(claimed(1, b"hello", 1, -7, -5, 40)) and got == claimed(1, b"hello", 1, -7, -5, 40)
    assert store.get(qkey(b"jobs", 1)) == record(1, b"hello", state=1, attempts=1, priority=-7, available_at_ms=-5,
                                                 lease_until_ms=40)
    assert store.queue_stats(b"jobs") == stats(leased=1)


@pytest.mark.parametrize("pushes, order", [
    ([5, 10], [2, 1]), ([0, 0, 0], [1, 2, 3]), ([1, 3, 3, 2], [2, 3, 4, 1]), ([-(2**31), 2**31 - 1, 0], [2, 3, 1]),
])
def test_claim_order_priority_then_id(store, pushes, order):
    for priority in pushes:
        store.push_queue(b"q", b"p", priority=priority)
    assert [store.claim_queue(b"q", 0, 1000)["id"] for _ in pushes] == order
    assert store.claim_queue(b"q", 0, 1000) is None


@pytest.mark.parametrize("now_ms, taken", [(99, b"now"), (100, b"later"), (I64_MAX, b"later")])
def test_availability_in_the_future(store, now_ms, taken):
    store.push_queue(b"q", b"later", available_at_ms=100, priority=9)
    store.push_queue(b"q", b"now", priority=1)
    assert store.queue_stats(b"q") == stats(ready=2)  # counted as ready before its time
    assert store.claim_queue(b"q", now_ms, 0)["payload"] == taken


@pytest.mark.parametrize("op", SETTLE)
def test_an_expired_lease_is_reclaimed_and_the_late_consumer_fenced_off(store, store_path, op):
    store.push_queue(b"q", b"m")
    assert store.claim_queue(b"q", 1_000, 100)["lease_generation"] == 1
    assert store.claim_queue(b"q", 1_099, 100) is None
    assert store.claim_queue(b"q", 1_100, 100) == claimed(1, b"m", 2, 0, 0, 1_200)
    before = snapshot(store_path)
    with raises_exactly(Error, "lease generation mismatch for message 1: expected 2, provided 1"):
        SETTLE[op](store, b"q", 1, 1)
    assert snapshot(store_path) == before
    store.ack_queue(b"q", 1, 2)  # expired but not taken over: still accepted
    assert store.queue_stats(b"q") == stats()


@pytest.mark.parametrize("setup, message", [
    ("never-pushed", "queue message 7 was not found"), ("ready", "queue message 7 is not currently leased"),
    ("ack", "queue message 7 was not found"), ("nack", "queue message 7 is not currently leased"),
    ("dead_letter", "queue message 7 is not currently leased"),
])
@pytest.mark.parametrize("op", SETTLE)
def test_not_found_and_not_leased(store, store_path, setup, message, op):
    for _ in range(0 if setup == "never-pushed" else 7):
        store.push_queue(b"q", b"m")
    if setup in SETTLE:
        for _ in range(7):
            store.claim_queue(b"q", 0, 10)
        SETTLE[setup](store, b"q", 7, 1)
    before = snapshot(store_path)
    with raises_exactly(Error, message):
        SETTLE[op](store, b"q", 7, 1)
    assert snapshot(store_path) == before


def test_nack_makes_it_ready_at_the_chosen_time_under_the_next_generation(store):
    store.push_queue(b"q", b"m", priority=4)
    store.claim_queue(b"q", 0, 10)
    store.nack_queue(b"q", 1, 1, 500)
    assert store.get(qkey(b"q", 1)) == record(1, b"m", attempts=1, priority=4, available_at_ms=500)
    assert store.claim_queue(b"q", 499, 10) is None
    assert store.claim_queue(b"q", 500, 10) == claimed(1, b"m", 2, 4, 500, 510)


def test_dead_letter_keeps_the_message_until_purged(store, store_path):
    for i in range(4):
        before = snapshot(store_path)
        assert store.purge_dead_queue(b"q") == 0  # nothing dead: nothing written
        assert snapshot(store_path) == before
        store.push_queue(b"q", b"%d" % i)
    for got in [store.claim_queue(b"q", 0, 10) for _ in range(3)]:
        if got["id"] != 2:
            store.dead_letter_queue(b"q", got["id"], 1)
    assert store.get(qkey(b"q", 1)) == record(1, b"0", state=2, attempts=1)
    assert store.queue_stats(b"q") == stats(ready=1, leased=1, dead=2)
    assert store.claim_queue(b"q", 10**6, 10)["id"] == 2  # dead ones are skipped, the expired lease is not
    assert store.purge_dead_queue(b"q") == 2 and store.queue_stats(b"q") == stats(ready=1, leased=1)
    assert store.get(qkey(b"q", 1)) is None and store.get(qkey(b"q", 3)) is None


@pytest.mark.parametrize("available, now_ms, lag", [
    (None, 100, None), (40, 100, 60), (100, 100, 0), (500, 100, 0),
    (-1, I64_MAX, None),  # the difference does not fit a signed 64-bit integer
    (I64_MIN, -1, I64_MAX),
])
def test_ready_lag(store, available, now_ms, lag):
    store.push_queue(b"q", b"leased")
    store.claim_queue(b"q", 0, 10**6)
    if available is not None:
        store.push_queue(b"q", b"a", available_at_ms=available)
        store.push_queue(b"q", b"b", available_at_ms=10**9)
    assert "ready_lag_ms" not in store.queue_stats(b"q")
    got = store.queue_stats(b"q", now_ms=now_ms)
    assert list(got) == ["ready", "leased", "dead", "total", "ready_lag_ms"] and got["ready_lag_ms"] == lag


@pytest.mark.parametrize("now_ms, lease", [(I64_MAX, 1), (1, I64_MAX), (0, 2**63), (0, 2**64 - 1)])
def test_claim_time_overflow_changes_nothing(store, store_path, now_ms, lease):
    store.push_queue(b"q", b"m")
    before = snapshot(store_path)
    with raises_exactly(Error, "queue time value overflowed"):
        store.claim_queue(b"q", now_ms, lease)
    assert snapshot(store_path) == before
    assert store.claim_queue(b"q", I64_MAX, 0)["lease_until_ms"] == I64_MAX


CALLS = {
    "push": lambda s, n: s.push_queue(n, b"p"), "claim": lambda s, n: s.claim_queue(n, 0, 1),
    "ack": lambda s, n: s.ack_queue(n, 1, 1), "nack": lambda s, n: s.nack_queue(n, 1, 1, 0),
    "dead_letter": lambda s, n: s.dead_letter_queue(n, 1, 1), "purge": lambda s, n: s.purge_dead_queue(n),
    "stats": lambda s, n: s.queue_stats(n, now_ms=0),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_an_empty_name_is_refused(store, store_path, call):
    before = snapshot(store_path)
    with raises_exactly(Error, "queue name cannot be empty"):
        call(store, b"")
    assert snapshot(store_path) == before


GOOD = record(1, b"payload", state=1, attempts=1, lease_until_ms=10)


def patched(offset: int, new: bytes) -> bytes:
    return GOOD[:offset] + new + GOOD[offset + len(new):]


@pytest.mark.parametrize("value", [
    b"", GOOD[:37], patched(0, b"\x00"), patched(0, b"\x02"), patched(1, b"\x03"),
    patched(34, struct.pack("<I", 8)), patched(34, struct.pack("<I", 6)), GOOD + b"\x00",
    patched(2, struct.pack("<Q", 2)),  # the id of another key
], ids=["empty", "short", "version-0", "version-2", "state-3", "length-past-end", "length-short", "trailing",
        "foreign-id"])
def test_damaged_record_refused(store_path, open_store, value):
    log = sf.LogBuilder().put(1, qkey(b"q"), struct.pack("<Q", 3)).put(1, qkey(b"q", 1), value)
    log.put(1, qkey(b"q", 2), record(2, b"good")).commit(1).write(store_path)
    s = open_store()
    before = snapshot(store_path)
    for op in list(CALLS)[1:]:
        with raises_exactly(Error, INVALID):
            CALLS[op](s, b"q")
    assert snapshot(store_path) == before
    assert s.get(qkey(b"q", 2)) == record(2, b"good") and s.push_queue(b"other", b"x") == 1


@pytest.mark.parametrize("key, value, message", [
    (qkey(b"q"), b"", INVALID), (qkey(b"q"), struct.pack("<I", 5), INVALID),
    (qkey(b"q"), struct.pack("<Q", 5) + b"\x00", INVALID),
    (qkey(b"q"), struct.pack("<Q", 2**64 - 2), "queue message id space is exhausted"),  # after the last id
    (qkey(b"q", 1), record(1, b"m", attempts=2**32 - 1), "queue delivery attempt counter is exhausted"),
])
def test_damaged_counter_or_exhausted_space(store_path, open_store, key, value, message):
    sf.LogBuilder().put(1, key, value).commit(1).write(store_path)
    s = open_store()
    if value == struct.pack("<Q", 2**64 - 2):
        assert s.push_queue(b"q", b"last") == 2**64 - 2
    before = snapshot(store_path)
    with raises_exactly(Error, message):
        s.push_queue(b"q", b"p") if key == qkey(b"q") else s.claim_queue(b"q", 0, 1)
    assert snapshot(store_path) == before


@pytest.mark.parametrize("suffix", [b"", bytes(7), bytes(9)])
def test_a_misshapen_message_key_fails_the_queue_but_not_the_health_report(store_path, open_store, suffix):
    log = sf.LogBuilder().put(1, qkey(b"q", 1)[:-8] + suffix, record(1)).put(1, qkey(b"q", 2), record(2, b"good"))
    log.commit(1).write(store_path)
    s = open_store()
    for op in ("claim", "purge", "stats"):
        with raises_exactly(Error, INVALID):
            CALLS[op](s, b"q")
    assert s.health_report()["queue_ready"] == 1  # no message key: not counted, not refused


# --- model: every indexed answer against a walk over the stored records -----------------

MODEL_QUEUES = [b"a", b"ab"]  # the second name extends the first


def stored_messages(store, name):
    """{id: (state, attempts, priority, available_at_ms, lease_until_ms)} decoded from the stored records."""
    prefix = qkey(name)[: -len(b":next")] + b":m:"
    messages = {}
    for key, value in store.scan_prefix(prefix):
        _, state, message_id, attempts, priority, available, until, _ = struct.unpack_from("<BBQIiqqI", value)
        assert key == prefix + struct.pack(">Q", message_id)
        messages[message_id] = (state, attempts, priority, available, until)
    return messages


def claim_by_walk(messages, now_ms):
    claimable = [(-m[2], i) for i, m in messages.items()
                 if (m[0] == 0 and m[3] <= now_ms) or (m[0] == 1 and m[4] <= now_ms)]
    return min(claimable)[1] if claimable else None


def stats_by_walk(messages, now_ms):
    ready_at = [m[3] for m in messages.values() if m[0] == 0]
    counts = [sum(1 for m in messages.values() if m[0] == state) for state in (0, 1, 2)]
    lag = None if not ready_at else max(0, now_ms - min(ready_at))
    return stats(*counts, ready_lag_ms=lag)


class QueueModel(RuleBasedStateMachine):
    """Pushes (with priorities, delays, in transactions), claims as the clock moves either way, acks, nacks,
    dead letters, purges and reopens; each claim, purge and statistic is checked against a walk over the records."""

    def __init__(self):
        super().__init__()
        self.dir = tempfile.mkdtemp(prefix="ombrel-queue-model-")
        self.path = os.path.join(self.dir, "model.omb")
        self.store = _native.Store.open(self.path, durability="relaxed")
        self.now = 1_000

    def teardown(self):
        self.store.close()
        shutil.rmtree(self.dir)

    @rule(name=st.sampled_from(MODEL_QUEUES), priority=st.integers(-2, 2), delay=st.integers(-5, 15))
    def push(self, name, priority, delay):
        self.store.push_queue(name, b"p", available_at_ms=self.now + delay, priority=priority)

    @rule(name=st.sampled_from(MODEL_QUEUES), commit=st.booleans(),
          pushes=st.lists(st.tuples(st.integers(-2, 2), st.integers(-5, 15)), min_size=1, max_size=3))
    def push_in_a_transaction(self, name, commit, pushes):
        tx = self.store.transaction()
        for priority, delay in pushes:
            tx.push_queue(name, b"t", available_at_ms=self.now + delay, priority=priority)
        tx.commit() if commit else tx.rollback()

    @rule(name=st.sampled_from(MODEL_QUEUES), lease=st.integers(0, 20), skew=st.integers(-15, 5))
    def claim(self, name, lease, skew):
        now = self.now + skew  # consumers' clocks disagree a little
        messages = stored_messages(self.store, name)
        expected = claim_by_walk(messages, now)
        got = self.store.claim_queue(name, now, lease)
        if expected is None:
            assert got is None
        else:
            _, attempts, priority, available, _ = messages[expected]
            payload = self.store.get(qkey(name, expected))[38:]
            assert got == claimed(expected, payload, attempts + 1, priority, available, now + lease)

    @rule(name=st.sampled_from(MODEL_QUEUES), op=st.sampled_from(["ack", "nack", "dead_letter"]), data=st.data())
    def settle(self, name, op, data):
        messages = stored_messages(self.store, name)
        leased = sorted(i for i, m in messages.items() if m[0] == 1)
        if not leased:
            return
        message_id = data.draw(st.sampled_from(leased))
        generation = messages[message_id][1]
        if op == "nack":
            self.store.nack_queue(name, message_id, generation, self.now + data.draw(st.integers(-5, 15)))
        else:
            SETTLE[op](self.store, name, message_id, generation)

    @rule(name=st.sampled_from(MODEL_QUEUES))
    def purge(self, name):
        dead = sum(1 for m in stored_messages(self.store, name).values() if m[0] == 2)
        assert self.store.purge_dead_queue(name) == dead

    @rule(delta=st.integers(-10, 30))
    def tick(self, delta):
        self.now += delta

    @rule()
    def reopen(self):
        self.store.close()
        self.store = _native.Store.open(self.path, durability="relaxed")

    @invariant()
    def statistics_match_the_records(self):
        totals = [0, 0, 0, 0]
        for name in MODEL_QUEUES:
            expected = stats_by_walk(stored_messages(self.store, name), self.now)
            assert self.store.queue_stats(name, now_ms=self.now) == expected
            totals = [t + expected[k] for t, k in zip(totals, ("ready", "leased", "dead", "total"))]
        health = self.store.health_report()
        assert [health[k] for k in ("queue_ready", "queue_leased", "queue_dead", "queue_total")] == totals


TestQueueModel = QueueModel.TestCase
TestQueueModel.settings = settings(max_examples=60, stateful_step_count=40, deadline=None,
                                   suppress_health_check=[HealthCheck.too_slow])
