"""Runs I/O-fault scenarios inside a process that has the fault injector preloaded.

Usage: fault_child.py WORKDIR < scenarios.json > results.json

Each scenario arms one plan (see iofault.c), opens a fresh store, applies a
fixed workload of puts and deletes, then flushes, reads back, closes, disarms
the injector and reopens the file. Only observations are reported; the test
decides what they must be.
"""

import json
import os
import sys
import uuid
from pathlib import Path

from ombrel_store import _native


def workload(ops):
    """(kind, key, value) steps: puts of growing values, every fourth a delete."""
    steps = []
    for i in range(ops):
        if i % 4 == 3:
            steps.append(("delete", f"k{i - 2}".encode(), None))
        else:
            steps.append(("put", f"k{i}".encode(), f"value-{i}-".encode() * (1 + i % 3)))
    return steps


def user_contents(store):
    return {k.decode(): v.decode() for k, v in store.scan_prefix(b"") if not k.startswith(b"\xffomb:")}


def failure(error):
    return [type(error).__name__, str(error)]


def run(workdir, scenario, log_path):
    path = workdir / f"{uuid.uuid4().hex}.omb"
    result = {"scenario": scenario, "outcomes": [], "open_error": None}
    os.environ.update(
        OMBREL_FAULT=scenario["plan"], OMBREL_FAULT_ARM=path.name, OMBREL_FAULT_MATCH=path.name,
        OMBREL_FAULT_LOG=str(log_path),
    )
    log_path.write_text("")
    try:
        try:
            store = _native.Store.open(str(path), durability=scenario["durability"])
        except _native.OmbrelStoreError as error:
            result["open_error"] = failure(error)
            store = None
        if store is not None:
            for kind, key, value in workload(scenario["ops"]):
                try:
                    store.put(key, value) if kind == "put" else store.delete(key)
                    result["outcomes"].append(None)
                except _native.OmbrelStoreError as error:
                    result["outcomes"].append(failure(error))
            try:
                store.flush()
                result["flush"] = None
            except _native.OmbrelStoreError as error:
                result["flush"] = failure(error)
            result["live"] = user_contents(store)
            store.close()
    finally:
        for name in ("OMBREL_FAULT", "OMBREL_FAULT_ARM", "OMBREL_FAULT_MATCH"):
            os.environ.pop(name, None)
    result["fired"] = log_path.read_text().splitlines()
    try:
        if result["open_error"] is None:  # a failed creation may leave an empty file, which opens
            report = _native.Store.verify(str(path))
            result["verify"] = {"torn": report.has_torn_tail, "pending": report.pending_transactions}
        with _native.Store.open(str(path)) as reopened:
            result["reopened"] = user_contents(reopened)
    except _native.OmbrelStoreError as error:
        result["reopen_error"] = failure(error)
    return result


def main():
    workdir = Path(sys.argv[1])
    scenarios = json.load(sys.stdin)
    log_path = workdir / "faults.log"
    json.dump([run(workdir, s, log_path) for s in scenarios], sys.stdout)


if __name__ == "__main__":
    main()
