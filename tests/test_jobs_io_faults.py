"""Multi-commit job operations under a failing write or sync: only whole commits survive, and a rerun finishes."""

import pytest

from faults.harness import run_fault_script, sweep

# Runs in the child on the reopened store: the state before and after running the action again.
OBSERVE = """
def snapshot():
    jobs = store.list_jobs()
    histories = {j["id"].hex(): [[seq, kind, detail.decode()] for seq, _, kind, detail in store.job_history(j["id"])]
                 for j in jobs}
    history_ids = sorted({k[17:33].hex() for k, _ in store.scan_prefix(b"\\xffomb:job:history:")})
    schedules = [store.get_schedule(bytes.fromhex(i)) for i in shared.get("schedules", [])]
    crons = [store.get_cron_schedule(bytes.fromhex(i)) for i in shared.get("crons", [])]
    return {
        "jobs": [[j["id"].hex(), j["handler"].decode(), j["state"], j["attempts"]] for j in jobs],
        "histories": histories, "history_ids": history_ids, "stats": store.job_stats(),
        "schedules": [[s["job"]["handler"].decode(), s["next_run_ms"]] for s in schedules],
        "crons": [[c["job"]["handler"].decode(), c["fire_count"], c["next_run_ms"]] for c in crons],
    }
before = snapshot()
try:
    exec(shared["action"], {"store": store})
    again = None
except Exception as error:
    again = [type(error).__name__, str(error)]
observed = {"before": before, "again": again, "after": snapshot()}
"""

LAST_KINDS = {"ready": {"submitted", "retry_scheduled"}, "leased": {"claimed"}, "completed": {"completed"},
              "dead": {"dead"}, "cancelled": {"cancelled"}}


def check_whole_commits(view):
    jobs, stats = view["jobs"], view["stats"]
    assert stats == {"total": len(jobs)} | {state: sum(j[2] == state for j in jobs) for state in LAST_KINDS}
    assert view["history_ids"] == sorted(job_id for job_id, *_ in jobs)  # no history without its record
    for job_id, _, state, _ in jobs:
        entries = view["histories"][job_id]
        assert [seq for seq, _, _ in entries] == list(range(len(entries)))
        assert entries[0][1] == "submitted" and entries[-1][1] in LAST_KINDS[state]


def jobs_of(view, handler):
    return sorted(job for job in view["jobs"] if job[1] == handler)


def handled_in_key_order(flags, finished):  # one commit each, in key order: the handled ones lead
    assert flags == sorted(flags, reverse=True) and (all(flags) or not finished)


def claim_check(view, finished):
    dead = [state == "dead" for _, _, state, _ in jobs_of(view, "overdue")]
    handled_in_key_order(dead, finished)
    (wanted,) = jobs_of(view, "wanted")  # claimed once, after every overdue job was made dead
    assert wanted[2:] == ["leased", 1] if finished else wanted[2] == "ready" or all(dead)


def release_check(view, finished):
    handled_in_key_order([state != "leased" for _, _, state, _ in jobs_of(view, "held")], finished)


def tick_check(view, finished):
    fired = [next_run == 100 for _, next_run in view["schedules"]]
    handled_in_key_order(fired, finished)
    assert [len(jobs_of(view, handler)) for handler, _ in view["schedules"]] == fired


def cron_check(view, finished):  # the job commits before its schedule: it may be ahead, never behind
    for handler, fire_count, next_run in view["crons"]:
        jobs = len(jobs_of(view, handler))
        assert jobs - fire_count in (0, 1) and (fire_count, next_run) in ((0, 60_000), (1, 120_000))
        assert not finished or (fire_count, jobs) == (1, 1)


OPERATIONS = {
    "claim with overdue jobs": (
        "for _ in range(3): store.submit_job(b'overdue', b'', 0, deadline_ms=5)\n"
        "store.submit_job(b'wanted', b'', 0, priority=-1)\n",
        "store.claim_job(10, 100)", 3, claim_check),
    "release expired leases": (
        "for a in (1, 2, 2): store.submit_job(b'held', b'', 0, max_attempts=a)\n"
        "for _ in range(3): store.claim_job(0, 10)\n",
        "store.release_expired_jobs(10)", 3, release_check),
    "interval schedule tick": (
        "shared['schedules'] = sorted(store.create_schedule(b's%d' % i, b'', 0, mode='interval', every_ms=100).hex()"
        " for i in range(3))\n",
        "store.tick_schedules(50, 10)", 3, tick_check),
    "cron schedule tick": (
        "shared['crons'] = [store.create_cron_schedule('* * * * *', b'c%d' % i, b'', 0).hex() for i in range(2)]\n",
        "store.tick_cron_schedules(60_000, 10)", 4, cron_check),
}


def plans(commits):
    # Each commit appends at most three puts, their change records and a commit record, and syncs once.
    pwrites = commits * 7 + 1
    return sweep("pwrite", "EIO", pwrites) + sweep("pwrite", "partial", pwrites) + sweep("fdatasync", "EIO", commits + 1)


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_multi_commit_operation_under_io_faults(iofault_library, tmp_path, name):
    setup, action, commits, check = OPERATIONS[name]
    results = run_fault_script(iofault_library, tmp_path, setup=setup + f"shared['action'] = {action!r}\n",
                               action=action, observe=OBSERVE, plans=plans(commits))
    assert not all(r["fired"] for r in results if r["plan"].startswith("pwrite:"))  # the sweep went past the end
    for result in results:
        assert "reopen_error" not in result and result["torn"] is False, result
        if result["error"] is not None:
            assert result["fired"] and result["error"][0] == "OmbrelStoreError", result
            assert result["error"][1].startswith(("store error: ", "job error: store error: ")), result
        else:
            assert not (result["fired"] and result["plan"].startswith("pwrite:")), result
        before, after = result["observed"]["before"], result["observed"]["after"]
        assert result["observed"]["again"] is None, result
        for view, finished in ((before, result["error"] is None), (after, True)):
            check_whole_commits(view)
            check(view, finished)
