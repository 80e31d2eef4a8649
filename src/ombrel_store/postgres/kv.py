"""Keys and values on PostgreSQL: the kv table read and written as a store file's key space.

Contract: keys sort bytewise (unsigned), as on a file; a key beginning with the internal prefix
b"\\xffomb:" is refused with ReservedKeyError; a key too large for a B-tree entry (about 2.7 kB)
raises OmbrelStoreError "key is too large" (see _errors.py).
"""

from __future__ import annotations

from .._native import ReservedKeyError

RESERVED_PREFIX = b"\xffomb:"
RESERVED_TEXT = "keys beginning with the Ombrel Store internal namespace are reserved"


def check_user_key(key: bytes) -> None:
    if key.startswith(RESERVED_PREFIX):
        raise ReservedKeyError(RESERVED_TEXT)


def prefix_end(prefix: bytes) -> bytes | None:
    """The smallest byte string above every key that starts with `prefix` (None: no bound)."""
    trimmed = prefix.rstrip(b"\xff")
    if not trimmed:
        return None
    return trimmed[:-1] + bytes([trimmed[-1] + 1])


def kv_get(conn, s: str, key: bytes) -> bytes | None:
    row = conn.execute(f"SELECT value FROM {s}.kv WHERE key = %s", (key,)).fetchone()
    return None if row is None else bytes(row[0])


def kv_put(conn, s: str, key: bytes, value: bytes) -> None:
    check_user_key(key)
    conn.execute(
        f"INSERT INTO {s}.kv (key, value) VALUES (%s, %s) ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value",
        (key, value),
    )


def kv_delete(conn, s: str, key: bytes) -> None:
    check_user_key(key)
    conn.execute(f"DELETE FROM {s}.kv WHERE key = %s", (key,))


def kv_scan(conn, s: str, prefix: bytes) -> list[tuple[bytes, bytes]]:
    end = prefix_end(prefix)
    if end is None:
        rows = conn.execute(f"SELECT key, value FROM {s}.kv WHERE key >= %s ORDER BY key", (prefix,))
    else:
        rows = conn.execute(
            f"SELECT key, value FROM {s}.kv WHERE key >= %s AND key < %s ORDER BY key", (prefix, end)
        )
    return [(bytes(k), bytes(v)) for k, v in rows]
