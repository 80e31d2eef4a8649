"""One writer per store file, whichever process opens it and by whatever name."""

import fcntl
import os
import subprocess
import sys

import pytest

from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store
HELD = "store is already open by another writer"
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))

HOLDER = """import sys
from ombrel_store import _native
store = _native.Store.open(sys.argv[1])
store.put(b"child", b"was here")
print("ready", flush=True)
sys.stdin.readline()
store.close()
"""
PROBE = """import sys
from ombrel_store import _native
for how in ("open", "verify"):
    try:
        result = getattr(_native.Store, how)(sys.argv[1])
    except _native.OmbrelStoreError as exc:
        print(how, type(exc).__name__, exc, sep="|")
    else:
        result.close() if how == "open" else None
        print(how, "ok", sep="|")
"""
REFUSED = [f"open|AlreadyOpenError|{HELD}", f"verify|AlreadyOpenError|{HELD}"]


def run_probe(path):
    done = subprocess.run([sys.executable, "-c", PROBE, str(path)], env=CHILD_ENV, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def assert_refused(path):
    for how in ("open", "verify"):
        with raises_exactly(_native.AlreadyOpenError, HELD):
            getattr(Store, how)(str(path))


@pytest.mark.parametrize("alias", ["symlink", "relative", "hardlink"])
def test_other_names_of_the_same_file_count_as_the_same_store(tmp_path, store_path, open_store, monkeypatch, alias):
    first = open_store()
    other = tmp_path / "other.omb"
    monkeypatch.chdir(tmp_path)
    {"symlink": other.symlink_to, "hardlink": lambda p: os.link(p, other)}.get(alias, lambda p: None)(store_path)
    other = store_path.name if alias == "relative" else other
    assert_refused(other)
    first.close()
    # Nothing of the refused attempts stays registered under either name.
    with Store.open(str(other)):
        assert_refused(store_path)
    Store.open(str(store_path)).close()


@pytest.mark.parametrize("lock, verify_ok", [(fcntl.LOCK_EX, False), (fcntl.LOCK_SH, True)],
                         ids=["exclusive", "shared"])
def test_foreign_flock_blocks_open_and_an_exclusive_one_verify(fresh_file, lock, verify_ok):
    with open(fresh_file, "rb") as f:
        fcntl.flock(f, lock | fcntl.LOCK_NB)
        with raises_exactly(_native.AlreadyOpenError, HELD):
            Store.open(str(fresh_file))
        if verify_ok:
            assert Store.verify(str(fresh_file)).file_bytes == 64
        else:
            with raises_exactly(_native.AlreadyOpenError, HELD):
                Store.verify(str(fresh_file))
    Store.open(str(fresh_file)).close()


@pytest.fixture
def holder(store_path):
    child = subprocess.Popen([sys.executable, "-c", HOLDER, str(store_path)], env=CHILD_ENV, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n", child.stderr.read()
        yield child
    finally:
        if child.poll() is None:
            child.kill()
        child.wait(timeout=60)


@pytest.mark.parametrize("release", ["close", "kill"])
def test_store_held_by_another_process(store_path, holder, release):
    before = snapshot(store_path)
    assert_refused(store_path)
    assert snapshot(store_path) == before
    if release == "close":
        holder.communicate("\n", timeout=60)
        assert holder.returncode == 0
    else:  # the lock dies with its process
        holder.kill()
        holder.wait(timeout=60)
    with Store.open(str(store_path)) as s:
        assert s.get(b"child") == b"was here"


def test_store_held_here_is_refused_here_and_elsewhere_until_closed(tmp_path, store, store_path):
    store.put(b"k", b"v")
    before = snapshot(store_path)
    # Whatever a refused attempt here opens and closes on the way must not drop the lock.
    os.link(store_path, tmp_path / "hard.omb")
    assert_refused(store_path)
    assert_refused(tmp_path / "hard.omb")
    assert run_probe(store_path) == REFUSED
    assert snapshot(store_path) == before
    store.put(b"k2", b"v2")  # the refused attempts did not disturb the holder
    store.close()
    assert run_probe(store_path) == ["open|ok", "verify|ok"]
    with Store.open(str(store_path)) as again:
        assert again.get(b"k2") == b"v2"
