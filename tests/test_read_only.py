"""Store.open_read_only: a store that a writer holds, read from beside it. It sees what was
committed when opened or last refreshed, never an uncommitted transaction or a torn tail,
never writes a byte, and notices when the file is replaced."""

import os

import pytest

from ombrel_store import _native
from storefile import COMMIT, PUT, encode_header, encode_record, key_payload

REPLACED = "store file was replaced; open it again"


def append(path, data):
    with open(path, "ab") as f:
        f.write(data)


def test_refresh_shows_commits_made_after_open(store, store_path):
    store.put(b"a", b"1")
    reader = _native.Store.open_read_only(store_path)
    store.put(b"b", b"2")
    with store.transaction() as tx:
        tx.delete(b"a")
        tx.put(b"c", b"3")
    assert (reader.get(b"a"), reader.get(b"b")) == (b"1", None)
    assert reader.refresh() == 2
    assert [k for k, _ in reader.scan_prefix(b"")] == [k for k, _ in store.scan_prefix(b"")]
    assert (reader.get(b"a"), reader.get(b"b"), reader.contains(b"c")) == (None, b"2", True)
    assert reader.refresh() == 0


def test_domain_reads_follow_the_writer(store, store_path):
    reader = _native.Store.open_read_only(store_path)
    job = store.submit_job(b"mail", b"payload", 0)
    store.push_queue(b"q", b"m")
    store.append_stream(b"s", b"e")
    reader.refresh()
    assert reader.get_job(job) == store.get_job(job)
    assert reader.list_jobs() == store.list_jobs() and reader.job_stats() == store.job_stats()
    assert reader.queue_stats(b"q") == store.queue_stats(b"q")
    assert reader.read_stream(b"s") == [(0, b"e")]
    store.claim_job(1, 1000)
    reader.refresh()
    assert reader.get_job(job)["state"] == "leased"


def crafted_store(path, records):
    path.write_bytes(encode_header() + b"".join(records))


def put(tx, seq, key, value):
    return encode_record(PUT, tx, seq, key_payload(key, value))


@pytest.mark.parametrize("tail", [
    pytest.param(lambda: put(2, 3, b"b", b"2"), id="uncommitted put"),
    pytest.param(lambda: put(2, 3, b"b", b"2") + encode_record(COMMIT, 2, 4)[:20], id="torn commit"),
    pytest.param(lambda: put(2, 3, b"b", b"2")[:-1], id="torn put"),
])
def test_never_sees_an_uncommitted_or_torn_tail(tmp_path, tail):
    path = tmp_path / "s.omb"
    committed = [put(1, 1, b"a", b"1"), encode_record(COMMIT, 1, 2)]
    crafted_store(path, committed)
    reader = _native.Store.open_read_only(path)
    append(path, tail())
    before = path.read_bytes()
    assert reader.refresh() == 0
    assert reader.get(b"b") is None
    assert path.read_bytes() == before
    # The rest of it arrives: the transaction shows, whole, once its commit record is complete.
    crafted_store(path, committed + [put(2, 3, b"b", b"2"), encode_record(COMMIT, 2, 4)])
    assert reader.refresh() == 1
    assert reader.get(b"b") == b"2"


def test_a_transaction_split_across_refreshes(tmp_path):
    path = tmp_path / "s.omb"
    crafted_store(path, [put(1, 1, b"a", b"1")])
    reader = _native.Store.open_read_only(path)
    append(path, put(1, 2, b"b", b"2"))
    assert reader.refresh() == 0 and reader.get(b"a") is None
    append(path, encode_record(COMMIT, 1, 3))
    assert reader.refresh() == 1
    assert reader.scan_prefix(b"") == [(b"a", b"1"), (b"b", b"2")]


def test_writes_nothing_and_takes_no_lock(tmp_path):
    path = tmp_path / "s.omb"
    crafted_store(path, [put(1, 1, b"a", b"1"), encode_record(COMMIT, 1, 2), b"torn"])
    before = (path.read_bytes(), os.stat(path).st_mtime_ns)
    with _native.Store.open_read_only(path) as reader:
        reader.refresh()
        assert reader.get(b"a") == b"1"
        assert (path.read_bytes(), os.stat(path).st_mtime_ns) == before
        # A writer opens beside it: the reader holds no lock.
        with _native.Store.open(str(path)) as writer:
            writer.put(b"b", b"2")
        reader.refresh()
        assert reader.get(b"b") == b"2"
    with pytest.raises(_native.IoError):
        _native.Store.open_read_only(tmp_path / "missing.omb")
    assert not (tmp_path / "missing.omb").exists()


def test_damage_is_reported_after_what_came_before(tmp_path):
    path = tmp_path / "s.omb"
    crafted_store(path, [])
    reader = _native.Store.open_read_only(path)
    damaged = bytearray(put(2, 3, b"b", b"2"))
    damaged[-1] ^= 1
    append(path, put(1, 1, b"a", b"1") + encode_record(COMMIT, 1, 2) + bytes(damaged))
    with pytest.raises(_native.CorruptionError, match="checksum"):
        reader.refresh()
    assert reader.get(b"a") == b"1"


def replace_by_compaction(store, path):
    store.compact_copy_to(str(path) + ".new")
    os.replace(str(path) + ".new", path)


def replace_by_restore(store, path):
    store.backup_to(str(path) + ".bak")
    _native.Store.restore_copy(str(path) + ".bak", str(path) + ".new")
    os.replace(str(path) + ".new", path)


def rewrite_in_place(store, path, how):
    data = bytearray(path.read_bytes())
    if how == "another header":
        data[:64] = encode_header(store_id=bytes(16))
    elif how == "last byte":
        data[-1] ^= 1
    with open(path, "r+b") as f:
        f.write(data) if how != "shorter" else f.truncate(len(data) - 1)


@pytest.mark.parametrize("replace", [
    replace_by_compaction, replace_by_restore, lambda store, path: os.remove(path),
    *[lambda store, path, how=how: rewrite_in_place(store, path, how) for how in ("shorter", "another header",
                                                                                  "last byte")]])
def test_notices_replacement(store, store_path, replace):
    store.put(b"a", b"1")
    reader = _native.Store.open_read_only(store_path)
    replace(store, store_path)
    with pytest.raises(_native.OmbrelStoreError, match=REPLACED) as raised:
        reader.refresh()
    assert type(raised.value) is _native.OmbrelStoreError
    assert reader.get(b"a") == b"1"  # the state it had


def test_closed_reader_refuses_reads(store, store_path):
    reader = _native.Store.open_read_only(store_path)
    reader.close()
    reader.close()
    with pytest.raises(_native.StoreClosedError, match="store is closed"):
        reader.refresh()
    with pytest.raises(_native.StoreClosedError):
        reader.get(b"a")


def test_header_damage_refuses_open(tmp_path):
    path = tmp_path / "s.omb"
    path.write_bytes(encode_header(checksum=0) + encode_record(COMMIT, 1, 1))
    with pytest.raises(_native.CorruptionError, match="store header error"):
        _native.Store.open_read_only(path)
    path.write_bytes(encode_header()[:40])
    with pytest.raises(_native.IoError):
        _native.Store.open_read_only(path)
