"""How database failures reach the caller: as the store's own exception classes.

A lost or refused connection (the server stopped, restarted or unreachable, or no connection
free within the store's timeout) raises IoError "I/O error: PostgreSQL ...": a commit that was
under way may or may not have happened, as with a crash of a store file's process. A value the
database cannot index (a key or handler too large for a B-tree entry) raises OmbrelStoreError
"key is too large". Any other database error raises OmbrelStoreError "store error: PostgreSQL
...". Errors raised by the store's own checks pass through unchanged.
"""

from __future__ import annotations

import contextlib

import psycopg
from psycopg import errors as pg_errors

from .._native import IoError, OmbrelStoreError


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


def translate(error: psycopg.Error) -> OmbrelStoreError:
    if isinstance(error, (psycopg.OperationalError, psycopg.InterfaceError)) and not isinstance(
        error, pg_errors.ProgramLimitExceeded
    ):
        return IoError(f"I/O error: PostgreSQL: {_first_line(error)}")
    if isinstance(error, pg_errors.ProgramLimitExceeded):
        return OmbrelStoreError("key is too large")
    return OmbrelStoreError(f"store error: PostgreSQL: {_first_line(error)}")


@contextlib.contextmanager
def database_errors():
    try:
        yield
    except psycopg.Error as error:
        raise translate(error) from error
