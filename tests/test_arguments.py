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


NOT_BYTES = [
    pytest.param(bytearray(b"k"), id="bytearray"),
    pytest.param("k", id="str"),
    pytest.param(memoryview(b"k"), id="memoryview"),
    pytest.param(None, id="None"),
    pytest.param(1, id="int"),
    pytest.param([107], id="list"),
]

KEY_CALLS = [
    pytest.param("get", lambda s, bad: s.get(bad), "key", id="get"),
    pytest.param("contains", lambda s, bad: s.contains(bad), "key", id="contains"),
    pytest.param("put-key", lambda s, bad: s.put(bad, b"v"), "key", id="put-key"),
    pytest.param("put-value", lambda s, bad: s.put(b"k", bad), "value", id="put-value"),
    pytest.param("delete", lambda s, bad: s.delete(bad), "key", id="delete"),
    pytest.param("scan_prefix", lambda s, bad: s.scan_prefix(bad), "prefix", id="scan_prefix"),
]


@pytest.mark.parametrize("bad", NOT_BYTES)
@pytest.mark.parametrize("label, call, argname", KEY_CALLS)
def test_byte_string_arguments_refuse_other_types(store, store_path, label, call, argname, bad):
    store.put(b"k", b"v")
    before = snapshot(store_path)
    with raises_exactly(TypeError) as info:
        call(store, bad)
    assert argname in str(info.value)
    assert snapshot(store_path) == before
    assert store.get(b"k") == b"v"


@pytest.mark.parametrize(
    "call, fragment",
    [
        (lambda s: s.put(b"k", b"v", val=b"x"), "got an unexpected keyword argument 'val'"),
        (lambda s: s.get(b"k", default=None), "got an unexpected keyword argument 'default'"),
        (lambda s: s.put(b"k", b"v", key=b"x"), "got multiple values for argument 'key'"),
        (lambda s: s.scan_prefix(b"", prefix=b""), "got multiple values for argument 'prefix'"),
        (lambda s: s.changes_after(5, after_tx_id=1), "got multiple values for argument 'after_tx_id'"),
        (lambda s: s.prune_changes_through(1, tx_id=1), "got multiple values for argument 'tx_id'"),
        (lambda s: s.changes_after(limits=1), "got an unexpected keyword argument 'limits'"),
    ],
)
def test_keyword_errors(store, store_path, call, fragment):
    before = snapshot(store_path)
    with raises_exactly(TypeError) as info:
        call(store)
    assert fragment in str(info.value)
    assert snapshot(store_path) == before


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.put(b"k"),
        lambda s: s.put(b"k", b"v", b"extra"),
        lambda s: s.get(),
        lambda s: s.get(b"k", b"extra"),
        lambda s: s.close(1),
        lambda s: s.flush(None),
        lambda s: s.changes_for_transaction(),
        lambda s: s.changes_after(None, 5, 6),
    ],
)
def test_wrong_argument_counts(store, call):
    with raises_exactly(TypeError):
        call(store)


def test_keywords_are_accepted_by_name(store):
    store.put(key=b"k", value=b"v")
    assert store.get(key=b"k") == b"v"
    assert store.contains(key=b"k")
    assert store.scan_prefix(prefix=b"k") == [(b"k", b"v")]
    assert len(store.changes_after(after_tx_id=None, limit=5)) == 1
    assert len(store.changes_for_transaction(tx_id=1)) == 1
    assert store.prune_changes_through(tx_id=1, limit=1) == 1
    store.delete(key=b"k")
    assert store.get(b"k") is None


def test_open_accepts_keywords_and_defaults(store_path):
    Store.open(path=str(store_path)).close()
    Store.open(
        str(store_path), durability="strict", repair_torn_tail=False, max_bytes=None, namespace_max_bytes=None
    ).close()
    Store.open(str(store_path), max_bytes=2**64 - 1, namespace_max_bytes=2**64 - 1).close()


OPEN_FAILURES = [
    # (keyword arguments, exception class, exact message or None)
    pytest.param(dict(max_bytes=0), ValueError, "max_bytes must be positive", id="max_bytes-0"),
    pytest.param(dict(namespace_max_bytes=0), ValueError, "namespace_max_bytes must be positive", id="ns-0"),
    pytest.param(dict(max_bytes=0, durability="bogus"), ValueError, "max_bytes must be positive", id="quota-before-durability"),
    pytest.param(dict(namespace_max_bytes=0, durability="Data"), ValueError, "namespace_max_bytes must be positive", id="ns-before-durability"),
    pytest.param(dict(max_bytes=0, namespace_max_bytes=0), ValueError, "max_bytes must be positive", id="max-before-ns"),
    pytest.param(dict(durability="Data"), ValueError, DURABILITY, id="durability-Data"),
    pytest.param(dict(durability="DATA"), ValueError, DURABILITY, id="durability-DATA"),
    pytest.param(dict(durability=" data"), ValueError, DURABILITY, id="durability-space"),
    pytest.param(dict(durability=""), ValueError, DURABILITY, id="durability-empty"),
    pytest.param(dict(durability="data\0"), ValueError, DURABILITY, id="durability-nul"),
    pytest.param(dict(durability=b"data"), TypeError, None, id="durability-bytes"),
    pytest.param(dict(durability=None), TypeError, None, id="durability-None"),
    pytest.param(dict(durability=1), TypeError, None, id="durability-int"),
    pytest.param(dict(repair_torn_tail=1), TypeError, None, id="repair-int"),
    pytest.param(dict(repair_torn_tail=0), TypeError, None, id="repair-zero"),
    pytest.param(dict(repair_torn_tail=None), TypeError, None, id="repair-None"),
    pytest.param(dict(repair_torn_tail="true"), TypeError, None, id="repair-str"),
    pytest.param(dict(max_bytes=-1), OverflowError, None, id="max_bytes-negative"),
    pytest.param(dict(max_bytes=2**64), OverflowError, None, id="max_bytes-2**64"),
    pytest.param(dict(namespace_max_bytes=-1), OverflowError, None, id="ns-negative"),
    pytest.param(dict(namespace_max_bytes=2**64), OverflowError, None, id="ns-2**64"),
    pytest.param(dict(max_bytes=1.5), TypeError, None, id="max_bytes-float"),
    pytest.param(dict(max_bytes="10"), TypeError, None, id="max_bytes-str"),
    pytest.param(dict(namespace_max_bytes=b"1"), TypeError, None, id="ns-bytes"),
    # Conversion happens in signature order, and before the value checks.
    pytest.param(dict(durability=1, max_bytes=0), TypeError, None, id="conversion-before-value-checks"),
    pytest.param(dict(max_bytes=-1, durability="bogus"), OverflowError, None, id="overflow-before-durability"),
    pytest.param(dict(repair_torn_tail=None, max_bytes=-1), TypeError, None, id="repair-before-max_bytes"),
    pytest.param(dict(max_bytes=-1, namespace_max_bytes="x"), OverflowError, None, id="max_bytes-before-ns"),
    pytest.param(dict(bogus=1), TypeError, None, id="unknown-keyword"),
]


@pytest.mark.parametrize("kwargs, cls, message", OPEN_FAILURES)
def test_open_argument_failures_create_nothing(tmp_path, kwargs, cls, message):
    path = tmp_path / "store.omb"
    with raises_exactly(cls, message):
        Store.open(str(path), **kwargs)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("kwargs, cls, message", OPEN_FAILURES[:10])
def test_open_argument_failures_leave_an_existing_store_alone(fresh_file, kwargs, cls, message):
    before = snapshot(fresh_file)
    with raises_exactly(cls, message):
        Store.open(str(fresh_file), **kwargs)
    assert snapshot(fresh_file) == before
    Store.open(str(fresh_file)).close()  # and it is not held open


def test_open_keyword_errors(tmp_path):
    path = str(tmp_path / "store.omb")
    with raises_exactly(TypeError) as info:
        Store.open(path, path=path)
    assert "got multiple values for argument 'path'" in str(info.value)
    with raises_exactly(TypeError) as info:
        Store.open(path, durabilty="data")
    assert "got an unexpected keyword argument 'durabilty'" in str(info.value)
    with raises_exactly(TypeError):
        Store.open(path, "data")  # keyword-only
    with raises_exactly(TypeError):
        Store.open()
    assert list(tmp_path.iterdir()) == []


class TestPaths:
    @pytest.mark.parametrize(
        "make",
        [
            pytest.param(lambda p: p, id="pathlib"),
            pytest.param(lambda p: str(p), id="str"),
            pytest.param(lambda p: PathLike(str(p)), id="custom-pathlike"),
        ],
    )
    def test_path_forms_are_accepted(self, store_path, make):
        with Store.open(make(store_path)) as s:
            s.put(b"k", b"v")
        assert Store.verify(make(store_path)).keys == 2

    @pytest.mark.parametrize(
        "bad",
        [
            pytest.param(lambda p: os.fsencode(str(p)), id="bytes"),
            pytest.param(lambda p: PathLike(os.fsencode(str(p))), id="pathlike-returning-bytes"),
            pytest.param(lambda p: None, id="None"),
            pytest.param(lambda p: 3, id="int-descriptor"),
            pytest.param(lambda p: bytearray(os.fsencode(str(p))), id="bytearray"),
        ],
    )
    @pytest.mark.parametrize("how", ["open", "verify"])
    def test_other_path_types_are_refused(self, tmp_path, bad, how):
        path = tmp_path / "store.omb"
        with raises_exactly(TypeError) as info:
            getattr(Store, how)(bad(path))
        assert "path" in str(info.value)
        assert list(tmp_path.iterdir()) == []

    @pytest.mark.parametrize("how", ["open", "verify"])
    def test_embedded_nul_never_reaches_another_file(self, tmp_path, how):
        # The name must not be silently cut at the NUL byte.
        Store.open(str(tmp_path / "a")).close()
        before = sorted(tmp_path.iterdir())
        with pytest.raises((ValueError, TypeError, _native.OmbrelStoreError)):
            getattr(Store, how)(str(tmp_path / "a\0b"))
        assert sorted(tmp_path.iterdir()) == before
        Store.open(str(tmp_path / "a")).close()  # not left held

    def test_undecodable_file_names_use_the_filesystem_encoding(self, tmp_path):
        raw_name = b"st\xffore-\xc3\xa9.omb"
        path = os.path.join(str(tmp_path), os.fsdecode(raw_name))
        with Store.open(path) as s:
            s.put(b"k", b"v")
        assert os.listdir(os.fsencode(str(tmp_path))) == [raw_name]
        assert Store.verify(pathlib.Path(path)).keys == 2


INT_ARGUMENT_FAILURES = [
    pytest.param(lambda s: s.changes_after(after_tx_id=-1), OverflowError, id="after-negative"),
    pytest.param(lambda s: s.changes_after(after_tx_id=2**64), OverflowError, id="after-2**64"),
    pytest.param(lambda s: s.changes_after(limit=-1), OverflowError, id="limit-negative"),
    pytest.param(lambda s: s.changes_after(limit=2**64), OverflowError, id="limit-2**64"),
    pytest.param(lambda s: s.changes_after(after_tx_id=b"1"), TypeError, id="after-bytes"),
    pytest.param(lambda s: s.changes_after(limit=1.0), TypeError, id="limit-float"),
    pytest.param(lambda s: s.changes_after(limit=None), TypeError, id="limit-None"),
    pytest.param(lambda s: s.changes_for_transaction(-1), OverflowError, id="for-negative"),
    pytest.param(lambda s: s.changes_for_transaction(2**64), OverflowError, id="for-2**64"),
    pytest.param(lambda s: s.changes_for_transaction("1"), TypeError, id="for-str"),
    pytest.param(lambda s: s.changes_for_transaction(None), TypeError, id="for-None"),
    pytest.param(lambda s: s.prune_changes_through(-1), OverflowError, id="prune-negative"),
    pytest.param(lambda s: s.prune_changes_through(2**64), OverflowError, id="prune-2**64"),
    pytest.param(lambda s: s.prune_changes_through(5, limit=-1), OverflowError, id="prune-limit-negative"),
    pytest.param(lambda s: s.prune_changes_through(5, limit=2**64), OverflowError, id="prune-limit-2**64"),
    pytest.param(lambda s: s.prune_changes_through(None), TypeError, id="prune-None"),
    pytest.param(lambda s: s.prune_changes_through(5, limit="1"), TypeError, id="prune-limit-str"),
]


@pytest.mark.parametrize("call, cls", INT_ARGUMENT_FAILURES)
def test_change_feed_integer_arguments(store, store_path, call, cls):
    store.put(b"k", b"v")
    before = snapshot(store_path)
    with raises_exactly(cls):
        call(store)
    assert snapshot(store_path) == before
    assert len(store.changes_after()) == 1


def test_change_feed_integer_extremes_are_accepted(store):
    store.put(b"k", b"v")
    assert store.changes_after(after_tx_id=2**64 - 1, limit=2**64 - 1) == []
    assert store.changes_after(after_tx_id=0) != []
    assert store.changes_for_transaction(2**64 - 1) == []
    assert store.changes_for_transaction(0) == []
    assert store.prune_changes_through(0, limit=2**64 - 1) == 0
    assert store.prune_changes_through(2**64 - 1, limit=2**64 - 1) == 1
