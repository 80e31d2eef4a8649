"""Frames of the store server's protocol: every value the API uses comes back as the same
type and value (tuples as tuples, key order kept), and no bytes make the decoder do anything
but return a value or raise its own FrameError."""

import math
import os
import struct
from pathlib import PurePosixPath

import msgpack
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ombrel_store import _wire

SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-(2**63), max_value=2**64 - 1),
    st.integers(min_value=-(10**120), max_value=10**120), st.floats(allow_nan=False),
    st.text(st.characters(codec=None)), st.binary(), st.builds(bytearray, st.binary(max_size=8)),
    # Paths as the file system names them: any bytes but NUL, undecodable ones included.
    st.builds(PurePosixPath, st.binary(min_size=1, max_size=8).filter(lambda b: b"\0" not in b).map(os.fsdecode)),
)
HASHABLE = st.one_of(st.none(), st.booleans(), st.integers(), st.text(max_size=6), st.binary(max_size=6))
VALUES = st.recursive(
    SCALARS,
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.lists(inner, max_size=4).map(tuple),
                            st.dictionaries(HASHABLE, inner, max_size=4)),
    max_leaves=20)
SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))


def same(a, b):
    """Equal and of the same types all the way down (a path compares by its text)."""
    if isinstance(a, PurePosixPath):
        return isinstance(b, PurePosixPath) and str(a) == str(b)
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


@SETTINGS
@given(VALUES, st.integers(min_value=1, max_value=7))
def test_values_round_trip_through_frames_cut_anywhere(value, step):
    frame = _wire.encode_frame(value) + _wire.encode_frame((value,))
    reader = _wire.FrameReader()
    decoded = []
    for start in range(0, len(frame), step):
        decoded += reader.feed(frame[start:start + step])
    assert len(decoded) == 2 and same(decoded[0], value) and same(decoded[1], (value,))


@SETTINGS
@given(st.binary(max_size=200), st.integers(min_value=0, max_value=300))
def test_arbitrary_bytes_decode_or_raise_frame_error(data, limit):
    reader = _wire.FrameReader(max_frame_bytes=limit)
    try:
        reader.feed(struct.pack(">I", len(data)) + data)
        reader.feed(data)
    except _wire.FrameError:
        pass


@pytest.mark.parametrize("body", [
    pytest.param(msgpack.packb(msgpack.ExtType(9, b"")), id="unknown extension"),
    pytest.param(msgpack.packb(msgpack.ExtType(1, b"\x01")), id="tagged list of a non-array"),
    pytest.param(msgpack.packb(msgpack.ExtType(4, b"12a")), id="tagged int of non-digits"),
    pytest.param(msgpack.packb({msgpack.ExtType(1, msgpack.packb([1])): 1}), id="unhashable key"),
    pytest.param(b"\xc4\xff", id="truncated bytes"),
    pytest.param(b"\x91", id="truncated array"),
    pytest.param(b"\xa1\xff", id="bad utf-8"),
    pytest.param(b"\x01\x02", id="two values"),
    pytest.param(b"", id="empty"),
    pytest.param(b"\x91" * 100_000 + b"\x01", id="deep nesting"),
    pytest.param(msgpack.packb(msgpack.ExtType(1, b"")), id="empty extension"),
])
def test_malformed_bodies_raise_frame_error(body):
    with pytest.raises(_wire.FrameError):
        _wire.decode_body(body)


def test_deeply_nested_tagged_lists_are_refused():
    nested = msgpack.ExtType(1, msgpack.packb([1]))
    for _ in range(200):
        nested = msgpack.ExtType(1, msgpack.packb([nested]))
    with pytest.raises(_wire.FrameError, match="nests too deeply"):
        _wire.decode_body(msgpack.packb(nested))


def test_an_oversized_frame_is_refused_by_its_length_alone():
    reader = _wire.FrameReader(max_frame_bytes=100)
    with pytest.raises(_wire.FrameError, match="exceeds the limit"):
        reader.feed(struct.pack(">I", 101))


@pytest.mark.parametrize("value, error", [
    (object(), TypeError), ({1, 2}, TypeError), (memoryview(b"x"), TypeError), (10**1000, OverflowError),
])
def test_values_that_cannot_travel_are_refused_before_sending(value, error):
    with pytest.raises(error):
        _wire.encode_body(("call", "put", (value,), {}))
