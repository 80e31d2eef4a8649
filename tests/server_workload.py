"""One client process of the multi-process tests: ``server_workload.py SOCKET WORKER ROUNDS``.

Each round does a plain put, a transaction (a put, a queue push and a stream append, with
results), a queue claim and ack, and a job claim and completion; it prints one JSON line per
acknowledged effect, flushed at once, so that a parent that kills it knows what was
acknowledged before."""

import json
import sys

import ombrel_store


def main(socket_path, worker, rounds):
    store = ombrel_store.connect(socket_path)

    def acknowledged(kind, **fields):
        print(json.dumps({"kind": kind, "worker": worker, **fields}), flush=True)

    for n in range(rounds):
        key = f"w{worker}-{n}".encode()
        store.put(key, b"plain")
        acknowledged("put", key=key.decode())
        with store.transaction() as tx:
            tx.put(key + b"-tx", b"tx")
            tx.push_queue(b"work", key)
            tx.append_stream(b"log", key)
        acknowledged("tx", key=key.decode())
        message = store.claim_queue(b"work", 1_000 + n, 60_000)
        if message is not None:
            store.ack_queue(b"work", message["id"], message["lease_generation"])
            acknowledged("acked", payload=message["payload"].decode())
        job = store.claim_job(1_000 + n, 60_000, handlers=[b"task"])
        if job is not None:
            acknowledged("claimed", job=job["id"].hex())
            store.complete_job(job["id"], job["lease_generation"], 1_001 + n)
            acknowledged("completed", job=job["id"].hex())
    store.close()


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
