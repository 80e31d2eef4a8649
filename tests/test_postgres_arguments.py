"""Any Python values given to any method of PgStore or PgTransaction: the call succeeds or
raises TypeError, ValueError, OverflowError or OmbrelStoreError, and a call that raises leaves
the database as it was."""

from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings

from test_argument_fuzzing import ALLOWED, COMMITS_STEP_BY_STEP, call_strategy, methods_of

FUZZ = settings(max_examples=25, deadline=None, suppress_health_check=list(HealthCheck), database=None)
TABLES = ("jobs", "job_history", "queues", "queue_messages", "outbox_events", "kv")


def pg_classes():
    try:
        from ombrel_store.postgres import PgStore, PgTransaction
    except ImportError:
        return None, None
    return PgStore, PgTransaction


PgStore, PgTransaction = pg_classes()
pytestmark = pytest.mark.skipif(PgStore is None, reason="psycopg is not installed")


@pytest.fixture(scope="module")
def fuzzed(pg_cluster):
    import psycopg

    from ombrel_store.postgres import PgStore

    store = PgStore.open(pg_cluster.dsn, schema="fuzzed", timeout=5.0)
    store.put(b"k", b"v")
    job = store.submit_job(b"h", b"", 0)
    store.claim_job(0, 10)
    store.push_queue(b"q", b"m")
    conn = psycopg.connect(pg_cluster.dsn, autocommit=True)

    def contents():
        return [conn.execute(f"SELECT * FROM fuzzed.{t} ORDER BY 1, 2").fetchall() for t in TABLES]

    yield store, contents, job
    store.close()
    conn.execute("DROP SCHEMA fuzzed CASCADE")
    conn.close()


def check_call(method, args, kwargs, contents, step_by_step):
    before = contents()
    try:
        method(*args, **kwargs)
    except ALLOWED:
        if not step_by_step:
            assert contents() == before, "a failed call changed the database"


@pytest.mark.parametrize("name", methods_of(PgStore) if PgStore else [])
def test_store_method_arguments(fuzzed, name):
    store, contents, _ = fuzzed
    method = getattr(store, name)

    @FUZZ
    @given(call_strategy(method))
    def fuzz(call):
        check_call(method, call[0], call[1], contents, name in COMMITS_STEP_BY_STEP)

    fuzz()


@pytest.mark.parametrize("name", methods_of(PgTransaction) if PgTransaction else [])
def test_transaction_method_arguments(fuzzed, name):
    store, contents, _ = fuzzed

    @FUZZ
    @given(call_strategy(getattr(PgTransaction, name)))
    def fuzz(call):
        tx = store.transaction()
        try:
            check_call(getattr(tx, name), call[0], call[1], contents, False)
        finally:
            tx.rollback()

    fuzz()
