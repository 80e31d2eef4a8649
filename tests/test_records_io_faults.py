"""Collection, object and Transaction operations under injected write and sync faults: a store error,
then the operation whole or not at all after reopening, and success on retry."""

import pytest

from faults.harness import run_fault_script, sweep
from ombrel_store import _native

STORE_ERRORS = {n for n, v in vars(_native).items() if isinstance(v, type) and issubclass(v, _native.OmbrelStoreError)}

# What must change whole, and whether index entries match records and object metadata its data.
HELPERS = r"""
import struct
def c(x):
    return struct.pack(">I", len(x)) + x
def state(store):
    records = store.scan_collection(b"c")
    entries = sorted(k for k, _ in store.scan_prefix(b"\xffomb:col:index:"))
    expected = sorted(b"\xffomb:col:index:" + c(b"c") + c(n) + c(v) + c(pk) for pk, _, idx in records for n, v in idx)
    data, meta = ({k[-32:] for k, _ in store.scan_prefix(b"\xffomb:obj:" + p)} for p in (b"data:", b"meta:"))
    return {"records": repr(records), "definition": repr(store.collection_definition(b"c")),
            "migrations": repr(store.collection_migrations(b"c")), "objects": repr(sorted(data)),
            "users": repr(store.scan_prefix(b"k")), "consistent": entries == expected and meta <= data}
"""

SETUP = HELPERS + """
store.create_collection(b"c")
store.define_index(b"c", b"u", unique=True)
store.define_index(b"c", b"m")
store.upsert_record(b"c", b"r1", b"one", indexes=[(b"u", b"a"), (b"m", b"x"), (b"m", b"y")])
store.upsert_record(b"c", b"r2", b"two", indexes=[(b"m", b"x")])
for i in range(3):
    store.put_object_with_metadata(b"orphan %d" % i, {"expires_at_unix": "1"})
store.link_object(b"ns", b"kept", store.put_object_with_metadata(b"kept", {"expires_at_unix": "1"}))
store.put(b"k-gone", b"x")
shared["before"] = state(store)
"""

ACTIONS = {
    "upsert": 'store.upsert_record(b"c", b"r1", b"new", indexes=[(b"u", b"b"), (b"m", b"y"), (b"m", b"z")])',
    "delete_record": 'store.delete_record(b"c", b"r1")',
    "migrate": 'store.migrate_collection_schema(b"c", 1, 2, codec=b"json")',
    "put_object": 'store.put_object_with_metadata(b"new content", {"a": "1", "b": "2"})',
    "gc": "store.gc_orphan_objects()",
    "purge": "store.purge_expired_objects(10, 0)",
    "transaction": """
with store.transaction() as t:
    t.put(b"k-new", b"v")
    t.upsert_record(b"c", b"r3", b"three", indexes=[(b"u", b"c"), (b"m", b"x")])
    t.delete_record(b"c", b"r2")
    t.delete(b"k-gone")
""",
}

NEVER = "pwrite:100000:EIO"  # never fires: the operation's own outcome
PLANS = [NEVER] + sweep("pwrite", "EIO", 16) + sweep("pwrite", "partial", 16) + sweep("fdatasync", "EIO", 2)


@pytest.mark.parametrize("name", ACTIONS)
def test_a_failed_write_or_sync_leaves_whole_operations(iofault_library, tmp_path, name):
    observe = HELPERS + f"""
first = state(store)
exec({ACTIONS[name]!r}, {{"store": store}})  # the retry
observed = {{"before": shared["before"], "state": first, "retried": state(store)}}
"""
    done, *faulted = run_fault_script(iofault_library, tmp_path, setup=SETUP, action=ACTIONS[name],
                                      observe=observe, plans=PLANS)
    assert done["error"] is None and not done["fired"], done
    before, after = done["observed"]["before"], done["observed"]["state"]
    assert before["consistent"] and after["consistent"] and before != after
    for result in faulted:
        assert "reopen_error" not in result and result["torn"] is False, result
        assert (result["error"] or [None])[0] in (STORE_ERRORS if result["fired"] else {None}), result
        state = result["observed"]["state"]
        assert state in ((before, after) if result["error"] else (after,)), result
        assert result["observed"]["retried"] == after, result
    assert sum(r["fired"] for r in faulted) >= 3  # at least a first write, a partial write and a sync
