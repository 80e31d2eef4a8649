"""PgTransaction: operations staged in memory and applied in one database transaction at commit.

Contract:
- Staging methods check their arguments (ids of the wrong length raise at once and stage
  nothing), append one operation and return its position, counting from 0.
- Reads see the committed state overlaid with the staged puts and deletes, as on a store file.
- Commit applies the operations in order in one database transaction: each sees the writes of
  those before it. The first failure rolls everything back and is raised with the text of the
  same call on the store: a complete, fail, ack, nack or dead-letter whose lease is lost fails
  the whole commit. A heartbeat or release answers as on the store, with a False result when
  the lease is no longer held. Commit, rollback or dropping the object gives the store back.
- commit_with_results() maps the position of each operation that yields a result to a dict
  whose first key is "kind", as on a store file: "job" (id), "queue" (id), "outbox" (tx_id,
  nonce), "job_fail" (state: "ready" or "dead"), "job_heartbeat" (extended), "job_release"
  (released) and "outbox_ack" (removed). The other kinds yield none.
"""

from __future__ import annotations

from typing import Literal

from collections.abc import Sequence

from .._native import TransactionFinishedError
from . import _args as a
from . import jobs, outbox, queues
from ._errors import database_errors
from .kv import kv_delete, kv_get, kv_put, kv_scan

CREATE_TOKEN = object()

FINISHED_TEXT = "transaction is finished"


def _enqueue(conn, s, spec, now_ms):
    return {"kind": "job", "id": jobs.submit(conn, s, spec, now_ms, b"transactional")}


def _push(conn, s, name, payload, available_at_ms, priority):
    return {"kind": "queue", "id": queues.push(conn, s, name, payload, available_at_ms, priority, True)}


def _emit(conn, s, topic, payload, created_at_ms):
    tx_id, nonce = outbox.emit(conn, s, topic, payload, created_at_ms)
    return {"kind": "outbox", "tx_id": tx_id, "nonce": nonce}


def _fail(conn, s, job_id, generation, now_ms, detail):
    return {"kind": "job_fail", "state": jobs.fail(conn, s, job_id, generation, now_ms, detail)}


def _heartbeat(conn, s, job_id, generation, now_ms, duration_ms):
    return {"kind": "job_heartbeat", "extended": jobs.heartbeat(conn, s, job_id, generation, now_ms, duration_ms)}


def _release(conn, s, job_id, generation, now_ms):
    return {"kind": "job_release", "released": jobs.release(conn, s, job_id, generation, now_ms)}


def _ack_event(conn, s, tx_id, nonce):
    return {"kind": "outbox_ack", "removed": outbox.ack(conn, s, tx_id, nonce)}


def _no_result(operation):
    def apply(conn, s, *args):
        operation(conn, s, *args)

    return apply


class PgTransaction:
    """Operations staged against a PgStore and applied in one database transaction at commit."""

    def __init__(self, store, _token: object = None):
        if _token is not CREATE_TOKEN:
            raise TypeError("PgTransaction cannot be created directly; use PgStore.transaction()")
        self._store = store
        self._operations: list[tuple] = []
        self._finished = False

    def _live(self) -> None:
        if self._finished:
            raise TransactionFinishedError(FINISHED_TEXT)

    def _stage(self, apply, *args) -> int:
        self._operations.append((apply, args))
        return len(self._operations) - 1

    def _staged_value(self, key: bytes):
        """(True, value or None) for the newest staged put or delete of `key`, else (False, None)."""
        for apply, args in reversed(self._operations):
            if apply is kv_put and args[0] == key:
                return True, args[1]
            if apply is kv_delete and args[0] == key:
                return True, None
        return False, None

    def _read(self, operation, *args):
        store = self._store
        with database_errors(), store._pool.connection() as conn:
            return operation(conn, store._schema, *args)

    # ---- keys and values ----

    def get(self, key: bytes) -> bytes | None:
        """Return the staged or committed value of ``key``, or None."""
        key = a.as_bytes(key, "key")
        self._live()
        staged, value = self._staged_value(key)
        return value if staged else self._read(kv_get, key)

    def contains(self, key: bytes) -> bool:
        """Return True when ``key`` has a staged or committed value."""
        return self.get(key) is not None

    def scan_prefix(self, prefix: bytes) -> list[tuple[bytes, bytes]]:
        """Return the committed pairs under ``prefix`` with the staged puts and deletes applied, by key."""
        prefix = a.as_bytes(prefix, "prefix")
        self._live()
        entries = dict(self._read(kv_scan, prefix))
        for apply, args in self._operations:
            if apply is kv_put and args[0].startswith(prefix):
                entries[args[0]] = args[1]
            elif apply is kv_delete and args[0].startswith(prefix):
                entries.pop(args[0], None)
        return sorted(entries.items())

    def put(self, key: bytes, value: bytes) -> None:
        """Stage a write of ``value`` under ``key`` (a reserved key fails at commit)."""
        key, value = a.as_bytes(key, "key"), a.as_bytes(value, "value")
        self._live()
        self._stage(kv_put, key, value)

    def delete(self, key: bytes) -> None:
        """Stage the removal of ``key``."""
        key = a.as_bytes(key, "key")
        self._live()
        self._stage(kv_delete, key)

    # ---- domain operations ----

    def enqueue_job(
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
    ) -> int:
        """Stage a job submission; its id is the "job" result. Return the operation's position."""
        spec = a.job_spec(
            handler, payload, available_at_ms, deadline_ms, priority, max_attempts, retry_backoff_ms, idempotency_key
        )
        now_ms = a.as_int(now_ms, "now_ms", a.I64)
        self._live()
        return self._stage(_enqueue, spec, now_ms)

    def push_queue(self, queue: bytes, payload: bytes, *, available_at_ms: int = 0, priority: int = 0) -> int:
        """Stage a push to ``queue``; its id is the "queue" result. Return the operation's position."""
        queue, payload = a.as_bytes(queue, "queue"), a.as_bytes(payload, "payload")
        available_at_ms = a.as_int(available_at_ms, "available_at_ms", a.I64)
        priority = a.as_int(priority, "priority", a.I32)
        self._live()
        return self._stage(_push, queue, payload, available_at_ms, priority)

    def emit_event(self, topic: bytes, payload: bytes, created_at_ms: int) -> int:
        """Stage an outbox event; its (tx_id, nonce) is the "outbox" result. Return the position."""
        topic, payload = a.as_bytes(topic, "topic"), a.as_bytes(payload, "payload")
        created_at_ms = a.as_int(created_at_ms, "created_at_ms", a.I64)
        self._live()
        return self._stage(_emit, topic, payload, created_at_ms)

    def complete_job(self, id: bytes, lease_generation: int, now_ms: int) -> int:
        """Stage the completion of a held job; a lost lease fails the commit. Return the position."""
        args = a.lease_args(id, lease_generation, now_ms)
        self._live()
        return self._stage(_no_result(jobs.complete), *args)

    def fail_job(self, id: bytes, lease_generation: int, now_ms: int, detail: bytes) -> int:
        """Stage a failed attempt of a held job; its new state is the "job_fail" result. Return the position."""
        args = a.lease_args(id, lease_generation, now_ms)
        detail = a.as_bytes(detail, "detail")
        self._live()
        return self._stage(_fail, *args, detail)

    def heartbeat_job(self, id: bytes, lease_generation: int, now_ms: int, lease_duration_ms: int) -> int:
        """Stage a lease extension; whether it held is the "job_heartbeat" result. Return the position."""
        args = a.lease_args(id, lease_generation, now_ms)
        duration = a.as_int(lease_duration_ms, "lease_duration_ms", a.U64)
        self._live()
        return self._stage(_heartbeat, *args, duration)

    def release_job(self, id: bytes, lease_generation: int, now_ms: int) -> int:
        """Stage giving a held job back; whether it was held is the "job_release" result. Return the position."""
        args = a.lease_args(id, lease_generation, now_ms)
        self._live()
        return self._stage(_release, *args)

    def ack_queue(self, name: bytes, id: int, lease_generation: int) -> int:
        """Stage the acknowledgement of a held message. Return the position."""
        args = a.message_args(name, id, lease_generation)
        self._live()
        return self._stage(_no_result(queues.settle), "ack", *args)

    def nack_queue(self, name: bytes, id: int, lease_generation: int, available_at_ms: int) -> int:
        """Stage giving a held message back, ready at ``available_at_ms``. Return the position."""
        args = a.message_args(name, id, lease_generation)
        available_at_ms = a.as_int(available_at_ms, "available_at_ms", a.I64)
        self._live()
        return self._stage(_no_result(queues.settle), "nack", *args, available_at_ms)

    def dead_letter_queue(self, name: bytes, id: int, lease_generation: int) -> int:
        """Stage marking a held message dead. Return the position."""
        args = a.message_args(name, id, lease_generation)
        self._live()
        return self._stage(_no_result(queues.settle), "dead_letter", *args)

    def ack_outbox_event(self, tx_id: int, nonce: bytes) -> int:
        """Stage deleting a delivered event; whether it was pending is the "outbox_ack" result. Return the position."""
        tx_id = a.as_int(tx_id, "tx_id", a.U64)
        nonce = a.fixed_id(nonce, "nonce", 16, "outbox nonce must be exactly 16 bytes")
        self._live()
        return self._stage(_ack_event, tx_id, nonce)

    # ---- end ----

    def commit(self) -> None:
        """Apply every staged operation in one database transaction; the first failure undoes all."""
        self._commit()

    def commit_with_results(self) -> dict[int, dict]:
        """Commit and return {position: result dict} for the operations that yield a result."""
        return self._commit()

    def _commit(self) -> dict[int, dict]:
        self._live()
        self._finished = True
        store = self._store
        results: dict[int, dict] = {}
        try:
            with database_errors(), store._pool.connection() as conn, conn.transaction():
                for position, (apply, args) in enumerate(self._operations):
                    result = apply(conn, store._schema, *args)
                    if isinstance(result, dict):
                        results[position] = result
        finally:
            self._operations = []
            store._give_back()
        return results

    def rollback(self) -> None:
        """Discard the staged operations and give the store back."""
        self._live()
        self._finished = True
        self._operations = []
        self._store._give_back()

    def __enter__(self) -> PgTransaction:
        return self

    def __exit__(self, exc_type, _exc_value, _traceback) -> Literal[False]:
        if self._finished:
            return False
        if exc_type is None:
            self.commit()
        else:
            self.rollback()
        return False

    def __del__(self):
        if not getattr(self, "_finished", True):
            self._finished = True
            self._store._give_back()

