"""Injected I/O faults: a failed write, sync or truncate never costs an acknowledged
commit, never makes the store unopenable, and never lets a later write land after
bytes that replay cannot read past."""

import os
import shutil
import subprocess
import sys
import uuid

import pytest

from faults.fault_child import workload
from faults.harness import preload_env, run_fault_scenarios
from ombrel_store import _native

OPS = 8
# Calls made by the workload above: one header write and three records per operation.
PWRITE_CALLS = 1 + 3 * OPS


def apply(steps, outcomes, also=None):
    model = {}
    for i, (kind, key, value) in enumerate(steps):
        if outcomes[i] is None or i == also:
            if kind == "put":
                model[key.decode()] = value.decode()
            else:
                model.pop(key.decode(), None)
    return model


def scenarios(plans, durability):
    return [{"plan": plan, "durability": durability, "ops": OPS} for plan in plans]


@pytest.fixture(scope="module")
def run(iofault_library, tmp_path_factory):
    workdir = tmp_path_factory.mktemp("faults")
    return lambda plans, durability="data": run_fault_scenarios(
        iofault_library, workdir, scenarios(plans, durability))


def first_failure(result):
    return next((i for i, o in enumerate(result["outcomes"]) if o), None)


def check_open_failure(result):
    # A store whose creation failed is either absent or a valid empty store.
    assert "reopen_error" not in result, result
    assert result["reopened"] == {}


@pytest.mark.parametrize("action, error_class", [("ENOSPC", "DiskFullError"), ("EIO", "IoError"),
                                                  ("partial", "DiskFullError")])
@pytest.mark.parametrize("durability", ["data", "relaxed"])
def test_failed_append_is_cut_back_and_the_store_goes_on(run, action, error_class, durability):
    results = run([f"pwrite:{n}:{action}" for n in range(1, PWRITE_CALLS + 1)], durability)
    steps = workload(OPS)
    fired = 0
    for result in results:
        assert result["fired"], result
        fired += 1
        if result["open_error"]:
            # Creating the header is not a record append: its failures are plain I/O errors.
            assert result["open_error"][0] == "IoError"
            check_open_failure(result)
            continue
        failed = [o for o in result["outcomes"] if o]
        assert len(failed) == 1 and failed[0][0] == error_class, result
        acked = apply(steps, result["outcomes"])
        assert result["flush"] is None
        assert result["live"] == acked
        assert result["verify"]["torn"] is False  # a failed commit may leave its put, never a torn record
        assert result["reopened"] == acked
    assert fired == PWRITE_CALLS


def test_short_writes_are_completed(run):
    results = run([f"pwrite:{n}:short:0" for n in range(1, 4)])
    full = apply(workload(OPS), [None] * OPS)
    for result in results:
        assert result["fired"] and result["open_error"] is None
        assert result["outcomes"] == [None] * OPS
        assert result["reopened"] == full


@pytest.mark.parametrize("op, durability", [("fdatasync", "data"), ("fsync", "strict")])
@pytest.mark.parametrize("errno_name, error_class", [("EIO", "IoError"), ("ENOSPC", "DiskFullError")])
def test_failed_sync_refuses_writes_until_reopen(run, op, durability, errno_name, error_class):
    # One sync per commit and one for the final flush; a new header is synced with fsync.
    sync_calls = OPS + 1 + (op == "fsync")
    results = run([f"{op}:{n}:{errno_name}" for n in range(1, sync_calls + 1)], durability)
    steps = workload(OPS)
    for result in results:
        assert result["fired"], result
        if result["open_error"]:
            check_open_failure(result)
            continue
        first = first_failure(result)
        if first is None:  # the fault hit the final flush
            assert result["flush"][0] == error_class
            assert result["reopened"] == result["live"] == apply(steps, result["outcomes"])
            continue
        error = result["outcomes"][first]
        assert error[0] == error_class
        # Every later write and every flush keeps reporting the same failure.
        assert result["outcomes"][first:] == [error] * (OPS - first)
        assert result["flush"] == error
        acked = apply(steps, result["outcomes"])
        assert result["live"] == acked
        # What reached the disk is replayed: the failed commit may or may not be there.
        assert result["reopened"] in (acked, apply(steps, result["outcomes"], also=first))


def test_failed_cut_back_refuses_writes_and_reopen_repairs(run):
    plans = [f"pwrite:{n}:partial,ftruncate:1:EIO" for n in range(2, PWRITE_CALLS + 1)]
    steps = workload(OPS)
    for result in run(plans):
        first = first_failure(result)
        assert result["outcomes"][first][0] == "DiskFullError", result
        assert all(o and o[0] in ("IoError", "DiskFullError") for o in result["outcomes"][first + 1:]), result
        acked = apply(steps, result["outcomes"])
        assert result["live"] == acked
        assert result["verify"]["torn"] is True
        assert result["reopened"] == acked


def test_failed_torn_tail_repair_fails_the_open(iofault_library, tmp_path):
    # A torn tail that cannot be cut: the open fails and leaves the file as it was.
    path = tmp_path / "torn.omb"
    with _native.Store.open(str(path)) as store:
        store.put(b"a", b"1")
    with open(path, "ab") as f:
        f.write(b"\x00" * 10)
    before = path.read_bytes()
    script = (
        "import sys\nfrom ombrel_store import _native\n"
        "try:\n    _native.Store.open(sys.argv[1])\nexcept _native.IoError as e:\n    print(e)\n"
    )
    env = dict(preload_env(iofault_library), OMBREL_FAULT="ftruncate:1:EIO", OMBREL_FAULT_ARM=uuid.uuid4().hex)
    done = subprocess.run([sys.executable, "-c", script, str(path)], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("I/O error: ")
    assert path.read_bytes() == before
    with _native.Store.open(str(path)) as store:
        assert store.get(b"a") == b"1"


@pytest.fixture
def small_tmpfs(tmp_path):
    mount_point = tmp_path / "tmpfs"
    mount_point.mkdir()
    if os.geteuid() != 0 or shutil.which("mount") is None:
        pytest.skip("mounting a tmpfs needs root and mount(8)")
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mount_point)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {done.stderr.strip()}")
    yield mount_point
    subprocess.run(["umount", str(mount_point)], check=True)


def test_real_disk_full_keeps_the_store_openable(small_tmpfs):
    path = small_tmpfs / "full.omb"
    acked = {}
    with _native.Store.open(str(path)) as store:
        with pytest.raises(_native.DiskFullError):
            for i in range(10_000):
                key, value = f"k{i}".encode(), bytes([i % 251]) * 3000
                store.put(key, value)
                acked[key] = value
        # Reads go on, and small writes still fit where a whole record does.
        assert store.get(b"k0") == acked[b"k0"]
        store.delete(b"k0")
        del acked[b"k0"]
    report = _native.Store.verify(str(path))
    assert not report.has_torn_tail and report.file_bytes == report.valid_bytes
    with _native.Store.open(str(path)) as store:
        assert {k: v for k, v in store.scan_prefix(b"k")} == acked
