"""What every benchmark script shares: the store import, timing, sqlite set-up, reporting and main.

A script measures one thing on each side, then calls `report` with the two times; the ratio is
Ombrel time per operation divided by the other side's time per operation, both taken in the
same run (below 1 Ombrel is faster). `workdir` runs the cases in a temporary directory and, once
they all ran, prints the summary of every reported row and the total time.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import gc
import json
import os
import platform
import sqlite3
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

try:
    import ombrel_store
except ImportError:  # running from a checkout with an in-tree build
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))
    import ombrel_store

Store = ombrel_store.Store

# The sqlite setting each store durability is compared with: "relaxed" does not sync at commit,
# "data" syncs every commit, as WAL mode with synchronous=FULL does.
SQLITE_SYNC = {"relaxed": "OFF", "data": "FULL"}
NORMAL_NOTE = "  * WAL with synchronous=NORMAL does not sync at commit; FULL is the like-for-like one"

# run_all.py sets this to gather every script's rows into one table.
RESULTS_ENV = "OMBREL_BENCH_RESULTS"


def timed(fn, *args):
    """(seconds, result) of fn(*args), with the collector out of the way while it runs."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        result = fn(*args)
        return time.perf_counter() - start, result
    finally:
        gc.enable()


def each_within(fn, items, budget_s: float):
    """Calls fn on items in order until all are done or the budget is spent: (calls, rows returned)."""
    done = rows = 0
    deadline = time.perf_counter() + budget_s
    for item in items:
        rows += len(fn(item))
        done += 1
        if time.perf_counter() > deadline:
            break
    return done, rows


def resident_bytes() -> int:
    """The process's resident set, after handing freed heap back to the system (glibc malloc_trim),
    so that growth between two readings is what stayed allocated."""
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def sqlite_open(path: Path, synchronous: str, schema: str = "") -> sqlite3.Connection:
    """An autocommit connection (a transaction per statement unless BEGIN) in WAL mode."""
    conn = sqlite3.connect(path, isolation_level=None)
    mode = conn.execute("PRAGMA journal_mode=WAL").fetchone()[0]
    if mode.lower() != "wal":
        raise SystemExit(f"sqlite refused WAL mode (got {mode!r})")
    conn.execute(f"PRAGMA synchronous={synchronous}")
    if schema:
        conn.executescript(schema)
    return conn


# --- reporting ------------------------------------------------------------------------

# How a per-operation time is shown; "s" suits operations that take whole seconds.
_FIGURES = {
    "/s": lambda per: f"{1 / per:12,.0f}/s",
    "us": lambda per: f"{per * 1e6:10.1f} us/op",
    "ms": lambda per: f"{per * 1e3:8.3f} ms/op",
    "s": lambda per: f"{per:9.3f} s",
}


@dataclass
class Row:
    case: str
    ombrel_n: int
    ombrel_s: float
    against: str  # the other side, e.g. "sqlite sync=OFF"
    other_n: int
    other_s: float

    def ombrel_per_op(self) -> float:
        return self.ombrel_s / self.ombrel_n

    def other_per_op(self) -> float:
        return self.other_s / self.other_n

    def ratio(self) -> float:
        return self.ombrel_per_op() / self.other_per_op()


ROWS: list[Row] = []


def report(case: str, n: int, ombrel_s: float, against: str, other_s: float, *, other_n: int | None = None,
           unit: str = "/s", unit_bytes: int = 0, note: str = "") -> Row:
    """Records and prints one comparison: n operations took ombrel_s, other_n (default n) took other_s."""
    row = Row(case, n, ombrel_s, against, n if other_n is None else other_n, other_s)
    ROWS.append(row)
    r = row.ratio()

    def figure(per: float) -> str:
        text = _FIGURES[unit](per)
        return text + (f" {unit_bytes / per / 2**20:8.1f} MiB/s" if unit_bytes else "")

    verdict = f"Ombrel {1 / r:.2f}x faster" if r < 1 else f"Ombrel {r:.2f}x slower"
    print(f"  {case:<28} ombrel {figure(row.ombrel_per_op())} n={row.ombrel_n:<8,} "
          f"{against:<23} {figure(row.other_per_op())} n={row.other_n:<8,} "
          f"ratio {r:7.3f} ({verdict}){'  ' + note if note else ''}", flush=True)
    return row


def summary() -> None:
    labels = [f"{row.case} vs {row.against}" for row in ROWS]
    width = max(map(len, labels), default=0)
    print("\nsummary (ratio = Ombrel time per op / the other side's time per op, < 1: Ombrel faster):")
    for label, row in zip(labels, ROWS):
        print(f"  {label:<{width}} {row.ratio():8.3f}")
    results = os.environ.get(RESULTS_ENV)
    if results:
        script = Path(sys.argv[0]).stem
        with open(results, "a") as f:
            for row in ROWS:
                f.write(json.dumps({"script": script, "case": row.case, "against": row.against,
                                    "ratio": row.ratio()}) + "\n")


# --- main -----------------------------------------------------------------------------


def parser(doc: str) -> argparse.ArgumentParser:
    """The script's parser, described by the first paragraph of its docstring, with --dir."""
    p = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    p.add_argument("--dir", type=Path, default=None,
                   help="where to make the temporary directory (a real disk: syncs matter)")
    return p


def parse(p: argparse.ArgumentParser, positive=()) -> argparse.Namespace:
    args = p.parse_args()
    for name in positive:
        value = getattr(args, name)
        if value is not None and value < 1:  # None: not given, the script picks
            raise SystemExit(f"--{name.replace('_', '-')} must be positive")
    return args


def banner(*notes: str) -> None:
    print(f"Ombrel Store {ombrel_store.__version__} vs sqlite {sqlite3.sqlite_version} (WAL); "
          f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} CPUs; warm page cache")
    for note in notes:
        print(note)
    print("ratio = Ombrel time per op / the other side's time per op, measured in this run (< 1: Ombrel faster)")


@contextlib.contextmanager
def workdir(args: argparse.Namespace):
    """A temporary directory (under --dir) for the cases; the summary and total follow them."""
    started = time.perf_counter()
    prefix = f"ombrel-bench-{Path(sys.argv[0]).stem}-"
    with tempfile.TemporaryDirectory(prefix=prefix, dir=args.dir) as tmp:
        yield Path(tmp)
    summary()
    print(f"total {time.perf_counter() - started:.1f} s")
