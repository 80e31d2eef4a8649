"""The tables of a PostgreSQL store, created and upgraded step by step under one schema.

Contract:
- `ensure_schema(conn, schema)` brings `schema` to SCHEMA_VERSION: it creates the schema and
  the `schema_version` table when absent and applies every missing step in one transaction,
  under an advisory lock, so that several processes opening the same schema at once create it
  once. A schema written by a newer release (a higher version) is refused, nothing changed.
- Each step is applied once and recorded as a row of `schema_version`; steps are never edited
  once released, a change is a new step.

Layout (version 1), with the index each search uses:
- jobs: one row per job; `next_seq` is the seq its next history entry gets, `finished_at_ms`
  the time of its finishing entry (what purge_finished_jobs orders by). Claims read
  `jobs_ready` (or `jobs_ready_by_handler` for one handler), `jobs_leases` for ended leases and
  `jobs_deadlines` for overdue jobs; `jobs_active_idempotency` makes an idempotency key unique
  among ready and leased jobs, so that concurrent submits on any host agree on one job.
- job_history: (job_id, seq) entries.
- queues: one row per queue name with its id counter; queue_messages: (qid, id) messages, with
  `queue_ready` and `queue_leases` for claims.
- outbox_events: (tx_id, nonce) events; tx_id is the writing transaction's id
  (pg_current_xact_id()) plus meta.outbox_tx_offset, which a migration raises above the ids of
  the events it copies so that new events always sort after them.
- kv: user keys and values.
Handler, idempotency-key and queue-name columns are indexed through their SHA-256 so that long
values fit a B-tree entry.
"""

from __future__ import annotations

import re

from .._native import OmbrelStoreError

SCHEMA_VERSION = 1

_IDENTIFIER = re.compile(r"[a-z_][a-z0-9_]{0,62}")

_STEPS: dict[int, str] = {
    1: """
CREATE TABLE {s}.meta (
    singleton boolean PRIMARY KEY DEFAULT true CHECK (singleton),
    outbox_tx_offset bigint NOT NULL DEFAULT 0
);
INSERT INTO {s}.meta DEFAULT VALUES;

CREATE TABLE {s}.jobs (
    id bytea PRIMARY KEY CHECK (length(id) = 16),
    state smallint NOT NULL CHECK (state BETWEEN 0 AND 4),
    handler bytea NOT NULL,
    payload bytea NOT NULL,
    idempotency_key bytea,
    deadline_ms bigint,
    available_at_ms bigint NOT NULL,
    priority integer NOT NULL,
    attempts bigint NOT NULL,
    max_attempts bigint NOT NULL,
    retry_backoff_ms numeric(20, 0) NOT NULL,
    lease_until_ms bigint NOT NULL,
    lease_generation bigint NOT NULL,
    next_seq bigint NOT NULL,
    finished_at_ms bigint
);
CREATE INDEX jobs_ready ON {s}.jobs (priority DESC, available_at_ms, id) WHERE state = 0;
CREATE INDEX jobs_ready_by_handler ON {s}.jobs (sha256(handler), priority DESC, available_at_ms, id)
    WHERE state = 0;
CREATE INDEX jobs_leases ON {s}.jobs (lease_until_ms) WHERE state = 1;
CREATE INDEX jobs_deadlines ON {s}.jobs (deadline_ms) WHERE state IN (0, 1) AND deadline_ms IS NOT NULL;
CREATE UNIQUE INDEX jobs_active_idempotency ON {s}.jobs (sha256(idempotency_key))
    WHERE state IN (0, 1) AND idempotency_key IS NOT NULL;
CREATE INDEX jobs_finished ON {s}.jobs (finished_at_ms, id) WHERE state IN (2, 3, 4);

CREATE TABLE {s}.job_history (
    job_id bytea NOT NULL,
    seq bigint NOT NULL,
    at_ms bigint NOT NULL,
    kind smallint NOT NULL CHECK (kind BETWEEN 0 AND 5),
    detail bytea NOT NULL,
    PRIMARY KEY (job_id, seq)
);

CREATE TABLE {s}.queues (
    qid bigserial PRIMARY KEY,
    name_hash bytea NOT NULL UNIQUE,
    name bytea NOT NULL,
    next_id bigint NOT NULL DEFAULT 1
);
CREATE TABLE {s}.queue_messages (
    qid bigint NOT NULL,
    id bigint NOT NULL,
    state smallint NOT NULL CHECK (state BETWEEN 0 AND 2),
    attempts bigint NOT NULL,
    priority integer NOT NULL,
    available_at_ms bigint NOT NULL,
    lease_until_ms bigint NOT NULL,
    payload bytea NOT NULL,
    PRIMARY KEY (qid, id)
);
CREATE INDEX queue_ready ON {s}.queue_messages (qid, priority DESC, id) WHERE state = 0;
CREATE INDEX queue_leases ON {s}.queue_messages (qid, lease_until_ms) WHERE state = 1;

CREATE TABLE {s}.outbox_events (
    tx_id bigint NOT NULL,
    nonce bytea NOT NULL CHECK (length(nonce) = 16),
    topic bytea NOT NULL,
    payload bytea NOT NULL,
    created_at_ms bigint NOT NULL,
    PRIMARY KEY (tx_id, nonce)
);

CREATE TABLE {s}.kv (
    key bytea PRIMARY KEY,
    value bytea NOT NULL
);
""",
}


def check_schema_name(schema: str) -> str:
    if not _IDENTIFIER.fullmatch(schema):
        raise ValueError("schema must be a lower-case SQL identifier (letters, digits and '_', at most 63)")
    return schema


def ensure_schema(conn, schema: str) -> int:
    """Create or upgrade `schema` to SCHEMA_VERSION; return the version found before."""
    with conn.transaction():
        # One opener at a time per schema; the lock ends with the transaction.
        conn.execute("SELECT pg_advisory_xact_lock(hashtextextended(%s, 0))", (f"ombrel_store:{schema}",))
        conn.execute(f"CREATE SCHEMA IF NOT EXISTS {schema}")
        conn.execute(
            f"CREATE TABLE IF NOT EXISTS {schema}.schema_version ("
            "version integer PRIMARY KEY, applied_at timestamptz NOT NULL DEFAULT now())"
        )
        found = conn.execute(f"SELECT coalesce(max(version), 0) FROM {schema}.schema_version").fetchone()[0]
        if found > SCHEMA_VERSION:
            raise OmbrelStoreError(
                f"database schema {schema} is at version {found}, newer than this release's {SCHEMA_VERSION}"
            )
        for version in range(found + 1, SCHEMA_VERSION + 1):
            conn.execute(_STEPS[version].format(s=schema))
            conn.execute(f"INSERT INTO {schema}.schema_version (version) VALUES (%s)", (version,))
        return found
