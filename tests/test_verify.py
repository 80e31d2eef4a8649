"""Store.verify: a read-only replay that reports what it found and never writes."""

import os
import subprocess
import sys
import textwrap

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


@pytest.mark.parametrize("call", [
    "Store.verify(p)", "Store.open(p)", "Store.salvage(p)", "Store.restore_copy(p, p + '.restored')",
])
def test_what_is_not_a_regular_file_is_refused_promptly(tmp_path, call):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    code = textwrap.dedent(f"""
        from ombrel_store._native import Store, IoError
        for p in ({str(fifo)!r}, {str(tmp_path)!r}):
            try:
                {call}
                print("accepted")
            except IoError as e:
                print(e)
    """)
    # A child, so that a regression that blocks on the FIFO fails the test instead of hanging it.
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    fifo_error, directory_error = result.stdout.splitlines()
    assert fifo_error == "I/O error: not a regular file" and directory_error.startswith("I/O error: ")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fifo"]
