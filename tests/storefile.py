"""Byte-level model of the store file, written from the format description alone and
sharing nothing with the product code: a test crafts a file here, hands it to the store,
and compares what the store wrote with what this module says it should have written."""

from __future__ import annotations

import hashlib
import struct
import zlib
from pathlib import Path

RECORD_MAGIC = b"OMB1"
PUT, DELETE, COMMIT = 1, 2, 3
INTERNAL_PREFIX = b"\xffomb:"
CHANGE_PREFIX = b"\xffomb:cdc:change:"


def crc32(data: bytes) -> int:
    return zlib.crc32(data) & 0xFFFFFFFF


def hex32(value: int) -> str:
    return f"0x{value:08x}"


def encode_header(*, store_id=bytes(range(0xA0, 0xB0)), created_at_ms=1_700_000_000_000, reserved=0,
                  major=1, minor=0, padding=bytes(16), magic=b"OSTORE01", checksum=None) -> bytes:
    body = magic + struct.pack("<HH", major, minor) + store_id + struct.pack("<QQ", created_at_ms, reserved) + padding
    assert len(body) == 60
    return body + struct.pack("<I", crc32(body) if checksum is None else checksum)


def encode_record(kind, tx_id, sequence, payload=b"", *, checksum=None, length=None, magic=RECORD_MAGIC) -> bytes:
    """One framed record; `checksum` and `length` override the honest values."""
    body = magic + struct.pack("<BQQI", kind, tx_id, sequence, len(payload) if length is None else length) + payload
    return body + struct.pack("<I", crc32(body) if checksum is None else checksum)


def key_payload(key: bytes, value: bytes = b"") -> bytes:
    """A delete payload, or a put payload when a value follows the key."""
    return struct.pack("<I", len(key)) + key + value


def parse_records(data: bytes, pos: int = 64) -> list[tuple[int, int, int, bytes]]:
    """(kind, tx_id, sequence, payload) of every record of a well-formed log."""
    records = []
    while pos < len(data):
        kind, tx_id, sequence, length = struct.unpack_from("<BQQI", data, pos + 4)
        end = pos + 29 + length
        assert data[pos : pos + 4] == RECORD_MAGIC and end <= len(data), f"no record at offset {pos}"
        assert struct.unpack_from("<I", data, end - 4)[0] == crc32(data[pos : end - 4]), f"bad checksum at {pos}"
        records.append((kind, tx_id, sequence, data[pos + 25 : end - 4]))
        pos = end
    return records


def replay(data: bytes) -> dict[bytes, bytes]:
    """Live key table of a well-formed file: committed transactions in commit order."""
    live: dict[bytes, bytes] = {}
    pending: dict[int, list] = {}
    for kind, tx_id, _, payload in parse_records(data):
        if kind != COMMIT:
            (klen,) = struct.unpack_from("<I", payload)
            pending.setdefault(tx_id, []).append((kind, payload[4 : 4 + klen], payload[4 + klen :]))
            continue
        for op, key, value in pending.pop(tx_id, []):
            if op == PUT:
                live[key] = value
            else:
                live.pop(key, None)
    return live


def user_items(view) -> list[tuple[bytes, bytes]]:
    """The pairs of a store or transaction outside the internal namespace, in key order."""
    return [(k, v) for k, v in view.scan_prefix(b"") if not k.startswith(INTERNAL_PREFIX)]


def change_key(tx_id: int, sequence: int = 0) -> bytes:
    return CHANGE_PREFIX + struct.pack(">QI", tx_id, sequence)


def encode_change(tx_id: int, sequence: int, key: bytes, value: bytes | None = None) -> bytes:
    """A change value: of a put when `value` is given, else of a delete."""
    head = struct.pack("<BQIBI", 1, tx_id, sequence, value is None, len(key)) + key
    if value is None:
        return head + b"\x00"
    return head + b"\x01" + struct.pack("<Q", len(value)) + hashlib.sha256(value).digest()


def change_dict(tx_id: int, sequence: int, key: bytes, value: bytes | None = None) -> dict:
    """What the change-feed methods return for that change, in the published key order."""
    put = value is not None
    return {"tx_id": tx_id, "sequence": sequence, "kind": "put" if put else "delete", "key": key,
            "value_len": len(value) if put else None, "value_sha256": hashlib.sha256(value).digest() if put else None}


class LogBuilder:
    """Appends records with consecutive sequence numbers unless told otherwise."""

    def __init__(self, header: bytes | None = None, first_sequence: int = 1):
        self.header = encode_header() if header is None else header
        self.next_sequence = first_sequence
        self.chunks: list[bytes] = []

    def record(self, kind, tx_id, payload=b"", *, sequence=None, **overrides) -> LogBuilder:
        sequence = self.next_sequence if sequence is None else sequence
        self.next_sequence = sequence + 1
        self.chunks.append(encode_record(kind, tx_id, sequence, payload, **overrides))
        return self

    def put(self, tx_id, key, value, **kw) -> LogBuilder:
        return self.record(PUT, tx_id, key_payload(key, value), **kw)

    def delete(self, tx_id, key, **kw) -> LogBuilder:
        return self.record(DELETE, tx_id, key_payload(key), **kw)

    def commit(self, tx_id, payload=b"", **kw) -> LogBuilder:
        return self.record(COMMIT, tx_id, payload, **kw)

    def store_write(self, tx_id, key, value=None) -> LogBuilder:
        """What one Store.put (value given) or Store.delete appends: the operation, its change record, the commit."""
        self.delete(tx_id, key) if value is None else self.put(tx_id, key, value)
        return self.put(tx_id, change_key(tx_id), encode_change(tx_id, 0, key, value)).commit(tx_id)

    def log_bytes(self) -> bytes:
        return b"".join(self.chunks)

    def file_bytes(self) -> bytes:
        return self.header + self.log_bytes()

    def write(self, path: Path) -> bytes:
        data = self.file_bytes()
        Path(path).write_bytes(data)
        return data


def committed_file(path: Path, records) -> bytes:
    """Writes a store file whose one transaction puts `records` (a mapping or (key, value)
    pairs) and commits; returns its bytes."""
    log = LogBuilder()
    for key, value in (records.items() if isinstance(records, dict) else records):
        log.put(1, key, value)
    return log.commit(1).write(path)


def store_write_bytes(tx_id: int, first_sequence: int, key: bytes, value: bytes | None = None) -> bytes:
    """The records of one Store.put/Store.delete, without a header."""
    return LogBuilder(b"", first_sequence).store_write(tx_id, key, value).log_bytes()
