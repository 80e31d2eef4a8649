"""Running a store server in a child process for the tests: started with the command line,
ready when it prints its line, stopped by a signal."""

from __future__ import annotations

import os
import select
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

import ombrel_store

READY = "ombrel-store serving "


def child_environment() -> dict:
    """The environment of a child process that imports the same ombrel_store as the tests."""
    env = dict(os.environ)
    package_root = str(Path(ombrel_store.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join([package_root, *filter(None, env.get("PYTHONPATH", "").split(os.pathsep))])
    return env


def short_directory() -> Path:
    """A private directory whose socket paths fit the 107 bytes a Unix socket allows."""
    return Path(tempfile.mkdtemp(prefix="osrv-", dir="/tmp"))


class ServerProcess:
    """``python -m ombrel_store.server PATH ...``; ``ready`` waits for its line (or its exit)."""

    def __init__(self, store_path, *options: str):
        self.store_path = Path(store_path)
        self.socket_path = Path(str(store_path) + ".sock")
        arguments = list(options)
        if "--socket" in arguments:
            self.socket_path = Path(arguments[arguments.index("--socket") + 1])
        self.process = subprocess.Popen([sys.executable, "-m", "ombrel_store.server", str(store_path), *arguments],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                        env=child_environment())
        self.line = self._first_line()

    def _first_line(self, timeout: float = 60.0) -> str:
        readable, _, _ = select.select([self.process.stdout], [], [], timeout)
        return self.process.stdout.readline() if readable else ""

    @property
    def ready(self) -> bool:
        return self.line.startswith(READY)

    def stop(self, sig=signal.SIGTERM, timeout: float = 60.0) -> int:
        if self.process.poll() is None:
            self.process.send_signal(sig)
        return self.process.wait(timeout)

    def kill(self) -> int:
        return self.stop(signal.SIGKILL)

    def stderr(self) -> str:
        self.process.wait(60)
        return self.process.stderr.read()

    def __enter__(self) -> ServerProcess:
        assert self.ready, f"server did not start: {self.line!r} {self.stderr() if self.process.poll() is not None else ''}"
        return self

    def __exit__(self, *exc) -> None:
        if self.process.poll() is None:
            self.stop()
        self.process.stdout.close()
        self.process.stderr.close()


def run_as(uid: int, gid: int, action) -> int:
    """Runs action() in a forked child that has become user `uid`; its return value is the exit status."""
    pid = os.fork()
    if pid == 0:
        status = 99
        try:
            os.setgroups([])
            os.setgid(gid)
            os.setuid(uid)
            status = action()
        finally:
            os._exit(status)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


__all__ = ["READY", "ServerProcess", "child_environment", "run_as", "short_directory", "signal"]
