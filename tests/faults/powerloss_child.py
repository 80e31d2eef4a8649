"""Workloads run under the power-loss recorder (powerloss.c). Each acknowledges
what it did with a line written to the marks file once the call returned,
as a server would answer its client:

  "commit N"                       transaction N committed
  "begin DESTINATION DIGEST same|new"  a copy of the store's live keys (DIGEST,
                                   see live_digest) to DESTINATION begins; its
                                   store id is the source's or a new one
  "done DESTINATION"               that copy returned

Usage:
  powerloss_child.py commits STORE DURABILITY FIRST COUNT [REOPEN_EVERY]
  powerloss_child.py maintenance OPERATION STORE DESTINATION SECOND_DESTINATION FIRST
  powerloss_child.py publish PROTOCOL STORE DESTINATION
  powerloss_child.py threads STORE DURABILITY THREADS COUNT

"thread T commit N" acknowledges transaction N of thread T, whose keys are those of
transaction N with b"tT:" in front: threads commit side by side and share syncs.

Transaction N writes b"n:N" and b"pair:N" and deletes b"n:N-3", so a half
transaction shows as a pair without its n (or the reverse).
"""

import hashlib
import os
import sys

from ombrel_store import _native

SAME_ID = {"backup_to": "same", "checkpoint_to": "same", "restore_copy": "same", "compact_generation_to": "same",
           "snapshot_to": "new", "compact_copy_to": "new"}


def value(n):
    return (b"%d|" % n) * (1 + n % 7)


def contents_after(last):
    """The user keys of a store after transactions 0..last (none for last = -1)."""
    contents = {b"pair:%d" % n: value(n) for n in range(last + 1)}
    contents.update({b"n:%d" % n: value(n) for n in range(max(0, last - 2), last + 1)})
    return contents


def commit(store, n, prefix=b""):
    with store.transaction() as tx:
        tx.put(prefix + b"n:%d" % n, value(n))
        tx.put(prefix + b"pair:%d" % n, value(n))
        tx.delete(prefix + b"n:%d" % (n - 3))


def live_digest(store):
    """Every live key and value, internal ones included."""
    return hashlib.sha256(repr(store.scan_prefix(b"")).encode()).hexdigest()


_marks = None


def ack(line):
    global _marks
    if _marks is None:
        _marks = os.open(os.environ["OMBREL_POWERLOSS_MARKS"], os.O_WRONLY | os.O_APPEND)
    os.write(_marks, line.encode() + b"\n")


def commits(path, durability, first, count, reopen_every=0):
    store = _native.Store.open(path, durability=durability)
    for n in range(first, first + count):
        commit(store, n)
        ack(f"commit {n}")
        if reopen_every and (n - first + 1) % reopen_every == 0:
            store.close()
            store = _native.Store.open(path, durability=durability)
    store.close()


def maintenance(operation, path, destinations, first):
    store = _native.Store.open(path, durability="data")
    n = first
    for destination in destinations:
        for _ in range(3):
            commit(store, n)
            ack(f"commit {n}")
            n += 1
        ack(f"begin {destination} {live_digest(store)} {SAME_ID[operation]}")
        if operation == "restore_copy":
            store.close()
            _native.Store.restore_copy(path, destination)
            store = _native.Store.open(path, durability="data")
        else:
            getattr(store, operation)(destination)
        ack(f"done {destination}")
    commit(store, n)
    ack(f"commit {n}")
    store.close()


def publish(protocol, path, destination):
    """Copies the (closed) store twice to `destination` with plain file calls,
    by a sound protocol or by a broken one, for the harness's own tests."""
    with _native.Store.open(path) as store:
        digest = live_digest(store)
    with open(path, "rb") as source:
        data = source.read()
    directory = os.path.dirname(destination)
    for attempt in range(2):
        ack(f"begin {destination} {digest} same")
        if protocol == "in place":
            fd = os.open(destination, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
            os.write(fd, data)
            os.fsync(fd)
            os.close(fd)
        else:
            temporary = f"{destination}.{attempt}.tmp"
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL)
            os.write(fd, data)
            if protocol != "rename before sync":
                os.fsync(fd)
            os.close(fd)
            os.replace(temporary, destination)
            if protocol == "rename before sync":
                fd = os.open(destination, os.O_RDONLY)
                os.fsync(fd)
                os.close(fd)
        if protocol != "no directory sync":
            fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
            os.fsync(fd)
            os.close(fd)
        ack(f"done {destination}")


def threads(path, durability, count, per_thread):
    import threading

    store = _native.Store.open(path, durability=durability)
    store.busy_timeout = 60

    def run(t):
        for n in range(per_thread):
            commit(store, n, b"t%d:" % t)
            ack(f"thread {t} commit {n}")

    workers = [threading.Thread(target=run, args=(t,)) for t in range(count)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    store.close()


def main():
    command, *args = sys.argv[1:]
    if command == "commits":
        commits(args[0], args[1], int(args[2]), int(args[3]), int(args[4]) if len(args) > 4 else 0)
    elif command == "maintenance":
        maintenance(args[0], args[1], args[2:4], int(args[4]))
    elif command == "publish":
        publish(*args)
    elif command == "threads":
        threads(args[0], args[1], int(args[2]), int(args[3]))
    else:
        raise SystemExit(f"unknown workload {command}")


if __name__ == "__main__":
    main()
