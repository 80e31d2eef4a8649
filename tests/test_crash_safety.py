"""Crashes, torn files and flipped bits: every acknowledged commit survives a killed
writer, every prefix of a store file opens to exactly its complete commits, a damaged
file is refused or read as a committed prefix, never misread, and a maintenance
operation killed part-way leaves no partial copy."""

import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import storefile as sf
from faults import kills
from ombrel_store import _native

CRASH_CHILD = Path(__file__).parent / "faults" / "crash_child.py"
KILLS_PER_MODE = 8
REFUSALS = (_native.CorruptionError, _native.IoError)


def run_until_killed(path, durability, start, rng):
    """Starts a writer at transaction `start`, kills it at a random moment once it is
    committing, and returns the numbers it acknowledged."""
    child = subprocess.Popen([sys.executable, str(CRASH_CHILD), str(path), durability, str(start)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = child.stdout.readline()
    assert first, child.stderr.read()
    time.sleep(rng.uniform(0, 0.15))
    child.send_signal(signal.SIGKILL)
    rest, _ = child.communicate()
    assert child.returncode == -signal.SIGKILL
    # A number is acknowledged only once its whole line arrived.
    return [int(line) for line in (first + rest).split("\n")[:-1]]


@pytest.mark.parametrize("durability", ["strict", "data", "relaxed"])
def test_killed_writer_keeps_every_acknowledged_commit(tmp_path, durability):
    rng = random.Random(f"crash-{durability}")
    path = tmp_path / "crash.omb"
    acknowledged = []
    for kill in range(1, KILLS_PER_MODE + 1):
        acknowledged += run_until_killed(path, durability, (acknowledged[-1] + 1) if acknowledged else 0, rng)
        report = _native.Store.verify(str(path))
        # Each kill may leave the transaction it was writing without a commit
        # record, and a write killed between two pages leaves a torn record,
        # which the reopen below cuts off.
        assert report.pending_transactions <= kill
        with _native.Store.open(str(path)) as store:
            contents = dict(sf.user_items(store))
        assert not _native.Store.verify(str(path)).has_torn_tail
        pairs = {int(k[5:]) for k in contents if k.startswith(b"pair:")}
        survivors = {int(k[2:]) for k in contents if k.startswith(b"n:")}
        last = acknowledged[-1]
        # Killing a process does not drop the page cache, so even "relaxed" keeps
        # everything here; only "strict" and "data" promise it across power loss.
        assert set(acknowledged) <= pairs, f"lost acknowledged commits {set(acknowledged) - pairs}"
        assert max(pairs) <= last + 1  # at most the commit in flight when killed
        assert survivors == {m for m in pairs if m + 3 not in pairs}  # no half transaction
    assert len(acknowledged) > KILLS_PER_MODE


def write_history(path, transactions):
    """Commits `transactions` and returns (file length, user contents) after each commit."""
    boundaries = []
    with _native.Store.open(str(path)) as store:
        model = {}
        boundaries.append((os.path.getsize(path), dict(model)))
        for n in range(transactions):
            writes = [(b"k%d" % n, b"v%d" % n * (n + 1)), (b"shared", b"%d" % n), (b"k%d" % (n - 2), None)]
            with store.transaction() as tx:
                for key, value in writes:
                    tx.put(key, value) if value is not None else tx.delete(key)
            for key, value in writes:
                model[key] = value
                if value is None:
                    del model[key]
            boundaries.append((os.path.getsize(path), dict(model)))
    return boundaries


@pytest.fixture
def history(tmp_path):
    path = tmp_path / "history.omb"
    boundaries = write_history(path, 8)
    return boundaries, path.read_bytes()


def test_every_truncation_opens_to_its_complete_commits(tmp_path, history):
    boundaries, data = history
    cut = tmp_path / "cut.omb"
    offsets = range(boundaries[-3][0], len(data) + 1)  # every byte of the last two commits
    for offset in offsets:
        expected = max((b for b in boundaries if b[0] <= offset), key=lambda b: b[0])[1]
        cut.write_bytes(data[:offset])
        with _native.Store.open(str(cut), repair_torn_tail=False) as store:
            assert dict(sf.user_items(store)) == expected, offset
        with _native.Store.open(str(cut)) as store:
            assert dict(sf.user_items(store)) == expected, offset
        report = _native.Store.verify(str(cut))
        assert not report.has_torn_tail and report.file_bytes == report.valid_bytes
    assert len(offsets) > 150


def test_single_bit_flips_are_refused_or_read_as_a_committed_prefix(tmp_path, history):
    boundaries, data = history
    data = data[: boundaries[4][0]]  # four commits keep the sweep short
    prefixes = [model for _, model in boundaries[:5]]
    damaged = tmp_path / "flipped.omb"
    flips = refused = 0
    for offset in range(len(data)):
        bit = (offset * 5 + 3) % 8  # a different bit from byte to byte
        flipped = bytearray(data)
        flipped[offset] ^= 1 << bit
        damaged.write_bytes(bytes(flipped))
        flips += 1
        try:
            _native.Store.verify(str(damaged))
            with _native.Store.open(str(damaged)) as store:
                contents = dict(sf.user_items(store))
        except REFUSALS:
            refused += 1
            continue
        assert contents in prefixes, (offset, bit)
    assert flips > 500 and refused > flips // 2


@pytest.mark.parametrize("operation", kills.OPERATIONS)
def test_a_maintenance_operation_killed_at_any_write_sync_or_rename_leaves_no_partial_copy(iofault_library, tmp_path,
                                                                                           operation):
    # What each kill must leave is listed in faults/kills.py; run it as a script for the counts.
    tally = kills.sweep(iofault_library, tmp_path, operation)
    assert tally.problems == []
    assert tally.kills > 1 and tally.partial_destinations_left == 0
