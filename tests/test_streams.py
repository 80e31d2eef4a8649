"""Streams, topics and subscription cursors: offsets, reads, cursors, layout, damaged records."""

from __future__ import annotations

import struct

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store
Error = _native.OmbrelStoreError
MAX = 2**64 - 1
EMPTY = "stream/topic/subscription name must not be empty"
CORRUPT_META = "stream metadata is corrupt"
CORRUPT_ENTRY = "stream entry is corrupt or unsupported"
EXHAUSTED = "stream offset exhausted"


def component(name: bytes) -> bytes:
    return struct.pack(">I", len(name)) + name


def skey(stream: bytes, offset: int | None = None) -> bytes:
    tail = b":next" if offset is None else b":e:" + struct.pack(">Q", offset)
    return b"\xffomb:stream:" + component(stream) + tail


def cursor_key(topic: bytes, subscription: bytes) -> bytes:
    return b"\xffomb:sub:" + component(topic) + component(subscription)


def entry_value(payload: bytes) -> bytes:
    return b"\x01" + struct.pack("<I", len(payload)) + payload


def u64(value: int) -> bytes:
    return struct.pack("<Q", value)


def stream_items(name: bytes, payloads, next_offset=None):
    items = [(skey(name, i), entry_value(p)) for i, p in enumerate(payloads)]
    return items + [(skey(name), u64(len(payloads) if next_offset is None else next_offset))]


ABC = [(0, b"a"), (1, b"b"), (2, b"c")]


@pytest.fixture
def abc(store):
    for _, payload in ABC:
        store.append_stream(b"s", payload)
    return store


def test_offsets_tail_and_layout(store):
    assert store.stream_tail_offset(b"s") is None
    assert store.append_stream(b"s", b"payload") == 0 and store.stream_tail_offset(b"s") == 0
    assert store.publish_topic(b"s", b"") == 1 and store.stream_tail_offset(b"s") == 1  # one log, two names
    expected = [(0, b"payload"), (1, b"")]
    assert store.read_stream(b"s") == expected == store.read_topic(b"s") == store.poll_topic(b"s", b"sub")
    assert [(c["tx_id"], c["key"]) for c in store.changes_after()] == [
        (1, skey(b"s")), (1, skey(b"s", 0)), (2, skey(b"s")), (2, skey(b"s", 1))]
    assert store.scan_prefix(b"\xffomb:stream:") == [
        (skey(b"s", 0), entry_value(b"payload")), (skey(b"s", 1), entry_value(b"")), (skey(b"s"), u64(2))]


@pytest.mark.parametrize("args, expected", [
    ((), ABC), ((1,), ABC[1:]), ((3,), []), ((5,), []), ((MAX,), []), ((0, 2), ABC[:2]), ((1, 1), ABC[1:2]),
    ((0, 0), []), ((1, 0), []), ((0, MAX), ABC),
])
@pytest.mark.parametrize("read", ["read_stream", "read_topic"])
def test_read_from_an_offset(abc, read, args, expected):
    assert getattr(abc, read)(b"s", *args) == expected


def test_default_limit_is_100(open_store):
    s = open_store(durability="relaxed")
    for i in range(150):
        s.append_stream(b"s", b"%d" % i)
    assert [o for o, _ in s.read_stream(b"s")] == list(range(100))
    assert [o for o, _ in s.read_stream(b"s", 120)] == list(range(120, 150))
    assert len(s.poll_topic(b"s", b"sub")) == 100


@pytest.mark.parametrize("other", [b"ss", b"s\x00", b"s:e:", b"S", b"\xff"], ids=repr)
def test_names_that_extend_each_other_are_separate_logs(abc, other):
    assert abc.stream_tail_offset(other) is None and abc.read_stream(other) == []
    assert abc.append_stream(other, b"x") == 0
    assert abc.read_stream(b"s") == ABC and abc.read_stream(other) == [(0, b"x")]


def test_poll_keeps_the_cursor_acknowledge_moves_it_forward_only(abc, store_path):
    assert abc.topic_subscription_offset(b"s", b"sub") == 0
    assert abc.poll_topic(b"s", b"sub", 2) == abc.poll_topic(b"s", b"sub", 2) == ABC[:2]
    assert abc.acknowledge_topic_through(b"s", b"sub", 1) == 2 and abc.poll_topic(b"s", b"sub") == ABC[2:]
    assert abc.acknowledge_topic_through(b"s", b"sub", 2) == 3
    assert abc.poll_topic(b"s", b"sub") == [] and abc.poll_topic(b"s", b"sub", 0) == []
    assert abc.acknowledge_topic_through(b"s", b"sub", 4) == 5  # not compared with the tail
    before = snapshot(store_path)
    for offset, text in [(2, "subscription cursor cannot regress from 5 to 3"),
                         (0, "subscription cursor cannot regress from 5 to 1")]:
        with raises_exactly(Error, text):
            abc.acknowledge_topic_through(b"s", b"sub", offset)
    with raises_exactly(Error, EXHAUSTED):
        abc.acknowledge_topic_through(b"s", b"end", MAX)
    assert snapshot(store_path) == before
    assert abc.acknowledge_topic_through(b"s", b"sub", 4) == 5 and abc.topic_subscription_offset(b"s", b"sub") == 5
    abc.reset_topic_subscription(b"s", b"end", MAX)
    assert abc.acknowledge_topic_through(b"s", b"end", MAX - 1) == MAX == abc.topic_subscription_offset(b"s", b"end")
    for target, polled in [(0, ABC), (2, ABC[2:]), (9, [])]:  # a reset moves the cursor anywhere
        assert abc.reset_topic_subscription(b"s", b"sub", target) is None
        assert abc.topic_subscription_offset(b"s", b"sub") == target and abc.poll_topic(b"s", b"sub") == polled
        assert abc.acknowledge_topic_through(b"s", b"sub", target) == target + 1


def test_subscriptions_are_independent_and_stored_under_their_topic(abc):
    abc.acknowledge_topic_through(b"s", b"one", 0)
    abc.reset_topic_subscription(b"s", b"two", 2)
    abc.acknowledge_topic_through(b"other", b"one", 6)
    assert [abc.topic_subscription_offset(b"s", sub) for sub in (b"one", b"two", b"three")] == [1, 2, 0]
    assert abc.topic_subscription_offset(b"other", b"one") == 7
    assert abc.scan_prefix(b"\xffomb:sub:") == sorted([(cursor_key(b"s", b"one"), u64(1)),
                                                       (cursor_key(b"s", b"two"), u64(2)),
                                                       (cursor_key(b"other", b"one"), u64(7))])
    assert abc.stream_tail_offset(b"other") is None  # cursors create no stream


N = None  # where the name under test goes
CALLS = [("append_stream", N, b"x"), ("read_stream", N), ("stream_tail_offset", N), ("publish_topic", N, b"x"),
         ("read_topic", N), ("poll_topic", N, b"sub"), ("acknowledge_topic_through", N, b"sub", 0),
         ("reset_topic_subscription", N, b"sub", 0), ("topic_subscription_offset", N, b"sub"),
         ("poll_topic", b"s", N), ("acknowledge_topic_through", b"s", N, 0),
         ("reset_topic_subscription", b"s", N, 0), ("topic_subscription_offset", b"s", N), ("trim_stream", N, 1)]


def call(store, row, name):
    return getattr(store, row[0])(*[name if a is N else a for a in row[1:]])


@pytest.mark.parametrize("row", CALLS, ids=[f"{c[0]}-{c.index(N)}" for c in CALLS])
def test_empty_names_are_refused(abc, store_path, row):
    before = snapshot(store_path)
    with raises_exactly(Error, EMPTY):
        call(abc, row, b"")
    assert snapshot(store_path) == before


@pytest.mark.parametrize("counter, message", [(MAX, EXHAUSTED), (1, CORRUPT_META)])  # 1 lags behind entry 1
def test_a_counter_at_its_maximum_or_lagging_refuses_appends(store_path, counter, message):
    data = sf.committed_file(store_path, stream_items(b"s", [b"a", b"b"], next_offset=counter))
    with Store.open(str(store_path)) as s:
        for write in (s.append_stream, s.publish_topic):
            with raises_exactly(Error, message):
                write(b"s", b"x")
        assert s.stream_tail_offset(b"s") == counter - 1 and s.read_stream(b"s") == [(0, b"a"), (1, b"b")]
    assert store_path.read_bytes() == data


@pytest.mark.parametrize("bad", [b"", b"\x01" * 7, b"\x01" * 9])
def test_counters_of_another_length_are_corrupt(store_path, bad):
    data = sf.committed_file(store_path, [(skey(b"s"), bad), (skey(b"s", 0), entry_value(b"a")),
                                         (cursor_key(b"s", b"sub"), bad)])
    with Store.open(str(store_path)) as s:
        for call in [lambda: s.append_stream(b"s", b"x"), lambda: s.stream_tail_offset(b"s"),
                     lambda: s.poll_topic(b"s", b"sub"), lambda: s.acknowledge_topic_through(b"s", b"sub", 0),
                     lambda: s.topic_subscription_offset(b"s", b"sub")]:
            with raises_exactly(Error, CORRUPT_META):
                call()
        assert s.read_stream(b"s") == [(0, b"a")]  # reads need no counter
        s.reset_topic_subscription(b"s", b"sub", 0)  # a reset replaces the damaged cursor
        assert s.poll_topic(b"s", b"sub") == [(0, b"a")]
    assert store_path.read_bytes()[: len(data)] == data


@pytest.mark.parametrize("bad", [
    b"", b"\x01\x00\x00\x00", b"\x02" + entry_value(b"b")[1:], b"\x00" + entry_value(b"b")[1:],
    entry_value(b"b") + b"\x00", entry_value(b"b")[:-1], b"\x01" + struct.pack("<I", 0xFFFFFFFF) + b"b",
], ids=["empty", "4-bytes", "version-2", "version-0", "trailing", "short", "length-max"])
def test_corrupt_entries_stop_reads_that_reach_them(store_path, bad):
    items = stream_items(b"s", [b"a", b"b", b"c"])
    items[1] = (skey(b"s", 1), bad)
    data = sf.committed_file(store_path, items)
    with Store.open(str(store_path)) as s:
        for read in (lambda: s.read_stream(b"s"), lambda: s.read_topic(b"s", 1, 1), lambda: s.poll_topic(b"s", b"x")):
            with raises_exactly(Error, CORRUPT_ENTRY):
                read()
        assert s.read_stream(b"s", 0, 1) == [(0, b"a")] and s.read_stream(b"s", 2) == [(2, b"c")]
    assert store_path.read_bytes() == data


@pytest.mark.parametrize("suffix", [bytes(7), bytes(8) + b"\x01", b""])
def test_entry_keys_of_another_length_are_corrupt_metadata(store_path, suffix):
    sf.committed_file(store_path, [*stream_items(b"s", [b"a"]), (skey(b"s", 0)[:-8] + suffix, entry_value(b"x"))])
    with Store.open(str(store_path)) as s, raises_exactly(Error, CORRUPT_META):
        s.read_stream(b"s")


# --- retention ------------------------------------------------------------------------

GROUP_KEY = b"\xffomb:cg:state:" + component(b"s") + component(b"g")


def six(store):
    for i in range(6):
        store.append_stream(b"s", b"%d" % i)


@pytest.mark.parametrize("readers, before, force, removed", [
    ([], 4, False, 4), ([], 0, False, 0), ([], 99, False, 6), ([], MAX, False, 6),
    ([("sub", 2)], 4, False, 2), ([("sub", 2)], 4, True, 4), ([("sub", 5), ("sub2", 3)], 9, False, 3),
    ([("group", 1)], 4, False, 1), ([("group", 1)], 9, True, 6), ([("group", 3), ("sub", 5)], 9, False, 3),
    ([("leased", 2)], 5, False, 2),  # the group's leased entry stays too
    ([("sub-of-other-topic", 0), ("group-of-other-stream", 0)], 4, False, 4),
])
def test_trim_keeps_what_readers_have_yet_to_take(store, readers, before, force, removed):
    six(store)
    store.append_stream(b"other", b"x")
    for kind, offset in readers:
        if kind.startswith("sub"):
            store.reset_topic_subscription(b"other" if "other" in kind else b"s", kind.encode(), offset)
        elif kind == "leased":
            store.consumer_group_reset(b"s", b"g", offset)
            store.consumer_group_claim(b"s", b"g", b"c", 0, 10)
        else:
            store.consumer_group_reset(b"other" if "other" in kind else b"s", b"g", offset)
    assert store.trim_stream(b"s", before, force=force) == removed
    kept = [(i, b"%d" % i) for i in range(removed, 6)]
    assert store.read_stream(b"s") == kept and store.read_stream(b"s", 1, 2) == [e for e in kept if e[0] >= 1][:2]
    assert store.stream_tail_offset(b"s") == 5 and store.append_stream(b"s", b"6") == 6  # offsets never reused
    assert store.read_stream(b"other") == [(0, b"x")]


def test_trim_is_one_transaction_with_change_records_and_readers_resume_at_the_first_entry_kept(store, store_path):
    six(store)
    store.consumer_group_reset(b"s", b"g", 0)
    before = snapshot(store_path)
    assert store.trim_stream(b"s", 4) == 0 and store.trim_stream(b"s", 0, force=True) == 0
    assert snapshot(store_path) == before  # nothing to delete: nothing written
    last = store.changes_after()[-1]["tx_id"]
    assert store.trim_stream(b"s", 4, force=True) == 4
    changes = [(c["tx_id"], c["kind"], c["key"]) for c in store.changes_after(last)]
    assert changes == [(last + 1, "delete", skey(b"s", i)) for i in range(4)]
    assert store.poll_topic(b"s", b"new", 1) == [(4, b"4")]
    assert store.consumer_group_claim(b"s", b"g", b"c", 0, 10)["offset"] == 4


@pytest.mark.parametrize("key, value", [
    (cursor_key(b"s", b"sub"), b"\x01" * 7), (GROUP_KEY, b"\x02" + bytes(29)),
])
def test_a_damaged_reader_position_refuses_the_trim_unless_forced(store_path, key, value):
    sf.committed_file(store_path, [*stream_items(b"s", [b"a", b"b"]), (key, value)])
    with Store.open(str(store_path)) as s:
        before = snapshot(store_path)
        with raises_exactly(Error, CORRUPT_META):
            s.trim_stream(b"s", 2)
        assert snapshot(store_path) == before
        assert s.trim_stream(b"s", 2, force=True) == 2


def test_a_misshapen_entry_key_below_the_bound_refuses_the_trim(store_path):
    sf.committed_file(store_path, [*stream_items(b"s", [b"a", b"b"]), (skey(b"s", 0)[:-8] + bytes(7), entry_value(b"x"))])
    with Store.open(str(store_path)) as s:
        before = snapshot(store_path)
        with raises_exactly(Error, CORRUPT_META):
            s.trim_stream(b"s", 1)
        assert snapshot(store_path) == before
        assert s.read_stream(b"s", 1) == [(1, b"b")]
