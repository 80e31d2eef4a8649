#!/usr/bin/env python3
"""A tour of Ombrel Store queues: a producer, a worker loop with retries and a dead-letter
rule, a worker that stalls and is fenced off, statistics and purging. Every step is checked.

Run it alone (python demo/queue_tour.py) or call tour(workdir, step, check) from another demo.
"""

from pathlib import Path

from ombrel_store import OmbrelStoreError, Store

QUEUE = b"emails"
LEASE_MS = 30_000
MAX_ATTEMPTS = 3
RETRY_MS = 1_000


def send(payload):
    """The work itself: an address without "@" fails every time."""
    if b"@" not in payload:
        raise ValueError(f"cannot send to {payload.decode()!r}")


def work(store, now_ms, log):
    """One pass of a worker loop: claim until nothing is claimable at now_ms."""
    handled = 0
    while (message := store.claim_queue(QUEUE, now_ms, LEASE_MS)) is not None:
        handled += 1
        mid, generation = message["id"], message["lease_generation"]
        try:
            send(message["payload"])
        except ValueError as exc:
            if message["attempts"] >= MAX_ATTEMPTS:
                store.dead_letter_queue(QUEUE, mid, generation)
                log.append(("dead", mid))
                print(f"   #{mid} attempt {message['attempts']}: {exc} -> dead-lettered")
            else:
                store.nack_queue(QUEUE, mid, generation, now_ms + RETRY_MS)
                log.append(("retry", mid))
                print(f"   #{mid} attempt {message['attempts']}: {exc} -> retry at +{RETRY_MS} ms")
        else:
            store.ack_queue(QUEUE, mid, generation)
            log.append(("sent", mid))
            print(f"   #{mid} priority {message['priority']}: sent {message['payload']!r}")
    return handled


def tour(workdir, step, check):
    path = Path(workdir) / "queues.ombrel"
    with Store.open(path) as store:
        step("a producer pushes five messages (one urgent, one for later, one undeliverable)")
        now = 1_000_000
        ids = [
            store.push_queue(QUEUE, b"ada@example.org"),
            store.push_queue(QUEUE, b"grace@example.org"),
            store.push_queue(QUEUE, b"alarm@example.org", priority=10),
            store.push_queue(QUEUE, b"later@example.org", available_at_ms=now + 60_000),
            store.push_queue(QUEUE, b"not-an-address"),
        ]
        check(ids == [1, 2, 3, 4, 5], "ids are assigned 1, 2, 3, ... per queue")
        stats = store.queue_stats(QUEUE, now_ms=now)
        print(f"   {stats}")
        check(stats["ready"] == 5, "all five count as ready, the one for later included")
        check(stats["ready_lag_ms"] == now, "the oldest has been available since time 0 (the default)")

        step("the worker loop at now: highest priority first, then in id order")
        log = []
        work(store, now, log)
        check([mid for kind, mid in log if kind == "sent"] == [3, 1, 2], "the urgent #3 went first, then #1 and #2")
        check(("retry", 5) in log, "the undeliverable #5 is nacked for a retry")
        check(store.claim_queue(QUEUE, now, LEASE_MS) is None, "#4 is not due yet and #5 waits for its retry")

        step("later passes: #5 fails its third attempt and is dead-lettered")
        for tick in (now + RETRY_MS, now + 2 * RETRY_MS):
            work(store, tick, log)
        check(log[-1] == ("dead", 5), f"dead after {MAX_ATTEMPTS} attempts")
        stats = store.queue_stats(QUEUE)
        check((stats["ready"], stats["leased"], stats["dead"]) == (1, 0, 1), f"left: {stats}")

        step("a worker claims #4 and stalls past its lease; another takes it over")
        due = now + 60_000
        stalled = store.claim_queue(QUEUE, due, LEASE_MS)
        check(stalled["id"] == 4 and stalled["lease_generation"] == 1, "the first worker holds generation 1")
        check(store.claim_queue(QUEUE, due + LEASE_MS - 1, LEASE_MS) is None, "nobody else gets it while leased")
        second = store.claim_queue(QUEUE, due + LEASE_MS, LEASE_MS)
        check(second["id"] == 4 and second["lease_generation"] == 2, "after expiry it is re-claimed as generation 2")
        try:
            store.ack_queue(QUEUE, 4, stalled["lease_generation"])
        except OmbrelStoreError as exc:
            print(f"   the stalled worker's late ack: {exc}")
            check(str(exc) == "lease generation mismatch for message 4: expected 2, provided 1", "it is fenced off")
        else:
            check(False, "the stalled worker's ack was refused")
        store.ack_queue(QUEUE, 4, second["lease_generation"])
        check(store.queue_stats(QUEUE)["ready"] == 0, "the current holder's ack counts")

        step("inspect and purge the dead letters")
        dead = [(k, v) for k, v in store.scan_prefix(b"\xffomb:q:") if b":m:" in k]
        print(f"   {len(dead)} message record(s) left, {len(dead[0][1])} bytes each")
        check(store.purge_dead_queue(QUEUE) == 1, "purge removes the one dead message")
        check(store.queue_stats(QUEUE, now_ms=due) == {"ready": 0, "leased": 0, "dead": 0, "total": 0,
                                                       "ready_lag_ms": None}, "the queue is empty")
        check(store.push_queue(QUEUE, b"next@example.org") == 6, "ids are never reused")

