"""Named schedules: a service that ensures its schedules at every start keeps one of each, across
reopening and compaction; a named cron schedule far behind can skip its missed runs."""

from __future__ import annotations

import struct
from datetime import datetime, timezone

import pytest

import storefile as sf
from expect import raises_exactly
from ombrel_store import _native

Store, Error = _native.Store, _native.OmbrelStoreError
NAME_PREFIXES = {"interval": b"\xffomb:schedule:name:", "cron": b"\xffomb:cron:name:"}
CRON_PREFIX = b"\xffomb:cron:data:"
CRON_CORRUPT = "cron schedule record is corrupt"


def ms(hour, minute):
    return int(datetime(2024, 1, 1, hour, minute, tzinfo=timezone.utc).timestamp() * 1000)


ENSURE = {  # kind: ensure the schedule named `name`
    "interval": lambda s, name, **kw: s.ensure_schedule(name, b"report", b"p", 0, mode="interval", every_ms=60_000, **kw),
    "cron": lambda s, name, **kw: s.ensure_cron_schedule(name, b"*/15 * * * *".decode(), b"report", b"p", 0, **kw),
}
LIST = {"interval": lambda s: s.scan_prefix(b"\xffomb:schedule:data:"), "cron": lambda s: s.list_cron_schedules()}


def name_key(kind, name):
    return NAME_PREFIXES[kind] + struct.pack(">I", len(name)) + name


@pytest.mark.parametrize("kind", list(ENSURE))
def test_a_restarted_service_keeps_one_schedule_per_name(store_path, kind):
    first = []
    for start in range(3):  # a service that ensures its schedules at each start
        with Store.open(str(store_path)) as s:
            got = [ENSURE[kind](s, name) for name in (b"hourly", b"daily")]
            first = first or got
            assert got == [{"id": g["id"], "created": start == 0} for g in first]
            assert len(LIST[kind](s)) == 2
            assert s.get(name_key(kind, b"hourly")) == b"\x01" + first[0]["id"]
    compacted = store_path.with_name("compacted.omb")
    with Store.open(str(store_path)) as s:
        s.compact_copy_to(str(compacted))
    with Store.open(str(compacted)) as s:
        assert ENSURE[kind](s, b"hourly") == {"id": first[0]["id"], "created": False}


@pytest.mark.parametrize("kind", list(ENSURE))
def test_a_name_whose_schedule_is_gone_or_whose_record_is_damaged(store_path, kind):
    log = sf.LogBuilder()
    log.put(1, name_key(kind, b"gone"), b"\x01" + bytes(16))
    log.put(1, name_key(kind, b"bad"), b"\x01" + bytes(15))
    log.commit(1).write(store_path)
    with Store.open(str(store_path)) as s:
        made = ENSURE[kind](s, b"gone")
        assert made["created"] and s.get(name_key(kind, b"gone")) == b"\x01" + made["id"]
        message = CRON_CORRUPT if kind == "cron" else "job record is corrupt or unsupported"
        with raises_exactly(Error, message):
            ENSURE[kind](s, b"bad")
        assert len(LIST[kind](s)) == 1


@pytest.mark.parametrize("kind, message", [("interval", "schedule name cannot be empty"),
                                           ("cron", "cron schedule name cannot be empty")])
def test_an_empty_name_is_refused(s_relaxed, kind, message):
    with raises_exactly(Error, message):
        ENSURE[kind](s_relaxed, b"")
    assert LIST[kind](s_relaxed) == []


@pytest.fixture
def s_relaxed(open_store):
    return open_store(durability="relaxed")


def test_bad_arguments_are_refused_before_anything_is_written(s_relaxed):
    with pytest.raises(ValueError):
        ENSURE["cron"](s_relaxed, b"n", missed_runs="later")
    with raises_exactly(Error, "interval schedule requires every_ms"):
        s_relaxed.ensure_schedule(b"n", b"h", b"", 0, mode="interval")
    assert s_relaxed.scan_prefix(b"\xffomb:") == []


@pytest.mark.parametrize("policy, fired_at, next_run", [("catch_up", [ms(10, 15), ms(10, 30)], ms(10, 45)),
                                                         ("skip", [ms(10, 15)], ms(11, 15))])
def test_a_far_behind_cron_schedule_skips_or_catches_up(s_relaxed, policy, fired_at, next_run):
    sched = s_relaxed.ensure_cron_schedule(b"n", "*/15 * * * *", b"h", b"", ms(10, 7), missed_runs=policy)["id"]
    for _ in range(2):
        s_relaxed.tick_cron_schedules(ms(11, 0), 10)
    assert [job["available_at_ms"] for job in s_relaxed.list_jobs()] == fired_at
    got = s_relaxed.get_cron_schedule(sched)
    assert (got["next_run_ms"], got["fire_count"]) == (next_run, len(fired_at))


def test_a_skipping_schedule_is_stored_as_version_two_and_others_as_before(s_relaxed):
    ids = {policy: s_relaxed.ensure_cron_schedule(policy.encode(), "0 * * * *", b"h", b"", 0, missed_runs=policy)["id"]
           for policy in ("catch_up", "skip")}
    plain = s_relaxed.create_cron_schedule("0 * * * *", b"h", b"", 0)
    catch_up, skip = (s_relaxed.get(CRON_PREFIX + ids[p]) for p in ("catch_up", "skip"))
    assert catch_up[17:] == s_relaxed.get(CRON_PREFIX + plain)[17:] and catch_up[0] == 1
    assert skip == b"\x02" + ids["skip"] + catch_up[17:] + b"\x01"


@pytest.mark.parametrize("tail", [b"\x00", b"", b"\x01\x01", b"\x02"])
def test_a_damaged_version_two_record_is_refused(store_path, tail):
    with Store.open(str(store_path)) as s:
        sched = s.create_cron_schedule("0 * * * *", b"h", b"", 0)
        version_one = s.get(CRON_PREFIX + sched)
    log = sf.LogBuilder()
    log.put(1, CRON_PREFIX + sched, b"\x02" + version_one[1:] + tail)
    log.commit(1).write(store_path)
    with Store.open(str(store_path)) as s, raises_exactly(Error, CRON_CORRUPT):
        s.get_cron_schedule(sched)
