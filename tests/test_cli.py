"""The ombrel-store command line, run as a separate process, and the progress hook behind it."""

import json
import os
import subprocess
import sys

import pytest

from ombrel_store import _native

Store = _native.Store
HELD = "store is already open by another writer"
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
ESCAPE_KEY = b"\x1b[2Jred\x07"
NOW = 1_700_000_000_000


def cli(*argv, expect=0):
    done = subprocess.run([sys.executable, "-m", "ombrel_store", *map(str, argv)], env=CHILD_ENV,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == expect, (done.stdout, done.stderr)
    assert "Traceback" not in done.stderr
    return done


def cli_json(*argv, expect=0):
    return json.loads(cli(*argv, "--json", expect=expect).stdout)


@pytest.fixture(scope="module")
def populated(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "populated.omb"
    with Store.open(str(path)) as store:
        store.put(b"user:1", b"alice")
        store.put(ESCAPE_KEY, b"\x00\xff")
        store.submit_job(b"mail", b"{}", NOW)
        store.submit_job(b"resize", b"", NOW, max_attempts=1)
        job = store.claim_job(NOW, 1000, handlers=[b"resize"])
        store.fail_job(job["id"], job["lease_generation"], NOW, b"image too large")
        store.push_queue(b"emails", b"hello")
        store.create_workflow(b"onboarding", b"welcome", b"{}", NOW)
    return path


@pytest.mark.parametrize("argv, check", [
    (["info"], lambda d: d["format_major"] == 1 and d["storage"]["user_keys"] == 2
     and {"internal:job", "internal:q", "internal:wf"} <= {a["name"] for a in d["areas"]}),
    (["stats"], lambda d: d["user_keys"] == 2),
    (["get", "user:1"], lambda d: d == {"key": "user:1", "value": "alice"}),
    (["get", "0x" + ESCAPE_KEY.hex()], lambda d: d["value"] == {"hex": "00ff"}),
    (["get", "--hex", b"user:1".hex()], lambda d: d["value"] == "alice"),
    (["scan", "user:"], lambda d: d == [{"key": "user:1", "value": "alice"}]),
    (["dump"], lambda d: [p["key"] for p in d] == [{"hex": ESCAPE_KEY.hex()}, "user:1"]),
    (["dump", "--internal", "--limit", "3"], lambda d: len(d) == 3),
    (["changes", "--limit", "2"], lambda d: [c["key"] for c in d] == ["user:1", {"hex": ESCAPE_KEY.hex()}]),
    (["queues"], lambda d: d == [{"name": "emails", "ready": 1, "leased": 0, "dead": 0, "total": 1,
                                  "ready_lag_ms": d[0]["ready_lag_ms"]}]),
    (["jobs", "--state", "dead"], lambda d: [(j["handler"], j["last_error"]) for j in d]
     == [("resize", "image too large")]),
    (["jobs"], lambda d: sorted(j["state"] for j in d) == ["dead", "ready"]),
    (["workflows", "--status", "running"], lambda d: [w["workflow_type"] for w in d] == ["onboarding"]),
    (["workflows", "--status", "failed"], lambda d: d == []),
    (["verify"], lambda d: d["ok"] and d["damage"] is None and not d["has_torn_tail"]),
    (["health"], lambda d: d["within_limit"] and d["queue_ready"] == 1),
])
def test_read_commands_answer_in_json(populated, argv, check):
    assert check(cli_json(argv[0], populated, *argv[1:]))


@pytest.mark.parametrize("command", ["info", "dump --internal", "jobs", "workflows", "queues", "changes", "verify",
                                     "health", "scan"])
def test_human_output_never_carries_raw_bytes(populated, command):
    name, *options = command.split()
    out = cli(name, populated, *options).stdout
    assert out and all(c.isprintable() or c == "\n" or c == "\t" for c in out)
    if name == "dump":
        assert f"0x{ESCAPE_KEY.hex()}\t0x00ff" in out.splitlines()


def test_jobs_table_shows_the_dead_job_with_its_error(populated):
    lines = cli("jobs", populated, "--state", "dead").stdout.splitlines()
    assert lines[0].split()[:3] == ["id", "state", "handler"] and len(lines) == 2
    assert lines[1].split()[1:3] == ["dead", "resize"] and lines[1].endswith("image too large")


def damaged(path, tmp_path, how):
    copy = tmp_path / f"{how}.omb"
    data = bytearray(path.read_bytes())
    if how == "torn":
        data += b"OMB1\x01"
    else:
        data[70] ^= 0xFF  # inside the first record
    copy.write_bytes(bytes(data))
    return copy


@pytest.mark.parametrize("argv, status, stderr", [
    (lambda p, t: ["get", p, "nope"], 1, "ombrel-store: no key nope\n"),
    (lambda p, t: ["verify", damaged(p, t, "torn")], 1, ""),
    (lambda p, t: ["verify", damaged(p, t, "flipped")], 1, ""),
    (lambda p, t: ["info", t / "missing.omb"], 3, "ombrel-store: I/O error"),
    (lambda p, t: ["info", damaged(p, t, "flipped")], 3, "ombrel-store: "),
    (lambda p, t: ["backup", t / "missing.omb", t / "b.omb"], 3, "ombrel-store: I/O error"),
    (lambda p, t: ["checkpoint", p, p], 3, "ombrel-store: checkpoint destination must differ"),
    (lambda p, t: ["jobs", p, "--state", "sleeping"], 2, "usage:"),
    (lambda p, t: ["get", p, "0xzz"], 2, "usage:"),
    (lambda p, t: ["frobnicate"], 2, "usage:"),
])
def test_exit_status_tells_problems_from_usage_and_store_errors(populated, tmp_path, argv, status, stderr):
    done = cli(*argv(populated, tmp_path), expect=status)
    assert done.stderr.startswith(stderr)
    assert not (tmp_path / "missing.omb").exists() and not (tmp_path / "b.omb").exists()


def test_verify_reports_damage_in_json(populated, tmp_path):
    torn = cli_json("verify", damaged(populated, tmp_path, "torn"), expect=1)
    assert torn["has_torn_tail"] and not torn["ok"]
    broken = cli_json("verify", damaged(populated, tmp_path, "flipped"), expect=1)
    assert not broken["ok"] and broken["damage"]


@pytest.mark.parametrize("command, check", [
    ("backup", lambda r, p: r["bytes"] == p.stat().st_size),
    ("checkpoint", lambda r, p: r["source_store_id"] == r["checkpoint_store_id"]),
    ("compact", lambda r, p: r["keys"] > 2),
    ("snapshot", lambda r, p: r["source_store_id"] != r["snapshot_store_id"]),
    ("generation", lambda r, p: r["high_water_tx_id"] > 0),
])
def test_maintenance_commands_write_copies_that_verify(populated, tmp_path, command, check):
    destination = tmp_path / "copy.omb"
    done = cli(command, populated, destination, "--json")
    assert done.stderr == ""  # no progress bar when stderr is not a terminal
    assert check(json.loads(done.stdout), populated)
    assert Store.verify(str(destination)).keys > 2
    restored = cli_json("restore", destination, tmp_path / "restored.omb")
    assert restored["keys"] == Store.verify(str(destination)).keys
    assert sorted(os.listdir(tmp_path)) == ["copy.omb", "restored.omb"]


HOLDER = """import sys
from ombrel_store import _native
store = _native.Store.open(sys.argv[1])
print("ready", flush=True)
sys.stdin.readline()
"""


def test_read_commands_work_beside_a_writer_and_maintenance_refuses(populated, tmp_path):
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(populated)], env=CHILD_ENV,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "ready\n"
        assert cli_json("get", populated, "user:1")["value"] == "alice"
        assert len(cli_json("jobs", populated)) == 2
        cli("info", populated)
        for argv in (["backup", populated, tmp_path / "b.omb"], ["health", populated], ["verify", populated]):
            assert cli(*argv, expect=3).stderr == f"ombrel-store: {HELD}\n"
        assert not (tmp_path / "b.omb").exists()
    finally:
        holder.communicate("\n", timeout=60)


# ---- the progress hook ----

OPERATIONS = {
    "verify": lambda store, path, dest: Store.verify(str(path)),
    "backup_to": lambda store, path, dest: store.backup_to(dest),
    "checkpoint_to": lambda store, path, dest: store.checkpoint_to(dest),
    "compact_copy_to": lambda store, path, dest: store.compact_copy_to(dest),
    "snapshot_to": lambda store, path, dest: store.snapshot_to(dest),
    "compact_generation_to": lambda store, path, dest: store.compact_generation_to(dest),
}


@pytest.fixture
def hook_store(tmp_path):
    path = tmp_path / "source.omb"
    store = Store.open(str(path))
    for i in range(3000):  # some 5 MiB, so that a pass reports before its end
        store.put(b"k%05d" % i, bytes(1700))
    yield store, path
    Store.set_progress_hook(None)
    store.close()


@pytest.mark.parametrize("operation", OPERATIONS)
def test_long_operations_report_their_passes_to_the_hook(hook_store, tmp_path, operation):
    store, path = hook_store
    calls = []
    verifying = operation == "verify"
    if verifying:
        store.close()
    assert Store.set_progress_hook(lambda *call: calls.append(call)) is None
    OPERATIONS[operation](store, path, tmp_path / "dest.omb")
    assert {name for name, _, _ in calls} == {operation}
    assert all(0 < done <= total for _, done, total in calls)
    assert calls[-1][1] == calls[-1][2] and any(done < total for _, done, total in calls)


@pytest.mark.parametrize("operation", [op for op in OPERATIONS if op != "verify"] + ["restore_copy"])
def test_an_exception_in_the_hook_stops_the_operation_and_leaves_nothing(hook_store, tmp_path, operation):
    store, path = hook_store
    calls = []

    def hook(*call):
        calls.append(call)
        raise KeyError("stop")

    if operation == "restore_copy":
        store.backup_to(tmp_path / "closed.omb")
    Store.set_progress_hook(hook)
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(KeyError, match="stop"):
        if operation == "restore_copy":
            Store.restore_copy(tmp_path / "closed.omb", tmp_path / "dest.omb")
        else:
            OPERATIONS[operation](store, path, tmp_path / "dest.omb")
    assert len(calls) == 1 and sorted(os.listdir(tmp_path)) == before
    Store.set_progress_hook(None)
    assert store.get(b"k00001") == bytes(1700)


def test_set_progress_hook_refuses_what_it_cannot_call():
    with pytest.raises(TypeError):
        Store.set_progress_hook(42)
    assert Store.set_progress_hook(None) is None


@pytest.mark.parametrize("json_output", [False, True])
def test_a_reader_that_stops_early_is_no_error(tmp_path, json_output):
    """`ombrel-store dump ... | head`: the closed pipe ends the command quietly, with status 0."""
    path = tmp_path / "many.omb"
    with Store.open(str(path)) as store, store.transaction() as tx:
        for i in range(4000):
            tx.put(b"key:%06d" % i, b"v" * 40)
    argv = [sys.executable, "-m", "ombrel_store", "dump", str(path)] + (["--json"] if json_output else [])
    child = subprocess.Popen(argv, env=CHILD_ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.readline()
    child.stdout.close()
    assert child.wait(timeout=120) == 0
    assert child.stderr.read() == b""
