"""The asyncio face: every Store and Transaction method as a coroutine on the store's own thread."""

import asyncio
import inspect
import pickle
import threading

import pytest

import ombrel_store
from ombrel_store import _native, _stubgen
from ombrel_store.aio import AsyncStore, AsyncTransaction


def run(coroutine):
    return asyncio.run(coroutine)


def test_store_calls_run_on_one_thread_that_is_not_the_loops(store_path):
    async def main():
        async with await AsyncStore.open(str(store_path), durability="data") as store:
            seen = set()
            loop_thread = threading.get_ident()
            await store._run(lambda: seen.add(threading.get_ident()))
            await store.put(b"k", b"v")
            await asyncio.gather(*(store.put(b"k%d" % i, b"v") for i in range(20)))
            await store._run(lambda: seen.add(threading.get_ident()))
            assert len(seen) == 1 and loop_thread not in seen
            assert await store.get(b"k") == b"v" and len(await store.scan_prefix(b"k")) == 21
            with pytest.raises(_native.ReservedKeyError) as info:
                await store.put(b"\xffomb:x", b"v")
            assert str(info.value) == "keys beginning with the Ombrel Store internal namespace are reserved"

    run(main())
    assert _native.Store.verify(str(store_path)).keys == 42  # each put and its change record


def test_transactions_commit_roll_back_and_return_results(store_path):
    async def main():
        async with await AsyncStore.open(str(store_path)) as store:
            async with store.transaction() as tx:
                await tx.put(b"a", b"1")
                assert await tx.push_queue(b"q", b"m") == 1
            tx = await store.transaction()
            await tx.put(b"b", b"2")
            assert await tx.append_stream(b"s", b"e") == 1
            results = await tx.commit_with_results()
            with pytest.raises(RuntimeError, match="boom"):
                async with store.transaction() as tx:
                    await tx.put(b"c", b"3")
                    raise RuntimeError("boom")
            return results, await store.get(b"a"), await store.get(b"b"), await store.get(b"c")

    results, a, b, c = run(main())
    assert results == {1: {"kind": "stream", "offset": 0}} and (a, b, c) == (b"1", b"2", None)


def test_static_methods_and_errors_keep_their_classes(tmp_path):
    async def main():
        with pytest.raises(_native.IoError):
            await AsyncStore.verify(str(tmp_path / "missing.omb"))
        store = await AsyncStore.open(str(tmp_path / "s.omb"))
        with pytest.raises(_native.AlreadyOpenError):
            await AsyncStore.open(str(tmp_path / "s.omb"))
        await store.close()
        with pytest.raises(_native.StoreClosedError):
            await store.get(b"k")

    run(main())


def test_the_async_faces_offer_every_method_with_the_same_signature():
    for native, face, skip in ((_native.Store, AsyncStore, {"busy_timeout"}), (_native.Transaction, AsyncTransaction, set())):
        names = {n for n in dir(native) if not n.startswith("_") and n not in skip}
        assert names <= set(dir(face))
        for name in names - {"open", "close", "transaction"}:
            assert inspect.signature(getattr(face, name)) == inspect.signature(getattr(native, name)), name
            assert inspect.iscoroutinefunction(getattr(face, name)), name


def test_the_shipped_async_stubs_are_generated_from_the_native_ones():
    assert (_stubgen.HERE / "aio.pyi").read_text() == _stubgen.aio_stubs()


@pytest.mark.parametrize("name", [n for n in ombrel_store.__all__ if n.endswith("Error")])
def test_exceptions_survive_pickling(name):
    cls = getattr(ombrel_store, name)
    error = cls("store is closed")
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is cls and copy.args == error.args and isinstance(copy, ombrel_store.OmbrelStoreError)
