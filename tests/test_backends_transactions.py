"""Explicit transactions on both kinds of store: staged reads, results by position, all or nothing,
and job, queue and outbox acknowledgements that fail the whole commit when their lease is lost."""

from __future__ import annotations

import pytest

from expect import raises_exactly
from ombrel_store import _native

Error = _native.OmbrelStoreError


def test_staged_operations_commit_together_with_results_by_position(backend):
    backend.put(b"k1", b"old")
    with backend.transaction() as tx:
        assert tx.put(b"k2", b"v") is None
        assert tx.push_queue(b"q", b"a") == 1
        assert tx.push_queue(b"q", b"b") == 2
        assert tx.enqueue_job(b"h", b"p", 7, idempotency_key=b"once") == 3
        assert tx.enqueue_job(b"h", b"p", 7, idempotency_key=b"once") == 4
        assert tx.emit_event(b"t", b"e", 9) == 5
        tx.delete(b"k1")
        assert tx.get(b"k2") == b"v" and tx.get(b"k1") is None and not tx.contains(b"k1")
        assert tx.scan_prefix(b"k") == [(b"k2", b"v")]
        with raises_exactly(_native.StoreBusyError, "store is exclusively borrowed by an active transaction"):
            backend.get(b"k1")
        with raises_exactly(_native.StoreBusyError, "a transaction is already active"):
            backend.transaction()
        results = tx.commit_with_results()
    assert list(results) == [1, 2, 3, 4, 5]
    assert results[1] == {"kind": "queue", "id": 1} and results[2] == {"kind": "queue", "id": 2}
    job_id = results[3]["id"]
    assert list(results[3]) == ["kind", "id"] and results[3]["kind"] == "job" and results[4]["id"] == job_id
    assert list(results[5]) == ["kind", "tx_id", "nonce"] and results[5]["kind"] == "outbox"
    assert backend.job_history(job_id) == [(0, 7, "submitted", b"transactional")]
    assert [e["id"] for e in backend.outbox_events_after()] == [(results[5]["tx_id"], results[5]["nonce"])]
    assert backend.scan_prefix(b"k") == [(b"k2", b"v")]
    with raises_exactly(_native.TransactionFinishedError, "transaction is finished"):
        tx.commit()


@pytest.mark.parametrize("stage, error", [
    (lambda tx: tx.put(b"\xffomb:x", b""), (_native.ReservedKeyError, None)),
    (lambda tx: tx.push_queue(b"", b"x"), (Error, "queue/stream/topic name cannot be empty")),
    (lambda tx: tx.enqueue_job(b"", b"x", 0), (Error, "job handler cannot be empty")),
    (lambda tx: tx.emit_event(b"", b"x", 0), (Error, "outbox topic cannot be empty")),
])
def test_a_failing_operation_undoes_the_whole_commit(backend, stage, error):
    tx = backend.transaction()
    tx.put(b"k", b"v")
    tx.push_queue(b"q", b"x")
    tx.emit_event(b"t", b"x", 0)
    stage(tx)
    with raises_exactly(*error):
        tx.commit()
    assert backend.get(b"k") is None and backend.outbox_len() == 0
    assert backend.queue_stats(b"q")["total"] == 0
    assert backend.push_queue(b"q", b"y") == 1  # the counter did not move either


def test_rollback_and_dropping_give_the_store_back_unchanged(backend):
    tx = backend.transaction()
    tx.put(b"k", b"v")
    tx.rollback()
    with raises_exactly(_native.TransactionFinishedError):
        tx.rollback()
    with pytest.raises(RuntimeError), backend.transaction() as tx:
        tx.put(b"k", b"v")
        raise RuntimeError
    backend.transaction().put(b"k", b"v")  # dropped at once
    assert backend.get(b"k") is None
    assert backend.transaction().commit_with_results() == {}


def test_acknowledgements_commit_with_the_work_they_finish(backend):
    job_id = backend.submit_job(b"h", b"", 0, max_attempts=1)
    backend.push_queue(b"in", b"m")
    job = backend.claim_job(0, 100)
    message = backend.claim_queue(b"in", 0, 100)
    event = backend.emit_outbox_event(b"t", b"e", 0)
    tx = backend.transaction()
    assert tx.heartbeat_job(job_id, 1, 10, 500) == 0
    tx.push_queue(b"out", b"result")
    tx.ack_queue(b"in", message["id"], message["lease_generation"])
    tx.complete_job(job_id, job["lease_generation"], 20)
    tx.ack_outbox_event(*event)
    tx.ack_outbox_event(*event)
    assert tx.commit_with_results() == {0: {"kind": "job_heartbeat", "extended": True}, 1: {"kind": "queue", "id": 1},
                                        4: {"kind": "outbox_ack", "removed": True},
                                        5: {"kind": "outbox_ack", "removed": False}}
    assert backend.get_job(job_id)["state"] == "completed" and backend.outbox_len() == 0
    assert backend.queue_stats(b"in")["total"] == 0 and backend.queue_stats(b"out")["ready"] == 1


def test_a_lost_lease_fails_the_commit_with_the_stores_text(backend):
    job_id = backend.submit_job(b"h", b"", 0, max_attempts=5)
    backend.claim_job(0, 0)
    backend.claim_job(0, 100)  # taken over: generation 2
    backend.push_queue(b"in", b"m")
    message = backend.claim_queue(b"in", 0, 100)
    cases = [
        (lambda tx: tx.complete_job(job_id, 1, 5), "job lease generation mismatch: expected 2, provided 1"),
        (lambda tx: tx.nack_queue(b"in", message["id"], 9, 0),
         f"lease generation mismatch for message {message['id']}: expected 1, provided 9"),
    ]
    for stage, text in cases:
        tx = backend.transaction()
        tx.put(b"k", b"v")
        tx.push_queue(b"out", b"x")
        stage(tx)
        with raises_exactly(Error, text):
            tx.commit()
        assert backend.get(b"k") is None and backend.queue_stats(b"out")["total"] == 0
    tx = backend.transaction()
    with raises_exactly(Error, "job id must be exactly 16 bytes"):
        tx.complete_job(bytes(3), 1, 0)  # refused at once, nothing staged
    tx.heartbeat_job(job_id, 1, 5, 10)  # as on the store: answered False, the rest commits
    tx.release_job(bytes(16), 1, 5)
    tx.fail_job(job_id, 2, 5, b"x")
    tx.dead_letter_queue(b"in", message["id"], 1)
    assert tx.commit_with_results() == {0: {"kind": "job_heartbeat", "extended": False},
                                        1: {"kind": "job_release", "released": False},
                                        2: {"kind": "job_fail", "state": "ready"}}
    assert backend.queue_stats(b"in")["dead"] == 1
