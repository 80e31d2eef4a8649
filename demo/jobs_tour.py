#!/usr/bin/env python3
"""A tour of durable jobs and schedules: a worker claims, fails and completes jobs (writing its
result and completing the job in one transaction), and a cron schedule fires. Every step runs against a real store file and is checked.

    tour(workdir, step, check)   runs the tour in `workdir`; `step(title)` announces a step and
                                 `check(ok, what)` reports one expectation.
"""

from datetime import datetime, timezone
from pathlib import Path

from ombrel_store import OmbrelStoreError, Store

MINUTE = 60_000


def at(hour, minute):
    """Milliseconds of a time on 1 March 2024, UTC."""
    return int(datetime(2024, 3, 1, hour, minute, tzinfo=timezone.utc).timestamp()) * 1000


def clock(ms):
    return datetime.fromtimestamp(ms / 1000, tz=timezone.utc).strftime("%H:%M:%S.%f")[:-3]


def tour(workdir, step, check):
    path = Path(workdir) / "jobs.ombrel"
    store = Store.open(path)
    now = at(9, 0)

    step("a producer submits three jobs")
    resize = store.submit_job(b"resize", b"photo-17.jpg", now, max_attempts=2, retry_backoff_ms=1000)
    mail = store.submit_job(b"mail", b"welcome ada@example.org", now, priority=5)
    again = store.submit_job(b"mail", b"welcome ada@example.org", now, priority=5, idempotency_key=b"welcome:ada")
    same = store.submit_job(b"mail", b"welcome ada@example.org", now, idempotency_key=b"welcome:ada")
    check(same == again, "a second submit with the same idempotency key returns the first job")
    print(f"   stats: {store.job_stats()}")
    check(store.job_stats()["ready"] == 3, "three ready jobs")

    step("a mail worker claims the most urgent mail job")
    job = store.claim_job(now, 30_000, handlers=[b"mail"])
    print(f"   claimed {job['payload']!r}: attempt {job['attempts']}, lease until {clock(job['lease_until_ms'])}, "
          f"generation {job['lease_generation']}")
    check(job["id"] in (mail, again) and job["state"] == "leased", "the priority-5 mail job is leased")
    check(store.heartbeat_job(job["id"], job["lease_generation"], now + 20_000, 30_000),
          "a heartbeat extends the lease")
    with store.transaction() as tx:  # the result and the completion commit together, or neither does
        tx.put(b"sent:" + job["id"], b"250 OK")
        tx.complete_job(job["id"], job["lease_generation"], now + 25_000)
    check(store.get_job(job["id"])["state"] == "completed" and store.get(b"sent:" + job["id"]) == b"250 OK",
          "the worker writes its result and completes the job in one commit")

    step("a resize worker fails, the job is retried after its back-off, then fails for good")
    job = store.claim_job(now, 30_000, handlers=[b"resize"])
    state = store.fail_job(job["id"], job["lease_generation"], now + 1000, b"decoder crashed")
    retry_at = store.get_job(resize)["available_at_ms"]
    print(f"   fail_job -> {state!r}; available again at {clock(retry_at)} (1 s back-off with jitter)")
    check(state == "ready" and 910 <= retry_at - (now + 1000) <= 1100, "a retry is scheduled about a second later")
    check(store.claim_job(retry_at - 1, 30_000, handlers=[b"resize"]) is None, "not claimable before its time")
    job = store.claim_job(retry_at, 30_000, handlers=[b"resize"])
    check(job["attempts"] == 2, "the second attempt is handed out")
    try:
        with store.transaction() as tx:  # the first worker, whose lease was taken over
            tx.put(b"resized:" + job["id"], b"photo-17-small.jpg")
            tx.complete_job(job["id"], 1, retry_at)
    except OmbrelStoreError as exc:
        print(f"   a stale worker is refused: {exc}")
    check(store.get(b"resized:" + job["id"]) is None, "and its result is not written either")
    state = store.fail_job(job["id"], job["lease_generation"], retry_at + 500, b"decoder crashed again")
    check(state == "dead", "with its attempts used up the job is dead")
    for seq, at_ms, kind, detail in store.job_history(resize):
        print(f"   #{seq} {clock(at_ms)} {kind:<15} {detail!r}")
    revived = store.retry_job(resize, retry_at + 60_000)
    check(revived["state"] == "ready" and revived["attempts"] == 0, "a manual retry revives it")

    step("a cron schedule fires every fifteen minutes, catching up one missed run per tick")
    cron = store.create_cron_schedule("*/15 * * * *", b"report", b"hourly totals", at(9, 7))
    check(store.get_cron_schedule(cron)["next_run_ms"] == at(9, 15), "created at 09:07, first run 09:15")
    ticks = []
    while True:
        _, fired = store.tick_cron_schedules(at(10, 0), 10)
        if not fired:
            break
        ticks.append(clock(store.get_cron_schedule(cron)["last_fired_at_ms"]))
    print(f"   ticks at 10:00 fired the runs of {', '.join(ticks)}")
    check(ticks == ["09:15:00.000", "09:30:00.000", "09:45:00.000", "10:00:00.000"], "four runs, in order")
    reports = [j for j in store.list_jobs() if j["handler"] == b"report"]
    check([j["available_at_ms"] for j in reports] == [at(9, 15), at(9, 30), at(9, 45), at(10, 0)],
          "one job per run, available at its minute")

    step("the jobs survive a reopen")
    store.close()
    with Store.open(path) as again_open:
        stats = again_open.job_stats()
        print(f"   stats: {stats}")
        check(stats == {"total": 7, "ready": 6, "leased": 0, "completed": 1, "dead": 0, "cancelled": 0},
              "every job is back in its state")

