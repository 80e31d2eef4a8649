"""One writer per store file, whether the second opener is this process or another,
and whatever path it uses to name the file."""

from __future__ import annotations

import fcntl
import os
import subprocess
import sys
import textwrap

import pytest

from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store

HELD = "store is already open by another writer"

CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))

HOLDER = textwrap.dedent(
    """
    import sys
    from ombrel_store import _native
    store = _native.Store.open(sys.argv[1])
    store.put(b"child", b"was here")
    print("ready", flush=True)
    sys.stdin.readline()
    store.close()
    """
)

PROBE = textwrap.dedent(
    """
    import sys
    from ombrel_store import _native
    for how in ("open", "verify"):
        try:
            result = getattr(_native.Store, how)(sys.argv[1])
        except _native.OmbrelStoreError as exc:
            print(how, type(exc).__name__, exc, sep="|")
        else:
            if how == "open":
                result.close()
            print(how, "ok", sep="|")
    """
)


def run_probe(path):
    done = subprocess.run(
        [sys.executable, "-c", PROBE, str(path)], env=CHILD_ENV, capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


@pytest.fixture
def holder(store_path):
    """A child process holding the store open until told to close it."""
    child = subprocess.Popen(
        [sys.executable, "-c", HOLDER, str(store_path)],
        env=CHILD_ENV,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        line = child.stdout.readline()
        assert line == "ready\n", child.stderr.read()
        yield child
    finally:
        if child.poll() is None:
            child.kill()
        child.wait(timeout=60)


class TestSameProcess:
    def test_second_open_is_refused_until_the_first_closes(self, store_path, open_store):
        first = open_store()
        first.put(b"k", b"v")
        before = snapshot(store_path)
        for _ in range(2):
            with raises_exactly(_native.AlreadyOpenError, HELD):
                Store.open(str(store_path))
        assert snapshot(store_path) == before
        # The refused opens did not disturb the holder.
        first.put(b"k2", b"v2")
        assert first.get(b"k") == b"v"
        first.close()
        with Store.open(str(store_path)) as second:
            assert second.get(b"k2") == b"v2"

    def test_verify_while_open_is_refused(self, store, store_path):
        with raises_exactly(_native.AlreadyOpenError, HELD):
            Store.verify(str(store_path))
        store.close()
        assert Store.verify(str(store_path)).file_bytes == 64

    @pytest.mark.parametrize("alias", ["symlink", "relative", "dotted", "hardlink", "symlinked-dir"])
    def test_other_names_of_the_same_file_count_as_the_same_store(
        self, tmp_path, store_path, open_store, monkeypatch, alias
    ):
        first = open_store()
        if alias == "symlink":
            other = tmp_path / "link.omb"
            other.symlink_to(store_path)
        elif alias == "relative":
            monkeypatch.chdir(tmp_path)
            other = store_path.name
        elif alias == "dotted":
            (tmp_path / "sub").mkdir()
            other = f"{tmp_path}/sub/.././/{store_path.name}"
        elif alias == "hardlink":
            other = tmp_path / "hard.omb"
            os.link(store_path, other)
        else:
            (tmp_path / "dirlink").symlink_to(tmp_path, target_is_directory=True)
            other = tmp_path / "dirlink" / store_path.name
        with raises_exactly(_native.AlreadyOpenError, HELD):
            Store.open(str(other))
        with raises_exactly(_native.AlreadyOpenError, HELD):
            Store.verify(str(other))
        first.close()
        # Nothing of the refused open stays registered under either name.
        with Store.open(str(other)):
            with raises_exactly(_native.AlreadyOpenError, HELD):
                Store.open(str(store_path))
        Store.open(str(store_path)).close()

    def test_missing_path_verify_creates_nothing(self, tmp_path):
        missing = tmp_path / "missing.omb"
        with raises_exactly(_native.IoError) as info:
            Store.verify(str(missing))
        assert str(info.value).startswith("I/O error: ")
        assert list(tmp_path.iterdir()) == []

    def test_foreign_exclusive_flock_blocks_open_and_verify(self, fresh_file):
        with open(fresh_file, "rb") as f:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            with raises_exactly(_native.AlreadyOpenError, HELD):
                Store.open(str(fresh_file))
            with raises_exactly(_native.AlreadyOpenError, HELD):
                Store.verify(str(fresh_file))
        Store.open(str(fresh_file)).close()

    def test_foreign_shared_flock_blocks_open_but_not_verify(self, fresh_file):
        with open(fresh_file, "rb") as f:
            fcntl.flock(f, fcntl.LOCK_SH | fcntl.LOCK_NB)
            with raises_exactly(_native.AlreadyOpenError, HELD):
                Store.open(str(fresh_file))
            assert Store.verify(str(fresh_file)).file_bytes == 64
        Store.open(str(fresh_file)).close()

    def test_open_store_holds_an_exclusive_flock_and_verify_keeps_none(self, store, store_path):
        with open(store_path, "rb") as f:
            with pytest.raises(BlockingIOError):
                fcntl.flock(f, fcntl.LOCK_SH | fcntl.LOCK_NB)
        store.close()
        Store.verify(str(store_path))
        with open(store_path, "rb") as f:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)


class TestOtherProcess:
    def test_store_held_by_another_process(self, store_path, holder):
        before = snapshot(store_path)
        with raises_exactly(_native.AlreadyOpenError, HELD):
            Store.open(str(store_path))
        with raises_exactly(_native.AlreadyOpenError, HELD):
            Store.verify(str(store_path))
        assert snapshot(store_path) == before
        holder.stdin.write("\n")
        holder.stdin.flush()
        assert holder.wait(timeout=60) == 0
        with Store.open(str(store_path)) as s:
            assert s.get(b"child") == b"was here"

    def test_lock_dies_with_the_holding_process(self, store_path, holder):
        holder.kill()
        holder.wait(timeout=60)
        with Store.open(str(store_path)) as s:
            assert s.get(b"child") == b"was here"

    def test_store_held_here_is_refused_to_another_process(self, store, store_path):
        store.put(b"k", b"v")
        before = snapshot(store_path)
        lines = run_probe(store_path)
        assert lines == [f"open|AlreadyOpenError|{HELD}", f"verify|AlreadyOpenError|{HELD}"]
        assert snapshot(store_path) == before
        assert store.get(b"k") == b"v"

    def test_refused_opens_here_do_not_release_the_lock(self, tmp_path, store, store_path):
        # Whatever a refused open or verify opens and closes on the way must not drop the
        # holder's lock: another process still finds the store held.
        os.link(store_path, tmp_path / "hard.omb")
        for name in (store_path, tmp_path / "hard.omb"):
            for how in ("open", "verify"):
                with pytest.raises(_native.AlreadyOpenError):
                    getattr(Store, how)(str(name))
        assert run_probe(store_path) == [f"open|AlreadyOpenError|{HELD}", f"verify|AlreadyOpenError|{HELD}"]

    def test_closed_store_is_free_for_another_process(self, fresh_file):
        assert run_probe(fresh_file) == ["open|ok", "verify|ok"]
