"""Index queries: exact matches, bytewise range order, bounds, descending order, limits, bad entries."""

from __future__ import annotations

import random

import pytest

import storefile as sf
from expect import raises_exactly
from ombrel_store import _native
from test_collections import c, definition_value, entry_key, index_meta_key, meta_key, record_key, record_value

Store = _native.Store
Error = _native.OmbrelStoreError


@pytest.fixture
def tagged(store):
    store.create_collection(b"c")
    store.define_index(b"c", b"tag")
    store.define_index(b"c", b"other")
    return store


def put(store, pk, *values, index=b"tag"):
    store.upsert_record(b"c", pk, b"value of " + pk, indexes=[(index, v) for v in values])


def hits(result):
    return [(value, record[0]) for value, record in result]


def test_exact_returns_full_records_sorted_bytewise_by_primary_key(tagged):
    for pk in (b"zz", b"b", b"a\x00", b"\xff"):
        put(tagged, pk, b"x")
    put(tagged, b"c", b"y")
    assert tagged.query_index_exact(b"c", b"tag", b"x") == [
        (pk, b"value of " + pk, [(b"tag", b"x")]) for pk in (b"a\x00", b"b", b"zz", b"\xff")]
    assert tagged.query_index_exact(b"c", b"tag", b"") == [] == tagged.query_index_exact(b"c", b"other", b"x")


def test_ties_by_primary_key_bytewise_and_reversed_when_descending(tagged):
    for pk in (b"bb", b"a", b"c"):
        put(tagged, pk, b"same")
    put(tagged, b"z", b"less")
    assert hits(tagged.query_index_range(b"c", b"tag")) == [
        (b"less", b"z"), (b"same", b"a"), (b"same", b"bb"), (b"same", b"c")]
    assert hits(tagged.query_index_range(b"c", b"tag", descending=True, limit=3)) == [
        (b"same", b"c"), (b"same", b"bb"), (b"same", b"a")]


@pytest.mark.parametrize("bounds, expected", [
    ({}, [b"", b"a", b"aa", b"ab", b"b"]),  # bytewise, not the length-first key order
    (dict(start=b"a", start_inclusive=False), [b"aa", b"ab", b"b"]), (dict(start=b"a"), [b"a", b"aa", b"ab", b"b"]),
    (dict(end=b"aa", end_inclusive=False), [b"", b"a"]), (dict(end=b"aa"), [b"", b"a", b"aa"]),
    (dict(start=b"a", end=b"ab", start_inclusive=False, end_inclusive=False), [b"aa"]),
    (dict(start=b"b", end=b"a"), []), (dict(start=b"aa", end=b"aa"), [b"aa"]),
    (dict(start=b"aa", end=b"aa", end_inclusive=False), []),
    (dict(start=b"", start_inclusive=False), [b"a", b"aa", b"ab", b"b"]),
    (dict(start=b"a\x00"), [b"aa", b"ab", b"b"]), (dict(end=b"a\x00", end_inclusive=False), [b"", b"a"]),
])
def test_bounds(tagged, bounds, expected):
    for value in (b"b", b"ab", b"aa", b"a", b""):
        put(tagged, b"pk-" + value, value)
    assert [v for v, _ in tagged.query_index_range(b"c", b"tag", **bounds)] == expected
    assert [v for v, _ in tagged.query_index_range(b"c", b"tag", descending=True, **bounds)] == expected[::-1]


def test_a_record_is_returned_once_per_matching_value(tagged):
    put(tagged, b"r", b"x", b"y", b"zz")
    put(tagged, b"s", b"q", index=b"other")
    record = (b"r", b"value of r", [(b"tag", b"x"), (b"tag", b"y"), (b"tag", b"zz")])
    assert tagged.query_index_range(b"c", b"tag", end=b"y") == [(b"x", record), (b"y", record)]
    assert tagged.query_index_range(b"c", b"tag", descending=True, limit=2) == [(b"zz", record), (b"y", record)]


@pytest.mark.parametrize("seed", range(6))
def test_range_agrees_with_a_model(tagged, seed):
    rng = random.Random(seed)

    def word():
        return bytes(rng.choice(b"\x00a\x7f\xff") for _ in range(rng.randrange(0, 5)))

    model = {}
    for n in range(120):
        pk = word() + b"%d" % rng.randrange(40)
        values = [word() for _ in range(rng.randrange(0, 3))]
        put(tagged, pk, *values)
        model[pk] = set(values)
        if n % 10 == 0:
            gone = rng.choice(sorted(model))
            tagged.delete_record(b"c", gone)
            del model[gone]
    pairs = sorted((v, pk) for pk, values in model.items() for v in values)
    for _ in range(40):
        start, end = rng.choice([None, word()]), rng.choice([None, word()])
        si, ei, desc = rng.random() < 0.5, rng.random() < 0.5, rng.random() < 0.5
        limit = rng.choice([None, 1, 3, 10])
        expected = [p for p in pairs if (start is None or (p[0] >= start if si else p[0] > start))
                    and (end is None or (p[0] <= end if ei else p[0] < end))]
        expected = (expected[::-1] if desc else expected)[:limit]
        got = tagged.query_index_range(b"c", b"tag", start=start, end=end, start_inclusive=si, end_inclusive=ei,
                                       descending=desc, limit=limit)
        assert hits(got) == expected, (start, end, si, ei, desc, limit)


EMPTY = "collection and index names must not be empty"


@pytest.mark.parametrize("collection, index, range_message", [
    (b"", b"tag", EMPTY), (b"c", b"", EMPTY), (b"c", b"nope", "index does not exist"),
    (b"nope", b"tag", "index does not exist"),
])
def test_queries_on_bad_names(tagged, collection, index, range_message):
    with raises_exactly(Error, range_message):
        tagged.query_index_range(collection, index, limit=0)
    with raises_exactly(Error, "index does not exist"):
        tagged.query_index_exact(collection, index, b"x")


def crafted(store_path, *extra):
    items = [(meta_key(b"c"), definition_value(1)), (index_meta_key(b"c", b"tag"), b"\x01\x00")]
    for pk, value in [(b"p1", b"m"), (b"p2", b"n")]:
        items += [(record_key(b"c", pk), record_value(b"v", [(b"tag", value)])),
                  (entry_key(b"c", b"tag", value, pk), pk)]
    return sf.committed_file(store_path, items + list(extra))


def test_entry_of_a_missing_record(store_path):
    data = crafted(store_path, (entry_key(b"c", b"tag", b"m", b"gone"), b"gone"))
    with Store.open(str(store_path)) as s:
        assert [r[0] for r in s.query_index_exact(b"c", b"tag", b"m")] == [b"p1"]
        with raises_exactly(Error, "index entry points to a missing record"):
            s.query_index_range(b"c", b"tag")
        assert hits(s.query_index_range(b"c", b"tag", start=b"n")) == [(b"n", b"p2")]
    assert store_path.read_bytes() == data


PREFIX = b"\xffomb:col:index:" + c(b"c") + c(b"tag")


@pytest.mark.parametrize("key, value", [
    (entry_key(b"c", b"tag", b"m", b"p3"), b"other"), (entry_key(b"c", b"tag", b"m", b"p3") + b"\x00", b"p3"),
    (PREFIX + c(b"m") + b"\x00\x00\x00\x05p3", b"p3"), (PREFIX + b"\x00\x00", b""),
])
def test_corrupt_index_entry(store_path, key, value):
    crafted(store_path, (key, value))
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, "index entry is corrupt"):
            s.query_index_range(b"c", b"tag")
        assert s.query_index_range(b"c", b"tag", limit=0) == []


@pytest.mark.parametrize("bad", [b"\x01\x02", b"\x01", b"\x01\x00\x00", b"\x02\x00"])
def test_corrupt_index_definition(store_path, bad):
    crafted(store_path, (index_meta_key(b"c", b"tag"), bad))
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, "index metadata is corrupt or unsupported"):
            s.query_index_range(b"c", b"tag", limit=0)
        with raises_exactly(Error, "collection metadata is corrupt or unsupported"):
            s.query_index_exact(b"c", b"tag", b"m")
