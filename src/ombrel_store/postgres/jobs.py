"""Durable jobs on PostgreSQL: the job operations of a store file, on the tables of schema.py.

Contract:
- Every function takes an open connection and the schema name and leaves the connection as it
  found it: a single statement (atomic by itself, or inside the caller's transaction), or a
  `conn.transaction()` block, which becomes a savepoint inside a caller's transaction.
- Results, dict shapes and error texts are those of the store file's job methods; a job
  operation's change and its history entry are written by one statement or one transaction.
- A lease is fenced in the WHERE clause of the write (state leased and the given
  lease_generation), so a stale holder on any host is refused by the database itself.
- Claims lock their candidates with FOR UPDATE SKIP LOCKED: one claimer takes jobs in the store
  file's order (priority, highest first, then available_at_ms, then id); concurrent claimers
  skip the rows the others are taking, so a job may be handed out before a better one that
  another claimer is holding at that instant, or whose claim then rolls back.
"""

from __future__ import annotations

import hashlib
import os

from .._native import OmbrelStoreError

STATES = ("ready", "leased", "completed", "dead", "cancelled")
READY, LEASED, COMPLETED, DEAD, CANCELLED = range(5)
HISTORY_KINDS = ("submitted", "claimed", "completed", "retry_scheduled", "dead", "cancelled")
SUBMITTED, CLAIMED, COMPLETED_KIND, RETRY_SCHEDULED, DEAD_KIND, CANCELLED_KIND = range(6)

I64_MAX = (1 << 63) - 1
U32_MAX = (1 << 32) - 1
U64_MAX = (1 << 64) - 1

COLUMNS = (
    "id, state, handler, payload, available_at_ms, deadline_ms, priority, attempts, max_attempts, "
    "retry_backoff_ms, lease_until_ms, lease_generation, idempotency_key"
)


def job_dict(row) -> dict:
    """A job row (in COLUMNS order) as the store's job dict."""
    return {
        "id": bytes(row[0]),
        "state": STATES[row[1]],
        "handler": bytes(row[2]),
        "payload": bytes(row[3]),
        "available_at_ms": row[4],
        "deadline_ms": row[5],
        "priority": row[6],
        "attempts": row[7],
        "max_attempts": row[8],
        "retry_backoff_ms": int(row[9]),
        "lease_until_ms": row[10],
        "lease_generation": row[11],
        "idempotency_key": None if row[12] is None else bytes(row[12]),
    }


def time_overflow() -> OmbrelStoreError:
    return OmbrelStoreError("time value overflowed")


def add_duration(at_ms: int, duration_ms: int) -> int:
    """at_ms + duration_ms; a duration of 2**63 or more, or an end past the largest time, overflows."""
    end = at_ms + duration_ms
    if duration_ms > I64_MAX or end > I64_MAX:
        raise time_overflow()
    return end


def retry_delay_ms(job_id: bytes, attempts: int, retry_backoff_ms: int) -> int:
    """The back-off after a failed attempt: base times attempts, with a 91-110 % per-job jitter."""
    base = retry_backoff_ms * (attempts if attempts > 1 else 1)
    if base > U64_MAX:
        raise time_overflow()
    percent = 91 + ((sum(job_id) % 256 + attempts) % 256) % 20
    if base * percent > U64_MAX:
        raise time_overflow()
    return base * percent // 100


def _lease_fault(row, generation: int) -> OmbrelStoreError:
    """Why a held-lease write matched nothing, from the job's current (state, generation)."""
    if row is None:
        return OmbrelStoreError("job was not found")
    state, stored = row
    if state != LEASED:
        return OmbrelStoreError("job is not currently leased")
    return OmbrelStoreError(f"job lease generation mismatch: expected {stored}, provided {generation}")


def _check_spec(handler: bytes, max_attempts: int) -> None:
    if not handler:
        raise OmbrelStoreError("job handler cannot be empty")
    if max_attempts == 0:
        raise OmbrelStoreError("max attempts must be at least one")


def submit(conn, s: str, spec: dict, now_ms: int, detail: bytes = b"") -> bytes:
    """Insert a ready job and its "submitted" entry; an active job holding the idempotency key wins."""
    _check_spec(spec["handler"], spec["max_attempts"])
    key = spec["idempotency_key"]
    params = dict(spec, now=now_ms, detail=detail, key=key)
    # The arbiter of a concurrent submit with the same key is the unique index: the loser's
    # insert does nothing and it reads the winner's id. Should that job finish in between,
    # the key is free again and the insert is tried once more.
    for _ in range(100):
        params["id"] = os.urandom(16)
        row = conn.execute(
            f"""
            WITH job AS (
                INSERT INTO {s}.jobs (id, state, handler, payload, idempotency_key, deadline_ms,
                    available_at_ms, priority, attempts, max_attempts, retry_backoff_ms,
                    lease_until_ms, lease_generation, next_seq)
                VALUES (%(id)s, 0, %(handler)s, %(payload)s, %(key)s, %(deadline_ms)s,
                    %(available_at_ms)s, %(priority)s, 0, %(max_attempts)s, %(retry_backoff_ms)s, 0, 0, 1)
                ON CONFLICT ((sha256(idempotency_key))) WHERE state IN (0, 1) AND idempotency_key IS NOT NULL
                DO NOTHING
                RETURNING id
            ), entry AS (
                INSERT INTO {s}.job_history (job_id, seq, at_ms, kind, detail)
                SELECT id, 0, %(now)s, 0, %(detail)s FROM job
            )
            SELECT id FROM job
            """,
            params,
        ).fetchone()
        if row is not None:
            return bytes(row[0])
        held = conn.execute(
            f"SELECT id FROM {s}.jobs WHERE state IN (0, 1) AND idempotency_key IS NOT NULL "
            "AND sha256(idempotency_key) = sha256(%s) AND idempotency_key = %s",
            (key, key),
        ).fetchone()
        if held is not None:
            return bytes(held[0])
    raise OmbrelStoreError("store error: idempotency key kept changing hands")


def _handler_filter(handlers: list[bytes], params: dict) -> str:
    if not handlers:
        return ""
    if len(handlers) == 1:
        params["handler_hash"] = hashlib.sha256(handlers[0]).digest()
        params["handler"] = handlers[0]
        return "AND sha256(handler) = %(handler_hash)s AND handler = %(handler)s"
    params["handler_hashes"] = [hashlib.sha256(h).digest() for h in handlers]
    params["handlers"] = list(handlers)
    return "AND sha256(handler) = ANY(%(handler_hashes)s) AND handler = ANY(%(handlers)s)"


def claim(conn, s: str, now_ms: int, lease_duration_ms: int, handlers: list[bytes]) -> dict | None:
    """Kill overdue jobs, then lease the best claimable one (or kill it when out of attempts)."""
    lease_end = add_duration(now_ms, lease_duration_ms)
    params = {"now": now_ms, "lease_end": lease_end}
    only = _handler_filter(handlers, params)
    row = conn.execute(
        f"""
        WITH overdue AS (
            SELECT id FROM {s}.jobs
            WHERE state IN (0, 1) AND deadline_ms <= %(now)s AND (state = 0 OR lease_until_ms <= %(now)s) {only}
            FOR UPDATE SKIP LOCKED
        ), killed AS (
            UPDATE {s}.jobs j SET state = 3, lease_until_ms = 0, finished_at_ms = %(now)s, next_seq = j.next_seq + 1
            FROM overdue o WHERE j.id = o.id
            RETURNING j.id, j.next_seq - 1 AS seq
        ), killed_entries AS (
            INSERT INTO {s}.job_history (job_id, seq, at_ms, kind, detail)
            SELECT id, seq, %(now)s, 4, 'deadline exceeded'::bytea FROM killed
        ), ready AS (
            SELECT id, priority, available_at_ms FROM {s}.jobs
            WHERE state = 0 AND available_at_ms <= %(now)s AND (deadline_ms IS NULL OR deadline_ms > %(now)s) {only}
            ORDER BY priority DESC, available_at_ms, id LIMIT 1 FOR UPDATE SKIP LOCKED
        ), lapsed AS (
            SELECT id, priority, available_at_ms FROM {s}.jobs
            WHERE state = 1 AND lease_until_ms <= %(now)s AND (deadline_ms IS NULL OR deadline_ms > %(now)s) {only}
            ORDER BY priority DESC, available_at_ms, id LIMIT 1 FOR UPDATE SKIP LOCKED
        ), best AS (
            SELECT id FROM (SELECT * FROM ready UNION ALL SELECT * FROM lapsed) c
            ORDER BY priority DESC, available_at_ms, id LIMIT 1
        ), taken AS (
            UPDATE {s}.jobs j SET
                attempts = j.attempts + 1,
                state = CASE WHEN j.attempts + 1 > j.max_attempts THEN 3 ELSE 1 END,
                lease_until_ms = CASE WHEN j.attempts + 1 > j.max_attempts THEN 0 ELSE %(lease_end)s END,
                lease_generation = CASE WHEN j.attempts + 1 > j.max_attempts THEN j.lease_generation
                                        ELSE j.attempts + 1 END,
                finished_at_ms = CASE WHEN j.attempts + 1 > j.max_attempts THEN %(now)s END,
                next_seq = j.next_seq + 1
            FROM best b WHERE j.id = b.id AND j.attempts < {U32_MAX}
            RETURNING {", ".join("j." + c.strip() for c in COLUMNS.split(","))}, j.next_seq - 1 AS seq
        ), taken_entries AS (
            INSERT INTO {s}.job_history (job_id, seq, at_ms, kind, detail)
            SELECT id, seq, %(now)s, CASE WHEN state = 3 THEN 4 ELSE 1 END,
                   CASE WHEN state = 3 THEN 'max attempts exceeded'::bytea ELSE ''::bytea END
            FROM taken
        )
        SELECT b.id IS NOT NULL, t.* FROM (SELECT 1) one
        LEFT JOIN best b ON true LEFT JOIN taken t ON t.id = b.id
        """,
        params,
    ).fetchone()
    found, job = row[0], row[1:-1]
    if not found:
        return None
    if job[0] is None:
        raise OmbrelStoreError("job attempt counter exhausted")
    if job[1] == DEAD:
        return None
    return job_dict(job)


def complete(conn, s: str, job_id: bytes, generation: int, now_ms: int) -> None:
    row = conn.execute(
        f"""
        WITH current AS (
            SELECT state, lease_generation FROM {s}.jobs WHERE id = %(id)s FOR UPDATE
        ), done AS (
            UPDATE {s}.jobs SET state = 2, lease_until_ms = 0, finished_at_ms = %(now)s, next_seq = next_seq + 1
            WHERE id = %(id)s AND state = 1 AND lease_generation = %(generation)s
            RETURNING id, next_seq - 1 AS seq
        ), entry AS (
            INSERT INTO {s}.job_history (job_id, seq, at_ms, kind, detail)
            SELECT id, seq, %(now)s, 2, ''::bytea FROM done
        )
        SELECT EXISTS (SELECT 1 FROM done), c.state, c.lease_generation
        FROM (SELECT 1) one LEFT JOIN current c ON true
        """,
        {"id": job_id, "generation": generation, "now": now_ms},
    ).fetchone()
    if not row[0]:
        raise _lease_fault(None if row[1] is None else (row[1], row[2]), generation)


def fail(conn, s: str, job_id: bytes, generation: int, now_ms: int, detail: bytes) -> str:
    with conn.transaction():
        row = conn.execute(
            f"SELECT state, lease_generation, attempts, max_attempts, retry_backoff_ms FROM {s}.jobs "
            "WHERE id = %s FOR UPDATE",
            (job_id,),
        ).fetchone()
        if row is None or row[0] != LEASED or row[1] != generation:
            raise _lease_fault(None if row is None else row[:2], generation)
        _, _, attempts, max_attempts, backoff = row
        if attempts >= max_attempts:
            state, kind, available_at = DEAD, DEAD_KIND, None
        else:
            state, kind = READY, RETRY_SCHEDULED
            available_at = add_duration(now_ms, retry_delay_ms(job_id, attempts, int(backoff)))
        conn.execute(
            f"""
            WITH failed AS (
                UPDATE {s}.jobs SET state = %(state)s, lease_until_ms = 0,
                    available_at_ms = coalesce(%(available_at)s, available_at_ms),
                    finished_at_ms = CASE WHEN %(state)s = 3 THEN %(now)s::bigint END,
                    next_seq = next_seq + 1
                WHERE id = %(id)s AND state = 1 AND lease_generation = %(generation)s
                RETURNING id, next_seq - 1 AS seq
            )
            INSERT INTO {s}.job_history (job_id, seq, at_ms, kind, detail)
            SELECT id, seq, %(now)s, %(kind)s, %(detail)s FROM failed
            """,
            {
                "state": state,
                "available_at": available_at,
                "now": now_ms,
                "id": job_id,
                "generation": generation,
                "kind": kind,
                "detail": detail,
            },
        )
        return STATES[state]


def heartbeat(conn, s: str, job_id: bytes, generation: int, now_ms: int, duration_ms: int) -> bool:
    """Extend a held lease; an unheld job gives False."""
    try:
        lease_end = add_duration(now_ms, duration_ms)
    except OmbrelStoreError:
        # Not holding the job is answered first, whatever the duration.
        row = conn.execute(f"SELECT state, lease_generation FROM {s}.jobs WHERE id = %s", (job_id,)).fetchone()
        if row is None or row[0] != LEASED or row[1] != generation:
            return False
        raise
    cursor = conn.execute(
        f"UPDATE {s}.jobs SET lease_until_ms = %s WHERE id = %s AND state = 1 AND lease_generation = %s",
        (lease_end, job_id, generation),
    )
    return cursor.rowcount > 0


def release(conn, s: str, job_id: bytes, generation: int, now_ms: int) -> bool:
    row = conn.execute(
        f"""
        WITH released AS (
            UPDATE {s}.jobs SET state = 0, available_at_ms = %(now)s, lease_until_ms = 0, next_seq = next_seq + 1
            WHERE id = %(id)s AND state = 1 AND lease_generation = %(generation)s
            RETURNING id, next_seq - 1 AS seq
        ), entry AS (
            INSERT INTO {s}.job_history (job_id, seq, at_ms, kind, detail)
            SELECT id, seq, %(now)s, 3, 'released'::bytea FROM released
        )
        SELECT count(*) FROM released
        """,
        {"id": job_id, "generation": generation, "now": now_ms},
    ).fetchone()
    return row[0] > 0


def release_expired(conn, s: str, now_ms: int) -> int:
    row = conn.execute(
        f"""
        WITH lapsed AS (
            SELECT id FROM {s}.jobs WHERE state = 1 AND lease_until_ms <= %(now)s
            FOR UPDATE SKIP LOCKED
        ), handled AS (
            UPDATE {s}.jobs j SET lease_until_ms = 0,
                state = CASE WHEN j.attempts >= j.max_attempts THEN 3 ELSE 0 END,
                available_at_ms = CASE WHEN j.attempts >= j.max_attempts THEN j.available_at_ms ELSE %(now)s END,
                finished_at_ms = CASE WHEN j.attempts >= j.max_attempts THEN %(now)s END,
                next_seq = j.next_seq + 1
            FROM lapsed l WHERE j.id = l.id
            RETURNING j.id, j.state, j.next_seq - 1 AS seq
        ), entries AS (
            INSERT INTO {s}.job_history (job_id, seq, at_ms, kind, detail)
            SELECT id, seq, %(now)s, CASE WHEN state = 3 THEN 4 ELSE 3 END,
                   CASE WHEN state = 3 THEN 'lease expired: max attempts exhausted'::bytea
                        ELSE 'lease expired'::bytea END
            FROM handled
        )
        SELECT count(*) FROM handled
        """,
        {"now": now_ms},
    ).fetchone()
    return row[0]


def retry(conn, s: str, job_id: bytes, now_ms: int) -> dict | None:
    from psycopg import errors as pg_errors

    try:
        with conn.transaction():
            row = conn.execute(
                f"""
                WITH revived AS (
                    UPDATE {s}.jobs SET state = 0, available_at_ms = %(now)s, lease_until_ms = 0, attempts = 0,
                        lease_generation = 0, finished_at_ms = NULL, next_seq = next_seq + 1
                    WHERE id = %(id)s AND state = 3
                    RETURNING {COLUMNS}, next_seq - 1 AS seq
                ), entry AS (
                    INSERT INTO {s}.job_history (job_id, seq, at_ms, kind, detail)
                    SELECT id, seq, %(now)s, 3, 'manual retry'::bytea FROM revived
                )
                SELECT {COLUMNS} FROM revived
                """,
                {"id": job_id, "now": now_ms},
            ).fetchone()
    except pg_errors.UniqueViolation:
        raise OmbrelStoreError("job idempotency key is held by another ready or leased job") from None
    return None if row is None else job_dict(row)


def cancel(conn, s: str, job_id: bytes, now_ms: int) -> bool:
    row = conn.execute(
        f"""
        WITH cancelled AS (
            UPDATE {s}.jobs SET state = 4, lease_until_ms = 0, finished_at_ms = %(now)s, next_seq = next_seq + 1
            WHERE id = %(id)s AND state IN (0, 1)
            RETURNING id, next_seq - 1 AS seq
        ), entry AS (
            INSERT INTO {s}.job_history (job_id, seq, at_ms, kind, detail)
            SELECT id, seq, %(now)s, 5, ''::bytea FROM cancelled
        )
        SELECT count(*) FROM cancelled
        """,
        {"id": job_id, "now": now_ms},
    ).fetchone()
    return bool(row[0])


def get(conn, s: str, job_id: bytes) -> dict | None:
    row = conn.execute(f"SELECT {COLUMNS} FROM {s}.jobs WHERE id = %s", (job_id,)).fetchone()
    return None if row is None else job_dict(row)


def list_all(conn, s: str) -> list[dict]:
    rows = conn.execute(f"SELECT {COLUMNS} FROM {s}.jobs ORDER BY available_at_ms, id").fetchall()
    return [job_dict(row) for row in rows]


def stats(conn, s: str) -> dict:
    counts = [0] * 5
    for state, count in conn.execute(f"SELECT state, count(*) FROM {s}.jobs GROUP BY state"):
        counts[state] = count
    out = {"total": sum(counts)}
    out.update(zip(STATES, counts))
    return out


def history(conn, s: str, job_id: bytes) -> list[tuple]:
    rows = conn.execute(
        f"SELECT seq, at_ms, kind, detail FROM {s}.job_history WHERE job_id = %s ORDER BY seq", (job_id,)
    ).fetchall()
    return [(seq, at_ms, HISTORY_KINDS[kind], bytes(detail)) for seq, at_ms, kind, detail in rows]


def purge_finished(conn, s: str, finished_before_ms: int, limit: int) -> int:
    if limit == 0:
        return 0
    row = conn.execute(
        f"""
        WITH doomed AS (
            SELECT id FROM {s}.jobs WHERE state IN (2, 3, 4) AND finished_at_ms < %(before)s
            ORDER BY finished_at_ms, id LIMIT %(limit)s FOR UPDATE SKIP LOCKED
        ), entries AS (
            DELETE FROM {s}.job_history h USING doomed d WHERE h.job_id = d.id
        ), removed AS (
            DELETE FROM {s}.jobs j USING doomed d WHERE j.id = d.id RETURNING 1
        )
        SELECT count(*) FROM removed
        """,
        {"before": finished_before_ms, "limit": min(limit, I64_MAX)},
    ).fetchone()
    return row[0]
