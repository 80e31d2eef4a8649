"""Argument conversion: wrong types and values raise Python's own exceptions, in argument
order, before anything is created or written."""

import os
import pathlib

import pytest

from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store
DURABILITY = "durability must be one of: 'strict', 'data', 'relaxed'"
TOP = 2**64 - 1


class PathLike:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


BYTE_ARGS = [(lambda s, b: s.get(b), "key"), (lambda s, b: s.contains(b), "key"),
             (lambda s, b: s.put(b, b"v"), "key"), (lambda s, b: s.put(b"k", b), "value"),
             (lambda s, b: s.delete(b), "key"), (lambda s, b: s.scan_prefix(b), "prefix")]
INT_ARGS = [  # (method, args, kwargs, exception)
    ("changes_after", (), dict(after_tx_id=-1), OverflowError), ("changes_after", (), dict(limit=None), TypeError),
    ("changes_after", (), dict(limit=1.0), TypeError), ("changes_for_transaction", (2**64,), {}, OverflowError),
    ("changes_for_transaction", ("1",), {}, TypeError), ("prune_changes_through", (-1,), {}, OverflowError),
    ("prune_changes_through", (5,), dict(limit=2**64), OverflowError),
]
SHAPES = [
    (lambda s, p: s.put(b"k", b"v", val=b"x"), "got an unexpected keyword argument 'val'"),
    (lambda s, p: s.put(b"k", b"v", key=b"x"), "got multiple values for argument 'key'"),
    (lambda s, p: s.changes_after(5, after_tx_id=1), "got multiple values for argument 'after_tx_id'"),
    (lambda s, p: s.prune_changes_through(1, tx_id=1), "got multiple values for argument 'tx_id'"),
    (lambda s, p: Store.open(p, path=p), "got multiple values for argument 'path'"),
    (lambda s, p: Store.open(p, durabilty="data"), "got an unexpected keyword argument 'durabilty'"),
    (lambda s, p: Store.open(p, "data"), ""), (lambda s, p: s.put(b"k"), ""), (lambda s, p: s.get(b"k", b"x"), ""),
    (lambda s, p: s.close(1), ""), (lambda s, p: s.changes_after(None, 5, 6), ""),
]


@pytest.mark.parametrize("bad", [bytearray(b"k"), "k", None])
@pytest.mark.parametrize("call, argname", BYTE_ARGS)
def test_byte_string_arguments_refuse_other_types(store, store_path, call, argname, bad):
    store.put(b"k", b"v")
    before = snapshot(store_path)
    with raises_exactly(TypeError) as info:
        call(store, bad)
    assert argname in str(info.value)
    assert snapshot(store_path) == before and store.get(b"k") == b"v"


def test_bytes_subclasses_are_accepted(store):
    class Sub(bytes):
        pass

    store.put(Sub(b"k"), Sub(b"v"))
    assert store.get(Sub(b"k")) == b"v" and type(store.get(Sub(b"k"))) is bytes
    [(key, value)] = store.scan_prefix(Sub(b"k"))
    assert (type(key), type(value)) == (bytes, bytes)


@pytest.mark.parametrize("name, args, kwargs, cls", INT_ARGS)
def test_integer_arguments_refuse_other_types_and_out_of_range(store, store_path, name, args, kwargs, cls):
    store.put(b"k", b"v")
    before = snapshot(store_path)
    with raises_exactly(cls):
        getattr(store, name)(*args, **kwargs)
    assert snapshot(store_path) == before and len(store.changes_after()) == 1


def test_integer_extremes_are_accepted(store):
    store.put(b"k", b"v")
    assert store.changes_after(after_tx_id=TOP, limit=TOP) == [] and len(store.changes_after(after_tx_id=0)) == 1
    assert store.changes_for_transaction(TOP) == [] and store.changes_for_transaction(0) == []
    assert store.prune_changes_through(0, limit=TOP) == 0 and store.prune_changes_through(TOP, limit=TOP) == 1


@pytest.mark.parametrize("call, fragment", SHAPES)
def test_call_shape_errors(store, store_path, tmp_path, call, fragment):
    before = snapshot(store_path)
    with raises_exactly(TypeError) as info:
        call(store, str(tmp_path / "other.omb"))
    assert fragment in str(info.value)
    assert snapshot(store_path) == before and not (tmp_path / "other.omb").exists()


def test_arguments_are_accepted_by_name(store_path):
    with Store.open(path=str(store_path), durability="strict", repair_torn_tail=False, max_bytes=TOP,
                    namespace_max_bytes=TOP) as store:
        store.put(key=b"k", value=b"v")
        assert store.get(key=b"k") == b"v" and store.contains(key=b"k")
        assert store.scan_prefix(prefix=b"k") == [(b"k", b"v")]
        assert len(store.changes_after(after_tx_id=None, limit=5)) == 1
        assert len(store.changes_for_transaction(tx_id=1)) == 1
        assert store.prune_changes_through(tx_id=1, limit=1) == 1
        store.delete(key=b"k")
        assert store.get(b"k") is None


OPEN_FAILURES = [
    (dict(max_bytes=0), ValueError, "max_bytes must be positive"),
    (dict(namespace_max_bytes=0), ValueError, "namespace_max_bytes must be positive"),
    (dict(max_bytes=0, durability="bogus"), ValueError, "max_bytes must be positive"),
    (dict(namespace_max_bytes=0, durability="Data"), ValueError, "namespace_max_bytes must be positive"),
    (dict(max_bytes=0, namespace_max_bytes=0), ValueError, "max_bytes must be positive"),
    (dict(durability="Data"), ValueError, DURABILITY), (dict(durability="data\0"), ValueError, DURABILITY),
    (dict(durability=b"data"), TypeError, None), (dict(repair_torn_tail=1), TypeError, None),
    (dict(repair_torn_tail=None), TypeError, None), (dict(max_bytes=1.5), TypeError, None),
    (dict(max_bytes=-1), OverflowError, None), (dict(max_bytes=2**64), OverflowError, None),
    (dict(namespace_max_bytes=-1), OverflowError, None), (dict(namespace_max_bytes=2**64), OverflowError, None),
    # Conversion happens in signature order, and before the value checks.
    (dict(durability=1, max_bytes=0), TypeError, None), (dict(max_bytes=-1, durability="bogus"), OverflowError, None),
    (dict(repair_torn_tail=None, max_bytes=-1), TypeError, None), (dict(bogus=1), TypeError, None),
]


@pytest.mark.parametrize("kwargs, cls, message", OPEN_FAILURES)
def test_open_argument_failures_create_nothing(tmp_path, kwargs, cls, message):
    with raises_exactly(cls, message):
        Store.open(str(tmp_path / "store.omb"), **kwargs)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("make", [lambda p: p, str, lambda p: PathLike(str(p))])
def test_path_forms_are_accepted(store_path, make):
    with Store.open(make(store_path)) as s:
        s.put(b"k", b"v")
    assert Store.verify(make(store_path)).keys == 2


@pytest.mark.parametrize("bad", [os.fsencode, lambda p: PathLike(os.fsencode(p)), lambda p: None, lambda p: 3])
@pytest.mark.parametrize("how", ["open", "verify"])
def test_other_path_types_are_refused(tmp_path, bad, how):
    with raises_exactly(TypeError) as info:
        getattr(Store, how)(bad(str(tmp_path / "store.omb")))
    assert "path" in str(info.value)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("how", ["open", "verify"])
def test_embedded_nul_never_reaches_another_file(tmp_path, how):
    Store.open(str(tmp_path / "a")).close()
    before = snapshot(tmp_path / "a")
    with pytest.raises((ValueError, TypeError, _native.OmbrelStoreError)):
        getattr(Store, how)(str(tmp_path / "a\0b"))  # must not be cut at the NUL byte
    assert os.listdir(tmp_path) == ["a"] and snapshot(tmp_path / "a") == before
    Store.open(str(tmp_path / "a")).close()  # and it is not left held


def test_undecodable_file_names_use_the_filesystem_encoding(tmp_path):
    raw_name = b"st\xffore-\xc3\xa9.omb"
    path = os.path.join(str(tmp_path), os.fsdecode(raw_name))
    with Store.open(path) as s:
        s.put(b"k", b"v")
    assert os.listdir(os.fsencode(str(tmp_path))) == [raw_name]
    assert Store.verify(pathlib.Path(path)).keys == 2
