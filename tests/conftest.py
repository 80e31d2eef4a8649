"""Fixtures: a store path in a private temporary directory, and stores that are always
closed at teardown so that one failing test never leaves a writer lock behind."""

from __future__ import annotations

import contextlib

import pytest

from faults.harness import build_iofault
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


@pytest.fixture(scope="session")
def iofault_library(tmp_path_factory):
    """The I/O fault injector, compiled from tests/faults/iofault.c for this run."""
    library = build_iofault(tmp_path_factory.mktemp("iofault"))
    if library is None:
        pytest.skip("no C compiler to build the I/O fault injector")
    return library
