"""Streams, topics and subscription cursors: offsets, reads, cursors, the stored layout, and
damaged records refused without anything being written."""

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


# --- the stored layout, written out independently of the product ------------------------


def component(name: bytes) -> bytes:
    return struct.pack(">I", len(name)) + name


def next_key(stream: bytes) -> bytes:
    return b"\xffomb:stream:" + component(stream) + b":next"


def entry_key(stream: bytes, offset: int) -> bytes:
    return b"\xffomb:stream:" + component(stream) + b":e:" + struct.pack(">Q", offset)


def cursor_key(topic: bytes, subscription: bytes) -> bytes:
    return b"\xffomb:sub:" + component(topic) + component(subscription)


def entry_value(payload: bytes) -> bytes:
    return b"\x01" + struct.pack("<I", len(payload)) + payload


def u64(value: int) -> bytes:
    return struct.pack("<Q", value)


def craft(path, *items):
    """A store file whose one committed transaction writes the (key, value) items."""
    log = sf.LogBuilder()
    for key, value in items:
        log.put(1, key, value)
    return log.commit(1).write(path)


def stream_items(name: bytes, payloads, next_offset=None):
    items = [(entry_key(name, i), entry_value(p)) for i, p in enumerate(payloads)]
    return items + [(next_key(name), u64(len(payloads) if next_offset is None else next_offset))]


@pytest.fixture
def abc(store):
    for payload in (b"a", b"b", b"c"):
        store.append_stream(b"s", payload)
    return store


# --- offsets and reads -------------------------------------------------------------------


def test_offsets_are_consecutive_from_zero_and_the_tail_follows(store):
    assert store.stream_tail_offset(b"s") is None
    assert store.append_stream(b"s", b"first") == 0
    assert store.stream_tail_offset(b"s") == 0
    assert store.append_stream(b"s", b"") == 1
    assert store.stream_tail_offset(b"s") == 1
    assert store.read_stream(b"s") == [(0, b"first"), (1, b"")]


def test_a_topic_and_a_stream_of_one_name_are_one_log(store):
    writers = [store.append_stream, store.publish_topic, store.append_stream, store.publish_topic]
    assert [write(b"t", b"%d" % i) for i, write in enumerate(writers)] == [0, 1, 2, 3]
    expected = [(i, b"%d" % i) for i in range(4)]
    assert store.read_stream(b"t") == expected == store.read_topic(b"t")
    assert store.poll_topic(b"t", b"sub") == expected


def test_each_append_is_one_transaction_with_the_counter_and_the_entry(store):
    store.append_stream(b"s", b"payload")
    store.append_stream(b"s", b"\x00\xff")
    assert [(c["tx_id"], c["key"]) for c in store.changes_after()] == [
        (1, next_key(b"s")), (1, entry_key(b"s", 0)), (2, next_key(b"s")), (2, entry_key(b"s", 1))]
    assert store.scan_prefix(b"\xffomb:stream:") == [
        (entry_key(b"s", 0), entry_value(b"payload")),
        (entry_key(b"s", 1), entry_value(b"\x00\xff")),
        (next_key(b"s"), u64(2)),
    ]


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, [(0, b"a"), (1, b"b"), (2, b"c")]),
        ((1,), {}, [(1, b"b"), (2, b"c")]),
        ((2,), {}, [(2, b"c")]),
        ((3,), {}, []),
        ((5,), {}, []),
        ((MAX,), {}, []),
        ((0, 2), {}, [(0, b"a"), (1, b"b")]),
        ((), dict(offset=1, limit=1), [(1, b"b")]),
        ((), dict(limit=0), []),
        ((1, 0), {}, []),
        ((0, MAX), {}, [(0, b"a"), (1, b"b"), (2, b"c")]),
    ],
    ids=["default", "from-1", "from-2", "at-tail", "past-tail", "from-max", "limit-2", "keywords",
         "limit-0", "from-1-limit-0", "limit-max"],
)
@pytest.mark.parametrize("read", ["read_stream", "read_topic"])
def test_read_from_an_offset(abc, read, args, kwargs, expected):
    assert getattr(abc, read)(b"s", *args, **kwargs) == expected


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
    assert abc.read_stream(b"s") == [(0, b"a"), (1, b"b"), (2, b"c")]
    assert abc.read_stream(other) == [(0, b"x")]


# --- subscriptions -----------------------------------------------------------------------


def test_poll_does_not_move_the_cursor_and_acknowledge_does(abc):
    assert abc.topic_subscription_offset(b"s", b"sub") == 0
    first = abc.poll_topic(b"s", b"sub", 2)
    assert first == abc.poll_topic(b"s", b"sub", 2) == [(0, b"a"), (1, b"b")]
    assert abc.acknowledge_topic_through(b"s", b"sub", 1) == 2
    assert abc.topic_subscription_offset(b"s", b"sub") == 2
    assert abc.poll_topic(b"s", b"sub") == [(2, b"c")]
    assert abc.acknowledge_topic_through(b"s", b"sub", 2) == 3
    assert abc.poll_topic(b"s", b"sub") == [] and abc.poll_topic(b"s", b"sub", 0) == []


def test_the_cursor_never_regresses(abc, store_path):
    assert abc.acknowledge_topic_through(b"s", b"sub", 4) == 5  # not compared with the tail
    before = snapshot(store_path)
    with raises_exactly(Error, "subscription cursor cannot regress from 5 to 3"):
        abc.acknowledge_topic_through(b"s", b"sub", 2)
    with raises_exactly(Error, "subscription cursor cannot regress from 5 to 1"):
        abc.acknowledge_topic_through(b"s", b"sub", 0)
    assert snapshot(store_path) == before
    assert abc.acknowledge_topic_through(b"s", b"sub", 4) == 5  # the same position again
    assert abc.topic_subscription_offset(b"s", b"sub") == 5


@pytest.mark.parametrize("target, polled", [(0, [(0, b"a"), (1, b"b"), (2, b"c")]), (2, [(2, b"c")]), (9, [])])
def test_reset_moves_the_cursor_anywhere(abc, target, polled):
    abc.acknowledge_topic_through(b"s", b"sub", 1)
    assert abc.reset_topic_subscription(b"s", b"sub", target) is None
    assert abc.topic_subscription_offset(b"s", b"sub") == target
    assert abc.poll_topic(b"s", b"sub") == polled
    assert abc.acknowledge_topic_through(b"s", b"sub", target) == target + 1


def test_subscriptions_are_independent_and_stored_under_their_topic(abc):
    abc.acknowledge_topic_through(b"s", b"one", 0)
    abc.reset_topic_subscription(b"s", b"two", 2)
    abc.acknowledge_topic_through(b"other", b"one", 6)
    assert [abc.topic_subscription_offset(b"s", sub) for sub in (b"one", b"two", b"three")] == [1, 2, 0]
    assert abc.topic_subscription_offset(b"other", b"one") == 7
    assert abc.scan_prefix(b"\xffomb:sub:") == sorted(
        [(cursor_key(b"s", b"one"), u64(1)), (cursor_key(b"s", b"two"), u64(2)),
         (cursor_key(b"other", b"one"), u64(7))])
    assert abc.stream_tail_offset(b"other") is None  # cursors create no stream


def test_acknowledging_the_last_offset_is_refused(store, store_path):
    before = snapshot(store_path)
    with raises_exactly(Error, EXHAUSTED):
        store.acknowledge_topic_through(b"t", b"sub", MAX)
    assert snapshot(store_path) == before
    store.reset_topic_subscription(b"t", b"sub", MAX)
    assert store.topic_subscription_offset(b"t", b"sub") == MAX
    assert store.acknowledge_topic_through(b"t", b"sub", MAX - 1) == MAX


# --- refused arguments -------------------------------------------------------------------

NAMED_CALLS = {
    "append_stream": lambda s, n: s.append_stream(n, b"x"),
    "read_stream": lambda s, n: s.read_stream(n),
    "stream_tail_offset": lambda s, n: s.stream_tail_offset(n),
    "publish_topic": lambda s, n: s.publish_topic(n, b"x"),
    "read_topic": lambda s, n: s.read_topic(n),
    "poll_topic": lambda s, n: s.poll_topic(n, b"sub"),
    "acknowledge_topic_through": lambda s, n: s.acknowledge_topic_through(n, b"sub", 0),
    "reset_topic_subscription": lambda s, n: s.reset_topic_subscription(n, b"sub", 0),
    "topic_subscription_offset": lambda s, n: s.topic_subscription_offset(n, b"sub"),
}
SUBSCRIPTION_CALLS = {
    "poll_topic": lambda s, sub: s.poll_topic(b"s", sub),
    "acknowledge_topic_through": lambda s, sub: s.acknowledge_topic_through(b"s", sub, 0),
    "reset_topic_subscription": lambda s, sub: s.reset_topic_subscription(b"s", sub, 0),
    "topic_subscription_offset": lambda s, sub: s.topic_subscription_offset(b"s", sub),
}


@pytest.mark.parametrize(
    "call", list(NAMED_CALLS.values()) + list(SUBSCRIPTION_CALLS.values()),
    ids=list(NAMED_CALLS) + [f"{name}-subscription" for name in SUBSCRIPTION_CALLS],
)
def test_empty_names_are_refused_and_change_nothing(abc, store_path, call):
    before = snapshot(store_path)
    with raises_exactly(Error, EMPTY):
        call(abc, b"")
    assert snapshot(store_path) == before


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda s: s.append_stream(bytearray(b"s"), b"x"), TypeError),
        (lambda s: s.append_stream(b"s", "x"), TypeError),
        (lambda s: s.read_stream(b"s", -1), OverflowError),
        (lambda s: s.read_stream(b"s", 0, -1), OverflowError),
        (lambda s: s.read_topic(b"s", limit=2**64), OverflowError),
        (lambda s: s.acknowledge_topic_through(b"s", b"sub", -1), OverflowError),
        (lambda s: s.reset_topic_subscription(b"s", b"sub", 2**64), OverflowError),
    ],
    ids=["bytearray-name", "str-payload", "negative-offset", "negative-limit", "limit-2**64", "negative-ack",
         "reset-2**64"],
)
def test_bad_arguments_raise_python_errors_and_change_nothing(abc, store_path, call, exc):
    before = snapshot(store_path)
    with pytest.raises(exc):
        call(abc)
    assert snapshot(store_path) == before


@pytest.mark.parametrize(
    "name, signature",
    [
        ("append_stream", "(self, /, name, payload)"),
        ("read_stream", "(self, /, name, offset=0, limit=100)"),
        ("stream_tail_offset", "(self, /, name)"),
        ("publish_topic", "(self, /, name, payload)"),
        ("read_topic", "(self, /, name, offset=0, limit=100)"),
        ("poll_topic", "(self, /, topic, subscription, limit=100)"),
        ("acknowledge_topic_through", "(self, /, topic, subscription, offset)"),
        ("reset_topic_subscription", "(self, /, topic, subscription, next_offset)"),
        ("topic_subscription_offset", "(self, /, topic, subscription)"),
    ],
)
def test_published_signatures(name, signature):
    import inspect

    method = getattr(Store, name)
    assert str(inspect.signature(method)) == signature
    assert method.__doc__ and len(method.__doc__) > 40


def test_a_closed_store_refuses(store):
    store.close()
    with raises_exactly(_native.StoreClosedError, "store is closed"):
        store.append_stream(b"s", b"x")


# --- damaged records ---------------------------------------------------------------------


def test_a_counter_at_its_maximum_refuses_appends(store_path):
    data = craft(store_path, (next_key(b"s"), u64(MAX)))
    with Store.open(str(store_path)) as s:
        for write in (s.append_stream, s.publish_topic):
            with raises_exactly(Error, EXHAUSTED):
                write(b"s", b"x")
        assert s.stream_tail_offset(b"s") == MAX - 1
    assert store_path.read_bytes() == data


def test_a_lagging_counter_never_overwrites_an_entry(store_path):
    # The counter says 1 while entries 0 and 1 exist: appending at 1 would lose entry 1.
    data = craft(store_path, *stream_items(b"s", [b"a", b"b"], next_offset=1))
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, CORRUPT_META):
            s.append_stream(b"s", b"new")
        assert s.read_stream(b"s") == [(0, b"a"), (1, b"b")]
    assert store_path.read_bytes() == data


@pytest.mark.parametrize("bad", [b"", b"\x01" * 7, b"\x01" * 9], ids=["empty", "7-bytes", "9-bytes"])
def test_counters_of_another_length_are_corrupt(store_path, bad):
    data = craft(store_path, (next_key(b"s"), bad), (entry_key(b"s", 0), entry_value(b"a")),
                 (cursor_key(b"s", b"sub"), bad))
    with Store.open(str(store_path)) as s:
        calls = [lambda: s.append_stream(b"s", b"x"), lambda: s.stream_tail_offset(b"s"),
                 lambda: s.poll_topic(b"s", b"sub"), lambda: s.acknowledge_topic_through(b"s", b"sub", 0),
                 lambda: s.topic_subscription_offset(b"s", b"sub")]
        for call in calls:
            with raises_exactly(Error, CORRUPT_META):
                call()
        assert s.read_stream(b"s") == [(0, b"a")]  # reads need no counter
        s.reset_topic_subscription(b"s", b"sub", 0)  # a reset replaces the damaged cursor
        assert s.poll_topic(b"s", b"sub") == [(0, b"a")]
    assert store_path.read_bytes()[: len(data)] == data


@pytest.mark.parametrize(
    "bad",
    [
        pytest.param(b"", id="empty"),
        pytest.param(b"\x01\x00\x00\x00", id="4-bytes"),
        pytest.param(b"\x02" + entry_value(b"b")[1:], id="version-2"),
        pytest.param(b"\x00" + entry_value(b"b")[1:], id="version-0"),
        pytest.param(entry_value(b"b") + b"\x00", id="trailing-byte"),
        pytest.param(entry_value(b"b")[:-1], id="short-payload"),
        pytest.param(b"\x01" + struct.pack("<I", 0xFFFFFFFF) + b"b", id="length-max"),
    ],
)
def test_corrupt_entries_stop_reads_that_reach_them(store_path, bad):
    items = stream_items(b"s", [b"a", b"b", b"c"])
    items[1] = (entry_key(b"s", 1), bad)
    data = craft(store_path, *items)
    with Store.open(str(store_path)) as s:
        for read in (lambda: s.read_stream(b"s"), lambda: s.read_topic(b"s", 1, 1),
                     lambda: s.poll_topic(b"s", b"sub")):
            with raises_exactly(Error, CORRUPT_ENTRY):
                read()
        assert s.read_stream(b"s", 0, 1) == [(0, b"a")]
        assert s.read_stream(b"s", 2) == [(2, b"c")]
    assert store_path.read_bytes() == data


@pytest.mark.parametrize("suffix", [b"\x00" * 7, b"\x00" * 8 + b"\x01", b""], ids=["7-bytes", "9-bytes", "bare"])
def test_entry_keys_of_another_length_are_corrupt_metadata(store_path, suffix):
    bad_key = entry_key(b"s", 0)[:-8] + suffix
    craft(store_path, *stream_items(b"s", [b"a"]), (bad_key, entry_value(b"x")))
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, CORRUPT_META):
            s.read_stream(b"s")
