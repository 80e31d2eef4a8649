"""A Transaction spanning every domain under injected write and sync faults: after a store error and a
reopen the store shows the whole transaction or none of it, and after none of it a retry
succeeds."""

import pytest

from faults.harness import run_fault_script, sweep
from ombrel_store import _native

STORE_ERRORS = {n for n, v in vars(_native).items() if isinstance(v, type) and issubclass(v, _native.OmbrelStoreError)}

# Random ids (jobs, workflows, event nonces) differ between runs, so the state is what they carry.
HELPERS = r"""
def state(store):
    wf = bytes.fromhex(shared["workflow"])
    return {
        "users": repr(store.scan_prefix(b"k")),
        "queue": store.queue_stats(b"q")["total"],
        "stream": repr(store.read_stream(b"s")),
        "outbox": repr(sorted(e["payload"] for e in store.outbox_events_after())),
        "rpc": repr(sorted(r["payload"] for r in store.pending_rpc_requests_after())),
        "jobs": repr(sorted(j["payload"] for j in store.list_jobs())),
        "objects": repr(store.list_object_refs(b"ns")),
        "workflow": repr((store.get_workflow(wf)["current_step"], [h["sequence"] for h in store.workflow_history(wf)])),
        "children": len(store.workflow_children(wf)),
    }
"""

SETUP = HELPERS + """
shared["workflow"] = store.create_workflow(b"order", b"start", b"", 0).hex()
store.push_queue(b"q", b"old")
store.append_stream(b"s", b"old")
shared["before"] = state(store)
"""

ACTION = """
with store.transaction() as t:
    t.put(b"k-new", b"v")
    t.push_queue(b"q", b"m1")
    t.push_queue(b"q", b"m2")
    t.append_stream(b"s", b"e1")
    t.emit_event(b"topic", b"event", 1)
    t.request_rpc(b"method", b"call", 1)
    t.enqueue_job(b"handler", b"job", 1)
    t.put_linked_object(b"content", b"ns", b"name")
    wf = bytes.fromhex(shared["workflow"])
    t.set_workflow_step(wf, b"next", b"", 1)
    t.wait_for_signal(wf, b"go", 2)
    t.create_workflow(b"sub", b"start", b"", 3, wf)
"""

NEVER = "pwrite:100000:EIO"  # never fires: the operation's own outcome
PLANS = [NEVER] + sweep("pwrite", "EIO", 24) + sweep("pwrite", "partial", 24) + sweep("fdatasync", "EIO", 2)


@pytest.mark.parametrize("durability", ["data", "relaxed"])
def test_a_failed_write_or_sync_leaves_the_whole_transaction_or_none(iofault_library, tmp_path, durability):
    observe = HELPERS + f"""
first = state(store)
exec({ACTION!r}, {{"store": store, "shared": shared}})  # the retry
observed = {{"before": shared["before"], "state": first, "retried": state(store)}}
"""
    plans = PLANS if durability == "data" else [p for p in PLANS if not p.startswith("fdatasync")]
    done, *faulted = run_fault_script(iofault_library, tmp_path, setup=SETUP, action=ACTION, observe=observe,
                                      plans=plans, durability=durability)
    assert done["error"] is None and not done["fired"], done
    before, after = done["observed"]["before"], done["observed"]["state"]
    assert before != after and after["jobs"] == "[b'job']" and after["workflow"] == "(b'next', [0, 1, 2])"
    for result in faulted:
        assert "reopen_error" not in result and result["torn"] is False, result
        assert (result["error"] or [None])[0] in (STORE_ERRORS if result["fired"] else {None}), result
        state = result["observed"]["state"]
        assert state in ((before, after) if result["error"] else (after,)), result
        if state == before:  # a failed sync may still have reached the disk; then a retry adds a second copy
            assert result["observed"]["retried"] == after, result
    assert sum(r["fired"] for r in faulted) >= 3


# A worker's commit: its result, its output message and the acknowledgement of every kind of
# work it took. Either it is all there after the fault, or none of it and the same leases
# still let a retry through.
WORKER_HELPERS = r"""
def worker_state(store):
    request = (shared["request"][0], bytes.fromhex(shared["request"][1]))
    return {
        "result": repr(store.get(b"result")),
        "job": store.get_job(bytes.fromhex(shared["job"]))["state"],
        "in": store.queue_stats(b"in")["total"],
        "out": store.queue_stats(b"out")["total"],
        "group": store.consumer_group_state(b"s", b"g")["next_offset"],
        "outbox": store.outbox_len(),
        "response": repr(store.get_rpc_response(*request)),
    }
"""

WORKER_SETUP = WORKER_HELPERS + """
shared["job"] = store.submit_job(b"h", b"job", 0).hex()
store.claim_job(0, 1000)
store.push_queue(b"in", b"m")
store.claim_queue(b"in", 0, 1000)
store.append_stream(b"s", b"e")
store.consumer_group_claim(b"s", b"g", b"c", 0, 1000)
tx_id, nonce = store.emit_outbox_event(b"t", b"e", 0)
shared["event"] = [tx_id, nonce.hex()]
tx_id, nonce = store.submit_rpc_request(b"m", b"p", 0)
shared["request"] = [tx_id, nonce.hex()]
shared["before"] = worker_state(store)
"""

WORKER_ACTION = """
with store.transaction() as t:
    t.put(b"result", b"r")
    t.push_queue(b"out", b"r")
    t.heartbeat_job(bytes.fromhex(shared["job"]), 1, 5, 1000)
    t.complete_job(bytes.fromhex(shared["job"]), 1, 6)
    t.ack_queue(b"in", 1, 1)
    t.consumer_group_ack(b"s", b"g", b"c", 0, 1)
    t.ack_outbox_event(shared["event"][0], bytes.fromhex(shared["event"][1]))
    t.respond_rpc(shared["request"][0], bytes.fromhex(shared["request"][1]), b"answer", 7)
"""

WORKER_PLANS = [NEVER] + sweep("pwrite", "EIO", 16) + sweep("pwrite", "partial", 16) + sweep("fdatasync", "EIO", 2)


def test_a_failed_write_or_sync_leaves_a_workers_commit_whole_or_none(iofault_library, tmp_path):
    observe = WORKER_HELPERS + f"""
first = worker_state(store)
if first == shared["before"]:
    exec({WORKER_ACTION!r}, {{"store": store, "shared": shared}})  # the retry under the same leases
observed = {{"before": shared["before"], "state": first, "retried": worker_state(store)}}
"""
    done, *faulted = run_fault_script(iofault_library, tmp_path, setup=WORKER_SETUP, action=WORKER_ACTION,
                                      observe=observe, plans=WORKER_PLANS)
    assert done["error"] is None and not done["fired"], done
    before, after = done["observed"]["before"], done["observed"]["state"]
    assert after["job"] == "completed" and after["in"] == 0 and after["group"] == 1 and after["outbox"] == 0
    assert before["job"] == "leased" and after["result"] == "b'r'" and after["response"] != "None"
    for result in faulted:
        assert "reopen_error" not in result and result["torn"] is False, result
        assert (result["error"] or [None])[0] in (STORE_ERRORS if result["fired"] else {None}), result
        assert result["observed"]["state"] in ((before, after) if result["error"] else (after,)), result
        assert result["observed"]["retried"] == after, result
    assert sum(r["fired"] for r in faulted) >= 3
