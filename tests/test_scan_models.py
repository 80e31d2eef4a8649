"""Long random sequences of schedule, cron, workflow and object operations, each answer of a tick,
resume, children listing, purge or collection checked against a brute-force reading of every record
(decoded here from the record layouts) taken just before the call: the same records chosen, in the
same order (through the change feed), the same counts, the same failures on damaged records."""

from __future__ import annotations

import re
import shutil
import struct
import tempfile
from pathlib import Path

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, precondition, rule

import storefile as sf
from expect import raises_exactly
from ombrel_store import _native

Store, Error = _native.Store, _native.OmbrelStoreError
SCHEDULE, CRON = b"\xffomb:schedule:data:", b"\xffomb:cron:data:"
INSTANCE, HISTORY = b"\xffomb:wf:instance:", b"\xffomb:wf:history:"
DATA, META, REF = b"\xffomb:obj:data:", b"\xffomb:obj:meta:", b"\xffomb:obj:ref:"
MINUTE = 60_000
RUNS = settings(max_examples=50, stateful_step_count=50, deadline=None, database=None,
                suppress_health_check=list(HealthCheck))
LIMITS = st.sampled_from([0, 1, 2, 3, 100])
JUNK = st.sampled_from([b"", b"\x01", b"\x02" + bytes(60), b"\x01" + bytes(20)])


class Reader:
    """Reads a record value front to back; an overrun or a bad flag raises ValueError."""

    def __init__(self, value):
        self.value, self.pos = value, 0

    def take(self, n):
        if self.pos + n > len(self.value):
            raise ValueError("overrun")
        self.pos += n
        return self.value[self.pos - n : self.pos]

    def unpack(self, fmt):
        return struct.unpack(fmt, self.take(struct.calcsize(fmt)))[0]

    def field(self):
        return self.take(self.unpack("<I"))

    def flag(self):
        flag = self.unpack("<B")
        if flag > 1:
            raise ValueError("flag")
        return flag == 1

    def end(self):
        if self.pos != len(self.value):
            raise ValueError("leftover")


def decoded(decode, *args):
    try:
        return decode(*args)
    except ValueError:
        return None


class StoreMachine(RuleBasedStateMachine):
    """A store in a private directory, a clock, damage written into the file between opens, and
    the keys each call wrote in order, read back from the change feed."""

    def __init__(self):
        super().__init__()
        self.dir = Path(tempfile.mkdtemp(prefix="ombrel-model-"))
        self.path = self.dir / "model.omb"
        self.store = Store.open(str(self.path), durability="relaxed")
        self.now, self.seen_tx, self.damaged = 0, None, set()

    def teardown(self):
        self.store.close()
        shutil.rmtree(self.dir)

    def writes(self, prefix):
        """Keys under `prefix` written (put or deleted) since the last call, in commit order."""
        keys = []
        while changes := self.store.changes_after(self.seen_tx, 1000):
            keys += [c["key"] for c in changes if c["key"].startswith(prefix)]
            self.seen_tx = changes[-1]["tx_id"]
        return keys

    def scan(self, prefix):
        self.writes(b"")
        return self.store.scan_prefix(prefix)

    def reopen(self, puts=(), deletes=()):
        """Closes the store, appends one committed transaction of raw writes, opens it again."""
        self.damaged |= {key for key, _ in puts}
        self.store.close()
        records = sf.parse_records(self.path.read_bytes())
        tx = max((r[1] for r in records), default=0) + 1
        log = sf.LogBuilder(b"", records[-1][2] + 1 if records else 1)
        for key, value in puts:
            log.put(tx, key, value)
        for key in deletes:
            log.delete(tx, key)
        with open(self.path, "ab") as f:
            f.write(log.commit(tx).log_bytes() if puts or deletes else b"")
        self.store = Store.open(str(self.path), durability="relaxed")

    def damage_under(self, prefix, junk, odd):
        """Writes `junk` under a fresh id or, when `odd`, the first record's value again under its
        key and one more byte, or under the all-zero id."""
        records = self.store.scan_prefix(prefix)
        key, value = prefix + bytes([len(records) % 256]) * 16, junk
        if odd and records:
            (key, value), *_ = records
            key = key + b"x" if len(junk) % 2 else prefix + bytes(16)
        self.reopen(puts=[(key, value)])

    @rule(step=st.integers(0, 5 * MINUTE))
    def advance(self, step):
        self.now += step

    @rule()
    def reopen_unchanged(self):
        self.reopen()

    @rule()
    def repair(self):
        self.reopen(deletes=sorted(key for key in self.damaged if self.store.contains(key)))
        self.damaged.clear()


# ---- interval and cron schedules ---------------------------------------------------------------

def decode_schedule(value):
    r = Reader(value)
    if r.unpack("<B") != 1:
        raise ValueError("version")
    r.take(16)
    enabled, next_run = r.flag(), r.unpack("<q")
    every = r.unpack("<Q") if r.flag() else None
    if every == 0:
        raise ValueError("every")
    r.field()
    r.end()
    return {"enabled": enabled, "next_run": next_run, "every": every}


def decode_cron(key, value):
    r = Reader(value)
    if r.unpack("<B") != 1:
        raise ValueError("version")
    sid = r.take(16)
    expression, handler, _ = r.field(), r.field(), r.field()
    r.take(8)
    if r.flag():
        r.take(8)
    r.take(4)
    attempts, _ = r.unpack("<I"), r.take(8)
    if r.flag():
        r.field()
    schedule = {"next_run": r.unpack("<q"), "enabled": r.flag(), "fire_count": r.unpack("<Q"),
                "last": r.unpack("<q") if r.flag() else None, "every_minutes": int(expression[2:].split()[0])}
    r.end()
    if key != CRON + sid or not handler or attempts == 0:
        raise ValueError("not its key")
    return schedule


class Schedules(StoreMachine):
    def __init__(self):
        super().__init__()
        self.schedule_ids, self.cron_ids = [], []

    @rule(first=st.integers(-MINUTE, 10 * MINUTE), every=st.one_of(st.none(), st.integers(1, 3 * MINUTE)))
    def create_schedule(self, first, every):
        mode = "once" if every is None else "interval"
        self.schedule_ids.append(self.store.create_schedule(b"h", b"", self.now + first, mode=mode, every_ms=every))

    @rule(every_minutes=st.sampled_from([1, 2, 5, 15, 30]), ahead=st.integers(-3 * MINUTE, 30 * MINUTE))
    def create_cron(self, every_minutes, ahead):
        self.cron_ids.append(self.store.create_cron_schedule(f"*/{every_minutes} * * * *", b"h", b"",
                                                             max(0, self.now + ahead)))

    @precondition(lambda self: self.schedule_ids)
    @rule(i=st.integers(0, 10**6), enabled=st.booleans())
    def enable_schedule(self, i, enabled):
        try:
            self.store.set_schedule_enabled(self.schedule_ids[i % len(self.schedule_ids)], enabled)
        except Error:
            pass  # damaged by the machine

    @precondition(lambda self: self.cron_ids)
    @rule(i=st.integers(0, 10**6), enabled=st.booleans())
    def enable_cron(self, i, enabled):
        try:
            self.store.set_cron_schedule_enabled(self.cron_ids[i % len(self.cron_ids)], enabled)
        except Error:
            pass

    @rule(limit=LIMITS)
    def tick_schedules(self, limit):
        records = self.scan(SCHEDULE)
        fired, failed, expected = [], False, dict(records)
        for key, value in records:
            if len(fired) == limit:
                break
            schedule = decoded(decode_schedule, value)
            if schedule is None:
                failed = True
                break
            if schedule["enabled"] and schedule["next_run"] <= self.now:
                fired.append(key)
                at, every = schedule["next_run"], schedule["every"]
                moved = (b"\x00", at) if every is None else (b"\x01", at + ((self.now - at) // every + 1) * every)
                expected[key] = value[:17] + moved[0] + struct.pack("<q", moved[1]) + value[26:]
        if failed:
            with raises_exactly(Error, "job record is corrupt or unsupported"):
                self.store.tick_schedules(self.now, limit)
        else:
            assert self.store.tick_schedules(self.now, limit) == (len(records), len(fired))
        assert self.writes(SCHEDULE) == fired
        assert dict(self.store.scan_prefix(SCHEDULE)) == expected

    @rule(limit=LIMITS)
    def tick_cron(self, limit):
        records = self.scan(CRON)
        schedules = [(key, decoded(decode_cron, key, value)) for key, value in records]
        if any(schedule is None for _, schedule in schedules):
            with raises_exactly(Error, "cron schedule record is corrupt"):
                self.store.tick_cron_schedules(self.now, limit)
            assert self.writes(b"") == []
            return
        fired = []
        for key, schedule in sorted(schedules, key=lambda pair: pair[1]["next_run"]):
            if len(fired) == limit:
                break
            if schedule["enabled"] and schedule["next_run"] <= self.now:
                fired.append(key)
        assert self.store.tick_cron_schedules(self.now, limit) == (len(records), len(fired))
        assert self.writes(CRON) == fired
        before, after = dict(schedules), dict(self.store.scan_prefix(CRON))
        for key, schedule in before.items():
            if key in fired:
                at, step = schedule["next_run"], schedule["every_minutes"] * MINUTE
                schedule = dict(schedule, next_run=(at // step + 1) * step, fire_count=schedule["fire_count"] + 1,
                                last=at)
            assert decode_cron(key, after[key]) == schedule

    @rule(junk=JUNK, odd=st.booleans(), cron=st.booleans())
    def damage(self, junk, odd, cron):
        self.damage_under(CRON if cron else SCHEDULE, junk, odd)



# ---- workflows ---------------------------------------------------------------------------------

TERMINAL = (2, 3, 4)


def decode_instance(key, value):
    r = Reader(value)
    if r.unpack("<B") != 1:
        raise ValueError("version")
    wf_id, status = r.take(16), r.unpack("<B")
    created, updated = r.unpack("<q"), r.unpack("<q")
    parent = r.take(16) if r.flag() else None
    wf_type, _, _ = r.field(), r.field(), r.field()
    wait = r.unpack("<B")
    resume_at = r.unpack("<q") if wait == 2 else None
    if wait == 1:
        r.field()
    r.end()
    if status > 4 or wait > 2 or key != INSTANCE + wf_id:
        raise ValueError("bad record")
    return {"id": wf_id, "status": status, "created": created, "updated": updated, "parent": parent,
            "type": wf_type, "due": resume_at if status == 1 else None}


class Workflows(StoreMachine):
    def __init__(self):
        super().__init__()
        self.ids = []

    def pick(self, i):
        return self.ids[i % len(self.ids)]

    def instances(self):
        records = self.scan(INSTANCE)
        return records, [(key, decoded(decode_instance, key, value)) for key, value in records]

    @rule(wf_type=st.sampled_from([b"a", b"b"]), parent=st.one_of(st.none(), st.integers(0, 10**6)))
    def create(self, wf_type, parent):
        parent_id = self.pick(parent) if parent is not None and self.ids else None
        self.ids.append(self.store.create_workflow(wf_type, b"start", b"", self.now, parent_id))

    @precondition(lambda self: self.ids)
    @rule(i=st.integers(0, 10**6), move=st.sampled_from(["step", "signal wait", "timer", "signal", "complete", "fail",
                                                          "cancel"]),
          at=st.integers(-2 * MINUTE, 5 * MINUTE))
    def drive(self, i, move, at):
        wf_id, now = self.pick(i), self.now
        call = {"step": lambda: self.store.set_workflow_step(wf_id, b"next", b"s", now),
                "signal wait": lambda: self.store.wait_for_signal(wf_id, b"go", now),
                "timer": lambda: self.store.wait_until(wf_id, now + at, now),
                "signal": lambda: self.store.signal_workflow(wf_id, b"go", b"p", now),
                "complete": lambda: self.store.complete_workflow(wf_id, b"done", now),
                "fail": lambda: self.store.fail_workflow(wf_id, b"err", now),
                "cancel": lambda: self.store.cancel_workflow(wf_id, b"why", now)}[move]
        try:
            call()
        except Error:
            pass  # terminal, or damaged by the machine

    @rule(limit=LIMITS)
    def resume(self, limit):
        records, instances = self.instances()
        due, failed = [], False
        for key, inst in instances:
            if len(due) == limit:
                break
            if inst is None:
                failed = True
                break
            if inst["due"] is not None and inst["due"] <= self.now:
                due.append(key)
        if failed:
            due = []  # the damaged record ends the call before anything is resumed
            with raises_exactly(Error, "workflow record is corrupt or unsupported"):
                self.store.resume_due_workflows(self.now, limit)
        else:
            assert self.store.resume_due_workflows(self.now, limit) == {"scanned": len(records), "resumed": len(due)}
        assert self.writes(INSTANCE) == due
        after = dict(self.store.scan_prefix(INSTANCE))
        for key, value in records:
            if key in due:
                assert self.store.get_workflow(key[len(INSTANCE):])["status"] == "running"
            else:
                assert after[key] == value

    @rule(parent=st.integers(0, 10**6))
    def children(self, parent):
        parent_id = self.pick(parent) if self.ids else bytes(16)
        _, instances = self.instances()
        if any(inst is None for _, inst in instances):
            with raises_exactly(Error, "workflow record is corrupt or unsupported"):
                self.store.workflow_children(parent_id)
            return
        expected = sorted((inst for _, inst in instances if inst["parent"] == parent_id), key=lambda i: i["created"])
        assert [child["id"] for child in self.store.workflow_children(parent_id)] == [i["id"] for i in expected]

    @rule(before=st.integers(-MINUTE, 5 * MINUTE), limit=LIMITS)
    def purge(self, before, limit):
        records, instances = self.instances()
        finished = sorted((inst["updated"], inst["id"]) for _, inst in instances
                          if inst is not None and inst["status"] in TERMINAL and inst["updated"] < self.now + before)
        gone = [wf_id for _, wf_id in finished[:limit]]
        histories = {wf_id: self.store.scan_prefix(HISTORY + wf_id) for wf_id in gone}
        assert self.store.purge_finished_workflows(self.now + before, limit) == len(gone)
        assert sorted(self.writes(b"\xffomb:wf:")) == sorted([INSTANCE + i for i in gone] +
                                                            [k for h in histories.values() for k, _ in h])
        assert dict(self.store.scan_prefix(INSTANCE)) == {k: v for k, v in records if k[len(INSTANCE):] not in gone}

    @rule(junk=JUNK, odd=st.booleans())
    def damage(self, junk, odd):
        self.damage_under(INSTANCE, junk, odd)



# ---- objects -----------------------------------------------------------------------------------

def expiry_of(meta):
    """The expiry in a metadata value: None for never; ValueError for a text that is no number."""
    r = Reader(meta)
    r.take(1)
    entries = {}
    for _ in range(r.unpack("<I")):
        klen, vlen = r.unpack("<I"), r.unpack("<I")
        key = r.take(klen)
        entries[key] = r.take(vlen)
    text = entries.get(b"expires_at_unix")
    if text is None:
        return None
    if not re.fullmatch(rb"[+-]?[0-9]+", text) or not -(2**63) <= int(text) < 2**63:
        raise ValueError("expiry")
    return int(text)


class Objects(StoreMachine):
    def __init__(self):
        super().__init__()
        self.ids = []

    @rule(content=st.binary(max_size=2), expires=st.one_of(st.none(), st.integers(-5, 400), st.just("soon")))
    def put(self, content, expires):
        meta = {} if expires is None else {"expires_at_unix": str(expires), "x": "y"}
        self.ids.append(self.store.put_object_with_metadata(content, meta))

    @precondition(lambda self: self.ids)
    @rule(i=st.integers(0, 10**6), name=st.sampled_from([b"a", b"b", b"c"]))
    def link(self, i, name):
        try:
            self.store.link_object(b"ns", name, self.ids[i % len(self.ids)])
        except Error:
            pass  # collected meanwhile

    @rule(name=st.sampled_from([b"a", b"b", b"c"]))
    def unlink(self, name):
        self.store.unlink_object(b"ns", name)

    def expect_failure(self, call, refs, walk):
        """The error of the first bad reference, else of the first failing data key of `walk`."""
        if any(len(value) != 32 for _, value in refs):
            with raises_exactly(Error, "object reference is corrupt"):
                call()
            return True
        for key, failure in walk:
            if failure:
                with raises_exactly(Error, failure):
                    call()
                return True
        return False

    def check_removed(self, data, removed):
        assert sorted(self.writes(b"\xffomb:obj:")) == sorted([p + i for i in removed for p in (DATA, META)])
        assert [k for k, _ in self.store.scan_prefix(DATA)] == [k for k, _ in data if k[len(DATA):] not in removed]

    @rule(limit=LIMITS)
    def collect_orphans(self, limit):
        refs, data = self.scan(REF), self.scan(DATA)
        referenced = {value for _, value in refs}
        orphans, walk = [], []
        for key, _ in data:
            if len(orphans) == limit:
                break
            walk.append((key, "object data is corrupt or unsupported" if len(key) != 46 else None))
            if len(key) == 46 and key[len(DATA):] not in referenced:
                orphans.append(key[len(DATA):])
        if self.expect_failure(lambda: self.store.gc_orphan_objects(limit), refs, walk if limit else []):
            return
        report = {"scanned": len(data), "referenced": len(referenced), "removed": len(orphans) if limit else 0}
        assert self.store.gc_orphan_objects(limit) == report
        self.check_removed(data, orphans if limit else [])

    @rule(limit=LIMITS)
    def purge_expired(self, limit):
        refs, data, meta = self.scan(REF), self.scan(DATA), dict(self.scan(META))
        referenced = {value for _, value in refs}
        report, removed, walk = {"scanned": len(data), "expired": 0, "referenced": 0, "removed": 0}, [], []
        for key, _ in data:
            oid = key[len(DATA):]
            try:
                if len(key) != 46:
                    raise LookupError("object data is corrupt or unsupported")
                at = expiry_of(meta[META + oid]) if META + oid in meta else None
            except (ValueError, LookupError) as failure:
                walk.append((key, failure.args[0] if isinstance(failure, LookupError) else
                             "object metadata is corrupt or unsupported"))
                continue
            if at is None or at > self.now:
                continue
            report["expired"] += 1
            if oid in referenced:
                report["referenced"] += 1
            elif limit == 0 or len(removed) < limit:
                removed.append(oid)
        if self.expect_failure(lambda: self.store.purge_expired_objects(self.now, limit), refs, walk):
            return
        assert self.store.purge_expired_objects(self.now, limit) == dict(report, removed=len(removed))
        self.check_removed(data, removed)

    @rule(odd=st.booleans())
    def damage(self, odd):
        if odd:
            self.reopen(puts=[(DATA + bytes(31), b"\x01" + bytes(8))])
        else:
            self.reopen(puts=[(REF + struct.pack(">I", 3) + b"bad" + struct.pack(">I", 1) + b"r", b"short")])


Schedules.TestCase.settings = Workflows.TestCase.settings = Objects.TestCase.settings = RUNS
TestSchedules, TestWorkflows, TestObjects = Schedules.TestCase, Workflows.TestCase, Objects.TestCase
