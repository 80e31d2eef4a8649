"""What only the PostgreSQL store has: several worker processes (hosts) on one schema, a server
that goes away and comes back, the outbox cursor under concurrent transactions, the versioned
schema and the migration of a store file."""

from __future__ import annotations

import concurrent.futures
import multiprocessing
import os
import subprocess
import sys
from pathlib import Path

import pytest

import ombrel_store
from expect import raises_exactly
from ombrel_store import _native

Error = _native.OmbrelStoreError
WORKERS = 4


def work_until_empty(dsn: str, schema: str) -> tuple[bytes, int, list[bytes]]:
    """One host: submit the shared keyed job, push to a new queue, then claim and complete jobs
    until none is left."""
    from ombrel_store.postgres import PgStore

    done = []
    with PgStore.open(dsn, schema=schema, max_connections=1) as store:
        keyed = store.submit_job(b"once", b"", 0, idempotency_key=b"shared")
        pushed = store.push_queue(b"new", b"")
        while (job := store.claim_job(1, 60_000, handlers=[b"work"])) is not None:
            store.complete_job(job["id"], job["lease_generation"], 2)
            done.append(job["id"])
    return keyed, pushed, done


def test_worker_processes_share_jobs_without_claiming_one_twice(open_pg, pg_cluster, pg_schema):
    store = open_pg()
    ids = [store.submit_job(b"work", b"%d" % i, 0, priority=i % 3) for i in range(120)]
    stale = store.claim_job(0, 0)  # its lease is over at once: a worker takes it over
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(WORKERS, mp_context=context) as pool:
        results = list(pool.map(work_until_empty, [pg_cluster.dsn] * WORKERS, [pg_schema] * WORKERS))
    done = [job_id for _, _, worker in results for job_id in worker]
    assert sorted(done) == sorted(ids)
    assert len({keyed for keyed, _, _ in results}) == 1
    assert sorted(pushed for _, pushed, _ in results) == list(range(1, WORKERS + 1))
    assert store.job_stats() == {"total": 121, "ready": 1, "leased": 0, "completed": 120, "dead": 0, "cancelled": 0}
    for job_id in ids:
        kinds = [kind for _, _, kind, _ in store.job_history(job_id)]
        assert kinds == ["submitted", "claimed", "completed"] or (
            job_id == stale["id"] and kinds == ["submitted", "claimed", "claimed", "completed"])
    with raises_exactly(Error, "job is not currently leased"):
        store.complete_job(stale["id"], stale["lease_generation"], 3)
    assert store.heartbeat_job(stale["id"], stale["lease_generation"], 3, 10) is False


def test_a_stale_holder_on_another_host_is_refused_by_the_database(open_pg):
    host_a, host_b = open_pg(), open_pg()
    job_id = host_a.submit_job(b"h", b"", 0)
    old = host_a.claim_job(0, 10)
    new = host_b.claim_job(10, 10)
    assert new["id"] == job_id and new["lease_generation"] == old["lease_generation"] + 1
    with raises_exactly(Error, "job lease generation mismatch: expected 2, provided 1"):
        host_a.fail_job(job_id, 1, 11, b"late")
    assert host_a.release_job(job_id, 1, 11) is False
    host_b.complete_job(job_id, 2, 12)


def call_until_back(call, attempts=50):
    """The call's result once the server answers again; the failures meanwhile must be IoError."""
    for _ in range(attempts):
        try:
            return call()
        except _native.IoError as error:
            assert str(error).startswith("I/O error: PostgreSQL")
    raise AssertionError("the server did not come back")


def test_a_server_crash_loses_nothing_acknowledged(open_pg, pg_cluster):
    store = open_pg(max_connections=2, timeout=2.0)
    ids = [store.submit_job(b"h", b"", 0) for _ in range(6)]
    finished = []
    for _ in range(3):
        job = store.claim_job(1, 1000)
        store.complete_job(job["id"], job["lease_generation"], 2)
        finished.append(job["id"])
    store.put(b"k", b"v")
    pg_cluster.stop_server("immediate")
    try:
        with pytest.raises(_native.IoError) as failure:
            store.claim_job(3, 1000)
        assert str(failure.value).startswith("I/O error: PostgreSQL")
    finally:
        pg_cluster.start_server()
    assert call_until_back(store.job_stats)["completed"] == 3
    assert store.get(b"k") == b"v"
    assert {job["id"] for job in store.list_jobs() if job["state"] == "completed"} == set(finished)
    job = store.claim_job(4, 1000)
    assert job["id"] in set(ids) - set(finished)


def test_outbox_readers_wait_for_transactions_that_began_earlier(open_pg, pg_cluster):
    import psycopg

    store = open_pg()
    early = store.emit_outbox_event(b"t", b"early", 1)
    with psycopg.connect(pg_cluster.dsn) as other:
        other.execute("SELECT pg_current_xact_id()")  # a transaction with an id, still running
        later = store.emit_outbox_event(b"t", b"later", 2)
        assert [e["id"] for e in store.outbox_events_after()] == [early]
        assert store.outbox_len() == 2
    assert [e["id"] for e in store.outbox_events_after(early[0])] == [later]


def test_the_schema_is_created_once_and_a_newer_one_is_refused(open_pg, pg_cluster, pg_schema):
    import psycopg

    open_pg().close()
    open_pg().close()
    with psycopg.connect(pg_cluster.dsn, autocommit=True) as conn:
        assert conn.execute(f"SELECT version FROM {pg_schema}.schema_version").fetchall() == [(1,)]
        conn.execute(f"INSERT INTO {pg_schema}.schema_version (version) VALUES (99)")
    with raises_exactly(Error, f"database schema {pg_schema} is at version 99, newer than this release's 1"):
        open_pg()


@pytest.mark.parametrize("options, error", [
    ({"durability": "Data"}, (ValueError, "durability must be one of: 'strict', 'data', 'relaxed'")),
    ({"schema": "Bad-Name"}, (ValueError, None)),
])
def test_open_refuses_bad_options(open_pg, options, error):
    with raises_exactly(*error):
        open_pg(**options)


def test_an_unreachable_server_raises_io_error(tmp_path):
    from ombrel_store.postgres import PgStore

    with pytest.raises(_native.IoError, match="^I/O error: PostgreSQL"):
        PgStore.open(f"host={tmp_path} dbname=none connect_timeout=1", timeout=0.5)
    with pytest.raises(ValueError, match="^invalid connection string"):
        PgStore.open("not a connection string")


def populate(store):
    """A store file with jobs in every state, queues in every state, outbox events and keys."""
    jobs = [store.submit_job(b"h%d" % i, b"p", i, priority=i, idempotency_key=b"k%d" % i) for i in range(5)]
    store.claim_job(10, 0, handlers=[b"h4"])
    store.claim_job(10, 0, handlers=[b"h3"])
    store.complete_job(jobs[3], 1, 11)
    store.cancel_job(jobs[2], 12)
    dead = store.submit_job(b"h", b"", 0, max_attempts=1)
    store.claim_job(13, 100, handlers=[b"h"])
    store.fail_job(dead, 1, 14, b"boom")
    for priority in (1, 5, 5):
        store.push_queue(b"q", b"m", priority=priority, available_at_ms=3)
    store.claim_queue(b"q", 5, 100)
    held = store.claim_queue(b"q", 5, 100)
    store.dead_letter_queue(b"q", held["id"], held["lease_generation"])
    store.push_queue(b"empty", b"x")
    gone = store.claim_queue(b"empty", 0, 1)
    store.ack_queue(b"empty", gone["id"], 1)
    events = [store.emit_outbox_event(b"t", b"e%d" % i, i) for i in range(3)]
    store.ack_outbox_event(*events[1])
    store.put(b"user", b"value")
    return jobs


def test_migration_copies_a_store_file_faithfully(tmp_path, open_pg, pg_cluster, pg_schema):
    path = str(tmp_path / "app.omb")
    with _native.Store.open(path) as source:
        populate(source)
        jobs = source.list_jobs()
        histories = [source.job_history(job["id"]) for job in jobs]
        events = source.outbox_events_after()
        queues = [source.queue_stats(name, now_ms=50) for name in (b"q", b"empty")]
    package_root = Path(ombrel_store.__file__).resolve().parents[1]
    command = [sys.executable, "-m", "ombrel_store", "migrate-to-postgres", path, pg_cluster.dsn, "--schema", pg_schema]
    env = {**os.environ, "PYTHONPATH": str(package_root)}
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("migrated 6 jobs (12 history entries), 2 queues (3 messages), 2 outbox events")
    store = open_pg()
    assert store.list_jobs() == jobs
    assert [store.job_history(job["id"]) for job in jobs] == histories
    assert store.outbox_events_after() == events
    assert [store.queue_stats(name, now_ms=50) for name in (b"q", b"empty")] == queues
    assert store.push_queue(b"q", b"next") == 4 and store.push_queue(b"empty", b"next") == 2
    assert store.emit_outbox_event(b"t", b"new", 9)[0] > events[-1]["tx_id"]
    assert store.claim_job(20, 10, handlers=[b"h4"])["lease_generation"] == 2
    active = {job["idempotency_key"]: job["id"] for job in jobs if job["state"] in ("ready", "leased")}
    assert store.submit_job(b"h", b"", 0, idempotency_key=b"k0") == active[b"k0"]
    assert store.purge_finished_jobs(13) == 2  # completed at 11 and cancelled at 12, not dead at 14
    assert store.get(b"user") == b"value"
    again = subprocess.run(command, capture_output=True, text=True, env=env)
    assert again.returncode == 1 and "already holds data" in again.stderr
