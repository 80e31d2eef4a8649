"""Shared fixtures: a store path in a private temporary directory, and stores that are
always closed at teardown so that one failing test never leaves a writer lock behind."""

from __future__ import annotations

import pytest

from ombrel_store import _native


@pytest.fixture
def store_path(tmp_path):
    return tmp_path / "store.omb"


@pytest.fixture
def open_store(store_path):
    """Open a store (by default at `store_path`); every store opened is closed at teardown."""
    opened = []

    def _open(path=None, **options):
        store = _native.Store.open(str(store_path if path is None else path), **options)
        opened.append(store)
        return store

    yield _open
    for store in reversed(opened):
        try:
            store.close()
        except Exception:  # a test may leave it in a state where close refuses
            pass


@pytest.fixture
def store(open_store):
    return open_store()


@pytest.fixture
def fresh_file(store_path):
    """Path of a freshly created, closed, empty store."""
    _native.Store.open(str(store_path)).close()
    return store_path
