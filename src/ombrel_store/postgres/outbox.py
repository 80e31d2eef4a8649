"""The outbox on PostgreSQL: events written with the data of their transaction, read in order.

Contract: the store file's outbox methods, results, dict shapes and texts. An event's id is
(tx_id, nonce): tx_id is the id of the database transaction that wrote it (pg_current_xact_id(),
raised by meta.outbox_tx_offset, see schema.py), so the events of one transaction share it and
a later transaction's events carry a larger one. Transactions do not commit in id order, so
outbox_events_after only returns events of transactions below the oldest transaction still
running when it reads (the xmin of its snapshot): every transaction there has ended, so a reader
that moves its cursor to the last tx_id it read never skips an event that commits later. An
event is seen once the transactions begun before its own have ended.
"""

from __future__ import annotations

import os

from .._native import OmbrelStoreError

I64_MAX = (1 << 63) - 1

_OFFSET = "(SELECT outbox_tx_offset FROM {s}.meta)"


def emit(conn, s: str, topic: bytes, payload: bytes, created_at_ms: int) -> tuple[int, bytes]:
    if not topic:
        raise OmbrelStoreError("outbox topic cannot be empty")
    nonce = os.urandom(16)
    row = conn.execute(
        f"""
        INSERT INTO {s}.outbox_events (tx_id, nonce, topic, payload, created_at_ms)
        VALUES (pg_current_xact_id()::text::bigint + {_OFFSET.format(s=s)}, %s, %s, %s, %s)
        RETURNING tx_id
        """,
        (nonce, topic, payload, created_at_ms),
    ).fetchone()
    return (row[0], nonce)


def event_dict(row) -> dict:
    tx_id, nonce, topic, payload, created_at_ms = row
    nonce = bytes(nonce)
    return {
        "id": (tx_id, nonce),
        "tx_id": tx_id,
        "nonce": nonce,
        "topic": bytes(topic),
        "payload": bytes(payload),
        "created_at_ms": created_at_ms,
    }


def events_after(conn, s: str, after_tx_id: int | None, limit: int) -> list[dict]:
    if limit == 0 or (after_tx_id is not None and after_tx_id >= I64_MAX):
        return []
    rows = conn.execute(
        f"""
        SELECT tx_id, nonce, topic, payload, created_at_ms FROM {s}.outbox_events
        WHERE tx_id > %s
          AND tx_id < pg_snapshot_xmin(pg_current_snapshot())::text::bigint + {_OFFSET.format(s=s)}
        ORDER BY tx_id, nonce LIMIT %s
        """,
        (-(1 << 63) if after_tx_id is None else after_tx_id, min(limit, I64_MAX)),
    ).fetchall()
    return [event_dict(row) for row in rows]


def ack(conn, s: str, tx_id: int, nonce: bytes) -> bool:
    if tx_id > I64_MAX:
        return False
    cursor = conn.execute(f"DELETE FROM {s}.outbox_events WHERE tx_id = %s AND nonce = %s", (tx_id, nonce))
    return cursor.rowcount > 0


def length(conn, s: str) -> int:
    return conn.execute(f"SELECT count(*) FROM {s}.outbox_events").fetchone()[0]
