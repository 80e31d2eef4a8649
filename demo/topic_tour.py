#!/usr/bin/env python3
"""A tour of topics: publish, two subscriptions that poll and acknowledge at their own pace,
a replay by resetting a cursor, and a consumer group sharing the same log under leases.

`tour(workdir, step, check)` runs against a new store file in `workdir`; `step(title)` prints
a heading and `check(ok, what)` reports one expectation (see demo.py). Run this file on its
own to take the tour in a temporary directory.
"""

from pathlib import Path

from ombrel_store import OmbrelStoreError, Store

TOPIC = b"orders"


def tour(workdir, step, check):
    path = Path(workdir) / "topics.ombrel"
    with Store.open(path) as store:
        step("publish three orders on a topic")
        offsets = [store.publish_topic(TOPIC, b"order %d" % n) for n in (101, 102, 103)]
        print(f"   offsets {offsets}; tail {store.stream_tail_offset(TOPIC)}")
        check(offsets == [0, 1, 2], "offsets are consecutive from 0")
        check(store.read_stream(TOPIC) == store.read_topic(TOPIC),
              "a topic is the stream of the same name: read_stream sees the same entries")

        step("the billing subscription polls, handles two orders and acknowledges them")
        batch = store.poll_topic(TOPIC, b"billing", limit=2)
        for offset, payload in batch:
            print(f"   billing handles #{offset}: {payload.decode()}")
        check(store.poll_topic(TOPIC, b"billing", limit=2) == batch, "polling again returns the same entries")
        cursor = store.acknowledge_topic_through(TOPIC, b"billing", batch[-1][0])
        check(cursor == 2, "acknowledging through offset 1 moves billing's cursor to 2")
        check(store.poll_topic(TOPIC, b"billing") == [(2, b"order 103")], "the next poll starts at order 103")

        step("the shipping subscription has its own cursor")
        check(store.topic_subscription_offset(TOPIC, b"shipping") == 0, "shipping has acknowledged nothing yet")
        check(len(store.poll_topic(TOPIC, b"shipping")) == 3, "so it still sees all three orders")

        step("a cursor never moves back by acknowledging, only by an explicit reset")
        try:
            store.acknowledge_topic_through(TOPIC, b"billing", 0)
        except OmbrelStoreError as exc:
            print(f"   OmbrelStoreError: {exc}")
            check(str(exc) == "subscription cursor cannot regress from 2 to 1", "the regression is refused")
        else:
            check(False, "acknowledging an earlier offset is refused")
        store.reset_topic_subscription(TOPIC, b"billing", 0)
        check([o for o, _ in store.poll_topic(TOPIC, b"billing")] == [0, 1, 2],
              "after reset_topic_subscription(..., 0) billing replays the whole topic")

        step("a consumer group shares the log among workers, one lease at a time")
        first = store.consumer_group_claim(TOPIC, b"packers", b"worker-a", 1_000, 5_000)
        print(f"   worker-a got {first}")
        check(first["offset"] == 0 and first["lease_generation"] == 1, "worker-a leases order 101")
        check(store.consumer_group_claim(TOPIC, b"packers", b"worker-b", 2_000, 5_000) is None,
              "while that lease is active, worker-b gets nothing")
        again = store.consumer_group_claim(TOPIC, b"packers", b"worker-b", 6_000, 5_000)
        check(again["offset"] == 0 and again["lease_generation"] == 2,
              "after the lease expired, worker-b is given order 101 again, with generation 2")
        try:
            store.consumer_group_ack(TOPIC, b"packers", b"worker-a", 0, 1)
        except OmbrelStoreError as exc:
            print(f"   late ack from worker-a: {exc}")
        else:
            check(False, "the late ack from worker-a is refused")
        store.consumer_group_ack(TOPIC, b"packers", b"worker-b", 0, 2)
        state = store.consumer_group_state(TOPIC, b"packers")
        print(f"   group state {state}")
        check(state["next_offset"] == 1 and state["leased_offset"] is None, "worker-b's ack moves the group on")
        check(store.topic_subscription_offset(TOPIC, b"billing") == 0, "subscriptions and groups do not interfere")

    step("reopen: cursors and group positions are in the file")
    with Store.open(path) as store:
        check(store.topic_subscription_offset(TOPIC, b"billing") == 0
              and store.consumer_group_state(TOPIC, b"packers")["next_offset"] == 1, "both survived")
        check(store.publish_topic(TOPIC, b"order 104") == 3, "publishing continues at offset 3")

