"""Triggers: sources and their checks, the dict and record, firing (payload choice, disabled triggers,
idempotent templates, atomicity), listing order and corrupt records."""

from __future__ import annotations

import struct

import pytest

import storefile as sf
from expect import raises_exactly
from ombrel_store import _native
from test_jobs import HISTORY_PREFIX, JOB_PREFIX

Store, Error = _native.Store, _native.OmbrelStoreError
TRIGGER_PREFIX = b"\xffomb:trigger:data:"
CORRUPT = "trigger record is corrupt"
ID_LENGTH = "trigger id must be exactly 16 bytes"
SOURCE_MESSAGE = "trigger source must be one of: manual, collection, stream, topic"
SOURCES = ["manual", "collection", "stream", "topic"]
KEYS = ["id", "name", "source", "source_name", "operation", "job", "enabled", "fire_count", "last_fired_at_ms"]
U64_MAX = 2**64 - 1
TEMPLATE = {"handler": b"h", "payload": b"tp", "available_at_ms": 0, "deadline_ms": None, "priority": 0,
            "max_attempts": 3, "retry_backoff_ms": 1000, "idempotency_key": None}


@pytest.fixture
def s(open_store):
    return open_store(durability="relaxed")


def field(data: bytes) -> bytes:
    return struct.pack("<I", len(data)) + data


def optional_i64(value) -> bytes:
    return b"\x00" if value is None else b"\x01" + struct.pack("<q", value)


def encode_trigger(t: dict) -> bytes:
    """The record of a trigger dict, from the layout description."""
    out = b"\x01" + t["id"] + field(t["name"]) + bytes([SOURCES.index(t["source"])])
    out += b"".join(field(t[f]) for f in ("source_name", "operation") if t[f] is not None)
    job = t["job"]
    out += field(job["handler"]) + field(job["payload"]) + struct.pack("<q", job["available_at_ms"])
    out += optional_i64(job["deadline_ms"])
    out += struct.pack("<iIQ", job["priority"], job["max_attempts"], job["retry_backoff_ms"])
    key = job["idempotency_key"]
    out += b"\x00" if key is None else b"\x01" + field(key)
    return out + struct.pack("<BQ", t["enabled"], t["fire_count"]) + optional_i64(t["last_fired_at_ms"])


def trigger(trigger_id=b"\x10" * 16, name=b"t", source="manual", source_name=None, operation=None, job=None,
            **fields) -> dict:
    return {"id": trigger_id, "name": name, "source": source, "source_name": source_name, "operation": operation,
            "job": dict(TEMPLATE, **(job or {})), "enabled": True, "fire_count": 0, "last_fired_at_ms": None} | fields


def crafted_trigger(store_path, *extra, **fields):
    t = trigger(**fields)
    return t, sf.committed_file(store_path, [(TRIGGER_PREFIX + t["id"], encode_trigger(t)), *extra])


@pytest.mark.parametrize("source, kwargs, shown", [
    ("manual", {"source_name": b"ignored", "operation": b"ignored"}, (None, None)),
    ("collection", {"source_name": b"users", "operation": b"insert"}, (b"users", b"insert")),
    ("stream", {"source_name": b"clicks", "operation": b"ignored"}, (b"clicks", None)),
    ("topic", {"source_name": bytearray(b"news")}, (b"news", None)),
])
def test_create_dict_and_record(s, source, kwargs, shown):
    spec = {"available_at_ms": -5, "deadline_ms": 900, "priority": -7, "max_attempts": 2**32 - 1,
            "retry_backoff_ms": U64_MAX, "idempotency_key": b"k"}
    tid = s.create_trigger(b"on \xff", source, b"mail", b"", **kwargs, **spec)
    got = s.get_trigger(tid)
    assert list(got) == KEYS and list(got["job"]) == list(TEMPLATE)
    expected = trigger(tid, b"on \xff", source, *shown, job={"handler": b"mail", "payload": b"", **spec})
    assert got == expected and len(tid) == 16
    assert s.scan_prefix(TRIGGER_PREFIX) == [(TRIGGER_PREFIX + tid, encode_trigger(expected))]
    assert s.list_triggers() == [expected]


def test_a_deadline_of_the_smallest_time_is_no_deadline(s):
    tid = s.create_trigger(b"t", "manual", b"h", b"", deadline_ms=-(2**63))
    assert s.get_trigger(tid)["job"]["deadline_ms"] is None
    assert s.get_job(s.fire_trigger(tid, b"", 0))["deadline_ms"] is None


@pytest.mark.parametrize("source, kwargs, message", [
    ("Manual", {}, SOURCE_MESSAGE), ("STREAM", {"source_name": b"s"}, SOURCE_MESSAGE), ("", {}, SOURCE_MESSAGE),
    ("queue", {"source_name": b"q"}, SOURCE_MESSAGE), ("manual ", {}, SOURCE_MESSAGE),
    ("collection", {}, "collection trigger requires source_name"),
    ("collection", {"operation": b"insert"}, "collection trigger requires source_name"),
    ("collection", {"source_name": b"users"}, "collection trigger requires operation"),
    ("collection", {"source_name": b"users", "operation": None}, "collection trigger requires operation"),
    ("stream", {"operation": b"x"}, "stream trigger requires source_name"),
    ("topic", {"source_name": None}, "topic trigger requires source_name"),
])
def test_source_arguments_are_checked_before_the_store(open_store, store_path, source, kwargs, message):
    s = open_store()
    with raises_exactly(Error, message):  # before the store's own checks: the empty name is not reported
        s.create_trigger(b"", source, b"", b"", max_attempts=0, **kwargs)
    assert s.list_triggers() == []
    s.close()
    data = store_path.read_bytes()
    with raises_exactly(Error, message):  # before the store is touched at all
        s.create_trigger(b"t", source, b"h", b"", **kwargs)
    assert store_path.read_bytes() == data


@pytest.mark.parametrize("name, source, handler, kwargs, message", [
    (b"", "stream", b"h", {"source_name": b""}, "trigger name cannot be empty"),
    (b"", "manual", b"", {"max_attempts": 0}, "trigger name cannot be empty"),
    (b"t", "stream", b"h", {"source_name": b""}, CORRUPT),
    (b"t", "topic", b"h", {"source_name": b""}, CORRUPT),
    (b"t", "collection", b"h", {"source_name": b"", "operation": b"insert"}, CORRUPT),
    (b"t", "collection", b"h", {"source_name": b"users", "operation": b""}, CORRUPT),
    (b"t", "manual", b"", {}, CORRUPT),
    (b"t", "manual", b"h", {"max_attempts": 0}, CORRUPT),
])
def test_definitions_the_store_refuses(s, name, source, handler, kwargs, message):
    with raises_exactly(Error, message):
        s.create_trigger(name, source, handler, b"", **kwargs)
    assert s.list_triggers() == [] and s.scan_prefix(b"\xff") == []


@pytest.mark.parametrize("template, event, used", [(b"tp", b"", b"tp"), (b"tp", b"ev", b"ev"), (b"", b"", b""),
                                                   (b"", b"\x00", b"\x00")])
def test_the_event_payload_replaces_the_template_payload_unless_empty(s, template, event, used):
    tid = s.create_trigger(b"t", "manual", b"h", template)
    assert s.get_job(s.fire_trigger(tid, event, 0))["payload"] == used
    assert s.get_trigger(tid)["job"]["payload"] == template


def test_the_fired_job_follows_the_template(s):
    spec = {"available_at_ms": 500, "deadline_ms": 9000, "priority": 4, "max_attempts": 7, "retry_backoff_ms": 25}
    tid = s.create_trigger(b"t", "stream", b"resize", b"img", source_name=b"uploads", **spec)
    job_id = s.fire_trigger(tid, b"", 120)
    assert s.get_job(job_id) == {"id": job_id, "state": "ready", "handler": b"resize", "payload": b"img", **spec,
                                 "attempts": 0, "lease_until_ms": 0, "lease_generation": 0, "idempotency_key": None}
    assert s.job_history(job_id) == [(0, 120, "submitted", b"transactional")]
    shown = s.get_trigger(tid)
    assert (shown["fire_count"], shown["last_fired_at_ms"], shown["source_name"]) == (1, 120, b"uploads")
    assert s.claim_job(499, 10) is None and s.claim_job(500, 10)["id"] == job_id  # available_at_ms is absolute


def test_a_disabled_trigger_fires_nothing_and_writes_nothing(s, store_path):
    tid = s.create_trigger(b"t", "manual", b"h", b"")
    first = s.fire_trigger(tid, b"", 1)
    assert s.set_trigger_enabled(tid, False) is True
    before, data = s.get_trigger(tid), store_path.read_bytes()
    assert before == trigger(tid, enabled=False, fire_count=1, last_fired_at_ms=1, job={"payload": b""})
    assert s.fire_trigger(tid, b"ev", 2) is None
    assert s.get_trigger(tid) == before and store_path.read_bytes() == data
    assert [j["id"] for j in s.list_jobs()] == [first]
    assert s.set_trigger_enabled(tid, True) is True
    assert s.fire_trigger(tid, b"ev", 3) not in (None, first)
    assert s.get_trigger(tid) == dict(before, enabled=True, fire_count=2, last_fired_at_ms=3)


def test_an_idempotent_template_reuses_its_active_job_and_still_counts(s):
    tid = s.create_trigger(b"t", "manual", b"h", b"", idempotency_key=b"once")
    job_id = s.fire_trigger(tid, b"a", 10)
    assert s.fire_trigger(tid, b"b", 20) == job_id
    assert [(j["id"], j["payload"]) for j in s.list_jobs()] == [(job_id, b"a")]
    assert s.job_history(job_id) == [(0, 10, "submitted", b"transactional")]
    assert (s.get_trigger(tid)["fire_count"], s.get_trigger(tid)["last_fired_at_ms"]) == (2, 20)
    claimed = s.claim_job(30, 100)
    assert s.fire_trigger(tid, b"", 40) == job_id  # a leased job still holds the key
    s.complete_job(job_id, claimed["lease_generation"], 50)
    again = s.fire_trigger(tid, b"", 60)  # a finished job frees it
    assert again != job_id and s.get_job(again)["idempotency_key"] == b"once"
    assert s.get_trigger(tid)["fire_count"] == 4


def test_triggers_survive_reopening(open_store):
    s = open_store()
    tid = s.create_trigger(b"t", "collection", b"h", b"p", source_name=b"c", operation=b"update")
    job_id = s.fire_trigger(tid, b"", 5)
    s.set_trigger_enabled(tid, False)
    shown = s.get_trigger(tid)
    s.close()
    s = open_store()
    assert s.get_trigger(tid) == shown and s.list_triggers() == [shown] and s.get_job(job_id)["payload"] == b"p"


@pytest.mark.parametrize("call", [
    lambda s, i: s.get_trigger(i), lambda s, i: s.set_trigger_enabled(i, True),
    lambda s, i: s.fire_trigger(i, b"", 0),
], ids=["get", "set_enabled", "fire"])
@pytest.mark.parametrize("length", [0, 15, 17])
def test_ids_of_another_length(s, call, length):
    with raises_exactly(Error, ID_LENGTH):
        call(s, b"\x01" * length)


def test_unknown_ids(s):
    assert s.get_trigger(bytes(16)) is None and s.set_trigger_enabled(bytes(16), False) is False
    with raises_exactly(Error, "trigger not found"):
        s.fire_trigger(bytes(16), b"", 0)
    assert s.scan_prefix(b"\xff") == []


def test_listing_is_by_name_bytes_then_id(store_path):
    named = [(b"b", b"\x00" * 16), (b"a", b"\xff" * 16), (b"ab", b"\x01" * 16), (b"a\x80", b"\x02" * 16),
             (b"a", b"\x80" * 16), (b"a\x7f", b"\x03" * 16)]
    triggers = [trigger(i, n) for n, i in named]
    sf.committed_file(store_path, ((TRIGGER_PREFIX + t["id"], encode_trigger(t)) for t in triggers))
    with Store.open(str(store_path)) as s:
        assert [(t["name"], t["id"][:1]) for t in s.list_triggers()] == [  # bytes compare unsigned
            (b"a", b"\x80"), (b"a", b"\xff"), (b"ab", b"\x01"), (b"a\x7f", b"\x03"), (b"a\x80", b"\x02"),
            (b"b", b"\x00")]


def test_a_crafted_record_is_read_and_rewritten_by_the_layout(store_path):
    t, _ = crafted_trigger(store_path, source="collection", source_name=b"c", operation=b"op", fire_count=41,
                           last_fired_at_ms=-3, job={"deadline_ms": -1, "priority": -2, "idempotency_key": b""})
    with Store.open(str(store_path)) as s:
        assert s.get_trigger(t["id"]) == t and s.list_triggers() == [t]
        job_id = s.fire_trigger(t["id"], b"", 77)
        assert s.get_job(job_id)["idempotency_key"] == b"" and s.get_job(job_id)["deadline_ms"] == -1
        assert s.get(TRIGGER_PREFIX + t["id"]) == encode_trigger(dict(t, fire_count=42, last_fired_at_ms=77))


GOOD = trigger()
COLLECTION = trigger(source="collection", source_name=b"c", operation=b"op")
GOOD_BYTES = encode_trigger(GOOD)
NAME_END = 1 + 16 + 4 + 1
BAD_RECORDS = {
    "empty": b"",
    "version": b"\x02" + GOOD_BYTES[1:],
    "source code": GOOD_BYTES[:NAME_END] + b"\x04" + GOOD_BYTES[NAME_END + 1:],
    "name overrun": GOOD_BYTES[:17] + struct.pack("<I", 1000) + GOOD_BYTES[21:],
    "enabled flag": GOOD_BYTES[:-10] + b"\x02" + GOOD_BYTES[-9:],
    "last fired flag": GOOD_BYTES[:-1] + b"\x02",
    "deadline flag": encode_trigger(trigger(job={"deadline_ms": 5})).replace(b"\x01\x05" + bytes(7), b"\x02\x05"
                                                                             + bytes(7)),
    "key flag": encode_trigger(trigger(job={"idempotency_key": b"k"})).replace(b"\x01\x01\x00\x00\x00k",
                                                                               b"\x03\x01\x00\x00\x00k"),
    "leftover byte": GOOD_BYTES + b"\x00",
    "truncated": GOOD_BYTES[:-1],
    "never fired, then a time": GOOD_BYTES + bytes(8),
    "stream without its name": encode_trigger(trigger(source="stream", source_name=b"")),
    "topic without its name": encode_trigger(trigger(source="topic", source_name=b"")),
    "collection without a name": encode_trigger(trigger(source="collection", source_name=b"", operation=b"op")),
    "collection without an operation": encode_trigger(trigger(source="collection", source_name=b"c", operation=b"")),
    "collection laid out as a stream": encode_trigger(dict(COLLECTION, operation=None)),
    "manual with a source name": encode_trigger(dict(GOOD, source_name=b"s")),
    "another trigger's id": encode_trigger(trigger(b"\x11" * 16)),
}


@pytest.mark.parametrize("value", BAD_RECORDS.values(), ids=list(BAD_RECORDS))
def test_a_corrupt_record_is_refused_and_nothing_is_written(store_path, value):
    data = sf.committed_file(store_path, [(TRIGGER_PREFIX + GOOD["id"], value)])
    with Store.open(str(store_path)) as s:
        for call in (lambda: s.get_trigger(GOOD["id"]), s.list_triggers, lambda: s.fire_trigger(GOOD["id"], b"", 1),
                     lambda: s.set_trigger_enabled(GOOD["id"], False)):
            with raises_exactly(Error, CORRUPT):
                call()
    assert store_path.read_bytes() == data


@pytest.mark.parametrize("suffix", [b"\x10" * 15, b"\x10" * 17])
def test_a_record_under_a_key_of_another_length_fails_the_listing(store_path, suffix):
    sf.committed_file(store_path, [(TRIGGER_PREFIX + suffix, GOOD_BYTES)])
    with Store.open(str(store_path)) as s, raises_exactly(Error, CORRUPT):
        s.list_triggers()


JOB_ID = b"\x20" * 16
CORRUPT_JOB = (JOB_PREFIX + JOB_ID, b"\x01\x09")


@pytest.mark.parametrize("fields, extra, message", [
    ({"job": {"handler": b""}}, [], CORRUPT),
    ({"job": {"max_attempts": 0}}, [], CORRUPT),
    ({"fire_count": U64_MAX}, [], "trigger fire count overflow"),
    ({"job": {"idempotency_key": b"k"}}, [CORRUPT_JOB],
     "transactional job error: job record is corrupt or unsupported"),
], ids=["empty handler", "no attempts", "fire count at its limit", "unreadable job under the key lookup"])
def test_a_firing_that_fails_writes_nothing(store_path, fields, extra, message):
    t, data = crafted_trigger(store_path, *extra, **fields)
    with Store.open(str(store_path)) as s:
        assert s.get_trigger(t["id"]) == t
        with raises_exactly(Error, message):
            s.fire_trigger(t["id"], b"ev", 5)
        assert s.get_trigger(t["id"]) == t and s.scan_prefix(HISTORY_PREFIX) == []
        assert [k for k, _ in s.scan_prefix(JOB_PREFIX)] == [k for k, _ in extra]
    assert store_path.read_bytes() == data


def test_trigger_methods_wait_for_a_transaction(s):
    tid = s.create_trigger(b"t", "manual", b"h", b"")
    tx = s.transaction()
    with raises_exactly(_native.StoreBusyError):
        s.fire_trigger(tid, b"", 0)
    tx.rollback()
    assert s.get_trigger(tid)["fire_count"] == 0
