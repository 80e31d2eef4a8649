"""Tour of content-addressed objects: a blob stored under its SHA-256, read in chunks, named by
a reference, kept by it through a collection, then collected once the reference is gone."""

import hashlib
from pathlib import Path

from ombrel_store import OmbrelStoreError, Store


def tour(workdir, step, check):
    path = Path(workdir) / "objects.ombrel"
    with Store.open(path) as store:
        step("content-addressed objects")
        report = b"quarterly report\n" * 4096  # 69,632 bytes
        report_id = store.put_object_with_metadata(report, {"content-type": "text/plain", "author": "Ada"})
        print(f"   put_object_with_metadata -> id {report_id.hex()[:16]}...")
        check(report_id == hashlib.sha256(report).digest(), "the id is the SHA-256 of the content")
        check(store.put_object_with_metadata(report, {"author": "someone else"}) == report_id,
              "putting the same content again returns the same id")
        info = store.object_info(report_id)
        print(f"   object_info: size {info['size']:,}, metadata {info['metadata']}")
        check(info["metadata"]["author"] == "Ada", "the object keeps the metadata of its first put")

        chunks = []
        offset = 0
        while chunk := store.get_object_chunk(report_id, offset, 16384):
            chunks.append(chunk)
            offset += len(chunk)
        print(f"   read back in {len(chunks)} chunks of at most 16,384 bytes")
        check(b"".join(chunks) == report and store.verify_object(report_id),
              "the chunks reassemble the content, and the stored content still matches its id")

        step("a named reference")
        store.link_object(b"reports", b"2024-q1", report_id)
        draft_id = store.put_object(b"an unreferenced draft")
        for name, target in store.list_object_refs(b"reports"):
            print(f"   reference b'reports' / {name!r} -> {target.hex()[:16]}...")
        check(store.resolve_object_ref(b"reports", b"2024-q1") == report_id,
              "resolve_object_ref(b'reports', b'2024-q1') returns the report's id")
        try:
            store.link_object(b"reports", b"missing", hashlib.sha256(b"never stored").digest())
        except OmbrelStoreError as exc:
            print(f"   OmbrelStoreError: {exc}")
        else:
            check(False, "linking to an object that is not stored is refused")

        step("collection keeps what a reference names")
        gc = store.gc_orphan_objects()
        print(f"   gc_orphan_objects() -> {gc}")
        check(gc == {"scanned": 2, "referenced": 1, "removed": 1}, "only the unreferenced draft was collected")
        check(store.get_object(draft_id) is None and store.get_object(report_id) == report,
              "the draft is gone, the report is still there")

        step("unlink, then collect")
        check(store.unlink_object(b"reports", b"2024-q1"), "unlink_object returns True for a reference it removed")
        check(store.gc_orphan_objects(limit=0)["removed"] == 0, "limit=0 only reports: nothing is removed")
        gc = store.gc_orphan_objects()
        print(f"   gc_orphan_objects() -> {gc}")
        check(gc["removed"] == 1 and store.get_object(report_id) is None, "the report is collected")

        step("expiry")
        store.put_object_with_metadata(b"session token", {"expires_at_unix": "1700000000"})
        purge = store.purge_expired_objects(1699999999)
        check(purge["expired"] == 0, "not yet expired one second before its time")
        purge = store.purge_expired_objects(1700000000)
        print(f"   purge_expired_objects(1700000000) -> {purge}")
        check(purge["removed"] == 1, "expired at its own second, and purged")
