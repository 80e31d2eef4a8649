"""The Transaction class: staging and read-your-writes, all-or-nothing commit, rollback, with-blocks, dropping."""

from __future__ import annotations

import gc

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native
from test_collections import craft, definition_value, meta_key, record_key

Store = _native.Store
Error = _native.OmbrelStoreError
Finished = _native.TransactionFinishedError
FINISHED = "transaction is finished"
RESERVED = "keys beginning with the Ombrel Store internal namespace are reserved"


def stage(t, *ops):
    for name, *args in ops:
        assert getattr(t, name)(*args) is None


def user_items(view):
    return [(k, v) for k, v in view.scan_prefix(b"") if not k.startswith(sf.INTERNAL_PREFIX)]


def test_reads_see_staged_writes_and_the_store_sees_nothing_before_commit(store):
    for key, value in [(b"a", b"committed"), (b"gone", b"x"), (b"p\x01", b"c")]:
        store.put(key, value)
    t = store.transaction()
    stage(t, ("put", b"k", b"1"), ("put", b"k", b"2"), ("delete", b"gone"), ("put", b"b", b"new"), ("delete", b"b"),
          ("put", b"a", b"replaced"))
    assert t.get(b"k") == b"2" and t.contains(b"k") is True
    assert t.get(b"b") is None and t.contains(b"b") is False
    assert t.get(b"gone") is None and t.contains(b"gone") is False
    assert t.get(b"a") == b"replaced" and t.get(b"never") is None
    assert user_items(t) == [(b"a", b"replaced"), (b"k", b"2"), (b"p\x01", b"c")]
    assert t.scan_prefix(b"k") == [(b"k", b"2")] and t.scan_prefix(b"z") == []
    stage(t, *[("put", key, b"t") for key in (b"p\xff", b"p", b"p\x00", b"p\x80")])
    assert [k for k, _ in t.scan_prefix(b"p")] == [b"p", b"p\x00", b"p\x01", b"p\x80", b"p\xff"]  # unsigned order
    t.rollback()
    assert user_items(store) == [(b"a", b"committed"), (b"gone", b"x"), (b"p\x01", b"c")]


def test_commit_applies_in_order_and_survives_reopen(open_store):
    s = open_store()
    s.create_collection(b"c")
    s.define_index(b"c", b"i", unique=True)
    t = s.transaction()
    t.upsert_record(b"c", b"r1", b"one", indexes=[(b"i", b"x")])
    t.upsert_record(b"c", b"r1", b"two", indexes=[(b"i", b"x")])  # sees the first upsert: no violation
    stage(t, ("put", b"k", b"v"), ("upsert_record", b"c", b"r2", b"tmp"), ("delete_record", b"c", b"r2"),
          ("delete_record", b"c", b"never"))
    assert t.commit_with_results() == {}
    s.close()
    s = open_store()
    assert s.get(b"k") == b"v" and s.scan_collection(b"c") == [(b"r1", b"two", [(b"i", b"x")])]
    assert s.query_index_exact(b"c", b"i", b"x")[0][0] == b"r1"
    assert len({c["tx_id"] for c in s.changes_after(limit=1000)[3:]}) == 1  # one engine transaction wrote it all


@pytest.mark.parametrize("stage_bad, exc, message", [
    (lambda t: t.put(b"\xffomb:x", b"v"), _native.ReservedKeyError, RESERVED),
    (lambda t: t.delete(b"\xffomb:"), _native.ReservedKeyError, RESERVED),
    (lambda t: t.upsert_record(b"nope", b"k", b"v"), Error, "collection does not exist"),
    (lambda t: t.upsert_record(b"c", b"k", b"v", indexes=[(b"i", b"taken")]), Error, "unique index violation"),
    (lambda t: t.delete_record(b"c", b"corrupt"), Error, "collection record is corrupt or unsupported"),
])
def test_a_failing_operation_stops_commit_and_nothing_is_visible(store_path, stage_bad, exc, message):
    craft(store_path, [(meta_key(b"c"), definition_value(1)), (record_key(b"c", b"corrupt"), b"\x01")])
    with Store.open(str(store_path)) as s:
        s.define_index(b"c", b"i", unique=True)
        s.upsert_record(b"c", b"holder", b"", indexes=[(b"i", b"taken")])
        before = s.scan_prefix(b"")
        t = s.transaction()
        t.put(b"first", b"1")
        t.upsert_record(b"c", b"new", b"v")
        assert stage_bad(t) is None  # nothing is checked when staged
        t.put(b"after", b"2")
        with raises_exactly(exc, message):
            t.commit()
        assert s.scan_prefix(b"") == before  # the store is back and unchanged
        s.put(b"later", b"x")
        with raises_exactly(Finished, FINISHED):
            t.commit()
    with Store.open(str(store_path)) as s:
        assert s.get(b"first") is None and s.get_record(b"c", b"new") is None and s.get(b"later") == b"x"


@pytest.mark.parametrize("key, raised, exc, message, stored", [
    (b"k", None, None, None, b"v"),
    (b"k", KeyError("boom"), KeyError, "boom", None),  # rolled back, the block's exception propagates
    (b"\xffomb:k", None, _native.ReservedKeyError, RESERVED, None),  # the commit error propagates
])
def test_with_block(store, key, raised, exc, message, stored):
    def block():
        with store.transaction() as t:
            assert t.__enter__() is t
            t.put(key, b"v")
            if raised:
                raise raised

    if exc is None:
        block()
    else:
        with raises_exactly(exc, message):
            block()
    assert store.get(b"k") == stored
    store.put(b"ok", b"")  # the store is back in its slot


CALLS = [("get", b"k"), ("contains", b"k"), ("scan_prefix", b""), ("put", b"k", b"v"), ("delete", b"k"),
         ("upsert_record", b"c", b"k", b"v"), ("delete_record", b"c", b"k"), ("commit",), ("commit_with_results",),
         ("rollback",)]


@pytest.mark.parametrize("first", ["commit", "rollback", "commit_with_results"])
@pytest.mark.parametrize("name, args", [(c[0], c[1:]) for c in CALLS], ids=[c[0] for c in CALLS])
def test_finished_transaction_refuses_every_method(store, first, name, args):
    t = store.transaction()
    getattr(t, first)()
    with raises_exactly(Finished, FINISHED):
        getattr(t, name)(*args)
    assert store.get(b"k") is None and t.__enter__() is t
    assert t.__exit__(None, None, None) is False and t.__exit__(KeyError, KeyError("x"), None) is False


def test_empty_commits(store):
    assert type(store.transaction()) is _native.Transaction
    assert store.transaction().commit() is None and store.transaction().commit_with_results() == {}
    store.put(b"k", b"v")
    assert [c["tx_id"] for c in store.changes_after()] == [3]  # each empty commit took a transaction id
    with pytest.raises(TypeError):
        _native.Transaction()


def test_dropping_a_live_transaction_gives_the_store_back_unchanged(store, store_path):
    store.put(b"k", b"v")
    before = snapshot(store_path)
    t = store.transaction()
    t.put(b"k", b"changed")
    t.upsert_record(b"c", b"k", b"v")
    del t
    gc.collect()
    assert snapshot(store_path) == before and store.get(b"k") == b"v"
    with store.transaction() as again:
        again.put(b"k", b"2")
    assert store.get(b"k") == b"2"


def test_store_is_busy_while_a_transaction_holds_it(store):
    t = store.transaction()
    for call, message in [(lambda: store.get(b"k"), "store is exclusively borrowed by an active transaction"),
                          (lambda: store.put(b"k", b"v"), "store is exclusively borrowed by an active transaction"),
                          (store.transaction, "a transaction is already active"),
                          (store.close, "cannot close store while a transaction is active")]:
        with raises_exactly(_native.StoreBusyError, message):
            call()
    t.put(b"k", b"v")
    t.commit()
    assert store.get(b"k") == b"v"
    store.close()
    with raises_exactly(_native.StoreClosedError, "store is closed"):
        store.transaction()


@pytest.mark.parametrize("finish", ["commit", "rollback", "failed commit"])
def test_transaction_outlives_its_store_object(store_path, finish):
    s = Store.open(str(store_path))
    t = s.transaction()
    del s
    gc.collect()
    t.put(b"k", b"v")
    if finish == "failed commit":
        t.put(b"\xffomb:k", b"v")
        with raises_exactly(_native.ReservedKeyError, RESERVED):
            t.commit()
    else:
        getattr(t, finish)()
    # The store went back to a slot that nobody else holds: it is closed at once.
    with Store.open(str(store_path)) as again:
        assert again.get(b"k") == (b"v" if finish == "commit" else None)


def test_bad_arguments_stage_nothing(store):
    t = store.transaction()
    with raises_exactly(TypeError, "Can't extract `str` to `Vec`"):
        t.upsert_record(b"c", b"k", b"v", indexes="i")
    with raises_exactly(TypeError):
        t.put(b"k", "v")
    t.put(b"ok", b"")
    t.commit()
    assert user_items(store) == [(b"ok", b"")]
