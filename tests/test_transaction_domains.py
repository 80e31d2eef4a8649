"""Domain operations staged on a Transaction: positions, results by position, all-or-nothing commits."""

from __future__ import annotations

import hashlib
import inspect

import pytest

import storefile as sf
from expect import raises_exactly
from ombrel_store import _native

Error = _native.OmbrelStoreError
WF_ID = "workflow id must be exactly 16 bytes"
OBJ_ID = "object id must be exactly 32 bytes"


def user_items(view):
    return [(k, v) for k, v in view.scan_prefix(b"") if not k.startswith(sf.INTERNAL_PREFIX)]


def test_positions_count_every_operation_and_results_are_keyed_by_them(store):
    content = b"blob"
    digest = hashlib.sha256(content).digest()
    t = store.transaction()
    assert t.put(b"k", b"v") is None  # position 0: no result
    assert t.push_queue(b"q", b"m1") == 1
    assert t.push_queue(b"q", b"m2", priority=5) == 2
    assert t.append_stream(b"s", b"e0") == 3
    assert t.append_stream(b"s", b"e1") == 4
    assert t.publish_topic(b"s", b"e2") == 5
    assert t.emit_event(b"topic", b"evt", 10) == 6
    assert t.put_object(content) == 7
    assert t.link_object(b"ns", b"name", digest) == 8
    assert t.put_linked_object(b"other", b"ns", b"o") == 9
    assert t.unlink_object(b"ns", b"absent") == 10
    assert t.request_rpc(b"method", b"args", 11, deadline_ms=99) == 11
    assert t.enqueue_job(b"handler", b"payload", 12) == 12
    assert t.create_workflow(b"type", b"start", b"state", 13) == 13
    t.delete(b"gone")  # position 14
    results = t.commit_with_results()

    assert list(results) == [1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13]  # ascending, without result-less ones
    assert results[1] == {"kind": "queue", "id": 1} and results[2] == {"kind": "queue", "id": 2}
    assert [results[p] for p in (3, 4, 5)] == [
        {"kind": "stream", "offset": 0}, {"kind": "stream", "offset": 1}, {"kind": "topic", "offset": 2}]
    assert list(results[6]) == ["kind", "tx_id", "nonce"] and results[6]["kind"] == "outbox"
    assert results[7] == {"kind": "object", "id": digest}
    assert results[9] == {"kind": "object", "id": hashlib.sha256(b"other").digest()}
    assert results[10] == {"kind": "object_unlink", "removed": False}
    assert list(results[11]) == ["kind", "tx_id", "nonce"] and results[11]["kind"] == "rpc"
    assert results[11]["tx_id"] == results[6]["tx_id"]  # one engine transaction
    assert list(results[12]) == ["kind", "id"] and results[12]["kind"] == "job" and len(results[12]["id"]) == 16
    assert list(results[13]) == ["kind", "id"] and results[13]["kind"] == "workflow" and len(results[13]["id"]) == 16

    # Everything is in the store, as the domain's own reads see it.
    assert store.get(b"k") == b"v"
    assert store.claim_queue(b"q", 0, 1000)["payload"] == b"m2"  # higher priority first
    assert store.read_stream(b"s") == [(0, b"e0"), (1, b"e1"), (2, b"e2")]
    events = store.outbox_events_after()
    assert [(e["tx_id"], e["nonce"], e["topic"]) for e in events] == [
        (results[6]["tx_id"], results[6]["nonce"], b"topic")]
    requests = store.pending_rpc_requests_after()
    assert [(r["tx_id"], r["nonce"], r["deadline_ms"]) for r in requests] == [
        (results[11]["tx_id"], results[11]["nonce"], 99)]
    assert store.get_object(digest) == content and store.resolve_object_ref(b"ns", b"name") == digest
    assert store.resolve_object_ref(b"ns", b"o") == hashlib.sha256(b"other").digest()
    job = store.get_job(results[12]["id"])
    assert (job["handler"], job["payload"], job["state"]) == (b"handler", b"payload", "ready")
    assert store.job_history(results[12]["id"]) == [(0, 12, "submitted", b"transactional")]
    workflow = store.get_workflow(results[13]["id"])
    assert (workflow["workflow_type"], workflow["status"], workflow["created_at_ms"]) == (b"type", "running", 13)


def test_a_transaction_of_plain_writes_has_no_results(store):
    t = store.transaction()
    t.put(b"a", b"1")
    t.delete(b"b")
    assert t.commit_with_results() == {}


def test_counters_continue_from_committed_state_and_unlink_sees_staged_links(store):
    store.push_queue(b"q", b"first")
    store.append_stream(b"s", b"first")
    t = store.transaction()
    t.push_queue(b"q", b"second")
    t.append_stream(b"s", b"second")
    t.put_linked_object(b"c", b"ns", b"n")
    t.unlink_object(b"ns", b"n")
    t.unlink_object(b"ns", b"n")
    assert t.commit_with_results() == {
        0: {"kind": "queue", "id": 2}, 1: {"kind": "stream", "offset": 1},
        2: {"kind": "object", "id": hashlib.sha256(b"c").digest()},
        3: {"kind": "object_unlink", "removed": True}, 4: {"kind": "object_unlink", "removed": False}}
    assert store.resolve_object_ref(b"ns", b"n") is None
    assert store.get_object(hashlib.sha256(b"c").digest()) == b"c"


def test_enqueue_inside_a_transaction_honours_idempotency_keys_staged_earlier(store):
    existing = store.submit_job(b"h", b"p", 0, idempotency_key=b"committed")
    t = store.transaction()
    t.enqueue_job(b"h", b"p", 1, idempotency_key=b"new", priority=3, max_attempts=7, deadline_ms=50)
    t.enqueue_job(b"h", b"other", 2, idempotency_key=b"new")
    t.enqueue_job(b"h", b"p", 3, idempotency_key=bytearray(b"committed"))
    results = t.commit_with_results()
    assert results[0]["id"] == results[1]["id"] and results[2]["id"] == existing
    job = store.get_job(results[0]["id"])
    assert (job["priority"], job["max_attempts"], job["deadline_ms"], job["payload"]) == (3, 7, 50, b"p")
    assert len(store.list_jobs()) == 2


def test_changes_of_one_workflow_in_one_transaction_take_consecutive_history_sequences(store):
    wf = store.create_workflow(b"order", b"start", b"s0", 1)
    store.set_workflow_step(wf, b"pay", b"s1", 2)  # history 0 and 1 are committed
    t = store.transaction()
    assert t.wait_for_signal(wf, b"paid", 3) == 0
    assert t.signal_workflow(wf, b"paid", b"receipt", 4) == 1
    assert t.signal_workflow(wf, b"paid", b"again", 5) == 2  # no longer waiting: dropped
    assert t.wait_until(wf, 100, 6) == 3
    assert t.set_workflow_step(wf, b"ship", b"s2", 7) == 4
    assert t.complete_workflow(wf, b"done", 8) == 5
    assert t.cancel_workflow(wf, b"late", 9) == 6  # terminal by then: false, no error
    child = t.create_workflow(b"sub", b"start", b"", 10, parent_id=bytearray(wf))
    assert child == 7
    results = t.commit_with_results()
    assert results[1] == {"kind": "workflow_signal", "signaled": True}
    assert results[2] == {"kind": "workflow_signal", "signaled": False}
    assert results[6] == {"kind": "workflow_cancel", "cancelled": False}
    assert sorted(results) == [1, 2, 6, 7]
    history = store.workflow_history(wf)
    assert [(h["sequence"], h["kind"], h["at_ms"]) for h in history] == [
        (0, "created", 1), (1, "step_changed", 2), (2, "waiting_signal", 3), (3, "signal_received", 4),
        (4, "waiting_timer", 6), (5, "step_changed", 7), (6, "completed", 8)]
    instance = store.get_workflow(wf)
    assert (instance["status"], instance["state"], instance["updated_at_ms"]) == ("completed", b"done", 8)
    assert [c["id"] for c in store.workflow_children(wf)] == [results[7]["id"]]


def test_fail_and_cancel_inside_a_transaction(store):
    a = store.create_workflow(b"t", b"s", b"", 0)
    b = store.create_workflow(b"t", b"s", b"", 0)
    t = store.transaction()
    t.fail_workflow(a, b"boom", 5)
    t.cancel_workflow(b, b"stop", 6)
    t.cancel_workflow(b"\x00" * 16, b"nobody", 7)
    assert t.commit_with_results() == {1: {"kind": "workflow_cancel", "cancelled": True},
                                       2: {"kind": "workflow_cancel", "cancelled": False}}
    assert (store.get_workflow(a)["status"], store.get_workflow(a)["state"]) == ("failed", b"boom")
    assert store.workflow_history(a)[-1] == {"sequence": 1, "at_ms": 5, "kind": "failed", "detail": b"boom"}
    assert store.get_workflow(b)["status"] == "cancelled"


@pytest.mark.parametrize("stage_failing, message", [
    (lambda t, wf: t.push_queue(b"", b"x"), "queue/stream/topic name cannot be empty"),
    (lambda t, wf: t.append_stream(b"", b"x"), "queue/stream/topic name cannot be empty"),
    (lambda t, wf: t.publish_topic(b"", b"x"), "queue/stream/topic name cannot be empty"),
    (lambda t, wf: t.link_object(b"ns", b"n", b"\x01" * 32), "object does not exist"),
    (lambda t, wf: t.put_linked_object(b"c", b"", b"n"), "object reference namespace/name must not be empty"),
    (lambda t, wf: t.unlink_object(b"ns", b""), "object reference namespace/name must not be empty"),
    (lambda t, wf: t.emit_event(b"", b"x", 0), "outbox topic cannot be empty"),
    (lambda t, wf: t.request_rpc(b"", b"x", 0), "RPC method cannot be empty"),
    (lambda t, wf: t.enqueue_job(b"", b"x", 0), "job handler cannot be empty"),
    (lambda t, wf: t.enqueue_job(b"h", b"x", 0, max_attempts=0), "max attempts must be at least one"),
    (lambda t, wf: t.create_workflow(b"", b"s", b"", 0), "workflow type cannot be empty"),
    (lambda t, wf: t.create_workflow(b"t", b"", b"", 0), "workflow step cannot be empty"),
    (lambda t, wf: t.signal_workflow(wf, b"", b"", 0), "signal name cannot be empty"),
    (lambda t, wf: t.set_workflow_step(b"\x09" * 16, b"s", b"", 0), "workflow was not found"),
    (lambda t, wf: t.complete_workflow(b"\x09" * 16, b"", 0), "workflow was not found"),
    (lambda t, wf: (t.fail_workflow(wf, b"e", 1), t.wait_until(wf, 5, 2)), "workflow is already terminal"),
    (lambda t, wf: t.upsert_record(b"no such collection", b"pk", b"v"), None),
    (lambda t, wf: t.put(b"\xffomb:reserved", b"v"), None),
])
def test_a_failing_operation_rolls_back_the_whole_transaction(open_store, stage_failing, message):
    s = open_store()
    wf = s.create_workflow(b"t", b"s", b"", 0)
    t = s.transaction()
    t.put(b"k", b"v")
    t.push_queue(b"q", b"m")
    t.append_stream(b"s", b"e")
    t.put_object(b"blob")
    t.enqueue_job(b"h", b"p", 0)
    t.set_workflow_step(wf, b"next", b"x", 1)
    stage_failing(t, wf)
    t.put(b"after", b"v")
    with pytest.raises(Error) as info:
        t.commit_with_results()
    if message is not None:
        assert type(info.value) is Error and info.value.args == (message,)
    # The store is back in its slot and shows nothing of the transaction.
    assert user_items(s) == [] and s.queue_stats(b"q")["total"] == 0 and s.read_stream(b"s") == []
    assert s.get_object(hashlib.sha256(b"blob").digest()) is None and s.list_jobs() == []
    assert s.get_workflow(wf)["current_step"] == b"s" and len(s.workflow_history(wf)) == 1
    s.close()
    s = open_store()  # nor after replay
    assert user_items(s) == [] and s.list_jobs() == [] and len(s.workflow_history(wf)) == 1
    with raises_exactly(_native.TransactionFinishedError, "transaction is finished"):
        t.commit()


@pytest.mark.parametrize("call, message", [
    (lambda t: t.link_object(b"ns", b"n", b"\x00" * 31), OBJ_ID),
    (lambda t: t.link_object(b"ns", b"n", b"\x00" * 33), OBJ_ID),
    (lambda t: t.create_workflow(b"t", b"s", b"", 0, parent_id=b"\x00" * 15), WF_ID),
    (lambda t: t.create_workflow(b"t", b"s", b"", 0, b"\x00" * 17), WF_ID),
    (lambda t: t.set_workflow_step(b"\x00" * 15, b"s", b"", 0), WF_ID),
    (lambda t: t.wait_for_signal(b"", b"s", 0), WF_ID),
    (lambda t: t.signal_workflow(b"\x00" * 15, b"s", b"", 0), WF_ID),
    (lambda t: t.wait_until(b"\x00" * 17, 0, 0), WF_ID),
    (lambda t: t.complete_workflow(b"\x00", b"", 0), WF_ID),
    (lambda t: t.fail_workflow(b"\x00" * 15, b"", 0), WF_ID),
    (lambda t: t.cancel_workflow(b"\x00" * 15, b"", 0), WF_ID),
])
def test_id_lengths_are_checked_at_staging_and_leave_the_transaction_usable(store, call, message):
    t = store.transaction()
    t.put(b"a", b"1")
    with raises_exactly(Error, message):
        call(t)
    assert t.push_queue(b"q", b"m") == 1  # the faulty operation took no position
    assert t.commit_with_results() == {1: {"kind": "queue", "id": 1}}
    assert store.get(b"a") == b"1"


@pytest.mark.parametrize("call", [
    lambda t: t.push_queue("q", b"m"),
    lambda t: t.push_queue(b"q", b"m", priority=2**31),
    lambda t: t.enqueue_job(b"h", b"p", 0, max_attempts=-1),
    lambda t: t.emit_event(b"t", b"p", 2**63),
    lambda t: t.link_object(b"ns", b"n", "x" * 32),
    lambda t: t.create_workflow(b"t", b"s", b"", 0, parent_id="x" * 16),
    lambda t: t.put_object(None),
])
def test_wrong_argument_types_raise_and_stage_nothing(store, call):
    t = store.transaction()
    with pytest.raises((TypeError, OverflowError, ValueError)):
        call(t)
    assert t.commit_with_results() == {}


TRANSACTION_METHODS = sorted(name for name in dir(_native.Transaction)
                             if not name.startswith("_") and callable(getattr(_native.Transaction, name)))


@pytest.mark.parametrize("name", TRANSACTION_METHODS)
@pytest.mark.parametrize("finish", ["commit", "rollback"])
def test_every_method_of_a_finished_transaction_raises_before_it_looks_at_its_arguments(store, name, finish):
    t = store.transaction()
    getattr(t, finish)()
    # Short ids, wrong types: a finished transaction says so first.
    parameters = inspect.signature(getattr(t, name)).parameters.values()
    arguments = [b"short" for p in parameters if p.default is inspect.Parameter.empty]
    with raises_exactly(_native.TransactionFinishedError, "transaction is finished"):
        getattr(t, name)(*arguments)


def test_a_with_block_commits_domain_operations_together(store):
    with store.transaction() as t:
        t.put(b"order:1", b"paid")
        t.emit_event(b"orders", b"1", 5)
        t.enqueue_job(b"ship", b"1", 5)
    assert store.get(b"order:1") == b"paid" and store.outbox_len() == 1 and len(store.list_jobs()) == 1
