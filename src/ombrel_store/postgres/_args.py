"""Argument conversion of the PostgreSQL store, word for word that of the native binding.

Byte strings must be `bytes`; optional byte strings also take a `bytearray` or a sequence of
ints 0..255 (a `str` raises TypeError "Can't extract `str` to `Vec`"); integers must be `int`
within the parameter's width, else OverflowError. Ids of the wrong length raise
OmbrelStoreError with the id's own text, before the database is touched.
"""

from __future__ import annotations

from collections.abc import Sequence

from .._native import OmbrelStoreError

I32 = (-(1 << 31), (1 << 31) - 1, "a signed 32-bit integer")
I64 = (-(1 << 63), (1 << 63) - 1, "a signed 64-bit integer")
U32 = (0, (1 << 32) - 1, "an unsigned 32-bit integer")
U64 = (0, (1 << 64) - 1, "an unsigned 64-bit integer")

STR_TO_VEC = "Can't extract `str` to `Vec`"


def _wrong_type(name: str, expected: str, value: object) -> TypeError:
    return TypeError(f"argument '{name}' must be {expected}, not {type(value).__name__}")


def as_bytes(value: object, name: str) -> bytes:
    if not isinstance(value, bytes):
        raise _wrong_type(name, "bytes", value)
    return bytes(value)


def as_byte_vec(value: object, name: str) -> bytes:
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str):
        raise TypeError(STR_TO_VEC)
    if not isinstance(value, Sequence):
        raise _wrong_type(name, "bytes, bytearray or a sequence of ints", value)
    out = bytearray()
    for item in value:
        if not isinstance(item, int):
            raise TypeError(f"argument '{name}' must contain ints in range 0..255, not {type(item).__name__}")
        if not 0 <= item <= 255:
            raise OverflowError(f"argument '{name}' must contain ints in range 0..255")
        out.append(item)
    return bytes(out)


def as_optional_byte_vec(value: object, name: str) -> bytes | None:
    return None if value is None else as_byte_vec(value, name)


def as_int(value: object, name: str, width: tuple[int, int, str]) -> int:
    if not isinstance(value, int):
        raise _wrong_type(name, "int", value)
    low, high, words = width
    if not low <= value <= high:
        raise OverflowError(f"argument '{name}' is out of range for {words}")
    return int(value)


def as_optional_int(value: object, name: str, width: tuple[int, int, str]) -> int | None:
    return None if value is None else as_int(value, name, width)


def as_str(value: object, name: str) -> str:
    if not isinstance(value, str):
        raise _wrong_type(name, "str", value)
    return value


def fixed_id(value: object, name: str, size: int, wrong_length: str) -> bytes:
    raw = as_bytes(value, name)
    if len(raw) != size:
        raise OmbrelStoreError(wrong_length)
    return raw


def job_id(value: object) -> bytes:
    return fixed_id(value, "id", 16, "job id must be exactly 16 bytes")


def handlers(value: object) -> list[bytes]:
    """A sequence of bytes handler names; None (or omitted) admits every handler."""
    if value is None:
        return []
    if isinstance(value, (str, bytes, bytearray)) or not isinstance(value, Sequence):
        raise TypeError(f"argument 'handlers' must be a sequence of bytes, not {type(value).__name__}")
    out = []
    for item in value:
        if not isinstance(item, bytes):
            raise TypeError(f"argument 'handlers' must contain bytes, not {type(item).__name__}")
        out.append(bytes(item))
    return out


def lease_args(id: object, lease_generation: object, now_ms: object) -> tuple[bytes, int, int]:
    """(job id, lease generation, now_ms) of the methods that act under a held lease."""
    return job_id(id), as_int(lease_generation, "lease_generation", U32), as_int(now_ms, "now_ms", I64)


def message_args(name: object, id: object, lease_generation: object) -> tuple[bytes, int, int]:
    """(queue name, message id, lease generation) of ack, nack and dead-letter."""
    return as_bytes(name, "name"), as_int(id, "id", U64), as_int(lease_generation, "lease_generation", U32)


def job_spec(handler, payload, available_at_ms, deadline_ms, priority, max_attempts, retry_backoff_ms, key) -> dict:
    """The converted job arguments of submit_job and enqueue_job, in the native order of checks."""
    spec = {
        "handler": as_bytes(handler, "handler"),
        "payload": as_bytes(payload, "payload"),
        "available_at_ms": as_int(available_at_ms, "available_at_ms", I64),
        "deadline_ms": as_optional_int(deadline_ms, "deadline_ms", I64),
        "priority": as_int(priority, "priority", I32),
        "max_attempts": as_int(max_attempts, "max_attempts", U32),
        "retry_backoff_ms": as_int(retry_backoff_ms, "retry_backoff_ms", U64),
        "idempotency_key": as_optional_byte_vec(key, "idempotency_key"),
    }
    # The smallest time spells "no deadline" in a job record.
    if spec["deadline_ms"] == -(1 << 63):
        spec["deadline_ms"] = None
    return spec
