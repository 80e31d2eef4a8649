#!/usr/bin/env python3
"""Job cycles on PostgreSQL (ombrel_store.postgres) next to the same cycles on a store file.

A cycle is one `claim_job`, its `complete_job` and one `submit_job` (so the backlog of ready jobs
stays constant): three commits. Each case runs for --seconds and counts the cycles of every
worker process:
  pg            PgStore on a private cluster started for the run (the helper the tests use,
                fsync on), with synchronous_commit on (durability "data") and off ("relaxed"),
                from 1 and from 4 worker processes (each a host of its own: its own connection),
                over backlogs of 1,000 and 100,000 ready jobs.
  file          the same cycles on a store file at "data" and "relaxed" from one process (a store
                file has one writer).
Each pg row is compared with the store file at the matching durability and backlog: the ratio is
PostgreSQL time per cycle over the file's (above 1: the file is faster). After the table come the
two figures the PostgreSQL store aims at: 4 processes against 1 (at least 2x) and 100,000 jobs
against 1,000 (flat).

    python bench/postgres.py [--seconds S] [--backlogs 1000,100000] [--processes 1,4] [--dir PATH]

Needs PostgreSQL's server binaries (apt-get install postgresql) and psycopg; as root the server
runs as "nobody", so --dir must be reachable by that user. The cluster and the store files are
removed at the end.
"""

from __future__ import annotations

import multiprocessing
import time
from concurrent.futures import ProcessPoolExecutor
from functools import partial

import harness
from harness import Store, banner, parser, workdir

report = partial(harness.report, unit="/s")
PAYLOAD = b"x" * 64
LEASE_MS = 30_000
CHUNK = 5_000


def now_ms() -> int:
    return int(time.time() * 1000)


def cycle(store) -> None:
    job = store.claim_job(now_ms(), LEASE_MS)
    store.complete_job(job["id"], job["lease_generation"], now_ms())
    store.submit_job(b"work", PAYLOAD, now_ms())


def fill(store, n: int) -> None:
    """n ready jobs, staged CHUNK at a time in one transaction each."""
    for start in range(0, n, CHUNK):
        with store.transaction() as tx:
            for _ in range(min(CHUNK, n - start)):
                tx.enqueue_job(b"work", PAYLOAD, 0)


def settle(dsn: str) -> None:
    """Start the cases from a steady server: the fill vacuumed, analysed and checkpointed."""
    import psycopg

    with psycopg.connect(dsn, autocommit=True) as conn:
        conn.execute("VACUUM ANALYZE")
        conn.execute("CHECKPOINT")


def run_cycles(store, seconds: float) -> tuple[int, float]:
    cycle(store)  # warm: prepared statements, index pages
    done = 0
    start = time.perf_counter()
    deadline = start + seconds
    while time.perf_counter() < deadline:
        cycle(store)
        done += 1
    return done, time.perf_counter() - start


def pg_worker(dsn: str, schema: str, durability: str, seconds: float, start_at: float) -> tuple[int, float]:
    from ombrel_store.postgres import PgStore

    with PgStore.open(dsn, schema=schema, durability=durability, max_connections=1) as store:
        time.sleep(max(0.0, start_at - time.time()))
        return run_cycles(store, seconds)


def pg_case(cluster, schema: str, durability: str, processes: int, seconds: float) -> tuple[int, float]:
    """Cycles and wall time of `processes` workers started together."""
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(processes, mp_context=context) as pool:
        start_at = time.time() + 2.0  # every worker connected before the clock starts
        futures = [pool.submit(pg_worker, cluster.dsn, schema, durability, seconds, start_at)
                   for _ in range(processes)]
        results = [f.result() for f in futures]
    return sum(n for n, _ in results), max(s for _, s in results)


def main() -> None:
    p = parser(__doc__)
    p.add_argument("--seconds", type=float, default=5.0, help="length of each case")
    p.add_argument("--backlogs", default="1000,100000")
    p.add_argument("--processes", default="1,4")
    args = p.parse_args()
    backlogs = [int(b) for b in args.backlogs.split(",")]
    processes = [int(n) for n in args.processes.split(",")]

    from ombrel_store.postgres import PgStore
    from ombrel_store.postgres.cluster import PrivateCluster

    cluster = PrivateCluster.start({"max_connections": "40", "shared_buffers": "256MB"}, parent=args.dir)
    banner("PostgreSQL: a private cluster on a Unix socket, fsync on; the file: one writer process",
           "figures are cycles (claim + complete + submit, three commits) per second")
    rates: dict[tuple, float] = {}
    try:
        with workdir(args) as tmp:
            for backlog in backlogs:
                files = {}
                for durability in ("data", "relaxed"):
                    with Store.open(str(tmp / f"{durability}-{backlog}.omb"), durability=durability) as store:
                        fill(store, backlog)
                        files[durability] = run_cycles(store, args.seconds)
                schema = f"bench_{backlog}"
                with PgStore.open(cluster.dsn, schema=schema, durability="relaxed") as store:
                    fill(store, backlog)
                settle(cluster.dsn)
                for durability, sync in (("data", "on"), ("relaxed", "off")):
                    for n in processes:
                        settle(cluster.dsn)
                        done, seconds = pg_case(cluster, schema, durability, n, args.seconds)
                        rates[(backlog, sync, n)] = done / seconds
                        file_done, file_seconds = files[durability]
                        report(f"pg sync={sync} {n}p {backlog:,}", done, seconds, f"file {durability}",
                               file_seconds, other_n=file_done)
        print()
        for sync in ("on", "off"):
            for backlog in backlogs:
                if 1 in processes and 4 in processes:
                    print(f"  sync={sync} backlog {backlog:,}: 4 processes / 1 = "
                          f"{rates[(backlog, sync, 4)] / rates[(backlog, sync, 1)]:.2f}x")
            for n in processes:
                if len(backlogs) > 1:
                    print(f"  sync={sync} {n} process(es): {backlogs[-1]:,} jobs / {backlogs[0]:,} = "
                          f"{rates[(backlogs[-1], sync, n)] / rates[(backlogs[0], sync, n)]:.2f}x")
    finally:
        cluster.stop()


if __name__ == "__main__":
    main()
