"""Store.verify: a read-only replay that reports what it found and never writes."""

from __future__ import annotations

import pathlib

import pytest

import storefile as sf
from expect import snapshot
from ombrel_store import _native

Store = _native.Store

FIELDS = ["file_bytes", "valid_bytes", "records", "committed_transactions", "pending_transactions", "keys"]


def fields(report):
    return {name: getattr(report, name) for name in FIELDS}


def test_fresh_store(fresh_file):
    report = Store.verify(str(fresh_file))
    assert type(report) is _native.VerificationReport
    assert fields(report) == dict.fromkeys(FIELDS, 0) | {"file_bytes": 64, "valid_bytes": 64}
    assert all(type(getattr(report, name)) is int for name in FIELDS)
    assert report.has_torn_tail is False
    assert repr(report) == (
        "VerificationReport(file_bytes=64, valid_bytes=64, records=0, committed_transactions=0, "
        "pending_transactions=0, keys=0, has_torn_tail=false)"
    )


def test_after_one_put(store_path):
    with Store.open(str(store_path)) as s:
        s.put(b"k", b"v")
    report = Store.verify(str(store_path))
    size = store_path.stat().st_size
    assert fields(report) == {
        "file_bytes": size,
        "valid_bytes": size,
        "records": 3,
        "committed_transactions": 1,
        "pending_transactions": 0,
        "keys": 2,
    }
    assert repr(report) == (
        f"VerificationReport(file_bytes={size}, valid_bytes={size}, records=3, committed_transactions=1, "
        "pending_transactions=0, keys=2, has_torn_tail=false)"
    )


def test_torn_tail_is_reported_not_repaired(store_path):
    with Store.open(str(store_path)) as s:
        s.put(b"k", b"v")
    with open(store_path, "ab") as f:
        f.write(b"\x07" * 10)
    before = snapshot(store_path)
    report = Store.verify(str(store_path))
    assert snapshot(store_path) == before
    assert report.has_torn_tail is True
    assert report.valid_bytes == report.file_bytes - 10 == before[2] - 10
    assert repr(report).endswith(", keys=2, has_torn_tail=true)")


def test_verify_never_touches_a_healthy_file(store_path):
    with Store.open(str(store_path)) as s:
        s.put(b"k", b"v")
    before = snapshot(store_path)
    Store.verify(str(store_path))
    Store.verify(pathlib.Path(store_path))
    assert snapshot(store_path) == before


@pytest.mark.parametrize(
    "build, expected",
    [
        pytest.param(
            lambda log: log.put(1, b"k", b"v"),
            dict(records=1, committed_transactions=0, pending_transactions=1, keys=0),
            id="dropped-put",
        ),
        pytest.param(
            lambda log: (log.put(1, b"k", b"v"), log.put(2, b"j", b"w"), log.commit(2), log.delete(3, b"j")),
            dict(records=4, committed_transactions=1, pending_transactions=2, keys=1),
            id="committed-between-dropped",
        ),
        pytest.param(
            lambda log: (log.commit(1), log.commit(2), log.commit(3)),
            dict(records=3, committed_transactions=3, pending_transactions=0, keys=0),
            id="empty-commits",
        ),
        pytest.param(
            lambda log: (log.put(1, b"k", b"v"), log.put(1, b"j", b"w"), log.commit(1), log.delete(2, b"k"), log.commit(2)),
            dict(records=5, committed_transactions=2, pending_transactions=0, keys=1),
            id="delete-reduces-keys",
        ),
    ],
)
def test_counts_of_crafted_logs(store_path, build, expected):
    log = sf.LogBuilder()
    build(log)
    data = log.write(store_path)
    report = Store.verify(str(store_path))
    assert fields(report) == dict(expected, file_bytes=len(data), valid_bytes=len(data))
    assert report.has_torn_tail is False


def test_store_id_is_the_header_identity_as_fresh_bytes(fresh_file):
    report = Store.verify(str(fresh_file))
    first, second = report.store_id, report.store_id
    assert type(first) is bytes and len(first) == 16
    assert first == second == fresh_file.read_bytes()[12:28]
    assert first is not second


def test_store_id_survives_writes(store_path):
    store_path.write_bytes(sf.encode_header(store_id=b"0123456789abcdef"))
    with Store.open(str(store_path)) as s:
        s.put(b"k", b"v")
    assert Store.verify(str(store_path)).store_id == b"0123456789abcdef"


def test_report_is_read_only(fresh_file):
    report = Store.verify(str(fresh_file))
    for name in FIELDS + ["store_id", "has_torn_tail"]:
        with pytest.raises(AttributeError):
            setattr(report, name, 1)
    assert report.file_bytes == 64


def test_directory_is_an_io_error(tmp_path):
    with pytest.raises(_native.IoError) as info:
        Store.verify(str(tmp_path))
    assert type(info.value) is _native.IoError
    assert str(info.value).startswith("I/O error: ")
