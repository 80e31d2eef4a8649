"""Collections, index queries and an explicit transaction, as a part of the demonstration.

`tour(workdir, step, check)` runs against a new store file in `workdir`; `step(title)` and
`check(ok, what)` are demo.py's.
"""

from __future__ import annotations

from pathlib import Path

from ombrel_store import OmbrelStoreError, Store

BOOKS = b"books"
# (isbn, title, author, year)
CATALOGUE = [
    (b"978-0", b"Dune", b"Herbert", b"1965"),
    (b"978-1", b"Neuromancer", b"Gibson", b"1984"),
    (b"978-2", b"Count Zero", b"Gibson", b"1986"),
    (b"978-3", b"Hyperion", b"Simmons", b"1989"),
    (b"978-4", b"Foundation", b"Asimov", b"1951"),
]


def tour(workdir, step, check):
    path = Path(workdir) / "records.ombrel"
    with Store.open(path) as store:
        step("a collection with a secondary index and a unique index")
        check(store.create_collection(BOOKS, codec=b"utf-8") is True, "create_collection(b'books') creates it")
        store.define_index(BOOKS, b"author")
        store.define_index(BOOKS, b"year")
        store.define_index(BOOKS, b"title", unique=True)
        for isbn, title, author, year in CATALOGUE:
            store.upsert_record(BOOKS, isbn, title, indexes=[(b"author", author), (b"year", year), (b"title", title)])
            print(f"   upsert {isbn!r}: {title!r} by {author!r}, {year!r}")
        check(store.get_record(BOOKS, b"978-0")[1] == b"Dune", "get_record returns the stored value")

        step("index queries")
        gibson = store.query_index_exact(BOOKS, b"author", b"Gibson")
        for isbn, title, _ in gibson:
            print(f"   author=Gibson -> {isbn!r} {title!r}")
        check([r[1] for r in gibson] == [b"Neuromancer", b"Count Zero"], "the exact query finds both Gibson books")
        eighties = store.query_index_range(BOOKS, b"year", start=b"1980", end=b"1990", end_inclusive=False)
        for year, (isbn, title, _) in eighties:
            print(f"   1980 <= year < 1990 -> {year!r} {title!r}")
        check([y for y, _ in eighties] == [b"1984", b"1986", b"1989"], "the range query is ordered by year")
        newest = store.query_index_range(BOOKS, b"year", descending=True, limit=1)
        check(newest[0][1][1] == b"Hyperion", "descending with limit=1 gives the newest book")
        try:
            store.upsert_record(BOOKS, b"978-9", b"Dune", indexes=[(b"title", b"Dune")])
            refused = False
        except OmbrelStoreError as error:
            refused = str(error) == "unique index violation"
            print(f"   a second b'Dune' is refused: {error}")
        check(refused, "the unique title index refuses another record with the same title")

        step("an explicit transaction: a record move and a plain key, all or nothing")
        with store.transaction() as tx:
            tx.delete_record(BOOKS, b"978-4")
            tx.upsert_record(BOOKS, b"978-5", b"Foundation", indexes=[(b"author", b"Asimov"), (b"year", b"1951"),
                                                                    (b"title", b"Foundation")])
            tx.put(b"catalogue:last-change", b"renumbered Foundation")
            check(tx.get(b"catalogue:last-change") == b"renumbered Foundation", "the transaction reads its own write")
        check(store.get_record(BOOKS, b"978-4") is None and store.get_record(BOOKS, b"978-5") is not None,
              "after the with block both record operations are committed")

        tx = store.transaction()
        tx.put(b"catalogue:last-change", b"never")
        tx.upsert_record(BOOKS, b"978-6", b"Dune", indexes=[(b"title", b"Dune")])
        try:
            tx.commit()
            failed = False
        except OmbrelStoreError as error:
            failed = True
            print(f"   commit failed: {error}")
        check(failed and store.get(b"catalogue:last-change") == b"renumbered Foundation",
              "a failing operation stops the commit and none of its writes is visible")

        step("schema migration")
        check(store.migrate_collection_schema(BOOKS, 1, 2, codec=b"json") is True, "version 1 -> 2 is applied")
        check(store.migrate_collection_schema(BOOKS, 1, 3) is False, "a stale expected version changes nothing")
        check(store.collection_definition(BOOKS) == (2, b"json") and store.collection_migrations(BOOKS)
              == [(1, 2, b"json")], "the definition and the migration log show version 2")

