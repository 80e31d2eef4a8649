"""Runs one operation under many fault plans inside a process with the fault
injector preloaded, for the domain layers' fault tests.

Usage: script_child.py WORKDIR < job.json > results.json

job.json: {"setup": SRC, "action": SRC, "observe": SRC, "plans": [PLAN, ...],
           "durability": "data"}
- `setup` runs once, without faults, on a store opened as `store` at a template
  path; it may leave values for later steps in the dict `shared` (JSON-able).
- For each plan the template file is copied, opened, the plan armed, and
  `action` run with `store` and `shared`; its exception, if any, is recorded.
  The store is closed, the injector disarmed, and the copy verified and
  reopened as `store`; `observe` must set `observed` (JSON-able) from it.
"""

import json
import os
import shutil
import sys
import uuid
from pathlib import Path

from ombrel_store import _native


def disarm():
    for name in ("OMBREL_FAULT", "OMBREL_FAULT_ARM", "OMBREL_FAULT_MATCH"):
        os.environ.pop(name, None)


def run_plan(job, template, workdir, log_path, shared, plan):
    path = workdir / f"{uuid.uuid4().hex}.omb"
    shutil.copyfile(template, path)
    result = {"plan": plan, "error": None}
    store = _native.Store.open(str(path), durability=job.get("durability", "data"))
    log_path.write_text("")
    os.environ.update(OMBREL_FAULT=plan, OMBREL_FAULT_ARM=path.name, OMBREL_FAULT_MATCH=path.name,
                      OMBREL_FAULT_LOG=str(log_path))
    try:
        exec(job["action"], {"store": store, "shared": shared, "_native": _native})
    except Exception as error:  # every failure is an observation
        result["error"] = [type(error).__name__, str(error)]
    finally:
        disarm()
        store.close()
    result["fired"] = bool(log_path.read_text())
    try:
        report = _native.Store.verify(str(path))
        result["torn"] = report.has_torn_tail
        with _native.Store.open(str(path)) as reopened:
            scope = {"store": reopened, "shared": shared, "_native": _native, "observed": None}
            exec(job["observe"], scope)
            result["observed"] = scope["observed"]
    except _native.OmbrelStoreError as error:
        result["reopen_error"] = [type(error).__name__, str(error)]
    path.unlink()
    return result


def main():
    workdir = Path(sys.argv[1])
    job = json.load(sys.stdin)
    template = workdir / f"template-{uuid.uuid4().hex}.omb"
    shared = {}
    with _native.Store.open(str(template)) as store:
        exec(job["setup"], {"store": store, "shared": shared, "_native": _native})
    log_path = workdir / f"faults-{uuid.uuid4().hex}.log"
    json.dump([run_plan(job, template, workdir, log_path, shared, plan) for plan in job["plans"]], sys.stdout)


if __name__ == "__main__":
    main()
