"""Type stubs for ombrel_store._native, the native core of Ombrel Store."""

import os
from types import TracebackType
from collections.abc import Sequence
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

# ---- Jobs and schedules (stub-only result shapes; keys in this order) ----

_JobState = Literal["ready", "leased", "completed", "dead", "cancelled"]
_JobHistoryKind = Literal["submitted", "claimed", "completed", "retry_scheduled", "dead", "cancelled"]

class _JobDict(TypedDict):
    """A durable job."""

    id: bytes
    state: _JobState
    handler: bytes
    payload: bytes
    available_at_ms: int
    deadline_ms: int | None
    priority: int
    attempts: int
    max_attempts: int
    retry_backoff_ms: int
    lease_until_ms: int
    lease_generation: int
    idempotency_key: bytes | None

class _JobStatsDict(TypedDict):
    """Job counts: the total and one per state."""

    total: int
    ready: int
    leased: int
    completed: int
    dead: int
    cancelled: int

class _JobTemplateDict(TypedDict):
    """The job template of a schedule."""

    handler: bytes
    payload: bytes
    available_at_ms: int
    deadline_ms: int | None
    priority: int
    max_attempts: int
    retry_backoff_ms: int
    idempotency_key: bytes | None

class _ScheduleDict(TypedDict):
    """An interval schedule."""

    id: bytes
    job: _JobTemplateDict
    mode: Literal["once", "interval"]
    every_ms: int | None
    next_run_ms: int
    enabled: bool

class _CronScheduleDict(TypedDict):
    """A cron schedule."""

    id: bytes
    expression: bytes
    job: _JobTemplateDict
    next_run_ms: int
    enabled: bool
    fire_count: int
    last_fired_at_ms: int | None

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

    # ---- Jobs and schedules ----

    def submit_job(
        self,
        handler: bytes,
        payload: bytes,
        now_ms: int,
        *,
        available_at_ms: int = 0,
        deadline_ms: int | None = None,
        priority: int = 0,
        max_attempts: int = 3,
        retry_backoff_ms: int = 1000,
        idempotency_key: bytes | bytearray | Sequence[int] | None = None,
    ) -> bytes:
        """Create a ready job and return its 16-byte id (the existing one for an active idempotency key)."""

    def get_job(self, id: bytes) -> _JobDict | None:
        """Return the job with this id, or None."""

    def claim_job(self, now_ms: int, lease_duration_ms: int, *, handlers: Sequence[bytes] | None = ...) -> _JobDict | None:
        """Lease the most urgent claimable job of the given handlers (all when omitted or empty), or return None."""

    def heartbeat_job(self, id: bytes, lease_generation: int, now_ms: int, lease_duration_ms: int) -> bool:
        """Extend a held lease to now_ms + lease_duration_ms; False if the job is not leased under that generation."""

    def complete_job(self, id: bytes, lease_generation: int, now_ms: int) -> None:
        """Mark a held job completed; raises OmbrelStoreError if it is missing, not leased or held by another generation."""

    def fail_job(self, id: bytes, lease_generation: int, now_ms: int, detail: bytes) -> Literal["ready", "dead"]:
        """Report a failed attempt: "ready" when a retry is scheduled after the back-off, "dead" when attempts are used up."""

    def release_job(self, id: bytes, lease_generation: int, now_ms: int) -> bool:
        """Give a held job back, ready at once; False if the job is not leased under that generation."""

    def release_expired_jobs(self, now_ms: int) -> int:
        """Make every job whose lease ended ready again (or dead); return how many were handled."""

    def retry_job(self, id: bytes, now_ms: int) -> _JobDict | None:
        """Revive a dead job with its attempts reset; None if the job is missing or not dead."""

    def cancel_job(self, id: bytes, now_ms: int) -> bool:
        """Cancel a ready or leased job; False if it is missing or already finished."""

    def list_jobs(self) -> list[_JobDict]:
        """Return every job, by available_at_ms and then id."""

    def job_stats(self) -> _JobStatsDict:
        """Return the number of jobs in all and per state."""

    def job_history(self, id: bytes) -> list[tuple[int, int, _JobHistoryKind, bytes]]:
        """Return the job's (seq, at_ms, kind, detail) history entries in order; [] for an unknown id."""

    def create_schedule(
        self,
        handler: bytes,
        payload: bytes,
        first_run_ms: int,
        *,
        mode: str = "once",
        every_ms: int | None = None,
        available_at_ms: int = 0,
        deadline_ms: int | None = None,
        priority: int = 0,
        max_attempts: int = 3,
        retry_backoff_ms: int = 1000,
        idempotency_key: bytes | bytearray | Sequence[int] | None = None,
    ) -> bytes:
        """Create an interval schedule ("once" or "interval" mode) and return its 16-byte id."""

    def get_schedule(self, id: bytes) -> _ScheduleDict | None:
        """Return the interval schedule with this id, or None."""

    def set_schedule_enabled(self, id: bytes, enabled: bool) -> bool:
        """Enable or disable an interval schedule; False if there is none."""

    def tick_schedules(self, now_ms: int, limit: int) -> tuple[int, int]:
        """Fire up to ``limit`` due interval schedules; return (records read, schedules fired)."""

    def create_cron_schedule(
        self,
        expression: str,
        handler: bytes,
        payload: bytes,
        after_ms: int,
        *,
        available_at_ms: int = 0,
        deadline_ms: int | None = None,
        priority: int = 0,
        max_attempts: int = 3,
        retry_backoff_ms: int = 1000,
        idempotency_key: bytes | bytearray | Sequence[int] | None = None,
    ) -> bytes:
        """Create a cron schedule (five fields, UTC) whose first run follows ``after_ms``; return its 16-byte id."""

    def get_cron_schedule(self, id: bytes) -> _CronScheduleDict | None:
        """Return the cron schedule with this id, or None."""

    def list_cron_schedules(self) -> list[_CronScheduleDict]:
        """Return every cron schedule, by next_run_ms."""

    def set_cron_schedule_enabled(self, id: bytes, enabled: bool) -> bool:
        """Enable or disable a cron schedule; False if there is none."""

    def tick_cron_schedules(self, now_ms: int, limit: int) -> tuple[int, int]:
        """Fire the oldest due run of up to ``limit`` cron schedules; return (schedules listed, schedules fired)."""

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
