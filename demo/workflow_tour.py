#!/usr/bin/env python3
"""A tour of workflows, triggers and transactions that span domains: an order moves through its
steps, and each move writes a record, emits an event, enqueues a job and advances the workflow
in one transaction, all or nothing. Every step runs against a real store file and is checked.

    tour(workdir, step, check)   runs the tour in `workdir`; `step(title)` announces a step and
                                 `check(ok, what)` reports one expectation.
"""

from pathlib import Path

from ombrel_store import OmbrelStoreError, Store

T0 = 1_700_000_000_000


def tour(workdir, step, check):
    path = Path(workdir) / "orders.ombrel"
    store = Store.open(path)
    store.create_collection(b"orders")
    store.define_index(b"orders", b"status")

    step("an order workflow is created and waits for payment")
    order = store.create_workflow(b"order", b"await-payment", b"cart: 2 books", T0)
    store.wait_for_signal(order, b"paid", T0 + 1)
    early = store.signal_workflow(order, b"shipped", b"", T0 + 2)
    check(early is False, "a signal the workflow is not waiting for is dropped, not queued")

    step("payment arrives: one transaction records it, emits an event, enqueues shipping, signals")
    with store.transaction() as t:
        t.upsert_record(b"orders", b"order-1", b"paid 42.00", indexes=[(b"status", b"paid")])
        event = t.emit_event(b"orders", b"order-1 paid", T0 + 10)
        job = t.enqueue_job(b"ship", b"order-1", T0 + 10, idempotency_key=b"ship:order-1")
        signal = t.signal_workflow(order, b"paid", b"receipt #77", T0 + 10)
        results = t.commit_with_results()
    print(f"   positions: event {event}, job {job}, signal {signal}")
    print(f"   results:   {results}")
    check(results[signal] == {"kind": "workflow_signal", "signaled": True}, "the workflow took the signal")
    check(store.outbox_len() == 1 and store.get_job(results[job]["id"])["state"] == "ready",
          "the event is in the outbox and the shipping job is ready")
    check(store.get_workflow(order)["state"] == b"receipt #77", "the signal's payload became the state")

    step("a move that fails part-way changes nothing")
    try:
        with store.transaction() as t:
            t.upsert_record(b"orders", b"order-1", b"shipped", indexes=[(b"status", b"shipped")])
            t.emit_event(b"orders", b"order-1 shipped", T0 + 20)
            t.set_workflow_step(order, b"shipped", b"", T0 + 20)
            t.push_queue(b"", b"no queue name")  # staged fine, refused at commit
    except OmbrelStoreError as exc:
        print(f"   OmbrelStoreError: {exc}")
    check(store.get_record(b"orders", b"order-1")[1] == b"paid 42.00" and store.outbox_len() == 1,
          "the record and the outbox are as before")
    check(store.get_workflow(order)["current_step"] == b"await-payment", "the workflow did not move")

    step("the workflow parks on a timer and is resumed when it is due")
    store.set_workflow_step(order, b"packing", b"", T0 + 30)
    store.wait_until(order, T0 + 60_000, T0 + 31)
    check(store.resume_due_workflows(T0 + 59_999) == {"scanned": 1, "resumed": 0}, "not due yet")
    check(store.resume_due_workflows(T0 + 60_000) == {"scanned": 1, "resumed": 1}, "resumed when due")
    store.complete_workflow(order, b"delivered", T0 + 90_000)
    for entry in store.workflow_history(order):
        print(f"   #{entry['sequence']} {entry['kind']:<16} {entry['detail']!r}")
    check(store.get_workflow(order)["status"] == "completed", "the order workflow completed")

    step("a trigger turns an event into a job")
    trigger = store.create_trigger(b"on-return", "topic", b"refund", b"default", source_name=b"returns")
    first = store.fire_trigger(trigger, b"order-1", T0 + 100_000)
    fallback = store.fire_trigger(trigger, b"", T0 + 100_001)
    check(store.get_job(first)["payload"] == b"order-1" and store.get_job(fallback)["payload"] == b"default",
          "the event payload, or the template's when the event has none")
    store.set_trigger_enabled(trigger, False)
    check(store.fire_trigger(trigger, b"x", T0 + 100_002) is None, "a disabled trigger fires nothing")
    check(store.get_trigger(trigger)["fire_count"] == 2, "two firings counted")
    store.close()
