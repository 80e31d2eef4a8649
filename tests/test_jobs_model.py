"""Long random runs of job operations: every claim, idempotency answer, count, listing, release of expired
leases and purge agrees with a brute-force reading of the stored records, also across a reopen."""

from __future__ import annotations

import shutil
import struct
import tempfile
from pathlib import Path

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from ombrel_store import _native

JOB_PREFIX, HISTORY_PREFIX = b"\xffomb:job:data:", b"\xffomb:job:history:"
STATES = ["ready", "leased", "completed", "dead", "cancelled"]
KINDS = ["submitted", "claimed", "completed", "retry_scheduled", "dead", "cancelled"]
HANDLERS = [b"a", b"b", b"c"]
KEYS = [None, b"k1", b"k2"]
FILTERS = [None, [], [b"a"], [b"b", b"a"], [b"c", b"c"], [b"zz"]]


def decode_job(value: bytes) -> dict:
    assert value[0] == 1
    fixed = struct.unpack_from("<qqiIIQqI", value, 18)
    fields = []
    pos = 66
    for _ in range(2):
        (n,) = struct.unpack_from("<I", value, pos)
        fields.append(value[pos + 4:pos + 4 + n])
        pos += 4 + n
    key = None
    if value[pos]:
        (n,) = struct.unpack_from("<I", value, pos + 1)
        key = value[pos + 5:pos + 5 + n]
    avail, deadline, priority, attempts, max_attempts, backoff, lease_until, generation = fixed
    return {"id": value[2:18], "state": STATES[value[1]], "handler": fields[0], "payload": fields[1],
            "available_at_ms": avail, "deadline_ms": None if deadline == -(2**63) else deadline,
            "priority": priority, "attempts": attempts, "max_attempts": max_attempts, "retry_backoff_ms": backoff,
            "lease_until_ms": lease_until, "lease_generation": generation, "idempotency_key": key}


class JobModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.dir = Path(tempfile.mkdtemp(prefix="ombrel-job-model-"))
        self.store = _native.Store.open(str(self.dir / "jobs.omb"), durability="relaxed")
        self.now = 0

    def teardown(self):
        self.store.close()
        shutil.rmtree(self.dir)

    # --- the oracle: the records themselves --------------------------------------------------------------

    def jobs(self) -> list[dict]:
        return [decode_job(value) for _, value in self.store.scan_prefix(JOB_PREFIX)]

    def last_entry(self, job_id):
        last = self.store.scan_prefix(HISTORY_PREFIX + job_id)[-1][1]
        _, at_ms, kind, _ = struct.unpack_from("<xQqBI", last)
        return at_ms, KINDS[kind]

    def holder_of(self, key):
        return next((j["id"] for j in self.jobs()
                     if j["state"] in ("ready", "leased") and j["idempotency_key"] == key), None)

    def pick(self, index, *states):
        matching = [j for j in self.jobs() if not states or j["state"] in states]
        return matching[index % len(matching)] if matching else None

    # --- rules ---------------------------------------------------------------------------------------------

    @rule(dt=st.integers(0, 40))
    def advance(self, dt):
        self.now += dt

    @rule(handler=st.sampled_from(HANDLERS), priority=st.integers(-1, 2), delay=st.integers(-5, 30),
          deadline=st.none() | st.integers(-5, 25), max_attempts=st.integers(1, 3), key=st.sampled_from(KEYS))
    def submit(self, handler, priority, delay, deadline, max_attempts, key):
        before = {j["id"] for j in self.jobs()}
        holder = self.holder_of(key) if key is not None else None
        job_id = self.store.submit_job(handler, b"p", self.now, available_at_ms=self.now + delay, priority=priority,
                                       deadline_ms=None if deadline is None else self.now + deadline,
                                       max_attempts=max_attempts, retry_backoff_ms=7, idempotency_key=key)
        if holder is not None:
            assert job_id == holder and {j["id"] for j in self.jobs()} == before
        else:
            assert job_id not in before and self.store.get_job(job_id)["state"] == "ready"

    @rule(keys=st.lists(st.sampled_from(KEYS), min_size=1, max_size=3), commit=st.booleans())
    def enqueue_in_transaction(self, keys, commit):
        before = {j["id"] for j in self.jobs()}
        holders = {key: self.holder_of(key) for key in keys if key is not None}
        t = self.store.transaction()
        positions = [t.enqueue_job(HANDLERS[0], b"t", self.now, idempotency_key=key) for key in keys]
        if not commit:
            t.rollback()
            assert {j["id"] for j in self.jobs()} == before
            return
        results = t.commit_with_results()
        ids = [results[position]["id"] for position in positions]
        staged = {}
        for key, job_id in zip(keys, ids):
            if key is not None and holders[key] is not None:
                assert job_id == holders[key]
            elif key is not None and key in staged:  # the job staged earlier in the same transaction
                assert job_id == staged[key]
            else:
                assert job_id not in before
                if key is not None:
                    staged[key] = job_id

    @rule(handlers=st.sampled_from(FILTERS), lease=st.integers(0, 40))
    def claim(self, handlers, lease):
        now = self.now
        overdue, best = [], None
        for j in self.jobs():
            if handlers and j["handler"] not in handlers:
                continue
            ended = j["state"] == "leased" and j["lease_until_ms"] <= now
            if j["state"] != "ready" and not ended:
                continue
            if j["deadline_ms"] is not None and j["deadline_ms"] <= now:
                overdue.append(j["id"])
                continue
            if not ended and j["available_at_ms"] > now:
                continue
            if best is None or (j["priority"], -j["available_at_ms"]) > (best["priority"], -best["available_at_ms"]):
                best = j
        got = self.store.claim_job(now, lease, handlers=handlers)
        for job_id in overdue:
            assert self.store.get_job(job_id)["state"] == "dead"
            assert self.store.job_history(job_id)[-1][2:] == ("dead", b"deadline exceeded")
        if best is None:
            assert got is None
        elif best["attempts"] + 1 > best["max_attempts"]:
            assert got is None and self.store.job_history(best["id"])[-1][2:] == ("dead", b"max attempts exceeded")
        else:
            assert got["id"] == best["id"] and got["lease_until_ms"] == now + lease and got["state"] == "leased"

    @rule(index=st.integers(0, 99), stale=st.booleans(), lease=st.integers(0, 40))
    def heartbeat(self, index, stale, lease):
        job = self.pick(index)
        if job is not None:
            extended = self.store.heartbeat_job(job["id"], job["lease_generation"] + stale, self.now, lease)
            assert extended is (job["state"] == "leased" and not stale)
            assert self.store.get_job(job["id"])["lease_until_ms"] == (self.now + lease if extended
                                                                       else job["lease_until_ms"])

    @rule(index=st.integers(0, 99), how=st.sampled_from(["complete", "fail", "release"]))
    def finish_lease(self, index, how):
        job = self.pick(index, "leased")
        if job is not None:
            args = (job["id"], job["lease_generation"], self.now)
            {"complete": lambda: self.store.complete_job(*args), "fail": lambda: self.store.fail_job(*args, b"x"),
             "release": lambda: self.store.release_job(*args)}[how]()
            assert self.store.get_job(job["id"])["state"] != "leased"

    @rule()
    def release_expired(self):
        ended = [j["id"] for j in self.jobs() if j["state"] == "leased" and j["lease_until_ms"] <= self.now]
        assert self.store.release_expired_jobs(self.now) == len(ended)
        assert all(self.store.get_job(job_id)["state"] in ("ready", "dead") for job_id in ended)

    @rule(index=st.integers(0, 99))
    def retry(self, index):
        job = self.pick(index)
        if job is not None:
            revived = self.store.retry_job(job["id"], self.now)
            assert (revived is not None) == (job["state"] == "dead")

    @rule(index=st.integers(0, 99))
    def cancel(self, index):
        job = self.pick(index)
        if job is not None:
            assert self.store.cancel_job(job["id"], self.now) is (job["state"] in ("ready", "leased"))

    @rule(age=st.integers(-5, 60), limit=st.integers(0, 4))
    def purge(self, age, limit):
        before_ms = self.now - age
        finished = sorted((self.last_entry(j["id"])[0], j["id"]) for j in self.jobs()
                          if j["state"] not in ("ready", "leased"))
        doomed = {job_id for at_ms, job_id in finished if at_ms < before_ms}
        doomed = {job_id for _, job_id in sorted((at, i) for at, i in finished if i in doomed)[:limit]}
        kept = {j["id"] for j in self.jobs()} - doomed
        assert self.store.purge_finished_jobs(before_ms, limit) == len(doomed)
        assert {j["id"] for j in self.jobs()} == kept
        assert all(self.store.scan_prefix(HISTORY_PREFIX + job_id) == [] for job_id in doomed)

    @rule()
    def reopen(self):
        self.store.close()
        self.store = _native.Store.open(str(self.dir / "jobs.omb"), durability="relaxed")

    # --- what holds after every step ----------------------------------------------------------------------

    @invariant()
    def counts_listing_and_keys_agree(self):
        jobs = self.jobs()
        counts = {state: sum(j["state"] == state for j in jobs) for state in STATES}
        assert self.store.job_stats() == {"total": len(jobs), **counts}
        assert self.store.list_jobs() == sorted(jobs, key=lambda j: (j["available_at_ms"], j["id"]))
        for j in jobs:
            if j["state"] not in ("ready", "leased"):
                assert self.last_entry(j["id"])[1] == j["state"]


JobModel.TestCase.settings = settings(max_examples=50, stateful_step_count=50, deadline=None,
                                      suppress_health_check=[HealthCheck.too_slow])
test_job_model = JobModel.TestCase
