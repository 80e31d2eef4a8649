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

Threads. A pool of threads (--threads, 16; the main thread is one of them) waits on every
socket at once (epoll, each socket armed one-shot). The thread that an arriving request wakes
reads it, runs the store call itself, writes the reply and goes back to waiting, while the
others keep waiting on every other socket: a call costs no hand-over between threads, no
socket waits on the store while a thread is free, and the commits of many clients, running
on many threads, share syncs (group commit). A connection is handled by one thread at a
time, so its requests run in the order they arrived.

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
import contextlib
import errno
import grp
import os
import select
import signal
import socket
import stat
import struct
import sys
import threading

from .. import _native, _wire

__all__ = ["main", "Server", "ServerSetupError", "bind_socket"]

_PEERCRED = struct.Struct("3i")  # pid, uid, gid
_SO_PEERGROUPS = getattr(socket, "SO_PEERGROUPS", 59)  # Linux 4.13 and later
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
    """One client's socket. Armed in epoll one-shot, so at most one thread handles it at a time:
    that thread alone touches it until it arms it again or closes it."""

    __slots__ = ("sock", "fd", "reader", "out", "may_name_files")

    def __init__(self, sock: socket.socket, max_frame_bytes: int, may_name_files: bool):
        self.sock = sock
        self.fd = sock.fileno()
        self.reader = _wire.FrameReader(max_frame_bytes)
        self.out = bytearray()
        self.may_name_files = may_name_files

    def flush(self) -> bool:
        """Sends what the socket takes now; False when the peer is gone."""
        while self.out:
            try:
                sent = self.sock.send(self.out)
            except (BlockingIOError, InterruptedError):
                return True
            except OSError:
                return False
            del self.out[:sent]
        return True


class _ProtocolViolation(Exception):
    """A well-formed frame whose message is not one of the protocol's."""


def _check_call(message) -> tuple[str, tuple, dict]:
    if len(message) != 4 or type(message[1]) is not str or type(message[2]) is not tuple or type(message[3]) is not dict:
        raise _ProtocolViolation("malformed call")
    if not all(type(name) is str for name in message[3]):
        raise _ProtocolViolation("malformed call keywords")
    return message[1], message[2], message[3]


def _check_operations(operations) -> None:
    for operation in operations:
        if (type(operation) is not tuple or len(operation) != 3 or type(operation[0]) is not str
                or type(operation[1]) is not tuple or type(operation[2]) is not dict
                or not all(type(name) is str for name in operation[2])):
            raise _ProtocolViolation("malformed transaction operation")


def _check_transaction(message) -> tuple[tuple, tuple, bool]:
    if len(message) != 4 or type(message[1]) is not tuple or type(message[2]) is not tuple or type(message[3]) is not bool:
        raise _ProtocolViolation("malformed transaction")
    for read in message[1]:
        if (type(read) is not tuple or len(read) != 3 or read[0] not in _wire.TRANSACTION_READS
                or type(read[2]) is not bytes):
            raise _ProtocolViolation("malformed transaction read")
        if read[0] not in _wire.KEY_READS:
            placed = read[1]
            if (type(placed) is not tuple or len(placed) != 3 or type(placed[0]) is not int
                    or not 0 <= placed[0] <= len(message[2]) or type(placed[1]) is not tuple
                    or type(placed[2]) is not dict or not all(type(name) is str for name in placed[2])):
                raise _ProtocolViolation("malformed transaction read")
    _check_operations(message[2])
    return message[1], message[2], message[3]


def _check_transaction_read(message) -> tuple[tuple, str, tuple, dict]:
    if (len(message) != 5 or type(message[1]) is not tuple or message[2] not in _wire.TRANSACTION_READS
            or message[2] in _wire.KEY_READS or type(message[3]) is not tuple or type(message[4]) is not dict
            or not all(type(name) is str for name in message[4])):
        raise _ProtocolViolation("malformed transaction read")
    _check_operations(message[1])
    return message[1], message[2], message[3], message[4]


_READABLE = select.EPOLLIN | select.EPOLLONESHOT
_WRITABLE = select.EPOLLOUT | select.EPOLLONESHOT


class Server:
    """Serves ``store`` on ``listener`` until stop(); see the module docstring.

    Every thread of the pool (the calling thread is one of them) waits on one epoll set that
    holds the listener and every connection, each armed one-shot: an event wakes one thread,
    which reads the connection, runs the calls it finds (on itself: no hand-over), writes the
    replies and arms the connection again. Meanwhile the other threads go on waiting on every
    other socket, so no socket waits on the store while a thread is free.
    """

    def __init__(self, store: _native.Store, store_path: str, listener: socket.socket, socket_path: str, *,
                 threads: int = 16, max_frame_bytes: int = _wire.MAX_FRAME_BYTES, allow_group_id: int | None = None):
        self.store = store
        self.listener = listener
        self.socket_path = socket_path
        self.threads = threads
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
        self._epoll = select.epoll()
        self._wake_read, self._wake_write = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        self._connections: dict[int, _Connection] = {}
        self._stopping = False
        self._stop_lock = threading.Lock()
        self._listening = True
        # Calls from other threads wait while a worker holds the store for a client's transaction.
        store.busy_timeout = 86400

    @staticmethod
    def _identity(path):
        try:
            info = os.lstat(path)
        except OSError:
            return None
        return (info.st_dev, info.st_ino)

    @property
    def wakeup_fd(self) -> int:
        """A descriptor whose every write wakes the threads (for signal.set_wakeup_fd)."""
        return self._wake_write

    def stop(self) -> None:
        """Ask the threads to stop (safe from a signal handler or another thread)."""
        self._stopping = True
        try:
            os.write(self._wake_write, b"\0")
        except OSError:
            pass  # a wake-up is pending already

    def serve_forever(self) -> None:
        """Serves until stop(); then finishes the calls in flight and releases everything."""
        self._epoll.register(self._wake_read, select.EPOLLIN)  # level-triggered: wakes every thread
        self._epoll.register(self.listener.fileno(), _READABLE)
        pool = [threading.Thread(target=self._serve_events, name=f"ombrel-store-{n}", daemon=True)
                for n in range(1, self.threads)]
        for thread in pool:
            thread.start()
        try:
            self._serve_events()
        finally:
            self.stop()
            for thread in pool:
                thread.join()
            self._release()

    def _serve_events(self) -> None:
        if threading.current_thread() is not threading.main_thread():
            # Signals go to the main thread, whose handler stops the server.
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})
        while not self._stopping:
            for fd, events in self._epoll.poll(-1, 1):
                if fd == self._wake_read:
                    continue
                if fd == self.listener.fileno() and self._listening:
                    self._accept()
                elif (connection := self._connections.get(fd)) is not None:
                    try:
                        self._serve(connection, events)
                    except Exception as error:  # a fault of this server: the connection goes, the server stays
                        print(f"ombrel-store: closing a connection after {type(error).__name__}: {error}",
                              file=sys.stderr, flush=True)
                        self._close(connection)
        self._stop_listening()

    def _stop_listening(self) -> None:
        # The first thread to stop refuses new connections at once.
        with self._stop_lock:
            if not self._listening:
                return
            self._listening = False
            self._epoll.unregister(self.listener.fileno())
            self.listener.close()
            if self._identity(self.socket_path) == self._socket_identity:
                os.unlink(self.socket_path)

    def _release(self) -> None:
        """Last, on one thread: the replies still owed go out if the clients read them soon."""
        for connection in list(self._connections.values()):
            if connection.out:
                with contextlib.suppress(OSError):
                    connection.sock.settimeout(_REPLY_FLUSH_SECONDS)
                    connection.sock.sendall(connection.out)
            self._close(connection)
        self._epoll.close()

    def close(self) -> None:
        """After serve_forever() has returned (and the descriptor is no signal's wake-up any more)."""
        os.close(self._wake_read)
        os.close(self._wake_write)

    def _accept(self) -> None:
        try:
            while not self._stopping:
                try:
                    sock, _ = self.listener.accept()
                except (BlockingIOError, InterruptedError):
                    break
                except OSError as error:
                    if error.errno == errno.ECONNABORTED:
                        continue
                    break  # out of descriptors or memory: the client waits in the backlog
                admitted = self._admit(sock)
                if admitted is None:
                    sock.close()
                    continue
                sock.setblocking(False)
                connection = _Connection(sock, self.max_frame_bytes, may_name_files=admitted)
                connection.out += self._greeting
                if not connection.flush():
                    sock.close()
                    continue
                self._connections[connection.fd] = connection
                self._epoll.register(connection.fd, _WRITABLE if connection.out else _READABLE)
        finally:
            with self._stop_lock:
                if self._listening:
                    self._epoll.modify(self.listener.fileno(), _READABLE)

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

    def _serve(self, connection: _Connection, events: int) -> None:
        """This thread owns the connection until it arms it again or closes it."""
        if events & select.EPOLLOUT:
            if not connection.flush():
                return self._close(connection)
        elif events & (select.EPOLLIN | select.EPOLLHUP | select.EPOLLERR):
            try:
                data = connection.sock.recv(_READ_CHUNK)
            except (BlockingIOError, InterruptedError):
                data = None
            except OSError:
                data = b""
            if data is not None:
                if not data:
                    return self._close(connection)
                try:
                    requests = connection.reader.feed(data)
                except _wire.FrameError:
                    return self._close(connection)
                for request in requests:
                    if self._stopping:
                        return self._close(connection)  # received, never started
                    reply = self._reply_to(connection, request)
                    if reply is None:
                        return self._close(connection)
                    connection.out += reply
                    if not connection.flush():
                        return self._close(connection)
        self._epoll.modify(connection.fd, _WRITABLE if connection.out else _READABLE)

    def _close(self, connection: _Connection) -> None:
        with contextlib.suppress(OSError, ValueError):
            self._epoll.unregister(connection.fd)
        self._connections.pop(connection.fd, None)
        connection.sock.close()

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
            elif request[0] == "txread":
                outcome = (True, self._read_in_transaction(*_check_transaction_read(request)))
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
        self._check_staging(operations)
        tx = self.store.transaction()
        finishing = False
        try:
            # The key reads saw the committed values; each other read saw the operations
            # staged before it, so it is asked again at that point.
            placed: dict[int, list] = {}
            for method, argument, digest in reads:
                if method in _wire.KEY_READS:
                    if _wire.read_digest(getattr(tx, method)(argument)) != digest:
                        raise _wire.TransactionConflictError(_wire.CONFLICT)
                else:
                    placed.setdefault(argument[0], []).append((method, argument[1], argument[2], digest))
            for position in range(len(operations) + 1):
                for method, args, kwargs, digest in placed.get(position, ()):
                    if _wire.read_digest(getattr(tx, method)(*args, **kwargs)) != digest:
                        raise _wire.TransactionConflictError(_wire.CONFLICT)
                if position < len(operations):
                    name, args, kwargs = operations[position]
                    getattr(tx, name)(*args, **kwargs)
            finishing = True
            return tx.commit_with_results() if with_results else tx.commit()
        finally:
            if not finishing:
                tx.rollback()

    def _read_in_transaction(self, operations: tuple, method: str, args: tuple, kwargs: dict):
        self._check_staging(operations)
        tx = self.store.transaction()
        try:
            for name, staged_args, staged_kwargs in operations:
                getattr(tx, name)(*staged_args, **staged_kwargs)
            return getattr(tx, method)(*args, **kwargs)
        finally:
            tx.rollback()

    def _check_staging(self, operations: tuple) -> None:
        for name, _, _ in operations:
            if name not in self._staging:
                raise _native.OmbrelStoreError(f"a transaction has no method {name!r}")


# ---- the command --------------------------------------------------------------------

def _positive(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be positive")
    return value


DESCRIPTION = ("Serve an Ombrel Store file to other processes on a Unix socket "
               "(clients: ombrel_store.connect(socket_path)).")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The options of ``serve``, on its own parser or on the command line's subcommand."""
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


def main(argv: list[str] | None = None) -> int:
    """``python -m ombrel_store serve ...``; returns the exit status."""
    parser = argparse.ArgumentParser(prog="python -m ombrel_store serve", description=DESCRIPTION)
    add_arguments(parser)
    return run(parser.parse_args(argv))


def run(args: argparse.Namespace) -> int:
    """Serves until SIGTERM or SIGINT; returns the exit status."""
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
    # Whichever thread a signal reaches, the byte it writes here wakes the threads waiting on epoll.
    previous_wakeup = signal.set_wakeup_fd(server.wakeup_fd)
    try:
        print(f"ombrel-store serving {path} on {socket_path}", flush=True)
        server.serve_forever()
    finally:
        signal.set_wakeup_fd(previous_wakeup)
        for sig, handler in previous.items():
            signal.signal(sig, handler)
        server.close()
        store.close()
    return 0
