"""The shapes of the dicts that the store's methods return, as TypedDicts.

The methods return plain dicts; these classes name their keys and value types for type
checkers and readers (``from ombrel_store.results import JobDict``). Keys are listed in the
order the dicts hold them.
"""

from __future__ import annotations

from pathlib import Path
from typing import Literal, TypeAlias, TypedDict, Union

__all__ = [
    "AckOperationResult",
    "ChangeDict",
    "CheckpointDict",
    "ClaimedMessageDict",
    "CompactionDict",
    "ConsumerGroupDelivery",
    "ConsumerGroupState",
    "CronScheduleDict",
    "EnsuredScheduleDict",
    "GenerationDict",
    "HealthDict",
    "JobDict",
    "JobFailOperationResult",
    "JobHeartbeatOperationResult",
    "JobHistoryKind",
    "JobOperationResult",
    "JobReleaseOperationResult",
    "JobState",
    "JobStatsDict",
    "JobTemplateDict",
    "MessageIdOperationResult",
    "MetricsDict",
    "NamespaceDict",
    "ObjectGcDict",
    "ObjectInfoDict",
    "ObjectOperationResult",
    "ObjectPurgeDict",
    "ObjectUnlinkOperationResult",
    "OperationResult",
    "OutboxEventDict",
    "QueueOperationResult",
    "QueueStatsDict",
    "RestoreDict",
    "RpcRequestDict",
    "RpcResponseDict",
    "SalvageDict",
    "ScheduleDict",
    "SnapshotDict",
    "StorageDict",
    "StreamOperationResult",
    "TriggerDict",
    "WorkflowCancelOperationResult",
    "WorkflowDict",
    "WorkflowHistoryDict",
    "WorkflowHistoryKind",
    "WorkflowOperationResult",
    "WorkflowResumeDict",
    "WorkflowSendOperationResult",
    "WorkflowSignalOperationResult",
    "WorkflowSignalUntilWaitDict",
    "WorkflowSignalWaitDict",
    "WorkflowStatus",
    "WorkflowTimerWaitDict",
    "WorkflowWakeDict",
]


class ChangeDict(TypedDict):
    """One committed write, as returned by the change-feed methods (keys in this order)."""

    tx_id: int
    sequence: int
    kind: Literal["put", "delete"]
    key: bytes
    value_len: int | None
    value_sha256: bytes | None


class SalvageDict(TypedDict):
    """What ``Store.salvage`` cut off a damaged store file (keys in this order)."""

    file_bytes: int
    valid_bytes: int
    cut_bytes: int
    side_file: str | None
    damage: str | None


class ObjectInfoDict(TypedDict):
    """A stored object, as returned by ``Store.object_info`` (keys in this order)."""

    id: bytes
    size: int
    metadata: dict[str, str]


class ObjectGcDict(TypedDict):
    """What one ``Store.gc_orphan_objects`` call saw and removed (keys in this order)."""

    scanned: int
    referenced: int
    removed: int


class ObjectPurgeDict(TypedDict):
    """What one ``Store.purge_expired_objects`` call saw and removed (keys in this order)."""

    scanned: int
    expired: int
    referenced: int
    removed: int


# Streams, topics and consumer groups: result shapes (stub-only, plain dicts at run time).
class ConsumerGroupDelivery(TypedDict):
    """An entry leased by ``consumer_group_claim`` (keys in this order)."""

    offset: int
    payload: bytes
    lease_generation: int
    lease_until_ms: int


class ConsumerGroupState(TypedDict):
    """What ``consumer_group_state`` returns (keys in this order)."""

    next_offset: int
    leased_offset: int | None
    lease_until_ms: int
    lease_generation: int
    owner: bytes


class ClaimedMessageDict(TypedDict):
    """A message leased by ``claim_queue``."""

    id: int
    payload: bytes
    attempts: int
    priority: int
    available_at_ms: int
    lease_until_ms: int
    lease_generation: int


class QueueStatsDict(TypedDict, total=False):
    """``queue_stats``: ``ready_lag_ms`` is present only when ``now_ms`` was given."""

    ready: int
    leased: int
    dead: int
    total: int
    ready_lag_ms: int | None


class OutboxEventDict(TypedDict):
    """A pending outbox event."""

    id: tuple[int, bytes]
    tx_id: int
    nonce: bytes
    topic: bytes
    payload: bytes
    created_at_ms: int


class RpcRequestDict(TypedDict):
    """A pending RPC request."""

    id: tuple[int, bytes]
    tx_id: int
    nonce: bytes
    method: bytes
    payload: bytes
    created_at_ms: int
    deadline_ms: int | None


class RpcResponseDict(TypedDict):
    """The response to an RPC request."""

    request_id: tuple[int, bytes]
    tx_id: int
    nonce: bytes
    payload: bytes
    completed_at_ms: int
    is_error: bool


class CheckpointDict(TypedDict):
    """Result of ``Store.checkpoint_to`` (keys in this order)."""

    source_store_id: bytes
    checkpoint_store_id: bytes
    file_bytes: int
    valid_bytes: int
    keys: int
    committed_transactions: int
    pending_transactions: int


class RestoreDict(TypedDict):
    """Result of ``Store.restore_copy`` (keys in this order)."""

    bytes: int
    keys: int
    store_id: bytes


class CompactionDict(TypedDict):
    """Result of ``Store.compact_copy_to`` (keys in this order)."""

    source_bytes: int
    compacted_bytes: int
    bytes_reclaimed: int
    keys: int


class SnapshotDict(TypedDict):
    """Result of ``Store.snapshot_to`` (keys in this order)."""

    destination: Path
    source_store_id: bytes
    snapshot_store_id: bytes
    keys: int
    source_bytes: int
    snapshot_bytes: int


class GenerationDict(TypedDict):
    """Result of ``Store.compact_generation_to`` (keys in this order)."""

    store_id: bytes
    source_bytes: int
    generation_bytes: int
    bytes_reclaimed: int
    keys: int
    high_water_tx_id: int
    high_water_sequence: int


class StorageDict(TypedDict):
    """Result of ``Store.storage_stats`` (keys in this order)."""

    file_bytes: int
    live_keys: int
    user_keys: int
    internal_keys: int
    key_bytes: int
    value_bytes: int
    live_bytes: int
    amplification_ratio: float


class MetricsDict(TypedDict):
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


class NamespaceDict(TypedDict):
    """Keys and value bytes of one internal area."""

    name: str
    keys: int
    value_bytes: int


class HealthDict(TypedDict):
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
    metrics: MetricsDict
    within_limit: bool
    storage: StorageDict
    namespaces: list[NamespaceDict]


JobState: TypeAlias = Union[
    Literal["ready"],
    Literal["leased"],
    Literal["completed"],
    Literal["dead"],
    Literal["cancelled"],
]


JobHistoryKind: TypeAlias = Union[
    Literal["submitted"],
    Literal["claimed"],
    Literal["completed"],
    Literal["retry_scheduled"],
    Literal["dead"],
    Literal["cancelled"],
]


class JobDict(TypedDict):
    """A durable job."""

    id: bytes
    state: JobState
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


class JobStatsDict(TypedDict):
    """Job counts: the total and one per state."""

    total: int
    ready: int
    leased: int
    completed: int
    dead: int
    cancelled: int


class JobTemplateDict(TypedDict):
    """The job template of a schedule."""

    handler: bytes
    payload: bytes
    available_at_ms: int
    deadline_ms: int | None
    priority: int
    max_attempts: int
    retry_backoff_ms: int
    idempotency_key: bytes | None


class EnsuredScheduleDict(TypedDict):
    """A named schedule's id and whether ensuring it created it."""

    id: bytes
    created: bool


class ScheduleDict(TypedDict):
    """An interval schedule."""

    id: bytes
    job: JobTemplateDict
    mode: Literal["once", "interval"]
    every_ms: int | None
    next_run_ms: int
    enabled: bool


class CronScheduleDict(TypedDict):
    """A cron schedule."""

    id: bytes
    expression: bytes
    job: JobTemplateDict
    next_run_ms: int
    enabled: bool
    fire_count: int
    last_fired_at_ms: int | None


class TriggerDict(TypedDict):
    """A trigger: its event source and the job template it submits when fired."""

    id: bytes
    name: bytes
    source: Literal["manual", "collection", "stream", "topic"]
    source_name: bytes | None
    operation: bytes | None
    job: JobTemplateDict
    enabled: bool
    fire_count: int
    last_fired_at_ms: int | None


WorkflowStatus: TypeAlias = Union[
    Literal["running"],
    Literal["waiting"],
    Literal["completed"],
    Literal["failed"],
    Literal["cancelled"],
]


WorkflowHistoryKind: TypeAlias = Union[
    Literal["created"],
    Literal["step_changed"],
    Literal["waiting_signal"],
    Literal["signal_received"],
    Literal["waiting_timer"],
    Literal["timer_fired"],
    Literal["completed"],
    Literal["failed"],
    Literal["cancelled"],
    Literal["signal_kept"],
    Literal["signal_consumed"],
    Literal["waiting_signal_until"],
    Literal["timed_out"],
]


class WorkflowSignalWaitDict(TypedDict):
    """Waiting for the signal `name`."""

    kind: Literal["signal"]
    name: bytes


class WorkflowSignalUntilWaitDict(TypedDict):
    """Waiting for the signal `name` until `timeout_at_ms`."""

    kind: Literal["signal"]
    name: bytes
    timeout_at_ms: int


class WorkflowTimerWaitDict(TypedDict):
    """Waiting until `resume_at_ms`."""

    kind: Literal["timer"]
    resume_at_ms: int


class WorkflowDict(TypedDict):
    """A workflow instance."""

    id: bytes
    workflow_type: bytes
    status: WorkflowStatus
    current_step: bytes
    state: bytes
    parent_id: bytes | None
    wait: WorkflowSignalWaitDict | WorkflowSignalUntilWaitDict | WorkflowTimerWaitDict | None
    created_at_ms: int
    updated_at_ms: int


class WorkflowHistoryDict(TypedDict):
    """One entry of a workflow's history."""

    sequence: int
    at_ms: int
    kind: WorkflowHistoryKind
    detail: bytes


class WorkflowResumeDict(TypedDict):
    """What resume_due_workflows did."""

    scanned: int
    resumed: int


class WorkflowWakeDict(TypedDict):
    """What wake_due_workflows did: the counts of resume_due_workflows and the ids woken."""

    scanned: int
    resumed: int
    woken: list[bytes]
    timed_out: list[bytes]


# --- Results of a transaction's operations, as commit_with_results() gives them ---


class JobOperationResult(TypedDict):
    """An enqueued job."""

    kind: Literal["job"]
    id: bytes


class QueueOperationResult(TypedDict):
    """A pushed queue message."""

    kind: Literal["queue"]
    id: int


class StreamOperationResult(TypedDict):
    """An appended stream entry or a published topic message."""

    kind: Literal["stream", "topic"]
    offset: int


class MessageIdOperationResult(TypedDict):
    """An emitted outbox event or a sent RPC request: its message id."""

    kind: Literal["outbox", "rpc"]
    tx_id: int
    nonce: bytes


class ObjectOperationResult(TypedDict):
    """A stored (or linked) object."""

    kind: Literal["object"]
    id: bytes


class ObjectUnlinkOperationResult(TypedDict):
    kind: Literal["object_unlink"]
    removed: bool


class WorkflowOperationResult(TypedDict):
    """A created workflow."""

    kind: Literal["workflow"]
    id: bytes


class WorkflowSignalOperationResult(TypedDict):
    kind: Literal["workflow_signal"]
    signaled: bool


class WorkflowSendOperationResult(TypedDict):
    """A signal sent with send_workflow_signal: delivered to a waiting instance, or kept."""

    kind: Literal["workflow_send"]
    delivered: bool
    kept: bool


class WorkflowCancelOperationResult(TypedDict):
    kind: Literal["workflow_cancel"]
    cancelled: bool


class JobFailOperationResult(TypedDict):
    """A failed job: whether it will be retried ("ready") or is dead."""

    kind: Literal["job_fail"]
    state: Literal["ready", "dead"]


class JobHeartbeatOperationResult(TypedDict):
    kind: Literal["job_heartbeat"]
    extended: bool


class JobReleaseOperationResult(TypedDict):
    kind: Literal["job_release"]
    released: bool


class AckOperationResult(TypedDict):
    """An acknowledged outbox event or RPC response: whether it was still there."""

    kind: Literal["outbox_ack", "rpc_ack"]
    removed: bool


OperationResult: TypeAlias = Union[
    JobOperationResult,
    QueueOperationResult,
    StreamOperationResult,
    MessageIdOperationResult,
    ObjectOperationResult,
    ObjectUnlinkOperationResult,
    WorkflowOperationResult,
    WorkflowSignalOperationResult,
    WorkflowCancelOperationResult,
    WorkflowSendOperationResult,
    JobFailOperationResult,
    JobHeartbeatOperationResult,
    JobReleaseOperationResult,
    AckOperationResult,
]
