"""The store server's protocol: frames, the values they carry, and the messages.

A frame is a 4-byte big-endian length followed by that many bytes of one msgpack value. The
values are the ones the store's API takes and returns, each coming back as the type it left as:

    None, bool, float, str, bytes       msgpack's own (str with lone surrogates kept)
    int                                 msgpack's own from -2**63 to 2**64 - 1; beyond, tagged
    tuple                               a msgpack array
    dict                                a msgpack map, key order kept
    list, bytearray, pathlib paths      tagged (extension types 1, 2 and 3)

Nothing else is encoded, and decoding builds nothing else: no frame can make its reader run
code or build an object of its choosing (no pickle). Any bytes that are not a frame of this
protocol raise FrameError, and only FrameError.

Messages (each a tuple):

    server greeting   ("ombrel-store", PROTOCOL_VERSION, store path, the server's frame limit)
    call              ("call", method name, args tuple, kwargs dict)
    transaction       ("tx", reads, operations, with_results)
                        reads: ((method, key or prefix, digest of what it returned), ...) for the
                          key reads; (method, (position, args, kwargs), digest) for the other
                          reads, made after the first `position` operations were staged
                        operations: ((method name, args, kwargs), ...) in staging order
    transaction read  ("txread", operations, method name, args, kwargs): the read answered
                        by a transaction holding the operations staged so far, rolled back
    reply             (True, result) or (False, exception class name, exception args)
"""

from __future__ import annotations

import builtins
import hashlib
import inspect
import os
import re
import struct
from pathlib import Path, PurePath

import msgpack  # type: ignore[import-untyped]

from . import _native

PROTOCOL_VERSION = 1
GREETING = "ombrel-store"
MAX_FRAME_BYTES = 64 << 20  # the server's default limit
LARGEST_FRAME = (1 << 32) - 1  # what the length prefix can say
LENGTH = struct.Struct(">I")

_LIST, _BYTEARRAY, _PATH, _BIG_INT = 1, 2, 3, 4
_MAX_DEPTH = 64  # nested lists and tuples; the API's values nest a few levels at most
_MAX_BIG_INT_DIGITS = 400
_BIG_INT_TEXT = re.compile(rb"-?[0-9]{1,%d}" % _MAX_BIG_INT_DIGITS)
_INT_RANGE = (-(1 << 63), (1 << 64) - 1)

LOST_CONNECTION = "connection to the store server was lost; the call may or may not have taken effect"
CONFLICT = ("transaction conflict: what it read was changed by another client before it committed; "
            "nothing of it was written")


class FrameError(Exception):
    """Bytes that are not a frame of the store server's protocol."""


class TransactionConflictError(_native.OmbrelStoreError):
    """A client transaction read something that changed before it committed; nothing was written."""


TransactionConflictError.__module__ = "ombrel_store"


# ---- values -----------------------------------------------------------------------

_PLAIN = frozenset({bytes, str, float, bool, type(None)})


def _travels_as_is(value) -> bool:
    kind = type(value)
    return kind in _PLAIN or (kind is int and _INT_RANGE[0] <= value <= _INT_RANGE[1])


def _wire_value(value, depth=0):
    kind = type(value)
    if kind in _PLAIN:
        return value
    if kind is int:
        if _INT_RANGE[0] <= value <= _INT_RANGE[1]:
            return value
        text = str(value).encode() if value.bit_length() < 1400 else b""
        if not _BIG_INT_TEXT.fullmatch(text):
            raise OverflowError("int too large to send to the store server")
        return msgpack.ExtType(_BIG_INT, text)
    if depth >= _MAX_DEPTH:
        raise ValueError("value nests too deeply to send to the store server")
    if kind is tuple:
        # Most tuples and dicts (records, pairs, result dicts) hold plain values only: sent as they are.
        if all(map(_travels_as_is, value)):
            return value
        return tuple([_wire_value(item, depth + 1) for item in value])
    if kind is list:
        return msgpack.ExtType(_LIST, _pack(tuple([_wire_value(item, depth + 1) for item in value])))
    if kind is dict:
        if all(map(_travels_as_is, value.values())) and all(map(_travels_as_is, value)):
            return value
        return {_wire_value(k, depth + 1): _wire_value(v, depth + 1) for k, v in value.items()}
    if kind is bytearray:
        return msgpack.ExtType(_BYTEARRAY, bytes(value))
    if isinstance(value, PurePath):
        return msgpack.ExtType(_PATH, os.fsencode(value))
    # Subclasses travel as their base type (an IntEnum as an int, a str subclass as a str).
    for base in (int, float, str, bytes, tuple, list, dict, bytearray):
        if isinstance(value, base):
            return _wire_value(base(value), depth)
    raise TypeError(f"{kind.__name__} values cannot be sent to the store server")


def _pack(value) -> bytes:
    return msgpack.packb(value, use_bin_type=True, unicode_errors="surrogatepass")


def _unpack(body: bytes, depth: int):
    return msgpack.unpackb(body, raw=False, use_list=False, strict_map_key=False, unicode_errors="surrogatepass",
                           timestamp=1, ext_hook=_EXT_HOOKS[depth])


def _ext_hook_at(depth):
    def hook(code, data):
        if code == _LIST:
            if depth + 1 >= len(_EXT_HOOKS):
                raise FrameError("frame nests too deeply")
            items = _unpack(data, depth + 1)
            if type(items) is not tuple:
                raise FrameError("a tagged list must hold an array")
            return list(items)
        if code == _BYTEARRAY:
            return bytearray(data)
        if code == _PATH:
            return Path(os.fsdecode(data))
        if code == _BIG_INT:
            if not _BIG_INT_TEXT.fullmatch(data):
                raise FrameError("a tagged int must be decimal digits")
            return int(data)
        raise FrameError(f"unknown extension type {code}")

    return hook


_EXT_HOOKS = [_ext_hook_at(depth) for depth in range(_MAX_DEPTH)]


def encode_body(value) -> bytes:
    """The msgpack bytes of one value; TypeError, ValueError or OverflowError for what cannot travel."""
    return _pack(_wire_value(value))


def encode_frame(value, max_frame_bytes: int = LARGEST_FRAME) -> bytes:
    """One frame (length prefix and body); ValueError when the body exceeds ``max_frame_bytes``."""
    body = encode_body(value)
    if len(body) > max_frame_bytes:
        raise ValueError(f"message of {len(body)} bytes exceeds the frame limit of {max_frame_bytes} bytes")
    return LENGTH.pack(len(body)) + body


def decode_body(body: bytes):
    """The value of one frame body; FrameError for anything that is not one."""
    try:
        return _unpack(body, 0)
    except FrameError:
        raise
    except Exception as error:  # msgpack's own errors, bad UTF-8, unhashable keys, ...
        raise FrameError(f"malformed frame: {type(error).__name__}: {error}") from None


class FrameReader:
    """Cuts a byte stream into frames and decodes them; FrameError for a malformed or oversized one.

    A length above the limit is refused as soon as its prefix arrives, before any of its body.
    After a FrameError the stream cannot be trusted; the reader stays broken.
    """

    def __init__(self, max_frame_bytes: int = MAX_FRAME_BYTES):
        self.max_frame_bytes = max_frame_bytes
        self._buffer = bytearray()

    def feed(self, data: bytes) -> list:
        self._buffer += data
        values = []
        while len(self._buffer) >= LENGTH.size:
            (length,) = LENGTH.unpack_from(self._buffer)
            if length > self.max_frame_bytes:
                raise FrameError(f"frame of {length} bytes exceeds the limit of {self.max_frame_bytes} bytes")
            end = LENGTH.size + length
            if len(self._buffer) < end:
                break
            body = bytes(self._buffer[LENGTH.size:end])
            del self._buffer[:end]
            values.append(decode_body(body))
        return values

    @property
    def buffered(self) -> int:
        return len(self._buffer)


# ---- what travels -------------------------------------------------------------------

# Store methods that a connection does not send: the client's own lifecycle, and the static
# methods (they need no open store and run where they are called).
CLIENT_OWN = frozenset({"open", "close", "transaction", "__enter__", "__exit__"})
# Parameters that name files: a client sends them as absolute paths (they are the caller's
# paths, not the server's working directory's).
PATH_PARAMETERS = frozenset({"path", "destination", "source"})
# Transaction methods that read; every other one but the lifecycle stages an operation. The key
# reads are answered by the client over the committed values; the others by the server, on a
# transaction holding what the client staged so far.
KEY_READS = ("get", "contains", "scan_prefix")
TRANSACTION_READS = KEY_READS + ("get_record", "query_index_exact", "query_index_range", "get_job", "get_workflow",
                                 "workflow_history", "workflow_children", "get_object", "object_info")
TRANSACTION_OWN = frozenset({"commit", "commit_with_results", "rollback", "__enter__", "__exit__"})
# Staging methods that return None; the others return the operation's position.
STAGED_WITHOUT_POSITION = frozenset({"put", "delete", "upsert_record", "delete_record"})


def is_static(cls, name: str) -> bool:
    return isinstance(inspect.getattr_static(cls, name), staticmethod)


def public_methods(cls) -> list[str]:
    return sorted(name for name in dir(cls)
                  if (not name.startswith("_") or name in ("__enter__", "__exit__")) and callable(getattr(cls, name))
                  and not isinstance(getattr(cls, name), type))


def remote_store_methods() -> frozenset[str]:
    """The Store methods a client calls through the server."""
    return frozenset(name for name in public_methods(_native.Store)
                     if name not in CLIENT_OWN and not is_static(_native.Store, name))


def path_parameters(method) -> tuple[str, ...]:
    try:
        names = inspect.signature(method).parameters
    except (TypeError, ValueError):
        return ()
    return tuple(name for name in names if name in PATH_PARAMETERS)


def read_digest(value) -> bytes:
    """What a client transaction remembers of a read, to be checked again at commit."""
    return hashlib.blake2b(encode_body(value), digest_size=16).digest()


# ---- errors -------------------------------------------------------------------------

# Exceptions a reply may name: the store's, the conflict of a client transaction, and the
# built-in ones that argument conversion raises. Any other name arrives as OmbrelStoreError.
_REPLY_EXCEPTIONS = {
    **{name: getattr(_native, name) for name in (
        "OmbrelStoreError", "StoreClosedError", "StoreBusyError", "AlreadyOpenError", "ReservedKeyError",
        "TransactionFinishedError", "CorruptionError", "IoError", "DiskFullError", "NamespaceQuotaError")},
    "TransactionConflictError": TransactionConflictError,
    **{name: getattr(builtins, name) for name in (
        "TypeError", "ValueError", "OverflowError", "RuntimeError", "MemoryError", "UnicodeEncodeError",
        "UnicodeDecodeError", "AttributeError")},
}


def error_reply(error: BaseException) -> tuple:
    name = type(error).__name__
    if _REPLY_EXCEPTIONS.get(name) is type(error):
        return (False, name, error.args)
    return (False, "OmbrelStoreError", (f"store server error: {name}: {error}",))


def exception_from_reply(name, args) -> BaseException:
    cls = _REPLY_EXCEPTIONS.get(name) if type(name) is str else None
    if cls is not None and type(args) is tuple:
        try:
            return cls(*args)
        except Exception:
            pass
    return _native.OmbrelStoreError(f"store server error: {name}: {args}")
