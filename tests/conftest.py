"""Fixtures: a store path in a private temporary directory, and stores that are always
closed at teardown so that one failing test never leaves a writer lock behind."""

from __future__ import annotations

import contextlib
from pathlib import Path

import pytest

from faults.harness import compile_preload
from ombrel_store import _native


@pytest.fixture
def store_path(tmp_path):
    return tmp_path / "store.omb"


@pytest.fixture
def open_store(store_path):
    """Open a store at `store_path` with the given options; closed at teardown."""
    opened = []

    def _open(**options):
        opened.append(_native.Store.open(str(store_path), **options))
        return opened[-1]

    yield _open
    for store in opened:
        with contextlib.suppress(_native.OmbrelStoreError):  # e.g. still lent to a transaction
            store.close()


@pytest.fixture
def store(open_store):
    return open_store()


@pytest.fixture
def fresh_file(store_path):
    """Path of a freshly created, closed, empty store."""
    _native.Store.open(str(store_path)).close()
    return store_path


FAULTS_DIR = Path(__file__).parent / "faults"


def _preload_library(tmp_path_factory, name):
    try:
        return compile_preload(FAULTS_DIR / f"{name}.c", tmp_path_factory.mktemp(name) / f"{name}.so")
    except FileNotFoundError as missing:
        pytest.skip(str(missing))


@pytest.fixture(scope="session")
def iofault_library(tmp_path_factory):
    """The I/O fault injector, compiled from tests/faults/iofault.c for this run."""
    return _preload_library(tmp_path_factory, "iofault")


@pytest.fixture(scope="session")
def powerloss_library(tmp_path_factory):
    """The power-loss recorder, compiled from tests/faults/powerloss.c for this run."""
    return _preload_library(tmp_path_factory, "powerloss")


# ---- PostgreSQL: one private cluster per session, a fresh schema per test ----

@pytest.fixture(scope="session")
def pg_cluster():
    """A private PostgreSQL server on a Unix socket in a temporary directory, for the session."""
    try:
        import psycopg  # noqa: F401
        import psycopg_pool  # noqa: F401
    except ImportError:
        pytest.skip("psycopg and psycopg_pool are not installed (pip install 'ombrel-store[postgres]')")
    from ombrel_store.postgres.cluster import PrivateCluster, find_binaries

    if find_binaries() is None:
        pytest.skip("no PostgreSQL server installed (apt-get install postgresql)")
    # Tests check behaviour, not durability: fsync off spares the shared disk.
    cluster = PrivateCluster.start({"fsync": "off", "max_connections": "60"})
    yield cluster
    cluster.stop()


_schemas = iter(range(1, 1 << 30))


@pytest.fixture
def pg_schema(pg_cluster):
    """A schema name of its own for this test; dropped at teardown."""
    import psycopg

    name = f"t{next(_schemas)}"
    yield name
    with psycopg.connect(pg_cluster.dsn, autocommit=True) as conn:
        conn.execute(f"DROP SCHEMA IF EXISTS {name} CASCADE")


@pytest.fixture
def open_pg(pg_cluster, pg_schema):
    """Open PgStores on this test's schema; closed at teardown."""
    from ombrel_store.postgres import PgStore

    opened = []

    def _open(**options):
        options.setdefault("schema", pg_schema)
        options.setdefault("timeout", 5.0)
        opened.append(PgStore.open(pg_cluster.dsn, **options))
        return opened[-1]

    yield _open
    for store in opened:
        with contextlib.suppress(_native.OmbrelStoreError):
            store.close()


@pytest.fixture(params=["file", "postgres"])
def backend(request):
    """One store of each kind in turn: a store file, then a PostgreSQL schema."""
    if request.param == "file":
        return request.getfixturevalue("store")
    return request.getfixturevalue("open_pg")()
