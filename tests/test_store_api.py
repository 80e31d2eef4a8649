"""The Store class: key-value semantics, ordering, reserved keys, lifecycle and the
published method signatures."""

from __future__ import annotations

import gc
import inspect
import threading

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store

RESERVED = "keys beginning with the Ombrel Store internal namespace are reserved"
CLOSED = "store is closed"


def user_items(store):
    return [(k, v) for k, v in store.scan_prefix(b"") if not k.startswith(sf.INTERNAL_PREFIX)]


class TestKeyValue:
    def test_get_of_unknown_key_is_none(self, store):
        assert store.get(b"never") is None
        assert store.contains(b"never") is False

    @pytest.mark.parametrize(
        "key, value",
        [
            (b"k", b"v"),
            (b"", b"value under the empty key"),
            (b"empty value", b""),
            (b"\x00\x01\xff", bytes(range(256))),
            (b"big", b"\xa5" * (1 << 20)),
            (bytes(range(256)) * 8, b"long key"),
        ],
        ids=["plain", "empty-key", "empty-value", "binary", "1MiB-value", "2KiB-key"],
    )
    def test_put_get_roundtrip_and_persistence(self, store_path, open_store, key, value):
        s = open_store()
        assert s.put(key, value) is None
        got = s.get(key)
        assert type(got) is bytes and got == value
        assert s.contains(key) is True
        s.close()
        s = open_store()
        assert s.get(key) == value

    def test_put_replaces(self, store):
        store.put(b"k", b"first")
        store.put(b"k", b"second, longer")
        store.put(b"k", b"3")
        assert store.get(b"k") == b"3"
        assert user_items(store) == [(b"k", b"3")]

    def test_delete(self, store):
        store.put(b"k", b"v")
        store.put(b"other", b"w")
        assert store.delete(b"k") is None
        assert store.get(b"k") is None and store.contains(b"k") is False
        assert store.delete(b"k") is None  # absent: still fine
        assert store.delete(b"never existed") is None
        assert user_items(store) == [(b"other", b"w")]

    def test_results_are_fresh_bytes_objects(self, store):
        value = b"a value long enough not to be interned"
        store.put(b"k", value)
        first, second = store.get(b"k"), store.get(b"k")
        assert first == second == value
        assert first is not second and first is not value
        (key, got), = user_items(store)
        assert type(key) is bytes and type(got) is bytes

    def test_bytes_subclasses_are_accepted(self, store):
        class Sub(bytes):
            pass

        store.put(Sub(b"key"), Sub(b"value"))
        got = store.get(Sub(b"key"))
        assert got == b"value" and type(got) is bytes
        assert store.contains(Sub(b"key"))
        assert store.scan_prefix(Sub(b"ke")) == [(b"key", b"value")]
        store.delete(Sub(b"key"))
        assert store.get(b"key") is None

    @pytest.mark.parametrize("durability", ["strict", "data", "relaxed"])
    def test_every_durability_writes_and_flushes(self, open_store, durability):
        s = open_store(durability=durability)
        s.put(b"k", durability.encode())
        assert s.flush() is None
        s.close()
        assert open_store().get(b"k") == durability.encode()

    def test_concurrent_threads_are_serialised(self, open_store):
        s = open_store(durability="relaxed")
        errors = []

        def writer(n):
            try:
                for i in range(50):
                    s.put(b"t%d-%03d" % (n, i), b"%d" % i)
                    assert s.get(b"t%d-%03d" % (n, i)) == b"%d" % i
            except Exception as exc:  # pragma: no cover - reported below
                errors.append(exc)

        threads = [threading.Thread(target=writer, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert len(user_items(s)) == 200
        tx_ids = [c["tx_id"] for c in s.changes_after(limit=1000)]
        assert tx_ids == list(range(1, 201))


class TestScanPrefix:
    def test_prefix_selects_and_sorts(self, store):
        for key in (b"ab", b"a", b"b", b"aa"):
            store.put(key, key.upper())
        assert store.scan_prefix(b"a") == [(b"a", b"A"), (b"aa", b"AA"), (b"ab", b"AB")]
        assert store.scan_prefix(b"ab") == [(b"ab", b"AB")]
        assert store.scan_prefix(b"abc") == []
        assert store.scan_prefix(b"c") == []

    def test_result_is_a_list_of_pairs(self, store):
        store.put(b"k", b"v")
        result = store.scan_prefix(b"k")
        assert type(result) is list
        assert type(result[0]) is tuple and len(result[0]) == 2

    def test_bytes_compare_unsigned_and_shorter_first(self, store):
        keys = [b"\x80", b"\x7f", b"\x00", b"\xfe", b"\x01\xff", b"\x01", b"", b"\x01\x00", b"\xff", b"\xff\x00"]
        for key in keys:
            store.put(key, b"")
        assert [k for k, _ in user_items(store)] == sorted(keys)

    def test_empty_prefix_lists_internal_keys_after_low_user_keys(self, store):
        user = [b"zz", b"", b"\xfe\xff", b"\xffa", b"\xffomb", b"\xffomb;", b"\xffzz"]
        for key in user:
            store.put(key, b"u")
        everything = store.scan_prefix(b"")
        keys = [k for k, _ in everything]
        assert keys == sorted(keys)
        internal = [k for k in keys if k.startswith(sf.INTERNAL_PREFIX)]
        assert internal == [sf.change_key(tx, 0) for tx in range(1, len(user) + 1)]
        # Every user key below 0xFF comes before the first internal key.
        first_internal = keys.index(internal[0])
        assert set(keys[:first_internal]) >= {b"zz", b"", b"\xfe\xff"}
        assert keys[-1] == b"\xffzz"  # 'z' sorts after "omb:"

    def test_internal_prefix_scans_and_reads_are_allowed(self, store):
        store.put(b"k", b"v")
        key = sf.change_key(1, 0)
        value = sf.encode_change_put(1, 0, b"k", b"v")
        assert store.scan_prefix(sf.INTERNAL_PREFIX) == [(key, value)]
        assert store.scan_prefix(b"\xff") == [(key, value)]
        assert store.get(key) == value
        assert store.contains(key) is True


class TestReservedKeys:
    @pytest.mark.parametrize(
        "key", [b"\xffomb:x", b"\xffomb:", b"\xffomb:cdc:change:" + bytes(12), b"\xffomb:q:anything"]
    )
    @pytest.mark.parametrize("op", ["put", "delete"])
    def test_internal_keys_are_refused_and_nothing_is_written(self, store, store_path, key, op):
        before = snapshot(store_path)
        with raises_exactly(_native.ReservedKeyError, RESERVED):
            if op == "put":
                store.put(key, b"v")
            else:
                store.delete(key)
        assert snapshot(store_path) == before
        assert store.get(key) is None
        assert store.changes_after() == []

    def test_refused_write_does_not_disturb_existing_internal_key(self, store):
        store.put(b"k", b"v")
        key = sf.change_key(1, 0)
        with pytest.raises(_native.ReservedKeyError):
            store.delete(key)
        with pytest.raises(_native.ReservedKeyError):
            store.put(key, b"forged")
        assert store.get(key) == sf.encode_change_put(1, 0, b"k", b"v")

    def test_refused_write_consumes_a_transaction_id(self, store):
        with pytest.raises(_native.ReservedKeyError):
            store.put(b"\xffomb:x", b"v")
        store.put(b"k", b"v")
        assert [c["tx_id"] for c in store.changes_after()] == [2]

    @pytest.mark.parametrize("key", [b"\xffomb", b"\xffomb;", b"omb:x", b"\xff", b"\xffOMB:x", b"\xfeomb:x", b"x\xffomb:"])
    def test_near_misses_are_user_keys(self, store, key):
        store.put(key, b"v")
        assert store.get(key) == b"v"
        assert store.changes_after()[0]["key"] == key
        store.delete(key)
        assert store.contains(key) is False


# --------------------------------------------------------------------------- lifecycle

CALLS_AFTER_CLOSE = [
    ("flush", ()),
    ("get", (b"k",)),
    ("contains", (b"k",)),
    ("put", (b"k", b"v")),
    ("delete", (b"k",)),
    ("scan_prefix", (b"",)),
    ("transaction", ()),
    ("changes_after", ()),
    ("changes_for_transaction", (1,)),
    ("prune_changes_through", (1,)),
]


class TestLifecycle:
    @pytest.mark.parametrize("name, args", CALLS_AFTER_CLOSE, ids=[c[0] for c in CALLS_AFTER_CLOSE])
    def test_methods_of_a_closed_store_raise(self, store, store_path, name, args):
        if not hasattr(Store, name):
            pytest.skip(f"Store.{name} is not available in this build")
        store.put(b"k", b"v")
        store.close()
        before = snapshot(store_path)
        with raises_exactly(_native.StoreClosedError, CLOSED):
            getattr(store, name)(*args)
        assert snapshot(store_path) == before

    def test_close_is_idempotent_and_enter_still_returns_the_store(self, store):
        assert store.close() is None
        assert store.close() is None
        assert store.__enter__() is store
        assert store.__exit__(None, None, None) is False

    def test_close_releases_the_file(self, store_path, open_store):
        open_store().close()
        s = open_store()
        s.put(b"k", b"v")

    def test_with_block_closes_and_returns_the_store(self, store_path):
        with Store.open(str(store_path)) as s:
            assert isinstance(s, Store)
            s.put(b"k", b"v")
        with raises_exactly(_native.StoreClosedError, CLOSED):
            s.get(b"k")
        with Store.open(str(store_path)) as again:
            assert again.get(b"k") == b"v"

    def test_with_block_closes_on_exception_and_lets_it_propagate(self, store_path):
        class Boom(Exception):
            pass

        with pytest.raises(Boom):
            with Store.open(str(store_path)) as s:
                s.put(b"k", b"v")
                raise Boom()
        with raises_exactly(_native.StoreClosedError, CLOSED):
            s.get(b"k")
        Store.open(str(store_path)).close()

    def test_exit_returns_false_and_closes(self, store):
        assert store.__exit__(ValueError, ValueError("x"), None) is False
        with pytest.raises(_native.StoreClosedError):
            store.contains(b"k")

    def test_dropping_the_last_reference_closes(self, store_path):
        s = Store.open(str(store_path))
        s.put(b"k", b"v")
        del s
        gc.collect()
        with Store.open(str(store_path)) as s:
            assert s.get(b"k") == b"v"

    def test_failed_open_leaves_the_path_free(self, tmp_path):
        bad = tmp_path / "bad.omb"
        bad.write_bytes(b"x" * 64)
        with pytest.raises(_native.CorruptionError):
            Store.open(str(bad))
        bad.unlink()
        Store.open(str(bad)).close()

    @pytest.mark.parametrize("cls_name", ["Store", "VerificationReport"])
    def test_classes_cannot_be_instantiated_directly(self, cls_name):
        cls = getattr(_native, cls_name)
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            cls.__new__(cls)

    def test_opening_a_directory_or_missing_parent_fails_cleanly(self, tmp_path):
        with pytest.raises(_native.IoError) as info:
            Store.open(str(tmp_path))
        assert str(info.value).startswith("I/O error: ")
        missing = tmp_path / "no" / "such" / "dir.omb"
        with pytest.raises(_native.IoError):
            Store.open(str(missing))
        assert not (tmp_path / "no").exists()


SIGNATURES = [
    ("open", "(path, *, durability='data', repair_torn_tail=True, max_bytes=None, namespace_max_bytes=None)", None),
    ("verify", "(path)", None),
    ("close", "(self, /)", "()"),
    ("flush", "(self, /)", "()"),
    ("get", "(self, /, key)", "(key)"),
    ("contains", "(self, /, key)", "(key)"),
    ("put", "(self, /, key, value)", "(key, value)"),
    ("delete", "(self, /, key)", "(key)"),
    ("scan_prefix", "(self, /, prefix)", "(prefix)"),
    ("transaction", "(self, /)", "()"),
    ("__enter__", "(self, /)", "()"),
    ("__exit__", "(self, /, _exc_type, _exc_value, _traceback)", "(_exc_type, _exc_value, _traceback)"),
    ("changes_after", "(self, /, after_tx_id=None, limit=100)", "(after_tx_id=None, limit=100)"),
    ("changes_for_transaction", "(self, /, tx_id)", "(tx_id)"),
    ("prune_changes_through", "(self, /, tx_id, limit=100)", "(tx_id, limit=100)"),
]


@pytest.mark.parametrize("name, unbound, bound", SIGNATURES, ids=[s[0] for s in SIGNATURES])
def test_published_signatures(store, name, unbound, bound):
    if not hasattr(Store, name):
        pytest.skip(f"Store.{name} is not available in this build")
    assert str(inspect.signature(getattr(Store, name))) == unbound
    if bound is not None:
        assert str(inspect.signature(getattr(store, name))) == bound
