"""Durable jobs through the Store methods: the job state machine, claims with deadlines and
attempt limits, the retry back-off, idempotency keys, lease generations, history, and the
record layouts (checked against an encoder written here from the format description)."""

from __future__ import annotations

import struct

import pytest

import storefile as sf
from expect import raises_exactly
from ombrel_store import _native

Store = _native.Store
Error = _native.OmbrelStoreError
I64_MIN, I64_MAX, U64_MAX = -(2**63), 2**63 - 1, 2**64 - 1
JOB_PREFIX = b"\xffomb:job:data:"
HISTORY_PREFIX = b"\xffomb:job:history:"
CORRUPT = "job record is corrupt or unsupported"
OVERFLOW = "time value overflowed"
JOB_KEYS = ["id", "state", "handler", "payload", "available_at_ms", "deadline_ms", "priority", "attempts",
            "max_attempts", "retry_backoff_ms", "lease_until_ms", "lease_generation", "idempotency_key"]
STATES = ["ready", "leased", "completed", "dead", "cancelled"]
KINDS = ["submitted", "claimed", "completed", "retry_scheduled", "dead", "cancelled"]


@pytest.fixture
def s(open_store):
    return open_store(durability="relaxed")


def encode_job(job: dict) -> bytes:
    """A job record value from a job dict, by the documented layout."""
    deadline = I64_MIN if job["deadline_ms"] is None else job["deadline_ms"]
    out = struct.pack("<BB", 1, STATES.index(job["state"])) + job["id"]
    out += struct.pack("<qqiIIQqI", job["available_at_ms"], deadline, job["priority"], job["attempts"],
                       job["max_attempts"], job["retry_backoff_ms"], job["lease_until_ms"], job["lease_generation"])
    out += struct.pack("<I", len(job["handler"])) + job["handler"] + struct.pack("<I", len(job["payload"])) + job["payload"]
    key = job["idempotency_key"]
    return out + (b"\x00" if key is None else b"\x01" + struct.pack("<I", len(key)) + key)


def encode_history(seq: int, at_ms: int, kind: str, detail: bytes) -> bytes:
    return struct.pack("<BQqBI", 1, seq, at_ms, KINDS.index(kind), len(detail)) + detail


def retry_delay(job_id: bytes, attempts: int, backoff: int) -> int:
    s = (sum(job_id) % 256 + attempts) % 256
    return backoff * max(attempts, 1) * (91 + s % 20) // 100


def history(store, job_id):
    return [(kind, detail) for _, _, kind, detail in store.job_history(job_id)]


def claimed(store, now=0, lease=100, **spec):
    """Submits one job and claims it; returns (id, lease_generation)."""
    job_id = store.submit_job(b"h", b"p", now, **spec)
    job = store.claim_job(now, lease)
    assert job["id"] == job_id and job["state"] == "leased"
    return job_id, job["lease_generation"]


def dead(store, **spec):
    job_id, gen = claimed(store, max_attempts=1, **spec)
    assert store.fail_job(job_id, gen, 1, b"x") == "dead"
    return job_id


# ---- shapes, layouts, defaults ----


SPEC_DEFAULTS = {"available_at_ms": 0, "deadline_ms": None, "priority": 0, "max_attempts": 3,
                 "retry_backoff_ms": 1000, "idempotency_key": None}


@pytest.mark.parametrize("kwargs, shown", [
    ({}, SPEC_DEFAULTS),
    ({"deadline_ms": I64_MIN}, SPEC_DEFAULTS),  # the record's spelling of "no deadline"
    ({"available_at_ms": -5, "deadline_ms": 900, "priority": -(2**31), "max_attempts": 2**32 - 1,
      "retry_backoff_ms": U64_MAX, "idempotency_key": bytearray(b"k")},
     {"available_at_ms": -5, "deadline_ms": 900, "priority": -(2**31), "max_attempts": 2**32 - 1,
      "retry_backoff_ms": U64_MAX, "idempotency_key": b"k"}),
    ({"priority": 2**31 - 1, "idempotency_key": [0, 255]}, dict(SPEC_DEFAULTS, priority=2**31 - 1, idempotency_key=b"\x00\xff")),
])
def test_submitted_job_dict_record_and_history(s, kwargs, shown):
    job_id = s.submit_job(b"mail", b"\x00body", 7, **kwargs)
    job = s.get_job(job_id)
    assert list(job) == JOB_KEYS
    assert job == dict(shown, id=job_id, state="ready", handler=b"mail", payload=b"\x00body", attempts=0,
                       lease_until_ms=0, lease_generation=0)
    assert len(job_id) == 16 and s.get(JOB_PREFIX + job_id) == encode_job(job)
    assert s.scan_prefix(HISTORY_PREFIX) == [(HISTORY_PREFIX + job_id + bytes(8), encode_history(0, 7, "submitted", b""))]
    assert s.job_history(job_id) == [(0, 7, "submitted", b"")]
    assert list(s.job_stats()) == ["total"] + STATES


# ---- the state machine, row by row ----


def _claim_again_after_lease_end(s):
    job_id, _ = claimed(s, lease=0)
    job = s.claim_job(1, 100)
    assert (job["id"], job["attempts"], job["lease_generation"], job["lease_until_ms"]) == (job_id, 2, 2, 101)
    return job_id


def _claim_above_limit(s):
    job_id, _ = claimed(s, lease=0, max_attempts=1)
    assert s.claim_job(1, 100) is None
    assert s.get_job(job_id)["attempts"] == 2
    return job_id


def _claim_past_deadline(s):
    job_id = s.submit_job(b"h", b"p", 0, deadline_ms=10)
    assert s.claim_job(10, 100) is None
    return job_id


def _heartbeat(s):
    job_id, gen = claimed(s)
    assert s.heartbeat_job(job_id, gen, 50, 1000) is True
    assert s.get_job(job_id)["lease_until_ms"] == 1050
    return job_id


def _complete(s, **spec):
    job_id, gen = claimed(s, **spec)
    assert s.complete_job(job_id, gen, 5) is None
    return job_id


def _fail(max_attempts, result):
    def run(s):
        job_id, gen = claimed(s, max_attempts=max_attempts)
        assert s.fail_job(job_id, gen, 5, b"boom") == result
        return job_id
    return run


def _release(s):
    job_id, gen = claimed(s)
    assert s.release_job(job_id, gen, 42) is True
    assert s.get_job(job_id)["available_at_ms"] == 42 and s.get_job(job_id)["attempts"] == 1
    return job_id


def _expire(max_attempts):
    def run(s):
        job_id, _ = claimed(s, lease=10, max_attempts=max_attempts)
        assert s.release_expired_jobs(9) == 0
        assert s.release_expired_jobs(10) == 1
        return job_id
    return run


def _manual_retry(s):
    job_id = dead(s)
    revived = s.retry_job(job_id, 77)
    assert revived == s.get_job(job_id)
    assert (revived["available_at_ms"], revived["attempts"], revived["lease_generation"]) == (77, 0, 0)
    return job_id


def _cancel(leased):
    def run(s, **spec):
        job_id, gen = claimed(s, **spec) if leased else (s.submit_job(b"h", b"p", 0, **spec), 0)
        assert s.cancel_job(job_id, 5) is True
        if leased:  # the holder is not told; its later report fails
            with raises_exactly(Error, "job is not currently leased"):
                s.complete_job(job_id, gen, 6)
        return job_id
    return run


SUBMIT, CLAIM = ("submitted", b""), ("claimed", b"")
TRANSITIONS = [
    ("submit", lambda s: s.submit_job(b"h", b"p", 0), "ready", [SUBMIT]),
    ("claim ready", lambda s: claimed(s)[0], "leased", [SUBMIT, CLAIM]),
    ("claim ended lease", _claim_again_after_lease_end, "leased", [SUBMIT, CLAIM, CLAIM]),
    ("claim above limit", _claim_above_limit, "dead", [SUBMIT, CLAIM, ("dead", b"max attempts exceeded")]),
    ("claim past deadline", _claim_past_deadline, "dead", [SUBMIT, ("dead", b"deadline exceeded")]),
    ("heartbeat", _heartbeat, "leased", [SUBMIT, CLAIM]),
    ("complete", _complete, "completed", [SUBMIT, CLAIM, ("completed", b"")]),
    ("fail with attempts left", _fail(3, "ready"), "ready", [SUBMIT, CLAIM, ("retry_scheduled", b"boom")]),
    ("fail at last attempt", _fail(1, "dead"), "dead", [SUBMIT, CLAIM, ("dead", b"boom")]),
    ("release", _release, "ready", [SUBMIT, CLAIM, ("retry_scheduled", b"released")]),
    ("lease expired", _expire(2), "ready", [SUBMIT, CLAIM, ("retry_scheduled", b"lease expired")]),
    ("lease expired at last attempt", _expire(1), "dead",
     [SUBMIT, CLAIM, ("dead", b"lease expired: max attempts exhausted")]),
    ("manual retry", _manual_retry, "ready", [SUBMIT, CLAIM, ("dead", b"x"), ("retry_scheduled", b"manual retry")]),
    ("cancel ready", _cancel(False), "cancelled", [SUBMIT, ("cancelled", b"")]),
    ("cancel leased", _cancel(True), "cancelled", [SUBMIT, CLAIM, ("cancelled", b"")]),
]


@pytest.mark.parametrize("run, state, entries", [t[1:] for t in TRANSITIONS], ids=[t[0] for t in TRANSITIONS])
def test_transition(s, run, state, entries):
    job_id = run(s)
    job = s.get_job(job_id)
    assert job["state"] == state and history(s, job_id) == entries
    assert [entry[0] for entry in s.job_history(job_id)] == list(range(len(entries)))
    if state != "leased":
        assert job["lease_until_ms"] == 0
    assert s.get(JOB_PREFIX + job_id) == encode_job(job)


FINAL_OR_OTHER = {
    "ready": lambda s, **spec: s.submit_job(b"h", b"p", 0, **spec),
    "leased": lambda s, **spec: claimed(s, **spec)[0],
    "completed": lambda s, **spec: _complete(s, **spec),
    "cancelled": lambda s, **spec: _cancel(False)(s, **spec),
    "dead": dead,
}


@pytest.mark.parametrize("state", list(FINAL_OR_OTHER))
def test_operations_that_refuse_a_state_change_nothing(s, state):
    job_id = FINAL_OR_OTHER[state](s)
    before, entries = s.get_job(job_id), s.job_history(job_id)
    if state != "dead":
        assert s.retry_job(job_id, 9) is None
    if state not in ("ready", "leased"):
        assert s.cancel_job(job_id, 9) is False
    if state != "leased":
        assert s.heartbeat_job(job_id, before["lease_generation"], 9, 10) is False
        assert s.release_job(job_id, before["lease_generation"], 9) is False
        for report in (lambda: s.complete_job(job_id, before["lease_generation"], 9),
                       lambda: s.fail_job(job_id, before["lease_generation"], 9, b"")):
            with raises_exactly(Error, "job is not currently leased"):
                report()
    assert s.get_job(job_id) == before and s.job_history(job_id) == entries


def test_unknown_id(s):
    unknown = bytes(16)
    assert s.get_job(unknown) is None and s.job_history(unknown) == [] and s.retry_job(unknown, 0) is None
    assert s.heartbeat_job(unknown, 0, 0, 0) is False and s.release_job(unknown, 0, 0) is False
    assert s.cancel_job(unknown, 0) is False
    for report in (lambda: s.complete_job(unknown, 0, 0), lambda: s.fail_job(unknown, 0, 0, b"")):
        with raises_exactly(Error, "job was not found"):
            report()
    assert s.scan_prefix(b"\xffomb:") == []


@pytest.mark.parametrize("length", [0, 15, 17])
@pytest.mark.parametrize("call", [
    lambda s, i: s.get_job(i), lambda s, i: s.heartbeat_job(i, 1, 0, 1), lambda s, i: s.complete_job(i, 1, 0),
    lambda s, i: s.fail_job(i, 1, 0, b""), lambda s, i: s.release_job(i, 1, 0), lambda s, i: s.retry_job(i, 0),
    lambda s, i: s.cancel_job(i, 0), lambda s, i: s.job_history(i),
], ids=["get", "heartbeat", "complete", "fail", "release", "retry", "cancel", "history"])
def test_id_length(store, call, length):
    with raises_exactly(Error, "job id must be exactly 16 bytes"):
        call(store, bytes(length))
    store.close()  # checked before the store is touched
    with raises_exactly(Error, "job id must be exactly 16 bytes"):
        call(store, bytes(length))


# ---- submit ----


@pytest.mark.parametrize("handler, max_attempts, message", [
    (b"", 3, "job handler cannot be empty"), (b"h", 0, "max attempts must be at least one"),
    (b"", 0, "job handler cannot be empty"),
])
def test_submit_refuses_a_bad_template(s, handler, max_attempts, message):
    with raises_exactly(Error, message):
        s.submit_job(handler, b"p", 0, max_attempts=max_attempts)
    assert s.scan_prefix(b"\xffomb:") == []


@pytest.mark.parametrize("kwargs, error", [
    ({"priority": 2**31}, OverflowError), ({"priority": -(2**31) - 1}, OverflowError),
    ({"max_attempts": -1}, OverflowError), ({"retry_backoff_ms": 2**64}, OverflowError),
    ({"idempotency_key": "k"}, TypeError), ({"deadline_ms": 1.5}, TypeError),
])
def test_submit_argument_types(s, kwargs, error):
    with pytest.raises(error):
        s.submit_job(b"h", b"p", 0, **kwargs)
    with pytest.raises(TypeError):
        s.submit_job(bytearray(b"h"), b"p", 0)
    assert s.job_stats()["total"] == 0


@pytest.mark.parametrize("state", ["ready", "leased", "completed", "dead", "cancelled"])
def test_idempotency_key_holds_while_the_job_is_active(s, store_path, state):
    first = FINAL_OR_OTHER[state](s, idempotency_key=b"key")
    size = store_path.stat().st_size
    again = s.submit_job(b"other", b"q", 5, idempotency_key=b"key")
    if state in ("ready", "leased"):  # the first id, and nothing written
        assert again == first and store_path.stat().st_size == size and s.job_stats()["total"] == 1
    else:  # a finished job frees its key
        assert again != first and s.job_stats()["total"] == 2
        assert s.submit_job(b"h", b"p", 3, idempotency_key=b"key") == again


def test_different_keys_and_no_key_make_new_jobs(s):
    keys = [None, None, b"", b"\x00"]  # an empty key is a key
    assert len({s.submit_job(b"h", b"p", 0, idempotency_key=k) for k in keys + [b""]}) == 4


# ---- claim ----


def test_claim_order_priority_then_availability_then_id(s):
    low = s.submit_job(b"h", b"p", 0, priority=1, available_at_ms=0)
    late = s.submit_job(b"h", b"p", 0, priority=5, available_at_ms=20)
    early = s.submit_job(b"h", b"p", 0, priority=5, available_at_ms=10)
    twins = sorted([s.submit_job(b"h", b"p", 0, priority=0) for _ in range(3)])
    order = [s.claim_job(100, 1000)["id"] for _ in range(6)]
    assert order == [early, late, low] + twins
    assert s.claim_job(100, 1000) is None


@pytest.mark.parametrize("handlers, claimed_handler", [
    (None, b"a"), ([], b"a"), ([b"b"], b"b"), ((b"zz", b"b"), b"b"), ([b"c"], None),
])
def test_claim_handler_filter(s, handlers, claimed_handler):
    s.submit_job(b"a", b"p", 0, priority=1)
    s.submit_job(b"b", b"p", 0)
    job = s.claim_job(0, 10) if handlers is None else s.claim_job(0, 10, handlers=handlers)
    assert (job and job["handler"]) == claimed_handler


@pytest.mark.parametrize("handlers", ["a", b"a", [b"a", "b"], [bytearray(b"a")], 5])
def test_claim_refuses_handlers_that_are_not_a_sequence_of_bytes(s, handlers):
    s.submit_job(b"a", b"p", 0)
    with pytest.raises(TypeError):
        s.claim_job(0, 10, handlers=handlers)
    assert s.job_stats()["ready"] == 1


@pytest.mark.parametrize("situation", ["ready now", "ready later", "lease ended"])
def test_overdue_jobs_are_made_dead_by_claims_whatever_their_availability(s, situation):
    available = 1000 if situation == "ready later" else 0
    job_id = s.submit_job(b"h", b"p", 0, deadline_ms=50, available_at_ms=available)
    if situation == "lease ended":
        assert s.claim_job(0, 10)["id"] == job_id
    fresh = s.submit_job(b"h", b"p", 0, priority=-1)
    assert s.claim_job(50, 10, handlers=[b"other"]) is None  # filtered out: untouched
    assert s.get_job(job_id)["state"] == ("leased" if situation == "lease ended" else "ready")
    assert s.claim_job(50, 10)["id"] == fresh
    assert s.get_job(job_id)["state"] == "dead"
    assert history(s, job_id)[-1] == ("dead", b"deadline exceeded")


def test_running_lease_is_not_made_dead_by_its_deadline(s):
    job_id, _ = claimed(s, lease=100, deadline_ms=10)
    assert s.claim_job(20, 10) is None
    assert s.get_job(job_id)["state"] == "leased"


def test_exhausted_best_candidate_ends_the_claim(s):
    first = s.submit_job(b"h", b"p", 0, priority=9, max_attempts=1)
    assert s.claim_job(0, 0)["id"] == first  # a zero lease has already ended
    other = s.submit_job(b"h", b"p", 0)
    assert s.claim_job(1, 10) is None
    assert (s.get_job(first)["state"], s.get_job(first)["attempts"]) == ("dead", 2)
    assert s.get_job(other)["state"] == "ready"
    assert s.claim_job(1, 10)["id"] == other


def test_zero_lease_can_be_taken_over_at_once_and_fences_the_old_holder(s):
    job_id, old = claimed(s, lease=0)
    new = s.claim_job(0, 100)["lease_generation"]
    assert (old, new) == (1, 2)
    assert s.heartbeat_job(job_id, old, 1, 100) is False and s.release_job(job_id, old, 1) is False
    for report in (lambda: s.complete_job(job_id, old, 1), lambda: s.fail_job(job_id, old, 1, b"")):
        with raises_exactly(Error, "job lease generation mismatch: expected 2, provided 1"):
            report()
    assert s.get_job(job_id)["lease_until_ms"] == 100 and history(s, job_id) == [SUBMIT, CLAIM, CLAIM]
    assert s.heartbeat_job(job_id, new, 1, 500) is True


def test_holder_may_finish_an_expired_lease_nobody_took(s):
    job_id, gen = claimed(s, lease=10)
    assert s.heartbeat_job(job_id, gen, 50, 10) is True
    assert s.get_job(job_id)["lease_until_ms"] == 60
    s.complete_job(job_id, gen, 100)
    assert s.get_job(job_id)["state"] == "completed"


@pytest.mark.parametrize("now, lease", [(0, 2**63), (0, U64_MAX), (I64_MAX, 1), (I64_MAX - 5, 6), (0, I64_MAX),
                                        (I64_MAX - 5, 5)])
def test_lease_end_overflow(s, now, lease):
    job_id, gen = claimed(s, lease=10)
    s.submit_job(b"h", b"p", 0)
    if now + lease <= I64_MAX:  # the largest lease end is accepted
        assert s.heartbeat_job(job_id, gen, now, lease) is True
        assert s.claim_job(now, lease)["lease_until_ms"] == I64_MAX
        return
    with raises_exactly(Error, OVERFLOW):
        s.claim_job(now, lease)
    with raises_exactly(Error, OVERFLOW):
        s.heartbeat_job(job_id, gen, now, lease)
    assert s.get_job(job_id)["lease_until_ms"] == 10
    assert s.job_stats()["leased"] == 1 and s.job_stats()["ready"] == 1


# ---- fail and the back-off ----


@pytest.mark.parametrize("backoff", [0, 1, 1000, 123_457])
def test_retry_delay_grows_with_attempts_and_carries_the_id_jitter(s, backoff):
    job_id = s.submit_job(b"h", b"p", 0, max_attempts=4, retry_backoff_ms=backoff)
    now = 1_000
    for attempt in (1, 2, 3):
        job = s.claim_job(now, 10)
        assert (job["id"], job["attempts"]) == (job_id, attempt)
        assert s.fail_job(job_id, attempt, now, b"e%d" % attempt) == "ready"
        expected = now + retry_delay(job_id, attempt, backoff)
        assert s.get_job(job_id)["available_at_ms"] == expected
        if expected > now:
            assert s.claim_job(expected - 1, 10) is None
        now = expected
    assert s.claim_job(now, 10)["attempts"] == 4
    assert s.fail_job(job_id, 4, now, b"last") == "dead"
    assert history(s, job_id)[-2:] == [CLAIM, ("dead", b"last")]


@pytest.mark.parametrize("backoff, now", [(U64_MAX, 0), (2**63, 0), (2**58, 0), (2**40, I64_MAX - 2**39)])
def test_retry_delay_overflow_changes_nothing(s, backoff, now):
    job_id, gen = claimed(s, now=now, retry_backoff_ms=backoff)
    before, entries = s.get_job(job_id), s.job_history(job_id)
    with raises_exactly(Error, OVERFLOW):
        s.fail_job(job_id, gen, now, b"")
    assert s.get_job(job_id) == before and s.job_history(job_id) == entries


# ---- release of expired leases ----


def test_release_expired_jobs(s):
    ids = [s.submit_job(b"h", b"p", 0, max_attempts=a) for a in (1, 2)]
    for _ in ids:
        s.claim_job(0, 10)
    running = s.submit_job(b"h", b"p", 0)
    s.claim_job(0, 1000)
    assert s.release_expired_jobs(10) == 2
    assert [(s.get_job(i)["state"], s.get_job(i)["available_at_ms"]) for i in ids] == [("dead", 0), ("ready", 10)]
    assert s.get_job(running)["state"] == "leased"
    assert s.release_expired_jobs(10) == 0


def test_stats_count_expired_leases_as_leased_and_list_orders_by_time_then_id(s):
    a = s.submit_job(b"h", b"p", 0, available_at_ms=30)
    b, c = sorted(s.submit_job(b"h", b"p", 0, available_at_ms=20) for _ in range(2))
    claimed_id = s.claim_job(25, 1)["id"]
    assert claimed_id == b
    assert s.job_stats() == {"total": 3, "ready": 2, "leased": 1, "completed": 0, "dead": 0, "cancelled": 0}
    assert [j["id"] for j in s.list_jobs()] == [b, c, a]


# ---- stored records that do not decode ----


def _job_value(**fields):
    job = {"id": bytes(range(16)), "state": "ready", "handler": b"h", "payload": b"", "available_at_ms": 0,
           "deadline_ms": None, "priority": 0, "attempts": 0, "max_attempts": 3, "retry_backoff_ms": 0,
           "lease_until_ms": 0, "lease_generation": 0, "idempotency_key": b"k"}
    job.update(fields)
    return encode_job(job)


GOOD = _job_value()
BAD_RECORDS = {
    "short": GOOD[:65],
    "version": b"\x02" + GOOD[1:],
    "state": GOOD[:1] + b"\x05" + GOOD[2:],
    "handler overrun": GOOD[:66] + struct.pack("<I", 1000) + GOOD[70:],
    "flag": _job_value(idempotency_key=None)[:-1] + b"\x02",
    "leftover": GOOD + b"\x00",
    "truncated key": GOOD[:-1],
}


@pytest.mark.parametrize("value", list(BAD_RECORDS.values()), ids=list(BAD_RECORDS))
def test_corrupt_job_record_fails_scans_before_writing(store_path, value):
    good = _job_value(id=b"\x00" * 16, idempotency_key=None)
    log = sf.LogBuilder().put(1, JOB_PREFIX + b"\x00" * 16, good).put(1, JOB_PREFIX + b"\xff" * 16, value).commit(1)
    data = log.write(store_path)
    with Store.open(str(store_path)) as s:
        for call in (lambda: s.claim_job(0, 10), s.list_jobs, s.job_stats, lambda: s.release_expired_jobs(0),
                     lambda: s.submit_job(b"h", b"p", 0, idempotency_key=b"k"), lambda: s.get_job(b"\xff" * 16)):
            with raises_exactly(Error, CORRUPT):
                call()
        assert s.get_job(b"\x00" * 16)["state"] == "ready"
    assert store_path.read_bytes() == data


@pytest.mark.parametrize("value", [encode_history(0, 0, "submitted", b"ab")[:-1], b"\x02" + encode_history(0, 0, "dead", b"")[1:],
                                   encode_history(0, 0, "submitted", b"") + b"\x00", struct.pack("<BQqBI", 1, 0, 0, 6, 0)])
def test_corrupt_history_entry(store_path, value):
    job_id = bytes(range(16))
    sf.LogBuilder().put(1, HISTORY_PREFIX + job_id + bytes(8), value).commit(1).write(store_path)
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, CORRUPT):
            s.job_history(job_id)


def _crafted_job(store_path, last_seq=0, **fields):
    """A store holding one crafted job (id 0..15) and its history entry `last_seq`."""
    job_id = bytes(range(16))
    log = sf.LogBuilder().put(1, JOB_PREFIX + job_id, _job_value(id=job_id, idempotency_key=None, **fields))
    log.put(1, HISTORY_PREFIX + job_id + struct.pack(">Q", last_seq), encode_history(last_seq, 0, "submitted", b""))
    return job_id, log.commit(1).write(store_path)


def test_history_continues_after_the_last_stored_sequence(store_path):
    job_id, _ = _crafted_job(store_path, last_seq=41)
    with Store.open(str(store_path)) as s:
        assert s.cancel_job(job_id, 3) is True
        assert s.job_history(job_id) == [(41, 0, "submitted", b""), (42, 3, "cancelled", b"")]


@pytest.mark.parametrize("last_seq, fields, call, message", [
    (U64_MAX, {}, lambda s, i: s.cancel_job(i, 3), "job history sequence exhausted"),
    (0, {"attempts": 2**32 - 1, "max_attempts": 2**32 - 1}, lambda s, i: s.claim_job(0, 10),
     "job attempt counter exhausted"),
])
def test_exhausted_counters_change_nothing(store_path, last_seq, fields, call, message):
    job_id, data = _crafted_job(store_path, last_seq, **fields)
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, message):
            call(s, job_id)
    assert store_path.read_bytes() == data


@pytest.mark.parametrize("backoff, attempts, delay", [(1000, 1, 920), (1000, 2, 1860), (10, 11, 112), (7, 0, 6)])
def test_retry_delay_of_a_known_id(store_path, backoff, attempts, delay):
    # Id bytes 0..15 sum to 120, a multiple of 20: the jitter is 91 + attempts % 20 percent.
    job_id, _ = _crafted_job(store_path, state="leased", attempts=attempts, lease_generation=attempts,
                             retry_backoff_ms=backoff, max_attempts=20)
    with Store.open(str(store_path)) as s:
        assert s.fail_job(job_id, attempts, 1000, b"") == "ready"
        assert s.get_job(job_id)["available_at_ms"] == 1000 + delay
