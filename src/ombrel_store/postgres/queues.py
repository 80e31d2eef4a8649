"""Queues on PostgreSQL: push, claim under a lease, ack, nack, dead-letter, purge and statistics.

Contract: the store file's queue methods, with their results, dict shapes and texts, over the
tables queues and queue_messages (schema.py); the connection rules of jobs.py. A queue's id
counter is its row in queues, so ids are consecutive in push order and never reused; pushes to
one queue wait for each other's commits. Claims rank by priority (highest first), then id, and
skip messages another claimer is locking (see jobs.py for what that may reorder). The lease
generation is fenced in the WHERE clause of ack, nack and dead-letter.
"""

from __future__ import annotations

import hashlib

from .._native import OmbrelStoreError

I64_MAX = (1 << 63) - 1
U32_MAX = (1 << 32) - 1
READY, LEASED, DEAD = range(3)


def check_name(name: bytes, in_transaction: bool = False) -> bytes:
    if not name:
        raise OmbrelStoreError(
            "queue/stream/topic name cannot be empty" if in_transaction else "queue name cannot be empty"
        )
    return hashlib.sha256(name).digest()


def push(conn, s: str, name: bytes, payload: bytes, available_at_ms: int, priority: int, in_transaction=False) -> int:
    name_hash = check_name(name, in_transaction)
    params = {
        "hash": name_hash,
        "name": name,
        "payload": payload,
        "available_at": available_at_ms,
        "priority": priority,
    }
    statement = f"""
        WITH counter AS (
            UPDATE {s}.queues SET next_id = next_id + 1
            WHERE name_hash = %(hash)s AND next_id < {I64_MAX}
            RETURNING qid, next_id - 1 AS id
        )
        INSERT INTO {s}.queue_messages (qid, id, state, attempts, priority, available_at_ms, lease_until_ms, payload)
        SELECT qid, id, 0, 0, %(priority)s, %(available_at)s, 0, %(payload)s FROM counter
        RETURNING id
        """
    row = conn.execute(statement, params).fetchone()
    if row is not None:
        return row[0]
    conn.execute(
        f"INSERT INTO {s}.queues (name_hash, name) VALUES (%(hash)s, %(name)s) ON CONFLICT (name_hash) DO NOTHING",
        params,
    )
    row = conn.execute(statement, params).fetchone()
    if row is None:
        # The queue exists (made by this call or a concurrent one): its counter is at the end.
        raise OmbrelStoreError(
            "transactional counter/offset is exhausted" if in_transaction else "queue message id space is exhausted"
        )
    return row[0]


def claim(conn, s: str, name: bytes, now_ms: int, lease_duration_ms: int) -> dict | None:
    name_hash = check_name(name)
    if lease_duration_ms > I64_MAX or now_ms + lease_duration_ms > I64_MAX:
        raise OmbrelStoreError("queue time value overflowed")
    row = conn.execute(
        f"""
        WITH q AS (
            SELECT qid FROM {s}.queues WHERE name_hash = %(hash)s
        ), ready AS (
            SELECT m.qid, m.id, m.priority FROM {s}.queue_messages m JOIN q ON m.qid = q.qid
            WHERE m.state = 0 AND m.available_at_ms <= %(now)s
            ORDER BY m.priority DESC, m.id LIMIT 1 FOR UPDATE OF m SKIP LOCKED
        ), lapsed AS (
            SELECT m.qid, m.id, m.priority FROM {s}.queue_messages m JOIN q ON m.qid = q.qid
            WHERE m.state = 1 AND m.lease_until_ms <= %(now)s
            ORDER BY m.priority DESC, m.id LIMIT 1 FOR UPDATE OF m SKIP LOCKED
        ), best AS (
            SELECT * FROM (SELECT * FROM ready UNION ALL SELECT * FROM lapsed) c
            ORDER BY priority DESC, id LIMIT 1
        ), taken AS (
            UPDATE {s}.queue_messages m SET state = 1, attempts = m.attempts + 1, lease_until_ms = %(lease_end)s
            FROM best b WHERE m.qid = b.qid AND m.id = b.id AND m.attempts < {U32_MAX}
            RETURNING m.id, m.payload, m.attempts, m.priority, m.available_at_ms, m.lease_until_ms
        )
        SELECT b.id IS NOT NULL, t.* FROM (SELECT 1) one LEFT JOIN best b ON true LEFT JOIN taken t ON t.id = b.id
        """,
        {"hash": name_hash, "now": now_ms, "lease_end": now_ms + lease_duration_ms},
    ).fetchone()
    if not row[0]:
        return None
    if row[1] is None:
        raise OmbrelStoreError("queue delivery attempt counter is exhausted")
    message_id, payload, attempts, priority, available_at, lease_until = row[1:]
    return {
        "id": message_id,
        "payload": bytes(payload),
        "attempts": attempts,
        "priority": priority,
        "available_at_ms": available_at,
        "lease_until_ms": lease_until,
        "lease_generation": attempts,
    }


# What each acknowledgement does to a held message, as SQL on the row `m` matched by the fence.
_SETTLE = {
    "ack": "DELETE FROM {s}.queue_messages m WHERE {fence} RETURNING 1",
    "nack": "UPDATE {s}.queue_messages m SET state = 0, available_at_ms = %(available_at)s, lease_until_ms = 0 "
    "WHERE {fence} RETURNING 1",
    "dead_letter": "UPDATE {s}.queue_messages m SET state = 2, lease_until_ms = 0 WHERE {fence} RETURNING 1",
}


def settle(conn, s: str, how: str, name: bytes, message_id: int, generation: int, available_at_ms: int = 0) -> None:
    """Ack, nack or dead-letter a held message; any other holder, or none, raises the queue's text."""
    name_hash = check_name(name)
    if message_id > I64_MAX:
        raise OmbrelStoreError(f"queue message {message_id} was not found")
    fence = (
        "m.qid = (SELECT qid FROM q) AND m.id = %(id)s AND m.state = 1 AND m.attempts = %(generation)s"
    )
    row = conn.execute(
        f"""
        WITH q AS (
            SELECT qid FROM {s}.queues WHERE name_hash = %(hash)s
        ), current AS (
            SELECT state, attempts FROM {s}.queue_messages WHERE qid = (SELECT qid FROM q) AND id = %(id)s
            FOR UPDATE
        ), done AS (
            {_SETTLE[how].format(s=s, fence=fence)}
        )
        SELECT EXISTS (SELECT 1 FROM done), c.state, c.attempts FROM (SELECT 1) one LEFT JOIN current c ON true
        """,
        {"hash": name_hash, "id": message_id, "generation": generation, "available_at": available_at_ms},
    ).fetchone()
    done, state, attempts = row
    if done:
        return
    if state is None:
        raise OmbrelStoreError(f"queue message {message_id} was not found")
    if state != LEASED:
        raise OmbrelStoreError(f"queue message {message_id} is not currently leased")
    raise OmbrelStoreError(
        f"lease generation mismatch for message {message_id}: expected {attempts}, provided {generation}"
    )


def purge_dead(conn, s: str, name: bytes) -> int:
    name_hash = check_name(name)
    row = conn.execute(
        f"""
        WITH purged AS (
            DELETE FROM {s}.queue_messages
            WHERE qid = (SELECT qid FROM {s}.queues WHERE name_hash = %s) AND state = 2 RETURNING 1
        )
        SELECT count(*) FROM purged
        """,
        (name_hash,),
    ).fetchone()
    return row[0]


def stats(conn, s: str, name: bytes, now_ms: int | None) -> dict:
    name_hash = check_name(name)
    ready, leased, dead, oldest = conn.execute(
        f"""
        SELECT count(*) FILTER (WHERE state = 0), count(*) FILTER (WHERE state = 1),
               count(*) FILTER (WHERE state = 2), min(available_at_ms) FILTER (WHERE state = 0)
        FROM {s}.queue_messages WHERE qid = (SELECT qid FROM {s}.queues WHERE name_hash = %s)
        """,
        (name_hash,),
    ).fetchone()
    out = {"ready": ready, "leased": leased, "dead": dead, "total": ready + leased + dead}
    if now_ms is not None:
        if oldest is None:
            lag = None
        elif oldest > now_ms:
            lag = 0
        else:
            lag = now_ms - oldest
            if lag > I64_MAX:
                lag = None
        out["ready_lag_ms"] = lag
    return out
