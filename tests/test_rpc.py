"""RPC requests and responses: submit, list, respond, read, acknowledge, expire; damaged records."""

from __future__ import annotations

import os
import shutil
import struct
import tempfile

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Error = _native.OmbrelStoreError
REQ = b"\xffomb:rpc:req:"
RESP = b"\xffomb:rpc:resp:"
NONCE = bytes(range(16))


def request_value(tx_id, nonce, created_at_ms, deadline_ms, method, payload):
    head = struct.pack("<BQ", 1, tx_id) + nonce + struct.pack("<qB", created_at_ms, deadline_ms is not None)
    if deadline_ms is not None:
        head += struct.pack("<q", deadline_ms)
    return head + struct.pack("<I", len(method)) + method + struct.pack("<I", len(payload)) + payload


def response_value(tx_id, nonce, completed_at_ms, is_error, payload):
    return struct.pack("<BQ", 1, tx_id) + nonce + struct.pack("<qBI", completed_at_ms, is_error, len(payload)) + payload


def key(prefix, tx_id, nonce):
    return prefix + struct.pack(">Q", tx_id) + nonce


def response_dict(tx_id, nonce, payload, completed_at_ms, is_error):
    return {"request_id": (tx_id, nonce), "tx_id": tx_id, "nonce": nonce, "payload": payload,
            "completed_at_ms": completed_at_ms, "is_error": is_error}


def test_life_cycle(store):
    rid = store.submit_rpc_request(b"add", b"1+2", 100)
    tx_id, nonce = rid
    assert tx_id == 1 and len(nonce) == 16
    (pending,) = store.pending_rpc_requests_after()
    assert list(pending) == ["id", "tx_id", "nonce", "method", "payload", "created_at_ms", "deadline_ms"]
    assert pending == {"id": rid, "tx_id": 1, "nonce": nonce, "method": b"add", "payload": b"1+2",
                       "created_at_ms": 100, "deadline_ms": None}
    assert store.get(key(REQ, 1, nonce)) == request_value(1, nonce, 100, None, b"add", b"1+2")
    assert store.get_rpc_response(*rid) is None
    store.respond_rpc(tx_id, nonce, b"3", 150)
    assert store.pending_rpc_requests_after() == []
    got = store.get_rpc_response(tx_id, nonce)
    assert list(got) == list(response_dict(0, 0, 0, 0, 0)) and got == response_dict(1, nonce, b"3", 150, False)
    assert store.scan_prefix(b"\xffomb:rpc:") == [(key(RESP, 1, nonce), response_value(1, nonce, 150, 0, b"3"))]
    with raises_exactly(Error, "RPC response already exists"):
        store.respond_rpc(tx_id, nonce, b"again", 160, True)
    assert store.get_rpc_response(*rid) == got
    assert store.ack_rpc_response(*rid) is True and store.ack_rpc_response(*rid) is False
    assert store.get_rpc_response(*rid) is None
    with raises_exactly(Error, "RPC request was not found"):
        store.respond_rpc(tx_id, nonce, b"late", 170)
    rid = store.submit_rpc_request(b"m", b"", 0, deadline_ms=-(2**63))
    assert store.pending_rpc_requests_after()[0]["deadline_ms"] == -(2**63)
    store.respond_rpc(*rid, b"boom", 5, is_error=True)  # responding ignores the deadline
    assert store.get_rpc_response(*rid) == response_dict(*rid, b"boom", 5, True)


@pytest.mark.parametrize("deadlines, now_ms, limit, expired", [
    ([100], 100, 100, [0]), ([101], 100, 100, []), ([None], 2**63 - 1, 100, []),
    ([50, None, 100, 200], 150, 100, [0, 2]), ([10, 20, 30], 100, 2, [0, 1]), ([10, 20], 100, 0, []),
])
def test_expire(store, deadlines, now_ms, limit, expired):
    ids = [store.submit_rpc_request(b"m", b"%d" % i, 0, d) for i, d in enumerate(deadlines)]
    assert store.expire_rpc_requests(now_ms, limit) == len(expired)
    for i, rid in enumerate(ids):
        want = response_dict(*rid, b"deadline exceeded", now_ms, True) if i in expired else None
        assert store.get_rpc_response(*rid) == want
    assert [r["id"] for r in store.pending_rpc_requests_after()] == [r for i, r in enumerate(ids) if i not in expired]
    if expired:  # answered once: a late worker is told so
        with raises_exactly(Error, "RPC response already exists"):
            store.respond_rpc(*ids[expired[0]], b"late", now_ms)


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, [1, 2, 3]), ((1,), {}, [2, 3]), ((3,), {}, []), ((), dict(limit=0), []), ((0, 2), {}, [1, 2]),
])
def test_pending_after(store, args, kwargs, expected):
    for i in range(3):
        store.submit_rpc_request(b"m", b"", i)
    assert [r["tx_id"] for r in store.pending_rpc_requests_after(*args, **kwargs)] == expected


def test_default_limits_are_100(open_store):
    s = open_store(durability="relaxed")
    for _ in range(101):
        s.submit_rpc_request(b"m", b"", 0, 0)
    assert len(s.pending_rpc_requests_after()) == 100
    assert s.expire_rpc_requests(0) == 100 and s.expire_rpc_requests(0) == 1


NONCE_TEXT = "RPC nonce must be exactly 16 bytes"


@pytest.mark.parametrize("call, message", [
    (lambda s: s.submit_rpc_request(b"", b"p", 0), "RPC method cannot be empty"),
    (lambda s: s.respond_rpc(1, bytes(16), b"x", 0), "RPC request was not found"),
    *[(lambda s, n=n: s.respond_rpc(1, n, b"", 0), NONCE_TEXT) for n in (b"", bytes(15), bytes(17))],
    (lambda s: s.get_rpc_response(1, bytes(15)), NONCE_TEXT),
    (lambda s: s.ack_rpc_response(1, bytes(17)), NONCE_TEXT),
])
def test_refused_calls_write_nothing(store, store_path, call, message):
    store.submit_rpc_request(b"m", b"", 0)
    before = snapshot(store_path)
    with raises_exactly(Error, message):
        call(store)
    assert snapshot(store_path) == before


GOOD_REQ = request_value(5, NONCE, 1, 10, b"method", b"payload")
GOOD_RESP = response_value(5, NONCE, 1, 0, b"payload")


def patched(value: bytes, offset: int, new: bytes) -> bytes:
    return value[:offset] + new + value[offset + len(new):]


@pytest.mark.parametrize("value", [
    b"", patched(GOOD_REQ, 0, b"\x02"), patched(GOOD_REQ, 33, b"\x02"), patched(GOOD_REQ, 33, b"\x00"),
    request_value(5, NONCE, 1, None, b"", b"p"), patched(GOOD_REQ, 42, struct.pack("<I", 1000)), GOOD_REQ + b"\x00",
    GOOD_REQ[:-1], patched(GOOD_REQ, 1, struct.pack("<Q", 6)),  # stored under another request's key
], ids=["empty", "version-2", "flag-2", "flag-0-with-deadline", "empty-method", "method-past-end", "trailing",
        "payload-short", "other-tx-id"])
def test_damaged_request_refused(store_path, open_store, value):
    sf.LogBuilder().put(1, key(REQ, 5, NONCE), value).commit(1).write(store_path)
    s = open_store()
    before = snapshot(store_path)
    for call in (s.pending_rpc_requests_after, lambda: s.expire_rpc_requests(100)):
        with raises_exactly(Error, "RPC record is corrupt"):
            call()
    assert snapshot(store_path) == before


@pytest.mark.parametrize("value", [
    b"", patched(GOOD_RESP, 0, b"\x00"), patched(GOOD_RESP, 33, b"\x02"), patched(GOOD_RESP, 34, struct.pack("<I", 8)),
    GOOD_RESP + b"\x00", patched(GOOD_RESP, 9, bytes(16)),  # stored under another request's key
], ids=["empty", "version-0", "is-error-2", "payload-past-end", "trailing", "other-nonce"])
def test_damaged_response_refused(store_path, open_store, value):
    sf.LogBuilder().put(1, key(RESP, 5, NONCE), value).commit(1).write(store_path)
    s = open_store()
    with raises_exactly(Error, "RPC record is corrupt"):
        s.get_rpc_response(5, NONCE)
    assert s.ack_rpc_response(5, NONCE) is True


@pytest.mark.parametrize("after, limit, fails", [
    (None, 1, False),  # the walk ends at tx 3, before the damaged request
    (None, 2, True), (3, 1, True), (4, 1, True),  # it reaches it
    (5, 1, True), (8, 100, True),  # it starts past it, but used to decode it on the way: still refused
    (None, 0, False),
])
def test_a_damaged_request_fails_the_listings_that_would_have_read_it(store_path, open_store, after, limit, fails):
    log = sf.LogBuilder().put(1, key(REQ, 3, NONCE), request_value(3, NONCE, 0, None, b"m", b""))
    log.put(1, key(REQ, 5, NONCE), b"\x02").put(1, key(REQ, 9, NONCE), request_value(9, NONCE, 0, 1, b"m", b""))
    log.commit(1).write(store_path)
    s = open_store()
    if fails:
        with raises_exactly(Error, "RPC record is corrupt"):
            s.pending_rpc_requests_after(after, limit)
    else:
        assert [r["tx_id"] for r in s.pending_rpc_requests_after(after, limit)] == [3][:limit]
    with raises_exactly(Error, "RPC record is corrupt"):
        s.expire_rpc_requests(100, 0)  # refused before any request is looked at


# --- model: RPC expiry and the outbox against walks over the stored records --------------

EVENTS = b"\xffomb:outbox:event:"


def pending_by_walk(store):
    """[(tx_id, nonce, deadline_ms or None)] of the stored requests, in key order."""
    pending = []
    for k, value in store.scan_prefix(REQ):
        tx_id, nonce = struct.unpack(">Q", k[13:21])[0], k[21:]
        deadline = struct.unpack_from("<q", value, 34)[0] if value[33] else None
        pending.append((tx_id, nonce, deadline))
    return pending


def after_filter(ids, after, limit):
    return [i for i in ids if after is None or i[0] > after][:limit]


class RequestsAndEventsModel(RuleBasedStateMachine):
    """Requests with and without deadlines and outbox events, written alone or in transactions, answered,
    expired as the clock moves either way, acknowledged, listed and counted, across reopens."""

    def __init__(self):
        super().__init__()
        self.dir = tempfile.mkdtemp(prefix="ombrel-rpc-model-")
        self.path = os.path.join(self.dir, "model.omb")
        self.store = _native.Store.open(self.path, durability="relaxed")
        self.now = 1_000

    def teardown(self):
        self.store.close()
        shutil.rmtree(self.dir)

    deadlines = st.one_of(st.none(), st.integers(-10, 20))

    @rule(delay=deadlines)
    def submit(self, delay):
        self.store.submit_rpc_request(b"m", b"p", self.now, None if delay is None else self.now + delay)

    @rule(delays=st.lists(deadlines, max_size=3), events=st.integers(0, 2), commit=st.booleans())
    def write_in_a_transaction(self, delays, events, commit):
        tx = self.store.transaction()
        for delay in delays:
            tx.request_rpc(b"m", b"t", self.now, None if delay is None else self.now + delay)
        for _ in range(events):
            tx.emit_event(b"topic", b"e", self.now)
        tx.commit() if commit else tx.rollback()

    @rule(data=st.data())
    def respond(self, data):
        pending = pending_by_walk(self.store)
        if pending:
            tx_id, nonce, _ = data.draw(st.sampled_from(pending))
            self.store.respond_rpc(tx_id, nonce, b"r", self.now)

    @rule(limit=st.integers(0, 3), skew=st.integers(-15, 5))
    def expire(self, limit, skew):
        now = self.now + skew  # callers' clocks disagree a little
        due = [p[:2] for p in pending_by_walk(self.store) if p[2] is not None and p[2] <= now][:limit]
        assert self.store.expire_rpc_requests(now, limit) == len(due)
        for tx_id, nonce in due:
            assert self.store.get_rpc_response(tx_id, nonce) == {
                "request_id": (tx_id, nonce), "tx_id": tx_id, "nonce": nonce, "payload": b"deadline exceeded",
                "completed_at_ms": now, "is_error": True}
            assert self.store.ack_rpc_response(tx_id, nonce) is True

    @rule(after=st.one_of(st.none(), st.integers(0, 40)), limit=st.integers(0, 4))
    def list_requests(self, after, limit):
        expected = after_filter([p[:2] for p in pending_by_walk(self.store)], after, limit)
        assert [r["id"] for r in self.store.pending_rpc_requests_after(after, limit)] == expected

    @rule(events=st.integers(1, 2))
    def emit(self, events):
        for _ in range(events):
            self.store.emit_outbox_event(b"topic", b"e", self.now)

    @rule(data=st.data())
    def ack_event(self, data):
        keys = [k for k, _ in self.store.scan_prefix(EVENTS)]
        if keys:
            k = data.draw(st.sampled_from(keys))
            assert self.store.ack_outbox_event(struct.unpack(">Q", k[18:26])[0], k[26:]) is True

    @rule(after=st.one_of(st.none(), st.integers(0, 40)), limit=st.integers(0, 4))
    def list_events(self, after, limit):
        ids = [(struct.unpack(">Q", k[18:26])[0], k[26:]) for k, _ in self.store.scan_prefix(EVENTS)]
        assert [e["id"] for e in self.store.outbox_events_after(after, limit)] == after_filter(ids, after, limit)

    @rule(delta=st.integers(-10, 30))
    def tick(self, delta):
        self.now += delta

    @rule()
    def reopen(self):
        self.store.close()
        self.store = _native.Store.open(self.path, durability="relaxed")

    @invariant()
    def outbox_length_matches_the_records(self):
        assert self.store.outbox_len() == len(self.store.scan_prefix(EVENTS))


TestRequestsAndEventsModel = RequestsAndEventsModel.TestCase
TestRequestsAndEventsModel.settings = settings(max_examples=60, stateful_step_count=40, deadline=None,
                                               suppress_health_check=[HealthCheck.too_slow])
