"""Type stubs for ombrel_store.client, generated from _native.pyi by ombrel_store._stubgen; do not edit."""

import os
from collections.abc import Callable, Sequence
from types import TracebackType
from typing import Any, Literal

from ._native import OmbrelStoreError, ReadOnlyStore, Store, Transaction, VerificationReport
from .results import *
from ._native import (
    _ByteVec,
    _ChangeDict,
    _CheckpointDict,
    _ClaimedMessageDict,
    _CompactionDict,
    _ConsumerGroupDelivery,
    _ConsumerGroupState,
    _CronScheduleDict,
    _Durability,
    _EnsuredScheduleDict,
    _GenerationDict,
    _HealthDict,
    _JobDict,
    _JobHistoryKind,
    _JobState,
    _JobStatsDict,
    _JobTemplateDict,
    _MetricsDict,
    _NamespaceDict,
    _ObjectGcDict,
    _ObjectInfoDict,
    _ObjectPurgeDict,
    _OutboxEventDict,
    _QueueStatsDict,
    _Record,
    _RestoreDict,
    _RpcRequestDict,
    _RpcResponseDict,
    _SalvageDict,
    _ScheduleDict,
    _SnapshotDict,
    _StorageDict,
    _TriggerDict,
    _WorkflowDict,
    _WorkflowHistoryDict,
    _WorkflowHistoryKind,
    _WorkflowResumeDict,
    _WorkflowSignalUntilWaitDict,
    _WorkflowSignalWaitDict,
    _WorkflowStatus,
    _WorkflowTimerWaitDict,
    _WorkflowWakeDict,
)

__all__ = ["Client", "ClientTransaction", "TransactionConflictError", "connect"]

class TransactionConflictError(OmbrelStoreError):
    """A client transaction read something that changed before it committed; nothing was written."""

def connect(socket_path: str | os.PathLike[str]) -> Client:
    """Connect to the store server listening on ``socket_path`` and return a Client."""

class Client:
    """A connection to a store server with the methods of ``Store``; made by ``connect()``."""

    def __init__(self, socket_path: str | os.PathLike[str]) -> None: ...
    @property
    def socket_path(self) -> str: ...
    def close(self) -> None:
        """Close this client's connections (the server and its store go on)."""
    def transaction(self) -> ClientTransaction:
        """A transaction staged in this client and sent to the server as one request at commit."""
    def __enter__(self) -> Client: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> Literal[False]: ...
    @staticmethod
    def verify(path: str | os.PathLike[str]) -> VerificationReport:
        """Check a store file read-only (shared lock, full replay) and report what it holds.

        A torn tail is reported, never repaired. Raises AlreadyOpenError while a writer
        holds the file, IoError when it cannot be read, CorruptionError when damaged.
        """
    @staticmethod
    def open_read_only(path: str | os.PathLike[str]) -> ReadOnlyStore:
        """Open the existing store file at ``path`` read-only, beside the process that writes it.

        No lock is taken and nothing is ever written, repaired or created. The committed prefix
        of the log is replayed (a torn tail counts as not yet written); ``refresh()`` reads what
        was committed since. Raises IoError when the file cannot be read, CorruptionError when
        it is damaged.
        """
    @staticmethod
    def salvage(path: str | os.PathLike[str]) -> SalvageDict:
        """Cut a damaged store file back to the longest prefix that replays, keeping the cut bytes.

        The bytes after the prefix go to "<path>.salvage-<offset>" (synced) before the file is
        cut; a file that replays to its end is left unchanged. The store must not be open.
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
    def changes_after(self, after_tx_id: int | None = None, limit: int = 100) -> list[ChangeDict]:
        """Return up to ``limit`` committed changes of transactions after ``after_tx_id``, oldest first.

        ``after_tx_id=None`` starts at the beginning of the feed; ``limit=0`` returns [].
        """
    def changes_for_transaction(self, tx_id: int) -> list[ChangeDict]:
        """Return every change committed by transaction ``tx_id``, in order."""
    def prune_changes_through(self, tx_id: int, limit: int = 100) -> int:
        """Delete up to ``limit`` of the oldest changes of transactions <= ``tx_id``; return the count."""
    def put_object(self, content: bytes) -> bytes:
        """Store ``content`` once under its 32-byte SHA-256 id and return the id."""
    def put_object_with_metadata(self, content: bytes, metadata: dict[str, str]) -> bytes:
        """Store ``content`` with text metadata and return its id; an existing object keeps its first metadata."""
    def get_object(self, id: bytes) -> bytes | None:
        """Return the content of object ``id``, or None when it is not stored."""
    def get_object_chunk(self, id: bytes, offset: int = 0, limit: int = 65536) -> bytes | None:
        """Return up to ``limit`` bytes of object ``id`` from ``offset`` (b"" past the end), or None when absent."""
    def object_info(self, id: bytes) -> ObjectInfoDict | None:
        """Return the id, size and metadata of object ``id``, or None when it is not stored."""
    def verify_object(self, id: bytes) -> bool:
        """Return True when object ``id`` is stored and its content still hashes to ``id``."""
    def link_object(self, namespace: bytes, name: bytes, id: bytes) -> None:
        """Point reference (``namespace``, ``name``) at the stored object ``id``, replacing any earlier target."""
    def resolve_object_ref(self, namespace: bytes, name: bytes) -> bytes | None:
        """Return the id that reference (``namespace``, ``name``) points at, or None."""
    def unlink_object(self, namespace: bytes, name: bytes) -> bool:
        """Remove reference (``namespace``, ``name``); False when there was none."""
    def list_object_refs(
        self, namespace: bytes, name_prefix: bytes | bytearray | None = None
    ) -> list[tuple[bytes, bytes]]:
        """Return the (name, id) references of ``namespace`` whose name starts with ``name_prefix``, by name."""
    def gc_orphan_objects(self, limit: int = 100) -> ObjectGcDict:
        """Delete up to ``limit`` unreferenced objects in id order; ``limit=0`` only reports the counts."""
    def purge_expired_objects(self, now_unix: int, limit: int = 100) -> ObjectPurgeDict:
        """Delete up to ``limit`` unreferenced objects whose "expires_at_unix" is <= ``now_unix``; 0 means no limit."""
    def append_stream(self, name: bytes, payload: bytes) -> int:
        """Append ``payload`` to stream ``name``; return its offset (consecutive from 0)."""
    def read_stream(self, name: bytes, offset: int = 0, limit: int = 100) -> list[tuple[int, bytes]]:
        """Return up to ``limit`` (offset, payload) entries from ``offset`` on; [] past the tail or for limit 0."""
    def stream_tail_offset(self, name: bytes) -> int | None:
        """Return the offset of the stream's last entry, or None while it is empty."""
    def publish_topic(self, name: bytes, payload: bytes) -> int:
        """Append ``payload`` to topic ``name`` (the stream of that name); return its offset."""
    def read_topic(self, name: bytes, offset: int = 0, limit: int = 100) -> list[tuple[int, bytes]]:
        """Return up to ``limit`` (offset, payload) entries of the topic from ``offset`` on."""
    def poll_topic(self, topic: bytes, subscription: bytes, limit: int = 100) -> list[tuple[int, bytes]]:
        """Return up to ``limit`` entries from the subscription's cursor on, without moving it."""
    def acknowledge_topic_through(self, topic: bytes, subscription: bytes, offset: int) -> int:
        """Move the subscription's cursor to ``offset`` + 1 and return it; a move backwards raises OmbrelStoreError."""
    def reset_topic_subscription(self, topic: bytes, subscription: bytes, next_offset: int) -> None:
        """Set the subscription's cursor to ``next_offset``, in either direction."""
    def topic_subscription_offset(self, topic: bytes, subscription: bytes) -> int:
        """Return the subscription's cursor (0 for a subscription never used)."""
    def trim_stream(self, name: bytes, before_offset: int, *, force: bool = False) -> int:
        """Delete the entries below ``before_offset`` (never one a subscription or group has yet to take unless
        ``force``); return how many were deleted."""
    def consumer_group_claim(
        self, stream: bytes, group: bytes, consumer: bytes, now_ms: int, lease_duration_ms: int
    ) -> ConsumerGroupDelivery | None:
        """Lease the entry at the group's position to ``consumer``; None while a lease is active or no entry is there."""
    def consumer_group_ack(
        self, stream: bytes, group: bytes, consumer: bytes, offset: int, lease_generation: int
    ) -> None:
        """Acknowledge the leased entry (owner, offset and generation must match); the position moves past it."""
    def consumer_group_nack(
        self, stream: bytes, group: bytes, consumer: bytes, offset: int, lease_generation: int
    ) -> None:
        """Release the lease without moving the position, so the entry is delivered again."""
    def consumer_group_reset(self, stream: bytes, group: bytes, next_offset: int) -> None:
        """Set the group's position to ``next_offset`` and release any lease; the generation is kept."""
    def consumer_group_state(self, stream: bytes, group: bytes) -> ConsumerGroupState:
        """Return the group's position, lease and generation (position 0, no lease for a new group)."""
    def push_queue(self, name: bytes, payload: bytes, *, available_at_ms: int = 0, priority: int = 0) -> int:
        """Append a ready message to queue ``name`` and return its id (ids start at 1)."""
    def claim_queue(self, name: bytes, now_ms: int, lease_duration_ms: int) -> ClaimedMessageDict | None:
        """Lease the best claimable message (highest priority, then lowest id) or return None."""
    def ack_queue(self, name: bytes, id: int, lease_generation: int) -> None:
        """Delete leased message ``id``; refused unless ``lease_generation`` is its current lease."""
    def nack_queue(self, name: bytes, id: int, lease_generation: int, available_at_ms: int) -> None:
        """Make leased message ``id`` ready again at ``available_at_ms``, keeping its attempts."""
    def dead_letter_queue(self, name: bytes, id: int, lease_generation: int) -> None:
        """Mark leased message ``id`` dead: never claimed again, kept until purged."""
    def purge_dead_queue(self, name: bytes) -> int:
        """Delete every dead message of queue ``name``; return how many."""
    def queue_stats(self, name: bytes, *, now_ms: int | None = None) -> QueueStatsDict:
        """Count ready, leased, dead and all messages; with ``now_ms`` also the oldest ready lag."""
    def emit_outbox_event(self, topic: bytes, payload: bytes, created_at_ms: int) -> tuple[int, bytes]:
        """Record an event in its own transaction; return its id (tx_id, 16-byte nonce)."""
    def outbox_events_after(self, after_tx_id: int | None = None, limit: int = 100) -> list[OutboxEventDict]:
        """Return up to ``limit`` pending events of transactions after ``after_tx_id``; ``limit=0`` returns []."""
    def ack_outbox_event(self, tx_id: int, nonce: bytes) -> bool:
        """Delete a delivered event; False when there was no such event."""
    def outbox_len(self) -> int:
        """Return the number of pending outbox events."""
    def submit_rpc_request(
        self, method: bytes, payload: bytes, created_at_ms: int, deadline_ms: int | None = None
    ) -> tuple[int, bytes]:
        """Submit a request in its own transaction; return its id (tx_id, 16-byte nonce)."""
    def pending_rpc_requests_after(self, after_tx_id: int | None = None, limit: int = 100) -> list[RpcRequestDict]:
        """Return up to ``limit`` unanswered requests after ``after_tx_id``; ``limit=0`` returns []."""
    def respond_rpc(
        self, tx_id: int, nonce: bytes, payload: bytes, completed_at_ms: int, is_error: bool = False
    ) -> None:
        """Answer a pending request: remove it and store its response in one transaction."""
    def get_rpc_response(self, tx_id: int, nonce: bytes) -> RpcResponseDict | None:
        """Return the response to a request, or None while there is none."""
    def ack_rpc_response(self, tx_id: int, nonce: bytes) -> bool:
        """Delete the response to a request; False when there was none."""
    def expire_rpc_requests(self, now_ms: int, limit: int = 100) -> int:
        """Answer up to ``limit`` requests with deadline_ms <= now_ms with b"deadline exceeded"; return the count."""
    def create_collection(self, name: bytes, *, schema_version: int = 1, codec: _ByteVec | None = None) -> bool:
        """Create a collection (codec None stores b"bytes"); False, changing nothing, if it exists."""
    def define_index(self, collection: bytes, name: bytes, *, unique: bool = False) -> bool:
        """Define a secondary index; False, changing nothing, if it exists. Covers later upserts only."""
    def upsert_record(
        self, collection: bytes, primary_key: bytes, value: bytes, *, indexes: Sequence[Sequence[_ByteVec]] = ...
    ) -> None:
        """Insert or replace a record with its (index name, index value) pairs, which replace the old ones."""
    def get_record(self, collection: bytes, primary_key: bytes) -> _Record | None:
        """Return the record as (primary_key, value, indexes), or None."""
    def delete_record(self, collection: bytes, primary_key: bytes) -> bool:
        """Delete a record and its index entries; True if one was removed."""
    def scan_collection(self, collection: bytes) -> list[_Record]:
        """Return every record, shorter primary keys first, equal lengths bytewise."""
    def collection_definition(self, name: bytes) -> tuple[int, bytes] | None:
        """Return (schema_version, codec), or None when the collection does not exist."""
    def collection_migrations(self, collection: bytes) -> list[tuple[int, int, bytes]]:
        """Return the logged migrations as (from_version, to_version, codec), oldest first."""
    def migrate_collection_schema(
        self, collection: bytes, expected_version: int, next_version: int, *, codec: _ByteVec | None = None
    ) -> bool:
        """Compare-and-set the schema version and log it; False when the stored version differs."""
    def query_index_exact(self, collection: bytes, index: bytes, value: bytes) -> list[_Record]:
        """Return the records that listed ``value`` for ``index``, sorted by primary key."""
    def query_index_range(
        self,
        collection: bytes,
        index: bytes,
        *,
        start: bytes | None = None,
        end: bytes | None = None,
        start_inclusive: bool = True,
        end_inclusive: bool = True,
        descending: bool = False,
        limit: int | None = None,
    ) -> list[tuple[bytes, _Record]]:
        """Return (index_value, record) pairs within the bounds, bytewise by value then primary key."""
    def backup_to(self, destination: str | os.PathLike[str]) -> int:
        """Copy the store file byte for byte over ``destination`` (replacing it); return the bytes copied."""
    def checkpoint_to(self, destination: str | os.PathLike[str]) -> CheckpointDict:
        """Copy the store file to a new path through a temporary sibling and verify the copy."""
    @staticmethod
    def restore_copy(source: str | os.PathLike[str], destination: str | os.PathLike[str]) -> RestoreDict:
        """Copy a closed, verified store file to a new path and prove the copy matches it."""
    def compact_copy_to(self, destination: str | os.PathLike[str]) -> CompactionDict:
        """Write the live keys into a new store file (new identity) at a new path."""
    def snapshot_to(self, destination: str | os.PathLike[str]) -> SnapshotDict:
        """Write a verified compacted copy with a new identity; report both identities."""
    def compact_generation_to(self, destination: str | os.PathLike[str]) -> GenerationDict:
        """Write a compacted new generation that keeps the store's identity and numbering."""
    def storage_stats(self) -> StorageDict:
        """Measure the store file against its live keys and values."""
    def health_report(self) -> HealthDict:
        """Report identity, quotas, backlog, counters, queue figures and per-area key counts."""
    @staticmethod
    def set_progress_hook(hook: Callable[[str, int, int], object] | None) -> Callable[[str, int, int], object] | None:
        """Set the callable long maintenance calls report to; return the previous one.

        verify, backup_to, checkpoint_to, restore_copy, compact_copy_to, snapshot_to and
        compact_generation_to call ``hook(operation, done_bytes, total_bytes)`` every 4 MiB and at
        the end of each pass (a copy, then its verification: each counts from 0). An exception
        raised by the hook stops the operation with nothing of it left on disk and is raised by
        the method. One hook per process; None removes it.
        """
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
    def get_job(self, id: bytes) -> JobDict | None:
        """Return the job with this id, or None."""
    def claim_job(self, now_ms: int, lease_duration_ms: int, *, handlers: Sequence[bytes] | None = ...) -> JobDict | None:
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
    def retry_job(self, id: bytes, now_ms: int) -> JobDict | None:
        """Revive a dead job with its attempts reset; None if the job is missing or not dead."""
    def cancel_job(self, id: bytes, now_ms: int) -> bool:
        """Cancel a ready or leased job; False if it is missing or already finished."""
    def list_jobs(self) -> list[JobDict]:
        """Return every job, by available_at_ms and then id."""
    def job_stats(self) -> JobStatsDict:
        """Return the number of jobs in all and per state."""
    def job_history(self, id: bytes) -> list[tuple[int, int, JobHistoryKind, bytes]]:
        """Return the job's (seq, at_ms, kind, detail) history entries in order; [] for an unknown id."""
    def purge_finished_jobs(self, finished_before_ms: int, limit: int = 100) -> int:
        """Delete up to limit jobs that finished before finished_before_ms, oldest first, with their history; return how many."""
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
    def get_schedule(self, id: bytes) -> ScheduleDict | None:
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
    def get_cron_schedule(self, id: bytes) -> CronScheduleDict | None:
        """Return the cron schedule with this id, or None."""
    def list_cron_schedules(self) -> list[CronScheduleDict]:
        """Return every cron schedule, by next_run_ms."""
    def set_cron_schedule_enabled(self, id: bytes, enabled: bool) -> bool:
        """Enable or disable a cron schedule; False if there is none."""
    def tick_cron_schedules(self, now_ms: int, limit: int) -> tuple[int, int]:
        """Fire the oldest due run of up to ``limit`` cron schedules; return (schedules listed, schedules fired)."""
    def ensure_schedule(
        self,
        name: bytes,
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
    ) -> _EnsuredScheduleDict:
        """Return the interval schedule named ``name``, or create and name it; ``{"id", "created"}``."""
    def ensure_cron_schedule(
        self,
        name: bytes,
        expression: str,
        handler: bytes,
        payload: bytes,
        after_ms: int,
        *,
        missed_runs: Literal["catch_up", "skip"] = "catch_up",
        available_at_ms: int = 0,
        deadline_ms: int | None = None,
        priority: int = 0,
        max_attempts: int = 3,
        retry_backoff_ms: int = 1000,
        idempotency_key: bytes | bytearray | Sequence[int] | None = None,
    ) -> _EnsuredScheduleDict:
        """Return the cron schedule named ``name``, or create and name it; ``{"id", "created"}``."""
    def create_trigger(
        self,
        name: bytes,
        source: str,
        handler: bytes,
        payload: bytes,
        *,
        source_name: bytes | bytearray | Sequence[int] | None = None,
        operation: bytes | bytearray | Sequence[int] | None = None,
        available_at_ms: int = 0,
        deadline_ms: int | None = None,
        priority: int = 0,
        max_attempts: int = 3,
        retry_backoff_ms: int = 1000,
        idempotency_key: bytes | bytearray | Sequence[int] | None = None,
    ) -> bytes:
        """Create an enabled trigger ("manual", "collection", "stream" or "topic" source); return its 16-byte id."""
    def get_trigger(self, id: bytes) -> TriggerDict | None:
        """Return the trigger with this id, or None."""
    def list_triggers(self) -> list[TriggerDict]:
        """Return every trigger, by name and then id."""
    def set_trigger_enabled(self, id: bytes, enabled: bool) -> bool:
        """Enable or disable a trigger; False if there is none."""
    def fire_trigger(self, id: bytes, event_payload: bytes, now_ms: int) -> bytes | None:
        """Submit the trigger's job and count the firing in one commit; return the job id, or None if disabled."""
    def create_workflow(
        self, workflow_type: bytes, initial_step: bytes, initial_state: bytes, now_ms: int, parent_id: bytes | None = None
    ) -> bytes:
        """Create a running instance (type and step not empty, parent_id 16 bytes or None); return its 16-byte id."""
    def get_workflow(self, id: bytes) -> WorkflowDict | None:
        """Return the instance with this id, or None."""
    def set_workflow_step(self, id: bytes, step: bytes, state: bytes, now_ms: int) -> None:
        """Move a running or waiting instance to `step` with `state`; it becomes running, its wait cleared."""
    def wait_for_signal(self, id: bytes, signal: bytes, now_ms: int) -> None:
        """Park a running or waiting instance until the signal `signal` arrives."""
    def wait_until(self, id: bytes, resume_at_ms: int, now_ms: int) -> None:
        """Park a running or waiting instance until resume_due_workflows reaches `resume_at_ms`."""
    def signal_workflow(self, id: bytes, signal: bytes, payload: bytes, now_ms: int) -> bool:
        """Deliver a signal to an instance waiting for exactly that name (payload becomes its state); else False."""
    def complete_workflow(self, id: bytes, final_state: bytes, now_ms: int) -> None:
        """Complete a running or waiting instance with `final_state` as its state."""
    def fail_workflow(self, id: bytes, error: bytes, now_ms: int) -> None:
        """Fail a running or waiting instance; `error` becomes its state and the history detail."""
    def cancel_workflow(self, id: bytes, reason: bytes, now_ms: int) -> bool:
        """Cancel a running or waiting instance; False when there is none or it is already terminal."""
    def resume_due_workflows(self, now_ms: int, limit: int = 100) -> WorkflowResumeDict:
        """Wake at most `limit` instances whose timer (or signal-wait timeout) is due at `now_ms`, smallest id first."""
    def workflow_history(self, id: bytes) -> list[WorkflowHistoryDict]:
        """Return the instance's history in sequence order (empty for an unknown id)."""
    def workflow_children(self, parent_id: bytes) -> list[WorkflowDict]:
        """Return the instances whose parent is `parent_id`, oldest created_at_ms first."""
    def purge_finished_workflows(self, finished_before_ms: int, limit: int = 100) -> int:
        """Remove at most `limit` instances finished before `finished_before_ms`, oldest first, with their
        history, in one commit; return how many were removed."""
    def create_workflow_with_id(
        self,
        id: bytes,
        workflow_type: bytes,
        initial_step: bytes,
        initial_state: bytes,
        now_ms: int,
        parent_id: _ByteVec | None = None,
    ) -> None:
        """Create a running instance under the caller's 16-byte ``id`` (see new_workflow_id)."""
    def send_workflow_signal(
        self, id: bytes, signal: bytes, payload: bytes, now_ms: int
    ) -> Literal["delivered", "kept", "ignored"]:
        """Deliver a signal to an instance waiting for it, else keep it for its next wait of that name."""
    def wait_for_signal_until(self, id: bytes, signal: bytes, timeout_at_ms: int, now_ms: int) -> None:
        """Park an instance until the signal arrives or resume_due_workflows reaches ``timeout_at_ms``."""
    def wake_due_workflows(self, now_ms: int, limit: int = 100) -> _WorkflowWakeDict:
        """resume_due_workflows that also returns the ids woken and those whose signal wait timed out."""
    def list_workflows(
        self,
        *,
        status: _WorkflowStatus | None = None,
        workflow_type: bytes | None = None,
        after_id: bytes | None = None,
        limit: int = 100,
    ) -> list[_WorkflowDict]:
        """Return up to ``limit`` instances in id order after ``after_id``, of a status and a type if given."""

class ClientTransaction:
    """A transaction of a ``Client``: staged in the client, sent as one request at commit."""

    def __init__(self, client: Client) -> None: ...
    def __enter__(self) -> ClientTransaction: ...
    def get(self, key: bytes) -> bytes | None:
        """Return the value as this transaction sees it, or None."""
    def contains(self, key: bytes) -> bool:
        """Return True when the key is live as this transaction sees it."""
    def scan_prefix(self, prefix: bytes) -> list[tuple[bytes, bytes]]:
        """Return the committed pairs under ``prefix`` with the staged puts and deletes applied."""
    def get_record(self, collection: bytes, primary_key: bytes) -> _Record | None:
        """Return the record with this transaction's staged record changes applied, or None."""
    def query_index_exact(self, collection: bytes, index: bytes, value: bytes) -> list[_Record]:
        """As ``Store.query_index_exact``, with this transaction's staged record changes applied."""
    def query_index_range(
        self,
        collection: bytes,
        index: bytes,
        *,
        start: bytes | None = None,
        end: bytes | None = None,
        start_inclusive: bool = True,
        end_inclusive: bool = True,
        descending: bool = False,
        limit: int | None = None,
    ) -> list[tuple[bytes, _Record]]:
        """As ``Store.query_index_range``, with this transaction's staged record changes applied."""
    def get_job(self, id: bytes) -> _JobDict | None:
        """Return the committed job with this id, or None."""
    def get_workflow(self, id: bytes) -> _WorkflowDict | None:
        """Return the committed workflow instance with this id, or None."""
    def workflow_history(self, id: bytes) -> list[_WorkflowHistoryDict]:
        """Return the instance's committed history in sequence order."""
    def workflow_children(self, parent_id: bytes) -> list[_WorkflowDict]:
        """Return the committed instances whose parent is `parent_id`, oldest created_at_ms first."""
    def get_object(self, id: bytes) -> bytes | None:
        """Return the committed content of object ``id``, or None."""
    def object_info(self, id: bytes) -> _ObjectInfoDict | None:
        """Return the id, size and metadata of the committed object ``id``, or None."""
    def put(self, key: bytes, value: bytes) -> None:
        """Stage a write; a reserved key raises ReservedKeyError at commit."""
    def delete(self, key: bytes) -> None:
        """Stage a removal; a reserved key raises ReservedKeyError at commit."""
    def upsert_record(
        self, collection: bytes, primary_key: bytes, value: bytes, *, indexes: Sequence[Sequence[_ByteVec]] = ...
    ) -> None:
        """Stage a record upsert, applied at commit as ``Store.upsert_record``."""
    def delete_record(self, collection: bytes, primary_key: bytes) -> None:
        """Stage a record deletion, applied at commit as ``Store.delete_record``."""
    def enqueue_job(
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
        idempotency_key: _ByteVec | None = None,
    ) -> int:
        """Stage a job; result ``{"kind": "job", "id": bytes}``."""
    def push_queue(self, queue: bytes, payload: bytes, *, available_at_ms: int = 0, priority: int = 0) -> int:
        """Stage a queue push; result ``{"kind": "queue", "id": int}``."""
    def append_stream(self, stream: bytes, payload: bytes) -> int:
        """Stage a stream append; result ``{"kind": "stream", "offset": int}``."""
    def publish_topic(self, topic: bytes, payload: bytes) -> int:
        """Stage a topic publication; result ``{"kind": "topic", "offset": int}``."""
    def emit_event(self, topic: bytes, payload: bytes, created_at_ms: int) -> int:
        """Stage an outbox event; result ``{"kind": "outbox", "tx_id": int, "nonce": bytes}``."""
    def put_object(self, content: bytes) -> int:
        """Stage an object put; result ``{"kind": "object", "id": bytes}``."""
    def put_linked_object(self, content: bytes, namespace: bytes, name: bytes) -> int:
        """Stage an object put and a reference to it; result ``{"kind": "object", "id": bytes}``."""
    def link_object(self, namespace: bytes, name: bytes, id: bytes) -> int:
        """Stage a reference to object ``id`` (32 bytes, checked now); no result."""
    def unlink_object(self, namespace: bytes, name: bytes) -> int:
        """Stage a reference removal; result ``{"kind": "object_unlink", "removed": bool}``."""
    def request_rpc(self, method: bytes, payload: bytes, created_at_ms: int, deadline_ms: int | None = None) -> int:
        """Stage an RPC request; result ``{"kind": "rpc", "tx_id": int, "nonce": bytes}``."""
    def create_workflow(
        self,
        workflow_type: bytes,
        initial_step: bytes,
        initial_state: bytes,
        now_ms: int,
        parent_id: _ByteVec | None = None,
    ) -> int:
        """Stage a workflow creation; result ``{"kind": "workflow", "id": bytes}``."""
    def set_workflow_step(self, id: bytes, step: bytes, state: bytes, now_ms: int) -> int:
        """Stage a step change of workflow ``id`` (16 bytes, checked now); no result."""
    def wait_for_signal(self, id: bytes, signal: bytes, now_ms: int) -> int:
        """Stage parking workflow ``id`` until ``signal``; no result."""
    def signal_workflow(self, id: bytes, signal: bytes, payload: bytes, now_ms: int) -> int:
        """Stage a signal; result ``{"kind": "workflow_signal", "signaled": bool}``."""
    def wait_until(self, id: bytes, resume_at_ms: int, now_ms: int) -> int:
        """Stage parking workflow ``id`` until ``resume_at_ms``; no result."""
    def complete_workflow(self, id: bytes, final_state: bytes, now_ms: int) -> int:
        """Stage completing workflow ``id``; no result."""
    def fail_workflow(self, id: bytes, error: bytes, now_ms: int) -> int:
        """Stage failing workflow ``id`` with ``error`` as its state; no result."""
    def cancel_workflow(self, id: bytes, reason: bytes, now_ms: int) -> int:
        """Stage a cancellation; result ``{"kind": "workflow_cancel", "cancelled": bool}``."""
    def heartbeat_job(self, id: bytes, lease_generation: int, now_ms: int, lease_duration_ms: int) -> int:
        """Stage a lease extension; result ``{"kind": "job_heartbeat", "extended": bool}``."""
    def complete_job(self, id: bytes, lease_generation: int, now_ms: int) -> int:
        """Stage completing a leased job; a lost lease fails the commit; no result."""
    def fail_job(self, id: bytes, lease_generation: int, now_ms: int, detail: bytes) -> int:
        """Stage a failed attempt; result ``{"kind": "job_fail", "state": "ready" | "dead"}``."""
    def release_job(self, id: bytes, lease_generation: int, now_ms: int) -> int:
        """Stage giving a leased job back; result ``{"kind": "job_release", "released": bool}``."""
    def ack_queue(self, name: bytes, id: int, lease_generation: int) -> int:
        """Stage acknowledging a leased message; a lost lease fails the commit; no result."""
    def nack_queue(self, name: bytes, id: int, lease_generation: int, available_at_ms: int) -> int:
        """Stage giving a leased message back; a lost lease fails the commit; no result."""
    def dead_letter_queue(self, name: bytes, id: int, lease_generation: int) -> int:
        """Stage marking a leased message dead; a lost lease fails the commit; no result."""
    def consumer_group_ack(
        self, stream: bytes, group: bytes, consumer: bytes, offset: int, lease_generation: int
    ) -> int:
        """Stage acknowledging the group's leased entry; a lease that does not match fails the commit."""
    def consumer_group_nack(
        self, stream: bytes, group: bytes, consumer: bytes, offset: int, lease_generation: int
    ) -> int:
        """Stage giving the group's leased entry back; a lease that does not match fails the commit."""
    def ack_outbox_event(self, tx_id: int, nonce: bytes) -> int:
        """Stage deleting a delivered event; result ``{"kind": "outbox_ack", "removed": bool}``."""
    def respond_rpc(
        self, tx_id: int, nonce: bytes, payload: bytes, completed_at_ms: int, is_error: bool = False
    ) -> int:
        """Stage answering a pending request; an unknown or answered one fails the commit; no result."""
    def ack_rpc_response(self, tx_id: int, nonce: bytes) -> int:
        """Stage deleting a response; result ``{"kind": "rpc_ack", "removed": bool}``."""
    def create_workflow_with_id(
        self,
        id: bytes,
        workflow_type: bytes,
        initial_step: bytes,
        initial_state: bytes,
        now_ms: int,
        parent_id: _ByteVec | None = None,
    ) -> int:
        """Stage a workflow creation under ``id`` (16 bytes), which later staged operations may name; no result."""
    def send_workflow_signal(self, id: bytes, signal: bytes, payload: bytes, now_ms: int) -> int:
        """Stage a signal that is kept when not awaited; result ``{"kind": "workflow_send", "delivered": bool, "kept": bool}``."""
    def wait_for_signal_until(self, id: bytes, signal: bytes, timeout_at_ms: int, now_ms: int) -> int:
        """Stage parking workflow ``id`` until ``signal`` or ``timeout_at_ms``; no result."""
    def commit(self) -> None:
        """Apply every staged operation in one engine transaction; on failure nothing is visible."""
    def commit_with_results(self) -> dict[int, OperationResult]:
        """Commit and return the results of the operations that yield one, keyed by position."""
    def rollback(self) -> None:
        """Discard the staged operations and give the store back."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> Literal[False]:
        """Commit on normal exit, roll back on an exception; never suppresses it."""
