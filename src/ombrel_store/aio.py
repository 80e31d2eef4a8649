"""asyncio face of Ombrel Store: the Store and Transaction methods as coroutines.

Each AsyncStore owns one thread that runs every call on its store, one after another, so the
event loop never waits on the disk: while a call runs (a durable commit, a compaction, a
replay at open) the loop goes on serving other tasks. The store releases the interpreter lock
while it waits on the disk, so that thread does not stall the loop either.

    async with await AsyncStore.open("app.omb") as store:
        await store.put(b"k", b"v")
        async with store.transaction() as tx:
            await tx.put(b"a", b"1")
            position = await tx.push_queue(b"q", b"job")
        print(await store.get(b"k"))

Every method takes the arguments of its Store (or Transaction) namesake and returns what it
returns; errors are the same exception classes with the same texts. A call that has started
runs to its end on the store's thread even if the awaiting task is cancelled: its effect is
then committed or not as the store says, and the cancellation is raised to the task.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import functools
import inspect
from typing import Any

from . import _native

__all__ = ["AsyncStore", "AsyncTransaction"]

# Store methods that are not plain calls on the open store.
_STORE_SPECIAL = {"open", "verify", "salvage", "restore_copy", "open_read_only", "set_progress_hook", "close", "transaction",
                  "busy_timeout"}
_STATIC = ("verify", "salvage", "restore_copy", "open_read_only", "set_progress_hook")


def _public_methods(cls, skip):
    return [name for name in dir(cls) if not name.startswith("_") and name not in skip
            and callable(getattr(cls, name))]


def _coroutine_for(cls, name):
    """An async method that runs cls.name on the owner's thread, with cls.name's signature and doc."""
    native = getattr(cls, name)

    async def method(self, *args, **kwargs):
        return await self._call(name, *args, **kwargs)

    method.__name__ = name
    method.__doc__ = native.__doc__
    try:
        method.__signature__ = inspect.signature(native)  # type: ignore[attr-defined]
    except (TypeError, ValueError):
        pass
    return method


class _Thread:
    """The one thread that runs every call of a store (and of its transactions)."""

    def __init__(self):
        self.executor = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="ombrel-store")
        self.closed = False

    async def run(self, fn, *args, **kwargs):
        if self.closed:
            # A closed store answers at once (StoreClosedError), without a thread.
            return fn(*args, **kwargs)
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(self.executor, functools.partial(fn, *args, **kwargs))

    def shutdown(self):
        self.closed = True
        self.executor.shutdown(wait=False)


class AsyncStore:
    """An open store whose methods are coroutines run on a thread of its own.

    Made by ``await AsyncStore.open(path, ...)`` (the options of ``Store.open``); an async context
    manager that closes the store on exit.
    """

    def __init__(self, native: _native.Store, thread: _Thread):
        self._native = native
        self._thread = thread

    @classmethod
    async def open(cls, path, **options) -> AsyncStore:
        """Open (or create) the store at ``path`` on a new thread; the options of ``Store.open``."""
        thread = _Thread()
        try:
            native = await thread.run(_native.Store.open, path, **options)
        except BaseException:
            thread.shutdown()
            raise
        return cls(native, thread)

    async def _run(self, fn, *args, **kwargs):
        return await self._thread.run(fn, *args, **kwargs)

    async def _call(self, name, *args, **kwargs):
        return await self._thread.run(getattr(self._native, name), *args, **kwargs)

    @property
    def busy_timeout(self) -> float:
        """The store's busy timeout in seconds (see ``Store.busy_timeout``)."""
        return self._native.busy_timeout

    @busy_timeout.setter
    def busy_timeout(self, seconds: float) -> None:
        self._native.busy_timeout = seconds

    async def close(self) -> None:
        """Close the store (as ``Store.close``) and let its thread go."""
        try:
            await self._run(self._native.close)
        finally:
            self._thread.shutdown()

    def transaction(self) -> AsyncTransaction:
        """A transaction on this store, begun on its thread when entered or awaited."""
        return AsyncTransaction(self)

    async def __aenter__(self) -> AsyncStore:
        return self

    async def __aexit__(self, exc_type, exc, tb) -> bool:
        await self.close()
        return False


def _static_coroutine(name):
    """A static method of Store run on the loop's default executor (it needs no open store)."""
    native = getattr(_native.Store, name)

    async def method(*args, **kwargs):
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(None, functools.partial(native, *args, **kwargs))

    method.__name__ = name
    method.__doc__ = native.__doc__
    method.__signature__ = inspect.signature(native)  # type: ignore[attr-defined]
    return staticmethod(method)


for _name in _STATIC:
    setattr(AsyncStore, _name, _static_coroutine(_name))

for _name in _public_methods(_native.Store, _STORE_SPECIAL):
    setattr(AsyncStore, _name, _coroutine_for(_native.Store, _name))


class AsyncTransaction:
    """A ``Transaction`` whose methods are coroutines on its store's thread.

    ``async with store.transaction() as tx:`` begins it, commits it when the block ends normally
    and rolls it back when the block raises; ``tx = await store.transaction()`` begins it too.
    """

    def __init__(self, store: AsyncStore):
        self._store = store
        self._native: Any = None

    async def _run(self, fn, *args, **kwargs):
        return await self._store._run(fn, *args, **kwargs)

    async def _call(self, name, *args, **kwargs):
        await self._begin()  # the first call begins it
        return await self._run(getattr(self._native, name), *args, **kwargs)

    async def _begin(self) -> AsyncTransaction:
        if self._native is None:
            self._native = await self._store._run(self._store._native.transaction)
        return self

    def __await__(self):
        return self._begin().__await__()

    async def __aenter__(self) -> AsyncTransaction:
        return await self._begin()

    async def __aexit__(self, exc_type, exc, tb) -> bool:
        await self._call("__exit__", exc_type, exc, tb)
        return False


for _name in _public_methods(_native.Transaction, ()):
    setattr(AsyncTransaction, _name, _coroutine_for(_native.Transaction, _name))

del _name
