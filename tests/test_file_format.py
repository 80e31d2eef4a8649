"""The store file as bytes: a new store's header, the records writes append, damaged headers."""

import os
import struct
import time

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store
HEADER_ERROR = "store header error: "


def test_new_store_is_exactly_a_valid_header(tmp_path):
    created, empty = tmp_path / "created.omb", tmp_path / "empty.omb"
    empty.write_bytes(b"")  # an existing empty file is a new store too
    old_umask = os.umask(0o022)
    try:
        before = time.time_ns() // 1_000_000
        for path in (created, empty):
            Store.open(str(path)).close()
        after = time.time_ns() // 1_000_000
    finally:
        os.umask(old_umask)
    assert created.stat().st_mode & 0o777 == 0o644
    headers = [created.read_bytes(), empty.read_bytes()]
    for data in headers:
        assert len(data) == 64 and data[:12] == b"OSTORE01\x01\x00\x00\x00"
        created_at, reserved = struct.unpack_from("<QQ", data, 28)
        assert before <= created_at <= after and reserved == 0 and data[44:60] == bytes(16)
        assert struct.unpack_from("<I", data, 60) == (sf.crc32(data[:60]),)
    assert headers[0][12:28] != headers[1][12:28] and bytes(16) not in (headers[0][12:28], headers[1][12:28])
    Store.open(str(created)).close()
    assert created.read_bytes() == headers[0]  # reopening rewrites nothing


def test_writes_append_exactly_the_expected_records(fresh_file):
    with Store.open(str(fresh_file)) as s:
        s.put(b"a", b"bc")
        s.delete(b"zz")  # absent: still written and committed
    with Store.open(str(fresh_file)) as s:
        s.put(b"k", b"")
        s.delete(b"k")
    expected = sf.LogBuilder(header=b"")
    expected.store_write(1, b"a", b"bc").store_write(2, b"zz").store_write(3, b"k", b"").store_write(4, b"k")
    assert fresh_file.read_bytes()[64:] == expected.log_bytes()
    records = sf.parse_records(fresh_file.read_bytes())  # empty put and delete share their payload
    assert [records[i][0] for i in (6, 9)] == [sf.PUT, sf.DELETE]
    assert records[6][3] == records[9][3] == b"\x01\x00\x00\x00k"


@pytest.mark.parametrize("header", [sf.encode_header(minor=7, padding=bytes(range(1, 17)), reserved=0xDEADBEEF),
                                    sf.encode_header(store_id=bytes(16), created_at_ms=2**64 - 1)])
def test_unusual_valid_header_opens_and_is_never_rewritten(store_path, header):
    store_path.write_bytes(header)
    assert Store.verify(str(store_path)).store_id == header[12:28]
    with Store.open(str(store_path)) as s:
        s.put(b"a", b"bc")
    assert store_path.read_bytes() == header + sf.store_write_bytes(1, 1, b"a", b"bc")


MAJOR_2 = sf.encode_header(major=2, checksum=0x12)
GOOD_SUM = sf.crc32(sf.encode_header()[:60])
BAD_PADDING = sf.encode_header(padding=b"\x01" + bytes(15), checksum=GOOD_SUM)
HEADERS = [
    (sf.encode_header(magic=b"OSTORE02", checksum=0x12345678), "store header has invalid magic bytes"),
    (MAJOR_2, "store header checksum mismatch: expected 0x00000012, got " + sf.hex32(sf.crc32(MAJOR_2[:60]))),
    (BAD_PADDING, f"store header checksum mismatch: expected {sf.hex32(GOOD_SUM)}, "
                  f"got {sf.hex32(sf.crc32(BAD_PADDING[:60]))}"),
    (sf.encode_header(major=2), "unsupported store format major version 2; this engine supports 1"),
    (sf.encode_header(major=0), "unsupported store format major version 0; this engine supports 1"),
]


@pytest.mark.parametrize("header, message", HEADERS)
@pytest.mark.parametrize("how", ["open", "verify"])
def test_damaged_header_is_refused_and_left_alone(store_path, header, message, how):
    store_path.write_bytes(header + sf.store_write_bytes(1, 1, b"a", b"bc"))
    before = snapshot(store_path)
    with raises_exactly(_native.CorruptionError, HEADER_ERROR + message):
        getattr(Store, how)(str(store_path))
    assert snapshot(store_path) == before
    store_path.write_bytes(sf.encode_header())  # the failed attempt holds nothing
    Store.open(str(store_path)).close()


@pytest.mark.parametrize("length", [0, 10, 40, 63])
def test_short_file_is_a_truncated_header_at_open_and_a_short_read_at_verify(store_path, length):
    store_path.write_bytes(sf.encode_header()[:length])
    if length:  # an empty file is a new store
        with raises_exactly(_native.CorruptionError, "store header error: store header is truncated"):
            Store.open(str(store_path))
    with raises_exactly(_native.IoError) as info:
        Store.verify(str(store_path))
    assert str(info.value).startswith("I/O error: ") and "header" not in str(info.value)
    assert store_path.read_bytes() == sf.encode_header()[:length]  # a partial header is not repaired
