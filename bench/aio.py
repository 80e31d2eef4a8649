#!/usr/bin/env python3
"""The event loop's worst stall while a long store call runs, through the asyncio face.

A ticker task sleeps 1 ms at a time and records the longest gap beyond that; meanwhile the
store compacts into a new generation, checkpoints and reopens a store of --megabytes. With a
package that has no asyncio face, the calls go through asyncio.to_thread instead (what a user
would have written), which is how the figure before the face was measured.

    python bench/aio.py [--megabytes N]
"""

from __future__ import annotations

import asyncio
import os
import time

from harness import Store, banner, parse, parser, workdir

try:
    from ombrel_store.aio import AsyncStore
except ImportError:  # an older package
    AsyncStore = None


async def worst_stall(action) -> tuple[float, float]:
    worst = 0.0
    done = False

    async def ticker():
        nonlocal worst
        last = time.perf_counter()
        while not done:
            await asyncio.sleep(0.001)
            now = time.perf_counter()
            worst = max(worst, now - last - 0.001)
            last = now

    task = asyncio.create_task(ticker())
    await asyncio.sleep(0.02)
    started = time.perf_counter()
    await action()
    took = time.perf_counter() - started
    done = True
    await task
    return took, worst


async def run(tmp, megabytes):
    path = tmp / "big.omb"
    with Store.open(str(path), durability="relaxed") as s:
        value = os.urandom(1000)
        with s.transaction() as t:
            for i in range(megabytes * 1000):
                t.put(b"key%09d" % i, value)
    print(f"  store of {path.stat().st_size / 2**20:.0f} MiB; face: {'AsyncStore' if AsyncStore else 'asyncio.to_thread'}")
    if AsyncStore:
        store = await AsyncStore.open(str(path))
        cases = [("compact_generation_to", lambda: store.compact_generation_to(str(tmp / "gen.omb"))),
                 ("checkpoint_to", lambda: store.checkpoint_to(str(tmp / "ckpt.omb"))),
                 ("close", store.close),
                 ("open", lambda: AsyncStore.open(str(path)))]
    else:
        store = Store.open(str(path))
        cases = [("compact_generation_to", lambda: asyncio.to_thread(store.compact_generation_to, str(tmp / "gen.omb"))),
                 ("checkpoint_to", lambda: asyncio.to_thread(store.checkpoint_to, str(tmp / "ckpt.omb"))),
                 ("close", lambda: asyncio.to_thread(store.close)),
                 ("open", lambda: asyncio.to_thread(Store.open, str(path)))]
    for name, action in cases:
        took, worst = await worst_stall(action)
        print(f"  {name:<24} took {took * 1e3:8.1f} ms; the loop's worst stall {worst * 1e3:7.2f} ms")


def main() -> None:
    p = parser(__doc__)
    p.add_argument("--megabytes", type=int, default=50)
    args = parse(p, positive=("megabytes",))
    banner()
    with workdir(args) as tmp:
        asyncio.run(run(tmp, args.megabytes))


if __name__ == "__main__":
    main()
