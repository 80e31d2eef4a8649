"""PgStore: the jobs, queues, outbox, keys and values of a Store, kept in a PostgreSQL database.

Contract:
- The methods share the names, parameters, results, dict shapes, exception classes and texts of
  the same methods of `ombrel_store.Store`; arguments are checked first, as the native binding
  checks them, then the store's state (StoreClosedError after close, StoreBusyError while a
  transaction obtained from `transaction()` is live), then the database is used.
- Each method is one database transaction, committed before it returns, with
  synchronous_commit on for the durabilities "strict" and "data" and off for "relaxed".
- A PgStore may be shared by threads: calls run on a pool of at most `max_connections`
  connections. Worker processes on any number of hosts open their own PgStore on one database
  and schema; leases, generations and SKIP LOCKED claims keep them apart (see jobs.py).
- Keys and values live in their own table: internal keys of a store file do not exist here, so a
  scan of b"\\xffomb:" finds nothing, and writing such a key raises ReservedKeyError as it does
  on a file.
"""

from __future__ import annotations

from typing import Literal

import threading
from collections.abc import Sequence

import psycopg
from psycopg.conninfo import conninfo_to_dict
from psycopg_pool import ConnectionPool

from .._native import StoreBusyError, StoreClosedError
from . import _args as a
from . import jobs, outbox, queues
from .kv import kv_delete, kv_get, kv_put, kv_scan
from .transaction import CREATE_TOKEN, PgTransaction
from ._errors import database_errors
from .schema import check_schema_name, ensure_schema

DURABILITY_TEXT = "durability must be one of: 'strict', 'data', 'relaxed'"
_SYNCHRONOUS_COMMIT = {"strict": "on", "data": "on", "relaxed": "off"}

class PgStore:
    """Jobs, queues, the outbox, keys and values of a Store, kept in a PostgreSQL database.

    Created only by ``PgStore.open(dsn, ...)``; usable as a context manager that closes it.
    """

    def __init__(self, pool: ConnectionPool, schema: str, _token: object = None):
        if _token is not _OPEN_TOKEN:
            raise TypeError("PgStore cannot be created directly; use PgStore.open(dsn)")
        self._pool = pool
        self._schema = schema
        self._lock = threading.Lock()
        self._state = "open"

    @staticmethod
    def open(
        dsn: str,
        *,
        durability: str = "data",
        schema: str = "ombrel",
        max_connections: int = 4,
        timeout: float = 30.0,
    ) -> PgStore:
        """Connect to the database of ``dsn`` and create or upgrade the store's tables in ``schema``.

        ``durability`` "strict" or "data" commits with synchronous_commit on (a commit is on disk
        when the call returns), "relaxed" with it off. At most ``max_connections`` connections
        are opened, and a call waits at most ``timeout`` seconds for one. Raises ValueError for
        an unknown durability or schema name and IoError when the database cannot be reached.
        """
        dsn = a.as_str(dsn, "dsn")
        try:
            conninfo_to_dict(dsn)
        except psycopg.ProgrammingError as error:
            raise ValueError(f"invalid connection string: {error}") from None
        durability = a.as_str(durability, "durability")
        if durability not in _SYNCHRONOUS_COMMIT:
            raise ValueError(DURABILITY_TEXT)
        schema = check_schema_name(a.as_str(schema, "schema"))
        if not isinstance(max_connections, int) or max_connections < 1:
            raise ValueError("max_connections must be a positive int")
        synchronous_commit = _SYNCHRONOUS_COMMIT[durability]

        def configure(conn):
            conn.execute(f"SET synchronous_commit TO {synchronous_commit}")
            # Every search of the store is meant to walk an index in the order it returns: left
            # to its statistics (absent for a new table, stale under heavy churn) the planner may
            # instead gather every ready job and sort them, for each claim.
            # (Sorts stay possible where no index gives the order, at a cost that would call in
            # the JIT compiler, which no statement of the store needs.)
            conn.execute("SET enable_bitmapscan TO off")
            conn.execute("SET enable_sort TO off")
            conn.execute("SET jit TO off")

        pool = ConnectionPool(
            dsn,
            min_size=1,
            max_size=max_connections,
            kwargs={"autocommit": True},
            configure=configure,
            timeout=timeout,
            open=False,
        )
        try:
            with database_errors():
                pool.open(wait=True, timeout=timeout)
                with pool.connection() as conn:
                    ensure_schema(conn, schema)
        except BaseException:
            pool.close()
            raise
        return PgStore(pool, schema, _OPEN_TOKEN)

    # ---- lifecycle ----

    def _check(self) -> None:
        state = self._state
        if state == "closed":
            raise StoreClosedError("store is closed")
        if state == "borrowed":
            raise StoreBusyError("store is exclusively borrowed by an active transaction")

    def _run(self, operation, *args):
        self._check()
        with database_errors(), self._pool.connection() as conn:
            return operation(conn, self._schema, *args)

    def close(self) -> None:
        """Close the store's connections; closing a closed store does nothing.

        Raises StoreBusyError while a transaction holds the store.
        """
        with self._lock:
            if self._state == "borrowed":
                raise StoreBusyError("cannot close store while a transaction is active")
            if self._state == "closed":
                return
            self._state = "closed"
        self._pool.close()

    def __enter__(self) -> PgStore:
        return self

    def __exit__(self, _exc_type, _exc_value, _traceback) -> Literal[False]:
        self.close()
        return False

    def __del__(self):
        pool = getattr(self, "_pool", None)
        if pool is not None and getattr(self, "_state", "closed") != "closed":
            try:
                pool.close()
            except Exception:  # noqa: BLE001  (a finaliser reports nothing; the server drops the connections)
                pass

    def flush(self) -> None:
        """Make every commit so far durable, also those made with synchronous_commit off."""

        def flush(conn, _s):
            with conn.transaction():
                conn.execute("SET LOCAL synchronous_commit TO on")
                conn.execute("SELECT pg_current_xact_id()")

        self._run(flush)

    def transaction(self) -> PgTransaction:
        """Return a PgTransaction holding the store until it commits, rolls back or is dropped.

        Raises StoreBusyError while another transaction is active, StoreClosedError when closed.
        """
        with self._lock:
            if self._state == "borrowed":
                raise StoreBusyError("a transaction is already active")
            if self._state == "closed":
                raise StoreClosedError("store is closed")
            self._state = "borrowed"
        return PgTransaction(self, CREATE_TOKEN)

    def _give_back(self) -> None:
        with self._lock:
            if self._state == "borrowed":
                self._state = "open"

    # ---- keys and values ----

    def get(self, key: bytes) -> bytes | None:
        """Return the committed value of ``key``, or None when absent."""
        return self._run(kv_get, a.as_bytes(key, "key"))

    def contains(self, key: bytes) -> bool:
        """Return True when ``key`` is live in the store."""
        return self._run(kv_get, a.as_bytes(key, "key")) is not None

    def put(self, key: bytes, value: bytes) -> None:
        """Write ``value`` under ``key``, committed at once.

        Raises ReservedKeyError for a key beginning with b"\\xffomb:".
        """
        self._run(kv_put, a.as_bytes(key, "key"), a.as_bytes(value, "value"))

    def delete(self, key: bytes) -> None:
        """Remove ``key``, committed at once; an absent key is no error.

        Raises ReservedKeyError for a key beginning with b"\\xffomb:".
        """
        self._run(kv_delete, a.as_bytes(key, "key"))

    def scan_prefix(self, prefix: bytes) -> list[tuple[bytes, bytes]]:
        """Return every (key, value) pair whose key starts with ``prefix``, ascending by key."""
        return self._run(kv_scan, a.as_bytes(prefix, "prefix"))

    # ---- jobs ----

    def submit_job(
        self,
        handler: bytes,
        payload: bytes,
        now_ms: int,
        *,
        available_at_ms: int = 0,
        deadline_ms: int | None = None,
        priority: int = 0,
        max_attempts: int = 3,
        retry_backoff_ms: int = 1000,
        idempotency_key: bytes | bytearray | Sequence[int] | None = None,
    ) -> bytes:
        """Create a ready job and return its 16-byte id (the existing one for an active idempotency key).

        Concurrent submits with one key, from any host, return one job.
        """
        spec = a.job_spec(
            handler, payload, available_at_ms, deadline_ms, priority, max_attempts, retry_backoff_ms, idempotency_key
        )
        now_ms = a.as_int(now_ms, "now_ms", a.I64)
        return self._run(jobs.submit, spec, now_ms)

    def get_job(self, id: bytes) -> dict | None:
        """Return the job with this id as a dict, or None if there is none."""
        return self._run(jobs.get, a.job_id(id))

    def claim_job(self, now_ms: int, lease_duration_ms: int, *, handlers: Sequence[bytes] | None = None) -> dict | None:
        """Lease the most urgent claimable job of the given handlers (all when omitted or empty), or return None.

        Overdue jobs are made dead on the way; a job out of attempts is made dead and None is
        returned. Concurrent claimers skip the jobs the others are taking at that instant.
        """
        now_ms = a.as_int(now_ms, "now_ms", a.I64)
        lease = a.as_int(lease_duration_ms, "lease_duration_ms", a.U64)
        return self._run(jobs.claim, now_ms, lease, a.handlers(handlers))

    def heartbeat_job(self, id: bytes, lease_generation: int, now_ms: int, lease_duration_ms: int) -> bool:
        """Extend a held lease to now_ms + lease_duration_ms; False if the job is not leased under that generation."""
        job_id, generation, now_ms = a.lease_args(id, lease_generation, now_ms)
        duration = a.as_int(lease_duration_ms, "lease_duration_ms", a.U64)
        return self._run(jobs.heartbeat, job_id, generation, now_ms, duration)

    def complete_job(self, id: bytes, lease_generation: int, now_ms: int) -> None:
        """Mark a held job completed; raises OmbrelStoreError if it is missing, not leased or held by another generation."""
        self._run(jobs.complete, *a.lease_args(id, lease_generation, now_ms))

    def fail_job(self, id: bytes, lease_generation: int, now_ms: int, detail: bytes) -> str:
        """Report a failed attempt: "ready" when a retry is scheduled after the back-off, "dead" when attempts are used up."""
        job_id, generation, now_ms = a.lease_args(id, lease_generation, now_ms)
        return self._run(jobs.fail, job_id, generation, now_ms, a.as_bytes(detail, "detail"))

    def release_job(self, id: bytes, lease_generation: int, now_ms: int) -> bool:
        """Give a held job back, ready at once; False if the job is not leased under that generation."""
        job_id, generation, now_ms = a.lease_args(id, lease_generation, now_ms)
        return self._run(jobs.release, job_id, generation, now_ms)

    def release_expired_jobs(self, now_ms: int) -> int:
        """Make every job whose lease ended ready again (or dead); return how many were handled."""
        return self._run(jobs.release_expired, a.as_int(now_ms, "now_ms", a.I64))

    def retry_job(self, id: bytes, now_ms: int) -> dict | None:
        """Revive a dead job with its attempts reset; None if the job is missing or not dead.

        Raises OmbrelStoreError when another ready or leased job holds its idempotency key.
        """
        job_id = a.job_id(id)
        return self._run(jobs.retry, job_id, a.as_int(now_ms, "now_ms", a.I64))

    def cancel_job(self, id: bytes, now_ms: int) -> bool:
        """Cancel a ready or leased job; False if it is missing or already finished."""
        job_id = a.job_id(id)
        return self._run(jobs.cancel, job_id, a.as_int(now_ms, "now_ms", a.I64))

    def list_jobs(self) -> list[dict]:
        """Return every job, by available_at_ms and then id."""
        return self._run(jobs.list_all)

    def job_stats(self) -> dict:
        """Return the number of jobs in all and per state."""
        return self._run(jobs.stats)

    def job_history(self, id: bytes) -> list[tuple[int, int, str, bytes]]:
        """Return the job's (seq, at_ms, kind, detail) history entries in order; [] for an unknown id."""
        return self._run(jobs.history, a.job_id(id))

    def purge_finished_jobs(self, finished_before_ms: int, limit: int = 100) -> int:
        """Delete up to limit jobs that finished before finished_before_ms, oldest first, with their history; return how many."""
        before = a.as_int(finished_before_ms, "finished_before_ms", a.I64)
        return self._run(jobs.purge_finished, before, a.as_int(limit, "limit", a.U64))

    # ---- queues ----

    def push_queue(self, name: bytes, payload: bytes, *, available_at_ms: int = 0, priority: int = 0) -> int:
        """Append a ready message to queue ``name`` and return its id (1 for a new queue's first message)."""
        name = a.as_bytes(name, "name")
        payload = a.as_bytes(payload, "payload")
        available_at_ms = a.as_int(available_at_ms, "available_at_ms", a.I64)
        priority = a.as_int(priority, "priority", a.I32)
        return self._run(queues.push, name, payload, available_at_ms, priority)

    def claim_queue(self, name: bytes, now_ms: int, lease_duration_ms: int) -> dict | None:
        """Lease the best claimable message of queue ``name`` until now_ms + lease_duration_ms, or return None."""
        name = a.as_bytes(name, "name")
        now_ms = a.as_int(now_ms, "now_ms", a.I64)
        lease = a.as_int(lease_duration_ms, "lease_duration_ms", a.U64)
        return self._run(queues.claim, name, now_ms, lease)

    def ack_queue(self, name: bytes, id: int, lease_generation: int) -> None:
        """Acknowledge leased message ``id`` of queue ``name``, deleting it."""
        self._run(queues.settle, "ack", *a.message_args(name, id, lease_generation))

    def nack_queue(self, name: bytes, id: int, lease_generation: int, available_at_ms: int) -> None:
        """Give leased message ``id`` back: ready again at ``available_at_ms``, keeping its attempts."""
        args = a.message_args(name, id, lease_generation)
        available_at_ms = a.as_int(available_at_ms, "available_at_ms", a.I64)
        self._run(queues.settle, "nack", *args, available_at_ms)

    def dead_letter_queue(self, name: bytes, id: int, lease_generation: int) -> None:
        """Mark leased message ``id`` dead: never claimed again, kept until purge_dead_queue."""
        self._run(queues.settle, "dead_letter", *a.message_args(name, id, lease_generation))

    def purge_dead_queue(self, name: bytes) -> int:
        """Delete every dead message of queue ``name`` in one transaction and return how many."""
        return self._run(queues.purge_dead, a.as_bytes(name, "name"))

    def queue_stats(self, name: bytes, *, now_ms: int | None = None) -> dict:
        """Count the messages of queue ``name``: ready, leased, dead, total and, with now_ms, ready_lag_ms."""
        name = a.as_bytes(name, "name")
        return self._run(queues.stats, name, a.as_optional_int(now_ms, "now_ms", a.I64))

    # ---- outbox ----

    def emit_outbox_event(self, topic: bytes, payload: bytes, created_at_ms: int) -> tuple[int, bytes]:
        """Record an event for delivery in its own transaction and return its id, the tuple (tx_id, nonce)."""
        topic = a.as_bytes(topic, "topic")
        payload = a.as_bytes(payload, "payload")
        created_at_ms = a.as_int(created_at_ms, "created_at_ms", a.I64)
        return self._run(outbox.emit, topic, payload, created_at_ms)

    def outbox_events_after(self, after_tx_id: int | None = None, limit: int = 100) -> list[dict]:
        """Return up to ``limit`` pending events of transactions after ``after_tx_id`` (all when None), in order.

        Events of a transaction show once every transaction begun before it has ended, so a
        cursor moved to the last tx_id read skips no event. A limit of 0 returns [].
        """
        after = a.as_optional_int(after_tx_id, "after_tx_id", a.U64)
        return self._run(outbox.events_after, after, a.as_int(limit, "limit", a.U64))

    def ack_outbox_event(self, tx_id: int, nonce: bytes) -> bool:
        """Delete the delivered event (tx_id, nonce); True if it was pending, False if there was none."""
        tx_id = a.as_int(tx_id, "tx_id", a.U64)
        nonce = a.fixed_id(nonce, "nonce", 16, "outbox nonce must be exactly 16 bytes")
        return self._run(outbox.ack, tx_id, nonce)

    def outbox_len(self) -> int:
        """Return the number of pending outbox events."""
        return self._run(outbox.length)


_OPEN_TOKEN = object()
