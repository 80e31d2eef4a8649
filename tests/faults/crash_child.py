"""Commits numbered transactions until killed, acknowledging each on stdout.

Usage: crash_child.py PATH DURABILITY START

Transaction n writes b"n:<n>" and b"pair:<n>" (both or neither must survive) and
deletes b"n:<n-3>"; with an explicit transaction class all three happen in one
transaction, otherwise the pair is written by one put and the delete follows
it as its own commit. The line "n" is printed only after commit returned.
"""

import sys

from ombrel_store import _native


def value(n):
    return (b"%d|" % n) * (1 + n % 7)


def main():
    path, durability, start = sys.argv[1], sys.argv[2], int(sys.argv[3])
    store = _native.Store.open(path, durability=durability)
    out = sys.stdout
    n = start
    while True:
        if hasattr(store, "transaction"):
            with store.transaction() as tx:
                tx.put(b"n:%d" % n, value(n))
                tx.put(b"pair:%d" % n, value(n))
                tx.delete(b"n:%d" % (n - 3))
        else:
            store.put(b"pair:%d" % n, value(n))
            store.put(b"n:%d" % n, value(n))
            store.delete(b"n:%d" % (n - 3))
        out.write(f"{n}\n")
        out.flush()
        n += 1


if __name__ == "__main__":
    main()
