"""migrate-to-postgres: copy a store file's jobs, queues, outbox and keys into a PostgreSQL schema.

    python -m ombrel_store migrate-to-postgres STORE DSN [--schema NAME]

Contract:
- The store file is verified first (Store.verify: a damaged file or a torn tail is refused, the
  file is never modified) and then opened, which holds its writer lock for the whole copy, so
  no process writes it meanwhile.
- The target schema is created when absent and must hold no job, queue, event or key: the copy
  never merges. Everything is written in one database transaction, the counts read back are
  compared with the counts read from the file, and only then is it committed; on any failure
  nothing is left behind.
- Jobs keep their ids, states, attempts, lease generations and whole history; queues their
  names, message ids, counters, states and leases; outbox events their (tx_id, nonce) ids, and
  new events are given larger tx_ids than every copied one, so a relay's cursor stays valid.
- The store's records are read through its public API: jobs with list_jobs and job_history,
  outbox events with outbox_events_after, queue records and user keys with scan_prefix (queue
  records decoded with the layout of the store's queue messages).
"""

from __future__ import annotations

import argparse
import struct
import sys

from .._native import OmbrelStoreError, Store

QUEUE_PREFIX = b"\xffomb:q:"
INTERNAL_PREFIX = b"\xffomb:"
# version, state, id, attempts, priority, available_at_ms, lease_until_ms, payload length
MESSAGE_HEAD = struct.Struct("<BBQIiqqI")
FINISHING_KINDS = {"completed", "dead", "cancelled"}
STATE_CODES = {"ready": 0, "leased": 1, "completed": 2, "dead": 3, "cancelled": 4}
KIND_CODES = {"submitted": 0, "claimed": 1, "completed": 2, "retry_scheduled": 3, "dead": 4, "cancelled": 5}
TABLES = ("jobs", "job_history", "queues", "queue_messages", "outbox_events", "kv")


def read_queues(store: Store) -> tuple[dict[bytes, int], list[tuple]]:
    """({queue name: next id}, [(name, id, state, attempts, priority, available, lease_until, payload)])."""
    counters: dict[bytes, int] = {}
    messages: list[tuple] = []
    for key, value in store.scan_prefix(QUEUE_PREFIX):
        rest = key[len(QUEUE_PREFIX):]
        if len(rest) < 4:
            raise OmbrelStoreError("queue record has invalid encoding")
        size = int.from_bytes(rest[:4], "big")
        name, suffix = rest[4:4 + size], rest[4 + size:]
        if len(name) != size:
            raise OmbrelStoreError("queue record has invalid encoding")
        if suffix == b":next":
            if len(value) != 8:
                raise OmbrelStoreError("queue record has invalid encoding")
            counters[name] = int.from_bytes(value, "little")
        elif suffix.startswith(b":m:") and len(suffix) == 11:
            if len(value) < MESSAGE_HEAD.size:
                raise OmbrelStoreError("queue record has invalid encoding")
            version, state, message_id, attempts, priority, available, lease_until, length = MESSAGE_HEAD.unpack_from(
                value)
            if version != 1 or state > 2 or len(value) != MESSAGE_HEAD.size + length:
                raise OmbrelStoreError("queue record has invalid encoding")
            messages.append((name, message_id, state, attempts, priority, available, lease_until,
                             value[MESSAGE_HEAD.size:]))
            counters.setdefault(name, 1)
    for name, message_id, *_ in messages:
        counters[name] = max(counters[name], message_id + 1)
    return counters, messages


def finished_at(job: dict, history: list[tuple]) -> int | None:
    """When a finished job finished: its last history entry, if that entry finished it."""
    if job["state"] in FINISHING_KINDS and history and history[-1][2] in FINISHING_KINDS:
        return history[-1][1]
    return None


def migrate(store_path: str, dsn: str, schema: str = "ombrel") -> dict[str, int]:
    """Copy the store file at `store_path` into `schema` of the database of `dsn`; return the counts."""
    import psycopg

    from ._errors import database_errors
    from .schema import check_schema_name, ensure_schema

    check_schema_name(schema)
    report = Store.verify(store_path)
    if report.has_torn_tail:
        raise OmbrelStoreError("the store file ends with a torn tail: open it once to repair it, then migrate")
    with Store.open(store_path, repair_torn_tail=False) as store:
        jobs = store.list_jobs()
        histories = {job["id"]: store.job_history(job["id"]) for job in jobs}
        counters, messages = read_queues(store)
        events = store.outbox_events_after(None, (1 << 64) - 1)
        pairs = [(k, v) for k, v in store.scan_prefix(b"") if not k.startswith(INTERNAL_PREFIX)]
        expected = {
            "jobs": len(jobs),
            "job_history": sum(len(h) for h in histories.values()),
            "queues": len(counters),
            "queue_messages": len(messages),
            "outbox_events": len(events),
            "kv": len(pairs),
        }
        with database_errors(), psycopg.connect(dsn, autocommit=True) as conn:
            ensure_schema(conn, schema)
            with conn.transaction():
                _copy(conn, schema, jobs, histories, counters, messages, events, pairs)
                found = {t: _count(conn, f"{schema}.{t}") for t in TABLES}
                if found != expected:
                    raise OmbrelStoreError(f"migration counts differ: store file {expected}, database {found}")
    return expected


def _count(conn, table: str) -> int:
    row = conn.execute(f"SELECT count(*) FROM {table}").fetchone()
    return 0 if row is None else int(row[0])


def _copy(conn, s, jobs, histories, counters, messages, events, pairs) -> None:
    conn.execute(f"LOCK TABLE {', '.join(f'{s}.{t}' for t in TABLES)} IN EXCLUSIVE MODE")
    for table in TABLES:
        if conn.execute(f"SELECT EXISTS (SELECT 1 FROM {s}.{table})").fetchone()[0]:
            raise OmbrelStoreError(f"schema {s} already holds data ({table}): migrate into an empty schema")
    with conn.cursor().copy(
        f"COPY {s}.jobs (id, state, handler, payload, idempotency_key, deadline_ms, available_at_ms, priority, "
        "attempts, max_attempts, retry_backoff_ms, lease_until_ms, lease_generation, next_seq, finished_at_ms) "
        "FROM STDIN"
    ) as copy:
        for job in jobs:
            history = histories[job["id"]]
            copy.write_row((
                job["id"], STATE_CODES[job["state"]], job["handler"], job["payload"], job["idempotency_key"],
                job["deadline_ms"], job["available_at_ms"], job["priority"], job["attempts"], job["max_attempts"],
                job["retry_backoff_ms"], job["lease_until_ms"], job["lease_generation"],
                history[-1][0] + 1 if history else 0, finished_at(job, history),
            ))
    with conn.cursor().copy(f"COPY {s}.job_history (job_id, seq, at_ms, kind, detail) FROM STDIN") as copy:
        for job_id, history in histories.items():
            for seq, at_ms, kind, detail in history:
                copy.write_row((job_id, seq, at_ms, KIND_CODES[kind], detail))
    qids = {}
    for name, next_id in counters.items():
        qids[name] = conn.execute(
            f"INSERT INTO {s}.queues (name_hash, name, next_id) VALUES (sha256(%s), %s, %s) RETURNING qid",
            (name, name, next_id),
        ).fetchone()[0]
    with conn.cursor().copy(
        f"COPY {s}.queue_messages (qid, id, state, attempts, priority, available_at_ms, lease_until_ms, payload) "
        "FROM STDIN"
    ) as copy:
        for name, *fields in messages:
            copy.write_row((qids[name], *fields))
    with conn.cursor().copy(f"COPY {s}.outbox_events (tx_id, nonce, topic, payload, created_at_ms) FROM STDIN") as copy:
        for event in events:
            copy.write_row((event["tx_id"], event["nonce"], event["topic"], event["payload"], event["created_at_ms"]))
    if events:
        # Later transactions (with larger ids than this one) must sort after every copied event.
        conn.execute(
            f"UPDATE {s}.meta SET outbox_tx_offset = greatest(0, %s - pg_current_xact_id()::text::bigint)",
            (max(e["tx_id"] for e in events),),
        )
    with conn.cursor().copy(f"COPY {s}.kv (key, value) FROM STDIN") as copy:
        for key, value in pairs:
            copy.write_row((key, value))


DESCRIPTION = ("Copy a store file's jobs (with history), queues, outbox events and keys into an empty "
               "PostgreSQL schema, in one transaction, checking the counts.")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The options of ``migrate-to-postgres``, on its own parser or on the command line's subcommand."""
    parser.add_argument("store", help="path of the store file (verified first, never modified)")
    parser.add_argument("dsn", help="libpq connection string of the target database")
    parser.add_argument("--schema", default="ombrel", help="target schema (default: ombrel)")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m ombrel_store migrate-to-postgres", description=DESCRIPTION)
    add_arguments(parser)
    return run(parser.parse_args(argv))


def run(args: argparse.Namespace) -> int:
    """Migrates and prints the counts; returns the exit status."""
    try:
        counts = migrate(args.store, args.dsn, args.schema)
    except (OmbrelStoreError, ValueError) as error:
        print(f"migrate-to-postgres: {error}", file=sys.stderr)
        return 1
    print(
        f"migrated {counts['jobs']} jobs ({counts['job_history']} history entries), {counts['queues']} queues "
        f"({counts['queue_messages']} messages), {counts['outbox_events']} outbox events and {counts['kv']} keys "
        f"into schema {args.schema}"
    )
    return 0
