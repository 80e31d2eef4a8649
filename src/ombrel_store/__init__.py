"""Ombrel Store: an embedded, single-file, transactional data store."""

import copyreg as _copyreg
import os as _os

from . import _native
from ._native import (
    AlreadyOpenError,
    CorruptionError,
    DiskFullError,
    IoError,
    NamespaceQuotaError,
    OmbrelStoreError,
    ReadOnlyStore,
    ReservedKeyError,
    Store,
    StoreBusyError,
    StoreClosedError,
    Transaction,
    TransactionFinishedError,
    VerificationReport,
    __version__,
)
from .client import Client, ClientTransaction, TransactionConflictError, connect

__all__ = [
    "AlreadyOpenError",
    "Client",
    "ClientTransaction",
    "CorruptionError",
    "DiskFullError",
    "IoError",
    "NamespaceQuotaError",
    "OmbrelStoreError",
    "ReadOnlyStore",
    "ReservedKeyError",
    "Store",
    "StoreBusyError",
    "StoreClosedError",
    "Transaction",
    "TransactionConflictError",
    "TransactionFinishedError",
    "VerificationReport",
    "__version__",
    "connect",
    "new_workflow_id",
]


def new_workflow_id() -> bytes:
    """Return a fresh random 16-byte workflow id for create_workflow_with_id.

    Staging create_workflow_with_id under it lets the operations staged after it in the same
    transaction (wait_for_signal, set_workflow_step, ...) name the new instance.
    """
    return _os.urandom(16)


def _exception(name, args):
    """Rebuilds a store exception by name when it is unpickled (in another process, say)."""
    return getattr(_native, name)(*args)


def _reduce_exception(error):
    return _exception, (type(error).__name__, error.args)


def _register_reducers() -> None:
    # The classes live in the extension module, which pickle cannot import by its own name; this
    # sends them by name instead, so that process pools can hand them back.
    for cls in (OmbrelStoreError, StoreClosedError, StoreBusyError, AlreadyOpenError, ReservedKeyError,
                TransactionFinishedError, CorruptionError, IoError, DiskFullError, NamespaceQuotaError):
        _copyreg.pickle(cls, _reduce_exception)


_register_reducers()
