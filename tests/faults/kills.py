"""Maintenance operations killed part-way: the copies and the record-by-record operations.

Each operation runs in a process forked by kill_child.py, which has the fault injector preloaded,
once per kill point: killed before its first, second, ... write, sync, rename or unlink in the case directory
("any:N:kill"), until a run completes. A few seeded kill points are repeated with the write half
done ("any:N:tear"). After every run:
- the source verifies, opens and holds every acknowledged commit;
- a destination is absent or complete (byte copies equal their source, rewrites hold exactly its
  live pairs), and an older backup is intact or replaced by a complete one;
- nothing else is left in the directory but the operation's own temporary siblings;
- a rerun succeeds (the copies to the same destination, unless a complete one is already there),
  and a rerun of a record-by-record operation ends in the state an uninterrupted run reaches.

The counts per operation: PYTHONPATH=src python tests/faults/kills.py
"""

from __future__ import annotations

import json
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

if not __package__:  # run as a script
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from faults.harness import build_iofault, preload_env  # noqa: E402
from faults.kill_child import ACKED  # noqa: E402
from ombrel_store import _native  # noqa: E402

Store = _native.Store
KILL_CHILD = Path(__file__).parent / "kill_child.py"
NOW = 10_000_000
TEARS = 3  # seeded kill points repeated as torn writes, per operation
MOST_CALLS = 400  # a run still killed after this many calls never finishes

# Copies: the label of the temporary sibling each builds its destination under.
COPIES = {"backup_to": "backup", "checkpoint_to": "checkpoint", "restore_copy": "restore",
          "compact_copy_to": "compact", "snapshot_to": "snapshot", "compact_generation_to": "generation"}
BYTE_COPIES = ("backup_to", "checkpoint_to", "restore_copy")


def fill_copies(store):
    for i in range(6):
        store.put(b"key:%d" % i, b"value %d " % i * 8)
    store.put(b"key:0", b"overwritten")
    store.delete(b"key:1")


def fill_schedules(store):
    for i in range(3):
        store.create_schedule(b"h", b"interval %d" % i, NOW - 500 * (i + 1), mode="interval", every_ms=1000)
    store.create_schedule(b"h", b"once", NOW - 10)


def fill_cron(store):
    # One due minute each, so that a rerun, a tick of its own, has nothing more to catch up.
    for i in range(3):
        store.create_cron_schedule("* * * * *", b"h", b"cron %d" % i, NOW - 50_000)


def fill_leases(store):
    for i in range(3):
        store.submit_job(b"h", b"job %d" % i, NOW - 10_000)
        store.claim_job(NOW - 10_000, 1000)


def fill_workflows(store):
    for i in range(3):
        workflow = store.create_workflow(b"type", b"start", b"state %d" % i, NOW - 10_000)
        store.wait_until(workflow, NOW - 100 * i, NOW - 10_000)


def fill_requests(store):
    for i in range(3):
        store.submit_rpc_request(b"m", b"request %d" % i, NOW - 10_000, deadline_ms=NOW - 100 * (i + 1))


def jobs_view(store):
    # Job ids are random: jobs are compared by everything else, their history included.
    return sorted(repr(({k: v for k, v in job.items() if k != "id"}, store.job_history(job["id"])))
                  for job in store.list_jobs())


# Record-by-record operations: (filling, arguments, what an uninterrupted run must be compared by).
RECORD_OPERATIONS = {
    "tick_schedules": (fill_schedules, [NOW, 10], lambda s: (jobs_view(s), s.scan_prefix(b"\xffomb:schedule:"))),
    "tick_cron_schedules": (fill_cron, [NOW, 10], lambda s: (jobs_view(s), s.list_cron_schedules())),
    "release_expired_jobs": (fill_leases, [NOW], jobs_view),
    "resume_due_workflows": (fill_workflows, [NOW, 10], lambda s: s.scan_prefix(b"\xffomb:wf:")),
    "expire_rpc_requests": (fill_requests, [NOW, 10], lambda s: s.scan_prefix(b"\xffomb:rpc:")),
}
OPERATIONS = list(COPIES) + list(RECORD_OPERATIONS)


@dataclass
class Tally:
    kills: int = 0
    tears: int = 0
    complete_destinations_left: int = 0
    old_backups_kept: int = 0
    partial_destinations_left: int = 0
    temporaries_left: int = 0
    problems: list = field(default_factory=list)


def user_pairs(store):
    return [(k, v) for k, v in store.scan_prefix(b"") if not k.startswith(b"\xffomb:")]


def run_operation(operation, source, arguments):
    """The operation as the child runs it, without the acknowledged write."""
    if operation == "restore_copy":
        return Store.restore_copy(str(source), *arguments)
    with Store.open(str(source)) as store:
        return getattr(store, operation)(*arguments)


class Sweep:
    def __init__(self, library, workdir, operation):
        self.library, self.workdir, self.operation = library, Path(workdir), operation
        self.tally = Tally()
        self.template = self.workdir / "template.omb"
        fill = fill_copies if operation in COPIES else RECORD_OPERATIONS[operation][0]
        with Store.open(str(self.template)) as store:
            fill(store)
            self.template_users = user_pairs(store)
        self.old_backup = self.template.read_bytes()  # a good backup of an earlier state
        self.expected = None
        if operation in RECORD_OPERATIONS:
            reference = self.workdir / "reference.omb"
            shutil.copyfile(self.template, reference)
            with Store.open(str(reference)) as store:
                store.put(*ACKED)
                getattr(store, operation)(*RECORD_OPERATIONS[operation][1])
                self.expected = RECORD_OPERATIONS[operation][2](store)
        leftover = COPIES.get(operation, "none")
        self.temporary = re.compile(r"\.destination\.omb\.%s-[0-9a-f]{16}\.tmp" % leftover)

    def run(self):
        with subprocess.Popen([sys.executable, str(KILL_CHILD)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True, env=preload_env(self.library)) as self.server:
            calls = 0
            for n in range(1, MOST_CALLS + 1):
                if self.case(f"any:{n}:kill") == "done":
                    break
                calls = n
            else:
                self.tally.problems.append(f"still killed after {MOST_CALLS} calls")
            for n in random.Random(self.operation).sample(range(1, calls + 1), min(TEARS, calls)):
                self.case(f"any:{n}:tear")
            self.server.stdin.close()
        return self.tally

    def case(self, plan):
        case = self.workdir / plan.replace(":", "-")
        case.mkdir()
        source, destination = case / "source.omb", case / "destination.omb"
        shutil.copyfile(self.template, source)
        if self.operation == "backup_to":
            destination.write_bytes(self.old_backup)
        arguments = [str(destination)] if self.operation in COPIES else RECORD_OPERATIONS[self.operation][1]
        env = {"OMBREL_FAULT": plan, "OMBREL_FAULT_ARM": plan, "OMBREL_FAULT_MATCH": str(case)}
        request = {"operation": self.operation, "source": str(source), "arguments": arguments, "env": env}
        self.server.stdin.write(json.dumps(request) + "\n")
        self.server.stdin.flush()
        child = json.loads(self.server.stdout.readline())
        lines = child["lines"]
        outcome = "done" if "done" in lines else "killed"
        if outcome == "killed" and child["returncode"] != -signal.SIGKILL:
            self.problem(plan, f"the operation ended with {child['returncode']}: {lines}")
        elif outcome == "killed":
            self.tally.tears += plan.endswith("tear")
            self.tally.kills += plan.endswith("kill")
        try:
            self.check(plan, case, source, destination, "acked" in lines, outcome)
        except _native.OmbrelStoreError as error:
            self.problem(plan, f"{type(error).__name__}: {error}")
        shutil.rmtree(case)
        return outcome

    def problem(self, plan, text):
        self.tally.problems.append(f"{self.operation} {plan}: {text}")

    def check(self, plan, case, source, destination, acked, outcome):
        Store.verify(str(source))
        with Store.open(str(source)) as store:  # cuts a torn acknowledged write, which no copy saw
            users = user_pairs(store)
            live, store_id = store.scan_prefix(b""), store.health_report()["store_id"]
        source_bytes = source.read_bytes()
        if acked and ACKED not in users:
            self.problem(plan, "the acknowledged commit is lost")
        if not set(self.template_users) <= set(users):
            self.problem(plan, "the source lost commits made before the operation")
        if self.operation in RECORD_OPERATIONS:
            with Store.open(str(source)) as store:
                getattr(store, self.operation)(*RECORD_OPERATIONS[self.operation][1])
                if RECORD_OPERATIONS[self.operation][2](store) != self.expected:
                    self.problem(plan, "a rerun does not reach the state of an uninterrupted run")
            return

        def complete():
            if self.operation in BYTE_COPIES:
                return destination.read_bytes() == source_bytes
            report = Store.verify(str(destination))
            with Store.open(str(destination)) as copy:
                same = copy.scan_prefix(b"") == live
            return (same and not report.has_torn_tail and report.pending_transactions == 0
                    and (self.operation != "compact_generation_to" or report.store_id == store_id))

        present = destination.exists()
        if present and self.operation == "backup_to" and destination.read_bytes() == self.old_backup:
            self.tally.old_backups_kept += 1
        elif present:
            try:
                whole = complete()
            except _native.OmbrelStoreError:
                whole = False
            if not whole:
                self.tally.partial_destinations_left += 1
                self.problem(plan, "a partial destination was left")
                destination.unlink()
                present = False
            elif outcome == "killed":
                self.tally.complete_destinations_left += 1
        elif outcome == "done":
            self.problem(plan, "the completed operation left no destination")
        for name in sorted(p.name for p in case.iterdir()):
            if name in ("source.omb", "destination.omb"):
                continue
            self.tally.temporaries_left += 1
            if not self.temporary.fullmatch(name):
                self.problem(plan, f"left {name}")

        if present and self.operation != "backup_to":
            try:
                run_operation(self.operation, source, [str(destination)])
                self.problem(plan, "a rerun replaced a complete destination")
            except _native.OmbrelStoreError:
                pass
            return
        try:
            run_operation(self.operation, source, [str(destination)])
        except _native.OmbrelStoreError as error:
            self.problem(plan, f"the rerun failed: {error}")
            return
        if not complete():
            self.problem(plan, "the rerun left an incomplete destination")


def sweep(library, workdir, operation):
    """Kills `operation` at each of its calls and at a few torn writes; returns the Tally."""
    return Sweep(library, workdir, operation).run()


def main():
    with tempfile.TemporaryDirectory() as directory:
        library = build_iofault(Path(directory))
        print(f"{'operation':24} {'kills':>5} {'tears':>5} {'complete':>8} {'old kept':>8} {'partial':>7} "
              f"{'tmp left':>8}")
        failed = False
        for operation in OPERATIONS:
            workdir = Path(directory) / operation
            workdir.mkdir()
            t = sweep(library, workdir, operation)
            print(f"{operation:24} {t.kills:5} {t.tears:5} {t.complete_destinations_left:8} {t.old_backups_kept:8} "
                  f"{t.partial_destinations_left:7} {t.temporaries_left:8}")
            for problem in t.problems:
                print("   ", problem)
            failed = failed or bool(t.problems)
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
