"""Copies and rewrites under injected I/O faults: the call fails cleanly or misses the fault, the
source is never modified, nothing is left behind (a failed backup_to leaves the older backup it
was to replace), a finished copy is whole, and the same call succeeds once the fault is gone."""

import pytest

from faults.harness import run_fault_script, sweep

# The store is found among the child's open files; the destination's name contains the store's,
# so the injector counts calls on both (and on the temporary siblings beside the destination).
HELPERS = """
import hashlib, os
def store_path():
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.endswith(".omb") and "/template-" not in target:
            return target
def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()
def live_digest(s):
    return hashlib.sha256(repr(s.scan_prefix(b"")).encode()).hexdigest()
def run(store, operation, source, destination):
    if operation == "restore_copy":
        store.close()
        return _native.Store.restore_copy(source, destination)
    return getattr(store, operation)(destination)
"""
SETUP = HELPERS + """
import tempfile
for i in range(4):
    store.put(b"k%d" % i, b"v" * (50 + i))
with tempfile.TemporaryDirectory() as directory:  # a good backup of an earlier state
    store.backup_to(directory + "/old.omb")
    shared["old_backup"] = digest(directory + "/old.omb")
    with open(directory + "/old.omb", "rb") as f:
        shared["old_bytes"] = f.read().hex()
store.put(b"k0", b"overwritten")
store.delete(b"k1")
shared["live"] = live_digest(store)
"""
ACTION = HELPERS + """
source = store_path()
if OPERATION == "backup_to":  # plain write calls, which no plan counts
    with open(source + ".copy", "wb") as f:
        f.write(bytes.fromhex(shared["old_bytes"]))
try:
    run(store, OPERATION, source, source + ".copy")
    shared["outcome"] = None
except _native.OmbrelStoreError as error:
    shared["outcome"] = [type(error).__name__, str(error)]
"""
OBSERVE = HELPERS + """
source = store_path()
destination = source + ".copy"
directory, name = os.path.split(source)
def copy_state():
    if not os.path.exists(destination):
        return None
    if digest(destination) == shared["old_backup"]:
        return "old backup"
    try:
        report = _native.Store.verify(destination)
        with _native.Store.open(destination) as copy:
            live = live_digest(copy)
    except _native.OmbrelStoreError as error:  # a partial backup
        return {"broken": str(error)}
    return {"torn": report.has_torn_tail, "same_bytes": digest(destination) == digest(source),
            "same_live": live == shared["live"]}
observed = {"outcome": shared["outcome"], "source": [digest(source), live_digest(store)], "copy": copy_state(),
            "leftovers": sorted(n for n in os.listdir(directory) if name in n and n not in (name, name + ".copy"))}
if os.path.exists(destination):
    os.unlink(destination)
source_digest = digest(source)
run(store, OPERATION, source, destination)
observed["retry"] = copy_state()
observed["source_after_retry"] = digest(source) == source_digest
os.unlink(destination)
"""
OPERATIONS = ["backup_to", "checkpoint_to", "restore_copy", "compact_copy_to", "snapshot_to", "compact_generation_to"]
CALLS = 16  # more than any of them makes of each kind: the last plan of each sweep must miss
SWEEPS = [sweep("pwrite", "EIO", CALLS), sweep("pwrite", "partial", CALLS), sweep("fsync", "EIO", CALLS),
          sweep("fdatasync", "EIO", CALLS), [f"pwrite:{n}:partial,ftruncate:1:EIO" for n in range(1, CALLS + 1)]]


def whole(copy, operation):
    # Byte-for-byte copies must equal their source; rewrites must hold its live keys.
    return (copy is not None and "broken" not in copy and not copy["torn"] and copy["same_live"]
            and (copy["same_bytes"] or operation not in ("backup_to", "checkpoint_to", "restore_copy")))


@pytest.mark.parametrize("operation", OPERATIONS)
def test_a_failing_write_or_sync_leaves_the_source_and_nothing_else(iofault_library, tmp_path, operation):
    bind = f"OPERATION = {operation!r}\n"
    results = run_fault_script(iofault_library, tmp_path, setup=SETUP, action=bind + ACTION, observe=bind + OBSERVE,
                               plans=[plan for family in SWEEPS for plan in family])
    for result in results:
        assert result["error"] is None and "reopen_error" not in result and result["torn"] is False, result
        observed = result["observed"]
        assert observed["source"] == results[0]["observed"]["source"] and observed["leftovers"] == [], result
        if observed["outcome"] is None:
            assert whole(observed["copy"], operation), result
        elif operation == "backup_to":
            assert result["fired"] and observed["outcome"][0] == "IoError", result
            assert observed["copy"] == "old backup", result
        else:
            assert result["fired"] and observed["copy"] is None, result
        assert whole(observed["retry"], operation) and observed["source_after_retry"], result
    assert any(result["observed"]["outcome"] for result in results)
    ends = [sum(map(len, SWEEPS[: i + 1])) - 1 for i in range(len(SWEEPS))]
    assert not any(results[end]["fired"] for end in ends)


SOURCE_SYNC = HELPERS + """
source = store_path()
elsewhere = os.path.join(os.path.dirname(source), "elsewhere-" + os.path.basename(source)[:-4])
outcome = []
for attempt in (lambda: getattr(store, OPERATION)(elsewhere), store.flush, lambda: store.put(b"later", b"x")):
    try:
        attempt()
        outcome.append(None)
    except _native.OmbrelStoreError as error:
        outcome.append(type(error).__name__)
    if outcome[0] is None:
        break
shared["outcome"] = outcome
for leftover in os.listdir(os.path.dirname(source)):
    if leftover.startswith(("elsewhere-", ".elsewhere-")):
        os.unlink(os.path.join(os.path.dirname(source), leftover))
"""


@pytest.mark.parametrize("durability", ["relaxed", "data"])
@pytest.mark.parametrize("operation", ["backup_to", "checkpoint_to", "compact_generation_to"])
def test_a_failed_sync_of_the_source_refuses_its_writes_until_reopen(iofault_library, tmp_path, operation,
                                                                      durability):
    # The kernel may have dropped unsynced pages: like a failed flush, the failure is not forgotten.
    results = run_fault_script(
        iofault_library, tmp_path, setup="store.put(b'k', b'v')\nshared['live'] = repr(store.scan_prefix(b''))",
        action=f"OPERATION = {operation!r}\n" + SOURCE_SYNC,
        observe="observed = [shared['outcome'], repr(store.scan_prefix(b'')) == shared['live']]",
        plans=sweep("fsync", "EIO", 3) + sweep("fdatasync", "EIO", 3), durability=durability)
    assert any(result["fired"] for result in results)
    for result in results:
        outcome, unchanged = result["observed"]
        assert result["torn"] is False, result
        assert (outcome[0] in ("IoError", "OmbrelStoreError") and outcome[1:] == ["IoError"] * 2 and unchanged
                if result["fired"] else outcome == [None]), result
