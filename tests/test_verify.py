"""Store.verify: a read-only replay that reports what it found and never writes."""

import pytest

import storefile as sf
from expect import snapshot
from ombrel_store import _native

Store = _native.Store
FIELDS = ["file_bytes", "valid_bytes", "records", "committed_transactions", "pending_transactions", "keys"]


def test_fresh_store(fresh_file):
    report = Store.verify(str(fresh_file))
    assert type(report) is _native.VerificationReport
    assert [getattr(report, name) for name in FIELDS] == [64, 64, 0, 0, 0, 0]
    assert all(type(getattr(report, name)) is int for name in FIELDS) and report.has_torn_tail is False
    assert repr(report) == ("VerificationReport(file_bytes=64, valid_bytes=64, records=0, committed_transactions=0, "
                            "pending_transactions=0, keys=0, has_torn_tail=false)")
    for name in FIELDS + ["store_id", "has_torn_tail"]:
        with pytest.raises(AttributeError):
            setattr(report, name, 1)


def test_after_one_put_and_with_a_torn_tail(store_path):
    store_path.write_bytes(sf.encode_header(store_id=b"0123456789abcdef"))
    with Store.open(str(store_path)) as s:
        s.put(b"k", b"v")
    size, before = store_path.stat().st_size, snapshot(store_path)
    report = Store.verify(str(store_path))
    assert [getattr(report, name) for name in FIELDS] == [size, size, 3, 1, 0, 2]
    assert repr(report) == (f"VerificationReport(file_bytes={size}, valid_bytes={size}, records=3, "
                            "committed_transactions=1, pending_transactions=0, keys=2, has_torn_tail=false)")
    first, second = report.store_id, report.store_id
    assert type(first) is bytes and first == second == b"0123456789abcdef" and first is not second
    assert snapshot(store_path) == before
    with open(store_path, "ab") as f:
        f.write(b"\x07" * 10)
    before = snapshot(store_path)
    report = Store.verify(str(store_path))
    assert (report.has_torn_tail, report.file_bytes, report.valid_bytes) == (True, size + 10, size)
    assert repr(report).endswith(", keys=2, has_torn_tail=true)")
    assert snapshot(store_path) == before  # reported, not repaired
