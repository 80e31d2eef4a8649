"""Consumer groups: one lease per group, claim / ack / nack / reset, generations, state records."""

from __future__ import annotations

import struct

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native
from test_streams import component, skey, stream_items

Store = _native.Store
Error = _native.OmbrelStoreError
MAX = 2**64 - 1
I64_MAX = 2**63 - 1
EMPTY = "stream/group/consumer names cannot be empty"
CORRUPT = "consumer-group record is corrupt"
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


def delivery(offset, payload, generation, until):
    return {"offset": offset, "payload": payload, "lease_generation": generation, "lease_until_ms": until}


@pytest.fixture
def two(store):
    store.append_stream(b"s", b"zero")
    store.append_stream(b"s", b"one")
    return store


def claim(store, consumer, now, duration=100, group=b"g"):
    return store.consumer_group_claim(b"s", group, consumer, now, duration)


def settle(store, method, consumer, offset, generation):
    return getattr(store, "consumer_group_" + method)(b"s", b"g", consumer, offset, generation)


def group_state(store, group=b"g", stream=b"s"):
    return store.consumer_group_state(stream, group)


def test_claim_ack_walk_through_the_stream(two):
    got = claim(two, b"a", 1000)
    assert list(got) == list(delivery(0, 0, 0, 0)) and got == delivery(0, b"zero", 1, 1100)
    assert list(group_state(two)) == list(state()) and group_state(two) == state(0, 0, 1100, 1, b"a")
    assert two.scan_prefix(STATE_PREFIX) == [(state_key(b"s", b"g"), state_record(0, 0, 1100, 1, b"a"))]
    assert settle(two, "ack", b"a", 0, 1) is None  # long after 1100 too: expiry alone does not fence
    assert two.scan_prefix(STATE_PREFIX) == [(state_key(b"s", b"g"), state_record(1, None, 0, 1))]
    assert claim(two, b"b", 1050) == delivery(1, b"one", 2, 1150)
    settle(two, "ack", b"b", 1, 2)
    assert claim(two, b"a", 2000) is None  # past the tail
    assert group_state(two) == state(2, None, 0, 2)


@pytest.mark.parametrize("consumer, now, delivered", [
    (b"b", 1000, False), (b"a", 1000, False), (b"b", 1099, False), (b"b", 1100, True), (b"a", 5000, True),
])
def test_an_active_lease_blocks_every_consumer_an_expired_one_fences_its_holder(two, store_path, consumer, now,
                                                                               delivered):
    claim(two, b"a", 1000)
    before = snapshot(store_path)
    got = claim(two, consumer, now)
    if not delivered:
        assert got is None and snapshot(store_path) == before and group_state(two) == state(0, 0, 1100, 1, b"a")
        return
    assert got == delivery(0, b"zero", 2, now + 100) and group_state(two) == state(0, 0, now + 100, 2, consumer)
    with raises_exactly(Error, OWNER if consumer == b"b" else "lease generation mismatch: expected 2, provided 1"):
        settle(two, "ack", b"a", 0, 1)
    settle(two, "ack", consumer, 0, 2)
    assert group_state(two) == state(1, None, 0, 2)


def test_nack_redelivers_the_same_entry_with_the_next_generation(two):
    claim(two, b"a", 1000)
    assert settle(two, "nack", b"a", 0, 1) is None and group_state(two) == state(0, None, 0, 1)
    assert claim(two, b"b", 1001) == delivery(0, b"zero", 2, 1101)
    with raises_exactly(Error, OWNER):
        settle(two, "nack", b"a", 0, 1)


@pytest.mark.parametrize("consumer, offset, generation, message", [
    (b"b", 0, 1, OWNER), (b"b", 7, 9, OWNER),
    (b"a", 0, 2, "lease generation mismatch: expected 1, provided 2"),
    (b"a", 1, 0, "lease generation mismatch: expected 1, provided 0"),
    (b"a", 1, 1, "leased offset mismatch: expected 0, provided 1"),
    (b"a", MAX, 1, f"leased offset mismatch: expected 0, provided {MAX}"),
])
@pytest.mark.parametrize("method", ["ack", "nack"])
def test_ack_and_nack_check_owner_then_generation_then_offset(two, store_path, method, consumer, offset,
                                                              generation, message):
    claim(two, b"a", 1000)
    before = snapshot(store_path)
    with raises_exactly(Error, message):
        settle(two, method, consumer, offset, generation)
    assert snapshot(store_path) == before and group_state(two) == state(0, 0, 1100, 1, b"a")


@pytest.mark.parametrize("history", [None, "ack", "nack", "reset"])
@pytest.mark.parametrize("method", ["ack", "nack"])
def test_ack_and_nack_without_a_lease(two, store_path, method, history):
    if history:
        claim(two, b"a", 1000)
        two.consumer_group_reset(b"s", b"g", 0) if history == "reset" else settle(two, history, b"a", 0, 1)
    before = snapshot(store_path)
    with raises_exactly(Error, "group has no active lease"):
        settle(two, method, b"a", 0, 1)
    assert snapshot(store_path) == before


def test_reset_clears_the_lease_and_keeps_the_generation(two):
    two.consumer_group_reset(b"s", b"new", 3)
    assert group_state(two, b"new") == state(3)  # a new group keeps generation 0
    claim(two, b"a", 1000)
    assert two.consumer_group_reset(b"s", b"g", 5) is None and group_state(two) == state(5, None, 0, 1)
    assert claim(two, b"b", 1001) is None  # no entry at 5 yet
    for i in range(2, 6):
        two.append_stream(b"s", b"%d" % i)
    assert claim(two, b"b", 1002)["offset"] == 5
    two.consumer_group_reset(b"s", b"g", 0)
    assert claim(two, b"b", 1003) == delivery(0, b"zero", 3, 1103)


def test_groups_are_independent_of_each_other_and_of_subscriptions(two):
    claim(two, b"a", 1000, group=b"one")
    assert claim(two, b"a", 1000, group=b"two")["lease_generation"] == 1
    two.consumer_group_ack(b"s", b"two", b"a", 0, 1)
    assert group_state(two, b"one") == state(0, 0, 1100, 1, b"a") and group_state(two, b"two") == state(1, None, 0, 1)
    assert group_state(two, b"one", b"other") == state() and two.topic_subscription_offset(b"s", b"one") == 0


@pytest.mark.parametrize("now, duration, until", [
    (1000, 0, 1000), (-5000, 100, -4900), (I64_MAX - 10, 10, I64_MAX), (-(2**63), I64_MAX, -1),
    (1000, -1, None), (I64_MAX, 1, None), (I64_MAX - 10, 11, None), (0, -(2**63), None),
])
def test_lease_until_is_now_plus_duration_or_overflows(store, store_path, now, duration, until):
    before = snapshot(store_path)
    assert claim(store, b"a", now, duration) is None  # empty stream: nothing leased, nothing written, no error
    assert snapshot(store_path) == before and store.scan_prefix(STATE_PREFIX) == [] and group_state(store) == state()
    store.append_stream(b"s", b"x")
    if until is not None:
        assert claim(store, b"a", now, duration)["lease_until_ms"] == until
        return
    before = snapshot(store_path)
    with raises_exactly(Error, "time value overflow"):
        claim(store, b"a", now, duration)
    assert snapshot(store_path) == before


GROUP_CALLS = {
    "claim": lambda s, st, g, c: s.consumer_group_claim(st, g, c, 0, 10),
    "ack": lambda s, st, g, c: s.consumer_group_ack(st, g, c, 0, 1),
    "nack": lambda s, st, g, c: s.consumer_group_nack(st, g, c, 0, 1),
    "reset": lambda s, st, g, c: s.consumer_group_reset(st, g, 0), "state": lambda s, st, g, c: group_state(s, g, st),
}


@pytest.mark.parametrize("names", [(b"", b"g", b"c"), (b"s", b"", b"c"), (b"s", b"g", b"")])
@pytest.mark.parametrize("call", GROUP_CALLS)
def test_empty_names_are_refused(two, store_path, call, names):
    before = snapshot(store_path)
    if names[2] == b"" and call in ("reset", "state"):
        GROUP_CALLS[call](two, *names)  # these take no consumer
        return
    with raises_exactly(Error, EMPTY):
        GROUP_CALLS[call](two, *names)
    assert snapshot(store_path) == before


GOOD = state_record(3, 1, 500, 4, b"owner")
EMPTY_RECORD = state_record()


@pytest.mark.parametrize("bad", [
    b"", EMPTY_RECORD[:-1], b"\x02" + EMPTY_RECORD[1:], EMPTY_RECORD[:9] + b"\x02" + EMPTY_RECORD[10:],
    EMPTY_RECORD[:9] + b"\x01" + EMPTY_RECORD[10:], GOOD + b"\x00", GOOD[:-1],
    GOOD[:34] + struct.pack("<I", 0xFFFFFFFF) + b"owner",
], ids=["empty", "29-bytes", "version-2", "flag-2", "flag-1-no-offset", "trailing", "short-owner", "owner-len-max"])
def test_corrupt_state_records_are_refused_and_nothing_is_written(store_path, bad):
    data = sf.committed_file(store_path, [*stream_items(b"s", [b"a", b"b"]), (state_key(b"s", b"g"), bad)])
    with Store.open(str(store_path)) as s:
        for call in GROUP_CALLS.values():
            with raises_exactly(Error, CORRUPT):
                call(s, b"s", b"g", b"owner")
        assert group_state(s, b"other") == state()
    assert store_path.read_bytes() == data


def test_a_crafted_state_is_read_as_written(store_path):
    sf.committed_file(store_path, [*stream_items(b"s", [b"a", b"b", b"c", b"d"]), (state_key(b"s", b"g"), GOOD)])
    with Store.open(str(store_path)) as s:
        assert group_state(s) == state(3, 1, 500, 4, b"owner")
        with raises_exactly(Error, "leased offset mismatch: expected 1, provided 3"):
            settle(s, "ack", b"owner", 3, 4)
        settle(s, "ack", b"owner", 1, 4)  # the leased offset decides, not the position
        assert group_state(s) == state(2, None, 0, 4)


@pytest.mark.parametrize("until, cleared", [(500, True), (5000, False)])
def test_a_lease_past_the_tail(store_path, until, cleared):
    # Only a crafted file records a lease at a position the stream has no entry for.
    data = sf.committed_file(store_path, [*stream_items(b"s", [b"a"]),
                                         (state_key(b"s", b"g"), state_record(4, 4, until, 2, b"a"))])
    with Store.open(str(store_path)) as s:
        assert claim(s, b"b", 1000, 10) is None
        assert group_state(s) == (state(4, None, 0, 2) if cleared else state(4, 4, until, 2, b"a"))
    assert (store_path.read_bytes() == data) is not cleared


def test_generation_overflow(store_path):
    data = sf.committed_file(store_path, [*stream_items(b"s", [b"a"]),
                                         (state_key(b"s", b"g"), state_record(generation=MAX))])
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, "lease generation overflow"):
            claim(s, b"b", 1000, 10)
        s.consumer_group_reset(b"s", b"g", 0)
        assert group_state(s)["lease_generation"] == MAX
    assert store_path.read_bytes()[: len(data)] == data


@pytest.mark.parametrize("key, value, message", [
    (skey(b"s", 0), b"\x02\x00\x00\x00\x00", "messaging error: stream entry is corrupt or unsupported"),
    (skey(b"s", 0)[:-1], b"\x01\x00\x00\x00\x00", "messaging error: stream metadata is corrupt"),
])
def test_stream_errors_are_wrapped(store_path, key, value, message):
    data = sf.committed_file(store_path, [(key, value)])
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, message):
            claim(s, b"a", 1000, 10)
        assert group_state(s) == state()
    assert store_path.read_bytes() == data


def test_an_entry_at_the_last_offset_cannot_be_acked_past_it(store_path):
    # Appends never place an entry at 2**64 - 1; a damaged file can, and acking it must not
    # wrap the position around to 0 and re-deliver the whole stream.
    sf.committed_file(store_path, [(skey(b"s", MAX), b"\x01\x01\x00\x00\x00x"),
                               (state_key(b"s", b"g"), state_record(MAX))])
    with Store.open(str(store_path)) as s:
        assert claim(s, b"a", 1000, 10) == delivery(MAX, b"x", 1, 1010)
        with raises_exactly(Error, "messaging error: stream offset exhausted"):
            settle(s, "ack", b"a", MAX, 1)
        assert group_state(s) == state(MAX, MAX, 1010, 1, b"a")
