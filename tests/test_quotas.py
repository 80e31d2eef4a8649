"""`max_bytes` on the file length per record and `namespace_max_bytes` per namespace at commit."""

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store
USER_100 = "store namespace quota exceeded for user: maximum 100 value bytes"
PUT_A_BC = sf.store_write_bytes(1, 1, b"a", b"bc")  # records of 36, 121 and 29 bytes


def storage_message(limit):
    return f"store storage quota exceeded: maximum {limit} bytes"


@pytest.mark.parametrize("room, written", [(186, 186), (185, 157), (157, 157), (37, 36), (35, 0)])
def test_max_bytes_is_checked_before_each_record(fresh_file, open_store, room, written):
    s = open_store(max_bytes=64 + room)
    if written == len(PUT_A_BC):
        s.put(b"a", b"bc")
        assert s.get(b"a") == b"bc"
    else:
        with raises_exactly(_native.OmbrelStoreError, storage_message(64 + room)):
            s.put(b"a", b"bc")
        assert s.get(b"a") is None and s.changes_after() == []
    # Whatever fitted was written; without its commit record it stays invisible after reopening.
    assert fresh_file.read_bytes()[64:] == PUT_A_BC[:written]
    s.close()
    assert Store.verify(str(fresh_file)).keys == (2 if written == len(PUT_A_BC) else 0)


def test_sequence_numbers_survive_a_refused_record(fresh_file, open_store):
    s = open_store(max_bytes=64 + len(PUT_A_BC))
    with pytest.raises(_native.OmbrelStoreError):
        s.put(b"a", b"x" * 200)  # its first record is already too big
    s.put(b"a", b"bc")
    # The refused put used transaction 1 and sequence 1; the next write continues after them.
    assert fresh_file.read_bytes()[64:] == sf.store_write_bytes(2, 2, b"a", b"bc")


def test_max_bytes_counts_uncommitted_bytes_in_the_file(fresh_file, open_store):
    # A commit refused by the namespace quota leaves its put and change records in the file.
    s = open_store(max_bytes=64 + 135 + 121 + len(PUT_A_BC) - 1, namespace_max_bytes=100)
    with pytest.raises(_native.NamespaceQuotaError):
        s.put(b"k", b"x" * 101)
    assert fresh_file.stat().st_size == 64 + 135 + 121
    with raises_exactly(_native.OmbrelStoreError, storage_message(64 + 135 + 121 + len(PUT_A_BC) - 1)):
        s.put(b"a", b"bc")


def test_store_larger_than_4096_opens_reads_and_refuses_writes(store_path, open_store):
    s = open_store(durability="relaxed")
    for i in range(30):
        s.put(b"key%02d" % i, b"v" * 100)
    s.close()
    assert store_path.stat().st_size > 4096
    s = open_store(max_bytes=4096)
    assert len(s.scan_prefix(b"key")) == 30
    before = snapshot(store_path)
    for write in (lambda: s.put(b"n", b""), lambda: s.delete(b"key00")):
        with raises_exactly(_native.OmbrelStoreError, "store storage quota exceeded: maximum 4096 bytes"):
            write()
    with raises_exactly(_native.OmbrelStoreError, "store error: " + storage_message(4096)):
        s.prune_changes_through(10)
    assert snapshot(store_path) == before and len(s.changes_after()) == 30


def test_user_value_over_the_namespace_limit(fresh_file, open_store):
    s = open_store(namespace_max_bytes=100)
    with raises_exactly(_native.NamespaceQuotaError, USER_100):
        s.put(b"k", b"x" * 101)
    assert s.get(b"k") is None and s.changes_after() == []
    s.put(b"k", b"x" * 100)  # the failed commit left nothing behind: a value at the limit fits
    assert s.get(b"k") == b"x" * 100
    s.close()
    report = Store.verify(str(fresh_file))
    assert (report.committed_transactions, report.pending_transactions) == (1, 1)


def test_change_records_count_under_internal_cdc_until_pruned(open_store):
    s = open_store(namespace_max_bytes=150)
    s.put(b"a", b"1")  # "internal:cdc" holds 60 bytes
    s.put(b"b", b"2")  # 120
    with raises_exactly(_native.NamespaceQuotaError,
                        "store namespace quota exceeded for internal:cdc: maximum 150 value bytes"):
        s.put(b"c", b"3")  # would be 180, while "user" holds 3
    assert s.prune_changes_through(2) == 2
    s.put(b"c", b"3")
    assert [(k, v) for k, v in s.scan_prefix(b"") if len(k) == 1] == [(b"a", b"1"), (b"b", b"2"), (b"c", b"3")]


@pytest.mark.parametrize("big, write, allowed", [
    (80, lambda s: s.put(b"big", b"y" * 90), True), (80, lambda s: s.put(b"big", b"y" * 91), False),
    (150, lambda s: s.put(b"big", b"y" * 90), True), (150, lambda s: s.put(b"big", b"y" * 91), False),
    (150, lambda s: s.delete(b"big"), True), (150, lambda s: s.put(b"small", b""), False),
    (150, lambda s: s.put(b"new", b"n"), False),
])
def test_one_write_against_the_namespace_limit(open_store, big, write, allowed):
    # Reopened with a limit of 100 over "user"; the one write's change record (<= 62 bytes) fits "internal:cdc".
    s = open_store()
    s.put(b"big", b"x" * big)
    s.put(b"small", b"s" * 10)
    s.prune_changes_through(2)
    s.close()
    s = open_store(namespace_max_bytes=100)  # not checked at open
    before = s.scan_prefix(b"")
    if allowed:
        write(s)
        assert len(s.changes_after()) == 1
    else:
        with raises_exactly(_native.NamespaceQuotaError, USER_100):
            write(s)
        assert s.scan_prefix(b"") == before


def test_a_domain_write_is_wrapped_and_names_its_internal_namespace(open_store):
    s = open_store(namespace_max_bytes=1000)
    with raises_exactly(_native.OmbrelStoreError,
                        "store error: store namespace quota exceeded for internal:q: maximum 1000 value bytes"):
        s.push_queue(b"q", b"x" * 2000)
    assert s.scan_prefix(b"") == []


@pytest.mark.parametrize("grown, emptied", [(b"a", b"b"), (b"b", b"a")])
def test_a_namespace_is_judged_on_its_total_after_the_whole_transaction(open_store, grown, emptied):
    s = open_store()
    s.put(emptied, b"e" * 90)
    s.put(grown, b"g" * 60)
    s.prune_changes_through(2)
    s.close()
    s = open_store(namespace_max_bytes=150)  # "user" holds 150 bytes: exactly the limit
    with s.transaction() as t:
        t.put(emptied, b"")
        t.put(grown, b"G" * 120)  # 150 - 90 - 60 + 120 = 120, whichever key is counted first
    assert (s.get(grown), s.get(emptied)) == (b"G" * 120, b"")
    with raises_exactly(_native.NamespaceQuotaError, "store namespace quota exceeded for user: maximum 150 value bytes"):
        with s.transaction() as t:
            t.put(emptied, b"e" * 20)
            t.put(grown, b"G" * 131)
