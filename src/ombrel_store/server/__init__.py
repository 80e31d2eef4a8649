"""The store server: one process owns a store file and serves it to others on a Unix socket.

A store file has one writer process. Programs that scale with processes (pre-forked web
workers, process pools, a separate scheduler) run one server that holds the store, and every
process talks to it with ``ombrel_store.connect(socket_path)``, whose client has the Store's
methods. ``main(argv)`` is the command line:

    python -m ombrel_store serve PATH [--socket SOCKET] [--durability data] [--allow-group NAME] ...

The server prints one line when it is ready ("ombrel-store serving PATH on SOCKET"), and on
SIGTERM or SIGINT stops taking requests, finishes those in flight, closes the store and
removes its socket. A store that another process holds makes it exit at once with that
AlreadyOpenError's text.

Threads. The main thread waits on every socket (selectors) and only reads and writes them;
store calls run on a pool of worker threads, so that commits from many clients share syncs
(group commit) and no socket waits on the store. A connection has at most one call running
at a time, in the order its requests arrived; a worker writes its reply straight to the
socket when it can, and leaves the rest to the main thread.

Security. The socket is made with mode 0600 (0660 with --allow-group) in a directory that
its owner controls: the directory (created 0700 if missing) must belong to this user or to
root and must not be writable by other users unless it is sticky (like /tmp), where nobody
else can remove or replace the socket. Every connection's peer is checked with SO_PEERCRED:
only this user is served, and with --allow-group NAME also the members of that group, who
however may not call the methods that name files (backup_to and the other copies), since
those would write files as the server's user. There is no TCP listener.
"""

from __future__ import annotations

import argparse
import collections
import concurrent.futures
import errno
import grp
import os
import selectors
import signal
import socket
import stat
import struct
import sys
import threading
import time

from .. import _native, _wire

__all__ = ["main", "Server", "ServerSetupError", "bind_socket"]

_PEERCRED = struct.Struct("3i")  # pid, uid, gid
_SO_PEERGROUPS = getattr(socket, "SO_PEERGROUPS", 59)  # Linux 4.13 and later
_MAX_QUEUED_REQUESTS = 8  # per connection; reading pauses beyond
_READ_CHUNK = 1 << 18
_REPLY_FLUSH_SECONDS = 5.0  # at shutdown, for clients slow to read their last replies


class ServerSetupError(Exception):
    """The server cannot start as asked (socket directory, socket path, group)."""


# ---- the socket -------------------------------------------------------------------

def _check_directory(directory: str, uid: int) -> None:
    info = os.stat(directory)
    if not stat.S_ISDIR(info.st_mode):
        raise ServerSetupError(f"{directory} is not a directory")
    if info.st_uid not in (uid, 0):
        raise ServerSetupError(f"refusing to serve in {directory}: it belongs to another user")
    if info.st_mode & (stat.S_IWGRP | stat.S_IWOTH) and not info.st_mode & stat.S_ISVTX:
        raise ServerSetupError(f"refusing to serve in {directory}: other users may write there and it is not "
                               "sticky, so they could replace the socket; choose another place with --socket")


def _clear_stale_socket(path: str, uid: int) -> None:
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return
    if not stat.S_ISSOCK(info.st_mode):
        raise ServerSetupError(f"{path} exists and is not a socket")
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        probe.connect(path)
    except (ConnectionRefusedError, FileNotFoundError):
        pass  # nobody listens: left by a server that was killed
    except OSError as error:
        raise ServerSetupError(f"cannot tell whether {path} is in use: {error}") from None
    else:
        raise ServerSetupError(f"another server is already serving on {path}")
    finally:
        probe.close()
    if info.st_uid != uid:
        raise ServerSetupError(f"{path} is a stale socket of another user")
    os.unlink(path)


def bind_socket(path: str, group_id: int | None = None) -> socket.socket:
    """A listening Unix socket at ``path`` (absolute), made as the module docstring describes."""
    uid = os.geteuid()
    directory = os.path.dirname(path)
    if len(os.fsencode(path)) > 107:
        raise ServerSetupError(f"socket path is too long for a Unix socket (at most 107 bytes): {path}")
    if not os.path.isdir(directory):
        try:
            os.mkdir(directory, 0o710 if group_id is not None else 0o700)
        except OSError as error:
            raise ServerSetupError(f"cannot create {directory}: {error}") from None
        if group_id is not None:
            os.chown(directory, -1, group_id)
            os.chmod(directory, 0o710)
    _check_directory(directory, uid)
    _clear_stale_socket(path, uid)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    previous = os.umask(0o177)  # the socket is born 0600: nobody else can connect before the chmod below
    try:
        listener.bind(path)
    except OSError as error:
        listener.close()
        raise ServerSetupError(f"cannot bind {path}: {error}") from None
    finally:
        os.umask(previous)
    try:
        if group_id is not None:
            os.chown(path, -1, group_id)
            os.chmod(path, 0o660)
        listener.listen(128)
    except OSError as error:
        listener.close()
        os.unlink(path)
        raise ServerSetupError(f"cannot listen on {path}: {error}") from None
    listener.setblocking(False)
    return listener


def _peer_groups(sock: socket.socket) -> set[int]:
    try:
        raw = sock.getsockopt(socket.SOL_SOCKET, _SO_PEERGROUPS, 4 * 1024)
    except OSError:
        return set()
    return set(struct.unpack(f"{len(raw) // 4}I", raw[: len(raw) // 4 * 4]))


# ---- connections ------------------------------------------------------------------

class _Connection:
    """One client's socket. `lock` guards `out`, `busy`, `pending`, `closed` and every send or close."""

    __slots__ = ("sock", "reader", "pending", "busy", "out", "lock", "closed", "paused", "may_name_files",
                 "writing", "__weakref__")

    def __init__(self, sock: socket.socket, max_frame_bytes: int, may_name_files: bool):
        self.sock = sock
        self.reader = _wire.FrameReader(max_frame_bytes)
        self.pending: collections.deque = collections.deque()
        self.busy = False
        self.out = bytearray()
        self.lock = threading.Lock()
        self.closed = False
        self.paused = False
        self.writing = False
        self.may_name_files = may_name_files

    def send_or_keep(self, data: bytes) -> bool:
        """With the lock held: sends what the socket takes now and keeps the rest; False when broken."""
        if not self.out:
            try:
                sent = self.sock.send(data)
            except BlockingIOError:
                sent = 0
            except OSError:
                return False
            data = data[sent:]
        self.out += data
        return True


class _ProtocolViolation(Exception):
    """A well-formed frame whose message is not one of the protocol's."""


def _check_call(message) -> tuple[str, tuple, dict]:
    if len(message) != 4 or type(message[1]) is not str or type(message[2]) is not tuple or type(message[3]) is not dict:
        raise _ProtocolViolation("malformed call")
    if not all(type(name) is str for name in message[3]):
        raise _ProtocolViolation("malformed call keywords")
    return message[1], message[2], message[3]


def _check_transaction(message) -> tuple[tuple, tuple, bool]:
    if len(message) != 4 or type(message[1]) is not tuple or type(message[2]) is not tuple or type(message[3]) is not bool:
        raise _ProtocolViolation("malformed transaction")
    for read in message[1]:
        if (type(read) is not tuple or len(read) != 3 or read[0] not in _wire.TRANSACTION_READS
                or type(read[2]) is not bytes):
            raise _ProtocolViolation("malformed transaction read")
    for operation in message[2]:
        if (type(operation) is not tuple or len(operation) != 3 or type(operation[0]) is not str
                or type(operation[1]) is not tuple or type(operation[2]) is not dict
                or not all(type(name) is str for name in operation[2])):
            raise _ProtocolViolation("malformed transaction operation")
    return message[1], message[2], message[3]


class Server:
    """Serves ``store`` on ``listener`` until stop(); see the module docstring."""

    def __init__(self, store: _native.Store, store_path: str, listener: socket.socket, socket_path: str, *,
                 threads: int = 16, max_frame_bytes: int = _wire.MAX_FRAME_BYTES, allow_group_id: int | None = None):
        self.store = store
        self.listener = listener
        self.socket_path = socket_path
        self.max_frame_bytes = max_frame_bytes
        self.allow_group_id = allow_group_id
        self._uid = os.geteuid()
        self._socket_identity = self._identity(socket_path)
        self._greeting = _wire.encode_frame((_wire.GREETING, _wire.PROTOCOL_VERSION, store_path, max_frame_bytes))
        self._methods = _wire.remote_store_methods()
        self._naming_files = frozenset(name for name in self._methods
                                       if _wire.path_parameters(getattr(_native.Store, name)))
        self._staging = frozenset(name for name in _wire.public_methods(_native.Transaction)
                                  if name not in _wire.TRANSACTION_OWN and name not in _wire.TRANSACTION_READS)
        self._pool = concurrent.futures.ThreadPoolExecutor(max_workers=threads, thread_name_prefix="ombrel-store")
        self._selector = selectors.DefaultSelector()
        self._wake_read, self._wake_write = socket.socketpair()
        self._wake_read.setblocking(False)
        self._wake_write.setblocking(False)
        self._notified: collections.deque = collections.deque()
        self._connections: set[_Connection] = set()
        self._stopping = False
        # Calls from other threads wait while a worker holds the store for a client's transaction.
        store.busy_timeout = 86400

    @staticmethod
    def _identity(path):
        try:
            info = os.lstat(path)
        except OSError:
            return None
        return (info.st_dev, info.st_ino)

    # -- control

    def stop(self) -> None:
        """Ask the loop to stop (safe from a signal handler or another thread)."""
        self._stopping = True
        self._wake()

    def _wake(self) -> None:
        try:
            self._wake_write.send(b"\0")
        except (BlockingIOError, OSError):
            pass  # a wake-up is pending already

    # -- the loop

    def serve_forever(self) -> None:
        """Serves until stop(); then finishes the calls in flight and releases everything."""
        self._selector.register(self.listener, selectors.EVENT_READ, "listen")
        self._selector.register(self._wake_read, selectors.EVENT_READ, "wake")
        try:
            while not self._stopping:
                self._poll(None)
            self._shut_down()
        finally:
            self._release()

    def _poll(self, timeout):
        for key, events in self._selector.select(timeout):
            if key.data == "listen":
                self._accept()
            elif key.data == "wake":
                self._take_notifications()
            else:
                connection = key.data
                if events & selectors.EVENT_WRITE:
                    self._flush(connection)
                if events & selectors.EVENT_READ and not connection.closed:
                    self._read(connection)

    def _shut_down(self):
        # No new connections and no new requests; the calls running now finish and their
        # replies are sent.
        self._selector.unregister(self.listener)
        self.listener.close()
        if self._identity(self.socket_path) == self._socket_identity:
            os.unlink(self.socket_path)
        for connection in list(self._connections):
            with connection.lock:
                connection.pending.clear()
            self._want(connection, read=False)
        self._pool.shutdown(wait=True)
        self._take_notifications()
        deadline = time.monotonic() + _REPLY_FLUSH_SECONDS
        while any(c.out and not c.closed for c in self._connections) and time.monotonic() < deadline:
            self._poll(max(0.0, deadline - time.monotonic()))

    def _release(self):
        for connection in list(self._connections):
            self._close(connection)
        self._selector.close()
        self._wake_read.close()
        self._wake_write.close()
        self._pool.shutdown(wait=True)

    def _accept(self):
        while True:
            try:
                sock, _ = self.listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError as error:
                if error.errno in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM):
                    return  # out of descriptors: the client waits in the backlog
                raise
            admitted = self._admit(sock)
            if admitted is None:
                sock.close()
                continue
            sock.setblocking(False)
            connection = _Connection(sock, self.max_frame_bytes, may_name_files=admitted)
            self._connections.add(connection)
            with connection.lock:
                connection.send_or_keep(self._greeting)
            self._selector.register(sock, selectors.EVENT_READ, connection)
            self._want(connection, read=True)

    def _admit(self, sock: socket.socket) -> bool | None:
        """None to refuse the peer, else whether it may call methods that name files."""
        try:
            _, uid, gid = _PEERCRED.unpack(sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, _PEERCRED.size))
        except OSError:
            return None
        if uid == self._uid:
            return True
        if self.allow_group_id is not None and (gid == self.allow_group_id or self.allow_group_id in _peer_groups(sock)):
            return False
        return None

    def _read(self, connection: _Connection):
        try:
            data = connection.sock.recv(_READ_CHUNK)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data:
            self._close(connection)
            return
        try:
            requests = connection.reader.feed(data)
        except _wire.FrameError:
            self._close(connection)
            return
        start = None
        with connection.lock:
            connection.pending.extend(requests)
            if not connection.busy and connection.pending:
                connection.busy = True
                start = connection.pending.popleft()
            pause = len(connection.pending) >= _MAX_QUEUED_REQUESTS
        if pause:
            connection.paused = True
            self._want(connection, read=False)
        if start is not None:
            self._pool.submit(self._run, connection, start)

    def _flush(self, connection: _Connection):
        with connection.lock:
            if connection.closed:
                return
            try:
                sent = connection.sock.send(connection.out)
            except BlockingIOError:
                return
            except OSError:
                broken = True
            else:
                broken = False
                del connection.out[:sent]
        if broken:
            self._close(connection)
        elif not connection.out:
            self._want(connection)

    def _want(self, connection: _Connection, *, read: bool | None = None):
        """Sets what the selector watches for this connection (main thread only)."""
        if connection.closed:
            return
        if read is not None:
            connection.paused = not read
        events = (0 if connection.paused or self._stopping else selectors.EVENT_READ) | (
            selectors.EVENT_WRITE if connection.out else 0)
        try:
            if events:
                self._selector.modify(connection.sock, events, connection)
            else:
                self._selector.unregister(connection.sock)
        except KeyError:  # not registered at the moment
            if events:
                self._selector.register(connection.sock, events, connection)

    def _take_notifications(self):
        try:
            while self._wake_read.recv(4096):
                pass
        except (BlockingIOError, InterruptedError):
            pass
        while self._notified:
            connection, broken = self._notified.popleft()
            if broken:
                self._close(connection)
            elif not connection.closed:
                resume = connection.paused and not self._stopping and len(connection.pending) < _MAX_QUEUED_REQUESTS
                self._want(connection, read=True if resume else None)

    def _close(self, connection: _Connection):
        """Main thread: stop watching it; the socket closes now, or when its running call ends."""
        try:
            self._selector.unregister(connection.sock)
        except (KeyError, ValueError):
            pass
        self._connections.discard(connection)
        with connection.lock:
            connection.pending.clear()
            connection.closed = True
            if not connection.busy:
                connection.sock.close()

    # -- workers

    def _run(self, connection: _Connection, request) -> None:
        reply = self._reply_to(connection, request)
        while True:
            with connection.lock:
                if connection.closed:
                    # Gone while its call ran: nobody to answer. The socket is closed here, not
                    # by the main thread, so that its descriptor was never reused under us.
                    connection.busy = False
                    connection.sock.close()
                    return
                sent = reply is not None and connection.send_or_keep(reply)
                request = connection.pending.popleft() if sent and connection.pending else None
                connection.busy = request is not None
                notify = not sent or connection.out or connection.paused
            if notify:
                self._notified.append((connection, not sent))
                self._wake()
            if request is None:
                return
            reply = self._reply_to(connection, request)

    def _reply_to(self, connection: _Connection, request) -> bytes | None:
        """The reply frame to one request; None for a message outside the protocol."""
        try:
            if type(request) is not tuple or not request:
                raise _ProtocolViolation("a message must be a tuple")
            if request[0] == "call":
                name, args, kwargs = _check_call(request)
                outcome = (True, self._call(connection, name, args, kwargs))
            elif request[0] == "tx":
                reads, operations, with_results = _check_transaction(request)
                outcome = (True, self._commit(reads, operations, with_results))
            else:
                raise _ProtocolViolation("unknown message")
        except _ProtocolViolation:
            return None
        except Exception as error:
            outcome = _wire.error_reply(error)
        try:
            return _wire.encode_frame(outcome, self.max_frame_bytes)
        except Exception as error:
            if outcome[0]:
                error = _native.OmbrelStoreError(f"the result cannot be sent: {error}")
            return _wire.encode_frame(_wire.error_reply(error))

    def _call(self, connection: _Connection, name: str, args: tuple, kwargs: dict):
        if name not in self._methods:
            raise _native.OmbrelStoreError(f"the store server has no method {name!r}")
        if name in self._naming_files and not connection.may_name_files:
            raise _native.OmbrelStoreError(f"{name} names files, which only the server's own user may do")
        return getattr(self.store, name)(*args, **kwargs)

    def _commit(self, reads: tuple, operations: tuple, with_results: bool):
        for name, _, _ in operations:
            if name not in self._staging:
                raise _native.OmbrelStoreError(f"a transaction has no method {name!r}")
        tx = self.store.transaction()
        finishing = False
        try:
            for method, argument, digest in reads:
                if _wire.read_digest(getattr(tx, method)(argument)) != digest:
                    raise _wire.TransactionConflictError(_wire.CONFLICT)
            for name, args, kwargs in operations:
                getattr(tx, name)(*args, **kwargs)
            finishing = True
            return tx.commit_with_results() if with_results else tx.commit()
        finally:
            if not finishing:
                tx.rollback()


# ---- the command --------------------------------------------------------------------

def _positive(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be positive")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m ombrel_store serve",
        description="Serve an Ombrel Store file to other processes on a Unix socket "
                    "(clients: ombrel_store.connect(socket_path)).")
    parser.add_argument("path", help="the store file (created if missing)")
    parser.add_argument("--socket", help="the socket to serve on (default: PATH.sock beside the store)")
    parser.add_argument("--durability", choices=("strict", "data", "relaxed"), default="data")
    parser.add_argument("--no-repair-torn-tail", action="store_true",
                        help="leave a torn tail in place (the store then refuses writes)")
    parser.add_argument("--max-bytes", type=_positive, help="upper bound on the file length")
    parser.add_argument("--namespace-max-bytes", type=_positive, help="upper bound on each namespace's value bytes")
    parser.add_argument("--allow-group", metavar="NAME",
                        help="also serve the members of this group (they may not call methods that name files)")
    parser.add_argument("--threads", type=_positive, default=16, help="worker threads running store calls (16)")
    parser.add_argument("--max-frame-bytes", type=_positive, default=_wire.MAX_FRAME_BYTES,
                        help=f"largest request or reply in bytes ({_wire.MAX_FRAME_BYTES})")
    return parser


def main(argv: list[str] | None = None) -> int:
    """``python -m ombrel_store serve ...``; returns the exit status."""
    args = _parser().parse_args(argv)
    path = os.path.abspath(args.path)
    socket_path = os.path.abspath(args.socket if args.socket else path + ".sock")
    group_id = None
    if args.allow_group is not None:
        try:
            group_id = grp.getgrnam(args.allow_group).gr_gid
        except KeyError:
            print(f"ombrel-store: no group named {args.allow_group!r}", file=sys.stderr)
            return 2
    try:
        store = _native.Store.open(path, durability=args.durability, repair_torn_tail=not args.no_repair_torn_tail,
                                   max_bytes=args.max_bytes, namespace_max_bytes=args.namespace_max_bytes)
    except _native.OmbrelStoreError as error:
        print(f"{type(error).__name__}: {error}", file=sys.stderr)
        return 1
    try:
        listener = bind_socket(socket_path, group_id)
    except (ServerSetupError, OSError) as error:
        store.close()
        print(f"ombrel-store: {error}", file=sys.stderr)
        return 1
    server = Server(store, path, listener, socket_path, threads=args.threads, max_frame_bytes=args.max_frame_bytes,
                    allow_group_id=group_id)
    previous = {sig: signal.signal(sig, lambda signum, frame: server.stop()) for sig in (signal.SIGTERM, signal.SIGINT)}
    try:
        print(f"ombrel-store serving {path} on {socket_path}", flush=True)
        server.serve_forever()
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
        store.close()
    return 0
