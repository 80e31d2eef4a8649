"""Workflow changes under a failing write or sync: an instance and its history entry survive together or not at
all, resumes commit instance by instance, and a rerun finishes."""

import pytest

from faults.harness import run_fault_script, sweep

# Runs in the child on the reopened store: the state before and after running the action again.
OBSERVE = """
def snapshot():
    ids = [bytes.fromhex(i) for i in shared["ids"]]
    instances = [store.get_workflow(i) for i in ids]
    history_ids = sorted({k[16:32].hex() for k, _ in store.scan_prefix(b"\\xffomb:wf:history:")})
    return {
        "instances": [[w["status"], w["current_step"].decode(), w["wait"] and w["wait"]["kind"]] for w in instances],
        "histories": [[[e["sequence"], e["kind"]] for e in store.workflow_history(i)] for i in ids],
        "history_ids": history_ids, "ids": shared["ids"],
        "kept": len(store.scan_prefix(b"\\xffomb:wf:kept:")),
    }
before = snapshot()
try:
    exec(shared["action"], {"store": store, "shared": shared})
    again = None
except Exception as error:
    again = [type(error).__name__, str(error)]
observed = {"before": before, "again": again, "after": snapshot()}
"""

# The history kind that the instance's status and wait must have come from.
LAST_KIND = {("running", None): {"created", "step_changed", "timer_fired", "timed_out", "signal_consumed"},
             ("waiting", "timer"): {"waiting_timer", "signal_kept"},
             ("waiting", "signal"): {"waiting_signal", "waiting_signal_until"}}


def check_whole_commits(view):
    assert view["history_ids"] == view["ids"]  # no history without its instance, no instance without history
    for (status, _, wait), entries in zip(view["instances"], view["histories"]):
        assert [seq for seq, _ in entries] == list(range(len(entries)))
        assert entries[0][1] == "created" and entries[-1][1] in LAST_KIND[status, wait]


def step_check(view, finished):
    ((_, step, _),) = view["instances"]
    kinds = [kind for _, kind in view["histories"][0]]
    changes = kinds[2:]  # a rerun adds a second change
    assert kinds[:2] == ["created", "waiting_timer"] and changes == ["step_changed"] * len(changes)
    assert (step == "next") == bool(changes) and (bool(changes) or not finished)


def keep_check(view, finished):  # the kept record and its history entry come together
    kinds = [kind for _, kind in view["histories"][0]]
    assert view["kept"] == kinds.count("signal_kept") and (view["kept"] > 0 or not finished)


def consume_check(view, finished):  # the consumed record goes with its history entry
    kinds = [kind for _, kind in view["histories"][0]]
    assert view["kept"] + kinds.count("signal_consumed") == 1 and (view["kept"] == 0 or not finished)


def resume_check(view, finished):  # one commit each, in key order: the resumed ones lead
    resumed = [status == "running" for status, _, _ in view["instances"]]
    assert resumed == sorted(resumed, reverse=True) and (all(resumed) or not finished)


SETUP = ("shared['ids'] = sorted(store.create_workflow(b't', b'start', b'', 0).hex() for _ in range({count}))\n"
         "for i in shared['ids']: store.wait_until(bytes.fromhex(i), 5, 1)\n")
OPERATIONS = {  # setup, action, commits, check of a view (finished: the action succeeded)
    "set step": (SETUP.format(count=1), "store.set_workflow_step(bytes.fromhex(shared['ids'][0]), b'next', b's', 9)",
                 1, step_check),
    "resume due timers": (SETUP.format(count=3), "store.resume_due_workflows(10)", 3, resume_check),
    "keep a signal": (SETUP.format(count=1),
                      "store.send_workflow_signal(bytes.fromhex(shared['ids'][0]), b'go', b'p', 9)", 1, keep_check),
    "consume a kept signal": (SETUP.format(count=1) + "store.send_workflow_signal(bytes.fromhex(shared['ids'][0]), "
                              "b'go', b'p', 2)\n", "store.wait_for_signal(bytes.fromhex(shared['ids'][0]), b'go', 9)",
                              1, consume_check),
    "time out signal waits": (SETUP.format(count=3).replace("store.wait_until(bytes.fromhex(i), 5, 1)",
                                                            "store.wait_for_signal_until(bytes.fromhex(i), b'go', 5, 1)"),
                              "store.wake_due_workflows(10)", 3, resume_check),
}
WRITES_PER_COMMIT = {"keep a signal": 3, "consume a kept signal": 3}  # two otherwise: the instance and its history


def plans(commits, writes=2):
    # Each commit appends its writes, their change records and a commit record, and syncs once.
    pwrites = commits * (2 * writes + 1) + 2
    return sweep("pwrite", "EIO", pwrites) + sweep("pwrite", "partial", pwrites) + sweep("fdatasync", "EIO", commits + 1)


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_workflow_operation_under_io_faults(iofault_library, tmp_path, name):
    setup, action, commits, check = OPERATIONS[name]
    results = run_fault_script(iofault_library, tmp_path, setup=setup + f"shared['action'] = {action!r}\n",
                               action=action, observe=OBSERVE, plans=plans(commits, WRITES_PER_COMMIT.get(name, 2)))
    assert not all(r["fired"] for r in results if r["plan"].startswith("pwrite:"))  # the sweep went past the end
    assert any(r["error"] for r in results)
    for result in results:
        assert "reopen_error" not in result and result["torn"] is False, result
        if result["error"] is not None:
            assert result["fired"] and result["error"][0] == "OmbrelStoreError", result
            assert result["error"][1].startswith("store error: "), result
        else:
            assert not (result["fired"] and result["plan"].startswith("pwrite:")), result
        observed = result["observed"]
        assert observed["again"] is None, result
        for view, finished in ((observed["before"], result["error"] is None), (observed["after"], True)):
            check_whole_commits(view)
            check(view, finished)
