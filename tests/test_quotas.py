"""The two quotas: `max_bytes` on the file length, checked before each record, and
`namespace_max_bytes` on the value bytes per key namespace, checked at commit. Change
records are values too: they count under "internal:cdc" (a put's change value is
59 + key length bytes)."""

from __future__ import annotations

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store

PUT_A_BC_TOTAL = 36 + 121 + 29  # the three records of put(b"a", b"bc")


def storage_message(limit):
    return f"store storage quota exceeded: maximum {limit} bytes"


def namespace_message(namespace, limit):
    return f"store namespace quota exceeded for {namespace}: maximum {limit} value bytes"


class TestMaxBytes:
    def test_record_one_byte_over_the_limit_is_refused_and_file_unchanged(self, fresh_file, open_store):
        limit = 64 + 35  # the 36-byte put record does not fit
        s = open_store(max_bytes=limit)
        before = snapshot(fresh_file)
        with raises_exactly(_native.OmbrelStoreError, storage_message(limit)):
            s.put(b"a", b"bc")
        assert snapshot(fresh_file) == before
        assert s.get(b"a") is None
        assert s.changes_after() == []

    def test_whole_put_fitting_exactly_succeeds(self, fresh_file, open_store):
        s = open_store(max_bytes=64 + PUT_A_BC_TOTAL)
        s.put(b"a", b"bc")
        assert fresh_file.stat().st_size == 64 + PUT_A_BC_TOTAL
        assert s.get(b"a") == b"bc"

    @pytest.mark.parametrize("short_by", [1, 29, 29 + 121 - 1], ids=["commit-short-1", "no-commit", "change-short-1"])
    def test_put_that_fits_only_in_part_never_becomes_visible(self, fresh_file, open_store, short_by):
        limit = 64 + PUT_A_BC_TOTAL - short_by
        s = open_store(max_bytes=limit)
        with raises_exactly(_native.OmbrelStoreError, storage_message(limit)):
            s.put(b"a", b"bc")
        assert s.get(b"a") is None and s.changes_after() == []
        assert fresh_file.stat().st_size <= limit
        s.close()
        report = Store.verify(str(fresh_file))
        assert (report.committed_transactions, report.keys) == (0, 0)
        s = open_store()
        assert s.get(b"a") is None

    def test_sequence_numbers_survive_a_refused_record(self, fresh_file, open_store):
        limit = 64 + PUT_A_BC_TOTAL
        s = open_store(max_bytes=limit)
        with pytest.raises(_native.OmbrelStoreError):
            s.put(b"a", b"x" * 200)  # its first record is already too big
        s.put(b"a", b"bc")
        # The refused put used transaction 1 and sequence 1; the next write continues after them.
        assert fresh_file.read_bytes()[64:] == sf.store_put_bytes(2, 2, b"a", b"bc")

    def test_limit_counts_uncommitted_bytes_in_the_file(self, fresh_file, open_store):
        # A commit refused by the namespace quota leaves its put and change records
        # (135 + 121 bytes) in the file; the file quota counts them.
        limit = 64 + 135 + 121 + PUT_A_BC_TOTAL - 1
        s = open_store(max_bytes=limit, namespace_max_bytes=100)
        with pytest.raises(_native.NamespaceQuotaError):
            s.put(b"k", b"x" * 101)
        assert fresh_file.stat().st_size == 64 + 135 + 121
        with raises_exactly(_native.OmbrelStoreError, storage_message(limit)):
            s.put(b"a", b"bc")
        assert fresh_file.stat().st_size <= limit

    def test_store_larger_than_its_limit_opens_and_reads(self, store_path, open_store):
        s = open_store()
        for i in range(30):
            s.put(b"key%02d" % i, b"v" * 100)
        s.close()
        size = store_path.stat().st_size
        assert size > 4096
        s = open_store(max_bytes=4096)
        assert s.get(b"key07") == b"v" * 100
        assert len(s.scan_prefix(b"key")) == 30
        before = snapshot(store_path)
        for write in (lambda: s.put(b"n", b""), lambda: s.delete(b"key00")):
            with raises_exactly(_native.OmbrelStoreError, storage_message(4096)):
                write()
        assert snapshot(store_path) == before

    def test_prune_under_a_full_quota_reports_a_wrapped_store_error(self, store_path, open_store):
        s = open_store()
        s.put(b"k", b"v")
        s.close()
        limit = store_path.stat().st_size
        s = open_store(max_bytes=limit)
        before = snapshot(store_path)
        with raises_exactly(_native.OmbrelStoreError, "store error: " + storage_message(limit)):
            s.prune_changes_through(10)
        assert snapshot(store_path) == before
        assert len(s.changes_after()) == 1


class TestNamespaceQuota:
    def test_user_value_over_the_limit(self, fresh_file, open_store):
        s = open_store(namespace_max_bytes=100)
        with raises_exactly(_native.NamespaceQuotaError, namespace_message("user", 100)):
            s.put(b"k", b"x" * 101)
        assert s.get(b"k") is None
        assert s.changes_after() == []
        # The failed commit left nothing behind: a value at the limit now fits.
        s.put(b"k", b"x" * 100)
        assert s.get(b"k") == b"x" * 100
        s.close()
        report = Store.verify(str(fresh_file))
        assert (report.committed_transactions, report.pending_transactions) == (1, 1)

    def test_change_records_count_under_internal_cdc(self, open_store):
        s = open_store(namespace_max_bytes=10)
        # One value byte for "user", but its 60-byte change record is over the limit.
        with raises_exactly(_native.NamespaceQuotaError, namespace_message("internal:cdc", 10)):
            s.put(b"k", b"v")
        assert s.get(b"k") is None

    def test_change_records_accumulate_until_pruned(self, open_store):
        s = open_store(namespace_max_bytes=150)
        s.put(b"a", b"1")  # cdc 60
        s.put(b"b", b"2")  # cdc 120
        with raises_exactly(_native.NamespaceQuotaError, namespace_message("internal:cdc", 150)):
            s.put(b"c", b"3")  # cdc would be 180
        assert s.prune_changes_through(2) == 2
        s.put(b"c", b"3")
        assert [(k, v) for k, v in s.scan_prefix(b"") if len(k) == 1] == [(b"a", b"1"), (b"b", b"2"), (b"c", b"3")]

    @staticmethod
    def _seed(store_path, open_store, values):
        """Write the values without a quota and drop their change records."""
        s = open_store()
        for key, value in values.items():
            s.put(key, value)
        s.prune_changes_through(2**64 - 1, limit=1000)
        s.close()

    @pytest.mark.parametrize("new_len", [95, 100, 10, 0])
    def test_replacing_a_value_under_the_limit(self, store_path, open_store, new_len):
        self._seed(store_path, open_store, {b"k": b"x" * 90})
        s = open_store(namespace_max_bytes=100)
        s.put(b"k", b"y" * new_len)
        assert s.get(b"k") == b"y" * new_len

    def test_replacement_counts_the_new_value_not_the_sum(self, store_path, open_store):
        # The limit leaves room for two change records, so only "user" can go over.
        self._seed(store_path, open_store, {b"k": b"x" * 180, b"j": b"z" * 15})
        s = open_store(namespace_max_bytes=200)
        s.put(b"k", b"y" * 185)  # 185 + 15 = 200: at the limit
        with raises_exactly(_native.NamespaceQuotaError, namespace_message("user", 200)):
            s.put(b"j", b"z" * 16)  # 185 + 16
        assert s.get(b"j") == b"z" * 15

    @pytest.mark.parametrize(
        "write, allowed",
        [
            pytest.param(lambda s: s.delete(b"big"), True, id="delete-brings-under"),
            pytest.param(lambda s: s.put(b"big", b"y" * 90), True, id="shrink-to-limit"),
            pytest.param(lambda s: s.put(b"big", b"y" * 40), True, id="shrink-below-limit"),
            pytest.param(lambda s: s.put(b"big", b"y" * 91), False, id="shrink-still-over"),
            pytest.param(lambda s: s.put(b"small", b""), False, id="other-key-emptied"),
            pytest.param(lambda s: s.put(b"new", b"n"), False, id="new-key"),
            pytest.param(lambda s: s.delete(b"small"), False, id="delete-other-key"),
            pytest.param(lambda s: s.delete(b"absent"), False, id="delete-absent-key"),
        ],
    )
    def test_namespace_already_over_a_smaller_limit(self, store_path, open_store, write, allowed):
        # 160 user value bytes against a limit of 100; one write's change record (at most
        # 60 bytes) keeps "internal:cdc" under it, so only "user" can fail.
        self._seed(store_path, open_store, {b"big": b"x" * 150, b"small": b"s" * 10})
        s = open_store(namespace_max_bytes=100)
        # Not checked at open; reads work.
        assert s.get(b"big") == b"x" * 150
        before = sorted(s.scan_prefix(b""))
        if allowed:
            write(s)
            assert len(s.changes_after()) == 1
        else:
            with raises_exactly(_native.NamespaceQuotaError, namespace_message("user", 100)):
                write(s)
            assert sorted(s.scan_prefix(b"")) == before

    def test_quota_is_per_namespace(self, store_path, open_store):
        # 80 bytes of user values plus 60 bytes of change records: 140 in all, but no
        # single namespace passes 100.
        s = open_store(namespace_max_bytes=100)
        s.put(b"k", b"x" * 80)
        assert s.get(b"k") == b"x" * 80

    def test_quota_error_class(self):
        assert issubclass(_native.NamespaceQuotaError, _native.OmbrelStoreError)
        assert not issubclass(_native.NamespaceQuotaError, _native.DiskFullError)
