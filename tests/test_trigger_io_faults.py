"""Firing a trigger under a failing write or sync: the job, its history entry and the trigger's count
survive together or not at all, and firing again on the reopened store works."""

import pytest

from faults.harness import run_fault_script, sweep

SETUP = """
shared["plain"] = store.create_trigger(b"t", "stream", b"h", b"template", source_name=b"s").hex()
shared["keyed"] = store.create_trigger(b"k", "manual", b"h", b"", idempotency_key=b"once").hex()
store.fire_trigger(bytes.fromhex(shared["keyed"]), b"", 1)  # its job stays ready: later firings reuse it
"""

# Runs in the child on the reopened store: the state before and after firing once more.
OBSERVE = """
def snapshot():
    names = {b"t": "plain", b"k": "keyed"}
    triggers = {names[t["name"]]: [t["fire_count"], t["last_fired_at_ms"]] for t in store.list_triggers()}
    jobs = [[j["id"].hex(), j["payload"].decode()] for j in store.list_jobs()]
    histories = {job_id: [list(entry[:3]) + [entry[3].decode()] for entry in store.job_history(bytes.fromhex(job_id))]
                 for job_id, _ in jobs}
    history_ids = sorted({k[17:33].hex() for k, _ in store.scan_prefix(b"\\xffomb:job:history:")})
    return {"triggers": triggers, "jobs": jobs, "histories": histories, "history_ids": history_ids}
before = snapshot()
try:
    store.fire_trigger(bytes.fromhex(shared[shared["target"]]), b"event", 20)
    again = None
except Exception as error:
    again = [type(error).__name__, str(error)]
observed = {"before": before, "again": again, "after": snapshot()}
"""


def firings(view, target):
    """How many firings at 20 the view holds, checking that each one is whole: its job (new, or the keyed one
    reused), the job's "submitted" entry and the trigger's count and time."""
    triggers, jobs = view["triggers"], view["jobs"]
    assert view["history_ids"] == sorted(job_id for job_id, _ in jobs)  # no history without its job
    assert all(view["histories"][job_id][0][2:] == ["submitted", "transactional"] for job_id, _ in jobs)
    (count, last), (other_count, other_last) = triggers[target], triggers["keyed" if target == "plain" else "plain"]
    base = 1 if target == "keyed" else 0  # the keyed trigger fired once at setup
    assert (other_count, other_last) == ((0, None) if target == "keyed" else (1, 1))
    assert last == (20 if count > base else 1 if base else None)
    event_jobs = sum(payload == "event" for _, payload in jobs)
    assert event_jobs == (count - base if target == "plain" else 0) and len(jobs) == 1 + event_jobs
    return count - base


def plans():
    # One commit: the job, its history entry and the trigger (three puts and their change records) and the
    # commit record, then one sync; one more call of each to run past the end.
    pwrites = 7 + 1
    return sweep("pwrite", "EIO", pwrites) + sweep("pwrite", "partial", pwrites) + sweep("fdatasync", "EIO", 2)


@pytest.mark.parametrize("target", ["plain", "keyed"])
def test_fire_trigger_under_io_faults(iofault_library, tmp_path, target):
    results = run_fault_script(iofault_library, tmp_path, setup=SETUP + f"shared['target'] = {target!r}\n",
                               action=f"store.fire_trigger(bytes.fromhex(shared[{target!r}]), b'event', 20)",
                               observe=OBSERVE, plans=plans())
    assert not all(r["fired"] for r in results if r["plan"].startswith("pwrite:"))  # the sweep went past the end
    assert any(r["error"] is not None for r in results)
    for result in results:
        assert "reopen_error" not in result and result["torn"] is False, result
        if result["error"] is not None:
            assert result["fired"] and result["error"][0] == "OmbrelStoreError", result
            assert result["error"][1].startswith(("store error: ", "transactional job error: store error: ")), result
        else:
            assert not (result["fired"] and result["plan"].startswith("pwrite:")), result
        observed = result["observed"]
        done = firings(observed["before"], target)
        assert done == 1 if result["error"] is None else done in (0, 1), result
        assert observed["again"] is None and firings(observed["after"], target) == done + 1, result
