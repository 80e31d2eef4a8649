"""The module's contents and its exception classes."""

from __future__ import annotations

import pytest

import ombrel_store
from expect import raises_exactly
from ombrel_store import _native

EXCEPTIONS = [
    "OmbrelStoreError",
    "StoreClosedError",
    "StoreBusyError",
    "AlreadyOpenError",
    "ReservedKeyError",
    "TransactionFinishedError",
    "CorruptionError",
    "IoError",
    "DiskFullError",
    "NamespaceQuotaError",
]
MODULE_ORDER = ["Store", "Transaction", "VerificationReport", *EXCEPTIONS, "__version__"]


def test_version():
    assert _native.__version__ == "0.3.2"
    assert ombrel_store.__version__ == "0.3.2"


def test_module_attributes_arrive_in_order():
    present = [name for name in vars(_native) if name in MODULE_ORDER]
    # Transaction is not part of every build; everything else is.
    assert set(MODULE_ORDER) - set(present) <= {"Transaction"}
    assert present == [name for name in MODULE_ORDER if name in present]


def test_base_class():
    base = _native.OmbrelStoreError
    assert base.__bases__ == (Exception,)
    assert base.__module__ == "_native"
    assert base.__name__ == "OmbrelStoreError"


@pytest.mark.parametrize("name", EXCEPTIONS[1:])
def test_every_other_class_derives_directly_from_the_base(name):
    cls = getattr(_native, name)
    assert cls.__bases__ == (_native.OmbrelStoreError,)
    assert cls.__module__ == "_native"
    assert cls.__name__ == name
    assert cls.__doc__ is None
    assert getattr(ombrel_store, name) is cls


def test_the_ten_classes_are_distinct():
    assert len({getattr(_native, name) for name in EXCEPTIONS}) == 10


def test_raised_exception_carries_only_the_bare_message(store):
    with raises_exactly(_native.ReservedKeyError) as info:
        store.put(b"\xffomb:x", b"")
    assert info.value.args == ("keys beginning with the Ombrel Store internal namespace are reserved",)
    assert not [a for a in vars(info.value) if not a.startswith("__")]


def test_base_class_catches_every_store_error(store_path, store):
    for failing in (
        lambda: _native.Store.open(str(store_path)),  # AlreadyOpenError
        lambda: store.put(b"\xffomb:x", b""),  # ReservedKeyError
        lambda: _native.Store.verify(str(store_path) + ".missing"),  # IoError
    ):
        with pytest.raises(_native.OmbrelStoreError):
            failing()
