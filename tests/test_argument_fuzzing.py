"""Any Python values given to any method of Store or Transaction, and of PgStore or
PgTransaction: the call either succeeds or raises TypeError, ValueError, OverflowError or
OmbrelStoreError, and a call that raises leaves the store file or database as it was.
Never a crash."""

import contextlib
import inspect
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from expect import snapshot
from ombrel_store import _native

ALLOWED = (TypeError, ValueError, OverflowError, _native.OmbrelStoreError)
# Lifecycle methods change the store's state by design; `open` is fuzzed by the
# argument tests of its own.
NOT_FUZZED = {"close", "open", "transaction", "__enter__", "__exit__",
              "commit", "commit_with_results", "rollback"}
# Operations that commit record by record and stop at the first error: a
# failure may legitimately keep the commits made before it.
COMMITS_STEP_BY_STEP = {"tick_schedules", "tick_cron_schedules", "release_expired_jobs", "claim_job",
                        "resume_due_workflows", "expire_rpc_requests"}

VALUES = st.one_of(
    st.none(), st.booleans(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.sampled_from([0, 1, -1, 2**31, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64]),
    st.floats(allow_nan=True), st.text(max_size=8),
    st.binary(max_size=40), st.sampled_from([b"", b"\xffomb:", b"\xffomb:q:x", b"k", bytes(16), bytes(32)]),
    st.builds(bytearray, st.binary(max_size=8)),
    st.lists(st.one_of(st.integers(-5, 300), st.binary(max_size=4), st.text(max_size=3)), max_size=4),
    st.dictionaries(st.text(max_size=4), st.one_of(st.binary(max_size=4), st.integers()), max_size=3),
    st.sampled_from(["data", "strict", "relaxed", "interval", "once", "* * * * *", "", "\x00"]),
    st.builds(object),
)


def methods_of(cls):
    return sorted(name for name, _ in inspect.getmembers(cls, callable)
                  if (not name.startswith("_") or name in ("__enter__", "__exit__")) and name not in NOT_FUZZED)


def parameter_names(method):
    try:
        return [p.name for p in inspect.signature(method).parameters.values() if p.name != "self"]
    except (TypeError, ValueError):
        return []


def call_strategy(method):
    names = parameter_names(method)
    return st.tuples(
        st.lists(VALUES, max_size=len(names) + 1),
        st.dictionaries(st.sampled_from(names + ["bogus"]), VALUES, max_size=len(names)) if names else st.just({}),
    )


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    # Methods that take paths write where they are told; keep that in a scratch directory.
    directory = tmp_path_factory.mktemp("argfuzz")
    previous = os.getcwd()
    os.chdir(directory)
    yield directory
    os.chdir(previous)


def pg_classes():
    try:
        from ombrel_store.postgres import PgStore, PgTransaction
    except ImportError:
        return None
    return PgStore, PgTransaction


# Each backend's store and transaction classes, and how many calls each method gets.
BACKENDS = {"file": (_native.Store, _native.Transaction, 60)}
if pg_classes():
    BACKENDS["postgres"] = (*pg_classes(), 25)
PG_TABLES = ("jobs", "job_history", "queues", "queue_messages", "outbox_events", "kv")


@pytest.fixture(scope="module")
def fuzzed_file(workdir):
    """The store and a function returning what a failed call must leave unchanged."""
    path = workdir / "fuzzed.omb"
    store = _native.Store.open(str(path))
    store.put(b"k", b"v")
    yield store, path.read_bytes
    store.close()


@pytest.fixture(scope="module")
def fuzzed_postgres(pg_cluster):
    import psycopg

    store = BACKENDS["postgres"][0].open(pg_cluster.dsn, schema="fuzzed", timeout=5.0)
    store.put(b"k", b"v")
    store.submit_job(b"h", b"", 0)
    store.claim_job(0, 10)
    store.push_queue(b"q", b"m")
    conn = psycopg.connect(pg_cluster.dsn, autocommit=True)
    yield store, lambda: [conn.execute(f"SELECT * FROM fuzzed.{t} ORDER BY 1, 2").fetchall() for t in PG_TABLES]
    store.close()
    conn.execute("DROP SCHEMA fuzzed CASCADE")
    conn.close()


def check_call(method, args, kwargs, contents, step_by_step):
    before = contents()
    try:
        method(*args, **kwargs)
    except ALLOWED:
        if not step_by_step:
            assert contents() == before, "a failed call changed the store"


def fuzz_settings(backend):
    return settings(max_examples=BACKENDS[backend][2], deadline=None, suppress_health_check=list(HealthCheck),
                    database=None)


@pytest.mark.parametrize("backend, name", [(b, n) for b, classes in BACKENDS.items() for n in methods_of(classes[0])])
def test_store_method_arguments(request, backend, name):
    store, contents = request.getfixturevalue("fuzzed_" + backend)
    method = getattr(store, name)

    @fuzz_settings(backend)
    @given(call_strategy(method))
    def fuzz(call):
        check_call(method, call[0], call[1], contents, name in COMMITS_STEP_BY_STEP)

    fuzz()


@pytest.mark.parametrize("backend, name", [(b, n) for b, classes in BACKENDS.items() for n in methods_of(classes[1])])
def test_transaction_method_arguments(request, backend, name):
    store, contents = request.getfixturevalue("fuzzed_" + backend)

    @fuzz_settings(backend)
    @given(call_strategy(getattr(BACKENDS[backend][1], name)))
    def fuzz(call):
        tx = store.transaction()
        try:
            check_call(getattr(tx, name), call[0], call[1], contents, False)
        finally:
            with contextlib.suppress(_native.TransactionFinishedError):
                tx.rollback()

    fuzz()


# Later arguments of the wrong type or range, which the random calls above seldom reach.
LATER_ARGUMENTS = [
    lambda s: s.push_queue(b"q", "p"), lambda s: s.push_queue(b"q", b"p", available_at_ms=2**63),
    lambda s: s.push_queue(b"q", b"p", priority=2**31), lambda s: s.ack_queue(b"q", -1, 1),
    lambda s: s.queue_stats(b"q", now_ms="0"), lambda s: s.claim_queue(b"q", 0, -1),
    lambda s: s.ack_queue(b"q", 1, 2**32),
    lambda s: s.acknowledge_topic_through(b"s", b"sub", -1),
    lambda s: s.reset_topic_subscription(b"s", b"sub", 2**64), lambda s: s.append_stream(b"s", "x"),
    lambda s: s.read_stream(b"s", -1), lambda s: s.read_stream(b"s", 0, -1), lambda s: s.read_topic(b"s", 0, 2**64),
    lambda s: s.trim_stream(b"s", -1), lambda s: s.trim_stream(b"s", 2, force=1),
    lambda s: s.consumer_group_claim(b"s", b"g", bytearray(b"c"), 0, 10),
    lambda s: s.consumer_group_claim(b"s", b"g", b"c", 2**63, 100),
    lambda s: s.consumer_group_claim(b"s", b"g", b"c", 0, 2**63),
    lambda s: s.consumer_group_ack(b"s", b"g", b"c", -1, 1),
    lambda s: s.consumer_group_nack(b"s", b"g", b"c", 0, 2**64),
    lambda s: s.emit_outbox_event(b"t", b"p", 2**63), lambda s: s.outbox_events_after(0, -1),
    lambda s: s.submit_rpc_request(b"m", b"", 0, 2**63), lambda s: s.respond_rpc(1, bytes(16), b"", 0, is_error=1),
    lambda s: s.expire_rpc_requests(0, -1), lambda s: s.pending_rpc_requests_after(0, -1),
]


@pytest.mark.parametrize("call", LATER_ARGUMENTS)
def test_a_bad_later_argument_raises_and_writes_nothing(store, store_path, call):
    store.append_stream(b"s", b"zero")
    store.push_queue(b"q", b"m")
    before = snapshot(store_path)
    with pytest.raises((TypeError, OverflowError)):
        call(store)
    assert snapshot(store_path) == before

