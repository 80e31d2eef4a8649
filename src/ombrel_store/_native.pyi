"""Type stubs for ombrel_store._native, the native core of Ombrel Store."""

import os
from pathlib import Path
from types import TracebackType
from typing import Final, Literal, TypedDict, final

__version__: Final[str]

_Durability = Literal["strict", "data", "relaxed"]

# Stub-only: the methods return plain dicts of this shape.
class _ChangeDict(TypedDict):
    """One committed write, as returned by the change-feed methods (keys in this order)."""

    tx_id: int
    sequence: int
    kind: Literal["put", "delete"]
    key: bytes
    value_len: int | None
    value_sha256: bytes | None

class _CheckpointDict(TypedDict):
    """Result of ``Store.checkpoint_to`` (keys in this order)."""

    source_store_id: bytes
    checkpoint_store_id: bytes
    file_bytes: int
    valid_bytes: int
    keys: int
    committed_transactions: int
    pending_transactions: int

class _RestoreDict(TypedDict):
    """Result of ``Store.restore_copy`` (keys in this order)."""

    bytes: int
    keys: int
    store_id: bytes

class _CompactionDict(TypedDict):
    """Result of ``Store.compact_copy_to`` (keys in this order)."""

    source_bytes: int
    compacted_bytes: int
    bytes_reclaimed: int
    keys: int

class _SnapshotDict(TypedDict):
    """Result of ``Store.snapshot_to`` (keys in this order)."""

    destination: Path
    source_store_id: bytes
    snapshot_store_id: bytes
    keys: int
    source_bytes: int
    snapshot_bytes: int

class _GenerationDict(TypedDict):
    """Result of ``Store.compact_generation_to`` (keys in this order)."""

    store_id: bytes
    source_bytes: int
    generation_bytes: int
    bytes_reclaimed: int
    keys: int
    high_water_tx_id: int
    high_water_sequence: int

class _StorageDict(TypedDict):
    """Result of ``Store.storage_stats`` (keys in this order)."""

    file_bytes: int
    live_keys: int
    user_keys: int
    internal_keys: int
    key_bytes: int
    value_bytes: int
    live_bytes: int
    amplification_ratio: float

class _MetricsDict(TypedDict):
    """The engine counters of an open store, reset at each open (keys in this order)."""

    commits: int
    puts: int
    deletes: int
    records_appended: int
    bytes_appended: int
    recovery_records: int
    commit_latency_total_us: int
    commit_latency_max_us: int
    fsync_latency_total_us: int
    fsync_latency_max_us: int
    commit_errors: int
    queue_claims: int
    queue_acks: int
    object_puts: int
    object_bytes_written: int
    object_gc_runs: int
    object_gc_removed: int

class _NamespaceDict(TypedDict):
    """Keys and value bytes of one internal area."""

    name: str
    keys: int
    value_bytes: int

class _HealthDict(TypedDict):
    """Result of ``Store.health_report`` (keys in this order)."""

    store_id: bytes
    format_major: int
    format_minor: int
    max_bytes: int | None
    namespace_max_bytes: int | None
    compaction_backlog_bytes: int
    lock_contentions_total: int
    object_reads_total: int
    object_bytes_read_total: int
    queue_ready: int
    queue_leased: int
    queue_dead: int
    queue_total: int
    queue_oldest_ready_at_ms: int | None
    queue_ready_lag_ms: int | None
    metrics: _MetricsDict
    within_limit: bool
    storage: _StorageDict
    namespaces: list[_NamespaceDict]

@final
class Store:
    """An open Ombrel Store file: byte-string keys and values in one transactional, single-writer file.

    Created only by ``Store.open(path, ...)``; calling the class raises TypeError.
    Usable as a context manager that closes the store on exit.
    """

    @staticmethod
    def open(
        path: str | os.PathLike[str],
        *,
        durability: _Durability | str = "data",
        repair_torn_tail: bool = True,
        max_bytes: int | None = None,
        namespace_max_bytes: int | None = None,
    ) -> Store:
        """Open the store file at ``path``, creating it if it does not exist.

        ``durability`` is "strict" (full sync at each commit), "data" (data sync) or
        "relaxed" (no sync). ``max_bytes`` bounds the file length and
        ``namespace_max_bytes`` the value bytes of each key namespace; both must be
        positive when given. Raises ValueError for a zero limit or an unknown
        durability, AlreadyOpenError while another writer holds the file,
        CorruptionError for a damaged header or log and IoError for an OS failure.
        """

    @staticmethod
    def verify(path: str | os.PathLike[str]) -> VerificationReport:
        """Check a store file read-only (shared lock, full replay) and report what it holds.

        A torn tail is reported, never repaired. Raises AlreadyOpenError while a writer
        holds the file, IoError when it cannot be read, CorruptionError when damaged.
        """

    def close(self) -> None:
        """Release the store's file and writer lock; closing a closed store does nothing.

        Raises StoreBusyError while a transaction holds the store.
        """

    def flush(self) -> None:
        """Make everything written so far durable on disk."""

    def get(self, key: bytes) -> bytes | None:
        """Return the committed value of ``key``, or None when absent (internal keys readable)."""

    def contains(self, key: bytes) -> bool:
        """Return True when ``key`` is live in the store."""

    def put(self, key: bytes, value: bytes) -> None:
        """Write ``value`` under ``key`` in a one-operation transaction, committed at once.

        Raises ReservedKeyError for a key beginning with b"\\xffomb:", and
        NamespaceQuotaError, DiskFullError or OmbrelStoreError when a limit is reached.
        """

    def delete(self, key: bytes) -> None:
        """Remove ``key`` in a one-operation committed transaction; an absent key is no error.

        Raises ReservedKeyError for a key beginning with b"\\xffomb:".
        """

    def scan_prefix(self, prefix: bytes) -> list[tuple[bytes, bytes]]:
        """Return every live (key, value) pair whose key starts with ``prefix``, ascending by key.

        Internal keys are included when the prefix matches them.
        """

    def changes_after(self, after_tx_id: int | None = None, limit: int = 100) -> list[_ChangeDict]:
        """Return up to ``limit`` committed changes of transactions after ``after_tx_id``, oldest first.

        ``after_tx_id=None`` starts at the beginning of the feed; ``limit=0`` returns [].
        """

    def changes_for_transaction(self, tx_id: int) -> list[_ChangeDict]:
        """Return every change committed by transaction ``tx_id``, in order."""

    def prune_changes_through(self, tx_id: int, limit: int = 100) -> int:
        """Delete up to ``limit`` of the oldest changes of transactions <= ``tx_id``; return the count."""

    # --- maintenance: backup, checkpoint, restore, compaction, generations, statistics, health ---

    def backup_to(self, destination: str | os.PathLike[str]) -> int:
        """Copy the store file byte for byte over ``destination`` (replacing it); return the bytes copied."""

    def checkpoint_to(self, destination: str | os.PathLike[str]) -> _CheckpointDict:
        """Copy the store file to a new path through a temporary sibling and verify the copy."""

    @staticmethod
    def restore_copy(source: str | os.PathLike[str], destination: str | os.PathLike[str]) -> _RestoreDict:
        """Copy a closed, verified store file to a new path and prove the copy matches it."""

    def compact_copy_to(self, destination: str | os.PathLike[str]) -> _CompactionDict:
        """Write the live keys into a new store file (new identity) at a new path."""

    def snapshot_to(self, destination: str | os.PathLike[str]) -> _SnapshotDict:
        """Write a verified compacted copy with a new identity; report both identities."""

    def compact_generation_to(self, destination: str | os.PathLike[str]) -> _GenerationDict:
        """Write a compacted new generation that keeps the store's identity and numbering."""

    def storage_stats(self) -> _StorageDict:
        """Measure the store file against its live keys and values."""

    def health_report(self) -> _HealthDict:
        """Report identity, quotas, backlog, counters, queue figures and per-area key counts."""

    def __enter__(self) -> Store:
        """Return the store itself."""

    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> Literal[False]:
        """Close the store and return False, so an exception raised in the block propagates."""

@final
class VerificationReport:
    """What a read-only replay of a store file found; returned by ``Store.verify``.

    Not constructible from Python; every attribute is read-only.
    """

    @property
    def file_bytes(self) -> int:
        """Length of the file in bytes."""

    @property
    def valid_bytes(self) -> int:
        """64 plus the length of the complete log records replayed."""

    @property
    def records(self) -> int:
        """Number of log records replayed, committed or not."""

    @property
    def committed_transactions(self) -> int:
        """Number of transactions that have a commit record."""

    @property
    def pending_transactions(self) -> int:
        """Number of transactions with records but no commit record."""

    @property
    def keys(self) -> int:
        """Number of live keys after the replay, internal keys included."""

    @property
    def store_id(self) -> bytes:
        """The 16-byte identity of the store (a new bytes object on each access)."""

    @property
    def has_torn_tail(self) -> bool:
        """True when the file holds bytes after the last complete record."""

class OmbrelStoreError(Exception):
    """Base class of every store error; raised itself for domain errors and unclassed engine errors."""

class StoreClosedError(OmbrelStoreError):
    """A call on a closed store."""

class StoreBusyError(OmbrelStoreError):
    """A call on a store lent to an active transaction."""

class AlreadyOpenError(OmbrelStoreError):
    """Another writer holds the store file."""

class ReservedKeyError(OmbrelStoreError):
    """A user write to a key in the internal namespace."""

class TransactionFinishedError(OmbrelStoreError):
    """Use of a committed or rolled-back transaction."""

class CorruptionError(OmbrelStoreError):
    """Damaged header, log or operation payload."""

class IoError(OmbrelStoreError):
    """Operating-system I/O failure."""

class DiskFullError(OmbrelStoreError):
    """The file system is full or its quota is exhausted."""

class NamespaceQuotaError(OmbrelStoreError):
    """A per-namespace value-byte quota would be exceeded."""
