"""Workflows: the instance state machine, signals, timers, history, children and record layouts."""

from __future__ import annotations

import struct

import pytest

import storefile as sf
from expect import raises_exactly
from ombrel_store import _native

Store, Error = _native.Store, _native.OmbrelStoreError
I64_MIN, I64_MAX, U64_MAX = -(2**63), 2**63 - 1, 2**64 - 1
INSTANCE_PREFIX, HISTORY_PREFIX = b"\xffomb:wf:instance:", b"\xffomb:wf:history:"
CORRUPT = "workflow record is corrupt or unsupported"
NOT_FOUND, TERMINAL = "workflow was not found", "workflow is already terminal"
BAD_ID = "workflow id must be exactly 16 bytes"
STATUSES = ["running", "waiting", "completed", "failed", "cancelled"]
KINDS = ["created", "step_changed", "waiting_signal", "signal_received", "waiting_timer", "timer_fired", "completed",
         "failed", "cancelled", "signal_kept", "signal_consumed", "waiting_signal_until", "timed_out"]
INSTANCE_KEYS = ["id", "workflow_type", "status", "current_step", "state", "parent_id", "wait", "created_at_ms",
                 "updated_at_ms"]

@pytest.fixture
def s(open_store):
    return open_store(durability="relaxed")


# ---- an independent model of the record layouts ----

def encode_instance(inst: dict) -> bytes:
    out = struct.pack("<B", 1) + inst["id"] + struct.pack("<Bqq", STATUSES.index(inst["status"]),
                                                          inst["created_at_ms"], inst["updated_at_ms"])
    out += b"\x00" if inst["parent_id"] is None else b"\x01" + inst["parent_id"]
    for field in (inst["workflow_type"], inst["current_step"], inst["state"]):
        out += struct.pack("<I", len(field)) + field
    wait = inst["wait"]
    if wait is None:
        return out + b"\x00"
    if wait["kind"] == "signal":
        named = struct.pack("<I", len(wait["name"])) + wait["name"]
        if "timeout_at_ms" in wait:
            return out + b"\x03" + named + struct.pack("<q", wait["timeout_at_ms"])
        return out + b"\x01" + named
    return out + b"\x02" + struct.pack("<q", wait["resume_at_ms"])


def encode_history(sequence: int, at_ms: int, kind: str, detail: bytes) -> bytes:
    return struct.pack("<BQqBI", 1, sequence, at_ms, KINDS.index(kind), len(detail)) + detail


def instance(wf_id=bytes(16), status="running", step=b"start", state=b"", parent=None, wait=None, created=0,
             updated=0, wf_type=b"order"):
    return {"id": wf_id, "workflow_type": wf_type, "status": status, "current_step": step, "state": state,
            "parent_id": parent, "wait": wait, "created_at_ms": created, "updated_at_ms": updated}


def signal_wait(name):
    return {"kind": "signal", "name": name}


def timer_wait(at):
    return {"kind": "timer", "resume_at_ms": at}


def kinds(s, wf_id):
    return [(entry["kind"], entry["detail"]) for entry in s.workflow_history(wf_id)]


def assert_stored(s, wf_id):
    """The stored record is byte for byte what the dict describes."""
    got = s.get_workflow(wf_id)
    assert s.get(INSTANCE_PREFIX + wf_id) == encode_instance(got)
    for entry in s.workflow_history(wf_id):
        key = HISTORY_PREFIX + wf_id + struct.pack(">Q", entry["sequence"])
        assert s.get(key) == encode_history(entry["sequence"], entry["at_ms"], entry["kind"], entry["detail"])
    return got


# ---- starting points of the state table ----

def make_running(s):
    return s.create_workflow(b"order", b"start", b"s0", 1)


def make_waiting_signal(s):
    wf_id = make_running(s)
    s.wait_for_signal(wf_id, b"paid", 2)
    return wf_id


def make_waiting_timer(s):
    wf_id = make_running(s)
    s.wait_until(wf_id, 500, 2)
    return wf_id


def make_terminal(status):
    def make(s):
        wf_id = make_running(s)
        {"completed": lambda: s.complete_workflow(wf_id, b"done", 2),
         "failed": lambda: s.fail_workflow(wf_id, b"oops", 2),
         "cancelled": lambda: s.cancel_workflow(wf_id, b"stop", 2)}[status]()
        assert s.get_workflow(wf_id)["status"] == status
        return wf_id
    return make


STARTS = {"running": make_running, "waiting signal": make_waiting_signal, "waiting timer": make_waiting_timer}
START_HISTORY = {"running": [("created", b"")], "waiting signal": [("created", b""), ("waiting_signal", b"paid")],
                 "waiting timer": [("created", b""), ("waiting_timer", struct.pack("<q", 500))]}
START_WAIT = {"running": None, "waiting signal": signal_wait(b"paid"), "waiting timer": timer_wait(500)}

# operation, its result, the fields after it, the history entry it adds
OPERATIONS = {
    "set step": (lambda s, i: s.set_workflow_step(i, b"ship", b"s1", 9), None,
                 {"status": "running", "current_step": b"ship", "state": b"s1", "wait": None},
                 ("step_changed", b"ship")),
    "wait for signal": (lambda s, i: s.wait_for_signal(i, b"ack", 9), None,
                        {"status": "waiting", "state": b"s0", "wait": signal_wait(b"ack")},
                        ("waiting_signal", b"ack")),
    "wait until": (lambda s, i: s.wait_until(i, -7, 9), None,
                   {"status": "waiting", "state": b"s0", "wait": timer_wait(-7)},
                   ("waiting_timer", struct.pack("<q", -7))),
    "complete": (lambda s, i: s.complete_workflow(i, b"final", 9), None,
                 {"status": "completed", "state": b"final", "wait": None}, ("completed", b"final")),
    "fail": (lambda s, i: s.fail_workflow(i, b"\x00err", 9), None,
             {"status": "failed", "state": b"\x00err", "wait": None}, ("failed", b"\x00err")),
    "cancel": (lambda s, i: s.cancel_workflow(i, b"why", 9), True,
               {"status": "cancelled", "state": b"s0", "wait": None}, ("cancelled", b"why")),
}


@pytest.mark.parametrize("parent", [None, b"\x07" * 16])
def test_created_instance_dict_record_and_history(s, parent):
    wf_id = s.create_workflow(b"order", b"start", b"", -3, parent)
    got = assert_stored(s, wf_id)
    assert len(wf_id) == 16 and list(got) == INSTANCE_KEYS
    assert got == instance(wf_id, parent=parent, created=-3, updated=-3)
    history = s.workflow_history(wf_id)
    assert history == [{"sequence": 0, "at_ms": -3, "kind": "created", "detail": b""}]
    assert list(history[0]) == ["sequence", "at_ms", "kind", "detail"]
    assert s.create_workflow(b"order", b"start", b"", -3, parent) != wf_id


@pytest.mark.parametrize("start", STARTS)
@pytest.mark.parametrize("operation", OPERATIONS)
def test_state_table(s, start, operation):
    wf_id = STARTS[start](s)
    action, result, fields, entry = OPERATIONS[operation]
    assert action(s, wf_id) == result
    got = assert_stored(s, wf_id)
    assert {k: got[k] for k in fields} == fields
    assert (got["created_at_ms"], got["updated_at_ms"], got["workflow_type"]) == (1, 9, b"order")
    assert kinds(s, wf_id) == START_HISTORY[start] + [entry]
    assert [e["sequence"] for e in s.workflow_history(wf_id)] == list(range(len(START_HISTORY[start]) + 1))
    assert [e["at_ms"] for e in s.workflow_history(wf_id)][-1] == 9


@pytest.mark.parametrize("status", ["completed", "failed", "cancelled"])
@pytest.mark.parametrize("operation", OPERATIONS)
def test_terminal_instances_refuse_changes(s, store_path, status, operation):
    wf_id = make_terminal(status)(s)
    before, history, size = s.get_workflow(wf_id), s.workflow_history(wf_id), store_path.stat().st_size
    action = OPERATIONS[operation][0]
    if operation == "cancel":
        assert action(s, wf_id) is False
    else:
        with raises_exactly(Error, TERMINAL):
            action(s, wf_id)
    assert s.signal_workflow(wf_id, b"paid", b"x", 9) is False
    assert s.get_workflow(wf_id) == before and s.workflow_history(wf_id) == history
    assert store_path.stat().st_size == size  # a refusal writes nothing, not even an empty commit


@pytest.mark.parametrize("start, name, delivered", [
    ("running", b"paid", False), ("waiting timer", b"paid", False), ("waiting signal", b"paidx", False),
    ("waiting signal", b"Paid", False), ("waiting signal", b"pai", False), ("waiting signal", b"paid", True),
])
def test_signal_is_delivered_only_to_a_waiter_for_that_name(s, store_path, start, name, delivered):
    wf_id = STARTS[start](s)
    before, size = s.get_workflow(wf_id), store_path.stat().st_size
    assert s.signal_workflow(wf_id, name, b"payload", 9) is delivered
    got = assert_stored(s, wf_id)
    if delivered:
        assert got == dict(before, status="running", state=b"payload", wait=None, updated_at_ms=9)
        assert kinds(s, wf_id)[-1] == ("signal_received", b"paid")
    else:
        assert got == before and kinds(s, wf_id) == START_HISTORY[start]
        assert store_path.stat().st_size == size


def test_signals_are_not_queued(s):
    wf_id = make_running(s)
    assert s.signal_workflow(wf_id, b"go", b"early", 2) is False
    s.wait_for_signal(wf_id, b"go", 3)
    assert s.get_workflow(wf_id)["status"] == "waiting"  # the early signal was dropped
    assert s.signal_workflow(wf_id, b"go", b"late", 4) is True
    assert s.signal_workflow(wf_id, b"go", b"again", 5) is False
    assert s.get_workflow(wf_id)["state"] == b"late"


def test_a_later_wait_replaces_the_earlier_one(s):
    wf_id = make_waiting_signal(s)
    s.wait_for_signal(wf_id, b"other", 3)
    assert s.signal_workflow(wf_id, b"paid", b"", 4) is False
    s.wait_until(wf_id, 10, 5)
    assert s.signal_workflow(wf_id, b"other", b"", 6) is False
    assert s.get_workflow(wf_id)["wait"] == timer_wait(10)


@pytest.mark.parametrize("resume_at, now, resumed", [(5, 5, 1), (5, 6, 1), (5, 4, 0), (I64_MIN, I64_MIN, 1),
                                                     (I64_MAX, I64_MAX, 1), (-10, 0, 1)])
def test_timers_resume_at_or_after_their_time(s, resume_at, now, resumed):
    wf_id = make_running(s)
    s.wait_until(wf_id, resume_at, 100)  # a time in the past is accepted as it is
    assert s.resume_due_workflows(now) == {"scanned": 1, "resumed": resumed}
    got = assert_stored(s, wf_id)
    if resumed:
        assert (got["status"], got["wait"], got["updated_at_ms"]) == ("running", None, now)
        assert kinds(s, wf_id)[-1] == ("timer_fired", b"")
        assert s.resume_due_workflows(now) == {"scanned": 1, "resumed": 0}
    else:
        assert got["wait"] == timer_wait(resume_at) and len(s.workflow_history(wf_id)) == 2


def crafted_ids(s, count):
    """`count` running instances, returned smallest id first."""
    return sorted(make_running(s) for _ in range(count))


def test_resume_with_limit_one_takes_the_smallest_due_id_and_counts_every_instance(s):
    ids = crafted_ids(s, 5)
    due = [ids[1], ids[2], ids[4]]
    for wf_id in due:
        s.wait_until(wf_id, 10, 2)
    s.wait_until(ids[3], 99, 2)  # not yet due
    s.wait_for_signal(ids[0], b"x", 2)
    assert s.resume_due_workflows(10, 1) == {"scanned": 5, "resumed": 1}
    assert [s.get_workflow(i)["status"] for i in due] == ["running", "waiting", "waiting"]
    assert s.resume_due_workflows(10, limit=0) == {"scanned": 5, "resumed": 0}
    assert [s.get_workflow(i)["status"] for i in due] == ["running", "waiting", "waiting"]
    assert s.resume_due_workflows(10) == {"scanned": 5, "resumed": 2}
    assert [s.get_workflow(i)["status"] for i in ids] == ["waiting", "running", "running", "waiting", "running"]


def test_resume_default_limit_is_one_hundred(s):
    for wf_id in crafted_ids(s, 101):
        s.wait_until(wf_id, 0, 1)
    assert s.resume_due_workflows(0) == {"scanned": 101, "resumed": 100}
    assert s.resume_due_workflows(0) == {"scanned": 101, "resumed": 1}
    assert s.resume_due_workflows(0) == {"scanned": 101, "resumed": 0}


@pytest.mark.parametrize("limit, exc", [(-1, OverflowError), (2**64, OverflowError), ("1", TypeError),
                                        (1.0, TypeError)])
def test_resume_limit_must_be_an_unsigned_integer(s, limit, exc):
    with pytest.raises(exc):
        s.resume_due_workflows(0, limit)


def test_resume_of_an_empty_store(s):
    assert s.resume_due_workflows(0, U64_MAX) == {"scanned": 0, "resumed": 0}


MISSING = {  # operation on an id with no instance: raises NOT_FOUND, or returns the value
    "set step": (lambda s, i: s.set_workflow_step(i, b"a", b"", 1), NOT_FOUND),
    "wait for signal": (lambda s, i: s.wait_for_signal(i, b"a", 1), NOT_FOUND),
    "wait until": (lambda s, i: s.wait_until(i, 5, 1), NOT_FOUND),
    "signal": (lambda s, i: s.signal_workflow(i, b"a", b"", 1), NOT_FOUND),
    "complete": (lambda s, i: s.complete_workflow(i, b"", 1), NOT_FOUND),
    "fail": (lambda s, i: s.fail_workflow(i, b"", 1), NOT_FOUND),
    "cancel": (lambda s, i: s.cancel_workflow(i, b"", 1), False),
    "get": (lambda s, i: s.get_workflow(i), None),
    "history": (lambda s, i: s.workflow_history(i), []),
    "children": (lambda s, i: s.workflow_children(i), []),
}


@pytest.mark.parametrize("operation", MISSING)
def test_missing_instance(s, store_path, operation):
    make_running(s)
    size = store_path.stat().st_size
    action, outcome = MISSING[operation]
    if outcome == NOT_FOUND:
        with raises_exactly(Error, NOT_FOUND):
            action(s, b"\x01" * 16)
    else:
        assert action(s, b"\x01" * 16) == outcome
    assert store_path.stat().st_size == size


EMPTY_INPUTS = {  # checked before any read: the id names no instance
    "create, empty type": (lambda s, i: s.create_workflow(b"", b"", b"", 1), "workflow type cannot be empty"),
    "create, empty step": (lambda s, i: s.create_workflow(b"t", b"", b"", 1), "workflow step cannot be empty"),
    "set step": (lambda s, i: s.set_workflow_step(i, b"", b"", 1), "workflow step cannot be empty"),
    "wait for signal": (lambda s, i: s.wait_for_signal(i, b"", 1), "signal name cannot be empty"),
    "signal": (lambda s, i: s.signal_workflow(i, b"", b"p", 1), "signal name cannot be empty"),
}


@pytest.mark.parametrize("operation", EMPTY_INPUTS)
def test_empty_names_are_refused_before_the_instance_is_read(s, store_path, operation):
    size = store_path.stat().st_size
    action, message = EMPTY_INPUTS[operation]
    with raises_exactly(Error, message):
        action(s, b"\x01" * 16)
    assert s.resume_due_workflows(0) == {"scanned": 0, "resumed": 0}
    assert store_path.stat().st_size == size


ID_ARGUMENTS = {
    "create parent_id": lambda s, i: s.create_workflow(b"t", b"s", b"", 1, i),
    "get": lambda s, i: s.get_workflow(i),
    "set step": lambda s, i: s.set_workflow_step(i, b"", b"", 1),
    "wait for signal": lambda s, i: s.wait_for_signal(i, b"", 1),
    "wait until": lambda s, i: s.wait_until(i, 5, 1),
    "signal": lambda s, i: s.signal_workflow(i, b"", b"", 1),
    "complete": lambda s, i: s.complete_workflow(i, b"", 1),
    "fail": lambda s, i: s.fail_workflow(i, b"", 1),
    "cancel": lambda s, i: s.cancel_workflow(i, b"", 1),
    "history": lambda s, i: s.workflow_history(i),
    "children": lambda s, i: s.workflow_children(i),
}


@pytest.mark.parametrize("length", [0, 15, 17])
@pytest.mark.parametrize("operation", ID_ARGUMENTS)
def test_ids_of_another_length(s, store_path, operation, length):
    size = store_path.stat().st_size
    with raises_exactly(Error, BAD_ID):  # before the (empty) names are looked at
        ID_ARGUMENTS[operation](s, b"\x01" * length)
    assert store_path.stat().st_size == size


@pytest.mark.parametrize("operation", ID_ARGUMENTS)
def test_ids_must_be_bytes(s, operation):
    with pytest.raises(TypeError):
        ID_ARGUMENTS[operation](s, bytearray(16))


def test_history_records_every_change_in_order(s):
    wf_id = s.create_workflow(b"order", b"a", b"", 10)
    s.wait_until(wf_id, 1 << 40, 11)
    s.wait_for_signal(wf_id, b"sig", 12)
    s.signal_workflow(wf_id, b"sig", b"pl", 13)
    s.set_workflow_step(wf_id, b"b", b"st", 14)
    s.wait_until(wf_id, 0, 15)
    s.resume_due_workflows(16)
    s.fail_workflow(wf_id, b"bad", 17)
    assert s.workflow_history(wf_id) == [
        {"sequence": n, "at_ms": 10 + n, "kind": kind, "detail": detail} for n, (kind, detail) in enumerate([
            ("created", b""), ("waiting_timer", struct.pack("<q", 1 << 40)), ("waiting_signal", b"sig"),
            ("signal_received", b"sig"), ("step_changed", b"b"), ("waiting_timer", bytes(8)), ("timer_fired", b""),
            ("failed", b"bad")])]
    got = assert_stored(s, wf_id)
    assert (got["status"], got["state"], got["current_step"], got["updated_at_ms"]) == ("failed", b"bad", b"b", 17)


def test_children_by_creation_time(s):
    parent = make_running(s)
    late = s.create_workflow(b"c", b"s", b"late", 30, parent)
    early = s.create_workflow(b"c", b"s", b"early", -5, parent)
    s.create_workflow(b"c", b"s", b"", 0, b"\x02" * 16)  # another parent
    s.create_workflow(b"c", b"s", b"", 0)  # none
    middle = s.create_workflow(b"c", b"s", b"mid", 7, parent)
    s.complete_workflow(middle, b"done", 8)
    children = s.workflow_children(parent)
    assert [c["id"] for c in children] == [early, middle, late]
    assert children[1] == s.get_workflow(middle) and list(children[0]) == INSTANCE_KEYS
    assert s.workflow_children(early) == []


# ---- removing finished instances ----

def finished_at(s, status, at, parent=None):
    wf_id = s.create_workflow(b"order", b"start", b"", 0, parent)
    {"completed": s.complete_workflow, "failed": s.fail_workflow}.get(status, s.cancel_workflow)(wf_id, b"x", at)
    return wf_id


def test_purge_removes_the_oldest_finished_instances_with_their_history_in_one_commit(s):
    late, early, middle = finished_at(s, "completed", 5), finished_at(s, "failed", 3), finished_at(s, "cancelled", 4)
    kept = [finished_at(s, "completed", 9), make_running(s), make_waiting_timer(s), make_waiting_signal(s)]
    histories = {i: [k for k, _ in s.scan_prefix(HISTORY_PREFIX + i)] for i in (early, middle)}
    last_tx = s.changes_after(None, 10**6)[-1]["tx_id"]
    assert s.purge_finished_workflows(9, 2) == 2
    (change_tx,) = {change["tx_id"] for change in s.changes_after(last_tx, 10**6)}
    deleted = [(c["kind"], c["key"]) for c in s.changes_for_transaction(change_tx)]
    assert deleted == [("delete", k) for i in (early, middle) for k in [INSTANCE_PREFIX + i, *histories[i]]]
    assert [s.get_workflow(i) for i in (early, middle)] == [None, None] and s.workflow_history(early) == []
    assert s.purge_finished_workflows(9) == 1 and s.get_workflow(late) is None
    assert s.purge_finished_workflows(9) == 0
    assert all(s.get_workflow(i) for i in kept)


def test_children_outlive_their_purged_parent(s):
    parent = finished_at(s, "completed", 1)
    child = s.create_workflow(b"c", b"s", b"", 0, parent)
    s.wait_until(child, 5, 2)
    assert s.purge_finished_workflows(2) == 1
    assert s.resume_due_workflows(5)["resumed"] == 1
    s.wait_for_signal(child, b"go", 6)
    assert s.signal_workflow(child, b"go", b"p", 7) is True
    assert [c["id"] for c in s.workflow_children(parent)] == [child]
    s.complete_workflow(child, b"done", 8)
    assert s.purge_finished_workflows(9) == 1 and s.workflow_children(parent) == []


@pytest.mark.parametrize("args, exc", [((0, -1), OverflowError), ((0, 2**64), OverflowError), ((2**63, 1), OverflowError),
                                       (("1", 1), TypeError), ((0, 1.0), TypeError), ((None,), TypeError)])
def test_purge_checks_its_arguments_before_anything(s, store_path, args, exc):
    finished_at(s, "completed", 1)
    data = store_path.read_bytes()
    with pytest.raises(exc):
        s.purge_finished_workflows(*args)
    assert store_path.read_bytes() == data
    assert s.purge_finished_workflows(2, 0) == 0 and store_path.read_bytes() == data


def test_purge_leaves_a_damaged_record_alone(store_path):
    done = instance(b"\x01" * 16, status="completed", updated=1)
    crafted(store_path, [done, (b"\x05" * 16, b"junk")], history=[(done["id"] + bytes(8), encode_history(0, 0, "created", b""))])
    with Store.open(str(store_path)) as s:
        assert s.purge_finished_workflows(2) == 1
        assert s.scan_prefix(INSTANCE_PREFIX) == [(INSTANCE_PREFIX + b"\x05" * 16, b"junk")]
        assert s.scan_prefix(HISTORY_PREFIX) == []


def test_wait_dicts(s):
    wf_id = make_waiting_signal(s)
    wait = s.get_workflow(wf_id)["wait"]
    assert list(wait) == ["kind", "name"] and wait == signal_wait(b"paid")
    s.wait_until(wf_id, 3, 4)
    wait = s.get_workflow(wf_id)["wait"]
    assert list(wait) == ["kind", "resume_at_ms"] and wait == timer_wait(3)


def test_changes_survive_reopen(open_store, store_path):
    s = open_store()
    wf_id = make_waiting_signal(s)
    s.close()
    s = open_store()
    assert s.signal_workflow(wf_id, b"paid", b"p", 5) is True
    assert kinds(s, wf_id)[-1] == ("signal_received", b"paid")


# ---- crafted store files ----

def crafted(store_path, records, history=()):
    """A store file of instances (dicts) and extra (key suffix, value) history entries."""
    log = sf.LogBuilder()
    for inst in records:
        value = inst if isinstance(inst, tuple) else (inst["id"], encode_instance(inst))
        log.put(1, INSTANCE_PREFIX + value[0], value[1])
    for suffix, value in history:
        log.put(1, HISTORY_PREFIX + suffix, value)
    return log.commit(1).write(store_path)


GOOD = encode_instance(instance(b"\x05" * 16, parent=b"\x09" * 16, wait=signal_wait(b"n")))
BAD_INSTANCES = {
    "34 bytes": GOOD[:34],
    "version 2": b"\x02" + GOOD[1:],
    "version 0": b"\x00" + GOOD[1:],
    "status 5": GOOD[:17] + b"\x05" + GOOD[18:],
    "parent flag 2": GOOD[:34] + b"\x02" + GOOD[35:],
    "parent flag 0 with parent bytes": GOOD[:34] + b"\x00" + GOOD[35:],
    "wait kind 4": encode_instance(instance(b"\x05" * 16))[:-1] + b"\x04",
    "type length past the end": GOOD[:51] + struct.pack("<I", 10_000) + GOOD[55:],
    "signal length past the end": GOOD[:-5] + struct.pack("<I", 2) + b"n",
    "timer cut short": encode_instance(instance(b"\x05" * 16, wait=timer_wait(1)))[:-1],
    "leftover byte": GOOD + b"\x00",
    "no wait byte": encode_instance(instance(b"\x05" * 16))[:-1],
    "empty": b"",
}


@pytest.mark.parametrize("value", BAD_INSTANCES.values(), ids=list(BAD_INSTANCES))
def test_corrupt_instance_is_refused(store_path, value):
    good_id, bad_id = b"\x01" * 16, b"\x05" * 16
    data = crafted(store_path, [instance(good_id, status="waiting", wait=timer_wait(0)), (bad_id, value)])
    with Store.open(str(store_path)) as s:
        for call in (lambda: s.get_workflow(bad_id), lambda: s.workflow_children(bad_id),
                     lambda: s.resume_due_workflows(0, 2), lambda: s.set_workflow_step(bad_id, b"a", b"", 1),
                     lambda: s.wait_until(bad_id, 1, 1), lambda: s.signal_workflow(bad_id, b"n", b"", 1),
                     lambda: s.cancel_workflow(bad_id, b"", 1), lambda: s.complete_workflow(bad_id, b"", 1)):
            with raises_exactly(Error, CORRUPT):
                call()
        assert s.get_workflow(good_id)["status"] == "waiting"  # the resume committed nothing before the scan failed
    assert store_path.read_bytes() == data


@pytest.mark.parametrize("key_id, value_id", [(b"\x05" * 16, b"\x06" * 16), (b"\x05" * 17, b"\x05" * 16)],
                         ids=["another id", "longer key"])
def test_record_under_a_key_that_is_not_its_own_is_refused(store_path, key_id, value_id):
    """Changing such an instance would write to the key of another one."""
    wait = timer_wait(0)
    data = crafted(store_path, [(key_id, encode_instance(instance(value_id, status="waiting", wait=wait)))])
    with Store.open(str(store_path)) as s:
        calls = [lambda: s.workflow_children(bytes(16)), lambda: s.resume_due_workflows(0)]
        if len(key_id) == 16:
            calls += [lambda: s.get_workflow(key_id), lambda: s.cancel_workflow(key_id, b"", 1),
                      lambda: s.set_workflow_step(key_id, b"a", b"", 1)]
        for call in calls:
            with raises_exactly(Error, CORRUPT):
                call()
        assert s.get_workflow(value_id) is None
    assert store_path.read_bytes() == data


def test_resume_decodes_nothing_past_its_limit(store_path):
    due = instance(b"\x01" * 16, status="waiting", wait=timer_wait(0))
    crafted(store_path, [due, (b"\x05" * 16, b"junk")])
    with Store.open(str(store_path)) as s:
        assert s.resume_due_workflows(0, 0) == {"scanned": 2, "resumed": 0}
        assert s.resume_due_workflows(0, 1) == {"scanned": 2, "resumed": 1}
        with raises_exactly(Error, CORRUPT):
            s.resume_due_workflows(0, 1)  # nothing left to collect before the damaged record


def test_crafted_instance_reads_back(store_path):
    inst = instance(b"\x05" * 16, status="waiting", step=b"\xff", state=b"\x00" * 3, parent=b"\x09" * 16,
                    wait=timer_wait(I64_MIN), created=I64_MIN, updated=I64_MAX, wf_type=b"t")
    crafted(store_path, [inst])
    with Store.open(str(store_path)) as s:
        assert s.get_workflow(inst["id"]) == inst
        assert s.workflow_children(b"\x09" * 16) == [inst]


def test_children_of_parents_with_a_common_head(store_path):
    parents = [b"\x09" * 8 + bytes([n]) * 8 for n in (1, 2)]
    children = [instance(bytes([n]) * 16, parent=parent) for n, parent in zip((3, 4), parents)]
    crafted(store_path, children)
    with Store.open(str(store_path)) as s:
        assert [s.workflow_children(parent) for parent in parents] == [[children[0]], [children[1]]]


GOOD_ENTRY = encode_history(0, 0, "created", b"")
BAD_HISTORY = {
    "21 bytes": GOOD_ENTRY[:21],
    "version 2": b"\x02" + GOOD_ENTRY[1:],
    "kind 13": encode_history(0, 0, "created", b"")[:17] + b"\x0d" + GOOD_ENTRY[18:],
    "detail past the end": struct.pack("<BQqBI", 1, 0, 0, 0, 2) + b"a",
    "leftover byte": GOOD_ENTRY + b"\x00",
}


@pytest.mark.parametrize("value", BAD_HISTORY.values(), ids=list(BAD_HISTORY))
def test_corrupt_history_entry(store_path, value):
    wf_id = b"\x05" * 16
    crafted(store_path, [], [(wf_id + bytes(8), GOOD_ENTRY), (wf_id + struct.pack(">Q", 1), value)])
    with Store.open(str(store_path)) as s, raises_exactly(Error, CORRUPT):
        s.workflow_history(wf_id)


def test_history_continues_after_the_last_stored_sequence(store_path):
    wf_id = b"\x05" * 16
    crafted(store_path, [instance(wf_id)], [(wf_id + struct.pack(">Q", 41), encode_history(41, 0, "created", b""))])
    with Store.open(str(store_path)) as s:
        s.set_workflow_step(wf_id, b"next", b"", 3)
        assert [e["sequence"] for e in s.workflow_history(wf_id)] == [41, 42]
        assert s.get(HISTORY_PREFIX + wf_id + struct.pack(">Q", 42)) == encode_history(42, 3, "step_changed", b"next")


@pytest.mark.parametrize("suffix, message", [
    (struct.pack(">Q", U64_MAX), "workflow history sequence exhausted"),
    (struct.pack(">Q", 3) + b"\x00", CORRUPT),  # the largest key under the prefix is not a history key
])
def test_history_tail_that_cannot_be_continued_changes_nothing(store_path, suffix, message):
    wf_id = b"\x05" * 16
    data = crafted(store_path, [instance(wf_id, status="waiting", wait=signal_wait(b"n"))],
                   [(wf_id + suffix, encode_history(0, 0, "created", b""))])
    with Store.open(str(store_path)) as s:
        for call in (lambda: s.set_workflow_step(wf_id, b"a", b"", 1), lambda: s.signal_workflow(wf_id, b"n", b"", 1),
                     lambda: s.cancel_workflow(wf_id, b"", 1), lambda: s.fail_workflow(wf_id, b"", 1)):
            with raises_exactly(Error, message):
                call()
        assert s.get_workflow(wf_id)["status"] == "waiting"
    assert store_path.read_bytes() == data


def test_history_is_ordered_by_stored_sequence(store_path):
    wf_id = b"\x05" * 16
    crafted(store_path, [], [(wf_id + struct.pack(">Q", 0), encode_history(7, 1, "step_changed", b"b")),
                             (wf_id + struct.pack(">Q", 1), encode_history(3, 2, "created", b""))])
    with Store.open(str(store_path)) as s:
        assert [e["sequence"] for e in s.workflow_history(wf_id)] == [3, 7]


def test_closed_store(store):
    store.close()
    with pytest.raises(_native.StoreClosedError):
        store.create_workflow(b"t", b"s", b"", 1)
