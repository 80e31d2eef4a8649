"""Durable jobs, the same contract on a store file and on PostgreSQL: dict shapes, claim order,
leases and fencing, retries and their back-off, deadlines, idempotency, history and purge."""

from __future__ import annotations

import inspect

import pytest

from expect import raises_exactly
from ombrel_store import _native

Error = _native.OmbrelStoreError
JOB_KEYS = ["id", "state", "handler", "payload", "available_at_ms", "deadline_ms", "priority", "attempts",
            "max_attempts", "retry_backoff_ms", "lease_until_ms", "lease_generation", "idempotency_key"]
SHARED_METHODS = [
    "get", "contains", "put", "delete", "scan_prefix", "flush", "close", "transaction",
    "submit_job", "get_job", "claim_job", "heartbeat_job", "complete_job", "fail_job", "release_job",
    "release_expired_jobs", "retry_job", "cancel_job", "list_jobs", "job_stats", "job_history",
    "purge_finished_jobs", "push_queue", "claim_queue", "ack_queue", "nack_queue", "dead_letter_queue",
    "purge_dead_queue", "queue_stats", "emit_outbox_event", "outbox_events_after", "ack_outbox_event", "outbox_len",
]


def delay(job_id: bytes, attempts: int, backoff: int) -> int:
    return backoff * max(attempts, 1) * (91 + (sum(job_id) % 256 + attempts) % 256 % 20) // 100


def history_kinds(store, job_id):
    return [(kind, detail) for _, _, kind, detail in store.job_history(job_id)]


@pytest.mark.parametrize("name", SHARED_METHODS)
def test_methods_take_the_parameters_of_the_store_file(name):
    from ombrel_store.postgres import PgStore

    def shape(fn):
        return [(p.name, p.kind) for p in inspect.signature(fn).parameters.values() if p.name != "self"]

    native, pg = getattr(_native.Store, name), getattr(PgStore, name)
    assert shape(pg) == shape(native)
    assert pg.__doc__


def test_a_job_round_trips_in_the_dict_shape_of_the_store(backend):
    job_id = backend.submit_job(b"mail", b"body", 5, deadline_ms=-(2**63), priority=-3, max_attempts=7,
                                retry_backoff_ms=2**64 - 1, idempotency_key=bytearray(b"k"))
    job = backend.get_job(job_id)
    assert list(job) == JOB_KEYS
    assert job == dict(id=job_id, state="ready", handler=b"mail", payload=b"body", available_at_ms=0, deadline_ms=None,
                       priority=-3, attempts=0, max_attempts=7, retry_backoff_ms=2**64 - 1, lease_until_ms=0,
                       lease_generation=0, idempotency_key=b"k")
    assert backend.job_history(job_id) == [(0, 5, "submitted", b"")]
    assert backend.get_job(bytes(16)) is None and backend.job_history(bytes(16)) == []


@pytest.mark.parametrize("call, error", [
    (lambda s: s.submit_job(b"", b"", 0), (Error, "job handler cannot be empty")),
    (lambda s: s.submit_job(b"h", b"", 0, max_attempts=0), (Error, "max attempts must be at least one")),
    (lambda s: s.get_job(bytes(15)), (Error, "job id must be exactly 16 bytes")),
    (lambda s: s.complete_job(bytes(17), 1, 0), (Error, "job id must be exactly 16 bytes")),
    (lambda s: s.complete_job(bytes(16), 1, 0), (Error, "job was not found")),
    (lambda s: s.fail_job(bytes(16), 1, 0, b""), (Error, "job was not found")),
    (lambda s: s.claim_job(2**63 - 1, 1), (Error, "time value overflowed")),
    (lambda s: s.claim_job(0, 2**63), (Error, "time value overflowed")),
    (lambda s: s.submit_job(b"h", b"", 0, idempotency_key="k"), (TypeError, "Can't extract `str` to `Vec`")),
    (lambda s: s.submit_job("h", b"", 0), (TypeError, None)),
    (lambda s: s.submit_job(b"h", b"", 0, priority=2**31), (OverflowError, None)),
    (lambda s: s.claim_job(0, 1, handlers=b"h"), (TypeError, None)),
])
def test_bad_requests_raise_the_store_files_exceptions_and_change_nothing(backend, call, error):
    with raises_exactly(*error):
        call(backend)
    assert backend.job_stats()["total"] == 0


def test_claims_take_priority_then_availability_then_id(backend):
    ids = {}
    for name, priority, available in [("late", 5, 20), ("low", 1, 0), ("a", 5, 10), ("b", 5, 10), ("future", 9, 99)]:
        ids[name] = backend.submit_job(name.encode(), b"", 0, priority=priority, available_at_ms=available)
    first, second = sorted([ids["a"], ids["b"]])
    order = [backend.claim_job(50, 1000)["id"] for _ in range(4)]
    assert order == [first, second, ids["late"], ids["low"]]
    assert backend.claim_job(50, 1000) is None  # "future" is not available yet


def test_handler_filters_and_expired_leases_are_taken_over(backend):
    mail = backend.submit_job(b"mail", b"", 0)
    sms = backend.submit_job(b"sms", b"", 0, priority=9)
    assert backend.claim_job(0, 10, handlers=[b"mail", b"push"])["id"] == mail
    assert backend.claim_job(0, 10, handlers=[b"push"]) is None
    assert backend.claim_job(0, 10, handlers=[])["id"] == sms
    taken = backend.claim_job(10, 10, handlers=[b"mail"])  # the lease ended at 10
    assert (taken["id"], taken["attempts"], taken["lease_generation"], taken["lease_until_ms"]) == (mail, 2, 2, 20)
    with raises_exactly(Error, "job lease generation mismatch: expected 2, provided 1"):
        backend.complete_job(mail, 1, 11)
    assert backend.heartbeat_job(mail, 1, 11, 100) is False
    assert backend.release_job(mail, 1, 11) is False
    assert backend.heartbeat_job(mail, 2, 11, 100) is True
    assert backend.get_job(mail)["lease_until_ms"] == 111
    backend.complete_job(mail, 2, 12)
    with raises_exactly(Error, "job is not currently leased"):
        backend.complete_job(mail, 2, 13)
    assert history_kinds(backend, mail) == [("submitted", b""), ("claimed", b""), ("claimed", b""),
                                            ("completed", b"")]


def test_failures_back_off_with_the_jitter_of_the_store_and_then_die(backend):
    job_id = backend.submit_job(b"h", b"", 0, max_attempts=2, retry_backoff_ms=1000)
    backend.claim_job(0, 10)
    assert backend.fail_job(job_id, 1, 100, b"boom") == "ready"
    assert backend.get_job(job_id)["available_at_ms"] == 100 + delay(job_id, 1, 1000)
    assert backend.claim_job(100, 10) is None
    backend.claim_job(10**6, 10)
    assert backend.fail_job(job_id, 2, 10**6, b"again") == "dead"
    assert backend.retry_job(job_id, 10**6 + 1)["attempts"] == 0
    assert backend.retry_job(job_id, 10**6 + 2) is None
    assert history_kinds(backend, job_id)[2:] == [("retry_scheduled", b"boom"), ("claimed", b""), ("dead", b"again"),
                                                 ("retry_scheduled", b"manual retry")]


def test_attempts_deadlines_and_expired_leases(backend):
    once = backend.submit_job(b"once", b"", 0, max_attempts=1)
    overdue = backend.submit_job(b"late", b"", 0, available_at_ms=500, deadline_ms=50)
    other = backend.submit_job(b"once", b"", 0, priority=-1)
    assert backend.claim_job(100, 0, handlers=[b"once"])["id"] == once  # lease already over
    assert backend.get_job(overdue)["state"] == "ready"  # filtered out: not touched
    assert backend.claim_job(100, 0, handlers=[b"once"]) is None  # out of attempts: dead, nothing handed out
    assert backend.get_job(once)["state"] == "dead" and backend.get_job(once)["attempts"] == 2
    assert backend.claim_job(100, 0)["id"] == other  # the overdue job dies on the way
    assert history_kinds(backend, overdue)[-1] == ("dead", b"deadline exceeded")
    assert history_kinds(backend, once)[-1] == ("dead", b"max attempts exceeded")
    assert backend.release_expired_jobs(100) == 1
    assert backend.get_job(other)["state"] == "ready"
    assert history_kinds(backend, other)[-1] == ("retry_scheduled", b"lease expired")
    assert backend.job_stats() == {"total": 3, "ready": 1, "leased": 0, "completed": 0, "dead": 2, "cancelled": 0}


def test_idempotency_keys_hold_while_the_job_is_active(backend):
    first = backend.submit_job(b"h", b"", 0, idempotency_key=b"order-1")
    assert backend.submit_job(b"h", b"other", 0, idempotency_key=[111, 114, 100, 101, 114, 45, 49]) == first
    leased = backend.claim_job(0, 10)
    assert backend.submit_job(b"h", b"", 0, idempotency_key=b"order-1") == first
    backend.complete_job(first, leased["lease_generation"], 1)
    second = backend.submit_job(b"h", b"", 0, idempotency_key=b"order-1")
    assert second != first and backend.job_stats()["total"] == 2


def test_cancel_release_and_listing(backend):
    a = backend.submit_job(b"h", b"", 0, available_at_ms=30)
    b = backend.submit_job(b"h", b"", 0, available_at_ms=10)
    leased = backend.claim_job(40, 100)
    assert leased["id"] == b
    assert backend.release_job(b, 1, 41) is True
    assert backend.get_job(b)["available_at_ms"] == 41 and history_kinds(backend, b)[-1] == (
        "retry_scheduled", b"released")
    assert [job["id"] for job in backend.list_jobs()] == [a, b]
    assert backend.cancel_job(a, 42) is True and backend.cancel_job(a, 43) is False
    assert backend.cancel_job(bytes(16), 43) is False


def test_purge_removes_finished_jobs_oldest_first(backend):
    finished = []
    for at in (30, 10, 20):
        job_id = backend.submit_job(b"h", b"", 0)
        backend.cancel_job(job_id, at)
        finished.append((at, job_id))
    active = backend.submit_job(b"h", b"", 0)
    assert backend.purge_finished_jobs(100, 0) == 0
    assert backend.purge_finished_jobs(25, limit=5) == 2
    assert [job["id"] for job in backend.list_jobs()] == sorted([finished[0][1], active])
    assert backend.job_history(finished[1][1]) == []
    assert backend.purge_finished_jobs(31) == 1 and backend.purge_finished_jobs(10**9) == 0
    assert backend.get_job(active)["state"] == "ready"


def test_a_closed_store_refuses_every_call(backend):
    backend.close()
    backend.close()
    with raises_exactly(_native.StoreClosedError, "store is closed"):
        backend.job_stats()
