"""Content-addressed objects: dedup by SHA-256, first-write metadata, chunked reads, references,
orphan collection, expiry purge, and damaged records crafted byte by byte."""

from __future__ import annotations

import hashlib
import struct

import pytest

import storefile as sf
from expect import raises_exactly, snapshot
from ombrel_store import _native

Store = _native.Store
Error = _native.OmbrelStoreError

DATA, META, REF = b"\xffomb:obj:data:", b"\xffomb:obj:meta:", b"\xffomb:obj:ref:"
NOT_FOUND = "object does not exist"
CORRUPT_DATA = "object data is corrupt or unsupported"
CORRUPT_REF = "object reference is corrupt"
EMPTY_REF = "object reference namespace/name must not be empty"
TOO_LARGE = "object metadata is too large or invalid"
DUPLICATE = "object metadata contains a duplicate key"
CORRUPT_META = "object metadata is corrupt or unsupported"


def oid(content):
    return hashlib.sha256(content).digest()


def ref_key(ns, name):
    return REF + struct.pack(">I", len(ns)) + ns + struct.pack(">I", len(name)) + name


def data_value(content):
    return b"\x01" + struct.pack("<Q", len(content)) + content


def meta_value(pairs):
    return b"\x01" + struct.pack("<I", len(pairs)) + b"".join(
        struct.pack("<II", len(k), len(v)) + k + v for k, v in pairs)


def put(store, content, meta=None):
    return store.put_object(content) if meta is None else store.put_object_with_metadata(content, meta)


# ---- put and the stored records ----


@pytest.mark.parametrize("first", [None, {"a": "1"}])
@pytest.mark.parametrize("second", [None, {"a": "2", "b": "x"}])
def test_same_content_is_stored_once_with_the_first_metadata(store, store_path, first, second):
    assert put(store, b"abc", first) == oid(b"abc")
    size = store_path.stat().st_size
    assert put(store, b"abc", second) == oid(b"abc") and store_path.stat().st_size == size
    assert store.scan_prefix(DATA) == [(DATA + oid(b"abc"), data_value(b"abc"))]
    assert store.object_info(oid(b"abc"))["metadata"] == (first or {})


def test_a_new_object_is_written_in_one_transaction_with_its_metadata(open_store, store_path):
    s = open_store()
    size = store_path.stat().st_size
    meta = {"z": "last", "expires_at_unix": "5", "é": "ü"}
    assert s.put_object_with_metadata(b"abcd", meta) == oid(b"abcd")
    records = sf.parse_records(store_path.read_bytes(), size)
    assert {r[1] for r in records} == {1} and [r[0] for r in records].count(sf.COMMIT) == 1
    assert s.get(DATA + oid(b"abcd")) == data_value(b"abcd")
    assert s.get(META + oid(b"abcd")) == meta_value(
        [(b"expires_at_unix", b"5"), (b"z", b"last"), ("é".encode(), "ü".encode())])
    s.close()
    s = open_store()
    info = s.object_info(oid(b"abcd"))
    assert info == {"id": oid(b"abcd"), "size": 4, "metadata": meta}
    assert list(info) == ["id", "size", "metadata"] and list(info["metadata"]) == ["expires_at_unix", "z", "é"]


@pytest.mark.parametrize("meta", [None, {}])
def test_empty_content_and_no_metadata_record(store, meta):
    id_ = put(store, b"", meta)
    assert id_ == hashlib.sha256(b"").digest() and store.get(DATA + id_) == b"\x01" + bytes(8)
    assert store.get(META + id_) is None and store.get_object(id_) == b"" == store.get_object_chunk(id_)
    assert store.object_info(id_) == {"id": id_, "size": 0, "metadata": {}} and store.verify_object(id_)


def _total(n):
    """Four entries whose keys and values add up to `n` bytes."""
    return {f"k{i}": "v" * size for i, size in enumerate([65536, 65536, 65536, n - 8 - 3 * 65536])}


@pytest.mark.parametrize("meta, exc, message", [
    ({"k" * 4096: "v"}, None, None), ({"k" * 4097: "v"}, Error, TOO_LARGE),
    ({"é" * 2048: "v"}, None, None), ({"é" * 2048 + "k": "v"}, Error, TOO_LARGE),
    ({"": "v"}, Error, TOO_LARGE), ({"k": ""}, None, None),
    ({"k": "v" * 65536}, None, None), ({"k": "v" * 65537}, Error, TOO_LARGE),
    (_total(262144), None, None), (_total(262145), Error, TOO_LARGE),
    ([("k", "v")], TypeError, None), ({b"k": "v"}, TypeError, None), ({"k": b"v"}, TypeError, None),
    ({"k": "\udc80"}, UnicodeEncodeError, None),
])
@pytest.mark.parametrize("existing", [False, True])
def test_metadata_is_checked_before_anything(store, store_path, meta, exc, message, existing):
    if existing:
        store.put_object(b"content")
    if exc is None:
        assert store.put_object_with_metadata(b"content", meta) == oid(b"content")
        assert store.object_info(oid(b"content"))["metadata"] == ({} if existing else meta)
        return
    before = snapshot(store_path)
    with raises_exactly(exc, message):
        store.put_object_with_metadata(b"content", meta)
    assert snapshot(store_path) == before and (store.get_object(oid(b"content")) is not None) == existing


# ---- reads ----


BIG = bytes(range(256)) * 1024


@pytest.mark.parametrize("content, args, expected", [
    (b"abcd", (), b"abcd"), (b"abcd", (1, 2), b"bc"), (b"abcd", (0, 0), b""), (b"abcd", (3,), b"d"),
    (b"abcd", (4,), b""), (b"abcd", (10,), b""), (b"abcd", (10, 0), b""), (b"abcd", (3, 2**64 - 1), b"d"),
    (b"abcd", (2**64 - 1, 2**64 - 1), b""), (BIG, (), BIG[:65536]), (BIG, (65536 * 3, 65537), BIG[65536 * 3:]),
])
def test_chunk_bounds(store, content, args, expected):
    assert store.get_object_chunk(store.put_object(content), *args) == expected


def test_absent_objects(store, store_path):
    missing = oid(b"never stored")
    before = snapshot(store_path)
    assert store.get_object(missing) is None and store.get_object_chunk(missing, 0, 0) is None
    assert store.object_info(missing) is None and store.verify_object(missing) is False
    for ns, name in [(b"ns", b"n"), (b"", b"")]:  # existence is checked before the name
        with raises_exactly(Error, NOT_FOUND):
            store.link_object(ns, name, missing)
    assert store.gc_orphan_objects() == {"scanned": 0, "referenced": 0, "removed": 0}
    assert store.purge_expired_objects(0) == {"scanned": 0, "expired": 0, "referenced": 0, "removed": 0}
    assert snapshot(store_path) == before


ID_CALLS = [
    lambda s, i: s.get_object(i), lambda s, i: s.get_object_chunk(i, 0, 1), lambda s, i: s.object_info(i),
    lambda s, i: s.verify_object(i), lambda s, i: s.link_object(b"ns", b"n", i),
]


@pytest.mark.parametrize("call", ID_CALLS)
@pytest.mark.parametrize("length", [0, 31, 33])
@pytest.mark.parametrize("closed", [False, True])
def test_object_ids_are_checked_before_the_store_is_touched(store, call, length, closed):
    if closed:
        store.close()
    with raises_exactly(Error, "object id must be exactly 32 bytes"):
        call(store, bytes(length))


# ---- references ----


def test_references_link_replace_resolve_unlink(store, store_path):
    a, b = store.put_object(b"A"), store.put_object(b"B")
    assert store.resolve_object_ref(b"ns", b"n") is None and store.list_object_refs(b"missing") == []
    store.link_object(b"ns", b"n", a)
    assert store.get(ref_key(b"ns", b"n")) == a and len(ref_key(b"ns", b"n")) == 21 + 3
    store.link_object(b"ns", b"n", b)
    assert store.resolve_object_ref(b"ns", b"n") == b and store.resolve_object_ref(b"ns2", b"n") is None
    before = snapshot(store_path)
    assert store.unlink_object(b"ns", b"other") is False and snapshot(store_path) == before
    assert store.unlink_object(b"ns", b"n") is True and store.resolve_object_ref(b"ns", b"n") is None
    assert store.get_object(b) == b"B"  # the object waits for collection


@pytest.mark.parametrize("ns, name", [(b"", b"n"), (b"ns", b""), (b"", b"")])
def test_empty_reference_parts_are_refused(store, store_path, ns, name):
    id_ = store.put_object(b"x")
    before = snapshot(store_path)
    calls = [lambda: store.link_object(ns, name, id_), lambda: store.resolve_object_ref(ns, name),
             lambda: store.unlink_object(ns, name)] + ([lambda: store.list_object_refs(ns)] if not ns else [])
    for call in calls:
        with raises_exactly(Error, EMPTY_REF):
            call()
    assert snapshot(store_path) == before


ALL_NAMES = [b"a", b"a\x00", b"ab", b"b", b"ba", b"\xff"]


@pytest.mark.parametrize("prefix, names", [
    (None, ALL_NAMES), (b"", ALL_NAMES), (b"a", [b"a", b"a\x00", b"ab"]), (b"b", [b"b", b"ba"]), (b"\xff", [b"\xff"]),
    (b"ab", [b"ab"]), (b"abc", []),
])
def test_listing_is_sorted_by_name_and_stays_in_its_namespace(store, prefix, names):
    ids = {}
    for name in (b"b", b"ab", b"a", b"\xff", b"a\x00", b"ba"):
        store.link_object(b"ns", name, ids.setdefault(name, store.put_object(name)))
    store.link_object(b"n", b"a", ids[b"b"])  # namespaces that prefix or extend "ns"
    store.link_object(b"nss", b"a", ids[b"b"])
    assert store.list_object_refs(b"ns", name_prefix=prefix) == [(n, ids[n]) for n in names]


# ---- collection and purge ----


@pytest.fixture
def four(store):
    """Three unreferenced objects (one with metadata) and one referenced twice, ids ascending."""
    contents = sorted([b"one", b"two", b"three", b"four"], key=oid)
    ids = [store.put_object(c) for c in contents[:3]]
    store.put_object_with_metadata(contents[1], {"ignored": "first write wins"})
    ids.append(store.put_object_with_metadata(contents[3], {"m": "v"}))
    store.link_object(b"keep", b"it", ids[0])
    store.link_object(b"keep", b"again", ids[0])
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
    assert all(store.get(META + i) is None for i in gone)
    records = sf.parse_records(store_path.read_bytes(), size)
    # Data and metadata keys of each orphan deleted together, in one transaction; limit 0 writes nothing.
    assert [p[4:4 + 46] for kind, _, _, p in records if kind == sf.DELETE] == [
        key for i in gone for key in (DATA + i, META + i)]
    assert len({r[1] for r in records}) == (removed > 0) and (not records or records[-1][0] == sf.COMMIT)


@pytest.fixture
def expiring(store):
    """Objects expiring at 5, 10, 10 (referenced) and 20, one with near-miss keys, one without metadata."""
    made = {name: put(store, name.encode(), meta) for name, meta in [
        ("at5", {"expires_at_unix": "5"}), ("at10", {"expires_at_unix": "10", "x": "y"}),
        ("at10-linked", {"expires_at_unix": "+10"}), ("at20", {"expires_at_unix": "20"}),
        ("other", {"Expires_at_unix": "1", "expires_at_unix ": "1", "expires_at": "1"}), ("none", None)]}
    store.link_object(b"ns", b"linked", made["at10-linked"])
    return store, made


@pytest.mark.parametrize("now, limit, counts, removed", [
    (4, 100, (0, 0, 0), []), (5, 100, (1, 0, 1), ["at5"]), (10, 100, (3, 1, 2), ["at10", "at5"]),
    (10, 0, (3, 1, 2), ["at10", "at5"]), (2**63 - 1, 0, (4, 1, 3), ["at10", "at20", "at5"]),
    (-(2**63), 0, (0, 0, 0), []), (100, 1, (4, 1, 1), None),  # None: the first in id order, the rest counted
])
def test_purge_removes_expired_unreferenced_objects(expiring, now, limit, counts, removed):
    store, made = expiring
    report = store.purge_expired_objects(now, limit)
    assert list(report) == ["scanned", "expired", "referenced", "removed"]
    assert report == dict(zip(report, (6, *counts)))
    if removed is None:
        removed = [min(("at5", "at10", "at20"), key=lambda n: made[n])]
    assert sorted(n for n, i in made.items() if store.get_object(i) is None) == removed
    assert all(store.get(META + made[n]) is None for n in removed)


def test_limit_0_means_report_only_for_gc_but_no_limit_for_purge(store):
    for i in range(150):
        store.put_object_with_metadata(b"%d" % i, {"expires_at_unix": "0"})
    assert store.gc_orphan_objects(0) == {"scanned": 150, "referenced": 0, "removed": 0}
    assert store.purge_expired_objects(0, 0) == {"scanned": 150, "expired": 150, "referenced": 0, "removed": 150}
    assert store.scan_prefix(b"\xffomb:obj:") == []


@pytest.mark.parametrize("text, at", [
    ("+5", 5), ("-5", -5), ("0", 0), ("-0", 0), ("007", 7), ("9223372036854775807", 2**63 - 1),
    ("-9223372036854775808", -(2**63)),
] + [(bad, None) for bad in [" 5", "5 ", "", "+", "-", "+-5", "--5", "1e3", "5.0", "0x10", "9223372036854775808",
                             "-9223372036854775809", "\u0663", "５"]])
def test_expiry_texts(store, store_path, text, at):
    if at is not None:
        store.put_object_with_metadata(b"x", {"expires_at_unix": text})
        assert at == -(2**63) or store.purge_expired_objects(at - 1)["removed"] == 0
        assert store.purge_expired_objects(at)["removed"] == 1
        return
    for i in range(3):  # expired neighbours on both sides in id order
        store.put_object_with_metadata(b"%d" % i, {"expires_at_unix": "1"})
    store.put_object_with_metadata(b"bad", {"expires_at_unix": text})
    before = snapshot(store_path)
    for limit in (0, 1, 100):
        with raises_exactly(Error, CORRUPT_META):
            store.purge_expired_objects(10, limit)
    assert snapshot(store_path) == before


# ---- engine failures underneath ----


def test_engine_failures_are_store_errors_and_store_nothing(open_store):
    # The data record (109 value bytes) fits the namespace quota, with its metadata (114) it does not.
    s = open_store(namespace_max_bytes=215)
    with raises_exactly(Error, "store error: store namespace quota exceeded for internal:obj: maximum 215 value bytes"):
        s.put_object_with_metadata(b"c" * 100, {"m": "v" * 100})
    assert s.get_object(oid(b"c" * 100)) is None  # not left behind without its metadata
    s.close()
    s = open_store(namespace_max_bytes=1000)
    s.put_object_with_metadata(b"c" * 100, {"m": "v" * 100})
    assert s.object_info(oid(b"c" * 100))["metadata"] == {"m": "v" * 100}
    s.close()
    s = open_store(max_bytes=1)
    with raises_exactly(Error, "store error: store storage quota exceeded: maximum 1 bytes"):
        s.link_object(b"ns", b"n", oid(b"c" * 100))
    assert s.resolve_object_ref(b"ns", b"n") is None


# ---- damaged records ----


def _replace(data, offset, new):
    return data[:offset] + new + data[offset + len(new):]


GOOD = data_value(b"abcd")


@pytest.mark.parametrize("bad", [
    b"", b"\x01" + bytes(7), b"\x01" + bytes(8) + b"x", _replace(GOOD, 0, b"\x02"), GOOD[:-1], GOOD + b"\x00",
    _replace(GOOD, 1, struct.pack("<Q", 2**64 - 1)),
])
def test_a_malformed_data_record_is_refused_by_every_read(store_path, bad):
    data = sf.committed_file(store_path, {DATA + oid(b"abcd"): bad})
    id_ = oid(b"abcd")
    with Store.open(str(store_path)) as s:
        for call in (s.get_object, s.get_object_chunk, lambda i: s.get_object_chunk(i, 0, 0), s.object_info,
                     s.verify_object, lambda i: s.link_object(b"ns", b"n", i)):
            with raises_exactly(Error, CORRUPT_DATA):
                call(id_)
        assert s.put_object(b"abcd") == id_  # the key is live: nothing is written
    assert store_path.read_bytes() == data


def test_reads_return_what_is_stored(store_path):
    sf.committed_file(store_path, {DATA + oid(b"abcd"): data_value(b"abce"), DATA + oid(b"good"): data_value(b"good"),
                       META + oid(b"good"): meta_value([(b"k\xff", b"\xc3")])})
    with Store.open(str(store_path)) as s:
        assert s.verify_object(oid(b"abcd")) is False and s.verify_object(oid(b"good")) is True
        assert s.get_object(oid(b"abcd")) == b"abce"
        assert s.object_info(oid(b"good"))["metadata"] == {"k\ufffd": "\ufffd"}  # invalid UTF-8 replaced


META_GOOD = meta_value([(b"a", b"1"), (b"b", b"2")])


@pytest.mark.parametrize("bad, error", [
    (b"\x01\x00\x00\x00", CORRUPT_META), (_replace(META_GOOD, 0, b"\x02"), CORRUPT_META),
    (_replace(META_GOOD, 1, struct.pack("<I", 3)), CORRUPT_META),
    (_replace(META_GOOD, 1, struct.pack("<I", 0xFFFFFFFF)), CORRUPT_META),
    (_replace(META_GOOD, 1, struct.pack("<I", 1)), CORRUPT_META), (META_GOOD[:-1], CORRUPT_META),
    (META_GOOD + b"\x00", CORRUPT_META), (_replace(META_GOOD, 5, struct.pack("<I", 2**31)), CORRUPT_META),
    (meta_value([(b"a", b"1"), (b"a", b"2")]), DUPLICATE),
    (meta_value([(b"b", b"1"), (b"a", b"2"), (b"b", b"3")]), DUPLICATE),
    (meta_value([(b"a", b"1"), (b"a", b"2"), (b"b", bytes(65537))]), DUPLICATE),
    (meta_value([(b"", b"1")]), TOO_LARGE), (meta_value([(b"a", bytes(65537))]), TOO_LARGE),
    (meta_value([(b"expires_at_unix", b"\xff1")]), CORRUPT_META),
])
def test_a_malformed_metadata_record_is_refused(store_path, bad, error):
    data = sf.committed_file(store_path, {DATA + oid(b"abcd"): data_value(b"abcd"), META + oid(b"abcd"): bad,
                              DATA + oid(b"orphan"): data_value(b"orphan")})
    with Store.open(str(store_path)) as s:
        if b"expires_at_unix" not in bad:
            with raises_exactly(Error, error):
                s.object_info(oid(b"abcd"))
        with raises_exactly(Error, error):
            s.purge_expired_objects(2**63 - 1, 0)
        assert s.get_object(oid(b"abcd")) == b"abcd"
    assert store_path.read_bytes() == data


ORPHANS = {DATA + oid(bytes([i])): data_value(bytes([i])) for i in range(5)}


@pytest.mark.parametrize("records, error", [
    ({ref_key(b"ns", b"n"): bytes(31)}, CORRUPT_REF), ({ref_key(b"zz", b"n"): bytes(33)}, CORRUPT_REF),
    ({DATA + b"\xff" * 33: data_value(b"x")}, CORRUPT_DATA), ({DATA + b"\xff" * 31: data_value(b"x")}, CORRUPT_DATA),
])
@pytest.mark.parametrize("gc", [True, False])
def test_a_corrupt_record_stops_gc_and_purge_before_anything_is_deleted(store_path, records, error, gc):
    # Expired orphans whose ids sort before the bad record (data keys of 0xFF come last).
    expired = {META + k[len(DATA):]: meta_value([(b"expires_at_unix", b"1")]) for k in ORPHANS}
    data = sf.committed_file(store_path, {**ORPHANS, **expired, **records})
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, error):
            s.gc_orphan_objects(100) if gc else s.purge_expired_objects(10, 0)
        assert len(s.scan_prefix(DATA)) == 6 - (error == CORRUPT_REF)
    assert store_path.read_bytes() == data


def test_gc_stops_its_walk_at_the_limit(store_path):
    sf.committed_file(store_path, {**ORPHANS, DATA + b"\xff" * 33: data_value(b"x")})
    with Store.open(str(store_path)) as s:
        assert s.gc_orphan_objects(0) == {"scanned": 6, "referenced": 0, "removed": 0}
        assert s.gc_orphan_objects(5) == {"scanned": 6, "referenced": 0, "removed": 5}
        with raises_exactly(Error, CORRUPT_DATA):
            s.gc_orphan_objects(1)


@pytest.mark.parametrize("key, value", [
    (ref_key(b"ns", b"n") + b"x", bytes(32)), (ref_key(b"ns", b"n")[:-1], bytes(32)),
    (REF + struct.pack(">I", 2) + b"ns", bytes(32)), (ref_key(b"ns", b"n"), bytes(31)),
])
def test_a_corrupt_reference_is_refused_by_listing(store_path, key, value):
    sf.committed_file(store_path, {key: value, ref_key(b"ns", b"ok"): bytes(32)})
    with Store.open(str(store_path)) as s:
        with raises_exactly(Error, CORRUPT_REF):
            s.list_object_refs(b"ns")
        if key == ref_key(b"ns", b"n"):
            with raises_exactly(Error, CORRUPT_REF):
                s.resolve_object_ref(b"ns", b"n")
            assert s.list_object_refs(b"ns", b"o") == [(b"ok", bytes(32))]  # bad values outside the prefix are unread
