"""The store file as bytes: the header a new store writes, the records every write
appends, and how damaged headers are refused."""

from __future__ import annotations

import os
import struct
import time

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store

PUT_A_BC = 36  # put of key "a", value "bc": 29 + 4 + 1 + 2
CHANGE_PUT_A_BC = 29 + 4 + 28 + 60  # the change record of that put
COMMIT = 29


def test_codec_oracle_matches_published_sizes():
    # The oracle itself, against the sizes the format fixes.
    assert sf.crc32(b"123456789") == 0xCBF43926
    assert len(sf.encode_header()) == 64
    assert len(sf.encode_record(sf.COMMIT, 1, 1)) == COMMIT
    put = sf.encode_record(sf.PUT, 1, 1, sf.put_payload(b"a", b"bc"))
    assert len(put) == PUT_A_BC and struct.unpack_from("<I", put, 21) == (7,)


class TestNewStore:
    def test_fresh_file_is_exactly_a_valid_header(self, store_path):
        before = time.time_ns() // 1_000_000
        Store.open(str(store_path)).close()
        after = time.time_ns() // 1_000_000

        data = store_path.read_bytes()
        assert len(data) == 64
        header = sf.decode_header(data)
        assert header.magic == b"OSTORE01"
        assert (header.major, header.minor) == (1, 0)
        assert header.reserved == 0
        assert header.padding == bytes(16)
        assert header.checksum_ok
        assert before <= header.created_at_ms <= after

    def test_each_new_store_gets_its_own_identity(self, tmp_path):
        ids = set()
        for name in ("a.omb", "b.omb", "c.omb"):
            Store.open(str(tmp_path / name)).close()
            ids.add(sf.decode_header((tmp_path / name).read_bytes()).store_id)
        assert len(ids) == 3
        assert bytes(16) not in ids

    def test_file_mode_follows_umask(self, store_path):
        old = os.umask(0o022)
        try:
            Store.open(str(store_path)).close()
        finally:
            os.umask(old)
        assert store_path.stat().st_mode & 0o777 == 0o644

    def test_reopening_neither_rewrites_nor_grows(self, fresh_file):
        data = fresh_file.read_bytes()
        Store.open(str(fresh_file)).close()
        assert snapshot(fresh_file)[0] == data

    def test_opening_does_not_truncate_an_existing_store(self, store_path):
        with Store.open(str(store_path)) as s:
            s.put(b"a", b"bc")
        data = store_path.read_bytes()
        Store.open(str(store_path)).close()
        assert store_path.read_bytes() == data


    def test_existing_empty_file_becomes_a_new_store(self, store_path):
        store_path.write_bytes(b"")
        with Store.open(str(store_path)) as s:
            s.put(b"a", b"bc")
        data = store_path.read_bytes()
        assert sf.decode_header(data).checksum_ok
        assert data[64:] == sf.store_put_bytes(1, 1, b"a", b"bc")


class TestWrittenRecords:
    def test_put_appends_put_change_and_commit_records(self, store_path):
        with Store.open(str(store_path)) as s:
            s.put(b"a", b"bc")
        data = store_path.read_bytes()
        assert len(data) == 64 + PUT_A_BC + CHANGE_PUT_A_BC + COMMIT
        assert data[64:] == sf.store_put_bytes(1, 1, b"a", b"bc")

    def test_delete_of_absent_key_still_appends_its_records(self, store_path):
        with Store.open(str(store_path)) as s:
            s.put(b"a", b"bc")
            size = store_path.stat().st_size
            s.delete(b"zz")
        data = store_path.read_bytes()
        assert data[size:] == sf.store_delete_bytes(2, 4, b"zz")

    def test_successive_writes_continue_ids_across_reopen(self, store_path):
        with Store.open(str(store_path)) as s:
            s.put(b"k1", b"v1")
            s.delete(b"k1")
        with Store.open(str(store_path)) as s:
            s.put(b"k2", b"")
        expected = sf.LogBuilder(header=b"")
        expected.store_put(1, b"k1", b"v1")
        expected.store_delete(2, b"k1")
        expected.store_put(3, b"k2", b"")
        assert store_path.read_bytes()[64:] == expected.log_bytes()

    def test_empty_value_put_and_delete_share_a_payload(self, store_path):
        with Store.open(str(store_path)) as s:
            s.put(b"k", b"")
            s.delete(b"k")
        records = sf.parse_records(store_path.read_bytes())
        put, delete = records[0], records[3]
        assert (put.kind, delete.kind) == (sf.PUT, sf.DELETE)
        assert put.payload == delete.payload == b"\x01\x00\x00\x00k"
        assert put.checksum != delete.checksum

    def test_header_survives_writes_unchanged(self, store_path):
        # A header carrying values this engine would never write itself (minor 7,
        # non-zero padding and reserved field) is read, kept and never rewritten.
        header = sf.encode_header(minor=7, padding=b"\x5a" * 16, reserved=0xDEADBEEF)
        store_path.write_bytes(header)
        with Store.open(str(store_path)) as s:
            s.put(b"a", b"bc")
        data = store_path.read_bytes()
        assert data[:64] == header
        assert data[64:] == sf.store_put_bytes(1, 1, b"a", b"bc")


HEADER_BODY_MAJOR2 = sf.encode_header(major=2)[:60]


BAD_HEADERS = [
    pytest.param(
        sf.encode_header(magic=b"OSTORE02", checksum=0x12345678),
        "store header error: store header has invalid magic bytes",
        id="bad-magic-and-bad-checksum",
    ),
    pytest.param(
        sf.encode_header(magic=b"ostore01"),
        "store header error: store header has invalid magic bytes",
        id="bad-magic-good-checksum",
    ),
    pytest.param(
        sf.encode_header(major=2, checksum=0x12),
        "store header error: store header checksum mismatch: expected 0x00000012, got "
        + sf.hex32(sf.crc32(HEADER_BODY_MAJOR2)),
        id="good-magic-bad-checksum-major-2",
    ),
    pytest.param(
        sf.encode_header(padding=b"\x01" + bytes(15), checksum=sf.crc32(sf.encode_header()[:60])),
        "store header error: store header checksum mismatch: expected "
        + sf.hex32(sf.crc32(sf.encode_header()[:60]))
        + ", got "
        + sf.hex32(sf.crc32(sf.encode_header(padding=b"\x01" + bytes(15))[:60])),
        id="checksum-covers-padding",
    ),
    pytest.param(
        sf.encode_header(major=2),
        "store header error: unsupported store format major version 2; this engine supports 1",
        id="major-2",
    ),
    pytest.param(
        sf.encode_header(major=0),
        "store header error: unsupported store format major version 0; this engine supports 1",
        id="major-0",
    ),
    pytest.param(
        sf.encode_header(major=65535),
        "store header error: unsupported store format major version 65535; this engine supports 1",
        id="major-65535",
    ),
]


@pytest.mark.parametrize("header, message", BAD_HEADERS)
@pytest.mark.parametrize("tail", [b"", sf.store_put_bytes(1, 1, b"a", b"bc")], ids=["bare", "with-log"])
@pytest.mark.parametrize("how", ["open", "verify"])
def test_damaged_header_is_refused_and_left_alone(store_path, header, message, tail, how):
    store_path.write_bytes(header + tail)
    before = snapshot(store_path)
    with raises_exactly(_native.CorruptionError, message):
        getattr(Store, how)(str(store_path))
    assert snapshot(store_path) == before


@pytest.mark.parametrize("length", [1, 10, 40, 63])
def test_short_file_is_a_truncated_header_at_open(store_path, length):
    store_path.write_bytes(sf.encode_header()[:length])
    with raises_exactly(_native.CorruptionError, "store header error: store header is truncated"):
        Store.open(str(store_path))
    # A partly written header is not repaired.
    assert store_path.read_bytes() == sf.encode_header()[:length]


@pytest.mark.parametrize("length", [0, 1, 10, 40, 63])
def test_short_file_is_a_short_read_at_verify(store_path, length):
    store_path.write_bytes(sf.encode_header()[:length])
    with raises_exactly(_native.IoError) as info:
        Store.verify(str(store_path))
    assert str(info.value).startswith("I/O error: ")
    assert "store header" not in str(info.value)
    assert store_path.read_bytes() == sf.encode_header()[:length]


@pytest.mark.parametrize(
    "header",
    [
        pytest.param(sf.encode_header(minor=7, padding=bytes(range(1, 17))), id="minor-7-padding"),
        pytest.param(sf.encode_header(minor=65535), id="minor-max"),
        pytest.param(sf.encode_header(created_at_ms=2**64 - 1, reserved=2**64 - 1), id="extreme-fields"),
        pytest.param(sf.encode_header(store_id=bytes(16), created_at_ms=0), id="zero-identity"),
    ],
)
def test_unusual_but_valid_headers_open(store_path, header):
    store_path.write_bytes(header)
    report = Store.verify(str(store_path))
    assert report.store_id == header[12:28]
    with Store.open(str(store_path)) as s:
        s.put(b"k", b"v")
        assert s.get(b"k") == b"v"
    assert store_path.read_bytes()[:64] == header


def test_failed_open_releases_the_file(store_path):
    store_path.write_bytes(sf.encode_header(major=2))
    with pytest.raises(_native.CorruptionError):
        Store.open(str(store_path))
    # Once repaired by hand, the same path opens: the failed open kept no claim on it.
    store_path.write_bytes(sf.encode_header())
    Store.open(str(store_path)).close()
