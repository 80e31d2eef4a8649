"""Reads inside a Transaction: records as the transaction's own staged upserts and deletions leave
them, domain state as committed (staged domain operations take effect at commit)."""

from __future__ import annotations

import pytest

from expect import raises_exactly
from ombrel_store import _native


@pytest.fixture
def people(store):
    store.create_collection(b"people")
    store.define_index(b"people", b"city")
    for key, city in ((b"ann", b"oslo"), (b"bob", b"rome"), (b"cy", b"oslo"), (b"dee", b"bern")):
        store.upsert_record(b"people", key, key.upper(), indexes=[(b"city", city)])
    # More index entries than the transaction stages changes, all at the top of the order.
    store.upsert_record(b"people", b"ann", b"ANN", indexes=[(b"city", b"oslo")] + [(b"city", b"z%d" % n) for n in range(6)])
    return store


# Each read is asked of the transaction, and of the store after the same changes commit.
READS = [
    lambda r: r.get_record(b"people", b"bob"),
    lambda r: r.get_record(b"people", b"eve"),
    lambda r: r.get_record(b"people", b"ann"),
    lambda r: r.query_index_exact(b"people", b"city", b"oslo"),
    lambda r: r.query_index_exact(b"people", b"city", b"rome"),
    lambda r: r.query_index_range(b"people", b"city"),
    lambda r: r.query_index_range(b"people", b"city", descending=True, limit=2),
    lambda r: r.query_index_range(b"people", b"city", descending=True, limit=3),
    lambda r: r.query_index_range(b"people", b"city", start=b"oslo", start_inclusive=False, limit=1),
    lambda r: r.query_index_range(b"people", b"city", end=b"oslo", end_inclusive=False),
]


def stage_changes(tx):
    tx.upsert_record(b"people", b"eve", b"EVE", indexes=[(b"city", b"oslo"), (b"city", b"rome"), (b"city", b"oslo")])
    tx.delete_record(b"people", b"ann")
    tx.upsert_record(b"people", b"bob", b"BOB2", indexes=[(b"city", b"athens")])
    tx.upsert_record(b"people", b"cy", b"gone soon")
    tx.delete_record(b"people", b"cy")
    tx.put(b"plain", b"v")


@pytest.mark.parametrize("read", READS)
def test_record_reads_see_the_staged_changes_as_the_commit_leaves_them(people, read):
    committed = read(people)
    tx = people.transaction()
    stage_changes(tx)
    seen = read(tx)
    tx.rollback()
    assert read(people) == committed
    with people.transaction() as tx:
        stage_changes(tx)
    assert seen == read(people)


def test_record_reads_refuse_what_the_store_refuses(people):
    tx = people.transaction()
    tx.upsert_record(b"people", b"x", b"v", indexes=[(b"city", b"oslo")])
    with raises_exactly(_native.OmbrelStoreError, "index does not exist"):
        tx.query_index_exact(b"people", b"nope", b"oslo")
    with raises_exactly(_native.OmbrelStoreError, "index does not exist"):
        tx.query_index_range(b"people", b"nope")
    assert tx.commit_with_results() == {}


def test_domain_reads_answer_the_committed_state_until_commit(store):
    job_id = store.submit_job(b"h", b"p", 0)
    generation = store.claim_job(0, 100)["lease_generation"]
    workflow = store.create_workflow(b"order", b"start", b"", 0)
    object_id = store.put_object(b"content")
    reads = lambda r: (r.get_job(job_id), r.get_workflow(workflow), r.workflow_history(workflow),
                       r.workflow_children(workflow), r.get_object(object_id), r.object_info(object_id))
    before = reads(store)
    tx = store.transaction()
    tx.complete_job(job_id, generation, 5)
    tx.set_workflow_step(workflow, b"next", b"", 5)
    tx.create_workflow(b"child", b"start", b"", 5, workflow)
    assert reads(tx) == before
    tx.commit()
    assert store.get_job(job_id)["state"] == "completed" and len(store.workflow_children(workflow)) == 1


@pytest.mark.parametrize("read, text", [
    (lambda tx: tx.get_job(bytes(15)), "job id must be exactly 16 bytes"),
    (lambda tx: tx.get_workflow(bytes(15)), "workflow id must be exactly 16 bytes"),
    (lambda tx: tx.get_object(bytes(31)), "object id must be exactly 32 bytes"),
])
def test_a_wrong_id_length_raises_and_leaves_the_transaction_usable(store, read, text):
    tx = store.transaction()
    with raises_exactly(_native.OmbrelStoreError, text):
        read(tx)
    tx.put(b"k", b"v")
    tx.commit()
    assert store.get(b"k") == b"v"
