"""The change feed: one change record per committed write, listed and pruned."""

import hashlib
import struct

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store
CORRUPT = "CDC record is corrupt or unsupported"


def feed_tx_ids(store):
    return [c["tx_id"] for c in store.changes_after(limit=1000)]


def test_put_and_delete_changes(store, store_path):
    store.put(b"k", b"v")
    before = snapshot(store_path)
    (change,) = store.changes_after()
    assert list(change) == ["tx_id", "sequence", "kind", "key", "value_len", "value_sha256"]
    assert change == {"tx_id": 1, "sequence": 0, "kind": "put", "key": b"k", "value_len": 1,
                      "value_sha256": hashlib.sha256(b"v").digest()}
    assert store.changes_for_transaction(1) == [change]
    assert store.changes_for_transaction(0) == [] and store.changes_for_transaction(2) == []
    assert snapshot(store_path) == before  # reading writes nothing
    store.delete(b"k")
    store.delete(b"k")  # absent: still a change
    assert store.changes_after(after_tx_id=1) == [sf.change_dict(2, 0, b"k"), sf.change_dict(3, 0, b"k")]
    assert list(store.changes_for_transaction(3)[0]) == list(change)


@pytest.mark.parametrize("key, value", [(b"", b""), (b"\xff\x00", bytes(1000))])
def test_change_keys_and_values_as_stored(store, key, value):
    store.put(key, value)
    store.delete(key)
    assert store.changes_after() == [sf.change_dict(1, 0, key, value), sf.change_dict(2, 0, key)]
    # 28-byte keys with a big-endian transaction id and sequence; 59 + K and 19 + K byte values.
    assert store.scan_prefix(sf.CHANGE_PREFIX) == [
        (b"\xffomb:cdc:change:" + bytes(7) + b"\x01" + bytes(4), sf.encode_change(1, 0, key, value)),
        (b"\xffomb:cdc:change:" + bytes(7) + b"\x02" + bytes(4), sf.encode_change(2, 0, key)),
    ]
    assert [len(v) for _, v in store.scan_prefix(sf.CHANGE_PREFIX)] == [59 + len(key), 19 + len(key)]


def test_default_limits_and_transaction_ids_past_255(open_store):
    s = open_store(durability="relaxed")
    for i in range(300):
        s.put(b"k", b"%d" % i)
    assert [c["tx_id"] for c in s.changes_after()] == list(range(1, 101))
    assert [c["tx_id"] for c in s.changes_after(after_tx_id=250)] == list(range(251, 301))
    assert s.changes_for_transaction(256) == [sf.change_dict(256, 0, b"k", b"255")]
    assert s.prune_changes_through(1000) == 100
    assert feed_tx_ids(s) == list(range(101, 301))


@pytest.fixture
def five(store):
    for i in range(1, 6):
        store.put(b"k%d" % i, b"v%d" % i)
    return store


@pytest.mark.parametrize("args, kwargs, tx_ids", [
    ((), {}, [1, 2, 3, 4, 5]), ((), dict(after_tx_id=0), [1, 2, 3, 4, 5]), ((), dict(after_tx_id=3), [4, 5]),
    ((), dict(after_tx_id=5), []), ((), dict(limit=0), []), ((), dict(after_tx_id=2, limit=2), [3, 4]),
    ((2, 1), {}, [3]),
])
def test_changes_after(five, args, kwargs, tx_ids):
    assert [c["tx_id"] for c in five.changes_after(*args, **kwargs)] == tx_ids


@pytest.mark.parametrize("args, deleted", [((3,), 3), ((3, 2), 2), ((2**64 - 1,), 5), ((0,), 0), ((5, 0), 0)])
def test_prune_changes_through(five, store_path, args, deleted):
    size = store_path.stat().st_size
    assert five.prune_changes_through(*args) == deleted
    assert feed_tx_ids(five) == list(range(deleted + 1, 6))
    assert [k for k, _ in five.scan_prefix(sf.CHANGE_PREFIX)] == [sf.change_key(tx) for tx in range(deleted + 1, 6)]
    assert [k for k, _ in five.scan_prefix(b"k")] == [b"k1", b"k2", b"k3", b"k4", b"k5"]
    # One delete per change record and a commit, in a transaction that captures nothing of
    # its own; a prune with nothing to delete writes nothing and uses up no transaction id.
    written = sf.LogBuilder(b"", first_sequence=16)
    for tx in range(1, deleted + 1):
        written.delete(6, sf.change_key(tx))
    expected = written.commit(6).log_bytes() if deleted else b""
    assert store_path.read_bytes()[size:] == expected
    five.put(b"after", b"")
    assert feed_tx_ids(five)[-1] == (7 if deleted else 6)


PUT, DEL = sf.encode_change(2, 0, b"key", b"value"), sf.encode_change(2, 0, b"key")


def _at(offset, new, data=PUT):
    return data[:offset] + new + data[offset + len(new) :]


@pytest.mark.parametrize("bad_value", [
    b"", _at(0, b"\x02"), _at(13, b"\x02"), _at(14, struct.pack("<I", 1000)), _at(14, struct.pack("<I", 0xFFFFFFFF)),
    _at(21, b"\x02"), _at(21, b"\x00"), DEL[:-1] + b"\x01" + PUT[-40:], PUT + b"\x00", PUT[:-1], DEL + b"\x00",
])
def test_corrupt_change_value_stops_the_readers_and_prune(store_path, bad_value):
    # Transaction 2 commits a bad value under a change key, between two good ones.
    log = sf.LogBuilder().store_write(1, b"a", b"1").put(2, sf.change_key(2), bad_value).commit(2)
    data = log.store_write(3, b"b", b"2").write(store_path)
    with Store.open(str(store_path)) as s:
        for read in (s.changes_after, lambda: s.changes_after(after_tx_id=1, limit=1),
                     lambda: s.changes_for_transaction(2), lambda: s.prune_changes_through(10)):
            with raises_exactly(_native.OmbrelStoreError, CORRUPT):
                read()
        assert s.changes_for_transaction(3) == [sf.change_dict(3, 0, b"b", b"2")]
        assert len(s.scan_prefix(sf.CHANGE_PREFIX)) == 3
    assert store_path.read_bytes() == data  # the prune deleted nothing, not even the good change before


def test_crafted_changes_are_listed_in_key_order(store_path):
    # Written out of order inside transaction 7, which commits after transaction 5.
    log = sf.LogBuilder()
    for seq in (2, 0, 1):
        log.put(7, sf.change_key(7, seq), sf.encode_change(7, seq, b"k%d" % seq, b"v"))
    log.put(5, sf.change_key(5), sf.encode_change(5, 0, b"\xffomb:q:x")).commit(7).commit(5).write(store_path)
    with Store.open(str(store_path)) as s:
        expected = [sf.change_dict(5, 0, b"\xffomb:q:x")]
        expected += [sf.change_dict(7, seq, b"k%d" % seq, b"v") for seq in range(3)]
        assert s.changes_after() == expected and s.changes_for_transaction(7) == expected[1:]
        assert s.prune_changes_through(5) == 1
        assert s.changes_after() == expected[1:]
