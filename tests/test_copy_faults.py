"""Copies that fail half-way (the file-size limit of a child process makes every write past
8 KiB fail) leave no temporary file and no partial destination behind, except backup_to,
which overwrites in place and keeps what it wrote."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

from ombrel_store import _native

CHILD = textwrap.dedent("""
    import json, os, resource, signal, sys
    from ombrel_store import _native
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))
    source, destination, operation = sys.argv[1:4]
    try:
        if operation == "restore_copy":
            _native.Store.restore_copy(source, destination)
        else:
            with _native.Store.open(source) as store:
                getattr(store, operation)(destination)
        outcome = ["ok", ""]
    except _native.OmbrelStoreError as exc:
        outcome = [type(exc).__name__, str(exc)]
    print(json.dumps(outcome))
""")


@pytest.fixture
def big_source(store_path):
    with _native.Store.open(str(store_path), durability="relaxed") as s:
        for i in range(200):
            s.put(b"key:%03d" % i, bytes([i]) * 100)
    assert store_path.stat().st_size > 40_000
    return store_path


def run_child(source, destination, operation):
    result = subprocess.run([sys.executable, "-c", CHILD, str(source), str(destination), operation],
                            capture_output=True, text=True, env=os.environ.copy(), check=True)
    return json.loads(result.stdout)


@pytest.mark.parametrize("operation, exception, prefix", [
    ("checkpoint_to", "OmbrelStoreError", "I/O error: "),
    ("compact_copy_to", "IoError", "I/O error: "),
    ("snapshot_to", "OmbrelStoreError", "store error: I/O error: "),
    ("compact_generation_to", "OmbrelStoreError", "store error: I/O error: "),
    ("restore_copy", "IoError", "I/O error: "),
])
def test_a_failed_copy_leaves_nothing_behind(big_source, tmp_path, operation, exception, prefix):
    before = big_source.read_bytes()
    kind, message = run_child(big_source, tmp_path / "copy.omb", operation)
    assert kind == exception and message.startswith(prefix), message
    assert sorted(os.listdir(tmp_path)) == ["store.omb"]
    assert big_source.read_bytes() == before


def test_a_failed_backup_reports_the_failure_and_keeps_the_partial_copy(big_source, tmp_path):
    before = big_source.read_bytes()
    kind, message = run_child(big_source, tmp_path / "backup.omb", "backup_to")
    assert kind == "IoError" and message.startswith("I/O error: ")
    assert (tmp_path / "backup.omb").stat().st_size <= 8192
    assert big_source.read_bytes() == before
