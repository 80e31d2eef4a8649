"""Content-addressed objects: puts stored once under the SHA-256 of the content, reads in
whole and in chunks, named references, orphan collection and expiry purge, and the records
they keep under internal keys (crafted byte by byte here where a damaged one must be refused)."""

from __future__ import annotations

import hashlib
import struct

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store
Error = _native.OmbrelStoreError

DATA_PREFIX = b"\xffomb:obj:data:"
META_PREFIX = b"\xffomb:obj:meta:"
REF_PREFIX = b"\xffomb:obj:ref:"

ID_LENGTH = "object id must be exactly 32 bytes"
NOT_FOUND = "object does not exist"
CORRUPT_DATA = "object data is corrupt or unsupported"
CORRUPT_REF = "object reference is corrupt"
EMPTY_REF = "object reference namespace/name must not be empty"
TOO_LARGE = "object metadata is too large or invalid"
DUPLICATE = "object metadata contains a duplicate key"
CORRUPT_META = "object metadata is corrupt or unsupported"


def oid(content: bytes) -> bytes:
    return hashlib.sha256(content).digest()


def data_key(content: bytes) -> bytes:
    return DATA_PREFIX + oid(content)


def meta_key(content: bytes) -> bytes:
    return META_PREFIX + oid(content)


def ref_key(namespace: bytes, name: bytes) -> bytes:
    return REF_PREFIX + struct.pack(">I", len(namespace)) + namespace + struct.pack(">I", len(name)) + name


def data_value(content: bytes) -> bytes:
    return b"\x01" + struct.pack("<Q", len(content)) + content


def meta_value(pairs) -> bytes:
    out = b"\x01" + struct.pack("<I", len(pairs))
    for key, value in pairs:
        out += struct.pack("<II", len(key), len(value)) + key + value
    return out


def craft(path, records: dict[bytes, bytes]) -> bytes:
    """A store file holding `records` as the one committed transaction 1."""
    log = sf.LogBuilder()
    for key, value in records.items():
        log.put(1, key, value)
    return log.commit(1).write(path)


def new_records(path, size_before):
    return sf.parse_records(path.read_bytes(), size_before)


# ---- put, dedup and the stored records ----


@pytest.mark.parametrize("first_meta", [None, {"a": "1"}], ids=["first-without", "first-with"])
@pytest.mark.parametrize("second_meta", [None, {"a": "2", "b": "x"}], ids=["again-without", "again-with"])
def test_same_content_is_stored_once_with_the_first_metadata(store, store_path, first_meta, second_meta):
    put = lambda meta: store.put_object(b"abc") if meta is None else store.put_object_with_metadata(b"abc", meta)
    assert put(first_meta) == oid(b"abc")
    size = store_path.stat().st_size
    assert put(second_meta) == oid(b"abc")
    assert store_path.stat().st_size == size  # nothing written, no transaction spent
    assert store.scan_prefix(DATA_PREFIX) == [(data_key(b"abc"), data_value(b"abc"))]
    assert store.object_info(oid(b"abc"))["metadata"] == (first_meta or {})


def test_a_new_object_is_written_in_one_transaction_with_its_metadata(store, store_path):
    size = store_path.stat().st_size
    meta = {"z": "last", "expires_at_unix": "5", "é": "ü"}
    assert store.put_object_with_metadata(b"abcd", meta) == oid(b"abcd")
    records = new_records(store_path, size)
    assert {tx for _, tx, _, _ in records} == {1} and [r[0] for r in records].count(sf.COMMIT) == 1
    assert store.get(data_key(b"abcd")) == data_value(b"abcd")
    # Entries sorted by their UTF-8 key bytes.
    assert store.get(meta_key(b"abcd")) == meta_value(
        [(b"expires_at_unix", b"5"), (b"z", b"last"), ("é".encode(), "ü".encode())])
    info = store.object_info(oid(b"abcd"))
    assert list(info) == ["id", "size", "metadata"]
    assert info == {"id": oid(b"abcd"), "size": 4, "metadata": meta}
    assert list(info["metadata"]) == ["expires_at_unix", "z", "é"]


@pytest.mark.parametrize("meta", [None, {}], ids=["plain", "empty-metadata"])
def test_empty_content_and_no_metadata_record(store, meta):
    id_ = store.put_object(b"") if meta is None else store.put_object_with_metadata(b"", meta)
    assert id_ == hashlib.sha256(b"").digest()
    assert store.get(data_key(b"")) == b"\x01" + bytes(8)
    assert store.get(meta_key(b"")) is None
    assert store.get_object(id_) == b"" and store.get_object_chunk(id_) == b""
    assert store.object_info(id_) == {"id": id_, "size": 0, "metadata": {}} and store.verify_object(id_)


def test_objects_survive_reopening(open_store, store_path):
    s = open_store()
    big = bytes(range(256)) * 5000
    id_ = s.put_object_with_metadata(big, {"k": "v"})
    s.link_object(b"ns", b"big", id_)
    s.close()
    s = open_store()
    assert s.get_object(id_) == big and s.object_info(id_)["metadata"] == {"k": "v"}
    assert s.list_object_refs(b"ns") == [(b"big", id_)] and s.verify_object(id_)


# ---- metadata ----


def _total(n: int) -> dict:
    """Four entries whose keys and values add up to `n` bytes."""
    values = [65536, 65536, 65536, n - 8 - 3 * 65536]
    return {f"k{i}": "v" * size for i, size in enumerate(values)}


@pytest.mark.parametrize(
    "meta, error",
    [
        pytest.param({"k" * 4096: "v"}, None, id="key-4096"),
        pytest.param({"k" * 4097: "v"}, TOO_LARGE, id="key-4097"),
        pytest.param({"é" * 2048: "v"}, None, id="key-4096-utf8-bytes"),
        pytest.param({"é" * 2048 + "k": "v"}, TOO_LARGE, id="key-4097-utf8-bytes"),
        pytest.param({"": "v"}, TOO_LARGE, id="empty-key"),
        pytest.param({"k": ""}, None, id="empty-value"),
        pytest.param({"k": "v" * 65536}, None, id="value-65536"),
        pytest.param({"k": "v" * 65537}, TOO_LARGE, id="value-65537"),
        pytest.param(_total(262144), None, id="total-262144"),
        pytest.param(_total(262145), TOO_LARGE, id="total-262145"),
    ],
)
@pytest.mark.parametrize("existing", [False, True], ids=["new", "existing"])
def test_metadata_limits_are_checked_before_anything(store, store_path, meta, error, existing):
    if existing:
        store.put_object(b"content")
    if error is None:
        assert store.put_object_with_metadata(b"content", meta) == oid(b"content")
        assert store.object_info(oid(b"content"))["metadata"] == ({} if existing else meta)
        return
    before = snapshot(store_path)
    with raises_exactly(Error, error):
        store.put_object_with_metadata(b"content", meta)
    assert snapshot(store_path) == before
    assert (store.get_object(oid(b"content")) is not None) == existing


@pytest.mark.parametrize(
    "meta, exception",
    [
        pytest.param([("k", "v")], TypeError, id="list-of-pairs"),
        pytest.param(None, TypeError, id="none"),
        pytest.param({b"k": "v"}, TypeError, id="bytes-key"),
        pytest.param({"k": b"v"}, TypeError, id="bytes-value"),
        pytest.param({"k": 1}, TypeError, id="int-value"),
        pytest.param({"k": "\udc80"}, UnicodeEncodeError, id="lone-surrogate"),
    ],
)
def test_metadata_must_map_text_to_text(store, store_path, meta, exception):
    before = snapshot(store_path)
    with pytest.raises(exception):
        store.put_object_with_metadata(b"c", meta)
    assert snapshot(store_path) == before


# ---- reads ----


@pytest.mark.parametrize(
    "args, expected",
    [
        ((), b"abcd"),
        ((1, 2), b"bc"),
        ((0, 0), b""),
        ((3,), b"d"),
        ((4,), b""),
        ((10,), b""),
        ((10, 0), b""),
        ((3, 2**64 - 1), b"d"),
        ((2**64 - 1, 2**64 - 1), b""),
    ],
    ids=["defaults", "middle", "limit-0", "tail", "at-end", "past-end", "past-end-limit-0", "limit-max",
         "both-max"],
)
def test_chunk_bounds(store, args, expected):
    id_ = store.put_object(b"abcd")
    assert store.get_object_chunk(id_, *args) == expected


def test_default_chunk_is_64_kib(store):
    content = bytes(range(256)) * 1024
    id_ = store.put_object(content)
    assert store.get_object_chunk(id_) == content[:65536]
    assert store.get_object_chunk(id_, offset=65536 * 3, limit=65536 + 1) == content[65536 * 3:]


def test_absent_objects(store, store_path):
    missing = oid(b"never stored")
    before = snapshot(store_path)
    assert store.get_object(missing) is None and store.get_object_chunk(missing, 0, 0) is None
    assert store.object_info(missing) is None and store.verify_object(missing) is False
    with raises_exactly(Error, NOT_FOUND):
        store.link_object(b"ns", b"n", missing)
    with raises_exactly(Error, NOT_FOUND):  # existence is checked before the name
        store.link_object(b"", b"", missing)
    assert snapshot(store_path) == before


ID_METHODS = [
    ("get_object", lambda s, i: s.get_object(i)),
    ("get_object_chunk", lambda s, i: s.get_object_chunk(i, 0, 1)),
    ("object_info", lambda s, i: s.object_info(i)),
    ("verify_object", lambda s, i: s.verify_object(i)),
    ("link_object", lambda s, i: s.link_object(b"ns", b"n", i)),
]


@pytest.mark.parametrize("call", [c for _, c in ID_METHODS], ids=[n for n, _ in ID_METHODS])
@pytest.mark.parametrize(
    "bad_id, exc, message",
    [(bytes(n), Error, ID_LENGTH) for n in (0, 31, 33)] + [(bytearray(32), TypeError, None), ("x" * 32, TypeError, None),
                                                          (None, TypeError, None)],
    ids=["empty", "31", "33", "bytearray", "str", "none"],
)
@pytest.mark.parametrize("closed", [False, True], ids=["open", "closed"])
def test_object_ids_are_checked_before_the_store_is_touched(store, call, bad_id, exc, message, closed):
    if closed:
        store.close()
    with raises_exactly(exc, message):
        call(store, bad_id)


# Every method of collections, queries and objects goes through the store's slot.
ALL_CALLS = [c for _, c in ID_METHODS] + [
    lambda s, i: s.get_object_chunk(i, 2**64 - 1, 0),
    lambda s, i: s.put_object(b"x"),
    lambda s, i: s.put_object_with_metadata(b"x", {}),
    lambda s, i: s.resolve_object_ref(b"ns", b"n"),
    lambda s, i: s.unlink_object(b"ns", b"n"),
    lambda s, i: s.list_object_refs(b"ns"),
    lambda s, i: s.gc_orphan_objects(),
    lambda s, i: s.purge_expired_objects(0),
    lambda s, i: s.create_collection(b"c"),
    lambda s, i: s.define_index(b"c", b"i"),
    lambda s, i: s.upsert_record(b"c", b"k", b"v"),
    lambda s, i: s.get_record(b"c", b"k"),
    lambda s, i: s.delete_record(b"c", b"k"),
    lambda s, i: s.scan_collection(b"c"),
    lambda s, i: s.collection_definition(b"c"),
    lambda s, i: s.collection_migrations(b"c"),
    lambda s, i: s.migrate_collection_schema(b"c", 1, 2),
    lambda s, i: s.query_index_exact(b"c", b"i", b"v"),
    lambda s, i: s.query_index_range(b"c", b"i"),
]


@pytest.mark.parametrize("call", ALL_CALLS)
@pytest.mark.parametrize("state", ["closed", "busy"])
def test_a_closed_or_busy_store_refuses_every_call(store, call, state):
    if state == "closed":
        store.close()
        with raises_exactly(_native.StoreClosedError, "store is closed"):
            call(store, oid(b"x"))
        return
    t = store.transaction()
    with raises_exactly(_native.StoreBusyError, "store is exclusively borrowed by an active transaction"):
        call(store, oid(b"x"))
    t.rollback()


# ---- references ----


def test_references_link_replace_resolve_unlink(store, store_path):
    a, b = store.put_object(b"A"), store.put_object(b"B")
    assert store.resolve_object_ref(b"ns", b"n") is None
    store.link_object(b"ns", b"n", a)
    assert store.get(ref_key(b"ns", b"n")) == a and len(ref_key(b"ns", b"n")) == 21 + 3
    store.link_object(b"ns", b"n", b)
    assert store.resolve_object_ref(b"ns", b"n") == b and store.resolve_object_ref(b"ns2", b"n") is None
    before = snapshot(store_path)
    assert store.unlink_object(b"ns", b"other") is False
    assert snapshot(store_path) == before  # an absent reference costs nothing
    assert store.unlink_object(b"ns", b"n") is True and store.resolve_object_ref(b"ns", b"n") is None
    assert store.get_object(b) == b"B"  # the object waits for collection


@pytest.mark.parametrize("namespace, name", [(b"", b"n"), (b"ns", b""), (b"", b"")], ids=["namespace", "name", "both"])
def test_empty_reference_parts_are_refused(store, store_path, namespace, name):
    id_ = store.put_object(b"x")
    before = snapshot(store_path)
    for call in (lambda: store.link_object(namespace, name, id_), lambda: store.resolve_object_ref(namespace, name),
                 lambda: store.unlink_object(namespace, name)):
        with raises_exactly(Error, EMPTY_REF):
            call()
    if not namespace:
        with raises_exactly(Error, EMPTY_REF):
            store.list_object_refs(namespace)
    assert snapshot(store_path) == before


@pytest.fixture
def named(store):
    ids = {}
    for name in (b"b", b"ab", b"a", b"\xff", b"a\x00", b"ba"):
        ids[name] = store.put_object(name)
        store.link_object(b"ns", name, ids[name])
    store.link_object(b"n", b"a", ids[b"b"])  # a shorter namespace that prefixes "ns"
    store.link_object(b"nss", b"a", ids[b"b"])
    return store, ids


@pytest.mark.parametrize(
    "prefix, names",
    [
        (None, [b"a", b"a\x00", b"ab", b"b", b"ba", b"\xff"]),
        (b"", [b"a", b"a\x00", b"ab", b"b", b"ba", b"\xff"]),
        (b"a", [b"a", b"a\x00", b"ab"]),
        (bytearray(b"b"), [b"b", b"ba"]),
        ([0xFF], [b"\xff"]),
        (b"ab", [b"ab"]),
        (b"abc", []),
    ],
    ids=["none", "empty", "a", "bytearray-b", "int-sequence", "ab", "no-match"],
)
def test_listing_is_sorted_by_name_and_stays_in_its_namespace(named, prefix, names):
    store, ids = named
    assert store.list_object_refs(b"ns", prefix) == [(n, ids[n]) for n in names]
    assert store.list_object_refs(b"ns", name_prefix=prefix) == [(n, ids[n]) for n in names]


def test_listing_argument_types(named):
    store, _ = named
    assert store.list_object_refs(b"missing") == []
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        store.list_object_refs(b"ns", "a")
    with pytest.raises(TypeError):
        store.list_object_refs(bytearray(b"ns"))


# ---- collection and purge ----


@pytest.fixture
def four(store):
    """Three unreferenced objects (one with metadata) and one referenced, ids in sorted order."""
    contents = sorted([b"one", b"two", b"three", b"four"], key=oid)
    ids = [store.put_object(c) for c in contents[:3]]
    store.put_object_with_metadata(contents[1], {"ignored": "first write wins"})
    store.put_object_with_metadata(contents[3], {"m": "v"})
    ids.append(oid(contents[3]))
    store.link_object(b"keep", b"it", ids[0])
    store.link_object(b"keep", b"again", ids[0])  # one id, counted once
    return store, ids


@pytest.mark.parametrize("limit, removed", [(0, 0), (1, 1), (2, 2), (3, 3), (100, 3)])
def test_gc_removes_unreferenced_objects_in_id_order(four, store_path, limit, removed):
    store, ids = four
    size = store_path.stat().st_size
    report = store.gc_orphan_objects(limit)
    assert list(report) == ["scanned", "referenced", "removed"]
    assert report == {"scanned": 4, "referenced": 1, "removed": removed}
    gone = ids[1:1 + removed]
    assert [store.get_object(i) is None for i in ids] == [i in gone for i in ids]
    assert all(store.get(META_PREFIX + i) is None for i in gone)
    records = new_records(store_path, size)
    if removed == 0:
        assert records == []  # limit 0 only reports; nothing to remove writes nothing either
        return
    # Data and metadata keys deleted together, in one transaction.
    deleted = [p[4:4 + 46] for kind, _, _, p in records if kind == sf.DELETE]
    assert deleted == [key for i in gone for key in (DATA_PREFIX + i, META_PREFIX + i)]
    assert len({tx for _, tx, _, _ in records}) == 1 and records[-1][0] == sf.COMMIT


def test_gc_without_orphans_writes_nothing(store, store_path):
    store.link_object(b"ns", b"n", store.put_object(b"x"))
    before = snapshot(store_path)
    assert store.gc_orphan_objects() == {"scanned": 1, "referenced": 1, "removed": 0}
    assert store.gc_orphan_objects(0) == {"scanned": 1, "referenced": 1, "removed": 0}
    assert snapshot(store_path) == before


@pytest.fixture
def expiring(store):
    """Objects expiring at 5, 10, 10 (referenced) and 20, one with other metadata, one with none."""
    made = {}
    for name, meta in [("at5", {"expires_at_unix": "5"}), ("at10", {"expires_at_unix": "10", "x": "y"}),
                       ("at10-linked", {"expires_at_unix": "+10"}), ("at20", {"expires_at_unix": "20"}),
                       ("other", {"x": "y"}), ("none", None)]:
        content = name.encode()
        made[name] = store.put_object(content) if meta is None else store.put_object_with_metadata(content, meta)
    store.link_object(b"ns", b"linked", made["at10-linked"])
    return store, made


@pytest.mark.parametrize(
    "now, limit, expected, removed",
    [
        (4, 100, {"scanned": 6, "expired": 0, "referenced": 0, "removed": 0}, []),
        (5, 100, {"scanned": 6, "expired": 1, "referenced": 0, "removed": 1}, ["at5"]),
        (10, 100, {"scanned": 6, "expired": 3, "referenced": 1, "removed": 2}, ["at5", "at10"]),
        (10, 0, {"scanned": 6, "expired": 3, "referenced": 1, "removed": 2}, ["at5", "at10"]),
        (2**63 - 1, 0, {"scanned": 6, "expired": 4, "referenced": 1, "removed": 3}, ["at5", "at10", "at20"]),
        (-(2**63), 0, {"scanned": 6, "expired": 0, "referenced": 0, "removed": 0}, []),
    ],
    ids=["before-all", "equal-is-expired", "referenced-stays", "limit-0-is-unlimited", "max", "min"],
)
def test_purge_removes_expired_unreferenced_objects(expiring, now, limit, expected, removed):
    store, made = expiring
    report = store.purge_expired_objects(now, limit)
    assert list(report) == ["scanned", "expired", "referenced", "removed"] and report == expected
    assert sorted(n for n, i in made.items() if store.get_object(i) is None) == sorted(removed)
    assert all(store.get(META_PREFIX + made[n]) is None for n in removed)


def test_purge_limit_takes_the_first_in_id_order_and_counts_the_rest(expiring):
    store, made = expiring
    first = min(("at5", "at10", "at20"), key=lambda n: made[n])
    assert store.purge_expired_objects(100, 1) == {"scanned": 6, "expired": 4, "referenced": 1, "removed": 1}
    assert [n for n in ("at5", "at10", "at20") if store.get_object(made[n]) is None] == [first]
    assert store.purge_expired_objects(100, 1)["removed"] == 1


def test_limit_0_means_report_only_for_gc_but_no_limit_for_purge(store):
    for i in range(150):
        store.put_object_with_metadata(b"%d" % i, {"expires_at_unix": "0"})
    assert store.gc_orphan_objects(0) == {"scanned": 150, "referenced": 0, "removed": 0}
    assert store.purge_expired_objects(0, 0) == {"scanned": 150, "expired": 150, "referenced": 0, "removed": 150}
    assert store.scan_prefix(b"\xffomb:obj:") == []


@pytest.mark.parametrize(
    "text, expires_at",
    [("+5", 5), ("-5", -5), ("0", 0), ("-0", 0), ("007", 7), ("9223372036854775807", 2**63 - 1),
     ("-9223372036854775808", -(2**63))],
)
def test_expiry_texts_that_parse(store, text, expires_at):
    store.put_object_with_metadata(b"x", {"expires_at_unix": text})
    if expires_at > -(2**63):
        assert store.purge_expired_objects(expires_at - 1)["removed"] == 0
    assert store.purge_expired_objects(expires_at)["removed"] == 1


BAD_EXPIRY = [" 5", "5 ", "", "+", "-", "+-5", "--5", "1e3", "5.0", "0x10", "9223372036854775808",
              "-9223372036854775809", "\u0663", "５"]


@pytest.mark.parametrize("text", BAD_EXPIRY)
def test_a_bad_expiry_fails_the_purge_and_removes_nothing(store, store_path, text):
    for i in range(3):  # expired neighbours on both sides in id order
        store.put_object_with_metadata(b"%d" % i, {"expires_at_unix": "1"})
    store.put_object_with_metadata(b"bad", {"expires_at_unix": text})
    before = snapshot(store_path)
    for limit in (0, 1, 100):
        with raises_exactly(Error, CORRUPT_META):
            store.purge_expired_objects(10, limit)
    assert snapshot(store_path) == before
    assert store.object_info(oid(b"bad"))["metadata"] == {"expires_at_unix": text}


def test_expiry_key_must_match_exactly(store):
    store.put_object_with_metadata(b"x", {"Expires_at_unix": "1", "expires_at_unix ": "1", "expires_at": "1"})
    assert store.purge_expired_objects(10) == {"scanned": 1, "expired": 0, "referenced": 0, "removed": 0}


# ---- engine failures underneath ----


def test_engine_failure_of_a_put_is_a_store_error_and_stores_nothing(open_store):
    # The data record (109 value bytes) fits the namespace quota, with its metadata (114) it does not;
    # the two change records take 2 * (59 + 46) bytes of "internal:cdc".
    s = open_store(namespace_max_bytes=215)
    with raises_exactly(Error, "store error: store namespace quota exceeded for internal:obj: maximum 215 value bytes"):
        s.put_object_with_metadata(b"c" * 100, {"m": "v" * 100})
    # The object was not left behind without its metadata: a retry stores both.
    assert s.get_object(oid(b"c" * 100)) is None
    s.close()
    s = open_store(namespace_max_bytes=1000)
    s.put_object_with_metadata(b"c" * 100, {"m": "v" * 100})
    assert s.object_info(oid(b"c" * 100))["metadata"] == {"m": "v" * 100}


def test_storage_quota_during_a_link_is_a_store_error(open_store):
    s = open_store()
    id_ = s.put_object(b"x")
    s.close()
    s = open_store(max_bytes=1)
    with raises_exactly(Error, "store error: store storage quota exceeded: maximum 1 bytes"):
        s.link_object(b"ns", b"n", id_)
    assert s.resolve_object_ref(b"ns", b"n") is None


# ---- damaged records ----


def _replace(data: bytes, offset: int, new: bytes) -> bytes:
    return data[:offset] + new + data[offset + len(new):]


GOOD = data_value(b"abcd")


@pytest.mark.parametrize(
    "bad",
    [b"", b"\x01" + bytes(7), b"\x01" + bytes(8) + b"x", _replace(GOOD, 0, b"\x02"), GOOD[:-1], GOOD + b"\x00",
     _replace(GOOD, 1, struct.pack("<Q", 2**64 - 1))],
    ids=["empty", "8-bytes", "length-0-with-content", "version-2", "short", "trailing", "length-max"],
)
def test_a_malformed_data_record_is_refused_by_every_read(store_path, bad):
    data = craft(store_path, {data_key(b"abcd"): bad})
    id_ = oid(b"abcd")
    with Store.open(str(store_path)) as s:
        for call in (s.get_object, s.get_object_chunk, lambda i: s.get_object_chunk(i, 0, 0), s.object_info,
                     s.verify_object, lambda i: s.link_object(b"ns", b"n", i)):
            with raises_exactly(Error, CORRUPT_DATA):
                call(id_)
        assert s.put_object(b"abcd") == id_  # the key is live: nothing is written
    assert store_path.read_bytes() == data


def test_verify_detects_content_that_no_longer_matches_its_id(store_path):
    craft(store_path, {data_key(b"abcd"): data_value(b"abce"), data_key(b"good"): data_value(b"good")})
    with Store.open(str(store_path)) as s:
        assert s.verify_object(oid(b"abcd")) is False and s.verify_object(oid(b"good")) is True
        assert s.get_object(oid(b"abcd")) == b"abce"  # reads return what is stored


META_GOOD = meta_value([(b"a", b"1"), (b"b", b"2")])


@pytest.mark.parametrize(
    "bad, error",
    [
        pytest.param(b"\x01\x00\x00\x00", CORRUPT_META, id="4-bytes"),
        pytest.param(_replace(META_GOOD, 0, b"\x02"), CORRUPT_META, id="version-2"),
        pytest.param(_replace(META_GOOD, 1, struct.pack("<I", 3)), CORRUPT_META, id="count-too-big"),
        pytest.param(_replace(META_GOOD, 1, struct.pack("<I", 0xFFFFFFFF)), CORRUPT_META, id="count-max"),
        pytest.param(_replace(META_GOOD, 1, struct.pack("<I", 1)), CORRUPT_META, id="count-too-small"),
        pytest.param(META_GOOD[:-1], CORRUPT_META, id="truncated-value"),
        pytest.param(META_GOOD + b"\x00", CORRUPT_META, id="trailing"),
        pytest.param(_replace(META_GOOD, 5, struct.pack("<I", 2**31)), CORRUPT_META, id="key-length-huge"),
        pytest.param(meta_value([(b"a", b"1"), (b"a", b"2")]), DUPLICATE, id="duplicate"),
        pytest.param(meta_value([(b"b", b"1"), (b"a", b"2"), (b"b", b"3")]), DUPLICATE, id="unsorted-duplicate"),
        pytest.param(meta_value([(b"a", b"1"), (b"a", b"2"), (b"b", bytes(65537))]), DUPLICATE,
                     id="duplicate-before-too-large"),
        pytest.param(meta_value([(b"", b"1")]), TOO_LARGE, id="empty-key"),
        pytest.param(meta_value([(b"a", bytes(65537))]), TOO_LARGE, id="value-too-large"),
        pytest.param(meta_value([(b"expires_at_unix", b"\xff1")]), CORRUPT_META, id="expiry-not-utf8"),
    ],
)
def test_a_malformed_metadata_record_is_refused(store_path, bad, error):
    content = b"abcd"
    data = craft(store_path, {data_key(content): data_value(content), meta_key(content): bad,
                              data_key(b"orphan"): data_value(b"orphan")})
    with Store.open(str(store_path)) as s:
        if b"expires_at_unix" not in bad:
            with raises_exactly(Error, error):
                s.object_info(oid(content))
        with raises_exactly(Error, error):
            s.purge_expired_objects(2**63 - 1, 0)
        assert s.get_object(oid(content)) == content  # the data record itself is fine
    assert store_path.read_bytes() == data


def test_metadata_text_is_decoded_with_replacement(store_path):
    craft(store_path, {data_key(b"x"): data_value(b"x"), meta_key(b"x"): meta_value([(b"k\xff", b"\xc3")])})
    with Store.open(str(store_path)) as s:
        assert s.object_info(oid(b"x"))["metadata"] == {"k\ufffd": "\ufffd"}


def _orphans():
    return {data_key(bytes([i])): data_value(bytes([i])) for i in range(5)}


@pytest.mark.parametrize(
    "records, error",
    [
        pytest.param({ref_key(b"ns", b"n"): bytes(31)}, CORRUPT_REF, id="short-reference"),
        pytest.param({ref_key(b"zz", b"n"): bytes(33)}, CORRUPT_REF, id="long-reference"),
        pytest.param({DATA_PREFIX + b"\xff" * 33: data_value(b"x")}, CORRUPT_DATA, id="data-key-47"),
        pytest.param({DATA_PREFIX + b"\xff" * 31: data_value(b"x")}, CORRUPT_DATA, id="data-key-45"),
    ],
)
@pytest.mark.parametrize("call", ["gc", "purge"])
def test_a_corrupt_record_stops_gc_and_purge_before_anything_is_deleted(store_path, records, error, call):
    # Expired orphans whose ids sort before the bad record (all data keys of 0xFF come last).
    expired = {META_PREFIX + k[len(DATA_PREFIX):]: meta_value([(b"expires_at_unix", b"1")]) for k in _orphans()}
    data = craft(store_path, {**_orphans(), **expired, **records})
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, error):
            s.gc_orphan_objects(100) if call == "gc" else s.purge_expired_objects(10, 0)
        assert len(s.scan_prefix(DATA_PREFIX)) == 6 - (error == CORRUPT_REF)
    assert store_path.read_bytes() == data


def test_gc_stops_its_walk_at_the_limit(store_path):
    craft(store_path, {**_orphans(), DATA_PREFIX + b"\xff" * 33: data_value(b"x")})
    with Store.open(str(store_path)) as s:
        assert s.gc_orphan_objects(0) == {"scanned": 6, "referenced": 0, "removed": 0}
        assert s.gc_orphan_objects(5) == {"scanned": 6, "referenced": 0, "removed": 5}
        with raises_exactly(Error, CORRUPT_DATA):
            s.gc_orphan_objects(1)


@pytest.mark.parametrize(
    "key, value",
    [
        pytest.param(ref_key(b"ns", b"n") + b"x", bytes(32), id="name-shorter-than-key"),
        pytest.param(ref_key(b"ns", b"n")[:-1], bytes(32), id="name-cut-off"),
        pytest.param(REF_PREFIX + struct.pack(">I", 2) + b"ns", bytes(32), id="no-name-length"),
        pytest.param(ref_key(b"ns", b"n"), bytes(31), id="short-value"),
    ],
)
def test_a_corrupt_reference_is_refused_by_listing(store_path, key, value):
    craft(store_path, {key: value, ref_key(b"ns", b"ok"): bytes(32)})
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, CORRUPT_REF):
            s.list_object_refs(b"ns")
        if key == ref_key(b"ns", b"n"):
            with raises_exactly(Error, CORRUPT_REF):
                s.resolve_object_ref(b"ns", b"n")
            # A bad value is only read for a name that the prefix keeps.
            assert s.list_object_refs(b"ns", b"o") == [(b"ok", bytes(32))]
