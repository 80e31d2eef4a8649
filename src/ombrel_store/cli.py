"""ombrel-store (also python -m ombrel_store): inspect, check and copy store files.

Read commands (info, stats, get, scan, dump, changes, queues, jobs, workflows) open the store
read-only, so they work beside a process that holds it for writing; verify and health need the
file to themselves, and the maintenance commands (backup, checkpoint, compact, snapshot,
generation) open it for writing: beside a writer they fail with the store's AlreadyOpenError.
No command creates a store or repairs a torn tail.

Exit status:
  0  success
  1  the command found a problem: verify saw damage or a torn tail, health is over its limit,
     get found no such key
  2  usage error
  3  store error (the file is missing, unreadable, damaged, held by a writer ...): one line
     "ombrel-store: <message>" on stderr
``serve`` and ``migrate-to-postgres`` keep the statuses they always had (0, 1, 2).

Bytes in output. Tables show a byte string as its text when it is printable UTF-8 that does not
begin with "0x", and as "0x" followed by its hex digits otherwise, so that nothing raw reaches a
terminal. --json prints one JSON document on stdout, with byte strings as JSON strings when they
are printable UTF-8 and as {"hex": "<hex digits>"} otherwise; times stay milliseconds.

Bytes in arguments. KEY and PREFIX are taken as UTF-8 text; "0x" followed by hex digits, or any
value when --hex is given, is read as hex.

Progress. The long commands (verify, backup, checkpoint, restore, compact, snapshot, generation)
draw a progress bar on stderr when stderr is a terminal, and nothing otherwise.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from typing import Any, TextIO

from . import _native

PROG = "ombrel-store"
INTERNAL_PREFIX = b"\xffomb:"
HEADER_BYTES = 64
# Byte layout of the store header (little-endian), as far as info shows it.
#   offset  width  field
#   0       8      magic "OSTORE01"
#   8       2      format major
#   10      2      format minor
#   12      16     store id
#   28      8      created at, ms since the epoch
HEADER_MAGIC = b"OSTORE01"

FOUND_A_PROBLEM = 1
STORE_ERROR = 3


class Problem(Exception):
    """The command ran and found something wrong: its message goes to stderr, the status is 1."""


# ---- bytes in and out ---------------------------------------------------------------------

def _printable_text(data: bytes) -> str | None:
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return None
    return text if text.isprintable() else None


def show_bytes(data: bytes) -> str:
    """A byte string for a table: its text when printable and not "0x..."-like, else 0x<hex>."""
    text = _printable_text(data)
    if text is not None and not text.startswith("0x"):
        return text
    return "0x" + data.hex()


def json_value(value: Any) -> Any:
    """`value` with byte strings as text or {"hex": ...}, paths as text, tuples as lists."""
    if isinstance(value, (bytes, bytearray)):
        text = _printable_text(bytes(value))
        return text if text is not None else {"hex": bytes(value).hex()}
    if isinstance(value, dict):
        return {str(k): json_value(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_value(v) for v in value]
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    return value


def byte_argument(hex_only: bool) -> Callable[[str], bytes]:
    def convert(text: str) -> bytes:
        digits = text if hex_only else text[2:] if text.startswith("0x") else None
        if digits is None:
            return os.fsencode(text)  # UTF-8; bytes that are not UTF-8 come back as they were given
        try:
            return bytes.fromhex(digits)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not hex digits: {text!r}") from None
    return convert


def show_ms(ms: int | None) -> str:
    if ms is None:
        return "-"
    try:
        moment = datetime.datetime.fromtimestamp(ms / 1000, tz=datetime.timezone.utc)
    except (OverflowError, OSError, ValueError):
        return str(ms)
    return moment.strftime("%Y-%m-%d %H:%M:%S.") + f"{moment.microsecond // 1000:03d}Z"


def show(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, (bytes, bytearray)):
        return show_bytes(bytes(value))
    if isinstance(value, float):
        return f"{value:.3f}"
    return str(value)


# ---- output -------------------------------------------------------------------------------

def table(rows: Sequence[Sequence[Any]], headers: Sequence[str], out: TextIO) -> None:
    """Left-aligned columns, numbers right-aligned; `rows` hold raw values."""
    cells = [[show(v) for v in row] for row in rows]
    numeric = [all(isinstance(row[i], int) for row in rows) and rows != [] for i in range(len(headers))]
    widths = [max([len(h)] + [len(c[i]) for c in cells]) for i, h in enumerate(headers)]

    def line(values: Sequence[str]) -> str:
        parts = [v.rjust(w) if num else v.ljust(w) for v, w, num in zip(values, widths, numeric)]
        return "  ".join(parts).rstrip()

    print(line(list(headers)), file=out)
    for row in cells:
        print(line(row), file=out)


def fields(pairs: Iterable[tuple[str, Any]], out: TextIO) -> None:
    """One "name  value" line per field, the values aligned."""
    pairs = list(pairs)
    width = max((len(name) for name, _ in pairs), default=0)
    for name, value in pairs:
        print(f"{name.ljust(width)}  {value if isinstance(value, str) else show(value)}", file=out)


class ProgressBar:
    """The progress hook of the long commands: a bar on `stream`, redrawn in place."""

    WIDTH = 30

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.drawn = False
        self.last_draw = 0.0

    def __call__(self, operation: str, done: int, total: int) -> None:
        now = time.monotonic()
        if done < total and now - self.last_draw < 0.1:
            return
        self.last_draw = now
        fraction = done / total if total else 1.0
        filled = int(fraction * self.WIDTH)
        bar = "#" * filled + "." * (self.WIDTH - filled)
        self.stream.write(f"\r{operation} [{bar}] {fraction:4.0%} {done / 2**20:.1f}/{total / 2**20:.1f} MiB")
        self.stream.flush()
        self.drawn = True

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\n")
            self.stream.flush()


def with_progress(fn: Callable[[], Any]) -> Any:
    """Runs fn() with a progress bar on stderr when stderr is a terminal."""
    if not sys.stderr.isatty():
        return fn()
    bar = ProgressBar(sys.stderr)
    previous = _native.Store.set_progress_hook(bar)
    try:
        return fn()
    finally:
        _native.Store.set_progress_hook(previous)
        bar.close()


# ---- opening ------------------------------------------------------------------------------

def open_read_only(path: str) -> _native.ReadOnlyStore:
    return _native.Store.open_read_only(path)


def open_for_maintenance(path: str) -> _native.Store:
    """The store for writing, without creating it or cutting a torn tail."""
    open_read_only(path).close()  # IoError for a missing file, CorruptionError for a damaged one
    return _native.Store.open(path, repair_torn_tail=False)


def read_header(path: str) -> dict[str, Any]:
    with open(path, "rb") as file:
        head = file.read(HEADER_BYTES)
    if len(head) < HEADER_BYTES or head[:8] != HEADER_MAGIC:
        raise _native.CorruptionError("store header is truncated or has invalid magic bytes")
    return {
        "store_id": head[12:28],
        "created_at_ms": int.from_bytes(head[28:36], "little"),
        "format_major": int.from_bytes(head[8:10], "little"),
        "format_minor": int.from_bytes(head[10:12], "little"),
    }


# ---- commands -----------------------------------------------------------------------------
# Each returns the JSON document and writes its human form when args.json is false.

def cmd_info(args, out):
    with open_read_only(args.path) as store:
        stats = store.storage_stats()
        areas = {}  # area -> [keys, value bytes]
        for key, value in store.scan_prefix(INTERNAL_PREFIX):
            area = "internal:" + key[len(INTERNAL_PREFIX):].split(b":", 1)[0].decode("utf-8", "backslashreplace")
            counts = areas.setdefault(area, [0, 0])
            counts[0] += 1
            counts[1] += len(value)
    header = read_header(args.path)
    doc = {**header, "storage": stats,
           "areas": [{"name": name, "keys": k, "value_bytes": v} for name, (k, v) in sorted(areas.items())]}
    if not args.json:
        fields([("store id", header["store_id"].hex()),
                ("created at", show_ms(header["created_at_ms"])),
                ("format", f"{header['format_major']}.{header['format_minor']}"),
                ("file bytes", stats["file_bytes"]),
                ("live keys", f"{stats['live_keys']} (user {stats['user_keys']}, "
                              f"internal {stats['internal_keys']})"),
                ("live bytes", f"{stats['live_bytes']} (keys {stats['key_bytes']}, values {stats['value_bytes']})"),
                ("amplification", stats["amplification_ratio"])], out)
        print(file=out)
        user_value_bytes = stats["value_bytes"] - sum(a["value_bytes"] for a in doc["areas"])
        table([[a["name"], a["keys"], a["value_bytes"]] for a in doc["areas"]]
              + [["user", stats["user_keys"], user_value_bytes]], ["area", "keys", "value bytes"], out)
    return doc


def cmd_verify(args, out):
    try:
        report = with_progress(lambda: _native.Store.verify(args.path))
    except _native.CorruptionError as damage:
        doc = {"ok": False, "damage": str(damage)}
        if not args.json:
            print(f"damaged: {damage}", file=out)
        return doc, FOUND_A_PROBLEM
    names = ("store_id", "file_bytes", "valid_bytes", "records", "committed_transactions",
             "pending_transactions", "keys", "has_torn_tail")
    doc = {"ok": not report.has_torn_tail, "damage": None, **{n: getattr(report, n) for n in names}}
    if not args.json:
        fields([(n.replace("_", " "), report.store_id.hex() if n == "store_id" else getattr(report, n))
                for n in names], out)
        print("ok" if doc["ok"] else f"torn tail: {report.file_bytes - report.valid_bytes} bytes after the "
              "last whole record (cut when the store is next opened for writing)", file=out)
    return doc, 0 if doc["ok"] else FOUND_A_PROBLEM


def cmd_stats(args, out):
    with open_read_only(args.path) as store:
        doc = store.storage_stats()
    if not args.json:
        fields([(k.replace("_", " "), v) for k, v in doc.items()], out)
    return doc


def cmd_health(args, out):
    with open_for_maintenance(args.path) as store:
        doc = store.health_report()
    if not args.json:
        fields([(k.replace("_", " "), doc["store_id"].hex() if k == "store_id" else v)
                for k, v in doc.items() if k not in ("metrics", "storage", "namespaces")], out)
        print(file=out)
        table([[n["name"], n["keys"], n["value_bytes"]] for n in doc["namespaces"]],
              ["area", "keys", "value bytes"], out)
    if not doc["within_limit"]:
        return doc, FOUND_A_PROBLEM
    return doc


def cmd_get(args, out):
    with open_read_only(args.path) as store:
        value = store.get(args.key)
    if value is None:
        raise Problem(f"no key {show_bytes(args.key)}")
    if not args.json:
        print(show_bytes(value), file=out)
    return {"key": args.key, "value": value}


def _pairs(args):
    with open_read_only(args.path) as store:
        pairs = store.scan_prefix(getattr(args, "prefix", b""))
    if not args.internal:
        pairs = [p for p in pairs if not p[0].startswith(INTERNAL_PREFIX)]
    return pairs[:args.limit] if args.limit is not None else pairs


def cmd_scan(args, out):
    pairs = _pairs(args)
    if not args.json:
        table(pairs, ["key", "value"], out)
    return [{"key": k, "value": v} for k, v in pairs]


def cmd_dump(args, out):
    pairs = _pairs(args)
    if not args.json:
        for key, value in pairs:
            print(f"{show_bytes(key)}\t{show_bytes(value)}", file=out)
    return [{"key": k, "value": v} for k, v in pairs]


def cmd_changes(args, out):
    with open_read_only(args.path) as store:
        changes = store.changes_after(args.after, args.limit)
    if not args.json:
        table([[c["tx_id"], c["sequence"], c["kind"], c["key"], c["value_len"],
                c["value_sha256"].hex() if c["value_sha256"] else None] for c in changes],
              ["tx", "sequence", "kind", "key", "value bytes", "value sha256"], out)
    return changes


def cmd_queues(args, out):
    from .postgres.migrate import read_queues

    now_ms = time.time_ns() // 1_000_000
    with open_read_only(args.path) as store:
        counters, _ = read_queues(store)
        doc = [{"name": name, **store.queue_stats(name, now_ms=now_ms)} for name in sorted(counters)]
    if not args.json:
        table([[q["name"], q["ready"], q["leased"], q["dead"], q["total"], q["ready_lag_ms"]] for q in doc],
              ["queue", "ready", "leased", "dead", "total", "ready lag ms"], out)
    return doc


def _last_error(history) -> bytes | None:
    """The detail of the last failure in a job's history."""
    for _, _, kind, detail in reversed(history):
        if kind in ("retry_scheduled", "dead"):
            return detail
    return None


def _with_history(store, job) -> dict:
    history = store.job_history(job["id"])
    return {**job, "last_event_at_ms": history[-1][1] if history else None, "last_error": _last_error(history)}


def cmd_jobs(args, out):
    with open_read_only(args.path) as store:
        jobs = [j for j in store.list_jobs() if args.state is None or j["state"] == args.state]
        jobs = jobs[:args.limit] if args.limit is not None else jobs
        doc = [_with_history(store, job) for job in jobs]
    if not args.json:
        table([[j["id"].hex(), j["state"], j["handler"], f"{j['attempts']}/{j['max_attempts']}",
                show_ms(j["last_event_at_ms"]), j["last_error"]] for j in doc],
              ["id", "state", "handler", "attempts", "last event at", "last error"], out)
    return doc


def _show_wait(wait) -> str:
    if wait is None:
        return "-"
    if wait["kind"] == "signal":
        until = f" until {show_ms(wait['timeout_at_ms'])}" if "timeout_at_ms" in wait else ""
        return "signal " + show_bytes(wait["name"]) + until
    return "until " + show_ms(wait["resume_at_ms"])


def cmd_workflows(args, out):
    with open_read_only(args.path) as store:
        doc = []
        while True:  # pages of the workflow index, in id order
            page = store.list_workflows(status=args.status, after_id=doc[-1]["id"] if doc else None, limit=1000)
            doc += page
            if len(page) < 1000:
                break
    if not args.json:
        table([[w["id"].hex(), w["workflow_type"], w["status"], w["current_step"], _show_wait(w["wait"]),
                w["parent_id"].hex() if w["parent_id"] else None, show_ms(w["updated_at_ms"])] for w in doc],
              ["id", "type", "status", "step", "waiting for", "parent", "updated at"], out)
    return doc


def _maintenance(method: str):
    def run(args, out):
        with open_for_maintenance(args.path) as store:
            result = with_progress(lambda: getattr(store, method)(args.destination))
        return _report(args, out, {"bytes": result} if isinstance(result, int) else result)
    return run


def cmd_restore(args, out):
    return _report(args, out, with_progress(lambda: _native.Store.restore_copy(args.source, args.destination)))


def _report(args, out, doc):
    if not args.json:
        fields([(k.replace("_", " "), v.hex() if isinstance(v, bytes) else v) for k, v in doc.items()], out)
    return doc


# ---- the parser ---------------------------------------------------------------------------

JOB_STATES = ("ready", "leased", "completed", "dead", "cancelled")
WORKFLOW_STATUSES = ("running", "waiting", "completed", "failed", "cancelled")


def _non_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return value


def build_parser() -> argparse.ArgumentParser:
    doc_head, _, doc_rest = __doc__.partition("\n\n")
    parser = argparse.ArgumentParser(prog=PROG, description=doc_head, epilog=doc_rest,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true",
                        help='print one JSON document (bytes as text when printable UTF-8, else {"hex": ...})')
    keyed = argparse.ArgumentParser(add_help=False)
    keyed.add_argument("--hex", action="store_true", help="read KEY or PREFIX as hex digits")

    def command(name: str, fn, help_text: str, *parents, path: bool = True) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=help_text, parents=[common, *parents])
        if path:
            sub.add_argument("path", metavar="PATH", help="the store file")
        sub.set_defaults(run=fn)
        return sub

    command("info", cmd_info, "identity, format, size, live keys and bytes, keys per area")
    command("verify", cmd_verify, "replay the whole file read-only; status 1 on damage or a torn tail")
    command("stats", cmd_stats, "storage statistics: file against live keys and values")
    command("health", cmd_health, "health report (needs the file to itself); status 1 when over its limit")
    sub = command("get", cmd_get, "print the value of KEY; status 1 when there is none", keyed)
    sub.add_argument("key", metavar="KEY")
    for name, fn, text in (("scan", cmd_scan, "keys and values under PREFIX, as a table"),
                           ("dump", cmd_dump, "keys and values, one tab-separated pair a line")):
        sub = command(name, fn, text, keyed)
        if name == "scan":
            sub.add_argument("prefix", metavar="PREFIX", nargs="?", default="")
        sub.add_argument("--limit", type=_non_negative, metavar="N")
        sub.add_argument("--internal", action="store_true", help="include the store's internal keys")
    sub = command("changes", cmd_changes, "the change feed: committed writes after transaction TX")
    sub.add_argument("--after", type=_non_negative, metavar="TX")
    sub.add_argument("--limit", type=_non_negative, metavar="N", default=100, help="(default 100)")
    command("queues", cmd_queues, "message counts per queue")
    sub = command("jobs", cmd_jobs, "durable jobs, with the last error of failed ones")
    sub.add_argument("--state", choices=JOB_STATES)
    sub.add_argument("--limit", type=_non_negative, metavar="N")
    sub = command("workflows", cmd_workflows, "workflow instances")
    sub.add_argument("--status", choices=WORKFLOW_STATUSES)
    for name, method, text in (
            ("backup", "backup_to", "copy the file byte for byte over DEST (synced, not verified)"),
            ("checkpoint", "checkpoint_to", "copy the file to the new path DEST and verify the copy"),
            ("compact", "compact_copy_to", "write the live keys to a new store at DEST (new identity)"),
            ("snapshot", "snapshot_to", "a verified compacted copy at DEST with a new identity"),
            ("generation", "compact_generation_to",
             "write the live keys to DEST as a new generation (same identity, numbering continues)")):
        sub = command(name, _maintenance(method), text)
        sub.add_argument("destination", metavar="DEST")
    sub = command("restore", cmd_restore, "copy the closed store SOURCE to the new path DEST and prove the copy",
                  path=False)
    sub.add_argument("source", metavar="SOURCE")
    sub.add_argument("destination", metavar="DEST")

    from .postgres import migrate
    from . import server

    for name, module in (("serve", server), ("migrate-to-postgres", migrate)):
        sub = commands.add_parser(name, help=module.DESCRIPTION, description=module.DESCRIPTION)
        module.add_arguments(sub)
        sub.set_defaults(run=None, delegate=module.run)
    return parser


def _convert_byte_arguments(args) -> None:
    convert = byte_argument(getattr(args, "hex", False))
    for name in ("key", "prefix"):
        if isinstance(getattr(args, name, None), str):
            setattr(args, name, convert(getattr(args, name)))


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.run is None:
        return args.delegate(args)
    try:
        _convert_byte_arguments(args)
    except argparse.ArgumentTypeError as error:
        parser.error(str(error))
    out = sys.stdout
    try:
        return _run(args, out)
    except BrokenPipeError:
        # The reader went away (`... | head`): what it read was right, so no error; stdout is
        # pointed at /dev/null so that the interpreter's own flush at exit stays quiet.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0


def _run(args, out) -> int:
    try:
        result = args.run(args, out)
        doc, status = result if isinstance(result, tuple) else (result, 0)
    except BrokenPipeError:
        raise
    except Problem as problem:
        print(f"{PROG}: {problem}", file=sys.stderr)
        if args.json:
            print(json.dumps({"error": str(problem)}), file=out)
        return FOUND_A_PROBLEM
    except (_native.OmbrelStoreError, OSError) as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return STORE_ERROR
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    if args.json:
        print(json.dumps(json_value(doc), indent=2), file=out)
    return status
