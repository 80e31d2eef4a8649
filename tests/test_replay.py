"""Opening replays a crafted log: torn tails, corruption, commit order, counter limits."""

import random
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
P, D, C = sf.PUT, sf.DELETE, sf.COMMIT
TORN_WRITE = "I/O error: store has a torn tail; reopen with repair_torn_tail=True to write"
BASE = sf.LogBuilder().store_write(1, b"a", b"1").store_write(2, b"b", b"2").file_bytes()  # tx 1-2, seq 1-6
C3 = sf.encode_record(P, 3, 7, sf.key_payload(b"c", b"3"))
AFTER_BASE = sf.store_write_bytes(3, 7, b"c", b"3")
TORN_TAILS = [b"\x01" * 24, bytes(24), C3[:-1], sf.encode_record(P, 3, 7, sf.key_payload(b"c", b"3"), length=1000),
              sf.encode_record(P, 3, 7, b"x" * 40, length=0xFFFFFFFF), sf.encode_record(C, 3, 7)[:28]]


def verify(path, *fields):
    report = Store.verify(str(path))
    return tuple(getattr(report, f) for f in fields)


@pytest.mark.parametrize("repair", [True, False])
@pytest.mark.parametrize("tail", TORN_TAILS)
def test_torn_tail_is_cut_at_open_or_else_every_write_is_refused(store_path, tail, repair):
    store_path.write_bytes(BASE + tail)
    assert verify(store_path, "valid_bytes", "file_bytes", "has_torn_tail") == (len(BASE), len(BASE + tail), True)
    before = snapshot(store_path)
    with Store.open(str(store_path), repair_torn_tail=repair) as s:
        if repair:
            assert store_path.read_bytes() == BASE  # cut at open, not at the first write
        else:
            for write in (lambda: s.put(b"c", b"3"), lambda: s.delete(b"a"), lambda: s.delete(b"absent")):
                with raises_exactly(_native.IoError, TORN_WRITE):
                    write()
            with raises_exactly(_native.OmbrelStoreError, "store error: " + TORN_WRITE):
                s.prune_changes_through(100)
        assert sf.user_items(s) == [(b"a", b"1"), (b"b", b"2")] and [c["key"] for c in s.changes_after()] == [b"a", b"b"]
    assert repair or snapshot(store_path) == before
    with Store.open(str(store_path)) as s:
        s.put(b"c", b"3")
    assert store_path.read_bytes() == BASE + AFTER_BASE


def test_new_records_continue_after_the_last_sequence_and_highest_id_even_uncommitted(store_path):
    # Sparse sequences, ids out of order, a commit without records, and tx 7 torn inside its commit record.
    valid = sf.LogBuilder().put(4, b"k", b"v", sequence=5).commit(4, sequence=9).commit(2).put(7, b"c", b"lost")
    valid = valid.file_bytes()
    store_path.write_bytes(valid + sf.encode_record(C, 7, 12)[:-3])
    assert verify(store_path, "valid_bytes", "records", "pending_transactions") == (len(valid), 4, 1)
    with Store.open(str(store_path)) as s:
        assert s.get(b"c") is None
        s.put(b"d", b"4")
    # Reusing id 7 would have committed the dropped put.
    assert store_path.read_bytes() == valid + sf.store_write_bytes(8, 12, b"d", b"4")
    with Store.open(str(store_path)) as s:
        assert s.get(b"c") is None and s.get(b"d") == b"4" and s.get(b"k") == b"v"


def _log(*records):
    return sf.encode_header() + b"".join(records)


def _seq(first, second):
    return _log(sf.encode_record(P, 1, first, sf.key_payload(b"k", b"v")), sf.encode_record(C, 1, second))


def _checksum(record):
    return f"log error: record checksum mismatch: expected {sf.hex32(struct.unpack('<I', record[-4:])[0])}, " \
           f"got {sf.hex32(sf.crc32(record[:-4]))}"


MAGIC, INVALID = "log error: record has invalid magic bytes", "invalid operation payload"
FLIPPED = C3[:30] + bytes([C3[30] ^ 0x10]) + C3[31:]
STORED_12 = sf.encode_record(C, 3, 7, checksum=0x12)
PUT_K = sf.encode_record(P, 9, 1, sf.key_payload(b"k", b"v"))
ORDER_9 = "log contains a record after transaction 9 was committed"
CORRUPT_LOGS = [
    (BASE + bytes(25), MAGIC), (BASE + bytes(30), MAGIC),
    (BASE + FLIPPED, _checksum(FLIPPED)),
    (BASE + STORED_12, "log error: record checksum mismatch: expected 0x00000012, got "
     + sf.hex32(sf.crc32(STORED_12[:-4]))),
    (BASE + sf.encode_record(0, 3, 7), "log error: unknown record kind 0"),
    (BASE + sf.encode_record(4, 3, 7, checksum=0), "log error: unknown record kind 4"),
    (_seq(5, 5), "non-monotonic log sequence: previous 5, current 5"),
    (_seq(7, 7), "non-monotonic log sequence: previous 7, current 7"),
    (_seq(5, 3), "non-monotonic log sequence: previous 5, current 3"),
    (_log(PUT_K, sf.encode_record(C, 9, 2), sf.encode_record(P, 9, 3, sf.key_payload(b"k", b"w"))), ORDER_9),
    (_log(PUT_K, sf.encode_record(C, 9, 2), sf.encode_record(C, 9, 3)), ORDER_9),
    # Malformed payloads fail even in a transaction that never commits.
    (BASE + sf.encode_record(P, 3, 7, b"\x01\x00\x00"), INVALID),
    (BASE + sf.encode_record(P, 3, 7, struct.pack("<I", 5) + b"abc"), INVALID),
    (BASE + sf.encode_record(P, 3, 7, struct.pack("<I", 0xFFFFFFFF) + b"abc"), INVALID),
    (BASE + sf.encode_record(D, 3, 7, b"\x00\x00"), INVALID),
    (BASE + sf.encode_record(D, 3, 7, sf.key_payload(b"a", b"b")), INVALID),
]


@pytest.mark.parametrize("data, message", CORRUPT_LOGS)
@pytest.mark.parametrize("how", ["open", "verify"])
def test_corrupt_log_is_refused_and_left_alone(store_path, data, message, how):
    store_path.write_bytes(data)
    before = snapshot(store_path)
    with raises_exactly(_native.CorruptionError, message):
        getattr(Store, how)(str(store_path))
    assert snapshot(store_path) == before


def committed_history(n):
    """A store file of `n` Store.put commits, as the store writes them."""
    builder = sf.LogBuilder()
    for tx in range(1, n + 1):
        builder.store_write(tx, b"k%04d" % tx, b"v" * 20)
    return builder.file_bytes()


def damaged_at(data, offset, *, length):
    """`data` with the record at `offset` given another length field."""
    return data[:offset + 21] + struct.pack("<I", length) + data[offset + 25:]


def damaged_message(offset, valid_offset):
    return (f"log error: record at offset {offset} runs past the end of the log, but a valid record follows "
            f"at offset {valid_offset}: the log is damaged, not torn")


HISTORY = committed_history(200)
SECOND = 64 + len(sf.store_write_bytes(1, 1, b"k0001", b"v" * 20))  # offset of transaction 2's first record
PUT_SIZE = 29 + 4 + 5 + 20
# One flipped bit in a length field makes the frame reach past the end of the file.
DAMAGED = [
    (damaged_at(HISTORY, 64, length=PUT_SIZE - 29 | 1 << 31), 64, 64 + PUT_SIZE),
    (damaged_at(HISTORY, SECOND, length=PUT_SIZE - 29 | 1 << 20), SECOND, SECOND + PUT_SIZE),
]


@pytest.mark.parametrize("data, offset, valid_offset", DAMAGED, ids=["first", "second"])
@pytest.mark.parametrize("how", ["open", "open-no-repair", "verify"])
def test_a_damaged_length_is_refused_rather_than_cut_as_a_torn_tail(store_path, data, offset, valid_offset, how):
    store_path.write_bytes(data)
    before = snapshot(store_path)
    with raises_exactly(_native.CorruptionError, damaged_message(offset, valid_offset)):
        if how == "verify":
            Store.verify(str(store_path))
        else:
            Store.open(str(store_path), repair_torn_tail=how == "open")
    assert snapshot(store_path) == before


def test_salvage_cuts_at_the_damage_and_keeps_every_cut_byte(store_path):
    data, offset, valid_offset = DAMAGED[1]
    store_path.write_bytes(data)
    report = Store.salvage(store_path)
    side = store_path.parent / f"store.omb.salvage-{offset}"
    assert report == {"file_bytes": len(data), "valid_bytes": offset, "cut_bytes": len(data) - offset,
                      "side_file": str(side), "damage": damaged_message(offset, valid_offset)}
    assert store_path.read_bytes() + side.read_bytes() == data
    with Store.open(str(store_path)) as s:
        assert sf.user_items(s) == [(b"k0001", b"v" * 20)]
    # Salvaging again finds nothing to cut; a second damage gets a side file of its own name.
    assert Store.salvage(str(store_path))["side_file"] is None and store_path.read_bytes() == data[:offset]
    store_path.write_bytes(data)
    assert Store.salvage(str(store_path))["side_file"] == str(side) + "-2"


@pytest.mark.parametrize("data, valid_bytes, damage", [
    pytest.param(BASE, len(BASE), None, id="clean"),
    pytest.param(BASE + C3[:-1], len(BASE), None, id="torn"),
    pytest.param(BASE + sf.encode_record(0, 3, 7), len(BASE), "log error: unknown record kind 0", id="kind"),
    pytest.param(_seq(5, 5), 64 + len(PUT_K), "non-monotonic log sequence: previous 5, current 5", id="sequence"),
])
def test_salvage_keeps_the_prefix_that_replays(store_path, data, valid_bytes, damage):
    store_path.write_bytes(data)
    report = Store.salvage(str(store_path))
    assert (report["valid_bytes"], report["cut_bytes"], report["damage"]) == (valid_bytes, len(data) - valid_bytes,
                                                                             damage)
    assert store_path.read_bytes() == data[:valid_bytes]
    assert Store.verify(str(store_path)).has_torn_tail is False


@pytest.mark.parametrize("make, error", [
    (lambda p: p.write_bytes(sf.encode_header()[:40]), _native.CorruptionError),
    (lambda p: None, _native.IoError),
    (lambda p: p.write_bytes(sf.encode_header(magic=b"NOTASTOR")), _native.CorruptionError),
], ids=["short", "missing", "magic"])
def test_salvage_refuses_what_is_not_a_store_and_changes_nothing(store_path, make, error):
    make(store_path)
    before = store_path.exists() and snapshot(store_path)
    with pytest.raises(error):
        Store.salvage(str(store_path))
    assert (store_path.exists() and snapshot(store_path)) == before
    assert list(store_path.parent.iterdir()) == ([store_path] if before else [])


def test_salvage_refuses_an_open_store(store_path):
    with Store.open(str(store_path)) as s:
        with raises_exactly(_native.AlreadyOpenError, "store is already open by another writer"):
            Store.salvage(str(store_path))
        s.put(b"k", b"v")


# steps: (P, tx, key, value) / (D, tx, key) / (C, tx[, payload]); then live table and (records, committed, pending)
REPLAYS = [
    ([(P, 1, b"k", b"1"), (P, 1, b"k", b"2"), (C, 1)], {b"k": b"2"}, (3, 1, 0)),
    ([(P, 1, b"k", b"1"), (D, 1, b"k"), (C, 1)], {}, (3, 1, 0)),
    ([(D, 1, b"k"), (P, 1, b"k", b"1"), (C, 1)], {b"k": b"1"}, (3, 1, 0)),
    ([(P, 1, b"k", b"1"), (C, 1), (D, 2, b"k"), (C, 2)], {}, (4, 2, 0)),
    ([(P, 1, b"k", b"1"), (C, 1), (D, 2, b"k")], {b"k": b"1"}, (3, 1, 1)),
    ([(P, 1, b"k", b"v")], {}, (1, 0, 1)),
    ([(C, 1), (C, 2)], {}, (2, 2, 0)),
    ([(P, 1, b"k", b"v"), (C, 1, b"ignored")], {b"k": b"v"}, (2, 1, 0)),
    ([(P, 1, b"", b"empty key"), (P, 1, b"k", b""), (C, 1)], {b"": b"empty key", b"k": b""}, (3, 1, 0)),
    ([(P, 2, b"k", b"from 2"), (P, 3, b"k", b"from 3"), (C, 3), (C, 2)], {b"k": b"from 2"}, (4, 2, 0)),
    ([(P, 2, b"x", b"2"), (P, 3, b"k", b"3"), (D, 2, b"k"), (C, 3), (C, 2)], {b"x": b"2"}, (5, 2, 0)),
]


@pytest.mark.parametrize("steps, expected, counts", REPLAYS)
def test_replay_applies_committed_transactions_in_commit_order(store_path, steps, expected, counts):
    log = sf.LogBuilder()
    for kind, tx, *rest in steps:
        {P: log.put, D: log.delete, C: log.commit}[kind](tx, *rest)
    log.write(store_path)
    assert verify(store_path, "records", "committed_transactions", "pending_transactions", "keys") == (
        *counts, len(expected))
    with Store.open(str(store_path)) as s:
        assert s.scan_prefix(b"") == sorted(expected.items())


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_many_interleaved_transactions_on_few_keys_match_an_independent_replay(store_path, seed):
    rng, log, open_txs, next_tx = random.Random(seed), sf.LogBuilder(), [], 1
    for _ in range(600):
        if open_txs and rng.random() < 0.3:
            log.commit(open_txs.pop(rng.randrange(len(open_txs))))
            continue
        if not open_txs or rng.random() < 0.2:
            open_txs.append(next_tx)
            next_tx += 1
        tx, key = rng.choice(open_txs), rng.choice([b"a", b"b", b"c", b"d"])
        log.delete(tx, key) if rng.random() < 0.2 else log.put(tx, key, b"%d:%d" % (tx, rng.randrange(1000)))
    data = log.write(store_path)
    with Store.open(str(store_path)) as s:
        assert s.scan_prefix(b"") == sorted(sf.replay(data).items())


KEYS = st.sampled_from([b"", b"a", b"ab", b"b", b"\x00", b"\xff", b"\xffomb", b"\x80\x01"])
OPS = st.lists(st.one_of(st.tuples(st.just("put"), KEYS, st.binary(max_size=24)),
                         st.tuples(st.just("delete"), KEYS), st.tuples(st.just("reopen"))), max_size=25)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(ops=OPS)
def test_store_agrees_with_a_model_and_with_an_independent_replay(ops):
    with tempfile.TemporaryDirectory() as tmp:
        path, model = str(Path(tmp) / "model.omb"), {}
        s = Store.open(path, durability="relaxed")
        try:
            for op, *args in ops:
                if op == "reopen":
                    s.close()
                    s = Store.open(path, durability="relaxed")
                elif op == "put":
                    s.put(*args)
                    model[args[0]] = args[1]
                else:
                    s.delete(*args)
                    model.pop(args[0], None)
                assert sf.user_items(s) == sorted(model.items())
        finally:
            s.close()
        with Store.open(path) as s:
            assert s.scan_prefix(b"") == sorted(sf.replay(Path(path).read_bytes()).items())
        writes = sum(op[0] != "reopen" for op in ops)
        assert verify(path, "records", "committed_transactions", "keys") == (3 * writes, writes, len(model) + writes)


TOP, EXHAUSTED = 2**64 - 1, "transaction or sequence counter exhausted"


@pytest.mark.parametrize("tx_id, sequence, opens", [(TOP, 2, False), (1, TOP, False), (TOP - 1, 2, True),
                                                    (1, TOP - 1, True)])
def test_exhausted_counters_refuse_instead_of_wrapping(store_path, tx_id, sequence, opens):
    data = sf.LogBuilder().put(tx_id, b"k", b"v", sequence=sequence - 1).commit(tx_id).write(store_path)
    assert verify(store_path, "keys") == (1,)
    if not opens:
        with raises_exactly(_native.OmbrelStoreError, EXHAUSTED):
            Store.open(str(store_path))
    else:
        with Store.open(str(store_path)) as s:
            for write in (lambda: s.put(b"j", b"w"), lambda: s.delete(b"k")):
                with raises_exactly(_native.OmbrelStoreError, EXHAUSTED):
                    write()
            assert s.get(b"k") == b"v" and s.get(b"j") is None
    assert store_path.read_bytes() == data
