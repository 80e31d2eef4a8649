"""A store's life across processes and under pressure: forked children, the cyclic garbage
collector freeing a transaction mid-call, allocation failures and internal faults."""

import gc
import os
import subprocess
import sys
import textwrap

import pytest

from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store
OTHER_PROCESS = "store was opened by another process; open it again in this process"


def opens_elsewhere(path):
    """What another process gets when it opens `path`: "opened" or the exception's class name."""
    code = textwrap.dedent(f"""
        from ombrel_store import _native
        try:
            _native.Store.open({str(path)!r}).close()
            print("opened")
        except _native.OmbrelStoreError as e:
            print(type(e).__name__)
    """)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.strip()


def in_child(body):
    """Runs `body()` in a forked child; returns its exit status (0 when every check held)."""
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            body()
            status = 0
        finally:
            os._exit(status)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


CHILD_CALLS = [
    lambda s: s.put(b"child", b"x"),
    lambda s: s.get(b"k"),
    lambda s: s.flush(),
    lambda s: s.transaction(),
    lambda s: s.push_queue(b"q", b"m"),
    lambda s: s.submit_job(b"h", b"{}", 0),
    lambda s: s.__enter__(),
]


def test_a_forked_child_can_neither_read_nor_write_and_its_close_keeps_the_parents_lock(store_path):
    s = Store.open(str(store_path), durability="strict")
    s.put(b"k", b"parent")
    before = snapshot(store_path)

    def child():
        for call in CHILD_CALLS:
            with raises_exactly(_native.OmbrelStoreError, OTHER_PROCESS):
                call(s)
        assert s.close() is None and s.__exit__(None, None, None) is False

    assert in_child(child) == 0
    assert snapshot(store_path) == before
    assert opens_elsewhere(store_path) == "AlreadyOpenError"  # the child's close did not unlock
    s.put(b"k2", b"after")
    s.close()
    with Store.open(str(store_path)) as s:
        assert (s.get(b"k"), s.get(b"k2")) == (b"parent", b"after")


def test_dropping_an_inherited_store_and_transaction_in_the_child_changes_nothing(store_path):
    s = Store.open(str(store_path))
    tx = s.transaction()
    tx.put(b"k", b"staged")
    before = snapshot(store_path)

    def child():
        nonlocal s, tx
        for call in (lambda: tx.put(b"x", b"y"), lambda: tx.commit(), lambda: tx.rollback(),
                     lambda: tx.link_object(b"n", b"m", b"short"), lambda: tx.__exit__(None, None, None)):
            with raises_exactly(_native.OmbrelStoreError, OTHER_PROCESS):
                call()
        del tx, s
        gc.collect()

    assert in_child(child) == 0
    assert snapshot(store_path) == before
    assert opens_elsewhere(store_path) == "AlreadyOpenError"
    tx.commit()
    assert s.get(b"k") == b"staged"
    s.close()


def test_the_store_file_is_not_inherited_across_exec(store):
    fds = [int(fd) for fd in os.listdir("/proc/self/fd")
           if os.path.realpath(f"/proc/self/fd/{fd}").endswith("store.omb")]
    assert fds
    import fcntl
    assert all(fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC for fd in fds)


def test_a_transaction_collected_while_its_store_holds_the_binding_lock_is_handed_back(store):
    store.put(b"k", b"v")
    tx = store.transaction()
    cycle = [tx]
    cycle.append(cycle)  # only the cyclic collector can free the transaction now
    del tx, cycle
    thresholds = gc.get_threshold()
    gc.disable()
    gc.set_threshold(1, 1, 1)
    try:
        try:
            raise KeyError("in flight")  # so that the busy error below allocates its exception object
        except KeyError:
            gc.enable()  # the next tracked allocation collects, inside the locked call
            for _ in range(5):
                try:
                    store.get(b"k")
                    break
                except _native.StoreBusyError:
                    pass
    finally:
        gc.set_threshold(*thresholds)
        gc.enable()
    gc.collect()
    assert store.get(b"k") == b"v"
    store.put(b"k2", b"v2")
    assert store.close() is None


def run_limited(path, body, limit_mb=384):
    """Runs `body` (source using `s`, the store at `path`) in a child whose address space is capped."""
    code = textwrap.dedent(f"""
        import resource
        from ombrel_store import _native
        s = _native.Store.open({str(path)!r})
        s.put(b"before", b"1")
        used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + {limit_mb} * 2**20, resource.RLIM_INFINITY))
    """) + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves its shadow memory up front and aborts on a failed allocation")
def test_an_allocation_failure_raises_memory_error_and_leaves_the_store_usable(store_path):
    result = run_limited(store_path, """
        big = b"x" * (200 * 2**20)
        for attempt in range(3):
            try:
                s.put(b"big", big)
                raise SystemExit("the put fitted")
            except MemoryError:
                pass
        del big
        s.put(b"after", b"2")
        assert s.get(b"big") is None and s.get(b"after") == b"2"
        s.close()
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr
    with Store.open(str(store_path)) as s:
        assert (s.get(b"before"), s.get(b"after"), s.get(b"big")) == (b"1", b"2", None)
    assert Store.verify(str(store_path)).has_torn_tail is False
