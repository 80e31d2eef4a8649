"""Rewriting copies: compact_copy_to, snapshot_to and compact_generation_to."""

import os
import struct
from pathlib import Path

import pytest

import storefile as sf
from expect import leftovers
from ombrel_store import _native

Store = _native.Store
COMPACTION_KEYS = ["source_bytes", "compacted_bytes", "bytes_reclaimed", "keys"]
SNAPSHOT_KEYS = ["destination", "source_store_id", "snapshot_store_id", "keys", "source_bytes", "snapshot_bytes"]
GENERATION_KEYS = ["store_id", "source_bytes", "generation_bytes", "bytes_reclaimed", "keys", "high_water_tx_id",
                   "high_water_sequence"]
OPERATIONS = ["compact_copy_to", "snapshot_to", "compact_generation_to"]


def live_of(path):
    with Store.open(str(path)) as s:
        return s.scan_prefix(b"")


SIZE_KEY = {"compact_copy_to": "compacted_bytes", "snapshot_to": "snapshot_bytes",
            "compact_generation_to": "generation_bytes"}


@pytest.mark.parametrize("operation", OPERATIONS)
def test_the_copy_has_one_put_per_live_key_and_leaves_the_source_alone(open_store, store_path, tmp_path, operation):
    store = open_store(durability="relaxed")
    for i in range(1000):
        store.put(b"k", b"%d" % i)
    for i in range(20):
        store.put(b"k%02d" % i, b"v" * i)
    for i in range(0, 20, 3):
        store.delete(b"k%02d" % i)
    expected, before = store.scan_prefix(b""), store_path.read_bytes()  # change records included
    destination = tmp_path / "copy.omb"
    report = getattr(store, operation)(str(destination))
    source_bytes, size = store_path.stat().st_size, destination.stat().st_size
    assert report["keys"] == len(expected) == 1 + 13 + 1027
    assert (report["source_bytes"], report[SIZE_KEY[operation]]) == (source_bytes, size) and size < source_bytes
    if operation != "snapshot_to":
        assert report["bytes_reclaimed"] == source_bytes - size
    assert store_path.read_bytes() == before and store.scan_prefix(b"") == expected and leftovers(tmp_path) == []
    verified = Store.verify(destination)
    assert (verified.keys, verified.has_torn_tail, verified.pending_transactions) == (len(expected), False, 0)
    assert live_of(destination) == expected
    records = sf.parse_records(destination.read_bytes())  # one transaction, no change records of its own
    commits = 2 if operation == "compact_generation_to" else 1
    assert [kind for kind, *_ in records] == [sf.PUT] * len(expected) + [sf.COMMIT] * commits
    keys = [payload[4 : 4 + struct.unpack_from("<I", payload)[0]] for kind, _, _, payload in records if kind == sf.PUT]
    assert keys == [k for k, _ in expected] and len({tx for _, tx, _, _ in records[:-1]}) == 1


@pytest.mark.parametrize("operation", ["backup_to", "checkpoint_to"] + OPERATIONS)
def test_a_destination_in_a_missing_directory_leaves_nothing(store, tmp_path, operation):
    with pytest.raises(_native.OmbrelStoreError) as info:
        getattr(store, operation)(str(tmp_path / "missing" / "copy.omb"))
    assert "I/O error: " in str(info.value)
    assert sorted(os.listdir(tmp_path)) == ["store.omb"]


@pytest.mark.parametrize("relative", [False, True])
def test_snapshot_identities_and_destination(store, store_path, tmp_path, monkeypatch, relative):
    store.put(b"k", b"v")
    monkeypatch.chdir(tmp_path)
    given = "snap.omb" if relative else str(tmp_path / "snap.omb")
    report = store.snapshot_to(given)
    assert list(report) == SNAPSHOT_KEYS
    assert isinstance(report["destination"], Path) and report["destination"] == Path(given)
    assert report["source_store_id"] == store.health_report()["store_id"] == store_path.read_bytes()[12:28]
    assert report["snapshot_store_id"] == Store.verify(given).store_id != report["source_store_id"]
    assert (report["keys"], report["snapshot_bytes"]) == (2, (tmp_path / "snap.omb").stat().st_size)


def test_an_empty_store_compacts_to_a_header_and_generates_a_header_and_one_commit(store, store_path, tmp_path):
    report = store.compact_copy_to(str(tmp_path / "empty.omb"))
    assert list(report) == COMPACTION_KEYS
    assert report == {"source_bytes": 64, "compacted_bytes": 64, "bytes_reclaimed": 0, "keys": 0}
    verified = Store.verify(tmp_path / "empty.omb")
    assert (verified.file_bytes, verified.valid_bytes, verified.records) == (64, 64, 0)
    header = store_path.read_bytes()[:64]
    assert verified.store_id != header[12:28]
    report = store.compact_generation_to(str(tmp_path / "gen.omb"))
    assert list(report) == GENERATION_KEYS
    assert report == {"store_id": header[12:28], "source_bytes": 64, "generation_bytes": 93, "bytes_reclaimed": 0,
                      "keys": 0, "high_water_tx_id": 1, "high_water_sequence": 1}
    data = (tmp_path / "gen.omb").read_bytes()
    assert data[:64] == header and sf.parse_records(data) == [(sf.COMMIT, 1, 1, b"")]


def test_generation_keeps_the_header_and_continues_numbering(tmp_path):
    source = tmp_path / "source.omb"
    header = sf.encode_header(store_id=b"I" * 16, created_at_ms=4242, reserved=9, minor=5)
    log = sf.LogBuilder(header)
    log.store_write(3, b"a", b"1").store_write(4, b"b", b"2")
    log.put(40, b"never", b"committed", sequence=70)  # a high, abandoned transaction
    log.write(source)
    destination = tmp_path / "gen.omb"
    with Store.open(str(source)) as s:
        report = s.compact_generation_to(str(destination))
    assert report["store_id"] == b"I" * 16 and report["keys"] == 4
    assert (report["high_water_tx_id"], report["high_water_sequence"]) == (41, 71)
    data = destination.read_bytes()
    assert data[:64] == header
    assert sf.parse_records(data)[-1] == (sf.COMMIT, 41, 71, b"")
    verified = Store.verify(destination)
    assert (verified.committed_transactions, verified.pending_transactions, verified.keys) == (2, 0, 4)
    with Store.open(str(destination)) as gen:
        assert gen.get(b"never") is None and gen.get(b"a") == b"1"
        gen.put(b"c", b"3")
        (change,) = gen.changes_for_transaction(42)
        assert change["key"] == b"c"
        assert gen.health_report()["store_id"] == b"I" * 16


def test_generation_of_a_store_with_a_torn_tail_left_in_place(tmp_path):
    source = tmp_path / "torn.omb"
    data = sf.LogBuilder().store_write(1, b"a", b"1").write(source)
    source.write_bytes(data + b"OMB1\x01partial")
    with Store.open(str(source), repair_torn_tail=False) as s:
        report = s.compact_generation_to(str(tmp_path / "gen.omb"))
    assert (report["keys"], report["high_water_tx_id"], report["high_water_sequence"]) == (2, 2, 4)
    assert leftovers(tmp_path) == []
