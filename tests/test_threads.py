"""Many threads on one store: commits that share a sync, a shared sync that fails, the busy
timeout, and a mixed stress run with close() and backups alongside."""

import json
import random
import subprocess
import sys
import textwrap
import threading

import pytest

from expect import raises_exactly
from faults.harness import preload_env
from ombrel_store import _native

Store = _native.Store
BUSY = "store is exclusively borrowed by an active transaction"


def run_threads(count, body):
    """Runs body(i) on `count` threads started together; returns what each returned or raised."""
    results = [None] * count
    barrier = threading.Barrier(count)

    def run(i):
        barrier.wait()
        try:
            results[i] = ("ok", body(i))
        except Exception as error:  # noqa: BLE001 - reported to the test
            results[i] = (type(error).__name__, str(error))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads), "a thread never finished"
    return results


@pytest.mark.parametrize("durability", ["strict", "data", "relaxed"])
def test_concurrent_commits_are_all_kept(store_path, durability):
    with Store.open(str(store_path), durability=durability) as s:
        s.busy_timeout = 30

        def work(i):
            for n in range(40):
                key = b"t%02d:%03d" % (i, n)
                if n % 4 == 0:
                    with s.transaction() as t:
                        t.put(key, b"v%d" % n)
                else:
                    s.put(key, b"v%d" % n)
                assert s.get(key) == b"v%d" % n
            return True

        assert all(r == ("ok", True) for r in run_threads(8, work))
    with Store.open(str(store_path)) as s:
        assert len(s.scan_prefix(b"t")) == 8 * 40
        # One commit at a time: each took the next transaction id.
        assert [c["tx_id"] for c in s.changes_after(limit=1000)] == list(range(1, 8 * 40 + 1))


SHARED_SYNC_FAILS = textwrap.dedent("""
    import json, os, sys, threading
    from ombrel_store import _native
    s = _native.Store.open(sys.argv[1], durability=sys.argv[2])
    s.put(b"before", b"1")
    s.submit_job(b"h", b"", 0)
    os.environ["OMBREL_FAULT"] = sys.argv[3]     # from here on every sync fails, slowly
    barrier = threading.Barrier(6)
    out = {}
    def run(i):
        barrier.wait()
        try:
            if i == 0: s.put(b"k0", b"v")
            elif i == 1: s.claim_job(0, 1000)
            elif i == 2:
                with s.transaction() as t:
                    t.put(b"k2", b"v")
            elif i == 3: s.push_queue(b"q", b"m")
            elif i == 4: s.delete(b"before")
            else:
                out[i] = ["ok", s.get(b"before").decode()]   # read before any commit was applied
                return
            out[i] = "ok"
        except _native.OmbrelStoreError as e:
            out[i] = [type(e).__name__, str(e)]
    threads = [threading.Thread(target=run, args=(i,)) for i in range(6)]
    [t.start() for t in threads]; [t.join() for t in threads]
    # Nothing of the failed commits is visible, and writes are refused until reopened.
    text = lambda v: v if v is None else v.decode()
    seen = {"before": text(s.get(b"before")), "k0": text(s.get(b"k0")), "k2": text(s.get(b"k2")),
            "jobs": [j["state"] for j in s.list_jobs()], "queue": s.queue_stats(b"q")["ready"]}
    try:
        s.put(b"after", b"x")
        refused = None
    except _native.OmbrelStoreError as e:
        refused = str(e)
    s.close()
    print(json.dumps({"results": out, "seen": seen, "refused": refused}))
""")


@pytest.mark.parametrize("durability", ["data", "strict"])
def test_a_failed_shared_sync_fails_every_commit_it_covered_and_undoes_them(iofault_library, store_path, durability):
    env = preload_env(iofault_library)
    env.update(OMBREL_FAULT_DELAY_MS="200", OMBREL_FAULT_MATCH=store_path.name)
    plan = ("fdatasync" if durability == "data" else "fsync") + ":1:EIO:0"
    done = subprocess.run([sys.executable, "-c", SHARED_SYNC_FAILS, str(store_path), durability, plan], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    report = json.loads(done.stdout)
    io = "I/O error: Input/output error (os error 5)"
    for i, result in report["results"].items():
        assert result != "ok", (i, report)
        assert result[1] in (io, "store error: " + io, "1"), (i, result)  # a reader may have been first
    assert report["seen"] == {"before": "1", "k0": None, "k2": None, "jobs": ["ready"], "queue": 0}
    assert report["refused"] == io
    # The disk holds each commit whole or not at all.
    with Store.open(str(store_path)) as s:
        assert s.get(b"before") in (b"1", None)
        assert s.get(b"k0") in (b"v", None) and s.get(b"k2") in (b"v", None)
        assert len(s.list_jobs()) == 1


def test_busy_timeout_waits_for_the_transaction_and_the_holder_is_refused_at_once(store):
    assert store.busy_timeout == 0.0
    for bad, error in ((-1, ValueError), (float("nan"), ValueError), (10 ** 6, ValueError), ("1", TypeError),
                       (True, TypeError)):
        with pytest.raises(error):
            store.busy_timeout = bad
    tx = store.transaction()
    with raises_exactly(_native.StoreBusyError, BUSY):
        store.get(b"k")  # no timeout: at once
    store.busy_timeout = 30
    with raises_exactly(_native.StoreBusyError, BUSY):
        store.get(b"k")  # the holding thread: at once, even with a timeout
    tx.put(b"k", b"v")
    started = threading.Event()

    def other():
        started.set()
        return store.get(b"k"), store.transaction().commit()

    results = []
    thread = threading.Thread(target=lambda: results.append(other()))
    thread.start()
    started.wait()
    tx.commit()
    thread.join(30)
    assert results == [(b"v", None)]
    store.busy_timeout = 0.05
    tx = store.transaction()
    results.clear()

    def refused():
        try:
            store.put(b"x", b"y")
        except _native.StoreBusyError as e:
            results.append(str(e))

    thread = threading.Thread(target=refused)
    thread.start()
    thread.join(30)
    tx.rollback()
    assert results == [BUSY]


def test_stress_mixed_domain_work_close_and_backup_alongside(tmp_path):
    path = tmp_path / "store.omb"
    s = Store.open(str(path))
    s.busy_timeout = 10
    for i in range(200):
        s.submit_job(b"h", b"%d" % i, 0)
        s.push_queue(b"q", b"%d" % i)
    claimed_jobs, claimed_messages, errors = [], [], []
    lock = threading.Lock()

    def worker(i):
        rng = random.Random(i)
        for n in range(60):
            try:
                choice = rng.randrange(6)
                if choice == 0:
                    job = s.claim_job(0, 60_000)
                    if job:
                        s.complete_job(job["id"], job["lease_generation"], 1)
                        with lock:
                            claimed_jobs.append(job["id"])
                elif choice == 1:
                    message = s.claim_queue(b"q", 0, 60_000)
                    if message:
                        s.ack_queue(b"q", message["id"], message["lease_generation"])
                        with lock:
                            claimed_messages.append(message["id"])
                elif choice == 2:
                    with s.transaction() as t:
                        t.put(b"w%d:%d" % (i, n), b"x")
                        t.append_stream(b"s", b"%d" % n)
                elif choice == 3:
                    s.put(b"p%d:%d" % (i, n), b"y")
                elif choice == 4:
                    s.scan_prefix(b"p")
                else:
                    s.backup_to(str(tmp_path / f"backup-{i}.omb"))
            except _native.StoreClosedError:
                return
            except Exception as error:  # noqa: BLE001
                errors.append(repr(error))
                return

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(24)]
    for t in threads:
        t.start()
    for t in threads[:20]:
        t.join(120)
    s.close()  # mid-run for the last few
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    assert len(claimed_jobs) == len(set(claimed_jobs)) and len(claimed_messages) == len(set(claimed_messages))
    with Store.open(str(path)) as s:
        states = [j["state"] for j in s.list_jobs()]
        assert states.count("completed") == len(claimed_jobs)
        assert s.queue_stats(b"q")["ready"] + len(claimed_messages) == 200
    for backup in tmp_path.glob("backup-*.omb"):
        assert Store.verify(str(backup)).has_torn_tail is False
