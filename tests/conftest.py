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
