"""The client of the store server: a Store's methods, run by the process that serves the store.

    store = ombrel_store.connect("/srv/app.omb.sock")     # python -m ombrel_store serve /srv/app.omb
    store.put(b"k", b"v")
    with store.transaction() as tx:
        tx.put(b"a", b"1")
        position = tx.push_queue(b"jobs", b"payload")
    job = store.claim_job(now_ms, 30_000, handlers=[b"mail"])

Every method of ``Store`` is here with its parameters, defaults, results, exception classes
and texts (the static ones, such as ``verify``, run in the calling process, as they need no
open store). ``close()`` and the context manager end this client's connections, not the
server's store. Paths given to the methods that write copies (``backup_to`` ...) are taken
relative to the caller's working directory and sent as absolute paths.

Transactions are staged here and sent as one request at commit, so a transaction costs one
round trip however many operations it holds, and ``commit_with_results`` works as on a Store.
Reads inside one (get, contains, scan_prefix) ask the server for the committed state and lay
the transaction's own staged puts and deletes over it, here in the client; the other reads
(get_record, the index queries, get_job, ...) are answered by the server on a transaction that
holds the operations staged so far and is rolled back. What the server answered is
remembered, and the commit checks, holding the store, that it still holds: if another client
changed what the transaction read, nothing is written and the commit raises
``TransactionConflictError`` (run the transaction again). A staged operation's argument
values are checked by the server at commit (the client checks arity and what can be sent);
the first that fails raises there, and nothing of the transaction is written.

Threads: each thread that uses a client gets a connection of its own, so calls from many
threads run side by side in the server and their commits share syncs. A process forked
after connecting makes its own connections too.

Lost connections: after the server restarts the next call connects again. A call that was
cut off (the server stopped or was killed while it ran) raises ``IoError`` "connection to the
store server was lost; the call may or may not have taken effect" and is never sent again.
"""

from __future__ import annotations

import functools
import inspect
import os
import socket
import threading
import types
import weakref

from . import _native, _wire
from ._wire import TransactionConflictError

__all__ = ["Client", "ClientTransaction", "TransactionConflictError", "connect"]

_TRANSACTION_FINISHED = "transaction is finished"


class _Connection:
    """One socket to the server, used by one thread at a time (the one it was made for)."""

    def __init__(self, path: str):
        self.pid = os.getpid()
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self.sock.connect(path)
            greeting = self.receive()
        except OSError as error:
            self.sock.close()
            raise _native.IoError(f"cannot connect to the store server at {path}: {error}") from None
        except (EOFError, _wire.FrameError):
            self.sock.close()
            raise _native.IoError(f"the store server at {path} refused this connection") from None
        if (type(greeting) is not tuple or len(greeting) != 4 or greeting[0] != _wire.GREETING
                or greeting[1] != _wire.PROTOCOL_VERSION):
            self.sock.close()
            raise _native.IoError(f"{path} is not a store server of this version")
        self.max_frame_bytes = greeting[3]

    def receive(self):
        """The next value from the server; EOFError when it hung up."""
        # A reply usually arrives whole: one recv then, however its length prefix falls.
        data = self.sock.recv(1 << 16)
        while len(data) < _wire.LENGTH.size:
            more = self.sock.recv(1 << 16)
            if not more:
                raise EOFError
            data += more
        (length,) = _wire.LENGTH.unpack_from(data)
        end = _wire.LENGTH.size + length
        if len(data) < end:
            parts = bytearray(data)
            while len(parts) < end:
                more = self.sock.recv(min(end - len(parts), 1 << 20))
                if not more:
                    raise EOFError
                parts += more
            data = bytes(parts)
        if len(data) > end:
            raise _wire.FrameError("the server sent more than one reply")
        return _wire.decode_body(data[_wire.LENGTH.size:])

    def close(self):
        self.sock.close()


def _reply_value(reply):
    if type(reply) is tuple and len(reply) == 2 and reply[0] is True:
        return reply[1]
    if type(reply) is tuple and len(reply) == 3 and reply[0] is False:
        raise _wire.exception_from_reply(reply[1], reply[2])
    raise _native.IoError(_wire.LOST_CONNECTION)


class Client:
    """A connection to a store server with the methods of ``Store``; made by ``connect()``."""

    def __init__(self, socket_path):
        self._path = os.path.abspath(os.fspath(socket_path))
        self._local = threading.local()
        self._connections: weakref.WeakSet[_Connection] = weakref.WeakSet()
        self._closed = False
        self._connection()  # fail now when nobody serves there

    def __repr__(self) -> str:
        return f"<ombrel_store.Client of {self._path}{' (closed)' if self._closed else ''}>"

    @property
    def socket_path(self) -> str:
        """The socket this client connects to."""
        return self._path

    def _connection(self) -> _Connection:
        connection = getattr(self._local, "connection", None)
        if connection is not None and connection.pid != os.getpid():
            connection = None  # inherited over fork(): the parent's socket, not ours to use
        if connection is None:
            connection = _Connection(self._path)
            self._local.connection = connection
            self._connections.add(connection)
        return connection

    def _drop(self, connection: _Connection) -> None:
        if getattr(self._local, "connection", None) is connection:
            self._local.connection = None
        connection.close()

    def _request(self, message):
        if self._closed:
            raise _native.StoreClosedError("store is closed")
        body = _wire.encode_body(message)  # what cannot travel fails here, before anything is sent
        connection = self._connection()
        if len(body) > connection.max_frame_bytes:
            raise ValueError(f"request of {len(body)} bytes exceeds the store server's frame limit of "
                             f"{connection.max_frame_bytes} bytes")
        frame = _wire.LENGTH.pack(len(body)) + body
        try:
            connection.sock.sendall(frame)
        except OSError:
            # The server never received the whole request (it was gone: restarted, say), so it
            # cannot have run it: one new connection may carry it.
            self._drop(connection)
            connection = self._connection()
            try:
                connection.sock.sendall(frame)
            except BaseException:
                self._drop(connection)
                raise _native.IoError(_wire.LOST_CONNECTION) from None
        except BaseException:
            self._drop(connection)  # a partial frame leaves the stream unusable
            raise
        try:
            reply = connection.receive()
        except (OSError, EOFError, _wire.FrameError):
            self._drop(connection)
            raise _native.IoError(_wire.LOST_CONNECTION) from None
        except BaseException:
            self._drop(connection)  # interrupted: its reply would answer the next request
            raise
        return _reply_value(reply)

    def _call(self, name: str, args: tuple, kwargs: dict):
        return self._request(("call", name, args, kwargs))

    def close(self) -> None:
        """Close this client's connections (the server and its store go on); closing twice does nothing."""
        self._closed = True
        for connection in list(self._connections):
            connection.close()

    def transaction(self) -> ClientTransaction:
        """A transaction staged in this client and sent to the server as one request at commit."""
        if self._closed:
            raise _native.StoreClosedError("store is closed")
        return ClientTransaction(self)

    def __enter__(self) -> Client:
        return self

    def __exit__(self, _exc_type, _exc_value, _traceback) -> bool:
        self.close()
        return False


def _absolute_paths(signature: inspect.Signature, names: tuple[str, ...], args: tuple, kwargs: dict):
    """args and kwargs with the file-naming arguments made absolute here, in the caller's directory."""
    try:
        bound = signature.bind(None, *args, **kwargs)
    except TypeError:
        return args, kwargs  # the server's own check reports it
    for name in names:
        value = bound.arguments.get(name)
        if isinstance(value, str) or (not isinstance(value, bytes) and hasattr(type(value), "__fspath__")):
            path = os.fspath(value)
            if isinstance(path, str):
                bound.arguments[name] = os.path.abspath(path)
    return bound.args[1:], bound.kwargs


class _Forwarded:
    """A method of a native class offered by a client class: named, documented and introspected
    as the native one (its signature is worked out on first request, which keeps imports quick),
    called as ``forward(instance, name, args, kwargs)``."""

    def __init__(self, native_class, name: str, forward):
        self.__name__ = self.__qualname__ = name
        self._native = getattr(native_class, name)
        self.__doc__ = self._native.__doc__
        self._forward = forward

    @functools.cached_property
    def __signature__(self) -> inspect.Signature:
        return inspect.signature(self._native)

    @functools.cached_property
    def path_parameters(self) -> tuple[str, ...]:
        return _wire.path_parameters(self._native)

    def __get__(self, instance, owner=None):
        return self if instance is None else types.MethodType(self, instance)

    def __call__(self, instance, *args, **kwargs):
        return self._forward(instance, self, args, kwargs)


def _remote_call(client: Client, method: _Forwarded, args: tuple, kwargs: dict):
    if method.path_parameters:
        args, kwargs = _absolute_paths(method.__signature__, method.path_parameters, args, kwargs)
    return client._call(method.__name__, args, kwargs)


for _name in _wire.public_methods(_native.Store):
    if _name in _wire.CLIENT_OWN:
        continue
    if _wire.is_static(_native.Store, _name):
        setattr(Client, _name, staticmethod(getattr(_native.Store, _name)))
    else:
        setattr(Client, _name, _Forwarded(_native.Store, _name, _remote_call))


class _Staged:
    __slots__ = ("name", "args", "kwargs", "key", "value")

    def __init__(self, name, args, kwargs, key=None, value=None):
        self.name, self.args, self.kwargs, self.key, self.value = name, args, kwargs, key, value


def _bytes_argument(value, name: str) -> bytes:
    if not isinstance(value, bytes):
        raise TypeError(f"argument '{name}' must be bytes, not {type(value).__name__}")
    return bytes(value)


class ClientTransaction:
    """A transaction of a ``Client``: staged here, sent as one request at commit.

    The methods are those of ``Transaction``. See the module docstring for how reads see the
    store and how a commit checks them.
    """

    def __init__(self, client: Client):
        self._client = client
        self._operations: list[_Staged] = []
        # (method, the argument's bytes) -> (the argument as sent, digest of the answer)
        self._reads: dict[tuple[str, bytes], tuple[object, bytes]] = {}
        self._conflicted = False
        self._finished = False

    def _check_live(self) -> None:
        if self._finished:
            raise _native.TransactionFinishedError(_TRANSACTION_FINISHED)

    def _staged_write(self, key: bytes):
        """The newest staged put or delete of `key`, or None."""
        for operation in reversed(self._operations):
            if operation.key == key:
                return operation
        return None

    def _read(self, method: str, argument):
        value = self._client._call(method, (argument,), {})
        self._remember(method, argument, value)
        return value

    def _remember(self, method: str, argument, value) -> None:
        digest = _wire.read_digest(value)
        key = bytes(argument) if method in _wire.KEY_READS else _wire.encode_body(argument)
        _, remembered = self._reads.setdefault((method, key), (argument, digest))
        if remembered != digest:
            self._conflicted = True  # the store changed between two reads of this transaction

    def _read_on_server(self, name: str, args: tuple, kwargs: dict):
        self._check_live()
        operations = tuple((op.name, op.args, op.kwargs) for op in self._operations)
        value = self._client._request(("txread", operations, name, args, kwargs))
        self._remember(name, (len(operations), args, kwargs), value)
        return value

    def get(self, key):
        self._check_live()
        if isinstance(key, bytes) and (staged := self._staged_write(key)) is not None:
            return staged.value
        return self._read("get", key)

    def contains(self, key):
        self._check_live()
        if isinstance(key, bytes) and (staged := self._staged_write(key)) is not None:
            return staged.value is not None
        return self._read("contains", key)

    def scan_prefix(self, prefix):
        self._check_live()
        entries = dict(self._read("scan_prefix", prefix))
        for operation in self._operations:
            if operation.key is not None and operation.key.startswith(prefix):
                if operation.value is None:
                    entries.pop(operation.key, None)
                else:
                    entries[operation.key] = operation.value
        return sorted(entries.items())

    def _stage(self, name: str, signature: inspect.Signature, args: tuple, kwargs: dict):
        self._check_live()
        try:
            bound = signature.bind(self, *args, **kwargs)
        except TypeError as error:
            raise TypeError(f"{name}() {error}") from None
        _wire.encode_body((args, kwargs))  # what cannot travel is refused now, not at commit
        key = value = None
        if name in ("put", "delete"):
            key = _bytes_argument(bound.arguments["key"], "key")
            if name == "put":
                value = _bytes_argument(bound.arguments["value"], "value")
        self._operations.append(_Staged(name, args, kwargs, key, value))
        position = len(self._operations) - 1
        return None if name in _wire.STAGED_WITHOUT_POSITION else position

    def _finish(self, with_results: bool):
        self._check_live()
        self._finished = True
        if self._conflicted:
            raise TransactionConflictError(_wire.CONFLICT)
        reads = tuple((method, argument, digest) for (method, _), (argument, digest) in self._reads.items())
        operations = tuple((op.name, op.args, op.kwargs) for op in self._operations)
        return self._client._request(("tx", reads, operations, with_results))

    def commit(self) -> None:
        self._finish(False)

    def commit_with_results(self):
        return self._finish(True)

    def rollback(self) -> None:
        self._check_live()
        self._finished = True
        self._operations.clear()

    def __enter__(self) -> ClientTransaction:
        return self

    def __exit__(self, exc_type, _exc_value, _traceback) -> bool:
        if self._finished:
            return False
        if exc_type is None:
            self.commit()
        else:
            self.rollback()
        return False


def _staged_call(tx: ClientTransaction, method: _Forwarded, args: tuple, kwargs: dict):
    return tx._stage(method.__name__, method.__signature__, args, kwargs)


def _server_read(tx: ClientTransaction, method: _Forwarded, args: tuple, kwargs: dict):
    return tx._read_on_server(method.__name__, args, kwargs)


for _name in _wire.public_methods(_native.Transaction):
    if _name not in _wire.TRANSACTION_OWN and _name not in _wire.KEY_READS:
        forward = _server_read if _name in _wire.TRANSACTION_READS else _staged_call
        setattr(ClientTransaction, _name, _Forwarded(_native.Transaction, _name, forward))
# The client's own methods introspect as the native ones they stand for.
for _cls, _native_cls, _names in ((Client, _native.Store, _wire.CLIENT_OWN - {"open"}),
                                  (ClientTransaction, _native.Transaction,
                                   _wire.TRANSACTION_OWN | set(_wire.KEY_READS))):
    for _name in _names:
        getattr(_cls, _name).__signature__ = inspect.signature(getattr(_native_cls, _name))
        if _cls is ClientTransaction:
            getattr(_cls, _name).__doc__ = getattr(_native_cls, _name).__doc__
del _name, _cls, _native_cls, _names, forward


def connect(socket_path: str | os.PathLike[str]) -> Client:
    """Connect to the store server listening on ``socket_path`` and return a Client.

    The client has the methods of ``Store``; see ``ombrel_store.client``. Raises IoError when
    nobody serves there (or the server refuses this process's user).
    """
    return Client(socket_path)
