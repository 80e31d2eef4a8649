"""Ombrel Store's jobs, queues, outbox, keys and values on PostgreSQL, with the Store's API.

    from ombrel_store.postgres import PgStore
    with PgStore.open("host=/run/postgresql dbname=app") as store:
        job_id = store.submit_job(b"email", b"...", now_ms)

Needs psycopg 3 and psycopg_pool (`pip install ombrel-store[postgres]`); the rest of the
package does not import this module.
"""

from .store import PgStore
from .transaction import PgTransaction

__all__ = ["PgStore", "PgTransaction"]
