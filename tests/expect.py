"""Assertion helpers shared by the test modules."""

from __future__ import annotations

import contextlib
import os

import pytest


@contextlib.contextmanager
def raises_exactly(cls, message=None):
    """The block raises exactly `cls` (not a subclass), whose one argument is `message`."""
    with pytest.raises(cls) as info:
        yield info
    assert type(info.value) is cls, f"expected {cls.__name__}, got {type(info.value).__name__}: {info.value}"
    if message is not None:
        assert info.value.args == (message,)


def snapshot(path):
    """Bytes and modification time of a file, to prove that nothing touched it."""
    with open(path, "rb") as f:
        return f.read(), os.stat(path).st_mtime_ns


def leftovers(directory):
    """Temporary files a copy left behind in `directory`."""
    return sorted(name for name in os.listdir(directory) if name.endswith(".tmp"))
