"""The change feed: one change record per committed write, stored under internal keys
in the same transaction, listed and pruned through the Store methods."""

from __future__ import annotations

import hashlib
import struct

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store

CORRUPT = "CDC record is corrupt or unsupported"
KEY_ORDER = ["tx_id", "sequence", "kind", "key", "value_len", "value_sha256"]


def feed_keys(store):
    return [k for k, _ in store.scan_prefix(sf.CHANGE_PREFIX)]


class TestChanges:
    def test_put_change(self, store):
        store.put(b"k", b"v")
        (change,) = store.changes_after()
        assert list(change) == KEY_ORDER
        assert change == {
            "tx_id": 1,
            "sequence": 0,
            "kind": "put",
            "key": b"k",
            "value_len": 1,
            "value_sha256": hashlib.sha256(b"v").digest(),
        }
        assert type(change["key"]) is bytes and type(change["value_sha256"]) is bytes
        assert store.changes_for_transaction(1) == [change]

    @pytest.mark.parametrize("existed", [True, False])
    def test_delete_change(self, store, existed):
        if existed:
            store.put(b"k", b"v")
        store.delete(b"k")
        change = store.changes_after()[-1]
        assert list(change) == KEY_ORDER
        assert change == sf.change_dict_delete(2 if existed else 1, 0, b"k")

    @pytest.mark.parametrize(
        "key, value",
        [(b"", b""), (b"\xff\x00", b"\x00" * 1000), (b"\xffomb", b"x")],
        ids=["empty", "binary", "near-internal"],
    )
    def test_change_values_and_keys_on_disk(self, store, key, value):
        store.put(key, value)
        store.delete(key)
        assert store.changes_after() == [sf.change_dict_put(1, 0, key, value), sf.change_dict_delete(2, 0, key)]
        assert store.scan_prefix(sf.CHANGE_PREFIX) == [
            (sf.change_key(1, 0), sf.encode_change_put(1, 0, key, value)),
            (sf.change_key(2, 0), sf.encode_change_delete(2, 0, key)),
        ]
        assert len(sf.change_key(1, 0)) == 28
        assert len(store.get(sf.change_key(1, 0))) == 59 + len(key)
        assert len(store.get(sf.change_key(2, 0))) == 19 + len(key)

    def test_feed_survives_reopen(self, store_path, open_store):
        s = open_store()
        s.put(b"a", b"1")
        s.delete(b"a")
        expected = s.changes_after()
        s.close()
        assert open_store().changes_after() == expected

    def test_transaction_ids_are_big_endian_in_keys(self, open_store):
        s = open_store(durability="relaxed")
        for i in range(260):
            s.put(b"k", b"%d" % i)
        changes = s.changes_after(limit=1000)
        assert [c["tx_id"] for c in changes] == list(range(1, 261))
        assert feed_keys(s) == [sf.change_key(tx, 0) for tx in range(1, 261)]
        assert sf.change_key(256, 0)[16:] == b"\x00" * 6 + b"\x01\x00" + b"\x00" * 4
        assert s.changes_for_transaction(256) == [sf.change_dict_put(256, 0, b"k", b"255")]


class TestChangesAfter:
    @pytest.fixture
    def five(self, store):
        for i in range(1, 6):
            store.put(b"k%d" % i, b"v%d" % i)
        return store

    @pytest.mark.parametrize(
        "kwargs, tx_ids",
        [
            (dict(), [1, 2, 3, 4, 5]),
            (dict(after_tx_id=None), [1, 2, 3, 4, 5]),
            (dict(after_tx_id=0), [1, 2, 3, 4, 5]),
            (dict(after_tx_id=3), [4, 5]),
            (dict(after_tx_id=5), []),
            (dict(after_tx_id=99), []),
            (dict(limit=0), []),
            (dict(after_tx_id=1, limit=0), []),
            (dict(limit=2), [1, 2]),
            (dict(after_tx_id=2, limit=2), [3, 4]),
            (dict(limit=5), [1, 2, 3, 4, 5]),
        ],
    )
    def test_filters(self, five, kwargs, tx_ids):
        assert [c["tx_id"] for c in five.changes_after(**kwargs)] == tx_ids

    def test_positional_arguments(self, five):
        assert [c["tx_id"] for c in five.changes_after(2, 1)] == [3]

    def test_default_limit_is_100(self, open_store):
        s = open_store(durability="relaxed")
        for i in range(130):
            s.put(b"k", b"")
        assert len(s.changes_after()) == 100
        assert len(s.changes_after(after_tx_id=100)) == 30

    def test_unknown_transaction_is_empty(self, five):
        assert five.changes_for_transaction(6) == []
        assert five.changes_for_transaction(0) == []
        assert [c["key"] for c in five.changes_for_transaction(3)] == [b"k3"]

    def test_reading_changes_nothing(self, five, store_path):
        before = snapshot(store_path)
        five.changes_after()
        five.changes_for_transaction(2)
        assert snapshot(store_path) == before


class TestPrune:
    @pytest.fixture
    def five(self, store):
        for i in range(1, 6):
            store.put(b"k%d" % i, b"v%d" % i)
        return store

    @pytest.mark.parametrize(
        "args, deleted, remaining",
        [
            ((3,), 3, [4, 5]),
            ((3, 2), 2, [3, 4, 5]),
            ((5,), 5, []),
            ((2**64 - 1,), 5, []),
            ((0,), 0, [1, 2, 3, 4, 5]),
            ((5, 0), 0, [1, 2, 3, 4, 5]),
        ],
    )
    def test_prune_through(self, five, store_path, args, deleted, remaining):
        size = store_path.stat().st_size
        assert five.prune_changes_through(*args) == deleted
        assert [c["tx_id"] for c in five.changes_after()] == remaining
        assert feed_keys(five) == [sf.change_key(tx, 0) for tx in remaining]
        # User keys are untouched.
        assert [k for k, _ in five.scan_prefix(b"k")] == [b"k1", b"k2", b"k3", b"k4", b"k5"]

        # The prune wrote one delete per change record and a commit, in a transaction of
        # its own that captured nothing; a prune with nothing to delete wrote nothing.
        new = sf.parse_records(store_path.read_bytes(), start=size)
        if deleted:
            assert [(r.kind, r.tx_id) for r in new] == [(sf.DELETE, 6)] * deleted + [(sf.COMMIT, 6)]
            assert [r.key for r in new[:-1]] == [sf.change_key(tx, 0) for tx in range(1, deleted + 1)]
        else:
            assert new == []

        # A prune that began a transaction used up its id.
        five.put(b"after", b"")
        assert five.changes_after()[-1]["tx_id"] == (7 if deleted else 6)

    def test_prune_again_finds_nothing(self, five):
        assert five.prune_changes_through(3) == 3
        assert five.prune_changes_through(3) == 0
        assert five.prune_changes_through(4) == 1

    def test_prune_is_durable(self, store_path, open_store):
        s = open_store()
        s.put(b"a", b"1")
        s.put(b"b", b"2")
        assert s.prune_changes_through(1) == 1
        s.close()
        assert [c["tx_id"] for c in open_store().changes_after()] == [2]

    def test_default_limit_is_100(self, open_store):
        s = open_store(durability="relaxed")
        for i in range(130):
            s.put(b"k", b"")
        assert s.prune_changes_through(1000) == 100
        assert [c["tx_id"] for c in s.changes_after()] == list(range(101, 131))

    def test_empty_feed(self, store):
        assert store.prune_changes_through(10) == 0
        store.put(b"k", b"v")
        assert store.changes_after()[0]["tx_id"] == 1


# --------------------------------------------------------------------------- corrupt change values


def _good_put():
    return sf.encode_change_put(2, 0, b"key", b"value")


def _good_delete():
    return sf.encode_change_delete(2, 0, b"key")


def _replace(data: bytes, offset: int, new: bytes) -> bytes:
    return data[:offset] + new + data[offset + len(new) :]


CORRUPT_VALUES = [
    pytest.param(b"", id="empty"),
    pytest.param(b"\x01", id="version-only"),
    pytest.param(_replace(_good_put(), 0, b"\x02"), id="version-2"),
    pytest.param(_replace(_good_put(), 0, b"\x00"), id="version-0"),
    pytest.param(_replace(_good_put(), 13, b"\x02"), id="kind-2"),
    pytest.param(_replace(_good_delete(), 13, b"\x00"), id="put-kind-in-delete-layout"),
    pytest.param(_replace(_good_put(), 13, b"\x01"), id="delete-kind-in-put-layout"),
    pytest.param(_replace(_good_put(), 14, struct.pack("<I", 1000)), id="key-length-past-end"),
    pytest.param(_replace(_good_put(), 14, struct.pack("<I", 0xFFFFFFFF)), id="key-length-max"),
    pytest.param(_replace(_good_put(), 18 + 3, b"\x02"), id="flag-2"),
    pytest.param(_replace(_good_put(), 18 + 3, b"\x00"), id="put-with-flag-0"),
    pytest.param(_good_delete()[:-1] + b"\x01" + bytes(40), id="delete-with-flag-1"),
    pytest.param(_good_put() + b"\x00", id="put-trailing-byte"),
    pytest.param(_good_put()[:-1], id="put-short-digest"),
    pytest.param(_good_delete() + b"\x00", id="delete-trailing-byte"),
    pytest.param(_good_delete()[:-1], id="delete-missing-flag"),
]


def _write_feed_with(path, bad_value):
    """Transaction 1: a valid user put with its change; transaction 2: a change key
    holding `bad_value`; transaction 3: another valid put with its change."""
    log = sf.LogBuilder()
    log.store_put(1, b"a", b"1")
    log.put(2, sf.change_key(2, 0), bad_value)
    log.commit(2)
    log.store_put(3, b"b", b"2")
    return log.write(path)


@pytest.mark.parametrize("bad_value", CORRUPT_VALUES)
def test_corrupt_change_value_stops_the_readers(store_path, bad_value):
    data = _write_feed_with(store_path, bad_value)
    with Store.open(str(store_path)) as s:
        for read in (
            lambda: s.changes_after(),
            lambda: s.changes_after(after_tx_id=1),
            lambda: s.changes_after(after_tx_id=1, limit=1),
            lambda: s.changes_for_transaction(2),
        ):
            with raises_exactly(_native.OmbrelStoreError, CORRUPT):
                read()
        # The other transactions' changes are readable on their own.
        assert s.changes_for_transaction(1) == [sf.change_dict_put(1, 0, b"a", b"1")]
        assert s.changes_for_transaction(3) == [sf.change_dict_put(3, 0, b"b", b"2")]

        with raises_exactly(_native.OmbrelStoreError, CORRUPT):
            s.prune_changes_through(10)
        # Nothing was deleted, not even the valid change before the corrupt one.
        assert store_path.read_bytes() == data
        assert len(feed_keys(s)) == 3
        # The store itself still works.
        s.put(b"c", b"3")
        assert s.changes_for_transaction(4) == [sf.change_dict_put(4, 0, b"c", b"3")]


def test_valid_crafted_changes_are_listed_in_key_order(store_path):
    # Written out of order inside one transaction; listed by (transaction, sequence).
    log = sf.LogBuilder()
    for seq in (2, 0, 1):
        log.put(7, sf.change_key(7, seq), sf.encode_change_put(7, seq, b"k%d" % seq, b"v"))
    log.put(5, sf.change_key(5, 0), sf.encode_change_delete(5, 0, b"\xffomb:q:x"))
    log.commit(7)
    log.commit(5)
    log.write(store_path)
    with Store.open(str(store_path)) as s:
        expected = [sf.change_dict_delete(5, 0, b"\xffomb:q:x")] + [
            sf.change_dict_put(7, seq, b"k%d" % seq, b"v") for seq in range(3)
        ]
        assert s.changes_after() == expected
        assert s.changes_for_transaction(7) == expected[1:]
        assert s.prune_changes_through(5) == 1
        assert s.changes_after() == expected[1:]
