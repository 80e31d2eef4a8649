"""Byte-for-byte copies (backup_to, checkpoint_to, restore_copy) and where any copy may go."""

import os
import stat
from pathlib import Path

import pytest

import storefile as sf
from expect import leftovers, raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store
SAME_BACKUP = "backup destination must differ from source store"
SAME_CHECKPOINT = "checkpoint destination must differ from source store"
EXISTS_CHECKPOINT = "checkpoint destination already exists"
ALREADY_OPEN = "store is already open by another writer"


def fill(store, count=5):
    for i in range(count):
        store.put(b"key:%d" % i, b"value %d" % i)


def other_names_of(store_path, how):
    """Another spelling or name of the store's own file, or another existing path."""
    parent, name, other = store_path.parent, store_path.name, store_path.parent / "other.omb"
    if how == "parent hop":
        (parent / "sub").mkdir()
    elif how in ("symbolic link", "hard link"):
        (os.symlink if how == "symbolic link" else os.link)(store_path, other)
    elif how in ("file", "empty file"):
        other.write_bytes(b"precious" if how == "file" else b"")
    elif how == "directory":
        other.mkdir()
    elif how in ("link to another file", "dangling link"):
        (parent / "target").write_bytes(b"precious") if how == "link to another file" else None
        os.symlink(parent / "target", other)
    return {"same": str(store_path), "doubled separators": f"{parent}//{name}", "dot component": f"{parent}/./{name}",
            "pathlib": Path(store_path), "parent hop": f"{parent}/sub/../{name}"}.get(how, str(other))


SELF_NAMES = ["same", "doubled separators", "dot component", "pathlib", "parent hop", "symbolic link", "hard link"]
OTHER_PATHS = ["file", "empty file", "directory", "link to another file", "dangling link"]
REFUSALS = {  # operation: class, text for a lexically equal path, text for any other existing path
    "backup_to": (_native.OmbrelStoreError, SAME_BACKUP, None),
    "checkpoint_to": (_native.OmbrelStoreError, SAME_CHECKPOINT, EXISTS_CHECKPOINT),
    "compact_copy_to": (_native.IoError, "I/O error: compaction destination must differ from source store",
                        "I/O error: compaction destination already exists"),
    "snapshot_to": (_native.OmbrelStoreError,
                    "store error: I/O error: compaction destination must differ from source store",
                    "store error: I/O error: compaction destination already exists"),
    "compact_generation_to": (_native.OmbrelStoreError, "generation destination must differ from source store",
                              "generation destination already exists"),
}


def files_of(directory):
    return {p.name: p.read_bytes() if p.is_file() else None for p in directory.iterdir()}


@pytest.mark.parametrize("operation, how", [(op, how) for op in REFUSALS for how in SELF_NAMES + OTHER_PATHS
                                            if op != "backup_to" or how in SELF_NAMES])
def test_a_copy_onto_the_store_itself_or_an_existing_path_is_refused(store, store_path, tmp_path, operation, how):
    fill(store)
    destination = other_names_of(store_path, how)
    before = files_of(tmp_path)
    cls, same, exists = REFUSALS[operation]
    # Backup and checkpoint also resolve names; the rewrites refuse any existing path.
    lexical = how in SELF_NAMES[:4] or (operation in ("backup_to", "checkpoint_to") and how in SELF_NAMES)
    with raises_exactly(cls, same if lexical else exists):
        getattr(store, operation)(destination)
    assert files_of(tmp_path) == before and store.get(b"key:4") == b"value 4"


@pytest.mark.parametrize("existing", [None, b"an unrelated file that is much longer than the store" * 50, b""])
def test_backup_copies_every_byte_and_overwrites(store, store_path, tmp_path, existing):
    fill(store)
    destination = tmp_path / "backup.omb"
    if existing is not None:
        destination.write_bytes(existing)
    assert store.backup_to(str(destination)) == store_path.stat().st_size
    assert destination.read_bytes() == store_path.read_bytes()
    store.put(b"after", b"backup")  # the store stays open and writable
    assert store.get(b"after") == b"backup"


@pytest.mark.parametrize("through", ["file", "link"])
def test_backup_replaces_the_file_a_link_names_and_keeps_its_permissions(store, store_path, tmp_path, through):
    fill(store)
    target = tmp_path / "kept.omb"
    target.write_bytes(b"yesterday's backup")
    target.chmod(0o600)
    destination = target if through == "file" else tmp_path / "link.omb"
    if through == "link":
        os.symlink(target, destination)
    store.backup_to(str(destination))
    assert target.read_bytes() == store_path.read_bytes() and stat.S_IMODE(target.stat().st_mode) == 0o600
    assert destination.is_symlink() == (through == "link") and leftovers(tmp_path) == []


CHECKPOINT_KEYS = ["source_store_id", "checkpoint_store_id", "file_bytes", "valid_bytes", "keys",
                   "committed_transactions", "pending_transactions"]


def test_checkpoint_reports_the_verified_copy(store, store_path, tmp_path):
    fill(store)
    destination = tmp_path / "checkpoint.omb"
    report = store.checkpoint_to(destination)
    assert list(report) == CHECKPOINT_KEYS
    size = store_path.stat().st_size
    assert report["source_store_id"] == report["checkpoint_store_id"] == Store.verify(destination).store_id
    assert [report[k] for k in CHECKPOINT_KEYS[2:]] == [size, size, 10, 5, 0]
    assert destination.read_bytes() == store_path.read_bytes() and leftovers(tmp_path) == []
    store.put(b"k", b"v")  # the store goes on, and the next checkpoint holds the new commit
    again = store.checkpoint_to(str(tmp_path / "again.omb"))
    assert (again["keys"], again["committed_transactions"]) == (12, 6)


def test_checkpoint_of_a_relative_destination_leaves_nothing_in_the_current_directory(store, tmp_path, monkeypatch):
    fill(store, 1)
    (tmp_path / "work").mkdir()
    monkeypatch.chdir(tmp_path / "work")
    assert store.checkpoint_to("relative.omb")["keys"] == 2
    assert os.listdir(".") == ["relative.omb"]


def closed_store(path, count=5):
    with Store.open(str(path)) as s:
        fill(s, count)
    return path


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


@pytest.mark.parametrize("kind", ["file", "link to the source", "dangling link"])
def test_restore_onto_an_existing_destination_leaves_it_as_it_was(store_path, tmp_path, kind):
    closed_store(store_path)
    destination = tmp_path / "existing.omb"
    if kind == "file":
        destination.write_bytes(b"precious")
    else:
        os.symlink(store_path if kind == "link to the source" else tmp_path / "missing.omb", destination)
    source_before, before = snapshot(store_path), files_of(tmp_path)
    with raises_exactly(_native.IoError, "I/O error: File exists (os error 17)"):
        Store.restore_copy(str(store_path), str(destination))
    assert snapshot(store_path) == source_before and files_of(tmp_path) == before
    assert destination.is_symlink() == (kind != "file")


def test_restore_copies_a_crafted_store_byte_for_byte(tmp_path):
    source, copy = tmp_path / "crafted.omb", tmp_path / "copy.omb"
    header = sf.encode_header(store_id=b"S" * 16, created_at_ms=123, reserved=77, minor=3)
    sf.LogBuilder(header).store_write(1, b"a", b"1").put(2, b"pending", b"x").write(source)
    before = snapshot(source)
    report = Store.restore_copy(source, copy)
    assert list(report) == ["bytes", "keys", "store_id"]
    assert report == {"bytes": source.stat().st_size, "keys": 2, "store_id": b"S" * 16}
    assert copy.read_bytes() == source.read_bytes() and snapshot(source) == before
    with Store.open(str(copy)) as restored:
        assert restored.get(b"a") == b"1" and restored.get(b"pending") is None


def test_a_checkpoint_that_fails_its_verification_is_removed(store_path, tmp_path):
    data = sf.LogBuilder().store_write(1, b"a", b"1").write(store_path)
    store_path.write_bytes(data + b"OMB1 torn")
    with Store.open(str(store_path), repair_torn_tail=False) as s:
        with raises_exactly(_native.OmbrelStoreError, "checkpoint verification does not match copied bytes"):
            s.checkpoint_to(str(tmp_path / "checkpoint.omb"))
        assert s.backup_to(str(tmp_path / "backup.omb")) == len(data) + 9  # backup checks nothing
    assert sorted(os.listdir(tmp_path)) == ["backup.omb", "store.omb"]
