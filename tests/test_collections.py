"""Collections and secondary indexes: layouts, unique indexes, index upkeep, migrations, corrupt records."""

from __future__ import annotations

import struct

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store
Error = _native.OmbrelStoreError

NOT_FOUND, NO_INDEX = "collection does not exist", "index does not exist"
EMPTY_NAME, EMPTY_PK = "collection/index name must not be empty", "primary key must not be empty"
CORRUPT_META = "collection metadata is corrupt or unsupported"
CORRUPT_RECORD = "collection record is corrupt or unsupported"
UNIQUE, MUST_INCREASE = "unique index violation", "schema version must increase"


def c(x: bytes) -> bytes:
    return struct.pack(">I", len(x)) + x


def meta_key(col):
    return b"\xffomb:col:meta:" + c(col)


def record_key(col, pk):
    return b"\xffomb:col:record:" + c(col) + c(pk)


def index_meta_key(col, name):
    return b"\xffomb:col:index-meta:" + c(col) + c(name)


def entry_key(col, name, value, pk):
    return b"\xffomb:col:index:" + c(col) + c(name) + c(value) + c(pk)


def migration_key(col, frm, to):
    return b"\xffomb:col:migration:" + c(col) + c(struct.pack(">I", frm)) + c(struct.pack(">I", to))


def definition_value(version, codec=b"bytes"):
    return struct.pack("<BII", 1, version, len(codec)) + codec


def record_value(value, indexes=()):
    out = struct.pack("<BIH", 1, len(value), len(indexes)) + value
    for name, v in indexes:
        out += struct.pack("<H", len(name)) + name + struct.pack("<I", len(v)) + v
    return out


def migration_value(frm, to, codec=b"bytes"):
    return struct.pack("<BIII", 1, frm, to, len(codec)) + codec


craft = sf.committed_file  # the name other test modules import


@pytest.fixture
def users(store):
    assert store.create_collection(b"users") is True
    assert store.define_index(b"users", b"city") is True
    assert store.define_index(b"users", b"email", unique=True) is True
    return store


def test_keys_and_values_are_laid_out_byte_for_byte(users):
    users.upsert_record(b"users", b"u1", b"alice", indexes=[(b"city", b"Oslo"), (b"email", b"a@x")])
    assert users.migrate_collection_schema(b"users", 1, 2, codec=b"json") is True
    assert dict(users.scan_prefix(b"\xffomb:col:")) == {
        meta_key(b"users"): definition_value(2, b"json"),
        index_meta_key(b"users", b"city"): b"\x01\x00",
        index_meta_key(b"users", b"email"): b"\x01\x01",
        record_key(b"users", b"u1"): record_value(b"alice", [(b"city", b"Oslo"), (b"email", b"a@x")]),
        entry_key(b"users", b"city", b"Oslo", b"u1"): b"u1",
        entry_key(b"users", b"email", b"a@x", b"u1"): b"u1",
        migration_key(b"users", 1, 2): migration_value(1, 2, b"json"),
    }


def test_scan_orders_primary_keys_by_length_first_and_stays_in_its_collection(store):
    for name in (b"a", b"ab"):  # a name that extends another never shares its keys
        store.create_collection(name)
        store.upsert_record(name, b"k", name)
    for pk in (b"aa", b"z", b"b", b"\x00\x00\x00"):
        store.upsert_record(b"a", pk, pk)
    assert [r[0] for r in store.scan_collection(b"a")] == [b"b", b"k", b"z", b"aa", b"\x00\x00\x00"]
    assert store.scan_collection(b"ab") == [(b"k", b"ab", [])]


def test_migrations_are_listed_in_numeric_version_order(store, store_path):
    store.create_collection(b"c", codec=b"v1")
    before = snapshot(store_path)
    assert store.migrate_collection_schema(b"c", 5, 2) is False  # stale expected version: nothing written
    assert snapshot(store_path) == before
    for frm, to in [(1, 2), (2, 10), (10, 300), (300, 2**32 - 1)]:
        assert store.migrate_collection_schema(b"c", frm, to, codec=b"v%d" % to if to > 2 else None) is True
    expected = [(1, 2, b"bytes"), (2, 10, b"v10"), (10, 300, b"v300"), (300, 2**32 - 1, b"v4294967295")]
    assert store.collection_migrations(b"c") == expected
    keys = [k for k, _ in store.scan_prefix(b"\xffomb:col:migration:")]
    assert keys == [migration_key(b"c", f, t) for f, t, _ in expected]
    assert store.collection_definition(b"c") == (2**32 - 1, b"v4294967295")


def test_definitions_keep_their_first_form_and_missing_things_read_as_absent(users):
    assert users.create_collection(b"c", schema_version=3, codec=bytearray(b"json")) is True
    assert users.create_collection(b"c", schema_version=7, codec=b"other") is False
    assert users.collection_definition(b"c") == (3, b"json") and users.collection_definition(b"missing") is None
    assert users.get_record(b"users", b"nobody") is None and users.get_record(b"nope", b"k") is None
    assert users.scan_collection(b"nope") == []
    assert users.delete_record(b"nope", b"k") is False and users.delete_record(b"users", b"nobody") is False
    assert users.define_index(b"users", b"email", unique=False) is False
    users.upsert_record(b"users", b"1", b"", indexes=[(b"email", b"e")])
    with raises_exactly(Error, UNIQUE):
        users.upsert_record(b"users", b"2", b"", indexes=[(b"email", b"e")])


@pytest.mark.parametrize("call, message", [
    (lambda s: s.create_collection(b""), EMPTY_NAME), (lambda s: s.define_index(b"nope", b"i"), NOT_FOUND),
    (lambda s: s.define_index(b"", b"i"), NOT_FOUND), (lambda s: s.define_index(b"users", b""), EMPTY_NAME),
    (lambda s: s.upsert_record(b"nope", b"k", b"v"), NOT_FOUND),
    (lambda s: s.upsert_record(b"users", b"", b"v"), EMPTY_PK),
    (lambda s: s.upsert_record(b"users", b"k", b"v", indexes=[(b"city", b"x"), (b"age", b"1")]), NO_INDEX),
    (lambda s: s.migrate_collection_schema(b"nope", 1, 2), NOT_FOUND),
    (lambda s: s.migrate_collection_schema(b"users", 1, 1), MUST_INCREASE),
    (lambda s: s.migrate_collection_schema(b"users", 1, 0), MUST_INCREASE),
])
def test_domain_faults_raise_their_text_and_write_nothing(users, store_path, call, message):
    before = snapshot(store_path)
    with raises_exactly(Error, message):
        call(users)
    assert snapshot(store_path) == before


def test_encoding_limits(users, store_path):
    users.define_index(b"users", b"n" * 65536)
    before = snapshot(store_path)
    for indexes, message in [([(b"n" * 65536, b"")], "collection component is too large"),
                             ([(b"city", b"")] * 65536, "record has too many indexes")]:
        with raises_exactly(Error, message):
            users.upsert_record(b"users", b"k", b"v", indexes=indexes)
    assert snapshot(store_path) == before


def entries(store, name):
    prefix = b"\xffomb:col:index:" + c(b"users") + c(name)
    return {k[len(prefix):]: v for k, v in store.scan_prefix(prefix)}


def test_upsert_replaces_the_whole_index_list(users):
    users.upsert_record(b"users", b"u", b"1", indexes=[(b"city", b"Oslo"), (b"email", b"a@x")])
    users.upsert_record(b"users", b"u", b"2", indexes=[(b"city", b"Rome")])
    assert entries(users, b"city") == {c(b"Rome") + c(b"u"): b"u"} and entries(users, b"email") == {}
    assert users.get_record(b"users", b"u") == (b"u", b"2", [(b"city", b"Rome")])
    users.upsert_record(b"users", b"u", b"3", indexes=[(b"city", b"Rome")])  # an unchanged value keeps its entry
    assert users.query_index_exact(b"users", b"city", b"Rome") == [(b"u", b"3", [(b"city", b"Rome")])]
    users.upsert_record(b"users", b"u", b"4")
    assert entries(users, b"city") == {} and users.query_index_exact(b"users", b"city", b"Rome") == []


def test_several_values_for_one_index(users):
    users.upsert_record(b"users", b"u", b"v", indexes=[(b"city", b"Oslo"), (b"city", b"Rome")])
    record = (b"u", b"v", [(b"city", b"Oslo"), (b"city", b"Rome")])
    for city in (b"Oslo", b"Rome"):
        assert users.query_index_exact(b"users", b"city", city) == [record]
    assert users.delete_record(b"users", b"u") is True
    assert entries(users, b"city") == {}


def test_unique_index_admits_only_its_own_primary_key(users, store_path):
    users.upsert_record(b"users", b"u1", b"v", indexes=[(b"email", b"a@x")])
    users.upsert_record(b"users", b"u1", b"v2", indexes=[(b"email", b"a@x"), (b"email", b"a@x")])
    assert users.get_record(b"users", b"u1")[1] == b"v2"
    before = snapshot(store_path)
    with raises_exactly(Error, UNIQUE):
        users.upsert_record(b"users", b"u2", b"v", indexes=[(b"city", b"Oslo"), (b"email", b"a@x")])
    assert snapshot(store_path) == before and users.get_record(b"users", b"u2") is None
    users.upsert_record(b"users", b"u1", b"v")  # once the holder lets go, another record may take the value
    users.upsert_record(b"users", b"u2", b"v", indexes=[(b"email", b"a@x")])


def test_index_defined_after_records_covers_only_later_upserts(users):
    users.upsert_record(b"users", b"u", b"v", indexes=[(b"city", b"Oslo")])
    users.define_index(b"users", b"tag")
    assert users.query_index_exact(b"users", b"tag", b"t") == []
    users.upsert_record(b"users", b"u", b"v", indexes=[(b"tag", b"t")])
    assert [r[0] for r in users.query_index_exact(b"users", b"tag", b"t")] == [b"u"]


def test_binary_names_and_large_values_roundtrip(store):
    name, pk, value = b"\x00\xff", b"\xff" * 3, bytes(range(256)) * 1000
    store.create_collection(name)
    store.define_index(name, b"\x00")
    store.upsert_record(name, pk, value, indexes=[(b"\x00", b"")])
    assert store.get_record(name, pk) == (pk, value, [(b"\x00", b"")])
    assert store.query_index_exact(name, b"\x00", b"") == [(pk, value, [(b"\x00", b"")])]


STR_TO_VEC = "Can't extract `str` to `Vec`"


@pytest.mark.parametrize("indexes, exc, message", [
    ("city", TypeError, STR_TO_VEC), ([(b"city", "Oslo")], TypeError, STR_TO_VEC), (b"ab", TypeError, None),
    ([b"ci"], TypeError, None), ([(b"city",)], ValueError, None), ([(b"city", b"x", b"y")], ValueError, None),
])
def test_bad_index_lists_raise_and_write_nothing(users, store_path, indexes, exc, message):
    before = snapshot(store_path)
    with raises_exactly(exc, message):
        users.upsert_record(b"users", b"u", b"v", indexes=indexes)
    assert snapshot(store_path) == before
    users.upsert_record(b"users", b"u", b"v", indexes=([bytearray(b"city"), [79, 115, 108, 111]],))
    assert users.get_record(b"users", b"u") == (b"u", b"v", [(b"city", b"Oslo")])


@pytest.mark.parametrize("bad", [
    b"\x02" + record_value(b"v")[1:], record_value(b"v")[:-1], record_value(b"v") + b"\x00",
    record_value(b"v", [(b"i", b"x")])[:-2],
])
def test_a_corrupt_record_stops_every_call_before_anything_is_written(store_path, bad):
    good = record_value(b"ok", [(b"i", b"x")])
    data = sf.committed_file(store_path, [
        (meta_key(b"c"), definition_value(1)), (index_meta_key(b"c", b"i"), b"\x01\x00"),
        (record_key(b"c", b"bad"), bad), (entry_key(b"c", b"i", b"x", b"bad"), b"bad"),
        (record_key(b"c", b"good"), good), (entry_key(b"c", b"i", b"x", b"good"), b"good"),
    ])
    with Store.open(str(store_path)) as s:
        for call in (lambda: s.get_record(b"c", b"bad"), lambda: s.delete_record(b"c", b"bad"),
                     lambda: s.upsert_record(b"c", b"bad", b"new"), lambda: s.scan_collection(b"c"),
                     lambda: s.query_index_exact(b"c", b"i", b"x"), lambda: s.query_index_range(b"c", b"i")):
            with raises_exactly(Error, CORRUPT_RECORD):
                call()
        assert s.get_record(b"c", b"good") == (b"good", b"ok", [(b"i", b"x")])
    assert store_path.read_bytes() == data


@pytest.mark.parametrize("key, value, call", [
    (meta_key(b"c"), b"\x01\x01\x00\x00", lambda s: s.collection_definition(b"c")),
    (meta_key(b"c"), definition_value(1) + b"!", lambda s: s.migrate_collection_schema(b"c", 1, 2)),
    (index_meta_key(b"c", b"i"), b"\x01\x02", lambda s: s.upsert_record(b"c", b"k", b"v", indexes=[(b"i", b"")])),
    (index_meta_key(b"c", b"i"), b"\x02\x00", lambda s: s.query_index_exact(b"c", b"i", b"")),
    (migration_key(b"c", 2, 2), migration_value(2, 2), lambda s: s.collection_migrations(b"c")),
    (record_key(b"c", b"k") + b"\x00", record_value(b"v"), lambda s: s.scan_collection(b"c")),
])
def test_corrupt_metadata_is_refused(store_path, key, value, call):
    data = sf.committed_file(store_path, {meta_key(b"c"): definition_value(1), index_meta_key(b"c", b"i"): b"\x01\x00",
                              key: value})
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, CORRUPT_META):
            call(s)
    assert store_path.read_bytes() == data


def test_engine_errors_are_wrapped(open_store):
    s = open_store(namespace_max_bytes=200)
    s.create_collection(b"c")
    with raises_exactly(Error, "store error: store namespace quota exceeded for internal:col: maximum 200 value bytes"):
        s.upsert_record(b"c", b"k", b"x" * 300)
    assert s.get_record(b"c", b"k") is None
