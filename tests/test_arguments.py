"""Conversion of Python arguments: wrong types and values raise Python's own exceptions,
in argument order, before anything is created or written."""

from __future__ import annotations

import os
import pathlib

import pytest

from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store
DURABILITY = "durability must be one of: 'strict', 'data', 'relaxed'"


class PathLike:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


@pytest.mark.parametrize("bad", [bytearray(b"k"), "k", None], ids=["bytearray", "str", "None"])
@pytest.mark.parametrize(
    "call, argname",
    [
        pytest.param(lambda s, bad: s.get(bad), "key", id="get"),
        pytest.param(lambda s, bad: s.contains(bad), "key", id="contains"),
        pytest.param(lambda s, bad: s.put(bad, b"v"), "key", id="put-key"),
        pytest.param(lambda s, bad: s.put(b"k", bad), "value", id="put-value"),
        pytest.param(lambda s, bad: s.delete(bad), "key", id="delete"),
        pytest.param(lambda s, bad: s.scan_prefix(bad), "prefix", id="scan_prefix"),
    ],
)
def test_byte_string_arguments_refuse_other_types(store, store_path, call, argname, bad):
    store.put(b"k", b"v")
    before = snapshot(store_path)
    with raises_exactly(TypeError) as info:
        call(store, bad)
    assert argname in str(info.value)
    assert snapshot(store_path) == before and store.get(b"k") == b"v"


@pytest.mark.parametrize(
    "call, fragment",
    [
        (lambda s, p: s.put(b"k", b"v", val=b"x"), "got an unexpected keyword argument 'val'"),
        (lambda s, p: s.put(b"k", b"v", key=b"x"), "got multiple values for argument 'key'"),
        (lambda s, p: s.changes_after(5, after_tx_id=1), "got multiple values for argument 'after_tx_id'"),
        (lambda s, p: s.prune_changes_through(1, tx_id=1), "got multiple values for argument 'tx_id'"),
        (lambda s, p: Store.open(p, path=p), "got multiple values for argument 'path'"),
        (lambda s, p: Store.open(p, durabilty="data"), "got an unexpected keyword argument 'durabilty'"),
        (lambda s, p: Store.open(p, "data"), ""),  # keyword-only
        (lambda s, p: s.put(b"k"), ""),
        (lambda s, p: s.get(b"k", b"extra"), ""),
        (lambda s, p: s.close(1), ""),
        (lambda s, p: s.changes_after(None, 5, 6), ""),
    ],
)
def test_call_shape_errors(store, store_path, tmp_path, call, fragment):
    before = snapshot(store_path)
    with raises_exactly(TypeError) as info:
        call(store, str(tmp_path / "other.omb"))
    assert fragment in str(info.value)
    assert snapshot(store_path) == before and not (tmp_path / "other.omb").exists()


def test_arguments_are_accepted_by_name(store_path):
    with Store.open(path=str(store_path), durability="strict", repair_torn_tail=False,
                    max_bytes=2**64 - 1, namespace_max_bytes=2**64 - 1) as store:
        store.put(key=b"k", value=b"v")
        assert store.get(key=b"k") == b"v" and store.contains(key=b"k")
        assert store.scan_prefix(prefix=b"k") == [(b"k", b"v")]
        assert len(store.changes_after(after_tx_id=None, limit=5)) == 1
        assert len(store.changes_for_transaction(tx_id=1)) == 1
        assert store.prune_changes_through(tx_id=1, limit=1) == 1
        store.delete(key=b"k")
        assert store.get(b"k") is None


OPEN_FAILURES = [
    pytest.param(dict(max_bytes=0), ValueError, "max_bytes must be positive", id="max_bytes-0"),
    pytest.param(dict(namespace_max_bytes=0), ValueError, "namespace_max_bytes must be positive", id="ns-0"),
    pytest.param(dict(max_bytes=0, durability="bogus"), ValueError, "max_bytes must be positive",
                 id="quota-before-durability"),
    pytest.param(dict(namespace_max_bytes=0, durability="Data"), ValueError, "namespace_max_bytes must be positive",
                 id="ns-before-durability"),
    pytest.param(dict(max_bytes=0, namespace_max_bytes=0), ValueError, "max_bytes must be positive",
                 id="max-before-ns"),
    pytest.param(dict(durability="Data"), ValueError, DURABILITY, id="durability-Data"),
    pytest.param(dict(durability="data\0"), ValueError, DURABILITY, id="durability-nul"),
    pytest.param(dict(durability=b"data"), TypeError, None, id="durability-bytes"),
    pytest.param(dict(repair_torn_tail=1), TypeError, None, id="repair-int"),
    pytest.param(dict(repair_torn_tail=None), TypeError, None, id="repair-None"),
    pytest.param(dict(max_bytes=-1), OverflowError, None, id="max_bytes-negative"),
    pytest.param(dict(max_bytes=2**64), OverflowError, None, id="max_bytes-2**64"),
    pytest.param(dict(namespace_max_bytes=-1), OverflowError, None, id="ns-negative"),
    pytest.param(dict(namespace_max_bytes=2**64), OverflowError, None, id="ns-2**64"),
    pytest.param(dict(max_bytes=1.5), TypeError, None, id="max_bytes-float"),
    # Conversion happens in signature order, and before the value checks.
    pytest.param(dict(durability=1, max_bytes=0), TypeError, None, id="conversion-before-value-checks"),
    pytest.param(dict(max_bytes=-1, durability="bogus"), OverflowError, None, id="overflow-before-durability"),
    pytest.param(dict(repair_torn_tail=None, max_bytes=-1), TypeError, None, id="repair-before-max_bytes"),
    pytest.param(dict(bogus=1), TypeError, None, id="unknown-keyword"),
]


@pytest.mark.parametrize("kwargs, cls, message", OPEN_FAILURES)
def test_open_argument_failures_create_nothing(tmp_path, kwargs, cls, message):
    with raises_exactly(cls, message):
        Store.open(str(tmp_path / "store.omb"), **kwargs)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("make", [lambda p: p, str, lambda p: PathLike(str(p))], ids=["pathlib", "str", "pathlike"])
def test_path_forms_are_accepted(store_path, make):
    with Store.open(make(store_path)) as s:
        s.put(b"k", b"v")
    assert Store.verify(make(store_path)).keys == 2


@pytest.mark.parametrize(
    "bad", [os.fsencode, lambda p: PathLike(os.fsencode(p)), lambda p: None, lambda p: 3],
    ids=["bytes", "pathlike-bytes", "None", "int-descriptor"],
)
@pytest.mark.parametrize("how", ["open", "verify"])
def test_other_path_types_are_refused(tmp_path, bad, how):
    with raises_exactly(TypeError) as info:
        getattr(Store, how)(bad(str(tmp_path / "store.omb")))
    assert "path" in str(info.value)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("how", ["open", "verify"])
def test_embedded_nul_never_reaches_another_file(tmp_path, how):
    # The name must not be silently cut at the NUL byte.
    Store.open(str(tmp_path / "a")).close()
    before = snapshot(tmp_path / "a")
    with pytest.raises((ValueError, TypeError, _native.OmbrelStoreError)):
        getattr(Store, how)(str(tmp_path / "a\0b"))
    assert os.listdir(tmp_path) == ["a"] and snapshot(tmp_path / "a") == before
    Store.open(str(tmp_path / "a")).close()  # and it is not left held


def test_undecodable_file_names_use_the_filesystem_encoding(tmp_path):
    raw_name = b"st\xffore-\xc3\xa9.omb"
    path = os.path.join(str(tmp_path), os.fsdecode(raw_name))
    with Store.open(path) as s:
        s.put(b"k", b"v")
    assert os.listdir(os.fsencode(str(tmp_path))) == [raw_name]
    assert Store.verify(pathlib.Path(path)).keys == 2


@pytest.mark.parametrize(
    "call, cls",
    [
        pytest.param(lambda s: s.changes_after(after_tx_id=-1), OverflowError, id="after-negative"),
        pytest.param(lambda s: s.changes_after(after_tx_id=2**64), OverflowError, id="after-2**64"),
        pytest.param(lambda s: s.changes_after(limit=-1), OverflowError, id="limit-negative"),
        pytest.param(lambda s: s.changes_after(limit=None), TypeError, id="limit-None"),
        pytest.param(lambda s: s.changes_for_transaction(2**64), OverflowError, id="for-2**64"),
        pytest.param(lambda s: s.changes_for_transaction("1"), TypeError, id="for-str"),
        pytest.param(lambda s: s.prune_changes_through(-1), OverflowError, id="prune-negative"),
        pytest.param(lambda s: s.prune_changes_through(5, limit=2**64), OverflowError, id="prune-limit-2**64"),
        pytest.param(lambda s: s.prune_changes_through(None), TypeError, id="prune-None"),
    ],
)
def test_change_feed_integer_arguments(store, store_path, call, cls):
    store.put(b"k", b"v")
    before = snapshot(store_path)
    with raises_exactly(cls):
        call(store)
    assert snapshot(store_path) == before and len(store.changes_after()) == 1


def test_change_feed_integer_extremes_are_accepted(store):
    store.put(b"k", b"v")
    assert store.changes_after(after_tx_id=2**64 - 1, limit=2**64 - 1) == []
    assert len(store.changes_after(after_tx_id=0)) == 1
    assert store.changes_for_transaction(2**64 - 1) == [] and store.changes_for_transaction(0) == []
    assert store.prune_changes_through(0, limit=2**64 - 1) == 0
    assert store.prune_changes_through(2**64 - 1, limit=2**64 - 1) == 1
