"""Byte-level crafting and parsing of store files.

This module is the tests' own model of the file format, written from the format
description alone and sharing nothing with the product code: a test crafts a file
here, hands it to the store, and compares what the store wrote with what this
module says it should have written.
"""

from __future__ import annotations

import hashlib
import struct
import zlib
from dataclasses import dataclass
from pathlib import Path

HEADER_SIZE = 64
HEADER_MAGIC = b"OSTORE01"
RECORD_MAGIC = b"OMB1"
RECORD_OVERHEAD = 29  # 25 fixed bytes in front of the payload, 4 checksum bytes after it
RECORD_FIXED = 25

PUT, DELETE, COMMIT = 1, 2, 3

INTERNAL_PREFIX = b"\xffomb:"
CHANGE_PREFIX = b"\xffomb:cdc:change:"
CHANGE_PUT, CHANGE_DELETE = 0, 1

DEFAULT_STORE_ID = bytes(range(0xA0, 0xB0))
DEFAULT_CREATED_AT_MS = 1_700_000_000_000


def crc32(data: bytes) -> int:
    return zlib.crc32(data) & 0xFFFFFFFF


def hex32(value: int) -> str:
    """Checksums print as 0x and eight lower-case hex digits."""
    return f"0x{value:08x}"


# --------------------------------------------------------------------------- header


def encode_header(
    *,
    store_id: bytes = DEFAULT_STORE_ID,
    created_at_ms: int = DEFAULT_CREATED_AT_MS,
    reserved: int = 0,
    major: int = 1,
    minor: int = 0,
    padding: bytes = bytes(16),
    magic: bytes = HEADER_MAGIC,
    checksum: int | None = None,
) -> bytes:
    assert len(store_id) == 16 and len(padding) == 16 and len(magic) == 8
    body = (
        magic
        + struct.pack("<HH", major, minor)
        + store_id
        + struct.pack("<QQ", created_at_ms, reserved)
        + padding
    )
    assert len(body) == 60
    if checksum is None:
        checksum = crc32(body)
    return body + struct.pack("<I", checksum)


@dataclass(frozen=True)
class Header:
    magic: bytes
    major: int
    minor: int
    store_id: bytes
    created_at_ms: int
    reserved: int
    padding: bytes
    checksum: int
    computed_checksum: int

    @property
    def checksum_ok(self) -> bool:
        return self.checksum == self.computed_checksum


def decode_header(data: bytes) -> Header:
    assert len(data) >= HEADER_SIZE, f"header needs 64 bytes, got {len(data)}"
    major, minor = struct.unpack_from("<HH", data, 8)
    created_at_ms, reserved = struct.unpack_from("<QQ", data, 28)
    (checksum,) = struct.unpack_from("<I", data, 60)
    return Header(
        magic=data[0:8],
        major=major,
        minor=minor,
        store_id=data[12:28],
        created_at_ms=created_at_ms,
        reserved=reserved,
        padding=data[44:60],
        checksum=checksum,
        computed_checksum=crc32(data[0:60]),
    )


# --------------------------------------------------------------------------- records


def encode_record(
    kind: int,
    tx_id: int,
    sequence: int,
    payload: bytes = b"",
    *,
    checksum: int | None = None,
    length: int | None = None,
    magic: bytes = RECORD_MAGIC,
) -> bytes:
    """One framed record; `checksum` and `length` override the honest values."""
    if length is None:
        length = len(payload)
    body = magic + struct.pack("<BQQI", kind, tx_id, sequence, length) + payload
    if checksum is None:
        checksum = crc32(body)
    return body + struct.pack("<I", checksum)


def put_payload(key: bytes, value: bytes) -> bytes:
    return struct.pack("<I", len(key)) + key + value


def delete_payload(key: bytes) -> bytes:
    return struct.pack("<I", len(key)) + key


@dataclass(frozen=True)
class Record:
    offset: int  # file offset of the record's first byte
    kind: int
    tx_id: int
    sequence: int
    payload: bytes
    checksum: int
    raw: bytes

    @property
    def key(self) -> bytes:
        (klen,) = struct.unpack_from("<I", self.payload, 0)
        return self.payload[4 : 4 + klen]

    @property
    def value(self) -> bytes:
        (klen,) = struct.unpack_from("<I", self.payload, 0)
        return self.payload[4 + klen :]


def parse_records(data: bytes, start: int = HEADER_SIZE) -> list[Record]:
    """Parse a well-formed log (the whole file, header included); fails loudly otherwise."""
    records = []
    pos = start
    while pos < len(data):
        assert data[pos : pos + 4] == RECORD_MAGIC, f"no record magic at offset {pos}"
        kind, tx_id, sequence, length = struct.unpack_from("<BQQI", data, pos + 4)
        end = pos + RECORD_OVERHEAD + length
        assert end <= len(data), f"record at {pos} runs past the end of the file"
        raw = data[pos:end]
        (checksum,) = struct.unpack_from("<I", raw, len(raw) - 4)
        assert checksum == crc32(raw[:-4]), f"bad checksum on record at {pos}"
        records.append(
            Record(pos, kind, tx_id, sequence, raw[RECORD_FIXED:-4], checksum, raw)
        )
        pos = end
    return records


def replay(data: bytes) -> dict[bytes, bytes]:
    """Live key table of a well-formed file: committed transactions in commit order."""
    live: dict[bytes, bytes] = {}
    pending: dict[int, list[tuple[int, bytes, bytes]]] = {}
    for rec in parse_records(data):
        if rec.kind == PUT:
            pending.setdefault(rec.tx_id, []).append((PUT, rec.key, rec.value))
        elif rec.kind == DELETE:
            pending.setdefault(rec.tx_id, []).append((DELETE, rec.key, b""))
        elif rec.kind == COMMIT:
            for kind, key, value in pending.pop(rec.tx_id, []):
                if kind == PUT:
                    live[key] = value
                else:
                    live.pop(key, None)
    return live


# --------------------------------------------------------------------------- change feed


def change_key(tx_id: int, sequence: int) -> bytes:
    return CHANGE_PREFIX + tx_id.to_bytes(8, "big") + sequence.to_bytes(4, "big")


def encode_change_put(tx_id: int, sequence: int, key: bytes, value: bytes) -> bytes:
    return (
        struct.pack("<BQIBI", 1, tx_id, sequence, CHANGE_PUT, len(key))
        + key
        + b"\x01"
        + struct.pack("<Q", len(value))
        + hashlib.sha256(value).digest()
    )


def encode_change_delete(tx_id: int, sequence: int, key: bytes) -> bytes:
    return struct.pack("<BQIBI", 1, tx_id, sequence, CHANGE_DELETE, len(key)) + key + b"\x00"


def change_dict_put(tx_id: int, sequence: int, key: bytes, value: bytes) -> dict:
    return {
        "tx_id": tx_id,
        "sequence": sequence,
        "kind": "put",
        "key": key,
        "value_len": len(value),
        "value_sha256": hashlib.sha256(value).digest(),
    }


def change_dict_delete(tx_id: int, sequence: int, key: bytes) -> dict:
    return {
        "tx_id": tx_id,
        "sequence": sequence,
        "kind": "delete",
        "key": key,
        "value_len": None,
        "value_sha256": None,
    }


# --------------------------------------------------------------------------- whole logs


class LogBuilder:
    """Appends records with consecutive sequence numbers (unless told otherwise)."""

    def __init__(self, header: bytes | None = None, first_sequence: int = 1):
        self.header = encode_header() if header is None else header
        self.next_sequence = first_sequence
        self.chunks: list[bytes] = []

    def _seq(self, sequence: int | None) -> int:
        if sequence is None:
            sequence = self.next_sequence
        self.next_sequence = sequence + 1
        return sequence

    def record(self, kind, tx_id, payload=b"", *, sequence=None, **overrides) -> bytes:
        rec = encode_record(kind, tx_id, self._seq(sequence), payload, **overrides)
        self.chunks.append(rec)
        return rec

    def put(self, tx_id, key, value, **kw) -> bytes:
        return self.record(PUT, tx_id, put_payload(key, value), **kw)

    def delete(self, tx_id, key, **kw) -> bytes:
        return self.record(DELETE, tx_id, delete_payload(key), **kw)

    def commit(self, tx_id, payload=b"", **kw) -> bytes:
        return self.record(COMMIT, tx_id, payload, **kw)

    def raw(self, data: bytes) -> bytes:
        self.chunks.append(data)
        return data

    # What the store itself writes for one captured Store.put / Store.delete.
    def store_put(self, tx_id, key, value) -> None:
        self.put(tx_id, key, value)
        self.put(tx_id, change_key(tx_id, 0), encode_change_put(tx_id, 0, key, value))
        self.commit(tx_id)

    def store_delete(self, tx_id, key) -> None:
        self.delete(tx_id, key)
        self.put(tx_id, change_key(tx_id, 0), encode_change_delete(tx_id, 0, key))
        self.commit(tx_id)

    def log_bytes(self) -> bytes:
        return b"".join(self.chunks)

    def file_bytes(self) -> bytes:
        return self.header + self.log_bytes()

    def write(self, path: Path | str) -> bytes:
        data = self.file_bytes()
        Path(path).write_bytes(data)
        return data


def store_put_bytes(tx_id: int, first_sequence: int, key: bytes, value: bytes) -> bytes:
    """The three records a captured one-key put appends."""
    builder = LogBuilder(header=b"", first_sequence=first_sequence)
    builder.store_put(tx_id, key, value)
    return builder.log_bytes()


def store_delete_bytes(tx_id: int, first_sequence: int, key: bytes) -> bytes:
    builder = LogBuilder(header=b"", first_sequence=first_sequence)
    builder.store_delete(tx_id, key)
    return builder.log_bytes()
