#!/usr/bin/env python3
"""Runs every benchmark script in bench/, each in its own process, and prints all their ratios together.

By default each script gets small "quick" sizes, so that the whole set takes about two minutes on
a Release build: enough to see where Ombrel stands against sqlite, not to settle a close figure
(run a script alone with its own defaults for that). --full runs every script with its defaults,
which takes far longer. A script that fails is reported and the others still run.

    python bench/run_all.py [--full] [--only kv,jobs,...] [--dir PATH]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from harness import RESULTS_ENV

HERE = Path(__file__).resolve().parent

# Per script, the options of a quick run; data-durability cases keep few operations (a sync each).
QUICK = {
    "kv": ["--ops", "50000", "--data-ops", "300", "--keys", "300000", "--scans", "3000",
           "--scan-budget", "3", "--records", "300000", "--repeats", "3"],
    "records": ["--records", "50000", "--queries", "5000", "--budget", "2"],
    "objects": ["--objects", "32", "--reads", "5"],
    "messaging": ["--backlogs", "1000,10000,100000", "--pushes", "1000", "--cycles", "200",
                  "--claim-budget", "2"],
    "streams": ["--entries", "50000", "--data-ops", "200", "--reads", "2000", "--cycles", "5000"],
    "jobs": ["--submits", "10000", "--data-submits", "200", "--sizes", "1000,10000,100000", "--cycles", "100",
             "--budget", "2", "--schedules", "5000"],
    "cron": ["--ops", "5000", "--fires", "1000", "--data-ops", "100"],
    "schedules": ["--schedules", "100000", "--ticks", "20000", "--budget", "2"],
    "maintenance": ["--mb", "50", "--keys", "300000", "--repeats", "3"],
    "transactions": ["--commits", "10000", "--data-commits", "200"],
    "workflows": ["--instances", "100000", "--steps", "10000", "--data-steps", "200"],
    "threads": ["--seconds", "1", "--megabytes", "50"],
    "aio": ["--megabytes", "50"],
    "live_table": ["--keys", "200000", "--sqlite-gets", "20000", "--scans", "500", "--repeats", "3"],
    "server": ["--gets", "5000", "--puts", "8000", "--cycles", "2000", "--data-cycles", "200"],
}


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--full", action="store_true", help="run each script with its own default sizes")
    p.add_argument("--only", default=",".join(QUICK),
                   help=f"comma-separated scripts to run (default all: {','.join(QUICK)})")
    p.add_argument("--dir", type=Path, default=None,
                   help="where the scripts make their temporary directories (a real disk: syncs matter)")
    args = p.parse_args()
    names = [n for n in args.only.split(",") if n]
    for name in names:
        if name not in QUICK:
            raise SystemExit(f"unknown script {name!r} (known: {', '.join(QUICK)})")

    started = time.perf_counter()
    outcomes = []
    with tempfile.TemporaryDirectory(prefix="ombrel-bench-all-") as tmp:
        results = Path(tmp) / "rows.jsonl"
        env = dict(os.environ, **{RESULTS_ENV: str(results)})
        for name in names:
            command = [sys.executable, str(HERE / f"{name}.py")]
            command += [] if args.full else QUICK[name]
            command += ["--dir", str(args.dir)] if args.dir else []
            print(f"\n=== {name}: {' '.join(command[1:])}", flush=True)
            t0 = time.perf_counter()
            code = subprocess.run(command, env=env).returncode
            outcomes.append((name, code, time.perf_counter() - t0))
        rows = [json.loads(line) for line in results.read_text().splitlines()] if results.exists() else []

    print("\n=== all ratios (Ombrel time per op / the other side's, < 1: Ombrel faster)")
    labels = [f"{r['script']}: {r['case']} vs {r['against']}" for r in rows]
    width = max(map(len, labels), default=0)
    for label, row in zip(labels, rows):
        print(f"  {label:<{width}} {row['ratio']:8.3f}")
    print()
    for name, code, seconds in outcomes:
        print(f"  {name:<12} {'ok' if code == 0 else f'FAILED (exit {code})':<16} {seconds:6.1f} s")
    failed = sum(1 for _, code, _ in outcomes if code != 0)
    print(f"{len(outcomes)} scripts run, {failed} failed, {time.perf_counter() - started:.0f} s in all")
    return 1 if failed else 0


if __name__ == "__main__":
    raise SystemExit(main())
