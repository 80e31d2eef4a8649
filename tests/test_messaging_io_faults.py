"""Messaging writes failing beneath: I/O faults leave whole commits only; refusals are store errors."""

import pytest

from expect import raises_exactly
from faults.harness import run_fault_script, sweep
from ombrel_store import _native

STORE_ERRORS = {n for n, v in vars(_native).items() if isinstance(v, type) and issubclass(v, _native.OmbrelStoreError)}

# Queue counters above every id, stream counters matching entries, each RPC pending or answered.
HELPERS = r"""
import struct
def state(store):
    base = b"\xffomb:q:" + struct.pack(">I", 1) + b"q"
    counter = store.get(base + b":next")
    ids = [struct.unpack(">Q", k[-8:])[0] for k, _ in store.scan_prefix(base + b":m:")]
    queue_ok = store.queue_stats(b"q")["total"] == len(ids) and all(i < struct.unpack("<Q", counter)[0] for i in ids)
    stream_ok = [o for o, _ in store.read_stream(b"s", 0, 1000)] == list(range(store.stream_tail_offset(b"s") + 1))
    pending = {r["id"] for r in store.pending_rpc_requests_after()}
    ids = {tuple(i) for i in shared["rpc"]}
    answered = {i for i in ids if store.get_rpc_response(*i) is not None}
    rpc_ok = not (pending & answered) and pending | answered == ids
    # Change records carry transaction ids, which a failed transaction may or may not use up.
    records = [r for p in (b"\xffomb:q:", b"\xffomb:stream:", b"\xffomb:rpc:") for r in store.scan_prefix(p)]
    return {"records": repr(records), "consistent": [queue_ok, stream_ok, rpc_ok]}
"""

SETUP = HELPERS + """
for i in range(4):
    store.push_queue(b"q", b"m%d" % i)
for _ in range(3):
    claimed = store.claim_queue(b"q", 0, 10)
    if claimed["id"] != 2:
        store.dead_letter_queue(b"q", claimed["id"], 1)
store.append_stream(b"s", b"a")
shared["rpc"] = [list(store.submit_rpc_request(b"m", b"%d" % i, 0, deadline_ms=10 * i)) for i in range(3)]
shared["before"] = state(store)
"""

ACTIONS = {
    "push_queue": 'store.push_queue(b"q", b"new", priority=1)',
    "purge_dead_queue": 'store.purge_dead_queue(b"q")',
    "append_stream": 'store.append_stream(b"s", b"new")',
    "respond_rpc": 'store.respond_rpc(*shared["rpc"][1], b"answer", 5)',
    "expire_rpc_requests": "store.expire_rpc_requests(100)",  # three commits
}

NEVER = "pwrite:100000:EIO"  # never fires: the operation's own outcome
PLANS = [NEVER] + sweep("pwrite", "EIO", 16) + sweep("pwrite", "partial", 16) + sweep("fdatasync", "EIO", 3)


@pytest.mark.parametrize("name", ACTIONS)
def test_a_failed_write_or_sync_leaves_whole_commits(iofault_library, tmp_path, name):
    observe = HELPERS + f"""
first = state(store)
try:  # the retry
    exec({ACTIONS[name]!r}, {{"store": store, "shared": shared}})
    retry_error = None
except _native.OmbrelStoreError as error:
    retry_error = str(error)
observed = {{"before": shared["before"], "state": first, "retried": [state(store), retry_error]}}
"""
    done, *faulted = run_fault_script(iofault_library, tmp_path, setup=SETUP, action=ACTIONS[name],
                                      observe=observe, plans=PLANS)
    assert done["error"] is None and not done["fired"], done
    before, after = done["observed"]["before"], done["observed"]["state"]
    assert before["consistent"] == after["consistent"] == [True, True, True] and before != after
    fired = 0
    for result in faulted:
        fired += result["fired"]
        assert "reopen_error" not in result and result["torn"] is False, result
        assert (result["error"] or [None])[0] in (STORE_ERRORS if result["fired"] else {None}), result
        state, retried = result["observed"]["state"], result["observed"]["retried"]
        assert state["consistent"] == [True, True, True], result
        if state == before or name == "expire_rpc_requests":
            # Expiry commits request by request: any prefix of them may have become durable.
            assert retried == [after, None], result
        else:  # the commit became durable although its sync failed: a retry meets it
            assert state == after and retried == done["observed"]["retried"], result
    assert fired >= 3  # at least a first write, a partial write and a sync
    assert any(r["error"] and r["observed"]["state"] == before for r in faulted)


WRITES = {
    "push_queue": lambda s, rid: s.push_queue(b"q", b"p"),
    "append_stream": lambda s, rid: s.append_stream(b"s", b"p"),
    "acknowledge_topic_through": lambda s, rid: s.acknowledge_topic_through(b"s", b"sub", 0),
    "consumer_group_claim": lambda s, rid: s.consumer_group_claim(b"s", b"g", b"c", 0, 10),
    "emit_outbox_event": lambda s, rid: s.emit_outbox_event(b"t", b"p", 0),
    "respond_rpc": lambda s, rid: s.respond_rpc(*rid, b"p", 0),
}


@pytest.mark.parametrize("write", WRITES.values(), ids=WRITES.keys())
def test_a_refused_write_beneath_is_wrapped_as_a_store_error(open_store, store_path, write):
    s = open_store()
    s.append_stream(b"s", b"entry")
    rid = s.submit_rpc_request(b"m", b"", 0)
    s.close()
    limit = store_path.stat().st_size
    s = open_store(max_bytes=limit)
    with raises_exactly(_native.OmbrelStoreError, f"store error: store storage quota exceeded: maximum {limit} bytes"):
        write(s, rid)
    assert store_path.stat().st_size == limit
