"""A private, throw-away PostgreSQL cluster for tests and benchmarks.

Contract: `PrivateCluster.start()` runs Debian's initdb and pg_ctl (the newest
/usr/lib/postgresql/*/bin) into a fresh temporary directory and starts a server that listens
only on a Unix socket in that directory, never on TCP; `dsn` connects to its "postgres"
database as the superuser "ombrel" (trust authentication, local socket only). As root the server
runs as the unprivileged user "nobody", since initdb refuses root. `stop()` stops the server and
removes the directory; `restart(mode)` stops it ("immediate" is a crash: no checkpoint) and
starts it again on the same data. `find_binaries()` returns None when no server is installed.
"""

from __future__ import annotations

from typing import Any

import glob
import os
import pwd
import shutil
import subprocess
import tempfile
from pathlib import Path

SUPERUSER = "ombrel"


def find_binaries() -> Path | None:
    """The bin directory of the newest installed PostgreSQL server, or None."""
    found = []
    for candidate in glob.glob("/usr/lib/postgresql/*/bin"):
        if os.access(os.path.join(candidate, "initdb"), os.X_OK):
            version = os.path.basename(os.path.dirname(candidate))
            found.append((int(version) if version.isdigit() else 0, candidate))
    return Path(max(found)[1]) if found else None


class PrivateCluster:
    def __init__(self, bindir: Path, directory: Path, settings: dict[str, str]):
        self.bindir = bindir
        self.directory = directory
        self.data = directory / "data"
        self.settings = settings
        self._user = pwd.getpwnam("nobody") if os.geteuid() == 0 else None

    @property
    def dsn(self) -> str:
        return f"host={self.directory} port=5432 dbname=postgres user={SUPERUSER}"

    @classmethod
    def start(cls, settings: dict[str, str] | None = None, parent: str | os.PathLike | None = None) -> PrivateCluster:
        """Create and start a cluster under `parent` (default: the temporary directory); `settings`
        are extra server settings (e.g. fsync=off)."""
        bindir = find_binaries()
        if bindir is None:
            raise FileNotFoundError("no PostgreSQL server binaries under /usr/lib/postgresql (apt-get install postgresql)")
        directory = Path(tempfile.mkdtemp(prefix="ombrel-pg-", dir=parent))
        cluster = cls(bindir, directory, dict(settings or {}))
        try:
            if cluster._user is not None:
                os.chown(directory, cluster._user.pw_uid, cluster._user.pw_gid)
            cluster._run("initdb", "-D", str(cluster.data), "-U", SUPERUSER, "--auth=trust", "-E", "UTF8",
                         "--no-sync", "--locale=C")
            cluster._pg_ctl_start()
        except BaseException:
            shutil.rmtree(directory, ignore_errors=True)
            raise
        return cluster

    def _run(self, program: str, *args: str) -> None:
        options: dict[str, Any] = {}
        if self._user is not None:
            options = {"user": self._user.pw_uid, "group": self._user.pw_gid, "extra_groups": []}
        subprocess.run(
            [str(self.bindir / program), *args],
            check=True,
            cwd=self.directory,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            env=self._server_environment(),
            **options,
        )

    @staticmethod
    def _server_environment() -> dict[str, str]:
        # A sanitizer preloaded into the test process has no business in the server's.
        env = {k: v for k, v in os.environ.items() if not k.startswith(("LD_PRELOAD", "ASAN_", "UBSAN_", "TSAN_"))}
        env["LC_ALL"] = "C"
        return env

    def _pg_ctl_start(self) -> None:
        options = [f"-c listen_addresses=''", f"-c unix_socket_directories='{self.directory}'", "-c port=5432"]
        options += [f"-c {name}={value}" for name, value in self.settings.items()]
        self._run("pg_ctl", "start", "-w", "-t", "60", "-D", str(self.data), "-l", str(self.directory / "server.log"),
                  "-o", " ".join(options))

    def restart(self, mode: str = "fast") -> None:
        self.stop_server(mode)
        self._pg_ctl_start()

    def stop_server(self, mode: str = "fast") -> None:
        self._run("pg_ctl", "stop", "-w", "-t", "60", "-m", mode, "-D", str(self.data))

    def start_server(self) -> None:
        self._pg_ctl_start()

    def stop(self) -> None:
        try:
            self.stop_server("immediate")
        except subprocess.CalledProcessError:
            pass  # already stopped
        finally:
            shutil.rmtree(self.directory, ignore_errors=True)
