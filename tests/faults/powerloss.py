"""Power-loss simulation: runs child processes under the recorder (powerloss.c)
and rebuilds, for any drop point, what the disk may hold after the power went.

A drop point N is the moment after the first N tracked operations of the
recorded run (successive children share one journal, so a crash of one child
followed by another child's run is one history). Nothing is re-run per drop
point: the journal up to N is exactly what a child stopped at N would have left.

At each drop point the simulation offers several disk images, all allowed by
POSIX when the power goes, none of them the page cache:
- "synced": each file as at its last fsync/fdatasync (empty if never synced),
  each directory's entries as at its last fsync;
- "metadata k/m": besides, the first k of the m unsynced metadata changes
  (created, renamed, linked or removed names, truncations) reached the disk,
  but no unsynced data: a rename made before its file's sync carries an empty
  or stale file;
- "written": every change reached the disk (what a crash of the process alone leaves);
- "written k/n, torn": the first k of the n unsynced changes, in order, then
  the next write cut at a 512-byte sector boundary inside it, if it has one.
Out-of-order page writeback (holes of zeros inside a file) is not modelled.
"""

from __future__ import annotations

import contextlib
import os
import random
import struct
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

from faults.harness import compile_preload, preload_env

HERE = Path(__file__).parent
STOPPED = 86  # the exit status of a child stopped by OMBREL_POWERLOSS_STOP_AT
SECTOR = 512
OPEN, WRITE, TRUNCATE, SYNC, SYNC_DIR, RENAME, LINK, UNLINK, MARK, UNMODELLED = range(1, 11)
RENAME_EXCHANGE = 2


class NotModelled(Exception):
    """The journal holds something the simulation cannot rebuild faithfully."""


def build_library(directory: Path) -> Path:
    """Compiles the recorder into `directory`; returns the library's path."""
    return compile_preload(HERE / "powerloss.c", Path(directory) / "powerloss.so")


@contextlib.contextmanager
def workspace():
    """A private directory, on a tmpfs where the machine has one: real syncs cost
    nothing there, and what was durable is the simulation's to decide anyway."""
    shm = "/dev/shm"
    base = shm if os.path.isdir(shm) and os.access(shm, os.W_OK) else None
    with tempfile.TemporaryDirectory(prefix="powerloss-", dir=base) as path:
        yield Path(path)


@dataclass(frozen=True)
class Image:
    """One disk the power loss may leave: file contents by path relative to the tracked directory."""

    label: str
    files: dict


@dataclass(frozen=True)
class DropPoint:
    index: int  # tracked operations done when the power went
    marks: list  # acknowledgement lines the children had written by then
    images: list


class _Inode:
    __slots__ = ("current", "durable")

    def __init__(self, content: bytes):
        self.current = bytearray(content)
        self.durable = bytes(content)  # as at the last sync


def _write_into(buffer: bytearray, offset: int, data: bytes) -> None:
    if offset > len(buffer):
        buffer.extend(bytes(offset - len(buffer)))
    buffer[offset:offset + len(data)] = data


def _resize(buffer: bytearray, length: int) -> None:
    if length < len(buffer):
        del buffer[length:]
    else:
        buffer.extend(bytes(length - len(buffer)))


class _Disk:
    """The page cache (`current`) and the durable state, plus the unsynced
    changes in the order they were made:
      ("name", dir, name, inode or None)   an entry set or removed
      ("rename", dir, old, new, inode)     within one directory, atomic
      ("truncate", inode, length)          ("write", inode, offset, bytes)"""

    def __init__(self, root: str, directories: dict, contents: dict):
        self.root = root
        by_ino = {ino: _Inode(data) for ino, data in contents.items()}
        self.dirs = {d: {name: by_ino[ino] for name, ino in entries.items()} for d, entries in directories.items()}
        self.durable_dirs = {d: dict(entries) for d, entries in self.dirs.items()}
        self.by_ino = by_ino
        self.pending = []

    def _relative(self, path: str) -> str:
        if path == self.root:
            return ""
        if not path.startswith(self.root + "/"):
            raise NotModelled(f"{path} is outside the tracked directory")
        return path[len(self.root) + 1:]

    def _directory(self, directory: str) -> dict:
        if directory not in self.dirs:
            raise NotModelled(f"directory {directory!r} was made during the run")
        return self.dirs[directory]

    def _split(self, path: str):
        directory, name = os.path.split(self._relative(path))
        self._directory(directory)
        return directory, name

    def _named(self, directory: str, name: str) -> _Inode:
        if name not in self.dirs[directory]:
            raise NotModelled(f"{os.path.join(directory, name)} appeared without the recorder seeing it")
        return self.dirs[directory][name]

    def _inode(self, ino: int) -> _Inode:
        if ino not in self.by_ino:
            raise NotModelled(f"inode {ino} was never seen by name")
        return self.by_ino[ino]

    def apply(self, kind: int, body: bytes) -> None:
        if kind == OPEN:
            ino, created, truncated = struct.unpack_from("<QBB", body)
            directory, name = self._split(body[10:].decode())
            if created:
                inode = _Inode(b"")
                self.dirs[directory][name] = inode
                self.pending.append(("name", directory, name, inode))
            else:
                inode = self._named(directory, name)
            self.by_ino[ino] = inode
            if truncated and not created:
                inode.current.clear()
                self.pending.append(("truncate", inode, 0))
        elif kind == WRITE:
            ino, offset = struct.unpack_from("<QQ", body)
            inode, data = self._inode(ino), bytes(body[16:])
            _write_into(inode.current, offset, data)
            self.pending.append(("write", inode, offset, data))
        elif kind == TRUNCATE:
            ino, length = struct.unpack_from("<QQ", body)
            inode = self._inode(ino)
            _resize(inode.current, length)
            self.pending.append(("truncate", inode, length))
        elif kind == SYNC:
            inode = self._inode(struct.unpack_from("<Q", body)[0])
            inode.durable = bytes(inode.current)
            self.pending = [op for op in self.pending if op[0] not in ("write", "truncate") or op[1] is not inode]
        elif kind == SYNC_DIR:
            directory = self._relative(body.decode())
            self.durable_dirs[directory] = dict(self._directory(directory))
            self.pending = [op for op in self.pending if op[0] not in ("name", "rename") or op[1] != directory]
        elif kind in (RENAME, LINK):
            flags = struct.unpack_from("<I", body)[0] if kind == RENAME else 0
            skip = 4 if kind == RENAME else 0
            length = struct.unpack_from("<I", body, skip)[0]
            paths = body[skip + 4:]
            (old_dir, old), (new_dir, new) = self._split(paths[:length].decode()), self._split(paths[length:].decode())
            if flags & RENAME_EXCHANGE:
                raise NotModelled("rename with RENAME_EXCHANGE")
            inode = self._named(old_dir, old)
            if kind == RENAME:
                del self.dirs[old_dir][old]
            self.dirs[new_dir][new] = inode
            if kind == RENAME and old_dir == new_dir:
                self.pending.append(("rename", old_dir, old, new, inode))
            else:  # each directory's half reaches the disk with that directory
                if kind == RENAME:
                    self.pending.append(("name", old_dir, old, None))
                self.pending.append(("name", new_dir, new, inode))
        elif kind == UNLINK:
            directory, name = self._split(body.decode())
            self._named(directory, name)
            del self.dirs[directory][name]
            self.pending.append(("name", directory, name, None))
        elif kind == UNMODELLED:
            raise NotModelled(f"the child used {body.decode()} on a tracked file")
        else:
            raise NotModelled(f"unknown journal record {kind}")

    def _image(self, label: str, changes) -> Image:
        dirs = {d: dict(entries) for d, entries in self.durable_dirs.items()}
        written = {}
        for op in changes:
            if op[0] == "name":
                _, directory, name, inode = op
                if inode is None:
                    dirs[directory].pop(name, None)
                else:
                    dirs[directory][name] = inode
            elif op[0] == "rename":
                _, directory, old, new, inode = op
                dirs[directory].pop(old, None)
                dirs[directory][new] = inode
            else:
                inode = op[1]
                if inode not in written:
                    written[inode] = bytearray(inode.durable)
                if op[0] == "truncate":
                    _resize(written[inode], op[2])
                else:
                    _write_into(written[inode], op[2], op[3])
        files = {}
        for directory, entries in dirs.items():
            for name, inode in entries.items():
                files[os.path.join(directory, name)] = bytes(written[inode]) if inode in written else inode.durable
        return Image(label, files)

    def images(self, rng: random.Random) -> list:
        candidates = [self._image("synced", [])]
        metadata = [op for op in self.pending if op[0] != "write"]
        for k in range(1, len(metadata) + 1):
            candidates.append(self._image(f"metadata {k}/{len(metadata)}", metadata[:k]))
        n = len(self.pending)
        if n:
            candidates.append(self._image("written", self.pending))
        if n > 1:
            k = rng.randrange(n)
            head, torn = self.pending[:k], []
            if self.pending[k][0] == "write":
                _, inode, offset, data = self.pending[k]
                cuts = range((offset // SECTOR + 1) * SECTOR, offset + len(data), SECTOR)
                if cuts:
                    torn = [("write", inode, offset, data[:rng.choice(cuts) - offset])]
            candidates.append(self._image(f"written {k}/{n}, torn", head + torn))
        unique, seen = [], set()
        for image in candidates:
            key = tuple(sorted((path, hash(data)) for path, data in image.files.items()))
            if key not in seen:
                seen.add(key)
                unique.append(image)
        return unique


def _scan(root: str):
    directories, contents = {}, {}
    for path, _, names in os.walk(root):
        rel = os.path.relpath(path, root)
        entries = directories["" if rel == "." else rel] = {}
        for name in names:
            full = os.path.join(path, name)
            status = os.lstat(full)
            entries[name] = status.st_ino
            if status.st_ino not in contents:
                contents[status.st_ino] = Path(full).read_bytes()
    return directories, contents


class Recording:
    """The tracked directory `root` as it is now (taken as durable), and the
    journal of the children run over it since."""

    def __init__(self, library: Path, root: Path, workdir: Path):
        self.library = library
        self.root = os.path.realpath(root)
        self.journal = Path(workdir) / "powerloss.journal"
        self.marks = Path(workdir) / "powerloss.marks"
        self.journal.write_bytes(b"")
        self.marks.write_bytes(b"")
        self.initial = _scan(self.root)

    def run(self, *args, stop_at=None, timeout=300, sync_us=0) -> subprocess.CompletedProcess:
        """Runs powerloss_child.py with `args` under the recorder; with `stop_at`
        the child ends (status STOPPED) instead of making its operation stop_at + 1."""
        env = preload_env(self.library)
        env.update(OMBREL_POWERLOSS_DIR=self.root, OMBREL_POWERLOSS_JOURNAL=str(self.journal),
                   OMBREL_POWERLOSS_MARKS=str(self.marks))
        if stop_at is not None:
            env["OMBREL_POWERLOSS_STOP_AT"] = str(stop_at)
        if sync_us:
            env["OMBREL_POWERLOSS_SYNC_US"] = str(sync_us)
        done = subprocess.run([sys.executable, str(HERE / "powerloss_child.py"), *map(str, args)],
                              capture_output=True, text=True, env=env, timeout=timeout)
        expected = (0, STOPPED) if stop_at is not None else (0,)
        assert done.returncode in expected, f"child failed ({done.returncode}):\n{done.stderr[-4000:]}"
        return done

    def records(self) -> list:
        data, records, p = self.journal.read_bytes(), [], 0
        while p < len(data):
            length = struct.unpack_from("<I", data, p)[0]
            records.append((data[p + 4], data[p + 5:p + 4 + length]))
            p += 4 + length
        return records

    def operations(self) -> int:
        return sum(1 for kind, _ in self.records() if kind != MARK)

    def drop_points(self, points=None, seed: str = ""):
        """Yields the DropPoint of each index in `points` (default: every one, 0 to operations())."""
        disk = _Disk(self.root, *self.initial)
        wanted = None if points is None else set(points)
        marks, partial, index = [], b"", 0

        def drop_point():
            return DropPoint(index, list(marks), disk.images(random.Random(f"{seed}:{index}")))

        for kind, body in self.records():
            if kind == MARK:
                *lines, partial = (partial + body).split(b"\n")
                marks.extend(line.decode() for line in lines)
                continue
            if wanted is None or index in wanted:
                yield drop_point()
            disk.apply(kind, body)
            index += 1
        if wanted is None or index in wanted:
            yield drop_point()
