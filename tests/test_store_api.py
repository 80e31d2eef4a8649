"""The Store class: key-value semantics, ordering, reserved keys, lifecycle."""

import gc
import os

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store
RESERVED = "keys beginning with the Ombrel Store internal namespace are reserved"
CLOSED = "store is closed"
BUSY = "store is exclusively borrowed by an active transaction"


@pytest.mark.parametrize("key, value", [(b"", b"under the empty key"), (b"empty", b""),
                                        (b"\x00\xff", bytes(range(256))), (b"big", b"\xa5" * (1 << 20))])
def test_put_get_roundtrip_and_persistence(open_store, key, value):
    s = open_store()
    assert s.get(key) is None and s.contains(key) is False
    assert s.put(key, value) is None
    assert s.get(key) == value and s.contains(key) is True
    s.close()
    assert open_store().get(key) == value


def test_replace_delete_and_fresh_result_objects(store):
    value = b"a value long enough not to be interned"
    store.put(b"k", b"first")
    store.put(b"k", value)
    store.put(b"other", b"w")
    first, second = store.get(b"k"), store.get(b"k")
    assert type(first) is bytes and first == second == value and first is not second
    assert store.delete(b"k") is None and store.get(b"k") is None and store.contains(b"k") is False
    assert store.delete(b"k") is None and store.delete(b"never existed") is None
    assert sf.user_items(store) == [(b"other", b"w")]


@pytest.mark.parametrize("durability", ["strict", "data", "relaxed"])
def test_every_durability_writes_and_flushes(open_store, durability):
    s = open_store(durability=durability)
    s.put(b"k", durability.encode())
    assert s.flush() is None
    s.close()
    assert open_store().get(b"k") == durability.encode()


def test_scan_prefix_selects_and_sorts_unsigned_shorter_first(store):
    keys = [b"ab", b"a", b"b", b"aa", b"\x80", b"\x7f", b"\x00", b"\x01\xff", b"\x01", b"", b"\x01\x00"]
    for key in keys:
        store.put(key, key.upper())
    assert store.scan_prefix(b"a") == [(b"a", b"A"), (b"aa", b"AA"), (b"ab", b"AB")]
    assert store.scan_prefix(b"abc") == [] and store.scan_prefix(b"c") == []
    assert [k for k, _ in sf.user_items(store)] == sorted(keys)


def test_near_misses_are_user_keys_and_the_empty_prefix_lists_internal_keys_after_lower_ones(store):
    user = [b"zz", b"", b"\xfe\xff", b"\xffa", b"\xffomb", b"\xffomb;", b"\xffzz", b"omb:x", b"\xffOMB:x"]
    for key in user:
        store.put(key, b"u")
    internal = [sf.change_key(tx) for tx in range(1, len(user) + 1)]
    assert [k for k, _ in store.scan_prefix(b"")] == [b"", b"omb:x", b"zz", b"\xfe\xff", b"\xffOMB:x", b"\xffa",
                                                      b"\xffomb", *internal, b"\xffomb;", b"\xffzz"]
    assert store.scan_prefix(sf.INTERNAL_PREFIX) == [(k, store.get(k)) for k in internal]  # reads are not restricted
    assert store.get(internal[0]) == sf.encode_change(1, 0, b"zz", b"u") and store.contains(internal[0])
    for key in user:
        store.delete(key)
    assert [k for k, _ in store.scan_prefix(b"")] == [sf.change_key(tx) for tx in range(1, 2 * len(user) + 1)]


@pytest.mark.parametrize("key", [b"\xffomb:x", b"\xffomb:"])
@pytest.mark.parametrize("op", ["put", "delete"])
def test_internal_keys_are_refused_and_nothing_is_written(store, store_path, key, op):
    before = snapshot(store_path)
    with raises_exactly(_native.ReservedKeyError, RESERVED):
        store.put(key, b"v") if op == "put" else store.delete(key)
    assert snapshot(store_path) == before and store.get(key) is None
    store.put(b"k", b"v")  # the refused write still used up transaction id 1
    assert [c["tx_id"] for c in store.changes_after()] == [2]


# Every method goes through the store's slot: refused when the store is closed or lent to a transaction.
SLOT_CALLS = [
    ("flush",), ("get", b"k"), ("contains", b"k"), ("put", b"k", b"v"), ("delete", b"k"), ("scan_prefix", b""),
    ("transaction",), ("changes_after",), ("changes_for_transaction", 1), ("prune_changes_through", 1),
    ("storage_stats",), ("health_report",),
    *[(name, "copy.omb") for name in ("backup_to", "checkpoint_to", "compact_copy_to", "snapshot_to",
                                      "compact_generation_to")],
    ("get_object", bytes(32)), ("get_object_chunk", bytes(32), 2**64 - 1, 0), ("object_info", bytes(32)),
    ("verify_object", bytes(32)), ("link_object", b"ns", b"n", bytes(32)), ("put_object", b"x"),
    ("put_object_with_metadata", b"x", {}), ("resolve_object_ref", b"ns", b"n"), ("unlink_object", b"ns", b"n"),
    ("list_object_refs", b"ns"), ("gc_orphan_objects",), ("purge_expired_objects", 0), ("create_collection", b"c"),
    ("define_index", b"c", b"i"), ("upsert_record", b"c", b"k", b"v"), ("get_record", b"c", b"k"),
    ("delete_record", b"c", b"k"), ("scan_collection", b"c"), ("collection_definition", b"c"),
    ("collection_migrations", b"c"), ("migrate_collection_schema", b"c", 1, 2), ("query_index_exact", b"c", b"i", b"v"),
    ("query_index_range", b"c", b"i"), ("push_queue", b"q", b"p"), ("claim_queue", b"q", 0, 1),
    ("ack_queue", b"q", 1, 1), ("nack_queue", b"q", 1, 1, 0), ("dead_letter_queue", b"q", 1, 1),
    ("purge_dead_queue", b"q"), ("queue_stats", b"q"), ("append_stream", b"s", b"x"), ("read_stream", b"s"),
    ("stream_tail_offset", b"s"), ("publish_topic", b"s", b"x"), ("read_topic", b"s"), ("poll_topic", b"s", b"sub"),
    ("acknowledge_topic_through", b"s", b"sub", 0), ("reset_topic_subscription", b"s", b"sub", 0),
    ("topic_subscription_offset", b"s", b"sub"), ("trim_stream", b"s", 1),
]


@pytest.mark.parametrize("name, args", [(c[0], c[1:]) for c in SLOT_CALLS], ids=[c[0] for c in SLOT_CALLS])
@pytest.mark.parametrize("state", ["closed", "busy"])
def test_a_closed_or_busy_store_refuses_every_call(store, store_path, tmp_path, monkeypatch, name, args, state):
    monkeypatch.chdir(tmp_path)
    store.put(b"k", b"v")
    if state == "closed":
        store.close()
    else:
        t = store.transaction()
    before = snapshot(store_path)
    busy = "a transaction is already active" if name == "transaction" else BUSY
    with raises_exactly(*((_native.StoreClosedError, CLOSED) if state == "closed" else (_native.StoreBusyError, busy))):
        getattr(store, name)(*args)
    assert snapshot(store_path) == before and os.listdir(tmp_path) == ["store.omb"]
    if state == "busy":
        t.rollback()


def test_with_block_closes_even_on_exception(store_path):
    with pytest.raises(KeyError):
        with Store.open(str(store_path)) as s:
            s.put(b"k", b"v")
            raise KeyError("boom")
    with raises_exactly(_native.StoreClosedError, CLOSED):
        s.get(b"k")
    assert s.close() is None and s.close() is None and s.__enter__() is s
    assert s.__exit__(ValueError, ValueError("x"), None) is False
    with Store.open(str(store_path)) as again:  # the writer lock went with it
        assert again.get(b"k") == b"v"


def test_dropping_the_last_reference_closes(store_path):
    s = Store.open(str(store_path))
    s.put(b"k", b"v")
    del s
    gc.collect()
    with Store.open(str(store_path)) as s:
        assert s.get(b"k") == b"v"


@pytest.mark.parametrize("cls", [Store, _native.VerificationReport])
def test_classes_cannot_be_instantiated_directly(cls):
    for make in (cls, lambda: cls.__new__(cls)):
        with pytest.raises(TypeError):
            make()


@pytest.mark.parametrize("how, name", [("open", "."), ("open", "no/such.omb"), ("verify", "."),
                                       ("verify", "no/such.omb"), ("verify", "missing.omb")])
def test_directory_or_missing_path_is_an_io_error_and_creates_nothing(tmp_path, how, name):
    with raises_exactly(_native.IoError) as info:
        getattr(Store, how)(str(tmp_path / name))
    assert str(info.value).startswith("I/O error: ")
    assert list(tmp_path.iterdir()) == []
