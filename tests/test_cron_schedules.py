"""Cron schedules through the Store methods: creation, the schedule dict and record, ticks
that fire one occurrence per schedule (catching up missed ones in order), the occurrence
idempotency key, and the repeat of a firing whose schedule write failed."""

from __future__ import annotations

import struct
from datetime import datetime, timezone

import pytest

import storefile as sf
from expect import raises_exactly
from ombrel_store import _native

Store = _native.Store
Error = _native.OmbrelStoreError
CRON_PREFIX = b"\xffomb:cron:data:"
CORRUPT = "cron schedule record is corrupt"
MINUTE = 60_000


def utc_ms(hour, minute, second=0, day=1):
    return int(datetime(2024, 3, day, hour, minute, second, tzinfo=timezone.utc).timestamp()) * 1000


@pytest.fixture
def s(open_store):
    return open_store(durability="relaxed")


def encode_cron(schedule: dict) -> bytes:
    job = schedule["job"]
    out = b"\x01" + schedule["id"] + struct.pack("<I", len(schedule["expression"])) + schedule["expression"]
    out += struct.pack("<I", len(job["handler"])) + job["handler"] + struct.pack("<I", len(job["payload"])) + job["payload"]
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
    sid = s.create_cron_schedule("*/15 * * * *", b"h", b"p", utc_ms(10, 7, 30), available_at_ms=5, deadline_ms=-1,
                                 priority=3, max_attempts=2, retry_backoff_ms=9, idempotency_key=b"mine")
    schedule = s.get_cron_schedule(sid)
    assert list(schedule) == ["id", "expression", "job", "next_run_ms", "enabled", "fire_count", "last_fired_at_ms"]
    assert schedule == {"id": sid, "expression": b"*/15 * * * *",
                        "job": {"handler": b"h", "payload": b"p", "available_at_ms": 5, "deadline_ms": -1, "priority": 3,
                                "max_attempts": 2, "retry_backoff_ms": 9, "idempotency_key": b"mine"},
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
        schedule = s.get_cron_schedule(sid)
        assert (schedule["fire_count"], schedule["last_fired_at_ms"], schedule["next_run_ms"]) == (count, at, at + 15 * MINUTE)
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
    assert s.tick_cron_schedules(5 * 60 * MINUTE, 10) == (1, 0)
    assert s.get_cron_schedule(sid)["next_run_ms"] == 60 * MINUTE and not s.get_cron_schedule(sid)["enabled"]
    assert s.set_cron_schedule_enabled(sid, True) is True
    for _ in range(3):
        s.tick_cron_schedules(5 * 60 * MINUTE, 10)
    assert [j["available_at_ms"] for j in s.list_jobs()] == [60 * MINUTE, 120 * MINUTE, 180 * MINUTE]


@pytest.mark.parametrize("expression, handler, max_attempts, message", [
    ("* * * * *", b"", 3, CORRUPT),
    ("* * * * *", b"h", 0, CORRUPT),
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
    # The quota admits the job's commit (its two change records hold 189 value bytes) but not the
    # schedule's, whose change record takes the change-feed namespace past 200 bytes.
    limited = open_store(durability="relaxed", namespace_max_bytes=200)
    with pytest.raises(Error) as info:
        limited.tick_cron_schedules(MINUTE, 10)
    assert type(info.value) is Error and info.value.args[0].startswith("store error: store namespace quota exceeded")
    (job,) = limited.list_jobs()
    assert job["available_at_ms"] == MINUTE and limited.get_cron_schedule(sid) == before
    limited.close()
    s = open_store(durability="relaxed")
    if job_state == "leased":
        assert s.claim_job(MINUTE, 1000)["id"] == job["id"]
    assert s.tick_cron_schedules(MINUTE, 10) == (1, 1)
    assert [j["id"] for j in s.list_jobs()] == [job["id"]]
    assert s.get_job(job["id"])["state"] == job_state
    assert s.job_history(job["id"])[0] == (0, MINUTE, "submitted", b"")
    after = s.get_cron_schedule(sid)
    assert (after["fire_count"], after["last_fired_at_ms"], after["next_run_ms"]) == (1, MINUTE, 2 * MINUTE)


@pytest.mark.parametrize("finished", [False, True])
def test_firing_joins_an_active_job_with_the_occurrence_key(s, finished):
    # The key matches only ready or leased jobs: a finished one does not stand for the occurrence.
    sid = s.create_cron_schedule("* * * * *", b"h", b"", 0)
    existing = s.submit_job(b"other", b"x", 0, idempotency_key=occurrence_key(sid, MINUTE))
    if finished:
        s.cancel_job(existing, 0)
    assert s.tick_cron_schedules(MINUTE, 10) == (1, 1)
    assert len(s.list_jobs()) == (2 if finished else 1) and s.get_job(existing)["handler"] == b"other"
    assert s.get_cron_schedule(sid)["fire_count"] == 1


def _cron_value(sid, expression=b"* * * * *", handler=b"h", max_attempts=1):
    return encode_cron({"id": sid, "expression": expression,
                        "job": {"handler": handler, "payload": b"", "available_at_ms": 0, "deadline_ms": None,
                                "priority": 0, "max_attempts": max_attempts, "retry_backoff_ms": 0,
                                "idempotency_key": None},
                        "next_run_ms": 0, "enabled": True, "fire_count": 0, "last_fired_at_ms": None})


GOOD = _cron_value(b"\xee" * 16)
BAD_RECORDS = {
    "version": (b"\x02" + GOOD[1:], CORRUPT),
    "truncated": (GOOD[:-1], CORRUPT),
    "leftover": (GOOD + b"\x00", CORRUPT),
    "enabled byte": (GOOD[:-10] + b"\x02" + GOOD[-9:], CORRUPT),
    "last-fired flag": (GOOD[:-1] + b"\x02", CORRUPT),
    "expression length": (GOOD[:17] + struct.pack("<I", 10**6) + GOOD[21:], CORRUPT),
    "empty handler": (_cron_value(b"\xee" * 16, handler=b""), CORRUPT),
    "zero attempts": (_cron_value(b"\xee" * 16, max_attempts=0), CORRUPT),
    "not UTF-8": (_cron_value(b"\xee" * 16, expression=b"* * * * \xff"), "cron expression must be UTF-8"),
    "surrogate": (_cron_value(b"\xee" * 16, expression=b"* * * * \xed\xa0\x80"), "cron expression must be UTF-8"),
    "bad expression": (_cron_value(b"\xee" * 16, expression=b"* * *"),
                       "cron error: cron expression must contain exactly five fields"),
}


@pytest.mark.parametrize("value, message", list(BAD_RECORDS.values()), ids=list(BAD_RECORDS))
def test_corrupt_record_fails_the_tick_before_anything_fires(store_path, value, message):
    good_id, bad_id = b"\x00" * 16, b"\xee" * 16
    log = sf.LogBuilder().put(1, CRON_PREFIX + good_id, _cron_value(good_id))
    data = log.put(1, CRON_PREFIX + bad_id, value).commit(1).write(store_path)
    with Store.open(str(store_path)) as s:
        for call in (lambda: s.tick_cron_schedules(MINUTE, 10), s.list_cron_schedules,
                     lambda: s.get_cron_schedule(bad_id), lambda: s.set_cron_schedule_enabled(bad_id, False)):
            with raises_exactly(Error, message):
                call()
        assert s.get_cron_schedule(good_id)["fire_count"] == 0
    assert store_path.read_bytes() == data


def test_crafted_good_record_round_trips(store_path):
    sid = b"\x01" * 16
    sf.LogBuilder().put(1, CRON_PREFIX + sid, _cron_value(sid)).commit(1).write(store_path)
    with Store.open(str(store_path)) as s:
        assert s.tick_cron_schedules(0, 10) == (1, 1)
        assert s.get(CRON_PREFIX + sid) == encode_cron(s.get_cron_schedule(sid))
        assert s.get_cron_schedule(sid)["last_fired_at_ms"] == 0
