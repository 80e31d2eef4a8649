"""Cron schedules: creation, the dict and record, catching up one occurrence per tick, occurrence keys."""

from __future__ import annotations

import struct

import pytest

import storefile as sf
from expect import raises_exactly
from ombrel_store import _native
from test_cron import utc
from test_jobs import JOB_PREFIX
from test_schedules import TEMPLATE

Store, Error = _native.Store, _native.OmbrelStoreError
CRON_PREFIX = b"\xffomb:cron:data:"
CORRUPT = "cron schedule record is corrupt"
MINUTE = 60_000


def utc_ms(hour, minute, second=0):
    return utc(2024, 3, 1, hour, minute, second)


@pytest.fixture
def s(open_store):
    return open_store(durability="relaxed")


def encode_cron(schedule: dict) -> bytes:
    job = schedule["job"]
    out = b"\x01" + schedule["id"]
    for field in (schedule["expression"], job["handler"], job["payload"]):
        out += struct.pack("<I", len(field)) + field
    out += struct.pack("<q", job["available_at_ms"])
    out += b"\x00" if job["deadline_ms"] is None else b"\x01" + struct.pack("<q", job["deadline_ms"])
    out += struct.pack("<iIQ", job["priority"], job["max_attempts"], job["retry_backoff_ms"])
    key = job["idempotency_key"]
    out += b"\x00" if key is None else b"\x01" + struct.pack("<I", len(key)) + key
    out += struct.pack("<qBQ", schedule["next_run_ms"], schedule["enabled"], schedule["fire_count"])
    last = schedule["last_fired_at_ms"]
    return out + (b"\x00" if last is None else b"\x01" + struct.pack("<q", last))


def occurrence_key(sid: bytes, at_ms: int) -> bytes:
    return b"omb:cron:" + sid + struct.pack(">q", at_ms)


def test_create_dict_and_record(s):
    spec = {"available_at_ms": 5, "deadline_ms": -1, "priority": 3, "max_attempts": 2, "retry_backoff_ms": 9,
            "idempotency_key": b"mine"}
    sid = s.create_cron_schedule("*/15 * * * *", b"h", b"p", utc_ms(10, 7, 30), **spec)
    schedule = s.get_cron_schedule(sid)
    assert list(schedule) == ["id", "expression", "job", "next_run_ms", "enabled", "fire_count", "last_fired_at_ms"]
    assert list(schedule["job"]) == ["handler", "payload", *spec]
    assert schedule == {"id": sid, "expression": b"*/15 * * * *", "job": {"handler": b"h", "payload": b"p", **spec},
                        "next_run_ms": utc_ms(10, 15), "enabled": True, "fire_count": 0, "last_fired_at_ms": None}
    assert s.scan_prefix(CRON_PREFIX) == [(CRON_PREFIX + sid, encode_cron(schedule))]
    assert s.list_cron_schedules() == [schedule]


def test_catches_up_one_occurrence_per_tick_in_order(s):
    sid = s.create_cron_schedule("*/15 * * * *", b"h", b"p", utc_ms(10, 7, 30), available_at_ms=123,
                                 idempotency_key=b"ignored", priority=7)
    now = utc_ms(11, 0)
    fired = [utc_ms(10, 15), utc_ms(10, 30), utc_ms(10, 45), utc_ms(11, 0)]
    for count, at in enumerate(fired, start=1):
        assert s.tick_cron_schedules(now, 10) == (1, 1)
        got = s.get_cron_schedule(sid)
        assert (got["fire_count"], got["last_fired_at_ms"], got["next_run_ms"]) == (count, at, at + 15 * MINUTE)
        assert s.get(CRON_PREFIX + sid) == encode_cron(got)
    assert s.tick_cron_schedules(now, 10) == (1, 0)
    jobs = s.list_jobs()
    assert [j["available_at_ms"] for j in jobs] == fired
    assert [j["idempotency_key"] for j in jobs] == [occurrence_key(sid, at) for at in fired]
    assert all(len(j["idempotency_key"]) == 33 and j["priority"] == 7 and j["state"] == "ready" for j in jobs)
    assert all(s.job_history(j["id"]) == [(0, now, "submitted", b"")] for j in jobs)


@pytest.mark.parametrize("limit, fired", [(0, 0), (1, 1), (2, 2), (5, 2)])
def test_limit_and_order_by_next_run(s, limit, fired):
    later = s.create_cron_schedule("* * * * *", b"later", b"", 10 * MINUTE)
    earlier = s.create_cron_schedule("* * * * *", b"earlier", b"", 0)
    assert [c["id"] for c in s.list_cron_schedules()] == [earlier, later]
    assert s.tick_cron_schedules(20 * MINUTE, limit) == (2, fired)
    assert [j["handler"] for j in s.list_jobs()] == [b"earlier", b"later"][:fired]


def test_disabled_schedule_keeps_its_time_and_catches_up_when_enabled(s):
    sid = s.create_cron_schedule("0 * * * *", b"h", b"", 0)
    assert s.set_cron_schedule_enabled(sid, False) is True
    assert s.tick_cron_schedules(300 * MINUTE, 10) == (1, 0)
    assert (s.get_cron_schedule(sid)["next_run_ms"], s.get_cron_schedule(sid)["enabled"]) == (60 * MINUTE, False)
    assert s.set_cron_schedule_enabled(sid, True) is True
    for _ in range(3):
        s.tick_cron_schedules(300 * MINUTE, 10)
    assert [j["available_at_ms"] for j in s.list_jobs()] == [60 * MINUTE, 120 * MINUTE, 180 * MINUTE]


@pytest.mark.parametrize("expression, handler, max_attempts, message", [
    ("* * * * *", b"", 3, CORRUPT), ("* * * * *", b"h", 0, CORRUPT),
    ("* * * *", b"h", 3, "cron error: cron expression must contain exactly five fields"),
    ("* * * * 7", b"h", 3, "cron error: invalid cron field: 7"),
    ("0 0 31 2 *", b"h", 3, "cron error: invalid cron field: no matching time within search horizon"),
])
def test_create_refuses(s, expression, handler, max_attempts, message):
    with raises_exactly(Error, message):
        s.create_cron_schedule(expression, handler, b"", 0, max_attempts=max_attempts)
    assert s.scan_prefix(b"\xffomb:") == []


@pytest.mark.parametrize("kind", ["schedule", "cron_schedule"])
def test_unknown_and_malformed_ids(s, kind):
    get, set_enabled = getattr(s, f"get_{kind}"), getattr(s, f"set_{kind}_enabled")
    for length in (0, 15, 17):
        for call in (lambda: get(bytes(length)), lambda: set_enabled(bytes(length), True)):
            with raises_exactly(Error, f"{kind.replace('_', ' ')} id must be exactly 16 bytes"):
                call()
    assert get(bytes(16)) is None and set_enabled(bytes(16), False) is False
    assert getattr(s, f"tick_{kind}s")(0, 1) == (0, 0) and s.scan_prefix(b"\xffomb:") == []


@pytest.mark.parametrize("job_state", ["ready", "leased"])
def test_firing_repeated_after_a_failed_schedule_write_returns_the_existing_job(open_store, job_state):
    s = open_store(durability="relaxed")
    sid = s.create_cron_schedule("* * * * *", b"h", b"", 0)
    s.prune_changes_through(2**64 - 1, limit=2**64 - 1)
    before = s.get_cron_schedule(sid)
    s.close()
    # The job's commit (two change records, 189 value bytes) fits the quota; the schedule's change record does not.
    limited = open_store(durability="relaxed", namespace_max_bytes=200)
    with raises_exactly(Error) as info:
        limited.tick_cron_schedules(MINUTE, 10)
    assert info.value.args[0].startswith("store error: store namespace quota exceeded")
    (job,) = limited.list_jobs()
    assert job["available_at_ms"] == MINUTE and limited.get_cron_schedule(sid) == before
    limited.close()
    s = open_store(durability="relaxed")
    if job_state == "leased":
        assert s.claim_job(MINUTE, 1000)["id"] == job["id"]
    assert s.tick_cron_schedules(MINUTE, 10) == (1, 1)
    assert [j["id"] for j in s.list_jobs()] == [job["id"]] and s.get_job(job["id"])["state"] == job_state
    assert s.job_history(job["id"])[0] == (0, MINUTE, "submitted", b"")
    after = s.get_cron_schedule(sid)
    assert (after["fire_count"], after["last_fired_at_ms"], after["next_run_ms"]) == (1, MINUTE, 2 * MINUTE)


def cron_value(sid, expression=b"* * * * *", fire_count=0, **template):
    return encode_cron({"id": sid, "expression": expression, "job": TEMPLATE | template, "next_run_ms": 0,
                        "enabled": True, "fire_count": fire_count, "last_fired_at_ms": None})


BAD = b"\xee" * 16
GOOD = cron_value(BAD)
BAD_RECORDS = {
    "version": (b"\x02" + GOOD[1:], CORRUPT), "truncated": (GOOD[:-1], CORRUPT), "leftover": (GOOD + b"\x00", CORRUPT),
    "enabled byte": (GOOD[:-10] + b"\x02" + GOOD[-9:], CORRUPT), "last-fired flag": (GOOD[:-1] + b"\x02", CORRUPT),
    "expression length": (GOOD[:17] + struct.pack("<I", 10**6) + GOOD[21:], CORRUPT),
    "empty handler": (cron_value(BAD, handler=b""), CORRUPT), "zero attempts": (cron_value(BAD, max_attempts=0), CORRUPT),
    "not UTF-8": (cron_value(BAD, b"* * * * \xff"), "cron expression must be UTF-8"),
    "surrogate": (cron_value(BAD, b"* * * * \xed\xa0\x80"), "cron expression must be UTF-8"),
    "bad expression": (cron_value(BAD, b"* * *"), "cron error: cron expression must contain exactly five fields"),
    "another schedule's id": (cron_value(b"\x01" * 16), CORRUPT),  # a tick would write it over schedule 01..01
}


@pytest.mark.parametrize("value, message", BAD_RECORDS.values(), ids=list(BAD_RECORDS))
def test_corrupt_record_fails_the_tick_before_anything_fires(store_path, value, message):
    good_id = bytes(16)
    data = sf.LogBuilder().put(1, CRON_PREFIX + good_id, cron_value(good_id)).put(1, CRON_PREFIX + BAD, value)
    data = data.commit(1).write(store_path)
    with Store.open(str(store_path)) as s:
        for call in (lambda: s.tick_cron_schedules(MINUTE, 10), s.list_cron_schedules,
                     lambda: s.get_cron_schedule(BAD), lambda: s.set_cron_schedule_enabled(BAD, False)):
            with raises_exactly(Error, message):
                call()
        assert s.get_cron_schedule(good_id)["fire_count"] == 0
    assert store_path.read_bytes() == data


@pytest.mark.parametrize("fire_count, job_record, message", [
    (2**64 - 1, None, "cron fire count overflow"), (0, b"\x02", "job error: job record is corrupt or unsupported"),
])
def test_firing_error_leaves_the_schedule_due(store_path, fire_count, job_record, message):
    log = sf.LogBuilder().put(1, CRON_PREFIX + BAD, cron_value(BAD, fire_count=fire_count))
    if job_record is not None:
        log.put(1, JOB_PREFIX + bytes(16), job_record)
    log.commit(1).write(store_path)
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, message):
            s.tick_cron_schedules(0, 10)
        assert (s.get_cron_schedule(BAD)["fire_count"], s.get_cron_schedule(BAD)["next_run_ms"]) == (fire_count, 0)
