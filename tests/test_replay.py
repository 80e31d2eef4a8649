"""Opening replays the log: torn tails, corruption, sequence and commit rules, and the
order in which transactions take effect. Files are crafted byte by byte."""

from __future__ import annotations

import struct
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store

TORN_WRITE_MESSAGE = "I/O error: store has a torn tail; reopen with repair_torn_tail=True to write"


def user_items(store):
    return [(k, v) for k, v in store.scan_prefix(b"") if not k.startswith(sf.INTERNAL_PREFIX)]


def base_log() -> sf.LogBuilder:
    """Two committed one-key puts as the store itself writes them: tx 1 and 2, sequences 1 to 6."""
    log = sf.LogBuilder()
    log.store_put(1, b"a", b"1")
    log.store_put(2, b"b", b"2")
    return log


# --------------------------------------------------------------------------- torn tails

TORN_TAILS = [
    pytest.param(b"\x01" * 24, id="24-stray-bytes"),
    pytest.param(bytes(24), id="24-zero-bytes"),
    pytest.param(b"OMB1", id="magic-only"),
    pytest.param(sf.encode_record(sf.PUT, 3, 7, sf.put_payload(b"c", b"3"))[:20], id="cut-in-fixed-part"),
    pytest.param(sf.encode_record(sf.PUT, 3, 7, sf.put_payload(b"c", b"3"))[:-1], id="cut-before-checksum"),
    pytest.param(sf.encode_record(sf.PUT, 3, 7, sf.put_payload(b"c", b"3"), length=1000), id="length-promises-more"),
    pytest.param(sf.encode_record(sf.PUT, 3, 7, b"x" * 40, length=0xFFFFFFFF), id="length-max"),
    pytest.param(sf.encode_record(sf.COMMIT, 3, 7)[:28], id="commit-missing-one-byte"),
]


@pytest.mark.parametrize("tail", TORN_TAILS)
def test_torn_tail_is_cut_at_open_and_new_records_follow_the_valid_log(store_path, tail):
    log = base_log()
    valid = log.file_bytes()
    store_path.write_bytes(valid + tail)

    report = Store.verify(str(store_path))
    assert (report.valid_bytes, report.file_bytes, report.has_torn_tail) == (len(valid), len(valid) + len(tail), True)

    with Store.open(str(store_path)) as s:
        # Cut at open, before anything new is written.
        assert store_path.read_bytes() == valid
        assert user_items(s) == [(b"a", b"1"), (b"b", b"2")]
        s.put(b"c", b"3")

    assert store_path.read_bytes() == valid + sf.store_put_bytes(3, 7, b"c", b"3")
    report = Store.verify(str(store_path))
    assert not report.has_torn_tail and report.committed_transactions == 3
    with Store.open(str(store_path)) as s:
        assert user_items(s) == [(b"a", b"1"), (b"b", b"2"), (b"c", b"3")]


@pytest.mark.parametrize("tail", TORN_TAILS)
@pytest.mark.parametrize(
    "write",
    [
        pytest.param(lambda s: s.put(b"c", b"3"), id="put"),
        pytest.param(lambda s: s.put(b"a", b"replaced"), id="put-existing"),
        pytest.param(lambda s: s.delete(b"a"), id="delete"),
        pytest.param(lambda s: s.delete(b"absent"), id="delete-absent"),
    ],
)
def test_unrepaired_torn_tail_opens_for_reading_and_refuses_writes(store_path, tail, write):
    store_path.write_bytes(base_log().file_bytes() + tail)
    before = snapshot(store_path)
    with Store.open(str(store_path), repair_torn_tail=False) as s:
        assert snapshot(store_path) == before
        assert s.get(b"a") == b"1" and s.contains(b"b")
        assert [c["key"] for c in s.changes_after()] == [b"a", b"b"]

        with raises_exactly(_native.IoError, TORN_WRITE_MESSAGE):
            write(s)
        # Refused again, not only once; reads still work.
        with raises_exactly(_native.IoError, TORN_WRITE_MESSAGE):
            write(s)
        assert user_items(s) == [(b"a", b"1"), (b"b", b"2")]
        assert len(s.changes_after()) == 2
    assert snapshot(store_path) == before

    # Reopened with repair, the same store takes writes again.
    with Store.open(str(store_path)) as s:
        s.put(b"c", b"3")
    assert store_path.read_bytes() == base_log().file_bytes() + sf.store_put_bytes(3, 7, b"c", b"3")


def test_unrepaired_torn_tail_refuses_prune(store_path):
    # Pruning writes too, so it is refused; like every change-feed error the
    # engine error arrives wrapped as "store error: ...".
    store_path.write_bytes(base_log().file_bytes() + b"\x01" * 24)
    before = snapshot(store_path)
    with Store.open(str(store_path), repair_torn_tail=False) as s:
        with raises_exactly(_native.OmbrelStoreError, "store error: " + TORN_WRITE_MESSAGE):
            s.prune_changes_through(100)
        assert len(s.changes_after()) == 2
        # Nothing to prune writes nothing, so there is nothing to refuse.
        assert s.prune_changes_through(0) == 0
    assert snapshot(store_path) == before


def test_commit_torn_off_drops_its_transaction_for_good(store_path):
    # A crash in the middle of a commit record: the put before it is a complete record
    # of a transaction that never committed.
    log = base_log()
    log.put(3, b"c", b"lost")
    valid = log.file_bytes()
    store_path.write_bytes(valid + sf.encode_record(sf.COMMIT, 3, 8)[:-3])

    report = Store.verify(str(store_path))
    assert (report.valid_bytes, report.records, report.pending_transactions) == (len(valid), 7, 1)

    with Store.open(str(store_path)) as s:
        assert s.get(b"c") is None
        s.put(b"d", b"4")
    # Transaction 3 is never reused: reusing it would commit the dropped put.
    assert store_path.read_bytes() == valid + sf.store_put_bytes(4, 8, b"d", b"4")
    with Store.open(str(store_path)) as s:
        assert s.get(b"c") is None and s.get(b"d") == b"4"


# --------------------------------------------------------------------------- corruption


def _flip(record: bytes, offset: int) -> tuple[bytes, str]:
    bad = bytearray(record)
    bad[offset] ^= 0x10
    bad = bytes(bad)
    (stored,) = struct.unpack("<I", bad[-4:])
    got = sf.crc32(bad[:-4])
    return bad, f"log error: record checksum mismatch: expected {sf.hex32(stored)}, got {sf.hex32(got)}"


def _case_flip(offset_from_start: int, last: bool):
    rec = sf.encode_record(sf.PUT, 3, 7, sf.put_payload(b"key", b"value"))
    bad, message = _flip(rec, offset_from_start if offset_from_start >= 0 else len(rec) + offset_from_start)
    tail = bad if last else bad + sf.encode_record(sf.COMMIT, 3, 8)
    return tail, message


def _case_wrong_stored_checksum():
    rec = sf.encode_record(sf.COMMIT, 3, 7, checksum=0x12)
    return rec, f"log error: record checksum mismatch: expected 0x00000012, got {sf.hex32(sf.crc32(rec[:-4]))}"


def _case_kind(kind: int, good_checksum: bool):
    rec = sf.encode_record(kind, 3, 7, checksum=None if good_checksum else 0)
    return rec, f"log error: unknown record kind {kind}"


def _case_sequences(first: int, second: int):
    # Log of its own, replacing the base log's records.
    return [
        sf.encode_record(sf.PUT, 1, first, sf.put_payload(b"k", b"v")),
        sf.encode_record(sf.COMMIT, 1, second),
    ], f"non-monotonic log sequence: previous {first}, current {second}"


def _case_after_commit(kind: int):
    payload = {sf.PUT: sf.put_payload(b"k", b"v"), sf.DELETE: sf.delete_payload(b"k"), sf.COMMIT: b""}[kind]
    return [
        sf.encode_record(sf.PUT, 9, 1, sf.put_payload(b"k", b"v")),
        sf.encode_record(sf.COMMIT, 9, 2),
        sf.encode_record(kind, 9, 3, payload),
    ], "log contains a record after transaction 9 was committed"


MAGIC = "log error: record has invalid magic bytes"

CORRUPT_TAILS = [
    pytest.param(bytes(25), MAGIC, id="25-zero-bytes"),
    pytest.param(bytes(30), MAGIC, id="30-zero-bytes"),
    pytest.param(bytes(4096), MAGIC, id="4k-zero-bytes"),
    pytest.param(b"garbage!" * 5, MAGIC, id="text-garbage"),
    pytest.param(bytes(30) + sf.encode_record(sf.COMMIT, 3, 7), MAGIC, id="zeros-between-records"),
    pytest.param(
        sf.encode_record(sf.COMMIT, 3, 7, magic=b"OMB2"), MAGIC, id="record-with-other-magic"
    ),
    pytest.param(*_case_flip(25 + 4 + 3 + 2, last=True), id="flipped-value-bit-last-record"),
    pytest.param(*_case_flip(25 + 4 + 3 + 2, last=False), id="flipped-value-bit-mid-log"),
    pytest.param(*_case_flip(5, last=True), id="flipped-tx-id-bit"),
    pytest.param(*_case_flip(-2, last=True), id="flipped-checksum-bit"),
    pytest.param(*_case_wrong_stored_checksum(), id="stored-checksum-0x12"),
    pytest.param(*_case_kind(0, True), id="kind-0"),
    pytest.param(*_case_kind(4, True), id="kind-4"),
    pytest.param(*_case_kind(255, True), id="kind-255"),
    pytest.param(*_case_kind(0, False), id="kind-0-bad-checksum"),
    pytest.param(*_case_kind(4, False), id="kind-4-bad-checksum"),
]


@pytest.mark.parametrize("tail, message", CORRUPT_TAILS)
@pytest.mark.parametrize("how", ["open", "open-no-repair", "verify"])
def test_corrupt_log_is_refused_and_left_alone(store_path, tail, message, how):
    store_path.write_bytes(base_log().file_bytes() + tail)
    before = snapshot(store_path)
    with raises_exactly(_native.CorruptionError, message):
        if how == "verify":
            Store.verify(str(store_path))
        else:
            Store.open(str(store_path), repair_torn_tail=(how == "open"))
    assert snapshot(store_path) == before


ORDER_VIOLATIONS = [
    pytest.param(*_case_sequences(5, 5), id="sequence-5-5"),
    pytest.param(*_case_sequences(7, 7), id="sequence-7-7"),
    pytest.param(*_case_sequences(5, 3), id="sequence-goes-back"),
    pytest.param(*_case_after_commit(sf.PUT), id="put-after-commit"),
    pytest.param(*_case_after_commit(sf.DELETE), id="delete-after-commit"),
    pytest.param(*_case_after_commit(sf.COMMIT), id="second-commit"),
]


@pytest.mark.parametrize("records, message", ORDER_VIOLATIONS)
@pytest.mark.parametrize("how", ["open", "verify"])
def test_log_order_violations(store_path, records, message, how):
    store_path.write_bytes(sf.encode_header() + b"".join(records))
    before = snapshot(store_path)
    with raises_exactly(_native.CorruptionError, message):
        getattr(Store, how)(str(store_path))
    assert snapshot(store_path) == before


INVALID_PAYLOADS = [
    pytest.param(sf.PUT, b"", id="put-empty"),
    pytest.param(sf.PUT, b"\x01\x00\x00", id="put-3-bytes"),
    pytest.param(sf.PUT, struct.pack("<I", 5) + b"abc", id="put-key-past-end"),
    pytest.param(sf.PUT, struct.pack("<I", 0xFFFFFFFF) + b"abc", id="put-key-length-max"),
    pytest.param(sf.DELETE, b"", id="delete-empty"),
    pytest.param(sf.DELETE, b"\x00\x00", id="delete-2-bytes"),
    pytest.param(sf.DELETE, struct.pack("<I", 3) + b"a", id="delete-key-past-end"),
    pytest.param(sf.DELETE, struct.pack("<I", 1) + b"ab", id="delete-trailing-bytes"),
]


@pytest.mark.parametrize("kind, payload", INVALID_PAYLOADS)
@pytest.mark.parametrize("committed", [True, False], ids=["committed", "uncommitted"])
@pytest.mark.parametrize("how", ["open", "verify"])
def test_invalid_operation_payload(store_path, kind, payload, committed, how):
    log = base_log()
    log.record(kind, 3, payload)
    if committed:
        log.commit(3)
    log.write(store_path)
    before = snapshot(store_path)
    with raises_exactly(_native.CorruptionError, "invalid operation payload"):
        getattr(Store, how)(str(store_path))
    assert snapshot(store_path) == before


# --------------------------------------------------------------------------- replay semantics


def _log(*steps):
    """Build a log from (kind, tx, key[, value]) steps; 'commit' steps are (COMMIT, tx)."""
    log = sf.LogBuilder()
    for step in steps:
        kind, tx = step[0], step[1]
        if kind == sf.PUT:
            log.put(tx, step[2], step[3])
        elif kind == sf.DELETE:
            log.delete(tx, step[2])
        else:
            log.commit(tx, *step[2:])
    return log


P, D, C = sf.PUT, sf.DELETE, sf.COMMIT

REPLAYS = [
    pytest.param([], {}, (0, 0, 0), id="empty-log"),
    pytest.param([(P, 1, b"k", b"1"), (P, 1, b"k", b"2"), (C, 1)], {b"k": b"2"}, (3, 1, 0), id="last-put-wins"),
    pytest.param([(P, 1, b"k", b"1"), (D, 1, b"k"), (C, 1)], {}, (3, 1, 0), id="put-then-delete"),
    pytest.param([(D, 1, b"k"), (P, 1, b"k", b"1"), (C, 1)], {b"k": b"1"}, (3, 1, 0), id="delete-then-put"),
    pytest.param([(P, 1, b"k", b"1"), (C, 1), (D, 2, b"k"), (C, 2)], {}, (4, 2, 0), id="later-delete"),
    pytest.param([(P, 1, b"k", b"1"), (C, 1), (D, 2, b"k")], {b"k": b"1"}, (3, 1, 1), id="uncommitted-delete"),
    pytest.param([(P, 1, b"k", b"1")], {}, (1, 0, 1), id="uncommitted-put"),
    pytest.param([(C, 1), (C, 2)], {}, (2, 2, 0), id="commits-without-records"),
    pytest.param([(P, 1, b"k", b"v"), (C, 1, b"ignored payload")], {b"k": b"v"}, (2, 1, 0), id="commit-payload-ignored"),
    pytest.param([(P, 1, b"k", b""), (P, 1, b"", b"empty key"), (C, 1)], {b"k": b"", b"": b"empty key"}, (3, 1, 0), id="empty-value-and-key"),
    pytest.param([(D, 1, b"never"), (C, 1)], {}, (2, 1, 0), id="delete-absent"),
    pytest.param(
        [(P, 2, b"k", b"from 2"), (P, 3, b"k", b"from 3"), (C, 3), (C, 2)], {b"k": b"from 2"}, (4, 2, 0),
        id="interleaved-3-commits-first",
    ),
    pytest.param(
        [(P, 2, b"k", b"from 2"), (P, 3, b"k", b"from 3"), (C, 2), (C, 3)], {b"k": b"from 3"}, (4, 2, 0),
        id="interleaved-2-commits-first",
    ),
    pytest.param(
        [(P, 2, b"x", b"2"), (P, 3, b"k", b"3"), (D, 2, b"k"), (C, 3), (C, 2)], {b"x": b"2"}, (5, 2, 0),
        id="interleaved-delete-applied-at-its-commit",
    ),
    pytest.param([(P, 5, b"k", b"v"), (C, 5), (P, 3, b"j", b"w"), (C, 3)], {b"k": b"v", b"j": b"w"}, (4, 2, 0), id="tx-ids-out-of-order"),
]


@pytest.mark.parametrize("steps, expected, counts", REPLAYS)
def test_replay_applies_committed_transactions_in_commit_order(store_path, steps, expected, counts):
    _log(*steps).write(store_path)
    report = Store.verify(str(store_path))
    assert (report.records, report.committed_transactions, report.pending_transactions) == counts
    assert report.keys == len(expected)
    with Store.open(str(store_path)) as s:
        assert s.scan_prefix(b"") == sorted(expected.items())
        for key, value in expected.items():
            assert s.get(key) == value


def test_uncommitted_transaction_still_raises_the_next_transaction_id(store_path):
    log = _log((P, 1, b"a", b"1"), (C, 1), (P, 7, b"b", b"dropped"))
    log.write(store_path)
    assert Store.verify(str(store_path)).pending_transactions == 1
    with Store.open(str(store_path)) as s:
        assert s.get(b"b") is None
        s.put(b"c", b"3")
        assert [c["tx_id"] for c in s.changes_after()] == [8]
        for i in range(8):  # well past 7: none of these may commit the dropped put
            s.put(b"n%d" % i, b"")
    with Store.open(str(store_path)) as s:
        assert s.get(b"b") is None


def test_new_records_continue_after_the_last_sequence(store_path):
    # Sequences need not start at 1 nor be dense; they must only increase.
    log = sf.LogBuilder()
    log.put(4, b"k", b"v", sequence=5)
    log.commit(4, sequence=9)
    log.commit(2, sequence=10)
    valid = log.write(store_path)
    with Store.open(str(store_path)) as s:
        s.put(b"x", b"y")
    assert store_path.read_bytes() == valid + sf.store_put_bytes(5, 11, b"x", b"y")


def test_first_store_write_is_transaction_1_sequence_1(fresh_file):
    with Store.open(str(fresh_file)) as s:
        s.put(b"k", b"v")
    assert fresh_file.read_bytes()[64:] == sf.store_put_bytes(1, 1, b"k", b"v")


# --------------------------------------------------------------------------- model check

KEYS = st.sampled_from([b"", b"a", b"ab", b"b", b"\x00", b"\xff", b"\xffomb", b"\x80\x01"])
OPS = st.lists(
    st.one_of(
        st.tuples(st.just("put"), KEYS, st.binary(max_size=24)),
        st.tuples(st.just("delete"), KEYS),
        st.tuples(st.just("reopen")),
    ),
    max_size=25,
)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(ops=OPS)
def test_store_agrees_with_a_model_and_with_an_independent_replay(ops):
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "model.omb"
        model: dict[bytes, bytes] = {}
        s = Store.open(str(path), durability="relaxed")
        try:
            for op in ops:
                if op[0] == "put":
                    s.put(op[1], op[2])
                    model[op[1]] = op[2]
                elif op[0] == "delete":
                    s.delete(op[1])
                    model.pop(op[1], None)
                else:
                    s.close()
                    s = Store.open(str(path), durability="relaxed")
                assert user_items(s) == sorted(model.items())
        finally:
            s.close()
        data = path.read_bytes()
        oracle = sf.replay(data)
        with Store.open(str(path)) as s:
            assert s.scan_prefix(b"") == sorted(oracle.items())
        writes = sum(op[0] != "reopen" for op in ops)
        report = Store.verify(str(path))
        assert (report.records, report.committed_transactions) == (3 * writes, writes)
        assert report.keys == len(model) + writes


# --------------------------------------------------------------------------- counter limits

EXHAUSTED = "transaction or sequence counter exhausted"
TOP = 2**64 - 1


@pytest.mark.parametrize(
    "tx_id, sequence",
    [pytest.param(TOP, 2, id="tx-id-at-top"), pytest.param(1, TOP, id="sequence-at-top")],
)
def test_counters_that_cannot_advance_refuse_the_open(store_path, tx_id, sequence):
    log = sf.LogBuilder()
    log.put(tx_id, b"k", b"v", sequence=sequence - 1)
    log.commit(tx_id, sequence=sequence)
    log.write(store_path)
    before = snapshot(store_path)
    # The log itself is sound: verification reads it.
    assert Store.verify(str(store_path)).keys == 1
    with raises_exactly(_native.OmbrelStoreError, EXHAUSTED):
        Store.open(str(store_path))
    assert snapshot(store_path) == before


@pytest.mark.parametrize(
    "tx_id, sequence",
    [pytest.param(TOP - 1, 2, id="last-tx-id-left"), pytest.param(1, TOP - 1, id="last-sequence-left")],
)
def test_counters_at_their_last_value_refuse_writes_without_wrapping(store_path, tx_id, sequence):
    # The next transaction id / sequence number would be 2**64 - 1, which is never
    # handed out: the counter would have nowhere to go after it.
    log = sf.LogBuilder()
    log.put(tx_id, b"k", b"v", sequence=sequence - 1)
    log.commit(tx_id, sequence=sequence)
    log.write(store_path)
    before = snapshot(store_path)
    with Store.open(str(store_path)) as s:
        assert s.get(b"k") == b"v"
        for write in (lambda: s.put(b"j", b"w"), lambda: s.delete(b"k")):
            with raises_exactly(_native.OmbrelStoreError, EXHAUSTED):
                write()
        assert s.get(b"k") == b"v" and s.get(b"j") is None
    assert snapshot(store_path) == before
