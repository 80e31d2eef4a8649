"""Byte-for-byte copies: backup_to, checkpoint_to and the static restore_copy."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store
SAME_BACKUP = "backup destination must differ from source store"
SAME_CHECKPOINT = "checkpoint destination must differ from source store"
EXISTS_CHECKPOINT = "checkpoint destination already exists"
ALREADY_OPEN = "store is already open by another writer"


def fill(store, count=5):
    for i in range(count):
        store.put(b"key:%d" % i, b"value %d" % i)


def leftovers(directory):
    return sorted(name for name in os.listdir(directory) if name.endswith(".tmp"))


def other_names_of(store_path, how):
    """Another spelling, or another name, of the store's own file."""
    parent = store_path.parent
    if how == "same":
        return str(store_path)
    if how == "doubled separators":
        return f"{parent}//{store_path.name}"
    if how == "dot component":
        return f"{parent}/./{store_path.name}"
    if how == "pathlib":
        return Path(store_path)
    if how == "parent hop":
        (parent / "sub").mkdir()
        return f"{parent}/sub/../{store_path.name}"
    if how == "symbolic link":
        os.symlink(store_path, parent / "link.omb")
        return str(parent / "link.omb")
    if how == "hard link":
        os.link(store_path, parent / "hard.omb")
        return str(parent / "hard.omb")
    raise AssertionError(how)


SELF_NAMES = ["same", "doubled separators", "dot component", "pathlib", "parent hop", "symbolic link", "hard link"]


# ---- backup_to ---------------------------------------------------------------------------


@pytest.mark.parametrize("existing", [None, b"an unrelated file that is much longer than the store" * 50, b""])
def test_backup_copies_every_byte_and_overwrites(store, store_path, tmp_path, existing):
    fill(store)
    destination = tmp_path / "backup.omb"
    if existing is not None:
        destination.write_bytes(existing)
    copied = store.backup_to(str(destination))
    assert copied == store_path.stat().st_size
    assert destination.read_bytes() == store_path.read_bytes()
    report = Store.verify(destination)
    assert (report.keys, report.has_torn_tail) == (10, False)
    store.put(b"after", b"backup")  # the store stays open and writable
    assert store.get(b"after") == b"backup"


@pytest.mark.parametrize("how", SELF_NAMES)
@pytest.mark.parametrize("operation, message", [("backup_to", SAME_BACKUP), ("checkpoint_to", SAME_CHECKPOINT)])
def test_a_copy_onto_the_store_itself_is_refused(store, store_path, tmp_path, how, operation, message):
    fill(store)
    destination = other_names_of(store_path, how)
    before = store_path.read_bytes()
    with raises_exactly(_native.OmbrelStoreError, message):
        getattr(store, operation)(destination)
    assert store_path.read_bytes() == before
    assert store.get(b"key:4") == b"value 4"
    assert leftovers(tmp_path) == []


# ---- checkpoint_to -----------------------------------------------------------------------

CHECKPOINT_KEYS = ["source_store_id", "checkpoint_store_id", "file_bytes", "valid_bytes", "keys",
                   "committed_transactions", "pending_transactions"]


@pytest.mark.parametrize("as_path", [False, True])
def test_checkpoint_reports_the_verified_copy(store, store_path, tmp_path, as_path):
    fill(store)
    destination = tmp_path / "checkpoint.omb"
    report = store.checkpoint_to(destination if as_path else str(destination))
    assert list(report) == CHECKPOINT_KEYS
    size = store_path.stat().st_size
    assert report["source_store_id"] == report["checkpoint_store_id"] == Store.verify(destination).store_id
    assert [report[k] for k in CHECKPOINT_KEYS[2:]] == [size, size, 10, 5, 0]
    assert destination.read_bytes() == store_path.read_bytes()
    assert leftovers(tmp_path) == []
    store.put(b"k", b"v")  # the store goes on, and the next checkpoint holds the new commit
    again = store.checkpoint_to(str(tmp_path / "again.omb"))
    assert (again["keys"], again["committed_transactions"]) == (12, 6)


def test_checkpoint_of_a_relative_destination_leaves_nothing_in_the_current_directory(store, tmp_path, monkeypatch):
    fill(store, 1)
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    report = store.checkpoint_to("relative.omb")
    assert report["keys"] == 2
    assert os.listdir(work) == ["relative.omb"]


@pytest.mark.parametrize("kind", ["file", "empty file", "directory", "link to another file"])
def test_checkpoint_onto_an_existing_path_leaves_it_untouched(store, tmp_path, kind):
    fill(store)
    destination = tmp_path / "existing.omb"
    if kind == "file":
        destination.write_bytes(b"precious")
    elif kind == "empty file":
        destination.write_bytes(b"")
    elif kind == "directory":
        destination.mkdir()
    else:
        (tmp_path / "target").write_bytes(b"precious")
        os.symlink(tmp_path / "target", destination)
    before = sorted(os.listdir(tmp_path))
    with raises_exactly(_native.OmbrelStoreError, EXISTS_CHECKPOINT):
        store.checkpoint_to(str(destination))
    assert sorted(os.listdir(tmp_path)) == before
    if kind == "file":
        assert destination.read_bytes() == b"precious"


# ---- restore_copy ------------------------------------------------------------------------


def closed_store(path, count=5):
    with Store.open(str(path)) as s:
        fill(s, count)
    return path


@pytest.mark.parametrize("as_path", [False, True])
def test_restore_copies_and_proves_the_copy(store_path, tmp_path, as_path):
    closed_store(store_path)
    destination = tmp_path / "restored.omb"
    before = snapshot(store_path)
    args = (store_path, destination) if as_path else (str(store_path), str(destination))
    report = Store.restore_copy(*args)
    assert list(report) == ["bytes", "keys", "store_id"]
    assert report == {"bytes": store_path.stat().st_size, "keys": 10, "store_id": Store.verify(store_path).store_id}
    assert destination.read_bytes() == store_path.read_bytes()
    assert snapshot(store_path) == before
    with Store.open(str(destination)) as restored:
        assert restored.get(b"key:3") == b"value 3"


TORN = "I/O error: restore source has a torn tail"
SAME_RESTORE = "I/O error: restore destination must differ from source store"


@pytest.mark.parametrize("damage, destination, cls, message", [
    (lambda data: data + b"\x01\x02\x03\x04\x05", None, _native.IoError, TORN),
    (lambda data: data[:40], None, _native.IoError, None),  # shorter than a header
    (lambda data: data[:64] + b"XXXX" + data[68:], None, _native.CorruptionError, None),  # a record's magic
    (lambda data: b"NOTSTORE" + data[8:], None, _native.CorruptionError, None),
    (None, "same", _native.IoError, SAME_RESTORE),
    (None, "doubled separators", _native.IoError, SAME_RESTORE),
    (None, "dot component", _native.IoError, SAME_RESTORE),
    (None, "open", _native.AlreadyOpenError, ALREADY_OPEN),
])
def test_a_refused_restore_creates_nothing_and_leaves_the_source(store_path, tmp_path, damage, destination, cls,
                                                                 message):
    closed_store(store_path)
    if damage:
        store_path.write_bytes(damage(store_path.read_bytes()))
    target = other_names_of(store_path, destination) if destination in SELF_NAMES else str(tmp_path / "restored.omb")
    holder = Store.open(str(store_path)) if destination == "open" else None
    before = snapshot(store_path)
    with raises_exactly(cls, message):
        Store.restore_copy(str(store_path), target)
    if holder:
        holder.close()
    assert snapshot(store_path) == before
    assert sorted(os.listdir(tmp_path)) == ["store.omb"]


@pytest.mark.parametrize("kind", ["file", "link to the source"])
def test_restore_onto_an_existing_destination_leaves_it_as_it_was(store_path, tmp_path, kind):
    closed_store(store_path)
    destination = tmp_path / "existing.omb"
    if kind == "file":
        destination.write_bytes(b"precious")
    else:
        os.symlink(store_path, destination)
    source_before = snapshot(store_path)
    with raises_exactly(_native.IoError) as info:
        Store.restore_copy(str(store_path), str(destination))
    assert str(info.value).startswith("I/O error: ")
    assert snapshot(store_path) == source_before
    if kind == "file":
        assert destination.read_bytes() == b"precious"


def test_restore_of_a_crafted_store_keeps_its_header_fields(tmp_path):
    source = tmp_path / "crafted.omb"
    header = sf.encode_header(store_id=b"S" * 16, created_at_ms=123, reserved=77, minor=3)
    sf.LogBuilder(header).store_write(1, b"a", b"1").put(2, b"pending", b"x").write(source)
    report = Store.restore_copy(str(source), str(tmp_path / "copy.omb"))
    assert report == {"bytes": source.stat().st_size, "keys": 2, "store_id": b"S" * 16}
    assert (tmp_path / "copy.omb").read_bytes() == source.read_bytes()


def test_a_checkpoint_that_fails_its_verification_is_removed(store_path, tmp_path):
    data = sf.LogBuilder().store_write(1, b"a", b"1").write(store_path)
    store_path.write_bytes(data + b"OMB1 torn")
    with Store.open(str(store_path), repair_torn_tail=False) as s:
        with raises_exactly(_native.OmbrelStoreError, "checkpoint verification does not match copied bytes"):
            s.checkpoint_to(str(tmp_path / "checkpoint.omb"))
        assert s.backup_to(str(tmp_path / "backup.omb")) == len(data) + 9  # backup checks nothing
    assert sorted(os.listdir(tmp_path)) == ["backup.omb", "store.omb"]
