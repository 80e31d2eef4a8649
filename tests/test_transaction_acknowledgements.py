"""Acknowledgements staged in a Transaction: a worker's result and the acknowledgement of the work
it finishes commit together, and a lost lease keeps both out."""

from __future__ import annotations

import pytest

from expect import raises_exactly
from ombrel_store import _native

Error = _native.OmbrelStoreError


def claimed_job(store, **spec):
    job_id = store.submit_job(b"h", b"work", 0, **spec)
    return job_id, store.claim_job(0, 100)["lease_generation"]


def taken_over_job(store):
    """A job whose first lease (generation 1) ran out and was claimed again (generation 2)."""
    job_id = store.submit_job(b"h", b"work", 0, max_attempts=5)
    store.claim_job(0, 0)
    store.claim_job(0, 100)
    return job_id


def test_a_worker_whose_lease_was_lost_cannot_write_its_result(store):
    store.create_collection(b"results")
    store.define_index(b"results", b"by_job")
    job_id = taken_over_job(store)
    before = store.get_job(job_id), store.job_history(job_id)
    tx = store.transaction()
    tx.upsert_record(b"results", job_id, b"done", indexes=[(b"by_job", job_id)])
    tx.complete_job(job_id, 1, 50)
    with raises_exactly(Error, "job lease generation mismatch: expected 2, provided 1"):
        tx.commit()
    assert store.get_record(b"results", job_id) is None
    assert (store.get_job(job_id), store.job_history(job_id)) == before
    # The holder of the current lease writes its result and completes in one commit.
    with store.transaction() as tx:
        tx.upsert_record(b"results", job_id, b"done")
        tx.complete_job(job_id, 2, 60)
    assert store.get_record(b"results", job_id)[1] == b"done"
    assert store.get_job(job_id)["state"] == "completed"


def test_a_consumer_with_a_stale_generation_cannot_write_its_result(store):
    store.push_queue(b"in", b"m")
    store.claim_queue(b"in", 0, 0)
    message = store.claim_queue(b"in", 0, 100)  # taken over: generation 2
    tx = store.transaction()
    tx.put(b"result", b"r")
    tx.push_queue(b"out", b"r")
    tx.ack_queue(b"in", message["id"], 1)
    with raises_exactly(Error, f"lease generation mismatch for message {message['id']}: expected 2, provided 1"):
        tx.commit()
    assert store.get(b"result") is None and store.queue_stats(b"out")["total"] == 0
    assert store.queue_stats(b"in")["leased"] == 1 and store.health_report()["metrics"]["queue_acks"] == 0


# Each case prepares the store and names the staging method and its arguments.
@pytest.mark.parametrize("prepare, result", [
    (lambda s: ("complete_job", *claimed_job(s), 5), None),
    (lambda s: ("fail_job", *claimed_job(s, max_attempts=1), 5, b"boom"), {"kind": "job_fail", "state": "dead"}),
    (lambda s: ("fail_job", *claimed_job(s), 5, b"boom"), {"kind": "job_fail", "state": "ready"}),
    (lambda s: ("heartbeat_job", *claimed_job(s), 5, 1000), {"kind": "job_heartbeat", "extended": True}),
    (lambda s: ("heartbeat_job", taken_over_job(s), 1, 5, 1000), {"kind": "job_heartbeat", "extended": False}),
    (lambda s: ("release_job", *claimed_job(s), 5), {"kind": "job_release", "released": True}),
    (lambda s: ("release_job", bytes(16), 1, 5), {"kind": "job_release", "released": False}),
    (lambda s: ("ack_queue", b"q", leased_message(s)["id"], 1), None),
    (lambda s: ("nack_queue", b"q", leased_message(s)["id"], 1, 0), None),
    (lambda s: ("dead_letter_queue", b"q", leased_message(s)["id"], 1), None),
    (lambda s: ("consumer_group_ack", b"s", b"g", b"c", 0, leased_entry(s)), None),
    (lambda s: ("consumer_group_nack", b"s", b"g", b"c", 0, leased_entry(s)), None),
    (lambda s: ("ack_outbox_event", *s.emit_outbox_event(b"t", b"e", 0)), {"kind": "outbox_ack", "removed": True}),
    (lambda s: ("ack_outbox_event", 1, bytes(16)), {"kind": "outbox_ack", "removed": False}),
    (lambda s: ("respond_rpc", *s.submit_rpc_request(b"m", b"p", 0), b"r", 5), None),
    (lambda s: ("ack_rpc_response", *answered_request(s)), {"kind": "rpc_ack", "removed": True}),
    (lambda s: ("ack_rpc_response", 1, bytes(16)), {"kind": "rpc_ack", "removed": False}),
])
def test_each_acknowledgement_returns_its_position_and_result(store, prepare, result):
    method, *args = prepare(store)
    tx = store.transaction()
    tx.put(b"k", b"v")
    assert getattr(tx, method)(*args) == 1
    assert tx.commit_with_results() == ({} if result is None else {1: result})
    assert store.get(b"k") == b"v"


def leased_message(store):
    store.push_queue(b"q", b"m")
    return store.claim_queue(b"q", 0, 100)


def leased_entry(store):
    store.append_stream(b"s", b"e")
    return store.consumer_group_claim(b"s", b"g", b"c", 0, 100)["lease_generation"]


def answered_request(store):
    request = store.submit_rpc_request(b"m", b"p", 0)
    store.respond_rpc(*request, b"r", 1)
    return request


def test_acknowledgements_take_effect_as_the_store_forms_do(store):
    job_id, generation = claimed_job(store)
    message = leased_message(store)
    generation_s = leased_entry(store)
    request = store.submit_rpc_request(b"m", b"p", 0)
    event = store.emit_outbox_event(b"t", b"e", 0)
    with store.transaction() as tx:
        tx.complete_job(job_id, generation, 7)
        tx.ack_queue(b"q", message["id"], message["lease_generation"])
        tx.consumer_group_ack(b"s", b"g", b"c", 0, generation_s)
        tx.respond_rpc(*request, b"answer", 8, is_error=True)
        tx.ack_outbox_event(*event)
    assert store.get_job(job_id)["state"] == "completed"
    assert store.job_history(job_id)[-1] == (2, 7, "completed", b"")
    assert store.queue_stats(b"q")["total"] == 0 and store.health_report()["metrics"]["queue_acks"] == 1
    assert store.consumer_group_state(b"s", b"g")["next_offset"] == 1
    response = store.get_rpc_response(*request)
    assert (response["payload"], response["completed_at_ms"], response["is_error"]) == (b"answer", 8, True)
    assert store.pending_rpc_requests_after() == [] and store.outbox_len() == 0


@pytest.mark.parametrize("prepare, text", [
    (lambda s: ("complete_job", *claimed_job(s), 5), "job is not currently leased"),
    (lambda s: ("ack_queue", b"q", leased_message(s)["id"], 1), "queue message 1 was not found"),
    (lambda s: ("dead_letter_queue", b"q", leased_message(s)["id"], 1), "queue message 1 is not currently leased"),
    (lambda s: ("consumer_group_ack", b"s", b"g", b"c", 0, leased_entry(s)), "group has no active lease"),
    (lambda s: ("respond_rpc", *s.submit_rpc_request(b"m", b"p", 0), b"r", 5), "RPC response already exists"),
])
def test_an_acknowledgement_sees_the_ones_staged_before_it(store, prepare, text):
    method, *args = prepare(store)
    tx = store.transaction()
    getattr(tx, method)(*args)
    getattr(tx, method)(*args)
    with raises_exactly(Error, text):
        tx.commit()


def test_a_second_outbox_ack_in_one_transaction_removes_nothing(store):
    event = store.emit_outbox_event(b"t", b"e", 0)
    tx = store.transaction()
    tx.ack_outbox_event(*event)
    tx.ack_outbox_event(*event)
    assert tx.commit_with_results() == {0: {"kind": "outbox_ack", "removed": True},
                                        1: {"kind": "outbox_ack", "removed": False}}


@pytest.mark.parametrize("stage, text", [
    (lambda tx: tx.complete_job(bytes(15), 1, 0), "job id must be exactly 16 bytes"),
    (lambda tx: tx.heartbeat_job(bytes(17), 1, 0, 1), "job id must be exactly 16 bytes"),
    (lambda tx: tx.ack_outbox_event(1, bytes(3)), "outbox nonce must be exactly 16 bytes"),
    (lambda tx: tx.respond_rpc(1, bytes(3), b"", 0), "RPC nonce must be exactly 16 bytes"),
    (lambda tx: tx.ack_rpc_response(1, bytes(3)), "RPC nonce must be exactly 16 bytes"),
])
def test_a_wrong_id_length_is_refused_at_staging(store, stage, text):
    tx = store.transaction()
    with raises_exactly(Error, text):
        stage(tx)
    tx.put(b"k", b"v")
    assert tx.commit_with_results() == {}
    assert store.get(b"k") == b"v"
