"""What must hold after a power loss, checked on every disk image of every drop
point of a recorded run (see powerloss.py), and the recorded scenarios the
tests sweep. Run as a script, it prints the sweep figures:

    PYTHONPATH=src python tests/faults/powerloss_checks.py
"""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass, field
from pathlib import Path

if __package__ in (None, ""):  # run as a script: make `faults` importable
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from ombrel_store import _native

from faults.powerloss import Recording, build_library, workspace
from faults.powerloss_child import SAME_ID, commit, contents_after, live_digest

INTERNAL_PREFIX = b"\xffomb:"
STORE = "store.omb"
HISTORY = 4  # transactions a pre-existing store holds before the recorded run
TORN_TAIL = b"OMB1\x01" + bytes(15)  # the start of a record an earlier crash cut short


@dataclass
class Sweep:
    points: int = 0  # drop points checked
    images: int = 0  # disk images checked
    problems: list = field(default_factory=list)  # "drop point N (image): what is wrong"
    lost_points: int = 0  # drop points at which some image lost acknowledged commits
    max_lost: int = 0  # the most acknowledged commits one image lost

    def summary(self, limit=8) -> str:
        shown = "\n  ".join(self.problems[:limit])
        more = f"\n  ... and {len(self.problems) - limit} more" if len(self.problems) > limit else ""
        return (f"{len(self.problems)} problems and {self.lost_points} drop points losing acknowledged commits "
                f"(at most {self.max_lost}) over {self.points} drop points:\n  {shown}{more}")


def last_acknowledged(marks, before=-1):
    """The highest acknowledged transaction number (`before` when there is none)."""
    return max((int(line.split()[1]) for line in marks if line.startswith("commit ")), default=before)


def examine_store(image, scratch: Path, name: str, acknowledged: int):
    """Opens the store `name` of `image`; returns (problem or None, acknowledged commits lost)."""
    data = image.files.get(name)
    if data is None:
        return (f"{name} is missing" if acknowledged >= 0 else None), acknowledged + 1
    path = scratch / "store.omb"
    path.write_bytes(data)
    try:
        with _native.Store.open(str(path)) as store:
            contents = {k: v for k, v in store.scan_prefix(b"") if not k.startswith(INTERNAL_PREFIX)}
    except _native.OmbrelStoreError as error:
        return f"{name} does not open: {error}", 0
    last = max((int(k[5:]) for k in contents if k.startswith(b"pair:")), default=-1)
    if contents != contents_after(last):
        return f"{name} holds no committed prefix (half a transaction, or a gap before {last})", 0
    if last > acknowledged + 1:
        return f"{name} holds transaction {last}, beyond the one in flight", 0
    return None, max(0, acknowledged - last)


def examine_threads(image, scratch: Path, acknowledged: dict[int, int], threads: int):
    """The store of a threaded run: each thread's keys form a committed prefix of its own
    transactions that reaches its last acknowledged one; (problem or None, commits lost)."""
    data = image.files.get(STORE)
    if data is None:
        lost = sum(a + 1 for a in acknowledged.values())
        return ("store.omb is missing" if lost else None), lost
    path = scratch / "store.omb"
    path.write_bytes(data)
    try:
        with _native.Store.open(str(path)) as store:
            contents = {k: v for k, v in store.scan_prefix(b"") if not k.startswith(INTERNAL_PREFIX)}
    except _native.OmbrelStoreError as error:
        return f"store.omb does not open: {error}", 0
    lost = 0
    for t in range(threads):
        prefix = b"t%d:" % t
        own = {k[len(prefix):]: v for k, v in contents.items() if k.startswith(prefix)}
        last = max((int(k[5:]) for k in own if k.startswith(b"pair:")), default=-1)
        if own != contents_after(last):
            return f"thread {t}'s keys are no committed prefix (half a transaction, or a gap before {last})", 0
        lost += max(0, acknowledged.get(t, -1) - last)
    return None, lost


def examine_copy(data: bytes, scratch: Path):
    """(digest of the live keys, store id) of a store file, or why it is no complete store."""
    path = scratch / "copy.omb"
    path.write_bytes(data)
    try:
        report = _native.Store.verify(str(path))
        if report.has_torn_tail:
            return f"torn tail after {report.valid_bytes} of {report.file_bytes} bytes"
        with _native.Store.open(str(path)) as copy:
            return live_digest(copy), data[12:28]
    except _native.OmbrelStoreError as error:
        return str(error)


def examine_copies(image, scratch: Path, marks, root: str, source: str) -> list:
    """Each destination is absent (allowed until its first copy is acknowledged),
    or a complete store equal to a copy begun since its last acknowledged one."""
    begun = {}  # destination -> [[digest, identity, acknowledged], ...] in order
    for line in marks:
        word, *rest = line.split()
        if word == "begin":
            begun.setdefault(os.path.relpath(rest[0], root), []).append([rest[1], rest[2], False])
        elif word == "done":
            begun[os.path.relpath(rest[0], root)][-1][2] = True
    problems = []
    for destination, copies in begun.items():
        acknowledged = [i for i, copy in enumerate(copies) if copy[2]]
        allowed = copies[acknowledged[-1]:] if acknowledged else copies
        data = image.files.get(destination)
        if data is None:
            if acknowledged:
                problems.append(f"{destination} is missing after its copy was acknowledged")
            continue
        found = examine_copy(data, scratch)
        if isinstance(found, str):
            problems.append(f"{destination} holds no complete store: {found}")
            continue
        source_id = image.files[source][12:28]
        if not any(found[0] == digest and (found[1] == source_id) == (identity == "same")
                   for digest, identity, _ in allowed):
            problems.append(f"{destination} holds a store whose keys or identity match no copy it may hold")
    return problems


def sweep(recording: Recording, initial_acknowledged: int, *, copies=False, points=None) -> Sweep:
    """Checks the store (and with `copies` the copies made of it) on every image of every drop point."""
    result = Sweep()
    with workspace() as scratch:
        for point in recording.drop_points(points, seed=recording.root):
            acknowledged = last_acknowledged(point.marks, initial_acknowledged)
            result.points += 1
            lost_here = 0
            for image in point.images:
                result.images += 1
                problem, lost = examine_store(image, scratch, STORE, acknowledged)
                problems = [problem] if problem else []
                if copies:
                    problems += examine_copies(image, scratch, point.marks, recording.root, STORE)
                result.problems += [f"drop point {point.index} ({image.label}): {p}" for p in problems]
                lost_here = max(lost_here, lost)
            if lost_here:
                result.lost_points += 1
                result.max_lost = max(result.max_lost, lost_here)
    return result


def store_with_history(root: Path, torn: bool = False) -> Path:
    path = root / STORE
    with _native.Store.open(str(path)) as store:
        for n in range(HISTORY):
            commit(store, n)
    if torn:
        with open(path, "ab") as f:
            f.write(TORN_TAIL)
    return path


def commit_run(library, workdir: Path, durability: str, *, fresh=False, count=24, reopen_every=8,
               points=None) -> Sweep:
    """A child commits `count` acknowledged transactions, reopening the store every
    `reopen_every`; the store is created by the child (`fresh`), or holds HISTORY
    transactions and a torn tail left by an earlier crash."""
    root = workdir / "disk"
    root.mkdir()
    first = 0 if fresh else HISTORY
    path = root / STORE if fresh else store_with_history(root, torn=True)
    recording = Recording(library, root, workdir)
    recording.run("commits", path, durability, first, count, reopen_every)
    return sweep(recording, first - 1, points=points)


def threaded_run(library, workdir: Path, durability: str, *, threads=4, count=10, points=None) -> Sweep:
    """`threads` threads of a child commit `count` acknowledged transactions each, side by side
    (their commits share syncs); every drop point must keep every acknowledged one."""
    root = workdir / "disk"
    root.mkdir()
    recording = Recording(library, root, workdir)
    recording.run("threads", root / STORE, durability, threads, count, sync_us=3000)
    result = Sweep()
    with workspace() as scratch:
        for point in recording.drop_points(points, seed=recording.root):
            acknowledged: dict[int, int] = {}
            for line in point.marks:
                if line.startswith("thread "):
                    _, t, _, n = line.split()
                    acknowledged[int(t)] = max(acknowledged.get(int(t), -1), int(n))
            result.points += 1
            lost_here = 0
            for image in point.images:
                result.images += 1
                problem, lost = examine_threads(image, scratch, acknowledged, threads)
                if problem:
                    result.problems.append(f"drop point {point.index} ({image.label}): {problem}")
                lost_here = max(lost_here, lost)
            if lost_here:
                result.lost_points += 1
                result.max_lost = max(result.max_lost, lost_here)
    return result


def killed_creator_run(library, workdir: Path, durability: str, stop_at: int, *, count=3) -> Sweep:
    """A child creating the store crashes (no power loss) before its operation
    `stop_at` + 1; a second child opens the store and commits."""
    root = workdir / "disk"
    root.mkdir()
    recording = Recording(library, root, workdir)
    recording.run("commits", root / STORE, durability, 0, 1, stop_at=stop_at)
    assert not last_acknowledged(recording.marks.read_text().splitlines()) >= 0, "stop later than creation"
    recording.run("commits", root / STORE, durability, 0, count)
    return sweep(recording, -1)


def copy_run(library, workdir: Path, operation: str, points=None) -> Sweep:
    """A child commits, copies the store with `operation` into copies/, commits,
    copies again (backup_to over its first copy, the others to a new name) and commits."""
    root = workdir / "disk"
    (root / "copies").mkdir(parents=True)
    store_with_history(root)
    recording = Recording(library, root, workdir)
    first, second = (os.path.join(recording.root, "copies", name) for name in ("first.omb", "second.omb"))
    recording.run("maintenance", operation, os.path.join(recording.root, STORE), first,
                  first if operation == "backup_to" else second, HISTORY)
    return sweep(recording, HISTORY - 1, copies=True, points=points)


def main():
    print("drop points: each with its images (synced; metadata ahead of data; written in order, torn)")
    with workspace() as top:
        library = build_library(top)
        runs = [(f"{mode}", lambda w, m=mode: commit_run(library, w, m)) for mode in ("strict", "data", "relaxed")]
        runs += [(f"{mode}, fresh store", lambda w, m=mode: commit_run(library, w, m, fresh=True))
                 for mode in ("strict", "data", "relaxed")]
        runs += [(f"data, creator crashed before op {s + 1}", lambda w, s=s: killed_creator_run(library, w, "data", s))
                 for s in (1, 2, 3)]
        runs += [(operation, lambda w, o=operation: copy_run(library, w, o)) for operation in SAME_ID]
        print(f"{'run':<36} {'points':>6} {'images':>6} {'lost at':>7} {'max lost':>8} {'problems':>8}")
        for n, (name, run) in enumerate(runs):
            workdir = top / f"run{n}"
            workdir.mkdir()
            result = run(workdir)
            print(f"{name:<36} {result.points:>6} {result.images:>6} {result.lost_points:>7} {result.max_lost:>8} "
                  f"{len(result.problems):>8}")
            if result.problems:
                print("  first: " + result.problems[0])


if __name__ == "__main__":
    main()
