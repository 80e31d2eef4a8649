"""Durable jobs: state machine, claims, back-off, idempotency, lease fencing, history and record layouts."""

from __future__ import annotations

import struct

import pytest

import storefile as sf
from expect import raises_exactly
from ombrel_store import _native

Store, Error = _native.Store, _native.OmbrelStoreError
I64_MIN, I64_MAX, U64_MAX = -(2**63), 2**63 - 1, 2**64 - 1
JOB_PREFIX, HISTORY_PREFIX = b"\xffomb:job:data:", b"\xffomb:job:history:"
CORRUPT, OVERFLOW = "job record is corrupt or unsupported", "time value overflowed"
STATES = ["ready", "leased", "completed", "dead", "cancelled"]
KINDS = ["submitted", "claimed", "completed", "retry_scheduled", "dead", "cancelled"]

@pytest.fixture
def s(open_store):
    return open_store(durability="relaxed")


def encode_job(job: dict) -> bytes:
    deadline = I64_MIN if job["deadline_ms"] is None else job["deadline_ms"]
    out = struct.pack("<BB", 1, STATES.index(job["state"])) + job["id"]
    out += struct.pack("<qqiIIQqI", job["available_at_ms"], deadline, job["priority"], job["attempts"],
                       job["max_attempts"], job["retry_backoff_ms"], job["lease_until_ms"], job["lease_generation"])
    for field in (job["handler"], job["payload"]):
        out += struct.pack("<I", len(field)) + field
    key = job["idempotency_key"]
    return out + (b"\x00" if key is None else b"\x01" + struct.pack("<I", len(key)) + key)


def encode_history(seq: int, at_ms: int, kind: str, detail: bytes) -> bytes:
    return struct.pack("<BQqBI", 1, seq, at_ms, KINDS.index(kind), len(detail)) + detail


def history(store, job_id):
    return [(kind, detail) for _, _, kind, detail in store.job_history(job_id)]


def job(s, lease=None, now=0, **spec):
    """Submits a job at `now` and, given a lease duration, claims it then: (id, generation)."""
    job_id = s.submit_job(b"h", b"p", now, **spec)
    if lease is None:
        return job_id, 0
    claimed = s.claim_job(now, lease)
    assert claimed["id"] == job_id
    return job_id, claimed["lease_generation"]


def in_state(s, state, **spec):
    job_id, gen = job(s, None if state == "ready" else 100, max_attempts=1, **spec)
    {"completed": lambda: s.complete_job(job_id, gen, 5), "dead": lambda: s.fail_job(job_id, gen, 1, b"x"),
     "cancelled": lambda: s.cancel_job(job_id, 5)}.get(state, lambda: None)()
    assert s.get_job(job_id)["state"] == state
    return job_id, gen


DEFAULTS = {"available_at_ms": 0, "deadline_ms": None, "priority": 0, "max_attempts": 3, "retry_backoff_ms": 1000,
            "idempotency_key": None}
EXTREMES = {"available_at_ms": -5, "deadline_ms": 900, "priority": -(2**31), "max_attempts": 2**32 - 1,
            "retry_backoff_ms": U64_MAX, "idempotency_key": b"k"}


@pytest.mark.parametrize("kwargs, shown", [({}, DEFAULTS), ({"deadline_ms": I64_MIN}, DEFAULTS), (EXTREMES, EXTREMES)])
def test_submitted_job_dict_record_and_history(s, kwargs, shown):
    job_id = s.submit_job(b"mail", b"\x00body", 7, **kwargs)
    got = s.get_job(job_id)
    assert list(got) == ["id", "state", "handler", "payload", "available_at_ms", "deadline_ms", "priority", "attempts",
                         "max_attempts", "retry_backoff_ms", "lease_until_ms", "lease_generation", "idempotency_key"]
    assert got == dict(shown, id=job_id, state="ready", handler=b"mail", payload=b"\x00body", attempts=0,
                       lease_until_ms=0, lease_generation=0)
    assert len(job_id) == 16 and s.get(JOB_PREFIX + job_id) == encode_job(got)
    assert s.scan_prefix(HISTORY_PREFIX) == [(HISTORY_PREFIX + job_id + bytes(8),
                                              encode_history(0, 7, "submitted", b""))]
    assert s.job_history(job_id) == [(0, 7, "submitted", b"")]
    assert list(s.job_stats()) == ["total"] + STATES


SUB, CL = ("submitted", b""), ("claimed", b"")
FAIL = lambda s, i, g: s.fail_job(i, g, 5, b"boom")  # noqa: E731
EXPIRE = lambda s, i, g: (s.release_expired_jobs(9), s.release_expired_jobs(10))  # noqa: E731
CANCEL = lambda s, i, g: s.cancel_job(i, 5)  # noqa: E731
NOTHING = lambda s, i, g: None  # noqa: E731
TRANSITIONS = {  # lease (None: not claimed), spec, action, its result, job fields after, history
    "submit": (None, {}, NOTHING, None, {"state": "ready"}, [SUB]),
    "claim": (100, {}, NOTHING, None,
              {"state": "leased", "attempts": 1, "lease_generation": 1, "lease_until_ms": 100}, [SUB, CL]),
    "claim ended lease": (0, {}, lambda s, i, g: s.claim_job(1, 100)["id"] == i, True,
                          {"state": "leased", "attempts": 2, "lease_generation": 2, "lease_until_ms": 101},
                          [SUB, CL, CL]),
    "claim above limit": (0, {"max_attempts": 1}, lambda s, i, g: s.claim_job(1, 100), None,
                          {"state": "dead", "attempts": 2}, [SUB, CL, ("dead", b"max attempts exceeded")]),
    "claim past deadline": (None, {"deadline_ms": 10}, lambda s, i, g: s.claim_job(10, 100), None, {"state": "dead"},
                            [SUB, ("dead", b"deadline exceeded")]),
    "heartbeat, lease ended": (10, {}, lambda s, i, g: s.heartbeat_job(i, g, 50, 1000), True,
                  {"state": "leased", "lease_until_ms": 1050}, [SUB, CL]),
    "complete, lease ended": (0, {}, lambda s, i, g: s.complete_job(i, g, 5), None, {"state": "completed"},
                 [SUB, CL, ("completed", b"")]),
    "fail, attempts left": (100, {}, FAIL, "ready", {"state": "ready"}, [SUB, CL, ("retry_scheduled", b"boom")]),
    "fail, last attempt": (100, {"max_attempts": 1}, FAIL, "dead", {"state": "dead"}, [SUB, CL, ("dead", b"boom")]),
    "release": (100, {}, lambda s, i, g: s.release_job(i, g, 42), True,
                {"state": "ready", "available_at_ms": 42, "attempts": 1}, [SUB, CL, ("retry_scheduled", b"released")]),
    "lease expired": (10, {"max_attempts": 2}, EXPIRE, (0, 1), {"state": "ready", "available_at_ms": 10},
                      [SUB, CL, ("retry_scheduled", b"lease expired")]),
    "lease expired, last attempt": (10, {"max_attempts": 1}, EXPIRE, (0, 1), {"state": "dead"},
                                    [SUB, CL, ("dead", b"lease expired: max attempts exhausted")]),
    "manual retry": (100, {"max_attempts": 1},
                     lambda s, i, g: (s.fail_job(i, g, 1, b"x"), s.retry_job(i, 77) == s.get_job(i)),
                     ("dead", True), {"state": "ready", "available_at_ms": 77, "attempts": 0, "lease_generation": 0},
                     [SUB, CL, ("dead", b"x"), ("retry_scheduled", b"manual retry")]),
    "cancel ready": (None, {}, CANCEL, True, {"state": "cancelled"}, [SUB, ("cancelled", b"")]),
    "cancel leased": (100, {}, CANCEL, True, {"state": "cancelled"}, [SUB, CL, ("cancelled", b"")]),
}


@pytest.mark.parametrize("lease, spec, action, result, fields, entries", TRANSITIONS.values(), ids=list(TRANSITIONS))
def test_transition(s, lease, spec, action, result, fields, entries):
    job_id, gen = job(s, lease, **spec)
    assert action(s, job_id, gen) == result
    got = s.get_job(job_id)
    assert {k: got[k] for k in fields} == fields and history(s, job_id) == entries
    assert [entry[0] for entry in s.job_history(job_id)] == list(range(len(entries)))
    assert got["lease_until_ms"] == 0 or got["state"] == "leased"
    assert s.get(JOB_PREFIX + job_id) == encode_job(got)


@pytest.mark.parametrize("state", STATES)
def test_operations_that_refuse_a_state_change_nothing(s, state):
    job_id, gen = in_state(s, state)
    before, entries = s.get_job(job_id), s.job_history(job_id)
    if state != "dead":
        assert s.retry_job(job_id, 9) is None
    if state not in ("ready", "leased"):
        assert s.cancel_job(job_id, 9) is False
    if state != "leased":  # a cancelled job's former holder included
        assert s.heartbeat_job(job_id, gen, 9, 10) is False and s.release_job(job_id, gen, 9) is False
        for report in (lambda: s.complete_job(job_id, gen, 9), lambda: s.fail_job(job_id, gen, 9, b"")):
            with raises_exactly(Error, "job is not currently leased"):
                report()
    assert s.get_job(job_id) == before and s.job_history(job_id) == entries


NOT_FOUND = "job was not found"
BY_ID = {
    "get": (lambda s, i: s.get_job(i), None), "history": (lambda s, i: s.job_history(i), []),
    "retry": (lambda s, i: s.retry_job(i, 0), None), "cancel": (lambda s, i: s.cancel_job(i, 0), False),
    "heartbeat": (lambda s, i: s.heartbeat_job(i, 1, 0, 1), False),
    "release": (lambda s, i: s.release_job(i, 1, 0), False),
    "complete": (lambda s, i: s.complete_job(i, 1, 0), NOT_FOUND),
    "fail": (lambda s, i: s.fail_job(i, 1, 0, b""), NOT_FOUND),
}


@pytest.mark.parametrize("call, unknown", BY_ID.values(), ids=list(BY_ID))
def test_unknown_and_malformed_ids(store, call, unknown):
    if unknown == NOT_FOUND:
        with raises_exactly(Error, NOT_FOUND):
            call(store, bytes(16))
    else:
        result = call(store, bytes(16))
        assert result == unknown and type(result) is type(unknown)
    assert store.scan_prefix(b"\xffomb:") == []
    store.close()  # the length is checked before the store is touched
    for length in (0, 15, 17):
        with raises_exactly(Error, "job id must be exactly 16 bytes"):
            call(store, bytes(length))


@pytest.mark.parametrize("handler, max_attempts, message", [
    (b"", 3, "job handler cannot be empty"), (b"h", 0, "max attempts must be at least one"),
    (b"", 0, "job handler cannot be empty"),
])
def test_submit_refuses_a_bad_template(s, handler, max_attempts, message):
    with raises_exactly(Error, message):
        s.submit_job(handler, b"p", 0, max_attempts=max_attempts)
    assert s.scan_prefix(b"\xffomb:") == []


@pytest.mark.parametrize("state", STATES)
def test_idempotency_key_holds_while_the_job_is_active(s, store_path, state):
    first, _ = in_state(s, state, idempotency_key=b"key")
    size = store_path.stat().st_size
    again = s.submit_job(b"other", b"q", 5, idempotency_key=b"key")
    if state in ("ready", "leased"):  # the first id, and nothing written
        assert again == first and store_path.stat().st_size == size and s.job_stats()["total"] == 1
    else:  # a finished job frees its key
        assert again != first and s.submit_job(b"h", b"p", 3, idempotency_key=b"key") == again
        assert s.job_stats()["total"] == 2


def test_different_keys_and_no_key_make_new_jobs(s):
    assert len({s.submit_job(b"h", b"p", 0, idempotency_key=k) for k in [None, None, b"", b"\x00", b""]}) == 4


def test_claim_order_priority_then_availability_then_id(s):
    low = s.submit_job(b"h", b"p", 0, priority=1, available_at_ms=0)
    late = s.submit_job(b"h", b"p", 0, priority=5, available_at_ms=20)
    early = s.submit_job(b"h", b"p", 0, priority=5, available_at_ms=10)
    twins = sorted([s.submit_job(b"h", b"p", 0, priority=0) for _ in range(3)])
    s.submit_job(b"h", b"p", 0, priority=99, available_at_ms=101)  # not yet available
    assert [s.claim_job(100, 1000)["id"] for _ in range(6)] == [early, late, low] + twins
    assert s.claim_job(100, 1000) is None


@pytest.mark.parametrize("handlers, claimed_handler", [
    (None, b"a"), ([], b"a"), ([b"b"], b"b"), ((b"zz", b"b"), b"b"), ([b"c"], None),
])
def test_claim_handler_filter(s, handlers, claimed_handler):
    s.submit_job(b"a", b"p", 0, priority=1)
    s.submit_job(b"b", b"p", 0)
    got = s.claim_job(0, 10) if handlers is None else s.claim_job(0, 10, handlers=handlers)
    assert (got and got["handler"]) == claimed_handler


@pytest.mark.parametrize("handlers", ["a", b"a", [b"a", "b"], 5])
def test_claim_refuses_handlers_that_are_not_a_sequence_of_bytes(s, handlers):
    s.submit_job(b"a", b"p", 0)
    with pytest.raises(TypeError):
        s.claim_job(0, 10, handlers=handlers)
    assert s.job_stats()["ready"] == 1


@pytest.mark.parametrize("available, lease, after", [(0, None, "dead"), (1000, None, "dead"), (0, 10, "dead"),
                                                     (0, 100, "leased")], ids=["ready", "later", "ended", "running"])
def test_claims_kill_overdue_jobs_unless_filtered_out_or_running(s, available, lease, after):
    job_id, _ = job(s, lease, deadline_ms=50, available_at_ms=available)
    fresh, before = s.submit_job(b"h", b"p", 0, priority=-1), s.get_job(job_id)
    assert s.claim_job(50, 10, handlers=[b"other"]) is None and s.get_job(job_id) == before
    assert s.claim_job(50, 10)["id"] == fresh and s.get_job(job_id)["state"] == after
    assert after == "leased" or history(s, job_id)[-1] == ("dead", b"deadline exceeded")


def test_exhausted_best_candidate_ends_the_claim(s):
    first, _ = job(s, 0, priority=9, max_attempts=1)  # a zero lease has already ended
    other = s.submit_job(b"h", b"p", 0)
    assert s.claim_job(1, 10) is None
    assert (s.get_job(first)["state"], s.get_job(first)["attempts"], s.get_job(other)["state"]) == ("dead", 2, "ready")
    assert s.claim_job(1, 10)["id"] == other


def test_zero_lease_can_be_taken_over_at_once_and_fences_the_old_holder(s):
    job_id, old = job(s, 0)
    new = s.claim_job(0, 100)["lease_generation"]
    assert (old, new) == (1, 2)
    assert s.heartbeat_job(job_id, old, 1, 100) is False and s.release_job(job_id, old, 1) is False
    for report in (lambda: s.complete_job(job_id, old, 1), lambda: s.fail_job(job_id, old, 1, b"")):
        with raises_exactly(Error, "job lease generation mismatch: expected 2, provided 1"):
            report()
    assert s.get_job(job_id)["lease_until_ms"] == 100 and history(s, job_id) == [SUB, CL, CL]
    assert s.heartbeat_job(job_id, new, 1, 500) is True


@pytest.mark.parametrize("now, lease", [(0, 2**63), (0, U64_MAX), (I64_MAX, 1), (0, I64_MAX), (I64_MAX - 5, 5)])
def test_lease_end_overflow(s, now, lease):
    job_id, gen = job(s, 10)
    s.submit_job(b"h", b"p", 0)
    if now + lease <= I64_MAX:  # the largest lease end is accepted
        assert s.heartbeat_job(job_id, gen, now, lease) is True
        assert s.claim_job(now, lease)["lease_until_ms"] == I64_MAX
        return
    for call in (lambda: s.claim_job(now, lease), lambda: s.heartbeat_job(job_id, gen, now, lease)):
        with raises_exactly(Error, OVERFLOW):
            call()
    assert s.get_job(job_id)["lease_until_ms"] == 10
    assert s.job_stats()["leased"] == 1 and s.job_stats()["ready"] == 1


@pytest.mark.parametrize("backoff, now", [(U64_MAX, 0), (2**63, 0), (2**58, 0), (2**40, I64_MAX - 2**39)])
def test_retry_delay_overflow_changes_nothing(s, backoff, now):
    job_id, gen = job(s, 100, now=now, retry_backoff_ms=backoff)
    before, entries = s.get_job(job_id), s.job_history(job_id)
    with raises_exactly(Error, OVERFLOW):
        s.fail_job(job_id, gen, now, b"")
    assert s.get_job(job_id) == before and s.job_history(job_id) == entries


def test_stats_count_expired_leases_as_leased_and_list_orders_by_time_then_id(s):
    a = s.submit_job(b"h", b"p", 0, available_at_ms=30)
    b, c = sorted(s.submit_job(b"h", b"p", 0, available_at_ms=20) for _ in range(2))
    assert s.claim_job(25, 1)["id"] == b
    assert s.job_stats() == {"total": 3, "ready": 2, "leased": 1, "completed": 0, "dead": 0, "cancelled": 0}
    assert [j["id"] for j in s.list_jobs()] == [b, c, a]


def job_value(**fields):
    return encode_job({"id": bytes(range(16)), "state": "ready", "handler": b"h", "payload": b"", "available_at_ms": 0,
                       "deadline_ms": None, "priority": 0, "attempts": 0, "max_attempts": 3, "retry_backoff_ms": 0,
                       "lease_until_ms": 0, "lease_generation": 0, "idempotency_key": b"k"} | fields)


GOOD = job_value()
BAD_RECORDS = {
    "short": GOOD[:65], "version": b"\x02" + GOOD[1:], "state": GOOD[:1] + b"\x05" + GOOD[2:],
    "handler overrun": GOOD[:66] + struct.pack("<I", 1000) + GOOD[70:],
    "flag": job_value(idempotency_key=None)[:-1] + b"\x02", "leftover": GOOD + b"\x00", "truncated key": GOOD[:-1],
    "another job's id": GOOD,  # stored under the key of job ff..ff: changing it would overwrite job 00..0f
}


@pytest.mark.parametrize("value", BAD_RECORDS.values(), ids=list(BAD_RECORDS))
def test_corrupt_job_record_fails_scans_before_writing(store_path, value):
    good = job_value(id=bytes(16), idempotency_key=None)
    log = sf.LogBuilder().put(1, JOB_PREFIX + bytes(16), good).put(1, JOB_PREFIX + b"\xff" * 16, value).commit(1)
    data = log.write(store_path)
    with Store.open(str(store_path)) as s:
        for call in (lambda: s.claim_job(0, 10), s.list_jobs, s.job_stats, lambda: s.release_expired_jobs(0),
                     lambda: s.submit_job(b"h", b"p", 0, idempotency_key=b"k"), lambda: s.get_job(b"\xff" * 16),
                     lambda: s.purge_finished_jobs(2**63 - 1)):
            with raises_exactly(Error, CORRUPT):
                call()
        assert s.get_job(bytes(16))["state"] == "ready"
    assert store_path.read_bytes() == data


@pytest.mark.parametrize("match_first", [True, False])
@pytest.mark.parametrize("in_transaction", [False, True])
def test_idempotency_check_stops_at_a_match_or_a_corrupt_record_whichever_comes_first(store_path, match_first,
                                                                                      in_transaction):
    holder, corrupt = (bytes(16), b"\xff" * 16) if match_first else (b"\xff" * 16, bytes(16))
    sf.LogBuilder().put(1, JOB_PREFIX + holder, job_value(id=holder)).put(1, JOB_PREFIX + corrupt, GOOD[:65]) \
        .commit(1).write(store_path)
    with Store.open(str(store_path)) as s:
        def submit():
            if not in_transaction:
                return s.submit_job(b"h", b"p", 0, idempotency_key=b"k")
            t = s.transaction()
            position = t.enqueue_job(b"h", b"p", 0, idempotency_key=b"k")
            return t.commit_with_results()[position]["id"]
        if match_first:
            assert submit() == holder
        else:
            with raises_exactly(Error, CORRUPT):
                submit()


@pytest.mark.parametrize("value", [struct.pack("<BQqBI", 1, 0, 0, 0, 2) + b"a", struct.pack("<BQqBI", 2, 0, 0, 4, 0),
                                   struct.pack("<BQqBI", 1, 0, 0, 0, 0) + b"\x00", struct.pack("<BQqBI", 1, 0, 0, 6, 0),
                                   b"\x01" + bytes(20)])
def test_corrupt_history_entry(store_path, value):
    job_id = bytes(range(16))
    sf.LogBuilder().put(1, HISTORY_PREFIX + job_id + bytes(8), value).commit(1).write(store_path)
    with Store.open(str(store_path)) as s, raises_exactly(Error, CORRUPT):
        s.job_history(job_id)


def crafted_job(store_path, last_seq=0, **fields):
    """A store holding one job and its history entry `last_seq`: (id, file bytes)."""
    job_id = b"\x10" * 16
    log = sf.LogBuilder().put(1, JOB_PREFIX + job_id, job_value(id=job_id, idempotency_key=None, **fields))
    log.put(1, HISTORY_PREFIX + job_id + struct.pack(">Q", last_seq), encode_history(last_seq, 0, "submitted", b""))
    return job_id, log.commit(1).write(store_path)


def test_history_continues_after_the_last_stored_sequence(store_path):
    job_id, _ = crafted_job(store_path, last_seq=41)
    with Store.open(str(store_path)) as s:
        assert s.cancel_job(job_id, 3) is True
        assert s.job_history(job_id) == [(41, 0, "submitted", b""), (42, 3, "cancelled", b"")]


@pytest.mark.parametrize("last_seq, fields, call, message", [
    (U64_MAX, {}, lambda s, i: s.cancel_job(i, 3), "job history sequence exhausted"),
    (0, {"attempts": 2**32 - 1, "max_attempts": 2**32 - 1}, lambda s, i: s.claim_job(0, 10),
     "job attempt counter exhausted"),
])
def test_exhausted_counters_change_nothing(store_path, last_seq, fields, call, message):
    job_id, data = crafted_job(store_path, last_seq, **fields)
    with Store.open(str(store_path)) as s, raises_exactly(Error, message):
        call(s, job_id)
    assert store_path.read_bytes() == data


@pytest.mark.parametrize("backoff, attempts, delay", [(1000, 1, 920), (1000, 2, 1860), (10, 11, 112), (7, 0, 6),
                                                      (1, 256, 232), (1, 275, 302)])
def test_retry_delay_of_a_known_id(store_path, backoff, attempts, delay):
    # The id bytes sum to 256: the jitter is 91 + (attempts % 256) % 20 percent.
    job_id, _ = crafted_job(store_path, state="leased", attempts=attempts, lease_generation=attempts,
                            retry_backoff_ms=backoff, max_attempts=2**32 - 1)
    with Store.open(str(store_path)) as s:
        assert s.fail_job(job_id, attempts, 1000, b"") == "ready"
        assert s.get_job(job_id)["available_at_ms"] == 1000 + delay


def finished_jobs(s):
    """Jobs finished at 5 (completed), 3 (dead), 7 (cancelled), and three active ones, one of them revived."""
    done, gen = job(s, lease=100, max_attempts=1)
    s.complete_job(done, gen, 5)
    dead, gen = job(s, lease=100, max_attempts=1)
    s.fail_job(dead, gen, 3, b"x")
    cancelled = s.submit_job(b"h", b"p", 0)
    s.cancel_job(cancelled, 7)
    revived, gen = job(s, lease=100, max_attempts=1)
    s.fail_job(revived, gen, 1, b"x")
    s.retry_job(revived, 2)
    leased, _ = job(s, lease=100)
    ready = s.submit_job(b"h", b"p", 0, deadline_ms=0)
    return [dead, done, cancelled], [revived, leased, ready]


@pytest.mark.parametrize("calls, removed", [
    ([(7, 1)], 1), ([(7, 1), (7, 100)], 2), ([(8,)], 3), ([(2**63 - 1, 2), (2**63 - 1, 5)], 3)])
def test_purge_removes_the_oldest_finished_jobs_with_their_history(s, calls, removed):
    finished, active = finished_jobs(s)
    s.claim_job(0, 0, handlers=[b"none"])
    first_tx = s.changes_after(limit=10_000)[-1]["tx_id"]
    gone, kept = finished[:removed], finished[removed:] + active
    keys = [key for i in gone for key in [JOB_PREFIX + i] + [k for k, _ in s.scan_prefix(HISTORY_PREFIX + i)]]
    counts = [s.purge_finished_jobs(*args) for args in calls]
    assert sum(counts) == removed and s.purge_finished_jobs(2**63 - 1, 0) == 0
    assert [s.get_job(i) for i in gone] == [None] * removed and [s.job_history(i) for i in gone] == [[]] * removed
    assert all(s.get_job(i) is not None and s.job_history(i) for i in kept)
    deleted = [(c["tx_id"], c["key"]) for c in s.changes_after(after_tx_id=first_tx) if c["kind"] == "delete"]
    assert sorted(key for _, key in deleted) == sorted(keys)
    assert len({tx for tx, _ in deleted}) == sum(1 for n in counts if n)  # one commit per call


@pytest.mark.parametrize("args, error", [((2**63 - 1, 0), None), ((3,), None), ((-(2**63),), None),
                                         ((2**63,), OverflowError), ((9, -1), OverflowError),
                                         ((9, 2**64), OverflowError), ((9, None), TypeError), ((9.0,), TypeError),
                                         ((9, "1"), TypeError)])
def test_purge_that_removes_nothing_writes_nothing(s, store_path, args, error):
    finished_jobs(s)
    size = store_path.stat().st_size
    if error is None:
        assert s.purge_finished_jobs(*args) == 0
    else:
        with pytest.raises(error):
            s.purge_finished_jobs(*args)
    assert store_path.stat().st_size == size
