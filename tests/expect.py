"""Assertion helpers shared by the test modules."""

from __future__ import annotations

import contextlib
import os

import pytest


@contextlib.contextmanager
def raises_exactly(cls, message=None):
    """The block raises an instance of exactly `cls` (not a subclass) carrying `message`
    as its one argument."""
    with pytest.raises(cls) as info:
        yield info
    assert type(info.value) is cls, f"expected {cls.__name__}, got {type(info.value).__name__}: {info.value}"
    if message is not None:
        assert str(info.value) == message
        assert info.value.args == (message,)


def snapshot(path):
    """Bytes and modification time of a file, to prove that nothing touched it."""
    st = os.stat(path)
    with open(path, "rb") as f:
        return f.read(), st.st_mtime_ns, st.st_size
