"""RPC requests and responses: submit, list, respond, read, acknowledge and expire;
nonce checks and damaged records refused."""

from __future__ import annotations

import struct

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Error = _native.OmbrelStoreError
REQ = b"\xffomb:rpc:req:"
RESP = b"\xffomb:rpc:resp:"
CORRUPT = "RPC record is corrupt"
NONCE = bytes(range(16))


def request_value(tx_id, nonce, created_at_ms, deadline_ms, method, payload, *, flag=None):
    flag = (deadline_ms is not None) if flag is None else flag
    head = struct.pack("<BQ", 1, tx_id) + nonce + struct.pack("<qB", created_at_ms, flag)
    if deadline_ms is not None:
        head += struct.pack("<q", deadline_ms)
    return head + struct.pack("<I", len(method)) + method + struct.pack("<I", len(payload)) + payload


def response_value(tx_id, nonce, completed_at_ms, is_error, payload):
    return (struct.pack("<BQ", 1, tx_id) + nonce + struct.pack("<qBI", completed_at_ms, is_error, len(payload))
            + payload)


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
    assert list(got) == ["request_id", "tx_id", "nonce", "payload", "completed_at_ms", "is_error"]
    assert got == response_dict(1, nonce, b"3", 150, False)
    assert store.scan_prefix(b"\xffomb:rpc:") == [(key(RESP, 1, nonce), response_value(1, nonce, 150, 0, b"3"))]
    with raises_exactly(Error, "RPC response already exists"):
        store.respond_rpc(tx_id, nonce, b"again", 160, True)
    assert store.get_rpc_response(*rid) == got

    assert store.ack_rpc_response(*rid) is True
    assert store.ack_rpc_response(*rid) is False
    assert store.get_rpc_response(*rid) is None
    with raises_exactly(Error, "RPC request was not found"):
        store.respond_rpc(tx_id, nonce, b"late", 170)


@pytest.mark.parametrize("is_error", [True, False])
def test_respond_with_error_flag(store, is_error):
    rid = store.submit_rpc_request(b"m", b"", 0, deadline_ms=-(2**63))
    assert store.pending_rpc_requests_after()[0]["deadline_ms"] == -(2**63)
    store.respond_rpc(*rid, b"boom", 5, is_error=is_error)  # responding ignores the deadline
    assert store.get_rpc_response(*rid)["is_error"] is is_error


def test_respond_to_unknown_request_writes_nothing(store, store_path):
    store.submit_rpc_request(b"m", b"", 0)
    before = snapshot(store_path)
    with raises_exactly(Error, "RPC request was not found"):
        store.respond_rpc(1, bytes(16), b"x", 0)
    assert snapshot(store_path) == before


@pytest.mark.parametrize(
    "deadlines, now_ms, limit, expired",
    [
        ([100], 100, 100, [0]),  # deadline equal to now expires
        ([101], 100, 100, []),
        ([None], 2**63 - 1, 100, []),  # no deadline never expires
        ([50, None, 100, 200], 150, 100, [0, 2]),
        ([10, 20, 30], 100, 2, [0, 1]),
        ([10, 20], 100, 0, []),
    ],
    ids=["equal", "later", "no-deadline", "mixed", "limit-2", "limit-0"],
)
def test_expire(store, deadlines, now_ms, limit, expired):
    ids = [store.submit_rpc_request(b"m", b"%d" % i, 0, d) for i, d in enumerate(deadlines)]
    assert store.expire_rpc_requests(now_ms, limit) == len(expired)
    for i, rid in enumerate(ids):
        response = store.get_rpc_response(*rid)
        if i in expired:
            assert response == response_dict(rid[0], rid[1], b"deadline exceeded", now_ms, True)
        else:
            assert response is None
    assert [r["id"] for r in store.pending_rpc_requests_after()] == [r for i, r in enumerate(ids) if i not in expired]
    if expired:  # answered once: a late worker is told so
        with raises_exactly(Error, "RPC response already exists"):
            store.respond_rpc(*ids[expired[0]], b"late", now_ms)


def test_expire_default_limit_is_100(open_store):
    s = open_store(durability="relaxed")
    for _ in range(101):
        s.submit_rpc_request(b"m", b"", 0, 0)
    assert s.expire_rpc_requests(0) == 100 and s.expire_rpc_requests(0) == 1


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [((), {}, [1, 2, 3]), ((1,), {}, [2, 3]), ((3,), {}, []), ((), dict(limit=0), []), ((0, 2), {}, [1, 2])],
    ids=["all", "after-1", "after-last", "limit-0", "positional"],
)
def test_pending_after(store, args, kwargs, expected):
    for i in range(3):
        store.submit_rpc_request(b"m", b"", i)
    assert [r["tx_id"] for r in store.pending_rpc_requests_after(*args, **kwargs)] == expected


def test_empty_method_writes_nothing(store, store_path):
    before = snapshot(store_path)
    with raises_exactly(Error, "RPC method cannot be empty"):
        store.submit_rpc_request(b"", b"p", 0)
    assert snapshot(store_path) == before


NONCE_CALLS = {
    "respond": lambda s, n: s.respond_rpc(1, n, b"", 0),
    "get": lambda s, n: s.get_rpc_response(1, n),
    "ack": lambda s, n: s.ack_rpc_response(1, n),
}


@pytest.mark.parametrize("nonce", [b"", bytes(15), bytes(17)], ids=["0", "15", "17"])
@pytest.mark.parametrize("call", NONCE_CALLS.values(), ids=NONCE_CALLS.keys())
def test_nonce_length(store, store_path, call, nonce):
    store.submit_rpc_request(b"m", b"", 0)
    before = snapshot(store_path)
    with raises_exactly(Error, "RPC nonce must be exactly 16 bytes"):
        call(store, nonce)
    assert snapshot(store_path) == before


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda s: s.respond_rpc(1, NONCE, b"", 0, is_error=1), TypeError),
        (lambda s: s.respond_rpc(1, bytearray(NONCE), b"", 0), TypeError),
        (lambda s: s.submit_rpc_request(b"m", b"", 0, 2**63), OverflowError),
        (lambda s: s.expire_rpc_requests(0, -1), OverflowError),
        (lambda s: s.get_rpc_response(2**64, NONCE), OverflowError),
    ],
    ids=["is-error-int", "nonce-bytearray", "deadline", "limit", "tx-id"],
)
def test_bad_arguments(store, call, exc):
    with pytest.raises(exc):
        call(store)


GOOD_REQ = request_value(5, NONCE, 1, 10, b"method", b"payload")
GOOD_RESP = response_value(5, NONCE, 1, 0, b"payload")


def _with(value: bytes, offset: int, new: bytes) -> bytes:
    return value[:offset] + new + value[offset + len(new):]


BAD_REQUESTS = {
    "empty": b"",
    "version-2": _with(GOOD_REQ, 0, b"\x02"),
    "flag-2": _with(GOOD_REQ, 33, b"\x02"),
    "flag-0-with-deadline": _with(GOOD_REQ, 33, b"\x00"),
    "empty-method": request_value(5, NONCE, 1, None, b"", b"p"),
    "method-past-end": _with(GOOD_REQ, 42, struct.pack("<I", 1000)),
    "trailing-byte": GOOD_REQ + b"\x00",
    "payload-short": GOOD_REQ[:-1],
    "other-tx-id": _with(GOOD_REQ, 1, struct.pack("<Q", 6)),
}

BAD_RESPONSES = {
    "empty": b"",
    "version-0": _with(GOOD_RESP, 0, b"\x00"),
    "is-error-2": _with(GOOD_RESP, 33, b"\x02"),
    "payload-past-end": _with(GOOD_RESP, 34, struct.pack("<I", 8)),
    "trailing-byte": GOOD_RESP + b"\x00",
    "other-nonce": _with(GOOD_RESP, 9, bytes(16)),
}


@pytest.mark.parametrize("value", BAD_REQUESTS.values(), ids=BAD_REQUESTS.keys())
def test_damaged_request_refused(store_path, open_store, value):
    sf.LogBuilder().put(1, key(REQ, 5, NONCE), value).commit(1).write(store_path)
    s = open_store()
    before = snapshot(store_path)
    for call in (s.pending_rpc_requests_after, lambda: s.expire_rpc_requests(100)):
        with raises_exactly(Error, CORRUPT):
            call()
    assert snapshot(store_path) == before


@pytest.mark.parametrize("value", BAD_RESPONSES.values(), ids=BAD_RESPONSES.keys())
def test_damaged_response_refused(store_path, open_store, value):
    sf.LogBuilder().put(1, key(RESP, 5, NONCE), value).commit(1).write(store_path)
    s = open_store()
    with raises_exactly(Error, CORRUPT):
        s.get_rpc_response(5, NONCE)
    assert s.ack_rpc_response(5, NONCE) is True

