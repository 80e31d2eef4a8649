"""Consumer groups over streams: one lease per group, claim / ack / nack / reset, lease
generations fencing late holders, the stored state record, and damaged records refused."""

from __future__ import annotations

import inspect
import struct

import pytest

from expect import raises_exactly, snapshot
from ombrel_store import _native
from test_streams import component, craft, stream_items

Store = _native.Store
Error = _native.OmbrelStoreError
MAX = 2**64 - 1
I64_MAX = 2**63 - 1
EMPTY = "stream/group/consumer names cannot be empty"
CORRUPT = "consumer-group record is corrupt"
NO_LEASE = "group has no active lease"
OWNER = "lease owner mismatch"
STATE_PREFIX = b"\xffomb:cg:state:"


def state_key(stream: bytes, group: bytes) -> bytes:
    return STATE_PREFIX + component(stream) + component(group)


def state_record(next_offset=0, leased=None, until=0, generation=0, owner=b"") -> bytes:
    lease = b"\x00" if leased is None else b"\x01" + struct.pack("<Q", leased)
    return (b"\x01" + struct.pack("<Q", next_offset) + lease + struct.pack("<qQI", until, generation, len(owner))
            + owner)


def state(next_offset=0, leased=None, until=0, generation=0, owner=b""):
    return {"next_offset": next_offset, "leased_offset": leased, "lease_until_ms": until,
            "lease_generation": generation, "owner": owner}


@pytest.fixture
def two(store):
    store.append_stream(b"s", b"zero")
    store.append_stream(b"s", b"one")
    return store


def claim(store, consumer, now, duration=100, group=b"g"):
    return store.consumer_group_claim(b"s", group, consumer, now, duration)


# --- claims and leases -------------------------------------------------------------------


def test_claim_on_an_empty_stream_returns_none_and_writes_nothing(store, store_path):
    before = snapshot(store_path)
    assert claim(store, b"a", 1000) is None
    assert store.consumer_group_state(b"s", b"g") == state()
    assert snapshot(store_path) == before and store.scan_prefix(STATE_PREFIX) == []


def test_claim_ack_walk_through_the_stream(two):
    delivery = claim(two, b"a", 1000)
    assert list(delivery) == ["offset", "payload", "lease_generation", "lease_until_ms"]
    assert delivery == {"offset": 0, "payload": b"zero", "lease_generation": 1, "lease_until_ms": 1100}
    assert list(two.consumer_group_state(b"s", b"g")) == list(state())
    assert two.consumer_group_state(b"s", b"g") == state(0, 0, 1100, 1, b"a")
    assert two.scan_prefix(STATE_PREFIX) == [(state_key(b"s", b"g"), state_record(0, 0, 1100, 1, b"a"))]
    assert two.consumer_group_ack(b"s", b"g", b"a", 0, 1) is None
    assert two.consumer_group_state(b"s", b"g") == state(1, None, 0, 1, b"")
    assert two.scan_prefix(STATE_PREFIX) == [(state_key(b"s", b"g"), state_record(1, None, 0, 1))]
    assert claim(two, b"b", 1050) == {"offset": 1, "payload": b"one", "lease_generation": 2, "lease_until_ms": 1150}
    two.consumer_group_ack(b"s", b"g", b"b", 1, 2)
    assert claim(two, b"a", 2000) is None  # past the tail; nothing leased, nothing written
    assert two.consumer_group_state(b"s", b"g") == state(2, None, 0, 2)


@pytest.mark.parametrize(
    "consumer, now, delivered",
    [(b"b", 1000, False), (b"a", 1000, False), (b"b", 1099, False), (b"b", 1100, True), (b"a", 5000, True)],
    ids=["other-same-time", "owner-again", "just-before-expiry", "at-expiry", "owner-after-expiry"],
)
def test_an_active_lease_blocks_every_consumer(two, store_path, consumer, now, delivered):
    claim(two, b"a", 1000)
    before = snapshot(store_path)
    got = claim(two, consumer, now)
    if not delivered:
        assert got is None and snapshot(store_path) == before
        assert two.consumer_group_state(b"s", b"g") == state(0, 0, 1100, 1, b"a")
    else:
        assert got == {"offset": 0, "payload": b"zero", "lease_generation": 2, "lease_until_ms": now + 100}
        assert two.consumer_group_state(b"s", b"g") == state(0, 0, now + 100, 2, consumer)


def test_an_expired_lease_is_redelivered_and_fences_the_earlier_holder(two, store_path):
    claim(two, b"a", 1000)
    assert claim(two, b"b", 2000) == {"offset": 0, "payload": b"zero", "lease_generation": 2, "lease_until_ms": 2100}
    before = snapshot(store_path)
    with raises_exactly(Error, OWNER):
        two.consumer_group_ack(b"s", b"g", b"a", 0, 1)
    with raises_exactly(Error, "lease generation mismatch: expected 2, provided 1"):
        two.consumer_group_ack(b"s", b"g", b"b", 0, 1)
    assert snapshot(store_path) == before
    two.consumer_group_ack(b"s", b"g", b"b", 0, 2)
    assert two.consumer_group_state(b"s", b"g") == state(1, None, 0, 2)


def test_the_holder_of_an_expired_lease_not_taken_over_may_still_ack(two):
    claim(two, b"a", 1000)
    two.consumer_group_ack(b"s", b"g", b"a", 0, 1)  # long after 1100: expiry is not checked
    assert two.consumer_group_state(b"s", b"g")["next_offset"] == 1


def test_nack_redelivers_the_same_entry_with_the_next_generation(two):
    claim(two, b"a", 1000)
    assert two.consumer_group_nack(b"s", b"g", b"a", 0, 1) is None
    assert two.consumer_group_state(b"s", b"g") == state(0, None, 0, 1)
    assert claim(two, b"b", 1001) == {"offset": 0, "payload": b"zero", "lease_generation": 2, "lease_until_ms": 1101}
    with raises_exactly(Error, OWNER):
        two.consumer_group_nack(b"s", b"g", b"a", 0, 1)


@pytest.mark.parametrize(
    "consumer, offset, generation, message",
    [
        (b"b", 0, 1, OWNER),
        (b"b", 7, 9, OWNER),
        (b"a", 0, 2, "lease generation mismatch: expected 1, provided 2"),
        (b"a", 1, 0, "lease generation mismatch: expected 1, provided 0"),
        (b"a", 1, 1, "leased offset mismatch: expected 0, provided 1"),
        (b"a", MAX, 1, f"leased offset mismatch: expected 0, provided {MAX}"),
    ],
    ids=["other-owner", "owner-checked-first", "generation", "generation-before-offset", "offset", "offset-max"],
)
@pytest.mark.parametrize("method", ["consumer_group_ack", "consumer_group_nack"])
def test_ack_and_nack_check_owner_then_generation_then_offset(two, store_path, method, consumer, offset,
                                                              generation, message):
    claim(two, b"a", 1000)
    before = snapshot(store_path)
    with raises_exactly(Error, message):
        getattr(two, method)(b"s", b"g", consumer, offset, generation)
    assert snapshot(store_path) == before
    assert two.consumer_group_state(b"s", b"g") == state(0, 0, 1100, 1, b"a")


@pytest.mark.parametrize("history", ["never-claimed", "acked", "nacked", "reset"])
@pytest.mark.parametrize("method", ["consumer_group_ack", "consumer_group_nack"])
def test_ack_and_nack_without_a_lease(two, store_path, method, history):
    if history != "never-claimed":
        claim(two, b"a", 1000)
        if history == "reset":
            two.consumer_group_reset(b"s", b"g", 0)
        else:
            getattr(two, "consumer_group_" + history[:-2])(b"s", b"g", b"a", 0, 1)
    before = snapshot(store_path)
    with raises_exactly(Error, NO_LEASE):
        getattr(two, method)(b"s", b"g", b"a", 0, 1)
    assert snapshot(store_path) == before


def test_reset_clears_the_lease_and_keeps_the_generation(two):
    two.consumer_group_reset(b"s", b"new", 3)
    assert two.consumer_group_state(b"s", b"new") == state(3)  # a new group keeps generation 0
    claim(two, b"a", 1000)
    assert two.consumer_group_reset(b"s", b"g", 5) is None
    assert two.consumer_group_state(b"s", b"g") == state(5, None, 0, 1)
    assert claim(two, b"b", 1001) is None  # no entry at 5 yet
    for i in range(2, 6):
        two.append_stream(b"s", b"%d" % i)
    assert claim(two, b"b", 1002)["offset"] == 5
    two.consumer_group_reset(b"s", b"g", 0)
    assert claim(two, b"b", 1003) == {"offset": 0, "payload": b"zero", "lease_generation": 3, "lease_until_ms": 1103}


def test_groups_are_independent_of_each_other_and_of_subscriptions(two):
    claim(two, b"a", 1000, group=b"one")
    assert claim(two, b"a", 1000, group=b"two")["lease_generation"] == 1
    two.consumer_group_ack(b"s", b"two", b"a", 0, 1)
    assert two.consumer_group_state(b"s", b"one") == state(0, 0, 1100, 1, b"a")
    assert two.consumer_group_state(b"s", b"two") == state(1, None, 0, 1)
    assert two.consumer_group_state(b"other", b"one") == state()
    assert two.topic_subscription_offset(b"s", b"one") == 0


def test_group_state_survives_reopening(two, open_store):
    claim(two, b"a", 1000)
    two.close()
    again = open_store()
    assert again.consumer_group_state(b"s", b"g") == state(0, 0, 1100, 1, b"a")
    assert claim(again, b"b", 1050) is None
    again.consumer_group_ack(b"s", b"g", b"a", 0, 1)


@pytest.mark.parametrize(
    "now, duration, expected",
    [
        (1000, 0, 1000),
        (-5000, 100, -4900),
        (I64_MAX - 10, 10, I64_MAX),
        (-(2**63), I64_MAX, -1),
    ],
    ids=["zero-duration", "negative-now", "up-to-max", "min-now"],
)
def test_lease_until_is_now_plus_duration(two, now, duration, expected):
    assert claim(two, b"a", now, duration)["lease_until_ms"] == expected


@pytest.mark.parametrize("now, duration", [(1000, -1), (I64_MAX, 1), (I64_MAX - 10, 11), (0, -(2**63))],
                         ids=["negative-duration", "max-plus-1", "overflow", "min-duration"])
def test_time_overflow_on_a_claim_that_finds_an_entry(store, store_path, now, duration):
    assert claim(store, b"a", now, duration) is None  # empty stream: nothing to lease, no error
    store.append_stream(b"s", b"x")
    before = snapshot(store_path)
    with raises_exactly(Error, "time value overflow"):
        claim(store, b"a", now, duration)
    assert snapshot(store_path) == before


# --- refused arguments -------------------------------------------------------------------

GROUP_CALLS = {
    "claim": lambda s, st, g, c: s.consumer_group_claim(st, g, c, 0, 10),
    "ack": lambda s, st, g, c: s.consumer_group_ack(st, g, c, 0, 1),
    "nack": lambda s, st, g, c: s.consumer_group_nack(st, g, c, 0, 1),
    "reset": lambda s, st, g, c: s.consumer_group_reset(st, g, 0),
    "state": lambda s, st, g, c: s.consumer_group_state(st, g),
}


@pytest.mark.parametrize("names", [(b"", b"g", b"c"), (b"s", b"", b"c"), (b"s", b"g", b"")],
                         ids=["stream", "group", "consumer"])
@pytest.mark.parametrize("call", list(GROUP_CALLS.values()), ids=list(GROUP_CALLS))
def test_empty_names_are_refused(two, store_path, call, names):
    if names[2] == b"" and call in (GROUP_CALLS["reset"], GROUP_CALLS["state"]):
        call(two, *names)  # these take no consumer
        return
    before = snapshot(store_path)
    with raises_exactly(Error, EMPTY):
        call(two, *names)
    assert snapshot(store_path) == before


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda s: s.consumer_group_claim(b"s", b"g", bytearray(b"c"), 0, 10), TypeError),
        (lambda s: s.consumer_group_claim(b"s", b"g", b"c", 2**63, 10), OverflowError),
        (lambda s: s.consumer_group_claim(b"s", b"g", b"c", 0, 2**63), OverflowError),
        (lambda s: s.consumer_group_ack(b"s", b"g", b"c", -1, 1), OverflowError),
        (lambda s: s.consumer_group_nack(b"s", b"g", b"c", 0, 2**64), OverflowError),
    ],
    ids=["bytearray-consumer", "now-2**63", "duration-2**63", "negative-offset", "generation-2**64"],
)
def test_bad_arguments_raise_python_errors_and_change_nothing(two, store_path, call, exc):
    before = snapshot(store_path)
    with pytest.raises(exc):
        call(two)
    assert snapshot(store_path) == before


@pytest.mark.parametrize(
    "name, signature",
    [
        ("consumer_group_claim", "(self, /, stream, group, consumer, now_ms, lease_duration_ms)"),
        ("consumer_group_ack", "(self, /, stream, group, consumer, offset, lease_generation)"),
        ("consumer_group_nack", "(self, /, stream, group, consumer, offset, lease_generation)"),
        ("consumer_group_reset", "(self, /, stream, group, next_offset)"),
        ("consumer_group_state", "(self, /, stream, group)"),
    ],
)
def test_published_signatures(name, signature):
    method = getattr(Store, name)
    assert str(inspect.signature(method)) == signature
    assert method.__doc__ and len(method.__doc__) > 40


# --- crafted records ---------------------------------------------------------------------


def _good():
    return state_record(3, 1, 500, 4, b"owner")


@pytest.mark.parametrize(
    "bad",
    [
        pytest.param(b"", id="empty"),
        pytest.param(state_record()[:-1], id="29-bytes"),
        pytest.param(b"\x02" + state_record()[1:], id="version-2"),
        pytest.param(state_record()[:9] + b"\x02" + state_record()[10:], id="flag-2"),
        pytest.param(state_record()[:9] + b"\x01" + state_record()[10:], id="flag-1-without-offset"),
        pytest.param(_good() + b"\x00", id="trailing-byte"),
        pytest.param(_good()[:-1], id="short-owner"),
        pytest.param(_good()[:34] + struct.pack("<I", 0xFFFFFFFF) + b"owner", id="owner-length-max"),
    ],
)
def test_corrupt_state_records_are_refused_and_nothing_is_written(store_path, bad):
    data = craft(store_path, *stream_items(b"s", [b"a", b"b"]), (state_key(b"s", b"g"), bad))
    with Store.open(str(store_path)) as s:
        for call in GROUP_CALLS.values():
            with raises_exactly(Error, CORRUPT):
                call(s, b"s", b"g", b"owner")
        assert s.consumer_group_state(b"s", b"other") == state()
    assert store_path.read_bytes() == data


def test_a_crafted_state_is_read_as_written(store_path):
    craft(store_path, *stream_items(b"s", [b"a", b"b", b"c", b"d"]), (state_key(b"s", b"g"), _good()))
    with Store.open(str(store_path)) as s:
        assert s.consumer_group_state(b"s", b"g") == state(3, 1, 500, 4, b"owner")
        with raises_exactly(Error, "leased offset mismatch: expected 1, provided 3"):
            s.consumer_group_ack(b"s", b"g", b"owner", 3, 4)
        s.consumer_group_ack(b"s", b"g", b"owner", 1, 4)  # the leased offset decides, not the position
        assert s.consumer_group_state(b"s", b"g") == state(2, None, 0, 4)


@pytest.mark.parametrize("until, cleared", [(500, True), (5000, False)], ids=["expired", "active"])
def test_a_lease_past_the_tail(store_path, until, cleared):
    # A lease recorded at a position the stream has no entry for (only a crafted file has one).
    data = craft(store_path, *stream_items(b"s", [b"a"]),
                 (state_key(b"s", b"g"), state_record(4, 4, until, 2, b"a")))
    with Store.open(str(store_path)) as s:
        assert s.consumer_group_claim(b"s", b"g", b"b", 1000, 10) is None
        expected = state(4, None, 0, 2) if cleared else state(4, 4, until, 2, b"a")
        assert s.consumer_group_state(b"s", b"g") == expected
    assert (store_path.read_bytes() == data) is not cleared


def test_generation_overflow(store_path):
    data = craft(store_path, *stream_items(b"s", [b"a"]), (state_key(b"s", b"g"), state_record(generation=MAX)))
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, "lease generation overflow"):
            s.consumer_group_claim(b"s", b"g", b"b", 1000, 10)
        s.consumer_group_reset(b"s", b"g", 0)
        assert s.consumer_group_state(b"s", b"g")["lease_generation"] == MAX
    assert store_path.read_bytes()[: len(data)] == data


@pytest.mark.parametrize(
    "items, message",
    [
        ([(b"\xffomb:stream:" + component(b"s") + b":e:" + bytes(8), b"\x02\x00\x00\x00\x00")],
         "messaging error: stream entry is corrupt or unsupported"),
        ([(b"\xffomb:stream:" + component(b"s") + b":e:" + bytes(7), b"\x01\x00\x00\x00\x00")],
         "messaging error: stream metadata is corrupt"),
    ],
    ids=["corrupt-entry", "corrupt-entry-key"],
)
def test_stream_errors_are_wrapped(store_path, items, message):
    data = craft(store_path, *items)
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, message):
            s.consumer_group_claim(b"s", b"g", b"a", 1000, 10)
        assert s.consumer_group_state(b"s", b"g") == state()
    assert store_path.read_bytes() == data


def test_an_entry_at_the_last_offset_cannot_be_acked_past_it(store_path):
    # Appends never place an entry at 2**64 - 1; a damaged file can, and acking it must not
    # wrap the position around to 0 and re-deliver the whole stream.
    base = b"\xffomb:stream:" + component(b"s")
    craft(store_path, (base + b":e:" + struct.pack(">Q", MAX), b"\x01\x01\x00\x00\x00x"),
          (state_key(b"s", b"g"), state_record(MAX)))
    with Store.open(str(store_path)) as s:
        assert s.consumer_group_claim(b"s", b"g", b"a", 1000, 10) == {
            "offset": MAX, "payload": b"x", "lease_generation": 1, "lease_until_ms": 1010}
        with raises_exactly(Error, "messaging error: stream offset exhausted"):
            s.consumer_group_ack(b"s", b"g", b"a", MAX, 1)
        assert s.consumer_group_state(b"s", b"g") == state(MAX, MAX, 1010, 1, b"a")
