"""Power loss, simulated: a child runs under the recorder (faults/powerloss.c), and
at every drop point of its run each disk image the power loss may leave (see
faults/powerloss.py) is reopened and checked: "strict" and "data" keep every
acknowledged commit, "relaxed" keeps a committed prefix, and a finished copy
of a store is whole while an unfinished one is absent or whole."""

import os

import pytest

from faults.powerloss import MARK, STOPPED, Recording, workspace
from faults.powerloss_checks import (HISTORY, STORE, commit_run, copy_run, killed_creator_run,
                                     store_with_history, sweep, threaded_run)
from faults.powerloss_child import SAME_ID


@pytest.fixture
def workdir():
    with workspace() as path:
        yield path


def assert_clean(result, *, losses_allowed=False):
    if result.problems or (result.lost_points and not losses_allowed):
        raise AssertionError(result.summary())


@pytest.mark.parametrize("durability", ["strict", "data"])
def test_synced_modes_lose_no_acknowledged_commit(powerloss_library, workdir, durability):
    # The store starts with a torn tail, so the first open's repair is swept too.
    result = commit_run(powerloss_library, workdir, durability)
    assert_clean(result)
    assert result.points > 150


@pytest.mark.parametrize("durability", ["strict", "data"])
def test_commits_that_shared_syncs_across_threads_are_all_kept(powerloss_library, workdir, durability):
    # Several threads commit side by side, so one sync covers several commits.
    result = threaded_run(powerloss_library, workdir, durability)
    assert_clean(result)


def test_relaxed_loses_a_suffix_of_commits_and_still_opens(powerloss_library, workdir):
    result = commit_run(powerloss_library, workdir, "relaxed", count=24)
    assert_clean(result, losses_allowed=True)
    # Relaxed never syncs, so the worst case loses every commit since the last
    # sync: proof that the simulation really drops what was not synced.
    assert result.max_lost == 24


@pytest.mark.parametrize("durability", ["strict", "data"])
def test_fresh_store_keeps_its_first_acknowledged_commit(powerloss_library, workdir, durability):
    result = commit_run(powerloss_library, workdir, durability, fresh=True, count=3, reopen_every=0)
    assert_clean(result)


@pytest.mark.parametrize("crashed_before", [1, 2, 3], ids=["header-unwritten", "header-unsynced", "name-unsynced"])
@pytest.mark.parametrize("durability", ["strict", "data"])
def test_store_whose_creator_crashed_keeps_the_next_writers_commits(powerloss_library, workdir, durability,
                                                                    crashed_before):
    # The creator stops after creating the file, writing the header, or syncing
    # it, but before syncing the directory; the next writer's open must make
    # the name durable before its commits are acknowledged.
    result = killed_creator_run(powerloss_library, workdir, durability, crashed_before)
    assert_clean(result)


@pytest.mark.parametrize("operation", list(SAME_ID))
def test_copies_are_absent_or_whole_after_power_loss(powerloss_library, workdir, operation):
    result = copy_run(powerloss_library, workdir, operation)
    assert_clean(result)


# ---- the harness itself ----------------------------------------------------------------


@pytest.mark.parametrize("protocol, caught", [
    ("sound", None),
    ("no directory sync", "is missing after its copy was acknowledged"),
    ("rename before sync", "holds no complete store"),
    ("in place", "holds no complete store"),
])
def test_copy_checks_catch_broken_publish_protocols(powerloss_library, workdir, protocol, caught):
    # The checks the maintenance operations face, over copies made with plain
    # file calls: the sound protocol passes, each broken one is caught.
    root = workdir / "disk"
    (root / "copies").mkdir(parents=True)
    store_with_history(root)
    recording = Recording(powerloss_library, root, workdir)
    recording.run("publish", protocol, os.path.join(recording.root, STORE),
                  os.path.join(recording.root, "copies", "copy.omb"))
    problems = sweep(recording, HISTORY - 1, copies=True).problems
    if caught is None:
        assert not problems, problems[:5]
    else:
        assert any(caught in problem for problem in problems), problems[:5]


def test_stopped_child_has_made_exactly_the_operations_before_its_drop_point(powerloss_library, workdir):
    kinds = []
    for stop_at in (None, 15):
        run_dir = workdir / str(stop_at)
        (run_dir / "disk").mkdir(parents=True)
        recording = Recording(powerloss_library, run_dir / "disk", run_dir)
        done = recording.run("commits", run_dir / "disk" / STORE, "data", 0, 3, stop_at=stop_at)
        kinds.append([kind for kind, _ in recording.records()])
        acknowledged = recording.marks.read_text().splitlines()
    assert done.returncode == STOPPED and recording.operations() == 15
    assert [k for k in kinds[1] if k != MARK] == [k for k in kinds[0] if k != MARK][:15]
    # Acknowledgements reach the marks file and the journal alike, in order.
    assert acknowledged == [f"commit {n}" for n in range(kinds[1].count(MARK))] and acknowledged
