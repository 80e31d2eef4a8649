"""Workflows that wait as users expect: signals sent before the wait are kept, signal waits time out,
woken instances are named, instances are listed by status and type, and an instance created in a
transaction can be driven in the same transaction."""

from __future__ import annotations

import struct

import pytest

import ombrel_store
import storefile as sf
from expect import raises_exactly
from ombrel_store import _native
from serving import ServerProcess, short_directory
from test_server import remove_tree
from test_workflows import (BAD_ID, CORRUPT, INSTANCE_PREFIX, NOT_FOUND, TERMINAL, assert_stored, encode_instance,
                            instance, kinds)

Store, Error = _native.Store, _native.OmbrelStoreError
KEPT_PREFIX = b"\xffomb:wf:kept:"
WAITS = {  # a wait for signal b"go" in each form
    "wait_for_signal": lambda s, wf_id, now: s.wait_for_signal(wf_id, b"go", now),
    "wait_for_signal_until": lambda s, wf_id, now: s.wait_for_signal_until(wf_id, b"go", 1_000, now),
}


@pytest.fixture
def s(open_store):
    return open_store(durability="relaxed")


def kept_key(wf_id, name, sequence):
    return KEPT_PREFIX + wf_id + struct.pack(">I", len(name)) + name + struct.pack(">Q", sequence)


def kept_value(sent_at, payload):
    return struct.pack("<Bq", 1, sent_at) + struct.pack("<I", len(payload)) + payload


@pytest.mark.parametrize("wait", list(WAITS))
def test_a_signal_sent_before_the_wait_is_consumed_by_it_oldest_first(s, wait):
    wf_id = s.create_workflow(b"order", b"pay", b"", 0)
    assert s.signal_workflow(wf_id, b"go", b"lost", 1) is False  # the old call still drops it
    assert [s.send_workflow_signal(wf_id, b"go", p, 2 + n) for n, p in enumerate([b"first", b"second"])] == ["kept"] * 2
    assert s.send_workflow_signal(wf_id, b"other", b"x", 4) == "kept"
    assert s.scan_prefix(KEPT_PREFIX) == sorted([(kept_key(wf_id, b"go", 0), kept_value(2, b"first")),
                                                 (kept_key(wf_id, b"go", 1), kept_value(3, b"second")),
                                                 (kept_key(wf_id, b"other", 0), kept_value(4, b"x"))])
    for n, payload in enumerate([b"first", b"second"]):
        WAITS[wait](s, wf_id, 10 + n)
        got = assert_stored(s, wf_id)
        assert (got["status"], got["wait"], got["state"], got["updated_at_ms"]) == ("running", None, payload, 10 + n)
    WAITS[wait](s, wf_id, 20)  # none left: it parks
    assert s.get_workflow(wf_id)["status"] == "waiting"
    assert s.scan_prefix(KEPT_PREFIX) == [(kept_key(wf_id, b"other", 0), kept_value(4, b"x"))]
    assert kinds(s, wf_id)[1:6] == [("signal_kept", b"go")] * 2 + [("signal_kept", b"other")] + [
        ("signal_consumed", b"go")] * 2


@pytest.mark.parametrize("wait", list(WAITS))
def test_a_send_to_a_waiting_instance_is_delivered_as_signal_workflow_delivers(s, wait):
    sent, signaled = (s.create_workflow(b"t", b"a", b"", 0) for _ in range(2))
    for wf_id in (sent, signaled):
        WAITS[wait](s, wf_id, 1)
    assert s.send_workflow_signal(sent, b"go", b"p", 5) == "delivered"
    assert s.signal_workflow(signaled, b"go", b"p", 5) is True
    assert {**s.get_workflow(sent), "id": None} == {**s.get_workflow(signaled), "id": None}
    assert kinds(s, sent) == kinds(s, signaled) and s.scan_prefix(KEPT_PREFIX) == []


@pytest.mark.parametrize("finish", ["complete_workflow", "fail_workflow", "cancel_workflow"])
def test_a_send_to_a_finished_instance_is_ignored_and_keeps_nothing(s, finish):
    wf_id = s.create_workflow(b"t", b"a", b"", 0)
    getattr(s, finish)(wf_id, b"done", 1)
    before = (s.get_workflow(wf_id), s.workflow_history(wf_id))
    assert s.send_workflow_signal(wf_id, b"go", b"p", 2) == "ignored"
    assert (s.get_workflow(wf_id), s.workflow_history(wf_id)) == before and s.scan_prefix(KEPT_PREFIX) == []


@pytest.mark.parametrize("args, message", [((bytes(16), b"go"), NOT_FOUND), ((bytes(15), b"go"), BAD_ID),
                                           (("real", b""), "signal name cannot be empty")])
def test_bad_sends_raise_and_change_nothing(s, args, message):
    wf_id = s.create_workflow(b"t", b"a", b"", 0)
    target = wf_id if args[0] == "real" else args[0]
    with raises_exactly(Error, message):
        s.send_workflow_signal(target, args[1], b"p", 1)
    assert len(s.workflow_history(wf_id)) == 1 and s.scan_prefix(KEPT_PREFIX) == []


def test_a_timed_signal_wait_wakes_at_its_timeout_unless_the_signal_comes_first(s):
    late, early, answered = (s.create_workflow(b"t", b"a", b"", 0) for _ in range(3))
    for wf_id, timeout in ((late, 100), (early, 50), (answered, 50)):
        s.wait_for_signal_until(wf_id, b"go", timeout, 1)
    assert assert_stored(s, late)["wait"] == {"kind": "signal", "name": b"go", "timeout_at_ms": 100}
    assert s.signal_workflow(answered, b"go", b"answer", 10) is True
    assert s.wake_due_workflows(49) == {"scanned": 3, "resumed": 0, "woken": [], "timed_out": []}
    assert s.resume_due_workflows(60) == {"scanned": 3, "resumed": 1}
    got = assert_stored(s, early)
    assert (got["status"], got["wait"], got["updated_at_ms"]) == ("running", None, 60)
    assert kinds(s, early)[1:] == [("waiting_signal_until", struct.pack("<q", 50) + b"go"), ("timed_out", b"go")]
    assert s.get_workflow(answered)["state"] == b"answer" and s.get_workflow(late)["status"] == "waiting"


def test_wake_names_what_it_woke_in_wake_order_and_which_timed_out(s):
    ids = sorted(s.create_workflow(b"t", b"a", b"", 0) for _ in range(4))
    s.wait_until(ids[0], 5, 1)
    s.wait_for_signal_until(ids[1], b"go", 5, 1)
    s.wait_until(ids[2], 99, 1)  # not yet due
    s.wait_for_signal_until(ids[3], b"go", 5, 1)
    assert s.wake_due_workflows(10, limit=2) == {"scanned": 4, "resumed": 2, "woken": ids[:2], "timed_out": [ids[1]]}
    assert s.wake_due_workflows(10) == {"scanned": 4, "resumed": 1, "woken": [ids[3]], "timed_out": [ids[3]]}
    assert [kinds(s, i)[-1][0] for i in ids] == ["timer_fired", "timed_out", "waiting_timer", "timed_out"]


def test_listing_by_status_and_type_pages_in_id_order(s):
    made = {}
    for n in range(12):
        wf_id = s.create_workflow(b"order" if n % 2 else b"refund", b"a", b"", n)
        if n % 3 == 0:
            s.wait_for_signal(wf_id, b"go", n)
        made[wf_id] = s.get_workflow(wf_id)
    expect = sorted(made)

    def listed(**filters):
        pages, after = [], None
        while True:
            page = s.list_workflows(**filters, after_id=after, limit=5)
            pages.extend(page)
            if len(page) < 5:
                return pages
            after = page[-1]["id"]

    assert listed() == [made[i] for i in expect]
    for status in ("running", "waiting", "completed"):
        for wf_type in (None, b"order", b"nothing"):
            want = [made[i] for i in expect if made[i]["status"] == status and wf_type in (None, made[i]["workflow_type"])]
            assert listed(status=status, workflow_type=wf_type) == want
    assert s.list_workflows(limit=0) == []


@pytest.mark.parametrize("kwargs, error", [({"status": "sleeping"}, ValueError), ({"status": b"running"}, TypeError),
                                           ({"after_id": bytes(3)}, Error)])
def test_bad_listing_arguments_raise(s, kwargs, error):
    with pytest.raises(error):
        s.list_workflows(**kwargs)


def test_listing_fails_on_a_damaged_instance(store_path):
    log = sf.LogBuilder()
    log.put(1, INSTANCE_PREFIX + bytes(16), encode_instance(instance(bytes(16)))[:-1])
    log.commit(1).write(store_path)
    with Store.open(str(store_path)) as s, raises_exactly(Error, CORRUPT):
        s.list_workflows()


STAGED_PARKS = {  # staged after the creation, and what the instance then shows
    "wait_for_signal": (lambda tx, i: tx.wait_for_signal(i, b"go", 2), {"kind": "signal", "name": b"go"}),
    "wait_for_signal_until": (lambda tx, i: tx.wait_for_signal_until(i, b"go", 9, 2),
                              {"kind": "signal", "name": b"go", "timeout_at_ms": 9}),
    "wait_until": (lambda tx, i: tx.wait_until(i, 9, 2), {"kind": "timer", "resume_at_ms": 9}),
    "set_workflow_step": (lambda tx, i: tx.set_workflow_step(i, b"b", b"s", 2), None),
}


@pytest.mark.parametrize("park", list(STAGED_PARKS))
def test_an_instance_created_in_a_transaction_can_be_parked_in_it(s, park):
    stage, wait = STAGED_PARKS[park]
    wf_id = ombrel_store.new_workflow_id()
    with s.transaction() as tx:
        tx.put(b"result", b"written with it")
        assert tx.create_workflow_with_id(wf_id, b"order", b"a", b"", 1) == 1
        stage(tx, wf_id)
        assert tx.commit_with_results() == {}
    got = assert_stored(s, wf_id)
    assert (got["wait"], s.get(b"result")) == (wait, b"written with it")


def test_a_used_id_fails_the_whole_transaction(s):
    wf_id = s.create_workflow(b"t", b"a", b"", 0)
    tx = s.transaction()
    tx.put(b"k", b"v")
    tx.create_workflow_with_id(wf_id, b"t", b"a", b"", 1)
    with raises_exactly(Error, "workflow already exists"):
        tx.commit()
    assert s.get(b"k") is None and len(s.workflow_history(wf_id)) == 1
    with raises_exactly(Error, "workflow already exists"):
        s.create_workflow_with_id(wf_id, b"t", b"a", b"", 1)


def test_staged_sends_and_timed_waits_see_the_transactions_own_changes(s):
    wf_id = s.create_workflow(b"t", b"a", b"", 0)
    with s.transaction() as tx:
        tx.send_workflow_signal(wf_id, b"go", b"early", 1)
        tx.wait_for_signal_until(wf_id, b"go", 50, 2)  # consumes the signal staged before it
        tx.wait_for_signal_until(wf_id, b"go", 50, 3)
        tx.send_workflow_signal(wf_id, b"go", b"late", 4)
        assert tx.commit_with_results() == {0: {"kind": "workflow_send", "delivered": False, "kept": True},
                                            3: {"kind": "workflow_send", "delivered": True, "kept": False}}
    assert [k for k, _ in kinds(s, wf_id)] == ["created", "signal_kept", "signal_consumed", "waiting_signal_until",
                                               "signal_received"]
    assert s.get_workflow(wf_id)["state"] == b"late" and s.scan_prefix(KEPT_PREFIX) == []


@pytest.mark.parametrize("damage", [b"\x00", b"", b"\x02"])
def test_a_damaged_kept_signal_record_fails_the_wait(store_path, damage):
    wf_id = b"\x07" * 16
    good = kept_value(1, b"p")
    value = {b"\x00": good + b"\x00", b"": good[:-1], b"\x02": b"\x02" + good[1:]}[damage]
    log = sf.LogBuilder()
    log.put(1, INSTANCE_PREFIX + wf_id, encode_instance(instance(wf_id)))
    log.put(1, kept_key(wf_id, b"go", 0), value)
    log.commit(1).write(store_path)
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, CORRUPT):
            s.wait_for_signal(wf_id, b"go", 5)
        assert s.get_workflow(wf_id)["status"] == "running" and s.get(kept_key(wf_id, b"go", 0)) == value
        s.wait_for_signal(wf_id, b"other", 5)  # another name's wait does not read it


def test_purge_removes_the_signals_kept_for_a_finished_instance(s):
    wf_id = s.create_workflow(b"t", b"a", b"", 0)
    s.send_workflow_signal(wf_id, b"go", b"p", 1)
    s.complete_workflow(wf_id, b"", 2)
    assert s.purge_finished_workflows(10) == 1 and s.scan_prefix(KEPT_PREFIX) == []


def test_the_new_calls_work_through_the_server_and_read_only():
    directory = short_directory()
    try:
        with ServerProcess(directory / "s.omb") as server, ombrel_store.connect(server.socket_path) as client:
            wf_id = ombrel_store.new_workflow_id()
            tx = client.transaction()
            tx.create_workflow_with_id(wf_id, b"t", b"a", b"", 1)
            tx.send_workflow_signal(wf_id, b"go", b"p", 2)
            tx.wait_for_signal_until(wf_id, b"go", 9, 3)
            tx.commit()
            assert client.get_workflow(wf_id)["state"] == b"p"
            assert client.send_workflow_signal(wf_id, b"go", b"q", 4) == "kept"
            assert [w["id"] for w in client.list_workflows(status="running")] == [wf_id]
            with Store.open_read_only(server.store_path) as reader:
                assert reader.list_workflows() == client.list_workflows()
    finally:
        remove_tree(directory)
