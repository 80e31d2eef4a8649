"""Runs maintenance operations in forked processes that the fault injector may kill.

Usage: kill_child.py < requests > replies, one JSON object a line each.

Request: {"operation", "source", "arguments", "env"}. A forked process adds `env` to its
environment (arming the injector), then: for restore_copy, copies the closed store `source`;
for any other operation, opens the store at `source`, commits one write, reports "acked" and
calls the operation on the store with `arguments`. It reports "done" when the operation
returned, or "error" and the exception. Reply: {"returncode" (negative: killed by that
signal), "lines"}. Forking once per request spares the interpreter's start-up.
"""

import json
import os
import sys

from ombrel_store import _native

ACKED = (b"acked", b"committed before the operation")


def operate(request, report):
    os.environ.update(request["env"])
    if request["operation"] == "restore_copy":
        _native.Store.restore_copy(request["source"], *request["arguments"])
    else:
        store = _native.Store.open(request["source"])
        store.put(*ACKED)
        report("acked")
        getattr(store, request["operation"])(*request["arguments"])
    report("done")


def run(request):
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        report = lambda line: os.write(write_end, (line + "\n").encode())  # noqa: E731
        try:
            operate(request, report)
        except BaseException as error:  # reported, never raised out of the fork
            report(f"error {type(error).__name__}: {error}")
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "r") as lines:
        output = lines.read()
    _, status = os.waitpid(pid, 0)
    code = -os.WTERMSIG(status) if os.WIFSIGNALED(status) else os.WEXITSTATUS(status)
    return {"returncode": code, "lines": output.splitlines()}


def main():
    for line in sys.stdin:
        print(json.dumps(run(json.loads(line))), flush=True)


if __name__ == "__main__":
    main()
